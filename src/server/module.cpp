#include "module.h"

#include <Tamrix.h>

#include <new>

namespace Tamrix {
namespace {
volatile LONG g_initFailed = 0;

// Holds a critical section for the span of a scope.
class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CRITICAL_SECTION& cs) noexcept : cs_(cs) { EnterCriticalSection(&cs_); }
    ~CriticalSectionLock() { LeaveCriticalSection(&cs_); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& cs_;
};
}  // namespace

CTamrixModule::CTamrixModule() noexcept {
    lockMade_ = InitializeCriticalSectionAndSpinCount(&staticDataLock_, 0) != FALSE;
    if (!lockMade_) SetInitFailed();
}

CTamrixModule::~CTamrixModule() {
    Term();
    if (lockMade_) DeleteCriticalSection(&staticDataLock_);
}

bool CTamrixModule::InitFailed() noexcept {
    return g_initFailed != 0;
}

void CTamrixModule::SetInitFailed() noexcept {
    InterlockedExchange(&g_initFailed, 1);
}

const GUID& CTamrixModule::TypeLibId() noexcept {
    return LIBID_Tamrix;
}

HRESULT CTamrixModule::GetGITPtr(IGlobalInterfaceTable** ppGIT) noexcept {
    if (!ppGIT) return E_POINTER;
    *ppGIT = nullptr;
    CriticalSectionLock hold(staticDataLock_);
    if (!git_) {
        HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git_));
        if (FAILED(hr)) {
            git_ = nullptr;
            return hr;
        }
    }
    git_->AddRef();
    *ppGIT = git_;
    return S_OK;
}

HRESULT CTamrixModule::AddTermFunc(void (*fn)(DWORD_PTR), DWORD_PTR arg) noexcept {
    auto* node = new (std::nothrow) TermNode{fn, arg, nullptr};
    if (!node) return E_OUTOFMEMORY;
    CriticalSectionLock hold(staticDataLock_);
    node->next = termList_;
    termList_ = node;
    return S_OK;
}

void CTamrixModule::Term() noexcept {
    TermNode* list = nullptr;
    IGlobalInterfaceTable* git = nullptr;
    if (lockMade_) {
        CriticalSectionLock hold(staticDataLock_);
        list = termList_;
        termList_ = nullptr;
        git = git_;
        git_ = nullptr;
    }
    while (list) {
        TermNode* next = list->next;
        list->fn(list->arg);
        delete list;
        list = next;
    }
    if (git) git->Release();
}

CTamrixModule& Module() noexcept {
    static CTamrixModule module;
    return module;
}

}  // namespace Tamrix
