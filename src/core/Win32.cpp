// UTF-16 text and errno values for the Windows side of the core.
#include "core/Win32.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <utility>

namespace quillon::win32 {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) throw std::system_error(EILSEQ, std::generic_category(), utf8);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::string Utf8(const wchar_t* wide) { return wide == nullptr ? std::string() : Utf8(std::wstring(wide)); }

namespace {

struct ErrorRow {
    DWORD win32;
    int code;
    bool explains = false;  // the usual Windows error behind its errno, for Win32ForErrno
};
constexpr ErrorRow kErrors[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT, true},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_INVALID_DRIVE, ENOENT},
    {ERROR_BAD_NETPATH, ENOENT},
    {ERROR_BAD_NET_NAME, ENOENT},
    {ERROR_DEVICE_NOT_CONNECTED, ENOENT},  // a device unplugged under an open handle
    {ERROR_DIRECTORY, ENOTDIR},
    {ERROR_ACCESS_DENIED, EACCES, true},
    {ERROR_WRITE_PROTECT, EACCES},
    {ERROR_CURRENT_DIRECTORY, EACCES},
    {ERROR_SHARING_VIOLATION, EBUSY, true},  // another program holds the file or device
    {ERROR_LOCK_VIOLATION, EBUSY},
    {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    {ERROR_BUFFER_OVERFLOW, ENAMETOOLONG},
    {ERROR_INVALID_NAME, EINVAL},
    {ERROR_BAD_PATHNAME, EINVAL},
    // A parameter the system refuses is the program's or the device's fault, not the user's.
    {ERROR_INVALID_PARAMETER, EIO},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_OUTOFMEMORY, ENOMEM},
    {ERROR_OPERATION_ABORTED, ECANCELED, true},
    {ERROR_BROKEN_PIPE, EPIPE},
    {ERROR_NO_DATA, EPIPE},
    {ERROR_FILE_TOO_LARGE, EFBIG},
    {ERROR_TIMEOUT, ETIMEDOUT, true},
    {ERROR_INVALID_HANDLE, EBADF, true},
    {ERROR_GEN_FAILURE, EIO, true},
};

// The Windows error last folded into each errno value (errno values are small).
constexpr int kErrnoSlots = 256;
std::atomic<DWORD> g_lastWin32[kErrnoSlots];

}  // namespace

int ErrnoFromWin32(unsigned long code) {
    if (code == ERROR_SUCCESS) return 0;
    int errnoCode = EIO;
    for (const ErrorRow& row : kErrors) {
        if (row.win32 == code) {
            errnoCode = row.code;
            break;
        }
    }
    if (errnoCode >= 0 && errnoCode < kErrnoSlots) g_lastWin32[errnoCode] = static_cast<DWORD>(code);
    return errnoCode;
}

unsigned long Win32ForErrno(int code) {
    if (code >= 0 && code < kErrnoSlots) {
        if (const DWORD seen = g_lastWin32[code].load(); seen != 0) return seen;
    }
    for (const ErrorRow& row : kErrors)
        if (row.code == code && row.explains) return row.win32;
    return 0;
}

int LastErrno() { return ErrnoFromWin32(GetLastError()); }

bool ReadRange(void* handle, std::uint64_t from, std::uint64_t to, std::string& text) {
    text.assign(static_cast<std::size_t>(to > from ? to - from : 0), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        OVERLAPPED at{};
        const std::uint64_t offset = from + done;
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(static_cast<HANDLE>(handle), text.data() + done, static_cast<DWORD>(text.size() - done), &got,
                      &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return false;
        }
        if (got == 0) break;
        done += got;
    }
    text.resize(done);
    return true;
}

struct MessageWindow::State {
    Handler handler;
    HWND window = nullptr;
};

namespace {

LRESULT CALLBACK MessageWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<MessageWindow::State*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (state != nullptr) {
        if (message == WM_NCDESTROY) {
            // Destroyed by the handler or by the system: the owner must not destroy it again.
            state->window = nullptr;
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        } else {
            std::intptr_t result = 0;
            // A copy: the handler may destroy the window, and with it what state points to.
            const MessageWindow::Handler handler = state->handler;
            if (handler && handler(message, wParam, lParam, result)) return static_cast<LRESULT>(result);
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

MessageWindow::MessageWindow(const wchar_t* className, Handler handler) : state_(std::make_unique<State>()) {
    state_->handler = std::move(handler);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &MessageWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = className;
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
    HWND window = CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (window == nullptr) return;
    // Before anything can post to it, so that the first message already finds the handler.
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state_.get()));
    state_->window = window;
}

MessageWindow::~MessageWindow() {
    if (state_->window != nullptr) DestroyWindow(state_->window);
}

void* MessageWindow::handle() const { return state_->window; }

}  // namespace quillon::win32
