// The bundled plug-ins built as 64-bit plug-ins (iftamrix.sph, axtamrix.sph) and used by
// Tamrix64.dll: every sample picture decoded to the samples' known pixels, in process
// through the plug-in object and through the manager's picture, and from the 32-bit
// iftamrix.spi through the manager too, whose bitmap is made here from the blocks fetched
// from the surrogate; every sample archive listed and extracted alike by the 64-bit plug-in
// here and the 32-bit one there; the manager's picture facts and a PNG written through the
// 64-bit plug-in.
#include <windows.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bundled/bundled.h"
#include "common/spi_folder.h"
#include "manager/tamrix_host.h"
#include "plugin/source.h"
#include "plugin_object/plugin_fixture.h"
#include "server/server_dll.h"

using namespace plugtest;
using Manager = Tamrix::Object<Tamrix::TamrixHost>;

namespace {

[[maybe_unused]] auto* const g_com = ::testing::AddGlobalTestEnvironment(new servertest::ComApartment);

std::string Bundled64(const char* file) {
    return testenv::WinPath(testenv::Env("TAMRIX_BUNDLED_DIR")) + "\\" + file;
}
std::string Bundled32(const char* file) {
    return testenv::WinPath(testenv::Env("TAMRIX_BUNDLED32_DIR")) + "\\" + file;
}

// A manager over a folder holding one plug-in file.
struct OnePlugin {
    explicit OnePlugin(const std::string& tag, const std::string& from, const char* as)
        : folder(tag), host(Tamrix::Make<Tamrix::TamrixHost>()) {
        EXPECT_TRUE(CopyFileA(from.c_str(), folder.PathOf(as).c_str(), FALSE)) << from;
        EXPECT_EQ(S_OK, host->Init(6, MakeBstr(folder.Path()).get()));  // kept loaded
        LONG count = 0;
        host->get_Count(&count);
        EXPECT_EQ(1, count) << as;
    }
    testenv::SpiFolder folder;
    ComPtr<Manager> host;
};

// The bitmap file the manager makes for `file`, as GetPicture loads it into a picture.
bundled::Dib ManagerBitmap(Manager& host, const std::string& file) {
    Variant name;
    SetString(name, file);
    SPI::Source source;
    EXPECT_EQ(S_OK, source.Convert(*name.get(), 0));
    Tamrix::UniqueHglobal bitmap;
    EXPECT_EQ(S_OK, host.List().ComposePicture(source, bitmap));
    if (!bitmap) return bundled::Dib{};
    const auto* bytes = static_cast<const uint8_t*>(GlobalLock(bitmap.get()));
    const bundled::Bytes copy(bytes, bytes + GlobalSize(bitmap.get()));
    GlobalUnlock(bitmap.get());
    return bundled::ParseBmpFile(copy);
}

class Pictures64 : public ::testing::TestWithParam<samples::Picture> {
protected:
    static void SetUpTestSuite() {
        here_ = new OnePlugin("x64_if64", Bundled64("iftamrix.sph"), "iftamrix.sph");
        there_ = new OnePlugin("x64_if32", Bundled32("iftamrix.spi"), "iftamrix.spi");
    }
    static void TearDownTestSuite() {
        delete here_;
        delete there_;
    }
    static OnePlugin* here_;
    static OnePlugin* there_;
};
OnePlugin* Pictures64::here_ = nullptr;
OnePlugin* Pictures64::there_ = nullptr;

TEST_P(Pictures64, DecodeToTheSamplesPixelsThroughEitherPlugIn) {
    const samples::Picture& p = GetParam();
    const std::string file = bundled::Picture(p);
    {
        SCOPED_TRACE("iftamrix.sph through a plug-in object of Tamrix64.dll");
        ComPtr<ISusiePlugin> spi = NewPlugin();
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(S_OK, spi->Load(MakeBstr(Bundled64("iftamrix.sph")).get(), &ok));
        ASSERT_EQ(VARIANT_TRUE, ok);
        Variant src;
        SetString(src, file);
        ComPtr<IDispatch> info, bits;
        ASSERT_EQ(S_OK, spi->GetPicture(*src.get(), 0, info.put(), bits.put()));
        const bundled::Bytes i = HeapBytes(info.get()), b = HeapBytes(bits.get());
        bundled::ExpectPicture(bundled::ParseDib(i.data(), i.size(), b.data(), b.size()), p);
    }
    {
        SCOPED_TRACE("iftamrix.sph through the manager");
        bundled::ExpectPicture(ManagerBitmap(*here_->host.get(), file), p);
    }
    {
        SCOPED_TRACE("iftamrix.sph through the manager: its facts, and a PNG it writes read back");
        Manager& host = *here_->host.get();
        Variant src;
        SetString(src, file);
        ComPtr<IDispatch> facts;
        ASSERT_EQ(S_OK, host.GetPictureProperties(*src.get(), 0, facts.put()));
        EXPECT_EQ((std::vector<LONG>{p.width, p.height, p.bits}), SizeAndDepth(facts.get()));
        const std::string png = testenv::TempDir() + "x64-converted-" + p.file + ".png";
        ASSERT_EQ(S_OK, host.ConvertFile(*src.get(), 0, MakeBstr(png).get()));
        const bundled::Dib back = ManagerBitmap(host, png);
        samples::Picture same = p;
        same.bits = back.bits;  // palettes come back expanded
        bundled::ExpectPicture(back, same);
    }
    {
        SCOPED_TRACE("iftamrix.spi through the manager, decoded in the surrogate");
        bundled::ExpectPicture(ManagerBitmap(*there_->host.get(), file), p);
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, Pictures64, ::testing::ValuesIn(samples::PICTURES));

// A header above 4 GB with bits 16 to 31 of its address clear is read there, not taken for
// a file handle.
TEST(Probe64, AHeaderAboveFourGigabytesIsReadThereWhateverItsLowBits) {
    BYTE* at = nullptr;
    for (ULONG_PTR k = 1; !at && k < 256; ++k)
        at = static_cast<BYTE*>(VirtualAlloc(reinterpret_cast<void*>(k << 32), 2048, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_TRUE(at && (reinterpret_cast<ULONG_PTR>(at) & 0xFFFF0000u) == 0);
    for (const auto& [plugin, sample] : {std::pair("iftamrix.sph", bundled::Picture(samples::PICTURES[0])),
                                         std::pair("axtamrix.sph", bundled::Sample("archives\\pictures.zip"))}) {
        const bundled::Bytes bytes = bundled::ReadAll(sample);
        std::memcpy(at, bytes.data(), std::min<size_t>(bytes.size(), 2048));
        HMODULE module = LoadLibraryA(Bundled64(plugin).c_str());
        auto isSupported = reinterpret_cast<int(WINAPI*)(LPCSTR, void*)>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "IsSupported")));
        EXPECT_TRUE(isSupported && isSupported(sample.c_str(), at)) << plugin;
        FreeLibrary(module);
    }
    VirtualFree(at, 0, MEM_RELEASE);
}

struct Member {
    std::string name, method;
    LONG size = 0;
    DATE time = 0;
    std::vector<BYTE> data;
    bool operator==(const Member&) const = default;
};

// Every member of `archive` through the plug-in object `spi`: its record and its bytes.
std::vector<Member> Members(ISusiePlugin* spi, const std::string& archive) {
    std::vector<Member> out;
    Variant src;
    SetString(src, archive);
    ComPtr<IDispatch> listing;
    EXPECT_EQ(S_OK, spi->GetArchiveInfo(*src.get(), 0, listing.put()));
    ComPtr<ISpiFileInfoCollection> list;
    if (!listing || FAILED(listing.query(list))) return out;
    LONG count = 0;
    EXPECT_EQ(S_OK, list->get_Count(&count));
    for (LONG i = 1; i <= count; ++i) {
        ComPtr<IDispatch> item;
        EXPECT_EQ(S_OK, list->get_Item(i, item.put()));
        ComPtr<ISpiFileInfo> e;
        EXPECT_EQ(S_OK, item.query(e));
        Member m;
        Bstr text;
        e->get_Path(text.put());
        m.name = Narrow(text.get());
        e->get_FileName(text.put());
        m.name += Narrow(text.get());
        e->get_Method(text.put());
        m.method = Narrow(text.get());
        e->get_FileSize(&m.size);
        e->get_TimeStamp(&m.time);
        ComPtr<IDispatch> data;
        if (m.size > 0 && SUCCEEDED(spi->GetFile(*src.get(), item.get(), data.put()))) m.data = HeapBytes(data.get());
        out.push_back(std::move(m));
    }
    return out;
}

TEST(Archives64, EverySampleArchiveListsAndExtractsAlikeThroughEitherPlugIn) {
    OnePlugin there("x64_ax32", Bundled32("axtamrix.spi"), "axtamrix.spi");
    ComPtr<IDispatch> remote;
    ASSERT_EQ(S_OK, there.host->get_Item(1, remote.put()));
    ComPtr<ISusiePlugin> spi32;
    ASSERT_EQ(S_OK, remote.query(spi32));
    ComPtr<ISusiePlugin> spi64 = NewPlugin();
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(S_OK, spi64->Load(MakeBstr(Bundled64("axtamrix.sph")).get(), &ok));
    ASSERT_EQ(VARIANT_TRUE, ok);
    for (const char* archive : {"pictures.zip", "pictures.tar", "pictures.tar.gz"}) {
        SCOPED_TRACE(archive);
        const std::string path = bundled::Sample(std::string("archives\\") + archive);
        const std::vector<Member> here = Members(spi64.get(), path), over = Members(spi32.get(), path);
        ASSERT_GE(here.size(), 5u);
        EXPECT_TRUE(here == over);
        for (const Member& m : here) {
            if (m.size > 0) {
                EXPECT_EQ(static_cast<size_t>(m.size), m.data.size()) << m.name;
            }
        }
    }
}

}  // namespace
