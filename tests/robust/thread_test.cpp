// Thread stress: 8 threads, each in an apartment of its own, ask the freshly loaded server for
// both class objects at the same moment, then create, use and release objects of both classes
// (early- and late-bound, plain and aggregated) over and over. Afterwards the module lock
// count is back to 0 (DllCanUnloadNow answers S_OK) and no plug-in block is left out.
//   TAMRIX_THREAD_ROUNDS       rounds, each on a fresh load of the server (default below)
//   TAMRIX_THREAD_ITERATIONS   times each thread goes round per round (default below)
#include <windows.h>
#include <olectl.h>
#include <Tamrix.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/spi_folder.h"
#include "plugin_object/plugin_fixture.h"
#include "robust/robust_util.h"
#include "server/server_dll.h"

namespace robust {
namespace {

using servertest::ServerDll;
using Tamrix::Bstr;
using Tamrix::ComPtr;
using Tamrix::Variant;

constexpr int THREADS = 8;
constexpr uint32_t CI_ROUNDS = 8;
constexpr uint32_t CI_ITERATIONS = 25;

// Lets every thread go at the same moment.
class StartLine {
public:
    explicit StartLine(int threads) : waiting_(threads), go_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~StartLine() { CloseHandle(go_); }
    StartLine(const StartLine&) = delete;
    StartLine& operator=(const StartLine&) = delete;
    void Arrive() {
        if (InterlockedDecrement(&waiting_) == 0) SetEvent(go_);
        WaitForSingleObject(go_, INFINITE);
    }

private:
    volatile LONG waiting_;
    HANDLE go_;
};

// An outer object for aggregation: it holds the inner object and answers for itself.
class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs_)); }
    ComPtr<IUnknown> inner;

private:
    volatile LONG refs_ = 1;
};

class Failures {
public:
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> hold(lock_);
        if (list_.size() < 20) list_.push_back(what);
        ++count_;
    }
    int Count() const { return count_; }
    std::string Text() const {
        std::string all;
        for (const std::string& s : list_) all += s + "\n";
        return all;
    }

private:
    std::mutex lock_;
    std::vector<std::string> list_;
    std::atomic<int> count_{0};
};

#define CHECK_HR(expected, call)                                                                          \
    do {                                                                                                  \
        const HRESULT hr_ = (call);                                                                       \
        if (hr_ != (expected))                                                                            \
            failures.Add(std::string(#call) + " gave " + std::to_string(static_cast<unsigned long>(hr_))); \
    } while (0)

struct Shared {
    const ServerDll* dll;
    StartLine* start;
    std::string picture, folder;
    uint32_t iterations;
};

void Worker(const Shared& s, Failures& failures) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        failures.Add("no apartment");
        s.start->Arrive();
        return;
    }
    {
        s.start->Arrive();
        // Both class objects, asked for by every thread at once.
        ComPtr<IClassFactory> plugins, hosts;
        CHECK_HR(S_OK, s.dll->GetClassObject(CLSID_SusiePlugin, IID_IClassFactory, plugins.put_void()));
        CHECK_HR(S_OK, s.dll->GetClassObject(CLSID_TamrixHost, IID_IClassFactory, hosts.put_void()));
        if (!plugins || !hosts) {
            CoUninitialize();
            return;
        }
        Variant picture;
        SetString(picture, s.picture);
        Bstr qqa = MakeBstr(testenv::SpiPath("qqa")), folder = MakeBstr(s.folder), pictureName = MakeBstr(s.picture);
        for (uint32_t i = 0; i < s.iterations; ++i) {
            CHECK_HR(S_OK, plugins->LockServer(TRUE));
            ComPtr<ISusiePlugin> spi;
            CHECK_HR(S_OK, plugins->CreateInstance(nullptr, IID_ISusiePlugin, spi.put_void()));
            if (spi) {
                VARIANT_BOOL ok = VARIANT_FALSE;
                CHECK_HR(S_OK, spi->Load(qqa.get(), &ok));
                ComPtr<IDispatch> info, pixels;
                CHECK_HR(S_OK, spi->GetPicture(*picture.get(), 0, info.put(), pixels.put()));
                ComPtr<ISpiLocalHeap> heap;
                if (pixels) {
                    CHECK_HR(S_OK, pixels->QueryInterface(IID_ISpiLocalHeap, heap.put_void()));
                    Variant bytes;
                    if (heap) CHECK_HR(S_OK, heap->GetBytes(bytes.get()));
                }
                // Late-bound: the type information is loaded on first use, by whichever
                // thread comes first.
                LPOLESTR name = const_cast<LPOLESTR>(L"About");
                DISPID id = 0;
                CHECK_HR(S_OK, spi->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
                DISPPARAMS none{nullptr, nullptr, 0, 0};
                Variant about;
                CHECK_HR(S_OK, spi->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                           about.get(), nullptr, nullptr));
                ComPtr<IProvideClassInfo> classInfo;
                CHECK_HR(S_OK, spi->QueryInterface(IID_IProvideClassInfo, classInfo.put_void()));
                ComPtr<ITypeInfo> type;
                if (classInfo) CHECK_HR(S_OK, classInfo->GetClassInfo(type.put()));
            }
            ComPtr<ITamrixHost> host;
            CHECK_HR(S_OK, hosts->CreateInstance(nullptr, IID_ITamrixHost, host.put_void()));
            if (host) {
                CHECK_HR(S_OK, host->Init(0, folder.get()));
                LONG count = 0;
                CHECK_HR(S_OK, host->get_Count(&count));
                if (count != 2) failures.Add("Count " + std::to_string(count));
                ComPtr<IDispatch> item, chosen, pictureObject;
                CHECK_HR(S_OK, host->get_Item(1, item.put()));
                CHECK_HR(S_OK, host->QuerySpiFromFile(pictureName.get(), 0, chosen.put()));
                CHECK_HR(S_OK, host->GetPicture(*picture.get(), 0, pictureObject.put()));
                ComPtr<IUnknown> unknown;
                CHECK_HR(S_OK, host->get__NewEnum(unknown.put()));
                Bstr filter;
                CHECK_HR(S_OK, host->GetFileFilter(0, filter.put()));
                LPOLESTR name = const_cast<LPOLESTR>(L"Count");
                DISPID id = 0;
                CHECK_HR(S_OK, host->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
            }
            // Aggregated instances of both classes.
            for (IClassFactory* factory : {plugins.get(), hosts.get()}) {
                Outer outer;
                CHECK_HR(S_OK, factory->CreateInstance(&outer, IID_IUnknown, outer.inner.put_void()));
                ComPtr<IDispatch> d;
                CHECK_HR(S_OK, outer.QueryInterface(IID_IDispatch, d.put_void()));
                d.reset();
                outer.inner.reset();
            }
            CHECK_HR(S_OK, plugins->LockServer(FALSE));
        }
    }
    CoUninitialize();
}

TEST(ThreadStress, EightApartmentsCreateUseAndReleaseAtOnce) {
    const uint32_t rounds = EnvCount("TAMRIX_THREAD_ROUNDS", CI_ROUNDS);
    const uint32_t iterations = EnvCount("TAMRIX_THREAD_ITERATIONS", CI_ITERATIONS);
    testenv::SpiFolder folder("threads");
    folder.Add("qqa");
    folder.Add("qqz");
    const testspi::QqaHeader header = plugtest::Qqa(32, 16, 24);
    const std::string picture = folder.PathOf("picture.qqa");
    ASSERT_TRUE(WriteBytes(picture, &header, sizeof header));
    for (uint32_t round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // The plug-ins stay loaded meanwhile, so their block counts can be read afterwards.
        const std::vector<std::string> plugins = {testenv::SpiPath("qqa"), folder.PathOf("qqa.spi"),
                                                  folder.PathOf("qqz.spi")};
        std::vector<HMODULE> kept;
        for (const std::string& p : plugins) kept.push_back(LoadLibraryA(p.c_str()));
        // A fresh load: class objects and type information are made under contention.
        ServerDll dll;
        ASSERT_TRUE(dll.Loaded());
        StartLine start(THREADS);
        Failures failures;
        const Shared shared{&dll, &start, picture, folder.Path(), iterations};
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) threads.emplace_back(Worker, std::cref(shared), std::ref(failures));
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(0, failures.Count()) << failures.Text();
        EXPECT_EQ(S_OK, dll.CanUnloadNow()) << "the module lock count is back to 0";
        for (const std::string& p : plugins) EXPECT_EQ(0, testenv::SpiCounters(p).Outstanding()) << p;
        for (HMODULE m : kept) FreeLibrary(m);
        for (const std::string& p : plugins) EXPECT_FALSE(testenv::Mapped(p)) << p << ": a library reference was kept";
    }
    std::printf("%u rounds of %d threads, %u iterations each\n", rounds, THREADS, iterations);
}

}  // namespace
}  // namespace robust
