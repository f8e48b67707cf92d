// A small Windows program for the window's end-to-end runs under Wine (scripts/
// test-windows-window.sh): it finds a top-level window by its caption as another program on the
// desktop would, and reports or closes it.
//   quillon_window_probe wait CAPTION MS   waits up to MS for the window to be shown and painted;
//                                         prints "client WxH after T ms", exit 0 (1: not found)
//   quillon_window_probe close CAPTION     asks the window to close (WM_CLOSE), as its close box does
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring Wide(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n > 0 ? n - 1 : 0), L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w.data(), n);
    return w;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: quillon_window_probe wait CAPTION MS | close CAPTION\n", stderr);
        return 2;
    }
    const std::string verb = argv[1];
    const std::wstring caption = Wide(argv[2]);
    if (verb == "close") {
        HWND window = FindWindowW(nullptr, caption.c_str());
        if (window == nullptr) return 1;
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    if (verb != "wait" || argc < 4) return 2;
    const ULONGLONG limit = std::strtoull(argv[3], nullptr, 10);
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < limit) {
        HWND window = FindWindowW(nullptr, caption.c_str());
        // Shown, and nothing left to paint: the first paint is done.
        if (window != nullptr && IsWindowVisible(window) && !GetUpdateRect(window, nullptr, FALSE)) {
            RECT client{};
            GetClientRect(window, &client);
            std::printf("client %ldx%ld after %llu ms\n", client.right - client.left, client.bottom - client.top,
                        GetTickCount64() - start);
            return 0;
        }
        Sleep(10);
    }
    std::fprintf(stderr, "no window \"%s\" within %llu ms\n", argv[2], limit);
    return 1;
}
