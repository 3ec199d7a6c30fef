// Where the tests find what the build made: test plug-ins and the server DLL.
#pragma once
#include <windows.h>
#include <string>

namespace testenv {

// A host path as the Windows side sees it: "/x/y" becomes "Z:\x\y" (Wine's Z: drive).
inline std::string WinPath(std::string p) {
    if (!p.empty() && p[0] == '/') p = "Z:" + p;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

inline std::string Env(const char* name) {
    char buf[1024];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    return n && n < sizeof buf ? std::string(buf, n) : std::string();
}

// Full path of a test plug-in, e.g. SpiPath("qqa") for qqa.spi (qqa.sph where the tests of
// the 64-bit build set TAMRIX_SPI_EXT to ".sph").
inline std::string SpiPath(const std::string& name) {
    const std::string ext = Env("TAMRIX_SPI_EXT");
    return WinPath(Env("TAMRIX_SPI_DIR")) + "\\" + name + (ext.empty() ? ".spi" : ext);
}

inline std::string SpiDir() {
    return WinPath(Env("TAMRIX_SPI_DIR"));
}

// Full path of the built Tamrix.dll.
inline std::string DllPath() {
    return WinPath(Env("TAMRIX_DLL"));
}

inline std::wstring Wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}
inline std::string Narrow(const std::wstring& s) {  // ASCII text, as Wide makes it
    std::string out;
    for (wchar_t c : s) out += static_cast<char>(c);
    return out;
}

// A scratch folder for files a test writes, removed by nothing: it lives in the build tree.
inline std::string TempDir() {
    char buf[MAX_PATH];
    DWORD n = GetTempPathA(sizeof buf, buf);
    return std::string(buf, n);
}

// Runs a program of the prefix and returns its exit code (~0 when it cannot be started or
// does not end within a minute).
inline DWORD RunProgram(std::string commandLine) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return ~0u;
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = ~0u;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

}  // namespace testenv
