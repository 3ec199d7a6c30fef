// Archive listing, entries, the entry collection and its enumerator, lookup by name and
// extraction into memory and into files, against the QQZ1 test plug-ins. Every test ends
// with the plug-in's outstanding block count at 0 once its objects are released.
#include <cstdlib>
#include <ctime>

#include "archive_fixture.h"
#include "fake_entry.h"

namespace plugtest {
namespace {

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        plugin = LoadPlugin("qqz");
        counters = std::make_unique<Counters>("qqz");
    }
    void TearDown() override {
        EXPECT_EQ(0, counters->Outstanding()) << "a block outlived the objects made from it";
        plugin.reset();
    }
    ComPtr<ISpiFileInfoCollection> List(const VARIANT& src, LONG offsetOrLength) {
        ComPtr<IDispatch> d;
        EXPECT_EQ(S_OK, plugin->GetArchiveInfo(src, offsetOrLength, d.put()));
        ComPtr<ISpiFileInfoCollection> c;
        if (d) {
            EXPECT_EQ(S_OK, d->QueryInterface(IID_ISpiFileInfoCollection, c.put_void()));
        }
        return c;
    }
    ComPtr<ISpiFileInfoCollection> ListBytes(const std::vector<BYTE>& archive) {
        Variant src;
        SetArray(src, archive);
        return List(*src.get(), static_cast<LONG>(archive.size()));
    }
    static LONG Count(ISpiFileInfoCollection* c) {
        LONG n = -1;
        EXPECT_EQ(S_OK, c->get_Count(&n));
        return n;
    }
    static ComPtr<IDispatch> Item(ISpiFileInfoCollection* c, LONG index) {
        ComPtr<IDispatch> d;
        EXPECT_EQ(S_OK, c->get_Item(index, d.put()));
        return d;
    }
    static ComPtr<IEnumVARIANT> Enum(ISpiFileInfoCollection* c) {
        ComPtr<IUnknown> unk;
        EXPECT_EQ(S_OK, c->get__NewEnum(unk.put()));
        ComPtr<IEnumVARIANT> e;
        if (unk) {
            EXPECT_EQ(S_OK, unk->QueryInterface(IID_IEnumVARIANT, e.put_void()));
        }
        return e;
    }
    // Next(1) as the entry's file name, "" at the end.
    static std::string NextName(IEnumVARIANT* e) {
        Variant v;
        ULONG fetched = 9;
        const HRESULT hr = e->Next(1, v.get(), &fetched);
        EXPECT_EQ(fetched == 1 ? S_OK : S_FALSE, hr);
        return fetched == 1 ? View(V_DISPATCH(v.get())).fileName : "";
    }

    ComPtr<ISusiePlugin> plugin;
    std::unique_ptr<Counters> counters;
};

const std::vector<QqzMemberDesc> THREE = {
    {"QQZstore", "docs\\", "readme.txt", {'h', 'e', 'l', 'l', 'o'}, 1000, 0x80000001u},
    {"raw", "", "b.bin", Pattern(9, 300), 0, 7},
    {"lz", "x\\y\\", "c.dat", Pattern(3, 40), 2, 8},
};

TEST_F(ArchiveTest, ListingHasOneEntryPerRecordInOrder) {
    const std::vector<BYTE> archive = Qqz(THREE, 0, {2, 0, 0});  // the list comes with code 2 anyway
    const std::string file = WriteTemp("listing.qqz", archive, 128);
    Variant name;
    SetString(name, file);
    for (LONG base : {128, 0}) {
        SCOPED_TRACE(base ? "file at offset 128" : "byte array");
        ComPtr<ISpiFileInfoCollection> c = base ? List(*name.get(), 128) : ListBytes(archive);
        ASSERT_TRUE(c);
        EXPECT_EQ(base ? 0 : 1, counters->LastFlag());
        EXPECT_EQ(base ? 128 : static_cast<int>(archive.size()), counters->LastLength());
        ASSERT_EQ(3, Count(c.get()));
        for (LONG i = 1; i <= 3; ++i) {
            const QqzMemberDesc& m = THREE[i - 1];
            const EntryView v = View(Item(c.get(), i).get());
            EXPECT_EQ(m.method, v.method) << "eight non-zero bytes read as eight characters, fewer up to the NUL";
            EXPECT_EQ(m.path, v.path);
            EXPECT_EQ(m.name, v.fileName);
            EXPECT_EQ(base + static_cast<LONG>(QqzDataOffset(THREE, i - 1)), v.position);
            EXPECT_EQ(static_cast<LONG>(m.data.size()), v.compSize);
            EXPECT_EQ(static_cast<LONG>(m.data.size()), v.fileSize);
            EXPECT_EQ(static_cast<LONG>(m.crc), v.crc) << "0x80000001 reads as a negative number";
        }
    }
}

TEST_F(ArchiveTest, EmptyArchivesAndListingsWithoutTheirEnd) {
    ComPtr<ISpiFileInfoCollection> empty = ListBytes(Qqz({}));
    ASSERT_TRUE(empty);
    EXPECT_EQ(0, Count(empty.get()));
    ComPtr<IDispatch> d;
    EXPECT_EQ(E_FAIL, empty->get_Item(1, d.put()));
    EXPECT_EQ(E_INVALIDARG, empty->get_Item(0, d.put()));
    Variant v;
    ULONG fetched = 9;
    EXPECT_EQ(S_FALSE, Enum(empty.get())->Next(1, v.get(), &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(VT_EMPTY, V_VT(v.get()));

    // Without its terminating record the listing is read up to the block's end, no further.
    ComPtr<ISpiFileInfoCollection> open = ListBytes(Qqz(THREE, testspi::QQZ_NO_TERMINATOR));
    ASSERT_TRUE(open);
    EXPECT_EQ(3, Count(open.get()));
    EXPECT_EQ("c.dat", View(Item(open.get(), 3).get()).fileName);
    // A listing of no bytes at all cannot even be locked: E_FAIL, and it is freed.
    Variant nothing;
    SetArray(nothing, Qqz({}, testspi::QQZ_NO_TERMINATOR));
    ComPtr<IDispatch> none;
    EXPECT_EQ(E_FAIL, plugin->GetArchiveInfo(*nothing.get(), sizeof(testspi::QqzHeader), none.put()));
    EXPECT_EQ(nullptr, none.get());
    // An archive the plug-in cannot read gives its code mapped and no collection.
    SetArray(nothing, {'n', 'o', 'p', 'e'});
    EXPECT_EQ(E_FAIL, plugin->GetArchiveInfo(*nothing.get(), 4, none.put()));
    EXPECT_EQ(nullptr, none.get());
    EXPECT_EQ(E_POINTER, plugin->GetArchiveInfo(*nothing.get(), 4, nullptr));
}

TEST_F(ArchiveTest, ItemIsOneBasedAndHandsOutTheSameEntry) {
    ComPtr<ISpiFileInfoCollection> c = ListBytes(Qqz(THREE));
    ASSERT_TRUE(c);
    EXPECT_EQ("readme.txt", View(Item(c.get(), 1).get()).fileName);
    EXPECT_EQ("c.dat", View(Item(c.get(), 3).get()).fileName);
    IDispatch* untouched = reinterpret_cast<IDispatch*>(1);
    EXPECT_EQ(E_FAIL, c->get_Item(4, &untouched));
    EXPECT_EQ(E_INVALIDARG, c->get_Item(0, &untouched));
    EXPECT_EQ(E_INVALIDARG, c->get_Item(-1, &untouched));
    EXPECT_EQ(reinterpret_cast<IDispatch*>(1), untouched) << "a refused index writes nothing";
    EXPECT_EQ(E_POINTER, c->get_Item(1, nullptr));
    EXPECT_EQ(E_POINTER, c->get_Count(nullptr));
    EXPECT_EQ(E_POINTER, c->get__NewEnum(nullptr));

    // The same object every time, by Item and by the enumerator.
    ComPtr<IDispatch> second = Item(c.get(), 2);
    EXPECT_EQ(second.get(), Item(c.get(), 2).get());
    ComPtr<IEnumVARIANT> e = Enum(c.get());
    Variant v;
    ASSERT_EQ(S_OK, e->Skip(1));
    ASSERT_EQ(S_OK, e->Next(1, v.get(), nullptr));
    ASSERT_EQ(VT_DISPATCH, V_VT(v.get()));
    EXPECT_EQ(second.get(), V_DISPATCH(v.get()));
}

TEST_F(ArchiveTest, EnumeratorBatchesSkipResetAndIndependentClones) {
    ComPtr<ISpiFileInfoCollection> c = ListBytes(Qqz(THREE));
    ASSERT_TRUE(c);
    ComPtr<IEnumVARIANT> e = Enum(c.get());
    ASSERT_TRUE(e);
    Variant batch[5];
    VARIANT raw[5];
    for (VARIANT& r : raw) VariantInit(&r);
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, e->Next(5, raw, &fetched));
    EXPECT_EQ(3u, fetched);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(i < 3 ? VT_DISPATCH : VT_EMPTY, V_VT(&raw[i]));
        if (i < 3) {
            EXPECT_EQ(THREE[i].name, View(V_DISPATCH(&raw[i])).fileName);
        }
        *batch[i].get() = raw[i];  // owned from here
    }
    EXPECT_EQ("", NextName(e.get()));
    EXPECT_EQ(S_OK, e->Reset());
    EXPECT_EQ("readme.txt", NextName(e.get()));

    // Argument rules: a count of 0 fetches nothing; more than 1 needs the fetched count.
    Variant v;
    EXPECT_EQ(S_OK, e->Next(0, v.get(), &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(E_POINTER, e->Next(2, v.get(), nullptr));
    EXPECT_EQ(E_POINTER, e->Next(1, nullptr, &fetched));
    EXPECT_EQ(E_POINTER, e->Clone(nullptr));

    // A clone starts where its original stands and moves on its own.
    ComPtr<IEnumVARIANT> clone;
    ASSERT_EQ(S_OK, e->Clone(clone.put()));
    EXPECT_EQ("b.bin", NextName(clone.get()));
    EXPECT_EQ("c.dat", NextName(clone.get()));
    EXPECT_EQ("b.bin", NextName(e.get()));
    EXPECT_EQ("", NextName(clone.get()));

    EXPECT_EQ(S_OK, e->Reset());
    EXPECT_EQ(S_OK, e->Skip(3));
    EXPECT_EQ("", NextName(e.get()));
    EXPECT_EQ(S_OK, e->Skip(0));
    EXPECT_EQ(S_OK, e->Reset());
    EXPECT_EQ(S_FALSE, e->Skip(4));
    EXPECT_EQ("", NextName(e.get())) << "a Skip past the end stays at the end";
}

TEST_F(ArchiveTest, EnumeratorsKeepTheCollectionAndEntriesOutliveIt) {
    ComPtr<ISpiFileInfoCollection> c = ListBytes(Qqz(THREE));
    ASSERT_TRUE(c);
    ComPtr<IEnumVARIANT> e = Enum(c.get());
    ComPtr<IDispatch> kept = Item(c.get(), 3);
    c.reset();
    // The enumerator alone holds the collection, which still has all its entries.
    EXPECT_EQ("readme.txt", NextName(e.get()));
    EXPECT_EQ(S_OK, e->Skip(1));
    EXPECT_EQ(kept.get(), [&] {
        Variant v;
        EXPECT_EQ(S_OK, e->Next(1, v.get(), nullptr));
        return V_DISPATCH(v.get());
    }());
    EXPECT_EQ(1, counters->Outstanding());
    e.reset();

    // The entry alone keeps the listing's block, and reads it as before.
    EXPECT_EQ(1, counters->Outstanding());
    const EntryView v = View(kept.get());
    EXPECT_EQ("c.dat", v.fileName);
    EXPECT_EQ("x\\y\\", v.path);
    EXPECT_EQ(40, v.fileSize);
    kept.reset();
    EXPECT_EQ(0, counters->Outstanding());
}

TEST_F(ArchiveTest, FileInfoLooksAMemberUpByName) {
    std::vector<QqzMemberDesc> members = THREE;
    members.push_back({"anon", "", "", {1}, 0, 0});  // a member without a name
    const std::vector<BYTE> archive = Qqz(members);
    const std::string file = WriteTemp("lookup.qqz", archive, 16);
    Variant src;
    SetString(src, file);
    ComPtr<IDispatch> entry;
    Bstr name = MakeBstr("docs\\readme.txt");  // the plug-in's rule: path and name
    ASSERT_EQ(S_OK, plugin->GetFileInfo(*src.get(), 16, name.get(), entry.put()));
    EXPECT_EQ(0, counters->LastFlag());
    EXPECT_EQ(16, counters->LastLength());

    Bstr missing = MakeBstr("nothing.txt");
    ComPtr<IDispatch> none;
    EXPECT_EQ(E_FAIL, plugin->GetFileInfo(*src.get(), 16, missing.get(), none.put()));
    EXPECT_EQ(nullptr, none.get());
    EXPECT_EQ(E_POINTER, plugin->GetFileInfo(*src.get(), 16, name.get(), nullptr));
    // No name reaches the plug-in as an empty name (it refuses a null one with code 8).
    ASSERT_EQ(S_OK, plugin->GetFileInfo(*src.get(), 16, nullptr, none.put()));
    EXPECT_EQ("anon", View(none.get()).method);
    // The plug-in's code, mapped.
    Variant failing;
    SetArray(failing, Qqz(THREE, 0, {0, 4, 0}));
    EXPECT_EQ(E_OUTOFMEMORY, plugin->GetFileInfo(*failing.get(), 2000, name.get(), none.put()));

    // The entry owns its record: it stays readable after the plug-in object is gone.
    plugin.reset();
    const EntryView v = View(entry.get());
    EXPECT_EQ("readme.txt", v.fileName);
    EXPECT_EQ(16 + static_cast<LONG>(QqzDataOffset(members, 0)), v.position);
    EXPECT_EQ(static_cast<LONG>(0x80000001u), v.crc);
    plugin = LoadPlugin("qqz");  // for the block count at the end
    counters = std::make_unique<Counters>("qqz");
}

TEST_F(ArchiveTest, ExtractionUsesPositionForFilesAndCompSizeForMemory) {
    const std::vector<BYTE> archive = Qqz(THREE);
    const std::string file = WriteTemp("extract.qqz", archive, 64);
    Variant name;
    SetString(name, file);
    ComPtr<ISpiFileInfoCollection> c = List(*name.get(), 64);
    ASSERT_TRUE(c);
    ComPtr<IDispatch> entry = Item(c.get(), 2);
    const EntryView member = View(entry.get());
    const std::string dest = testenv::TempDir() + "extracted.bin";
    Bstr d = MakeBstr(dest);

    // The member's data inside the archive, as an address and as a byte array.
    const size_t at = QqzDataOffset(THREE, 1);
    std::vector<BYTE> data(archive.begin() + at, archive.end());
    Variant address, bytes;
    V_VT(address.get()) = VT_I4;
    V_I4(address.get()) = static_cast<LONG>(reinterpret_cast<ULONG_PTR>(data.data()));
    SetArray(bytes, data);

    for (VARIANT* src : {name.get(), address.get(), bytes.get()}) {
        const bool fromFile = src == name.get();
        SCOPED_TRACE(fromFile ? "file" : V_VT(src) == VT_I4 ? "address" : "byte array");
        ComPtr<IDispatch> heap;
        ASSERT_EQ(S_OK, plugin->GetFile(*src, entry.get(), heap.put()));
        EXPECT_EQ(fromFile ? member.position : member.compSize, counters->LastLength());
        EXPECT_EQ(fromFile ? 0x100 : 0x101, counters->LastFlag());
        EXPECT_EQ(THREE[1].data, HeapBytes(heap.get()));
        heap.reset();
        DeleteFileA(dest.c_str());
        ASSERT_EQ(S_OK, plugin->GetFileToFile(*src, entry.get(), d.get()));
        EXPECT_EQ(fromFile ? member.position : member.compSize, counters->LastLength());
        EXPECT_EQ(THREE[1].data, ReadFileBytes(dest));
    }
    // A byte array shorter than CompSize: the plug-in is told the array's length, as every
    // length is cut to a byte array's data, and reads nothing beyond it.
    Variant shortBytes;
    SetArray(shortBytes, std::vector<BYTE>(data.begin(), data.begin() + 100));
    ComPtr<IDispatch> heap;
    ASSERT_EQ(S_OK, plugin->GetFile(*shortBytes.get(), entry.get(), heap.put()));
    EXPECT_EQ(100, counters->LastLength());
    EXPECT_EQ(std::vector<BYTE>(THREE[1].data.begin(), THREE[1].data.begin() + 100), HeapBytes(heap.get()));
    DeleteFileA(dest.c_str());
}

TEST_F(ArchiveTest, ExtractionChecksItsEntryFirst) {
    const std::vector<BYTE> archive = Qqz(THREE);
    const std::string file = WriteTemp("entries.qqz", archive);
    Variant name, missing;
    SetString(name, file);
    const std::string dest = testenv::TempDir() + "entries.out";
    Bstr d = MakeBstr(dest);
    ComPtr<IDispatch> heap;
    ComPtr<IDispatch> notAnEntry;
    ASSERT_EQ(S_OK, plugin->QueryInterface(IID_IDispatch, notAnEntry.put_void()));
    for (IDispatch* bad : {static_cast<IDispatch*>(nullptr), notAnEntry.get()}) {
        EXPECT_EQ(E_INVALIDARG, plugin->GetFile(*missing.get(), bad, heap.put())) << "before the source";
        EXPECT_EQ(E_INVALIDARG, plugin->GetFileToFile(*name.get(), bad, d.get()));
    }
    FakeEntry fake(static_cast<LONG>(QqzDataOffset(THREE, 2)), 40, 10);
    EXPECT_EQ(E_INVALIDARG, plugin->GetFile(*missing.get(), &fake, heap.put()));
    EXPECT_EQ(E_POINTER, plugin->GetFile(*name.get(), &fake, nullptr));
    EXPECT_EQ(0, counters->Calls());

    // Its Position names the member; its FileSize is what the file gets.
    ASSERT_EQ(S_OK, plugin->GetFile(*name.get(), &fake, heap.put()));
    EXPECT_EQ(THREE[2].data, HeapBytes(heap.get()));
    heap.reset();
    ASSERT_EQ(S_OK, plugin->GetFileToFile(*name.get(), &fake, d.get()));
    EXPECT_EQ(std::vector<BYTE>(THREE[2].data.begin(), THREE[2].data.begin() + 10), ReadFileBytes(dest));
    DeleteFileA(dest.c_str());
}

TEST_F(ArchiveTest, PluginFailuresGetFileFailsAndGetFileToFileMapsTheCode) {
    const std::string dest = testenv::TempDir() + "failures.out";
    const std::vector<BYTE> before = {'o', 'l', 'd'};
    Bstr d = MakeBstr(dest);
    for (uint32_t flags : {0u, static_cast<uint32_t>(testspi::QQZ_BLOCK_ON_FAILURE)}) {
        SCOPED_TRACE(flags ? "block handed back with the failure" : "no block");
        const std::string file = WriteTemp("failing.qqz", Qqz(THREE, flags, {0, 0, 4}));
        Variant name;
        SetString(name, file);
        ComPtr<ISpiFileInfoCollection> c = List(*name.get(), 0);
        ASSERT_TRUE(c);
        ComPtr<IDispatch> heap;
        EXPECT_EQ(E_FAIL, plugin->GetFile(*name.get(), Item(c.get(), 1).get(), heap.put()));
        EXPECT_EQ(nullptr, heap.get());
        WriteTemp("failures.out", before);
        EXPECT_EQ(E_OUTOFMEMORY, plugin->GetFileToFile(*name.get(), Item(c.get(), 1).get(), d.get()));
        EXPECT_EQ(before, ReadFileBytes(dest)) << "a failure leaves the file that was there";
        c.reset();
        // A block that comes with a failure is not the server's: the plug-in may have freed
        // it already. This one was abandoned twice by each call: a file source's failure is
        // asked again after a fresh listing (whose own block the server frees).
        EXPECT_EQ(flags ? 4 : 0, counters->Outstanding());
        counters = std::make_unique<Counters>("qqz");  // forgets them
    }
    // Success without a block: GetFile fails, GetFileToFile reports the code 0 and writes nothing.
    const std::vector<BYTE> noBlock = Qqz(THREE, testspi::QQZ_NULL_FILE_BLOCK);
    ComPtr<ISpiFileInfoCollection> c = ListBytes(noBlock);
    ASSERT_TRUE(c);
    Variant src;
    SetArray(src, noBlock);
    ComPtr<IDispatch> heap;
    EXPECT_EQ(E_FAIL, plugin->GetFile(*src.get(), Item(c.get(), 1).get(), heap.put()));
    DeleteFileA(dest.c_str());
    EXPECT_EQ(S_OK, plugin->GetFileToFile(*src.get(), Item(c.get(), 1).get(), d.get()));
    EXPECT_FALSE(FileExists(dest));
}

TEST_F(ArchiveTest, FilesGetExactlyFileSizeBytesFromABlockThatHoldsThem) {
    const std::string folder = testenv::TempDir();
    const std::string dest = folder + "sized.out";
    const std::vector<BYTE> before = {'o', 'l', 'd'};
    Bstr d = MakeBstr(dest);
    struct Case {
        const char* what;
        uint32_t flags;
        uint32_t crc;  // the stated file size where the flags say so
        std::vector<BYTE> data;
        HRESULT hr;
        std::vector<BYTE> written;
    };
    const std::vector<BYTE> seven = Pattern(5, 7);
    const std::vector<Case> cases = {
        {"an empty member gives an empty file", 0, 0, {}, S_OK, {}},
        {"a block with more than the member", testspi::QQZ_PADDED_FILE_BLOCK, 0, seven, S_OK, seven},
        {"a record stating less than the member", testspi::QQZ_FILESIZE_IS_CRC, 3, seven, S_OK, {seven.begin(), seven.begin() + 3}},
        {"a record stating more than the block", testspi::QQZ_FILESIZE_IS_CRC, 64, seven, E_FAIL, before},
        {"a record stating 0xFFFFFFFF", testspi::QQZ_FILESIZE_IS_CRC | testspi::QQZ_PADDED_FILE_BLOCK, 0xFFFFFFFFu,
         seven, E_FAIL, before},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const std::vector<QqzMemberDesc> members = {{"m", "", "one", k.data, 0, k.crc}};
        const std::string file = WriteTemp("sized.qqz", Qqz(members, k.flags));
        Variant name;
        SetString(name, file);
        ComPtr<ISpiFileInfoCollection> c = List(*name.get(), 0);
        ASSERT_TRUE(c);
        ComPtr<IDispatch> entry = Item(c.get(), 1);
        if (k.flags & testspi::QQZ_FILESIZE_IS_CRC) {
            EXPECT_EQ(static_cast<LONG>(k.crc), View(entry.get()).fileSize);
        }
        WriteTemp("sized.out", before);
        EXPECT_EQ(k.hr, plugin->GetFileToFile(*name.get(), entry.get(), d.get()));
        EXPECT_EQ(k.written, ReadFileBytes(dest));
        EXPECT_TRUE(FileExists(dest));
        EXPECT_EQ(1, counters->Outstanding()) << "only the listing is left";

        // A folder that does not exist: E_FAIL, and the member's block is freed all the same.
        Bstr nowhere = MakeBstr(folder + "no_such_folder\\x.out");
        EXPECT_EQ(E_FAIL, plugin->GetFileToFile(*name.get(), entry.get(), nowhere.get()));
        EXPECT_EQ(1, counters->Outstanding());
    }
    DeleteFileA(dest.c_str());
}

// Local time by the C runtime's zone, which the TZ variable sets (in Microsoft's C runtime as
// in Wine's); the zone is put back afterwards.
class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        const char* old = std::getenv("TZ");
        old_ = std::string("TZ=") + (old ? old : "");
        _putenv((std::string("TZ=") + tz).c_str());
        _tzset();
    }
    ~TimeZone() {
        _putenv(old_.c_str());  // "TZ=" removes it again
        _tzset();
    }

private:
    std::string old_;
};

TEST_F(ArchiveTest, TimeStampIsALocalDateAndZeroOrNegativeGiveZero) {
    const std::vector<BYTE> archive =
        Qqz({{"a", "", "zero", {}, 0}, {"b", "", "negative", {}, -1}, {"c", "", "one day", {}, 86400}});
    ComPtr<ISpiFileInfoCollection> c = ListBytes(archive);
    ASSERT_TRUE(c);
    auto stamp = [&](LONG i) { return View(Item(c.get(), i).get()).timeStamp; };
    {
        TimeZone utc("UTC0");
        EXPECT_EQ(0.0, stamp(1)) << "not 1 January 1970";
        EXPECT_EQ(0.0, stamp(2));
        EXPECT_EQ(25570.0, stamp(3)) << "2 January 1970, 00:00";
    }
    {
        TimeZone tokyo("JST-9");
        EXPECT_EQ(0.0, stamp(1));
        EXPECT_EQ(0.0, stamp(2));
        EXPECT_DOUBLE_EQ(25570.375, stamp(3)) << "09:00 local time";
    }
}

TEST(ArchiveKinds, ArchiveMembersNeedABoundArchivePlugin) {
    // A real entry to hand over, from a plug-in object of its own.
    const std::vector<BYTE> archive = Qqz(THREE);
    Variant src;
    SetArray(src, archive);
    ComPtr<ISusiePlugin> lister = LoadPlugin("qqz");
    ComPtr<IDispatch> list, entry;
    ASSERT_EQ(S_OK, lister->GetArchiveInfo(*src.get(), static_cast<LONG>(archive.size()), list.put()));
    ComPtr<ISpiFileInfoCollection> c;
    ASSERT_EQ(S_OK, list->QueryInterface(IID_ISpiFileInfoCollection, c.put_void()));
    ASSERT_EQ(S_OK, c->get_Item(1, entry.put()));

    ComPtr<ISusiePlugin> picture = LoadPlugin("qqa");
    Counters qqa("qqa");
    ComPtr<ISusiePlugin> freed = LoadPlugin("qqz");
    EXPECT_EQ(S_OK, freed->Free());
    ComPtr<ISusiePlugin> noFile = NewPlugin();  // an archive plug-in without GetFile binds to nothing
    Bstr path = MakeBstr(testenv::SpiPath("qqz_nofile"));
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(S_OK, noFile->Load(path.get(), &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
    Counters nofile("qqz_nofile");
    Counters qqz("qqz");
    const std::string dest = testenv::TempDir() + "wrongkind.out";
    Bstr d = MakeBstr(dest);
    Bstr name = MakeBstr("b.bin");
    ComPtr<ISusiePlugin> fresh = NewPlugin();
    for (ISusiePlugin* p : {fresh.get(), picture.get(), freed.get(), noFile.get()}) {
        IDispatch* out = entry.get();
        EXPECT_EQ(E_FAIL, p->GetArchiveInfo(*src.get(), static_cast<LONG>(archive.size()), &out));
        EXPECT_EQ(nullptr, out);
        out = entry.get();
        EXPECT_EQ(E_FAIL, p->GetFileInfo(*src.get(), static_cast<LONG>(archive.size()), name.get(), &out));
        EXPECT_EQ(nullptr, out);
        out = entry.get();
        EXPECT_EQ(E_FAIL, p->GetFile(*src.get(), entry.get(), &out));
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(E_FAIL, p->GetFileToFile(*src.get(), entry.get(), d.get()));
        EXPECT_FALSE(FileExists(dest));
    }
    EXPECT_EQ(0, qqa.Calls());
    EXPECT_EQ(0, nofile.Calls());
    EXPECT_EQ(0, qqz.Calls());
}

// A plug-in that extracts only from the archive it listed last, and forgets it whenever
// IsSupported names another file (as selection walks do), still gives every member: a failed
// file extraction is listed again from the file's start and asked once more. An archive
// further into its file keeps the first failure.
TEST(ArchiveRelisting, ForgetfulPluginsGetEveryMemberAfterAFreshListing) {
    ComPtr<ISusiePlugin> plugin = LoadPlugin("qqz_forgetful");
    auto isSupported = reinterpret_cast<int(WINAPI*)(LPCSTR, void*)>(
        reinterpret_cast<void (*)()>(GetProcAddress(LoadedModule("qqz_forgetful"), "IsSupported")));
    ASSERT_TRUE(plugin && isSupported);
    BYTE header[2048] = {};
    const std::string dest = testenv::TempDir() + "forgetful.out";
    Bstr d = MakeBstr(dest);
    for (const LONG base : {0, 64}) {
        Variant name;
        SetString(name, WriteTemp("forgetful.qqz", Qqz(THREE), base));
        ComPtr<IDispatch> list, entry, heap;
        ComPtr<ISpiFileInfoCollection> c;
        ASSERT_EQ(S_OK, plugin->GetArchiveInfo(*name.get(), base, list.put()));
        ASSERT_EQ(S_OK, list->QueryInterface(IID_ISpiFileInfoCollection, c.put_void()));
        for (LONG i = 1; i <= 3; ++i) {
            ASSERT_EQ(S_OK, c->get_Item(i, entry.put()));
            isSupported("another.qqz", header);
            EXPECT_EQ(base ? E_FAIL : S_OK, plugin->GetFile(*name.get(), entry.get(), heap.put())) << base;
            EXPECT_EQ(base ? std::vector<BYTE>() : THREE[i - 1].data, heap ? HeapBytes(heap.get()) : std::vector<BYTE>());
            isSupported("another.qqz", header);
            DeleteFileA(dest.c_str());
            EXPECT_EQ(base ? E_FAIL : S_OK, plugin->GetFileToFile(*name.get(), entry.get(), d.get())) << base;
            EXPECT_EQ(base == 0, FileExists(dest));
        }
    }
    DeleteFileA(dest.c_str());
}

}  // namespace
}  // namespace plugtest
