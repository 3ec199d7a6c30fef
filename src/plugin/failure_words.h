// The words the plug-in layer notes for a failure (common/failure_note.h): which plug-in,
// what it was asked to do with which file, member or block, and what it answered.
#pragma once
#include <windows.h>
#include <string>

#include "source.h"

namespace SPI {

// A source as a description names it: the file's name in quotes (and the offset, when not
// 0), or "<n> bytes in memory".
std::wstring SourceWords(const Source& source);

// "<plug-in file> could not <doing> <what>: <words for code> (plug-in code <code>)".
void NotePluginCode(const std::wstring& pluginPath, const wchar_t* doing, const std::wstring& what, int code);
// "<plug-in file> could not <doing> <what>: <why>".
void NotePluginFailure(const std::wstring& pluginPath, const wchar_t* doing, const std::wstring& what,
                       const std::wstring& why);
// "cannot read <what>: <the system's words for error>", of a file that could not be opened.
void NoteUnreadable(const std::wstring& what, DWORD error);
// Whether `source` is a file that cannot be opened for reading, which is then noted as
// NoteUnreadable does: a plug-in's failure on such a file is that, whatever code it gave.
bool NoteIfUnreadable(const Source& source);

// A plug-in whose narrow entry cannot be given the name of `what`.
void NoteNameRefused(const std::wstring& pluginPath, const std::wstring& what);
// The same of a walk: no plug-in took `what`, and those with narrow entries could not be
// given its name.
void NoteNameRefusedInWalk(const std::wstring& what);

}  // namespace SPI
