// The server's classes in their fixed order: which exist, which clients may create, and
// the cached class objects.
#pragma once
#include <windows.h>
#include <unknwn.h>

namespace Tamrix {

// Builds the class-table record (its lock); sets the module's initialisation-failed flag
// when the lock cannot be made.
void InitClassTable() noexcept;
// At unload: marks the table unusable, runs the module's termination, releases the
// cached class objects.
void TermClassTable() noexcept;

// The class object of a creatable class, asked for riid.
HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept;

}  // namespace Tamrix
