// Small shared pieces of the Windows side (only built on Windows): UTF-8 <-> UTF-16 text for
// the wide-character API, Win32 error codes as the errno values the rest of the code speaks, and
// the message-only window that the device watcher and the hot key each run.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillon::win32 {

// UTF-16 for the "W" functions; throws std::system_error(EILSEQ) for text that is not UTF-8.
std::wstring Wide(const std::string& utf8);
// UTF-8 from UTF-16 (unpaired surrogates become U+FFFD).
std::string Utf8(const std::wstring& wide);
std::string Utf8(const wchar_t* wide);

// The errno value that names the same failure: a missing file, path or device -> ENOENT, access
// denied -> EACCES, a sharing or lock violation -> EBUSY, an aborted I/O -> ECANCELED, a timeout
// -> ETIMEDOUT, a bad handle -> EBADF, and the file system's own (EEXIST, ENOSPC, ...); EIO when
// none fits. The Windows error is remembered as the last one behind its errno (Win32ForErrno).
int ErrnoFromWin32(unsigned long code);
// ErrnoFromWin32(GetLastError()).
int LastErrno();
// The Windows error whose system text explains an errno code: the one most recently folded into
// it by this process when there was one, else, for the codes a device link reports (EBUSY,
// ENOENT, EACCES, ECANCELED, ETIMEDOUT, EBADF, EIO), the usual Windows error behind it; 0 otherwise.
unsigned long Win32ForErrno(int code);

// Reads the bytes of an open file handle from offset from up to offset to (fewer when the file
// ends first) into text, with positioned reads. False on a failed read, GetLastError() saying why.
bool ReadRange(void* handle, std::uint64_t from, std::uint64_t to, std::string& text);

// A message-only window (HWND_MESSAGE) of the named class, made on the calling thread, whose
// messages reach that thread's message loop. handler sees each message first (message, wParam,
// lParam) and returns true with result set when it handled it; the rest go to the system's
// default procedure. The class is registered once per process and name.
class MessageWindow {
public:
    using Handler = std::function<bool(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                       std::intptr_t& result)>;
    MessageWindow(const wchar_t* className, Handler handler);
    // Destroys the window unless it is gone already; on the thread that made it.
    ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    // The HWND; null when the window could not be made or has been destroyed.
    void* handle() const;

    struct State;  // what the window procedure reaches through the window (Win32.cpp)

private:
    std::unique_ptr<State> state_;
};

}  // namespace quillon::win32
