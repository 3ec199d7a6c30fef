// The object template: QueryInterface from the interface list, reference counting and the
// module lock held from construction to destruction; and the boundary of COM members.
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "common/boundary.h"
#include "common/com_ptr.h"
#include "common/module_lock.h"
#include "common/object.h"

namespace {

TEST(Boundary, WhateverTheBodyDoesTheMemberAnswersOneHresult) {
    using Tamrix::Boundary;
    EXPECT_EQ(S_OK, Boundary([] {}));
    EXPECT_EQ(S_FALSE, Boundary([] { return S_FALSE; }));
    EXPECT_EQ(E_INVALIDARG, Boundary([] { return E_INVALIDARG; }));
    EXPECT_EQ(E_OUTOFMEMORY, Boundary([] { throw std::bad_alloc(); }));
    EXPECT_EQ(E_ACCESSDENIED, Boundary([] { return Tamrix::ThrowIfFailed(E_ACCESSDENIED); }));
    EXPECT_EQ(S_FALSE, Boundary([] { return Tamrix::ThrowIfFailed(S_FALSE); }));
    EXPECT_EQ(E_UNEXPECTED, Boundary([] { throw std::runtime_error("no code"); }));
}

int g_destroyed = 0;

class Sample : public IEnumVARIANT, public IProvideClassInfo {
public:
    using Interfaces = Tamrix::InterfaceList<IEnumVARIANT, IProvideClassInfo>;
    ~Sample() { ++g_destroyed; }
    // Teardown that hands itself to something which takes a reference and lets it go
    // again: destruction must not start a second time.
    void FinalRelease() {
        if (selfRelease_) {
            IEnumVARIANT* self = this;
            self->AddRef();
            self->Release();
        }
    }
    STDMETHODIMP Next(ULONG, VARIANT*, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IEnumVARIANT**) override { return E_NOTIMPL; }
    STDMETHODIMP GetClassInfo(ITypeInfo**) override { return E_NOTIMPL; }
    bool selfRelease_ = false;
};

TEST(ObjectTemplate, ModuleLockFollowsTheObjectsLife) {
    const LONG before = Tamrix::module_lock::Count();
    auto* obj = Tamrix::Make<Sample>().detach();
    ASSERT_NE(nullptr, obj);
    EXPECT_EQ(before + 1, Tamrix::module_lock::Count()) << "lock taken with the object";
    EXPECT_EQ(2u, obj->AddRef()) << "born owned: the maker holds the first reference";
    EXPECT_EQ(3u, obj->AddRef());
    EXPECT_EQ(2u, obj->Release());
    EXPECT_EQ(1u, obj->Release());
    EXPECT_EQ(before + 1, Tamrix::module_lock::Count());
    const int destroyed = g_destroyed;
    EXPECT_EQ(0u, obj->Release());
    EXPECT_EQ(destroyed + 1, g_destroyed);
    EXPECT_EQ(before, Tamrix::module_lock::Count());
}

TEST(ObjectTemplate, QueryInterfaceKeepsOneIdentityAndRefusesOthers) {
    Tamrix::ComPtr<IEnumVARIANT> e;
    ASSERT_EQ(S_OK, Tamrix::CreateInstance<Sample>(IID_IEnumVARIANT, e.put_void()));
    Tamrix::ComPtr<IProvideClassInfo> pci;
    ASSERT_EQ(S_OK, e.query(pci));
    Tamrix::ComPtr<IUnknown> u1, u2;
    ASSERT_EQ(S_OK, e.query(u1));
    ASSERT_EQ(S_OK, pci.query(u2));
    EXPECT_EQ(u1.get(), u2.get()) << "IUnknown is the same from every interface";
    EXPECT_EQ(static_cast<void*>(static_cast<IEnumVARIANT*>(e.get())), u1.get())
        << "the first interface of the list is the identity";

    const LONG locks = Tamrix::module_lock::Count();
    Tamrix::ComPtr<IDispatch> d;
    EXPECT_EQ(E_NOINTERFACE, e.query(d));
    EXPECT_EQ(nullptr, d.get());
    EXPECT_EQ(E_POINTER, e->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(locks, Tamrix::module_lock::Count());
}

TEST(ObjectTemplate, FailedCreationLeavesNoObjectAndNoLock) {
    const LONG before = Tamrix::module_lock::Count();
    const int destroyed = g_destroyed;
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, Tamrix::CreateInstance<Sample>(IID_IDispatch, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(destroyed + 1, g_destroyed);
    EXPECT_EQ(before, Tamrix::module_lock::Count());
}

TEST(ObjectTemplate, ReleaseDuringDestructionDoesNotDestroyTwice) {
    auto* obj = Tamrix::Make<Sample>().detach();
    ASSERT_NE(nullptr, obj);
    obj->selfRelease_ = true;
    const int destroyed = g_destroyed;
    obj->Release();
    EXPECT_EQ(destroyed + 1, g_destroyed);
}

}  // namespace
