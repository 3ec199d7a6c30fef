// The local-memory block object: one owner per block, stable address, independent copies,
// and its late-bound names.
#include <windows.h>
#include <oleauto.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/automation_types.h"
#include "common/com_ptr.h"
#include "results/spi_local_heap.h"

namespace {

using Tamrix::ComPtr;
using Tamrix::UniqueHlocal;
using Tamrix::Variant;

// A moveable block as plug-ins hand them out, filled with 0, 1, 2, ...
HLOCAL Block(SIZE_T n) {
    HLOCAL h = LocalAlloc(LMEM_MOVEABLE, n);
    if (n) {
        BYTE* p = static_cast<BYTE*>(LocalLock(h));
        for (SIZE_T i = 0; i < n; ++i) p[i] = static_cast<BYTE>(i);
        LocalUnlock(h);
    }
    return h;
}

Tamrix::SharedLocalBlock Shared(HLOCAL h) {
    Tamrix::SharedLocalBlock block;
    EXPECT_EQ(S_OK, Tamrix::ShareLocalBlock(UniqueHlocal(h), block));
    return block;
}

ComPtr<ISpiLocalHeap> Heap(HLOCAL h) {
    ComPtr<IDispatch> d;
    EXPECT_EQ(S_OK, Tamrix::SpiLocalHeap::Create(Shared(h), d.put()));
    ComPtr<ISpiLocalHeap> heap;
    EXPECT_EQ(S_OK, d->QueryInterface(IID_ISpiLocalHeap, heap.put_void()));
    return heap;
}

std::vector<BYTE> Contents(const VARIANT& v) {
    SAFEARRAY* a = V_ARRAY(&v);
    void* p = nullptr;
    SafeArrayAccessData(a, &p);
    std::vector<BYTE> out(static_cast<BYTE*>(p), static_cast<BYTE*>(p) + a->rgsabound[0].cElements);
    SafeArrayUnaccessData(a);
    return out;
}

bool Alive(HLOCAL h) {
    return LocalFlags(h) != LMEM_INVALID_HANDLE;
}

TEST(SpiLocalHeap, BytesAreIndependentCopiesOfTheWholeBlock) {
    HLOCAL h = Block(100);
    const SIZE_T reported = LocalSize(h);
    ComPtr<ISpiLocalHeap> heap = Heap(h);

    LONG length = -1, buffer = 0, again = 0;
    EXPECT_EQ(S_OK, heap->get_Length(&length));
    EXPECT_EQ(static_cast<LONG>(reported), length);  // what the heap reports, not what was asked
    // The address is read through below: a build or system where it does not fit a long
    // (E_EXCEEDS_32_BITS) ends the test here rather than reading elsewhere.
    ASSERT_EQ(S_OK, heap->get_Buffer(&buffer));
    ASSERT_EQ(S_OK, heap->get_Buffer(&again));
    ASSERT_NE(0, buffer);
    EXPECT_EQ(buffer, again);
    BYTE* block = reinterpret_cast<BYTE*>(static_cast<ULONG_PTR>(static_cast<ULONG>(buffer)));

    Variant first, second;
    ASSERT_EQ(S_OK, heap->GetBytes(first.get()));
    ASSERT_EQ(S_OK, heap->GetBytes(second.get()));
    ASSERT_EQ(VT_ARRAY | VT_UI1, V_VT(first.get()));
    EXPECT_EQ(1u, SafeArrayGetDim(V_ARRAY(first.get())));
    EXPECT_EQ(0, V_ARRAY(first.get())->rgsabound[0].lLbound);
    EXPECT_NE(V_ARRAY(first.get()), V_ARRAY(second.get()));
    std::vector<BYTE> a = Contents(*first.get());
    ASSERT_EQ(reported, a.size());
    for (size_t i = 0; i < 100; ++i) ASSERT_EQ(static_cast<BYTE>(i), a[i]);

    // Writing into one copy changes neither the other nor the block.
    void* p = nullptr;
    SafeArrayAccessData(V_ARRAY(first.get()), &p);
    std::memset(p, 0xFF, a.size());
    SafeArrayUnaccessData(V_ARRAY(first.get()));
    EXPECT_EQ(a, Contents(*second.get()));
    EXPECT_EQ(0, std::memcmp(block, a.data(), a.size()));
    // And writing into the block changes no copy made before.
    block[0] = 0xAB;
    EXPECT_EQ(a, Contents(*second.get()));

    // The block goes with the last reference.
    EXPECT_TRUE(Alive(h));
    heap.reset();
    EXPECT_FALSE(Alive(h));
}

TEST(SpiLocalHeap, EmptyAndMissingBlocks) {
    // A block of 0 bytes: an empty array, still with lower bound 0.
    ComPtr<ISpiLocalHeap> empty = Heap(LocalAlloc(LMEM_MOVEABLE, 0));
    LONG length = -1;
    EXPECT_EQ(S_OK, empty->get_Length(&length));
    EXPECT_EQ(0, length);
    Variant v;
    ASSERT_EQ(S_OK, empty->GetBytes(v.get()));
    ASSERT_EQ(VT_ARRAY | VT_UI1, V_VT(v.get()));
    EXPECT_EQ(0u, V_ARRAY(v.get())->rgsabound[0].cElements);
    EXPECT_EQ(0, V_ARRAY(v.get())->rgsabound[0].lLbound);

    // No block at all (a plug-in that handed back a null handle).
    ComPtr<ISpiLocalHeap> none = Heap(nullptr);
    LONG buffer = -1;
    EXPECT_EQ(S_OK, none->get_Buffer(&buffer));
    EXPECT_EQ(0, buffer);
    EXPECT_EQ(S_OK, none->get_Length(&length));
    EXPECT_EQ(0, length);

    EXPECT_EQ(E_POINTER, none->get_Buffer(nullptr));
    EXPECT_EQ(E_POINTER, none->get_Length(nullptr));
    EXPECT_EQ(E_POINTER, none->GetBytes(nullptr));
}

TEST(SpiLocalHeap, GetBytesReplacesWhatTheVariantHeld) {
    ComPtr<ISpiLocalHeap> heap = Heap(Block(4));
    Variant v;
    V_VT(v.get()) = VT_BSTR;
    V_BSTR(v.get()) = SysAllocString(L"freed by GetBytes");
    ASSERT_EQ(S_OK, heap->GetBytes(v.get()));
    EXPECT_EQ(VT_ARRAY | VT_UI1, V_VT(v.get()));
}

TEST(SpiLocalHeap, AttachingAnotherBlockFreesTheFirst) {
    auto obj = Tamrix::Make<Tamrix::SpiLocalHeap>();
    ASSERT_TRUE(obj);
    ComPtr<ISpiLocalHeap> heap(obj.get());
    HLOCAL first = Block(8);
    HLOCAL second = Block(16);
    obj->Attach(Shared(first));
    obj->Attach(Shared(second));
    EXPECT_FALSE(Alive(first));
    EXPECT_TRUE(Alive(second));
    LONG buffer = 0;
    EXPECT_EQ(S_OK, heap->get_Buffer(&buffer));
    Variant v;
    ASSERT_EQ(S_OK, heap->GetBytes(v.get()));
    EXPECT_EQ(LocalSize(second), Contents(*v.get()).size());
}

TEST(SpiLocalHeap, InterfacesAndLateBoundNames) {
    ComPtr<ISpiLocalHeap> heap = Heap(Block(24));
    ComPtr<IDispatch> d;
    ASSERT_EQ(S_OK, heap->QueryInterface(IID_IDispatch, d.put_void()));
    EXPECT_EQ(static_cast<void*>(heap.get()), static_cast<void*>(d.get()));
    ComPtr<ISusiePlugin> wrong;
    EXPECT_EQ(E_NOINTERFACE, heap->QueryInterface(IID_ISusiePlugin, wrong.put_void()));

    const struct {
        const wchar_t* name;
        DISPID id;
    } names[] = {{L"Buffer", 0}, {L"pVal", 0},     {L"get_Buffer", 0}, {L"pArray", 0},
                 {L"GETBYTES", 1}, {L"length", 2}, {L"Get_Length", 2}};
    for (const auto& n : names) {
        LPOLESTR name = const_cast<LPOLESTR>(n.name);
        DISPID id = 99;
        EXPECT_EQ(S_OK, d->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
        EXPECT_EQ(n.id, id) << testing::PrintToString(std::wstring(n.name));
    }
    LPOLESTR unknown = const_cast<LPOLESTR>(L"get_GetBytes");
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, d->GetIDsOfNames(IID_NULL, &unknown, 1, 0, &id));

    LONG buffer = 0, length = 0;
    heap->get_Buffer(&buffer);
    heap->get_Length(&length);
    DISPPARAMS none{};
    Variant r;
    ASSERT_EQ(S_OK, d->Invoke(0, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, r.get(), nullptr, nullptr));
    EXPECT_EQ(VT_I4, V_VT(r.get()));
    EXPECT_EQ(buffer, V_I4(r.get()));
    r.clear();
    ASSERT_EQ(S_OK, d->Invoke(2, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, r.get(), nullptr, nullptr));
    EXPECT_EQ(length, V_I4(r.get()));
    r.clear();
    ASSERT_EQ(S_OK, d->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, r.get(), nullptr, nullptr));
    ASSERT_EQ(VT_ARRAY | VT_UI1, V_VT(r.get()));
    EXPECT_EQ(static_cast<size_t>(length), Contents(*r.get()).size());
    r.clear();
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              d->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &none, r.get(), nullptr, nullptr));
    Variant arg;
    V_VT(arg.get()) = VT_I4;
    DISPPARAMS one{arg.get(), nullptr, 1, 0};
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              d->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &one, r.get(), nullptr, nullptr));
}

}  // namespace
