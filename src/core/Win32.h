// Small shared pieces of the Windows side (only built on Windows): UTF-8 <-> UTF-16 text for
// the wide-character API, and Win32 error codes as the errno values the rest of the code speaks.
#pragma once

#include <cstdint>
#include <string>

namespace quillon::win32 {

// UTF-16 for the "W" functions; throws std::system_error(EILSEQ) for text that is not UTF-8.
std::wstring Wide(const std::string& utf8);
// UTF-8 from UTF-16 (unpaired surrogates become U+FFFD).
std::string Utf8(const std::wstring& wide);
std::string Utf8(const wchar_t* wide);

// The errno value that names the same failure (ENOENT, EACCES, EBUSY, ...); EIO when none fits.
int ErrnoFromWin32(unsigned long code);
// ErrnoFromWin32(GetLastError()).
int LastErrno();

// Reads the bytes of an open file handle from offset from up to offset to (fewer when the file
// ends first) into text, with positioned reads. False on a failed read, GetLastError() saying why.
bool ReadRange(void* handle, std::uint64_t from, std::uint64_t to, std::string& text);

}  // namespace quillon::win32
