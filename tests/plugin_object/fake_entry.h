// An entry object of a client's own making, for the archive members that take an entry:
// any object with the entry's interface names a member by its numbers.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <Tamrix.h>

class FakeEntry final : public ISpiFileInfo {
public:
    FakeEntry(LONG position, LONG compSize, LONG fileSize)
        : position_(position), compSize_(compSize), fileSize_(fileSize) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) && !IsEqualIID(riid, IID_ISpiFileInfo)) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<ISpiFileInfo*>(this);
        return S_OK;  // lives on the stack: no counting
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP get_Method(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP get_Position(LONG* p) override { return p ? (*p = position_, S_OK) : E_POINTER; }
    STDMETHODIMP get_CompSize(LONG* p) override { return p ? (*p = compSize_, S_OK) : E_POINTER; }
    STDMETHODIMP get_FileSize(LONG* p) override { return p ? (*p = fileSize_, S_OK) : E_POINTER; }
    STDMETHODIMP get_TimeStamp(DATE*) override { return E_NOTIMPL; }
    STDMETHODIMP get_Path(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP get_FileName(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP get_CRC(LONG*) override { return E_NOTIMPL; }

private:
    LONG position_, compSize_, fileSize_;
};
