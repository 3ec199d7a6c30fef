#include "class_table.h"

#include <Tamrix.h>

#include <atomic>

#include "../automation/typelib_dispatch.h"
#include "../manager/tamrix_host.h"
#include "../plugin_object/susie_plugin.h"
#include "class_factory.h"
#include "module.h"

namespace Tamrix {
namespace {

struct ClassEntry {
    const CLSID* clsid;
    // Null for a class that clients cannot create: it has no class object.
    CreateInstanceFn createInstance;
    std::atomic<IUnknown*> classObject;
};

ClassEntry g_classes[] = {
    {&CLSID_SpiFileInfo, nullptr, {nullptr}},
    {&CLSID_SpiFileInfoCollection, nullptr, {nullptr}},
    {&CLSID_SpiLocalHeap, nullptr, {nullptr}},
    {&CLSID_SusiePlugin, CreatePlainOrAggregated<SusiePlugin>, {nullptr}},
    {&CLSID_TamrixHost, CreatePlainOrAggregated<TamrixHost>, {nullptr}},
};

// Guards the lazy creation of class objects.
CRITICAL_SECTION g_classTableLock;
std::atomic<bool> g_ready{false};

}  // namespace

void InitClassTable() noexcept {
    if (g_ready.load()) return;
    if (!InitializeCriticalSectionAndSpinCount(&g_classTableLock, 0)) {
        CTamrixModule::SetInitFailed();
        return;
    }
    g_ready.store(true);
}

void TermClassTable() noexcept {
    if (!g_ready.exchange(false)) return;
    Module().Term();
    typelib::ReleaseCache();
    for (ClassEntry& e : g_classes)
        if (IUnknown* object = e.classObject.exchange(nullptr)) object->Release();
    DeleteCriticalSection(&g_classTableLock);
}

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept {
    if (!g_ready.load()) return E_UNEXPECTED;
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ClassEntry* entry = nullptr;
    for (ClassEntry& e : g_classes)
        if (e.createInstance && IsEqualCLSID(*e.clsid, clsid)) {
            entry = &e;
            break;
        }
    if (!entry) return CLASS_E_CLASSNOTAVAILABLE;

    IUnknown* object = entry->classObject.load();
    if (!object) {
        EnterCriticalSection(&g_classTableLock);
        object = entry->classObject.load();  // another thread may have made it meanwhile
        void** made = reinterpret_cast<void**>(&object);
        const HRESULT hr = object ? S_OK : ClassFactory::Create(entry->createInstance, IID_IUnknown, made);
        entry->classObject.store(object);
        LeaveCriticalSection(&g_classTableLock);
        if (FAILED(hr)) return hr;
    }
    if (HRESULT hr = object->QueryInterface(riid, ppv); FAILED(hr)) return hr;
    return *ppv ? S_OK : CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace Tamrix
