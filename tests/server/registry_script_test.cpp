// The registration script interpreter on its own: replacements, the text syntax, and what
// each kind of key does when written and removed. Works under a scratch key of its own.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "common/handles.h"
#include "server/module.h"
#include "server/registry_script.h"

using Tamrix::OpKind;
using Tamrix::ParsedScript;
using Tamrix::Replacements;
using Tamrix::UniqueRegKey;

namespace {

const std::string ROOT = "TamrixScriptTest";

bool KeyExists(const std::string& path) {
    UniqueRegKey key;
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::string Value(const std::string& path, const char* name = nullptr) {
    char data[512] = "";
    DWORD size = sizeof data;
    if (RegGetValueA(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return "<none>";
    return data;
}

void MakeKey(const std::string& path) {
    UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                             key.put(), nullptr));
}

std::wstring Expand(const Replacements& r, const std::string& s, HRESULT expected = S_OK) {
    std::wstring out;
    EXPECT_EQ(expected, r.Expand(s, out)) << s;
    return out;
}

TEST(Replacements, NamesFoldCaseAndBadNamesFail) {
    Replacements r;
    ASSERT_EQ(S_OK, r.Add("Module", "C:\\x\\Tamrix.dll"));
    ASSERT_EQ(S_OK, r.Add("APPID", "{ID}"));
    const std::string name31(31, 'n');
    ASSERT_EQ(S_OK, r.Add(name31.c_str(), "long"));

    EXPECT_EQ(L"plain text", Expand(r, "plain text"));
    EXPECT_EQ(L"C:\\x\\Tamrix.dll", Expand(r, "%MODULE%"));
    EXPECT_EQ(L"a {ID} b {ID}", Expand(r, "a %appid% b %AppId%"));
    EXPECT_EQ(L"100% sure", Expand(r, "100%% sure"));
    EXPECT_EQ(L"long", Expand(r, "%" + name31 + "%"));
    Expand(r, "%" + std::string(32, 'n') + "%", E_FAIL);  // 32 characters are too many
    Expand(r, "%Unknown%", E_FAIL);
    Expand(r, "%Module", E_FAIL);

    // A value the ANSI code page cannot hold comes through whole; the text around it is read
    // in that code page.
    const std::wstring wide = L"C:\\\u0416\U0001F600\\Tamrix.dll";
    ASSERT_EQ(S_OK, r.Add("Wide", wide));
    EXPECT_EQ(L"[" + wide + L"] 100%", Expand(r, "[%wide%] 100%%"));
}

class Script : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeA(HKEY_CLASSES_ROOT, ROOT.c_str());
        ASSERT_EQ(S_OK, r_.Add("NAME", "Named"));
    }
    void TearDown() override { RegDeleteTreeA(HKEY_CLASSES_ROOT, ROOT.c_str()); }
    HRESULT Run(const std::string& text, bool reg) {
        ParsedScript s;
        HRESULT hr = s.Parse(text);
        return SUCCEEDED(hr) ? Tamrix::RunRegistryScript(s.Script(), r_, reg) : hr;
    }
    Replacements r_;
};

const char SCRIPT[] = R"(
NoRemove TamrixScriptTest
{
    Plain = s 'it''s %NAME%'
    {
        val Extra = s '100%%'
        Child
    }
    ForceRemove Forced = s 'forced'
    'Quoted Key' = s 'quoted'
}
)";

TEST_F(Script, WritesEveryKindOfEntry) {
    MakeKey(ROOT + "\\Forced\\Stale");
    MakeKey(ROOT + "\\Plain\\Foreign");
    ASSERT_EQ(S_OK, Run(SCRIPT, true));
    EXPECT_EQ("it's Named", Value(ROOT + "\\Plain"));
    EXPECT_EQ("100%", Value(ROOT + "\\Plain", "Extra"));
    EXPECT_TRUE(KeyExists(ROOT + "\\Plain\\Child"));
    EXPECT_EQ("forced", Value(ROOT + "\\Forced"));
    EXPECT_FALSE(KeyExists(ROOT + "\\Forced\\Stale")) << "deleted before it is written";
    EXPECT_TRUE(KeyExists(ROOT + "\\Plain\\Foreign")) << "a plain key is only opened";
    EXPECT_EQ("quoted", Value(ROOT + "\\Quoted Key"));
}

TEST_F(Script, RemovalKeepsKeysThatStillHaveSubkeys) {
    ASSERT_EQ(S_OK, Run(SCRIPT, true));
    MakeKey(ROOT + "\\Plain\\Foreign");
    MakeKey(ROOT + "\\Forced\\Foreign");
    ASSERT_EQ(S_OK, Run(SCRIPT, false));
    EXPECT_TRUE(KeyExists(ROOT)) << "NoRemove";
    EXPECT_TRUE(KeyExists(ROOT + "\\Plain")) << "kept alive by its foreign subkey";
    EXPECT_EQ("<none>", Value(ROOT + "\\Plain", "Extra")) << "its named value is removed";
    EXPECT_FALSE(KeyExists(ROOT + "\\Plain\\Child"));
    EXPECT_FALSE(KeyExists(ROOT + "\\Forced")) << "ForceRemove goes with its subkeys";
    EXPECT_FALSE(KeyExists(ROOT + "\\Quoted Key"));
    // Removing what is already gone is no error.
    EXPECT_EQ(S_OK, Run(SCRIPT, false));
}

TEST_F(Script, CompiledTreesRemovePlainKeysWithTheirSubkeys) {
    const std::string_view strings[] = {"TamrixScriptTest", "Key", "data"};
    const Tamrix::Op ops[] = {{OpKind::KeyNoRemove, 0, 0}, {OpKind::Begin, 0, 0}, {OpKind::Key, 1, 0},
                              {OpKind::DefaultValue, 0, 2}, {OpKind::End, 0, 0}};
    const Tamrix::RegistryScript script{ops, strings, Tamrix::PlainKeyRemoval::WithSubkeys};
    ASSERT_EQ(S_OK, Tamrix::RunRegistryScript(script, r_, true));
    EXPECT_EQ("data", Value(ROOT + "\\Key"));
    MakeKey(ROOT + "\\Key\\Foreign\\Deeper");
    ASSERT_EQ(S_OK, Tamrix::RunRegistryScript(script, r_, false));
    EXPECT_FALSE(KeyExists(ROOT + "\\Key"));
    EXPECT_TRUE(KeyExists(ROOT));
}

TEST_F(Script, BadScriptsFailBeforeAnythingIsWritten) {
    EXPECT_EQ(E_FAIL, Run("NoRemove TamrixScriptTest {", true));
    EXPECT_EQ(E_FAIL, Run("TamrixScriptTest }", true));
    EXPECT_EQ(E_FAIL, Run("TamrixScriptTest = 'no type'", true));
    EXPECT_EQ(E_FAIL, Run("TamrixScriptTest = s 'unclosed", true));
    EXPECT_EQ(E_FAIL, Run("val = s 'x'", true));
    EXPECT_EQ(E_FAIL, Run("TamrixScriptTest { A = s 'a' B = s '%Unknown%' }", true));
    EXPECT_FALSE(KeyExists(ROOT)) << "a bad replacement fails before anything is written";
}

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
