// Every COM member is a boundary: `return Boundary([&] { ... });`. Whatever happens below it
// becomes the member's one HRESULT, and no C++ exception reaches the caller, who is no C++
// code. The body returns an HRESULT (or nothing, for S_OK) and may throw:
//   std::bad_alloc     E_OUTOFMEMORY
//   HResultError       its code (ThrowIfFailed throws one for a failed step)
//   anything else      E_UNEXPECTED: nothing else is thrown on purpose
// A member that fails, called by a client rather than by another member, leaves the thread's
// error object saying which member it was and what happened (failure_note.h).
#pragma once
#include <windows.h>
#include <new>
#include <source_location>
#include <type_traits>

#include "failure_note.h"

namespace Tamrix {

class HResultError {
public:
    explicit HResultError(HRESULT hr) noexcept : hr_(hr) {}
    HRESULT Code() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

// A failed step ends the member with its code; a success code is passed back.
inline HRESULT ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) throw HResultError(hr);
    return hr;
}

// The body's outcome as one HRESULT, reporting nothing: for the dispatch members through
// which a client reaches the members that report.
template <class Body>
HRESULT Barrier(Body&& body) noexcept {
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Body&>>) {
            body();
            return S_OK;
        } else {
            return body();
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const HResultError& error) {
        return error.Code();
    } catch (...) {
        return E_UNEXPECTED;
    }
}

template <class Body>
HRESULT Boundary(Body&& body, std::source_location where = std::source_location::current()) noexcept {
    const failure::MemberScope scope;
    const HRESULT hr = Barrier(body);
    if (FAILED(hr) && scope.Outermost()) failure::Report(hr, where.function_name());
    return hr;
}

}  // namespace Tamrix
