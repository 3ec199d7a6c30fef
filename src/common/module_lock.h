// The module lock count: while it is above 0 something of the server is in use and the
// library must stay loaded. Every object takes one lock for its whole life. The counter
// lives here, at the bottom, so that every layer can take part; the server only reads it.
#pragma once
#include <windows.h>

namespace Tamrix::module_lock {

LONG Add() noexcept;     // interlocked; returns the new count
LONG Remove() noexcept;  // interlocked; returns the new count
LONG Count() noexcept;

// Holds one module lock from construction to destruction. As the first base of an
// object it is taken before the object's own construction and given back after it.
class Holder {
protected:
    Holder() noexcept { Add(); }
    ~Holder() { Remove(); }
    Holder(const Holder&) noexcept { Add(); }
    Holder& operator=(const Holder&) noexcept { return *this; }
};

}  // namespace Tamrix::module_lock
