// Bad client input for every member: null pointers, source VARIANTs of the wrong type,
// arguments a late-bound call cannot convert, missing and unreadable files, huge offsets and
// lengths, folders that do not exist, destinations that cannot be written. Each answers a
// clear HRESULT, calls no plug-in where the input is refused before it, writes nothing, and
// leaves a file that was at the destination as it was.
#include <windows.h>
#include <olectl.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/spi_folder.h"
#include "manager/tamrix_host.h"
#include "plugin_object/archive_fixture.h"
#include "plugin_object/plugin_fixture.h"
#include "robust/robust_util.h"

namespace robust {
namespace {

using plugtest::Counters;
using Tamrix::Bstr;
using Tamrix::ComPtr;
using Tamrix::Variant;

const std::vector<plugtest::QqzMemberDesc> MEMBERS = {
    {"stored", "", "a.txt", plugtest::Pattern(1, 10), 0, 1},
    {"stored", "dir\\", "b.bin", plugtest::Pattern(2, 300), 0, 2},
};
const char OLD[] = "the file that was there";

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        picture_ = plugtest::LoadPlugin("qqa");
        archive_ = plugtest::LoadPlugin("qqz");
        pictureCalls_ = std::make_unique<Counters>("qqa");
        archiveCalls_ = std::make_unique<Counters>("qqz");
        RemoveFolder(testenv::TempDir() + "tamrix_badinput_" + std::to_string(GetCurrentProcessId()) + "\\out");
        folder_ = std::make_unique<testenv::SpiFolder>("badinput");
        folder_->Add("qqa");
        folder_->Add("qqz");
        out_ = folder_->AddFolder("out");
        host_ = Tamrix::Make<Tamrix::TamrixHost>();
        Bstr path = MakeBstr(folder_->Path());
        ASSERT_EQ(S_OK, host_->Init(0, path.get()));
        pictureFile_ = folder_->AddFile("picture.qqa", "");
        ASSERT_TRUE(WriteBytes(pictureFile_, &picture, sizeof picture));
        const std::vector<BYTE> archive = plugtest::Qqz(MEMBERS);
        archiveFile_ = folder_->PathOf("archive.qqz");
        ASSERT_TRUE(WriteBytes(archiveFile_, archive.data(), archive.size()));
        plugtest::SetString(pictureName_, pictureFile_);
        plugtest::SetString(archiveName_, archiveFile_);
        // An entry of the archive, to name a member with.
        ComPtr<IDispatch> listing;
        ASSERT_EQ(S_OK, archive_->GetArchiveInfo(*archiveName_.get(), 0, listing.put()));
        ComPtr<ISpiFileInfoCollection> c;
        ASSERT_EQ(S_OK, listing->QueryInterface(IID_ISpiFileInfoCollection, c.put_void()));
        ASSERT_EQ(S_OK, c->get_Item(2, entry_.put()));
    }
    void TearDown() override {
        entry_.reset();
        host_.reset();
        EXPECT_EQ(0, pictureCalls_->Outstanding());
        EXPECT_EQ(0, archiveCalls_->Outstanding());
        picture_.reset();
        archive_.reset();
        RemoveFolder(out_);
        folder_.reset();
        CoUninitialize();
    }

    // A destination in the scratch folder holding OLD.
    std::string Destination(const std::string& name) {
        const std::string path = out_ + "\\" + name;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_TRUE(WriteBytes(path, OLD, sizeof OLD));
        return path;
    }
    void ExpectUntouched(const std::string& path) {
        EXPECT_EQ(std::vector<BYTE>(OLD, OLD + sizeof OLD), ReadBytes(path)) << path;
    }
    // Every source member of both objects and of the manager, with one source, refused alike.
    void ExpectEverySourceMember(const VARIANT& src, LONG len, HRESULT expected, const std::string& why);
    int DataCalls() const { return pictureCalls_->Calls() + archiveCalls_->Calls(); }

    testspi::QqaHeader picture = plugtest::Qqa(5, 3, 24);
    ComPtr<ISusiePlugin> picture_, archive_;
    std::unique_ptr<Counters> pictureCalls_, archiveCalls_;
    std::unique_ptr<testenv::SpiFolder> folder_;
    std::string out_, pictureFile_, archiveFile_;
    ComPtr<Tamrix::Object<Tamrix::TamrixHost>> host_;
    Variant pictureName_, archiveName_;
    ComPtr<IDispatch> entry_;
};

void BadInput::ExpectEverySourceMember(const VARIANT& src, LONG len, HRESULT expected, const std::string& why) {
    SCOPED_TRACE(why);
    const std::string dest = Destination("dest.out");
    Bstr destPath = MakeBstr(dest);
    Bstr name = MakeBstr("a.txt");
    PictureInfo info{};
    info.width = 12345;
    ComPtr<IDispatch> a, b;
    Bstr text;
    EXPECT_EQ(expected, picture_->GetPictureInfo(src, len, &info));
    EXPECT_EQ(12345, info.width) << "the record stays as it was";
    EXPECT_EQ(expected, picture_->GetPicture(src, len, a.put(), b.put()));
    EXPECT_TRUE(!a && !b);
    EXPECT_EQ(expected, picture_->GetPreview(src, len, a.put(), b.put()));
    EXPECT_TRUE(!a && !b);
    EXPECT_EQ(expected, picture_->GetPictureToFile(src, len, destPath.get()));
    ExpectUntouched(dest);
    // GetPictureText answers S_OK and no text for a source the plug-in rejects.
    const HRESULT textHr = picture_->GetPictureText(src, len, text.put());
    EXPECT_TRUE(textHr == expected || (expected != E_INVALIDARG && textHr == S_OK)) << std::hex << textHr;
    EXPECT_EQ(nullptr, text.get());
    EXPECT_EQ(expected, archive_->GetArchiveInfo(src, len, a.put()));
    EXPECT_FALSE(a);
    EXPECT_EQ(expected, archive_->GetFileInfo(src, len, name.get(), a.put()));
    EXPECT_FALSE(a);
    EXPECT_EQ(expected == E_INVALIDARG ? E_INVALIDARG : E_FAIL, archive_->GetFile(src, entry_.get(), a.put()));
    EXPECT_FALSE(a);
    EXPECT_EQ(expected, archive_->GetFileToFile(src, entry_.get(), destPath.get()));
    ExpectUntouched(dest);
    EXPECT_EQ(expected == E_INVALIDARG ? E_INVALIDARG : E_FAIL, host_->GetPicture(src, len, a.put()));
    EXPECT_FALSE(a);
    EXPECT_EQ(std::vector<std::string>{"dest.out"}, FilesIn(out_)) << "nothing else written";
}

TEST_F(BadInput, NullPointersAreRefusedBeforeAnyPluginIsAsked) {
    const int before = DataCalls();
    ComPtr<IDispatch> d;
    IDispatch* none = nullptr;
    EXPECT_EQ(E_POINTER, picture_->get_About(nullptr));
    EXPECT_EQ(E_POINTER, picture_->get_Version(nullptr));
    EXPECT_EQ(E_POINTER, picture_->get_PluginInfo(1, nullptr));
    EXPECT_EQ(E_POINTER, picture_->get_CanPreview(nullptr));
    EXPECT_EQ(E_POINTER, picture_->get_CanConfigDlg(nullptr));
    EXPECT_EQ(E_POINTER, picture_->GetPictureInfo(*pictureName_.get(), 0, nullptr));
    EXPECT_EQ(E_POINTER, picture_->GetPicture(*pictureName_.get(), 0, nullptr, d.put()));
    EXPECT_EQ(E_POINTER, picture_->GetPicture(*pictureName_.get(), 0, d.put(), nullptr));
    EXPECT_EQ(E_POINTER, picture_->GetPreview(*pictureName_.get(), 0, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, picture_->GetPictureText(*pictureName_.get(), 0, nullptr));
    EXPECT_EQ(E_POINTER, picture_->Load(nullptr, nullptr));
    EXPECT_EQ(E_POINTER, archive_->GetArchiveInfo(*archiveName_.get(), 0, nullptr));
    EXPECT_EQ(E_POINTER, archive_->GetFileInfo(*archiveName_.get(), 0, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, archive_->GetFile(*archiveName_.get(), entry_.get(), nullptr));
    // A missing entry is an unusable argument, checked before the source.
    EXPECT_EQ(E_INVALIDARG, archive_->GetFile(*archiveName_.get(), none, d.put()));
    EXPECT_EQ(E_INVALIDARG, archive_->GetFileToFile(*archiveName_.get(), none, nullptr));
    EXPECT_EQ(E_POINTER, host_->get__NewEnum(nullptr));
    EXPECT_EQ(E_POINTER, host_->get_Item(1, nullptr));
    EXPECT_EQ(E_POINTER, host_->get_Count(nullptr));
    Bstr name = MakeBstr(pictureFile_);
    EXPECT_EQ(E_POINTER, host_->QuerySpiFromFile(name.get(), 0, nullptr));
    EXPECT_EQ(E_POINTER, host_->QuerySpi(name.get(), *pictureName_.get(), nullptr));
    EXPECT_EQ(E_POINTER, host_->GetPicture(*pictureName_.get(), 0, nullptr));
    EXPECT_EQ(E_POINTER, host_->GetFileFilter(0, nullptr));
    EXPECT_EQ(before, DataCalls());

    // The result objects and enumerators.
    ComPtr<IDispatch> info, pixels, listing;
    ASSERT_EQ(S_OK, picture_->GetPicture(*pictureName_.get(), 0, info.put(), pixels.put()));
    ComPtr<ISpiLocalHeap> heap;
    ASSERT_EQ(S_OK, pixels->QueryInterface(IID_ISpiLocalHeap, heap.put_void()));
    EXPECT_EQ(E_POINTER, heap->get_Buffer(nullptr));
    EXPECT_EQ(E_POINTER, heap->get_Length(nullptr));
    EXPECT_EQ(E_POINTER, heap->GetBytes(nullptr));
    ComPtr<ISpiFileInfo> e;
    ASSERT_EQ(S_OK, entry_->QueryInterface(IID_ISpiFileInfo, e.put_void()));
    EXPECT_EQ(E_POINTER, e->get_Method(nullptr));
    EXPECT_EQ(E_POINTER, e->get_Position(nullptr));
    EXPECT_EQ(E_POINTER, e->get_CompSize(nullptr));
    EXPECT_EQ(E_POINTER, e->get_FileSize(nullptr));
    EXPECT_EQ(E_POINTER, e->get_TimeStamp(nullptr));
    EXPECT_EQ(E_POINTER, e->get_Path(nullptr));
    EXPECT_EQ(E_POINTER, e->get_FileName(nullptr));
    EXPECT_EQ(E_POINTER, e->get_CRC(nullptr));
    ASSERT_EQ(S_OK, archive_->GetArchiveInfo(*archiveName_.get(), 0, listing.put()));
    ComPtr<ISpiFileInfoCollection> c;
    ASSERT_EQ(S_OK, listing->QueryInterface(IID_ISpiFileInfoCollection, c.put_void()));
    EXPECT_EQ(E_POINTER, c->get_Count(nullptr));
    EXPECT_EQ(E_POINTER, c->get_Item(1, nullptr));
    EXPECT_EQ(E_POINTER, c->get__NewEnum(nullptr));
    for (IUnknown* owner : {static_cast<IUnknown*>(c.get()), static_cast<IUnknown*>(static_cast<ITamrixHost*>(host_.get()))}) {
        ComPtr<IUnknown> u;
        if (owner == c.get())
            ASSERT_EQ(S_OK, c->get__NewEnum(u.put()));
        else
            ASSERT_EQ(S_OK, host_->get__NewEnum(u.put()));
        ComPtr<IEnumVARIANT> en;
        ASSERT_EQ(S_OK, u->QueryInterface(IID_IEnumVARIANT, en.put_void()));
        VARIANT two[2];
        EXPECT_EQ(E_POINTER, en->Next(1, nullptr, nullptr));
        EXPECT_EQ(E_POINTER, en->Next(2, two, nullptr)) << "more than one element needs a count";
        EXPECT_EQ(E_POINTER, en->Clone(nullptr));
    }
    // Dispatch: null out pointers and null arguments.
    for (IDispatch* object : {static_cast<IDispatch*>(picture_.get()), static_cast<IDispatch*>(host_.get()),
                              static_cast<IDispatch*>(c.get()), static_cast<IDispatch*>(heap.get()),
                              static_cast<IDispatch*>(e.get())}) {
        EXPECT_EQ(E_POINTER, object->GetTypeInfoCount(nullptr));
        EXPECT_EQ(E_POINTER, object->GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr));
        LPOLESTR name = const_cast<LPOLESTR>(L"NoSuchMember");
        DISPID id = 0;
        EXPECT_EQ(DISP_E_UNKNOWNNAME, object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
        EXPECT_TRUE(FAILED(object->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, nullptr, nullptr,
                                          nullptr, nullptr)));
    }
    // Null strings are empty strings: no plug-in by that name, no folder, no file.
    VARIANT_BOOL ok = VARIANT_TRUE;
    ComPtr<ISusiePlugin> unbound = plugtest::NewPlugin();
    EXPECT_EQ(S_OK, unbound->Load(nullptr, &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
    EXPECT_EQ(S_OK, host_->Init(0, nullptr));
    EXPECT_EQ(E_FAIL, picture_->GetPictureToFile(*pictureName_.get(), 0, nullptr));
    EXPECT_EQ(E_FAIL, archive_->GetFileToFile(*archiveName_.get(), entry_.get(), nullptr));
    EXPECT_EQ(E_FAIL, host_->QuerySpiFromFile(nullptr, 0, d.put()));
}

TEST_F(BadInput, SourcesOfTheWrongTypeAreRefusedUnread) {
    Variant empty, null, i2, r8, dispatch, refI4, longs, refArray, nullArray, refToRef, nullRef, variants;
    V_VT(null.get()) = VT_NULL;
    V_VT(i2.get()) = VT_I2;
    V_I2(i2.get()) = 1;
    V_VT(r8.get()) = VT_R8;
    V_R8(r8.get()) = 1.5;
    V_VT(dispatch.get()) = VT_DISPATCH;
    V_DISPATCH(dispatch.get()) = picture_.get();
    picture_->AddRef();
    LONG number = 7;
    V_VT(refI4.get()) = VT_BYREF | VT_I4;
    V_I4REF(refI4.get()) = &number;
    SAFEARRAYBOUND bound{4, 0};
    V_VT(longs.get()) = VT_ARRAY | VT_I4;
    V_ARRAY(longs.get()) = SafeArrayCreate(VT_I4, 1, &bound);
    V_VT(variants.get()) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(variants.get()) = SafeArrayCreate(VT_VARIANT, 1, &bound);
    SAFEARRAY* bytes = plugtest::MakeArray(plugtest::Bytes(picture));
    V_VT(refArray.get()) = VT_BYREF | VT_ARRAY | VT_UI1;
    V_ARRAYREF(refArray.get()) = &bytes;
    V_VT(nullArray.get()) = VT_ARRAY | VT_UI1;
    V_ARRAY(nullArray.get()) = nullptr;
    VARIANT inner = RefTo(pictureName_.get());
    V_VT(refToRef.get()) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(refToRef.get()) = &inner;
    V_VT(nullRef.get()) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(nullRef.get()) = nullptr;
    // An array the caller holds locked as far as it goes cannot be accessed once more.
    Variant locked;
    plugtest::SetArray(locked, plugtest::Bytes(picture));
    ULONG locks = 0;
    while (SUCCEEDED(SafeArrayLock(V_ARRAY(locked.get())))) ++locks;

    const int before = DataCalls();
    const std::pair<const char*, const VARIANT*> cases[] = {
        {"empty", empty.get()},          {"null", null.get()},
        {"VT_I2", i2.get()},             {"VT_R8", r8.get()},
        {"an object", dispatch.get()},   {"an integer by reference", refI4.get()},
        {"an array of longs", longs.get()}, {"an array of variants", variants.get()},
        {"a byte array by reference", refArray.get()}, {"a null array", nullArray.get()},
        {"a reference to a reference", refToRef.get()}, {"a null reference", nullRef.get()},
        {"a locked array", locked.get()},
    };
    for (const auto& [why, src] : cases) ExpectEverySourceMember(*src, 0, E_INVALIDARG, why);
    EXPECT_EQ(before, DataCalls()) << "no plug-in was asked";

    // QuerySpi takes memory alone, read directly.
    ComPtr<IDispatch> d;
    for (const auto& [why, buffer] :
         {std::pair<const char*, const VARIANT*>{"a file name", pictureName_.get()}, {"empty", empty.get()},
          {"a byte array by reference", refArray.get()}, {"a variable by reference", &inner},
          {"a null array", nullArray.get()}, {"a locked array", locked.get()}}) {
        EXPECT_EQ(E_INVALIDARG, host_->QuerySpi(nullptr, *buffer, d.put())) << why;
        EXPECT_FALSE(d);
    }
    while (locks--) SafeArrayUnlock(V_ARRAY(locked.get()));
    SafeArrayDestroy(bytes);
}

// Late-bound calls whose arguments cannot become the member's parameter types: a type
// mismatch naming the argument, and the member is not run.
TEST_F(BadInput, ArgumentsThatCannotBeConvertedAreATypeMismatch) {
    struct Call {
        IDispatch* object;
        const wchar_t* member;
        std::vector<VARIANT> args;  // in the order written
        UINT badArg;                // its rgvarg index
    };
    auto text = [](const wchar_t* s) {
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocString(s);
        return v;
    };
    auto number = [](LONG n) {
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_I4;
        V_I4(&v) = n;
        return v;
    };
    // An array of VARIANTs becomes no string and no number (an object would: through its
    // default member).
    auto variants = []() {
        VARIANT v;
        VariantInit(&v);
        SAFEARRAYBOUND bound{2, 0};
        V_VT(&v) = VT_ARRAY | VT_VARIANT;
        V_ARRAY(&v) = SafeArrayCreate(VT_VARIANT, 1, &bound);
        return v;
    };
    auto copy = [](const VARIANT& from) {
        VARIANT v;
        VariantInit(&v);
        VariantCopy(&v, const_cast<VARIANT*>(&from));
        return v;
    };
    IDispatch* spi = picture_.get();
    IDispatch* arc = archive_.get();
    IDispatch* host = host_.get();
    Variant out;
    std::vector<Call> calls = {
        // Type-library dispatch (SusiePlugin).
        {spi, L"PluginInfo", {text(L"one")}, 0},
        {spi, L"ConfigurationDlg", {text(L"x"), number(1)}, 1},
        {spi, L"GetPictureInfo", {copy(*pictureName_.get()), text(L"zero")}, 0},
        {spi, L"GetPicture", {copy(*pictureName_.get()), text(L"zero"), RefTo(out.get())}, 1},
        {spi, L"GetPreview", {copy(*pictureName_.get()), text(L"zero"), RefTo(out.get())}, 1},
        {spi, L"GetPictureText", {copy(*pictureName_.get()), text(L"zero")}, 0},
        {spi, L"GetPictureToFile", {copy(*pictureName_.get()), text(L"zero"), text(L"x.bmp")}, 1},
        {spi, L"Load", {variants()}, 0},
        {arc, L"GetArchiveInfo", {copy(*archiveName_.get()), text(L"zero")}, 0},
        {arc, L"GetFileInfo", {copy(*archiveName_.get()), text(L"zero"), text(L"a.txt")}, 1},
        {arc, L"GetFile", {copy(*archiveName_.get()), text(L"not an entry")}, 0},
        {arc, L"GetFileToFile", {copy(*archiveName_.get()), text(L"not an entry"), text(L"x.out")}, 1},
        // Name-table dispatch (TamrixHost).
        {host, L"Item", {text(L"first")}, 0},
        {host, L"Init", {text(L"all"), text(L"")}, 1},
        {host, L"QuerySpiFromFile", {copy(*pictureName_.get()), text(L"start")}, 0},
        {host, L"QuerySpi", {variants(), copy(*pictureName_.get())}, 1},
        {host, L"GetPicture", {copy(*pictureName_.get()), text(L"zero")}, 0},
        {host, L"GetFileFilter", {text(L"pictures")}, 0},
    };
    const int before = DataCalls();
    for (Call& call : calls) {
        SCOPED_TRACE(std::string(call.member, call.member + std::wcslen(call.member)));
        LPOLESTR name = const_cast<LPOLESTR>(call.member);
        DISPID id = 0;
        ASSERT_EQ(S_OK, call.object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
        std::vector<VARIANT> rgvarg(call.args.rbegin(), call.args.rend());
        DISPPARAMS params{rgvarg.data(), nullptr, static_cast<UINT>(rgvarg.size()), 0};
        Variant result;
        UINT argErr = 99;
        const HRESULT hr = call.object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                               result.get(), nullptr, &argErr);
        if (call.object == host) {
            // The name table's own conversion.
            EXPECT_EQ(DISP_E_TYPEMISMATCH, hr);
            EXPECT_EQ(call.badArg, argErr);
        } else if (std::wcscmp(call.member, L"GetPictureInfo") == 0 && hr == E_NOTIMPL) {
            // Wine 8's type library dispatch takes no record as a result at all; Windows
            // converts the arguments first and finds the mismatch.
        } else {
            // The platform's type library dispatch: Windows names the argument, Wine 8
            // leaves the index as it was.
            EXPECT_EQ(DISP_E_TYPEMISMATCH, hr);
            EXPECT_TRUE(argErr == call.badArg || argErr == 99) << argErr;
        }
        EXPECT_EQ(VT_EMPTY, V_VT(result.get()));
        for (VARIANT& v : call.args)
            if (V_VT(&v) != (VT_BYREF | VT_VARIANT)) VariantClear(&v);
    }
    EXPECT_EQ(before, DataCalls()) << "no member ran";
    EXPECT_FALSE(Exists("x.bmp"));
}

TEST_F(BadInput, MissingAndUnreadableFilesFailInThePlugin) {
    const std::string missing = out_ + "\\no such file.qqa";
    // Held open by another with no sharing at all, so nobody can read it.
    const std::string held = folder_->PathOf("held.qqa");
    ASSERT_TRUE(WriteBytes(held, &picture, sizeof picture));
    HANDLE lock = CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    for (const std::string& path : {missing, held, folder_->Path()}) {
        Variant src;
        plugtest::SetString(src, path);
        ExpectEverySourceMember(*src.get(), 0, E_FAIL, path);
        ComPtr<IDispatch> d;
        Bstr name = MakeBstr(path);
        EXPECT_EQ(E_FAIL, host_->QuerySpiFromFile(name.get(), 0, d.put()));
    }
    CloseHandle(lock);
    // A plug-in path that is no plug-in: not bound, and every member refuses without calling.
    ComPtr<ISusiePlugin> spi = plugtest::NewPlugin();
    for (const std::string& path : {missing, pictureFile_, folder_->Path(), std::string(300, 'x')}) {
        Bstr p = MakeBstr(path);
        VARIANT_BOOL ok = VARIANT_TRUE;
        EXPECT_EQ(S_OK, spi->Load(p.get(), &ok)) << path;
        EXPECT_EQ(VARIANT_FALSE, ok) << path;
        Bstr text;
        EXPECT_EQ(E_FAIL, spi->get_Version(text.put()));
        ComPtr<IDispatch> a, b;
        EXPECT_EQ(E_FAIL, spi->GetPicture(*pictureName_.get(), 0, a.put(), b.put()));
        EXPECT_EQ(E_FAIL, spi->GetArchiveInfo(*archiveName_.get(), 0, a.put()));
    }
}

TEST_F(BadInput, HugeOffsetsAndLengths) {
    // Offsets in a file past its end, or before its start: nothing to read.
    for (LONG offset : {LONG_MAX, LONG_MIN, -1L, 1L << 30}) {
        ExpectEverySourceMember(*pictureName_.get(), offset, E_FAIL, "offset " + std::to_string(offset));
        ComPtr<IDispatch> d;
        Bstr name = MakeBstr(pictureFile_);
        EXPECT_EQ(E_FAIL, host_->QuerySpiFromFile(name.get(), offset, d.put())) << offset;
    }
    // A length beyond a byte array is cut to the array: the plug-in never reads past it.
    Variant bytes;
    plugtest::SetArray(bytes, plugtest::Bytes(picture));
    for (LONG length : {LONG_MAX, LONG_MIN, -1L}) {
        ComPtr<IDispatch> info, pixels;
        EXPECT_EQ(S_OK, picture_->GetPicture(*bytes.get(), length, info.put(), pixels.put())) << length;
        EXPECT_EQ(static_cast<int>(sizeof picture), pictureCalls_->LastLength());
    }
    // An entry naming a member far past the archive, or longer than the array it is in.
    Variant archiveBytes;
    const std::vector<BYTE> archive = plugtest::Qqz(MEMBERS);
    plugtest::SetArray(archiveBytes, archive);
    for (LONG n : {LONG_MAX, LONG_MIN, -1L}) {
        FakeEntry beyond(n, n, n);
        ComPtr<IDispatch> member;
        EXPECT_EQ(E_FAIL, archive_->GetFile(*archiveName_.get(), &beyond, member.put())) << n;
        const HRESULT hr = archive_->GetFile(*archiveBytes.get(), &beyond, member.put());
        EXPECT_LE(archiveCalls_->LastLength(), static_cast<int>(archive.size())) << "cut to the array";
        if (SUCCEEDED(hr)) {
            const std::string dest = Destination("member.out");
            Bstr d = MakeBstr(dest);
            EXPECT_EQ(E_FAIL, archive_->GetFileToFile(*archiveBytes.get(), &beyond, d.get()))
                << "a FileSize beyond the block writes nothing";
            ExpectUntouched(dest);
        }
    }
    // Numbers out of every range.
    ComPtr<IDispatch> d;
    EXPECT_EQ(E_INVALIDARG, host_->get_Item(LONG_MAX, d.put()));
    EXPECT_EQ(E_INVALIDARG, host_->get_Item(LONG_MIN, d.put()));
    Bstr text;
    EXPECT_EQ(S_OK, picture_->get_PluginInfo(LONG_MAX, text.put()));
    EXPECT_EQ(S_OK, picture_->get_PluginInfo(LONG_MIN, text.put()));
    EXPECT_EQ(S_OK, host_->GetFileFilter(LONG_MIN, text.put()));
}

TEST_F(BadInput, FoldersThatDoNotExist) {
    LONG before = 0, after = -1;
    Bstr none;
    ASSERT_EQ(S_OK, host_->Init(0, none.get()));
    ASSERT_EQ(S_OK, host_->get_Count(&before));
    for (const std::string& folder : {out_ + "\\missing", std::string("Q:\\no\\such\\folder"), std::string(400, 'f'),
                                      out_ + "\\*"}) {
        Bstr path = MakeBstr(folder);
        EXPECT_EQ(S_OK, host_->Init(0, path.get())) << folder;
        EXPECT_EQ(S_OK, host_->get_Count(&after));
        EXPECT_EQ(before, after) << folder << " adds nothing";
    }
    for (const std::string& dest : {out_ + "\\missing\\picture.bmp", std::string("Q:\\no\\such\\picture.bmp")}) {
        Bstr d = MakeBstr(dest);
        EXPECT_EQ(E_FAIL, picture_->GetPictureToFile(*pictureName_.get(), 0, d.get())) << dest;
        EXPECT_EQ(E_FAIL, archive_->GetFileToFile(*archiveName_.get(), entry_.get(), d.get())) << dest;
        EXPECT_FALSE(Exists(out_ + "\\missing")) << "no folder is made";
    }
    EXPECT_TRUE(FilesIn(out_).empty());
}

// Destinations that cannot take the file: a failed write leaves what was there as it was and
// nothing beside it. Read-only files are refused on both platforms: Windows' move refuses to
// replace one, Wine 8's replaces it, so the server checks the attribute itself.
TEST_F(BadInput, DestinationsThatCannotBeWrittenStayAsTheyWere) {
    const std::string readOnly = Destination("read-only.bmp");
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string held = Destination("held.bmp");
    HANDLE open = CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    const std::string folderAsFile = out_ + "\\a folder";
    ASSERT_TRUE(CreateDirectoryA(folderAsFile.c_str(), nullptr));
    const std::vector<std::string> existing = FilesIn(out_);

    for (const std::string& dest : {readOnly, held, folderAsFile, std::string(), out_ + "\\wild*card.bmp",
                                    out_ + "\\" + std::string(300, 'n') + ".bmp"}) {
        SCOPED_TRACE(dest);
        Bstr d = MakeBstr(dest);
        EXPECT_EQ(E_FAIL, picture_->GetPictureToFile(*pictureName_.get(), 0, d.get()));
        EXPECT_EQ(E_FAIL, archive_->GetFileToFile(*archiveName_.get(), entry_.get(), d.get()));
        EXPECT_EQ(existing, FilesIn(out_)) << "nothing beside it";
    }
    CloseHandle(open);
    ExpectUntouched(readOnly);
    ExpectUntouched(held);
    EXPECT_TRUE(GetFileAttributesA(folderAsFile.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    RemoveDirectoryA(folderAsFile.c_str());
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace robust
