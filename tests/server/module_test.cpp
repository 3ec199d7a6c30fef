// The module's process-wide records: termination actions and the global interface table.
#include <windows.h>
#include <objbase.h>
#include <gtest/gtest.h>

#include <string>

#include "server/module.h"

namespace {

TEST(ModuleRecords, TerminationRunsTheLatestActionFirst) {
    static std::string order;
    order.clear();
    Tamrix::CTamrixModule& m = Tamrix::Module();
    ASSERT_EQ(S_OK, m.AddTermFunc([](DWORD_PTR a) { order += static_cast<char>(a); }, 'a'));
    ASSERT_EQ(S_OK, m.AddTermFunc([](DWORD_PTR a) { order += static_cast<char>(a); }, 'b'));
    m.Term();
    EXPECT_EQ("ba", order);
    m.Term();
    EXPECT_EQ("ba", order) << "each action runs once";
}

TEST(ModuleRecords, GlobalInterfaceTableIsMadeOnceAndKept) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    Tamrix::CTamrixModule& m = Tamrix::Module();
    EXPECT_EQ(E_POINTER, m.GetGITPtr(nullptr));
    IGlobalInterfaceTable* a = nullptr;
    IGlobalInterfaceTable* b = nullptr;
    ASSERT_EQ(S_OK, m.GetGITPtr(&a));
    ASSERT_EQ(S_OK, m.GetGITPtr(&b));
    EXPECT_EQ(a, b);
    a->Release();
    b->Release();
    m.Term();  // lets go of the table while COM is still up
    CoUninitialize();
}

}  // namespace
