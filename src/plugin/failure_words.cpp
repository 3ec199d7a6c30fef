#include "failure_words.h"

#include "../common/failure_note.h"
#include "../common/handles.h"
#include "names.h"

namespace SPI {

std::wstring SourceWords(const Source& source) {
    if (source.Flag() == FLAG_MEMORY) return std::to_wstring(source.Bytes()) + L" bytes in memory";
    std::wstring words = Tamrix::Quoted(source.Name().Text());
    if (source.Len() != 0) words += L" at offset " + std::to_wstring(source.Len());
    return words;
}

void NotePluginFailure(const std::wstring& pluginPath, const wchar_t* doing, const std::wstring& what,
                       const std::wstring& why) {
    Tamrix::NoteFailure(Tamrix::FileNameOf(pluginPath) + L" could not " + doing + L" " + what + L": " + why);
}

void NotePluginCode(const std::wstring& pluginPath, const wchar_t* doing, const std::wstring& what, int code) {
    NotePluginFailure(pluginPath, doing, what,
                      Tamrix::PluginCodeText(code) + L" (plug-in code " + std::to_wstring(code) + L")");
}

void NoteUnreadable(const std::wstring& what, DWORD error) {
    Tamrix::NoteFailure(L"cannot read " + what + L": " + Tamrix::ResultText(HRESULT_FROM_WIN32(error)));
}

bool NoteIfUnreadable(const Source& source) {
    if (source.Flag() != FLAG_FILE || source.Name().IsNull()) return false;
    const Tamrix::UniqueFile file(CreateFileW(SystemPath(source.Name().Text()).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    if (file) return false;
    NoteUnreadable(Tamrix::Quoted(source.Name().Text()), GetLastError());
    return true;
}

namespace {
const wchar_t NO_SHORT_NAME[] = L"and the file has no short name that it holds";
}

void NoteNameRefused(const std::wstring& pluginPath, const std::wstring& what) {
    Tamrix::NoteFailure(L"the name of " + what + L" cannot be given to " + Tamrix::FileNameOf(pluginPath) +
                        L", which takes names in the ANSI code page only, " + NO_SHORT_NAME);
}

void NoteNameRefusedInWalk(const std::wstring& what) {
    Tamrix::NoteFailure(L"the name of " + what +
                        L" cannot be given to the plug-ins that take names in the ANSI code page only, " + NO_SHORT_NAME);
}

}  // namespace SPI
