// A script engine run inside the test program, as a script host runs one: the test hands
// it objects by name, and the script calls them late-bound through IDispatch, exactly as
// cscript's scripts do. The test process stays the one whose memory and counts are read.
#pragma once
#include <windows.h>
#include <activscp.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/automation_types.h"
#include "common/com_ptr.h"

namespace robust {

// {B54F3741-5B07-11cf-A4B0-00AA004A55E8}
constexpr CLSID CLSID_VBSCRIPT_ENGINE = {0xB54F3741, 0x5B07, 0x11CF, {0xA4, 0xB0, 0x00, 0xAA, 0x00, 0x4A, 0x55, 0xE8}};
constexpr IID IID_ACTIVE_SCRIPT = {0xBB1A2AE1, 0xA4F9, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
constexpr IID IID_ACTIVE_SCRIPT_PARSE = {0xBB1A2AE2, 0xA4F9, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
constexpr IID IID_ACTIVE_SCRIPT_SITE = {0xDB01A1E3, 0xA42B, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};

class ScriptHost final : public IActiveScriptSite {
public:
    ScriptHost() = default;
    ~ScriptHost() { Close(); }
    ScriptHost(const ScriptHost&) = delete;
    ScriptHost& operator=(const ScriptHost&) = delete;

    // A VBScript engine with `items` visible to its code under their names.
    HRESULT Start(const std::map<std::wstring, IDispatch*>& items) {
        items_ = items;
        HRESULT hr = CoCreateInstance(CLSID_VBSCRIPT_ENGINE, nullptr, CLSCTX_INPROC_SERVER, IID_ACTIVE_SCRIPT,
                                      engine_.put_void());
        if (FAILED(hr)) return hr;
        if (FAILED(hr = engine_->QueryInterface(IID_ACTIVE_SCRIPT_PARSE, parse_.put_void()))) return hr;
        if (FAILED(hr = parse_->InitNew())) return hr;
        if (FAILED(hr = engine_->SetScriptSite(this))) return hr;
        for (const auto& item : items_)
            if (FAILED(hr = engine_->AddNamedItem(item.first.c_str(), SCRIPTITEM_ISVISIBLE))) return hr;
        return engine_->SetScriptState(SCRIPTSTATE_STARTED);
    }
    // Runs statements (`expression` false) or evaluates an expression into *result.
    HRESULT Run(const std::wstring& code, bool expression = false, VARIANT* result = nullptr) {
        EXCEPINFO excep{};
        const HRESULT hr = parse_->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0,
                                                   expression ? SCRIPTTEXT_ISEXPRESSION : 0, result, &excep);
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
        return hr;
    }
    // Calls the script's function `name` (no arguments) into *result. Called through the
    // engine's dispatch, so nothing is parsed again each time.
    HRESULT Call(const wchar_t* name, VARIANT* result) {
        if (!global_) {
            HRESULT hr = engine_->GetScriptDispatch(nullptr, global_.put());
            if (FAILED(hr)) return hr;
        }
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = 0;
        HRESULT hr = global_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(hr)) return hr;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        return global_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, result, nullptr, nullptr);
    }
    // The engine lets go of everything it holds.
    void Close() {
        global_.reset();
        if (engine_) engine_->Close();
        parse_.reset();
        engine_.reset();
        items_.clear();
    }
    const std::wstring& LastError() const { return error_; }

    // IUnknown: lives as long as the test holds it.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ACTIVE_SCRIPT_SITE)) return E_NOINTERFACE;
        *ppv = static_cast<IActiveScriptSite*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // IActiveScriptSite
    STDMETHODIMP GetLCID(LCID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** unknown, ITypeInfo** info) override {
        if (info) *info = nullptr;
        if (unknown) *unknown = nullptr;
        const auto found = items_.find(name);
        if (found == items_.end()) return TYPE_E_ELEMENTNOTFOUND;
        if ((mask & SCRIPTINFO_IUNKNOWN) && unknown) {
            *unknown = found->second;
            found->second->AddRef();
        }
        return S_OK;
    }
    STDMETHODIMP GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
    STDMETHODIMP OnScriptError(IActiveScriptError* e) override {
        EXCEPINFO excep{};
        DWORD context = 0;
        ULONG line = 0;
        LONG column = 0;
        e->GetExceptionInfo(&excep);
        e->GetSourcePosition(&context, &line, &column);
        BSTR source = nullptr;
        e->GetSourceLineText(&source);
        error_ = L"line " + std::to_wstring(line + 1) + L" (" + (source ? source : L"") + L"): " +
                 (excep.bstrDescription ? excep.bstrDescription : L"(no description)") + L" (" +
                 std::to_wstring(static_cast<unsigned long>(excep.scode)) + L")";
        SysFreeString(source);
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
        return S_OK;
    }
    STDMETHODIMP OnEnterScript() override { return S_OK; }
    STDMETHODIMP OnLeaveScript() override { return S_OK; }

private:
    Tamrix::ComPtr<IActiveScript> engine_;
    Tamrix::ComPtr<IActiveScriptParse> parse_;
    Tamrix::ComPtr<IDispatch> global_;
    std::map<std::wstring, IDispatch*> items_;
    std::wstring error_;
};

}  // namespace robust
