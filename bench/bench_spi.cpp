// The benchmark's small picture plug-in, copied hundreds of times to time discovery and
// selection. It does what a plug-in must to be listed and asked, and no more:
//   IsSupported accepts a header "BNCH" followed by the file name of this very copy (as the
//   loader has it, letter case ignored), so a benchmark chooses which copy accepts.
//   GetPictureInfo and GetPicture answer 2 (not a picture this plug-in reads).
#include <windows.h>

namespace {
HMODULE g_self = nullptr;

bool SameIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a + 32) : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b + 32) : *b;
        if (x != y) return false;
        if (!x) return true;
    }
}
}  // namespace

extern "C" {

__declspec(dllexport) int WINAPI GetPluginInfo(int infono, LPSTR buf, int buflen) {
    static const char* const TEXTS[] = {"00IN", "Tamrix benchmark plug-in", "*.bnch", "Benchmark data"};
    if (infono < 0 || infono > 3 || !buf || buflen <= 0) return 0;
    int n = lstrlenA(TEXTS[infono]);
    if (n > buflen - 1) n = buflen - 1;
    CopyMemory(buf, TEXTS[infono], n);
    buf[n] = '\0';
    return n;
}

__declspec(dllexport) int WINAPI IsSupported(LPCSTR, void* header) {
    const char* h = static_cast<const char*>(header);
    if (!h || h[0] != 'B' || h[1] != 'N' || h[2] != 'C' || h[3] != 'H') return 0;
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(g_self, path, MAX_PATH);
    const char* name = path;
    for (DWORD i = 0; i < n; ++i)
        if (path[i] == '\\' || path[i] == '/') name = path + i + 1;
    char wanted[261];
    lstrcpynA(wanted, h + 4, sizeof wanted);
    return SameIgnoringCase(name, wanted) ? 1 : 0;
}

__declspec(dllexport) int WINAPI GetPictureInfo(LPCSTR, long, unsigned, void*) {
    return 2;
}

__declspec(dllexport) int WINAPI GetPicture(LPCSTR, long, unsigned, HLOCAL*, HLOCAL*, FARPROC, long) {
    return 2;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_self = instance;
    return TRUE;
}

}  // extern "C"
