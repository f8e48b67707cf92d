// What a station knows of the PC it runs on, on Windows: its DNS host name (the station's default
// name) and the user's local (not roaming) application data folder, since a journal belongs to
// this PC's station.
#include <windows.h>

#include <iterator>
#include <string>

#include "core/Win32.h"
#include "station/Journal.h"

namespace quillon::station {

std::string UserStateFolder() {
    wchar_t buffer[32768];
    const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, static_cast<DWORD>(std::size(buffer)));
    if (n == 0 || n >= std::size(buffer)) return {};
    return win32::Utf8(std::wstring(buffer, n)) + "\\quillon";
}

std::string HostName() {
    wchar_t buffer[256];
    DWORD n = static_cast<DWORD>(std::size(buffer));
    if (!GetComputerNameExW(ComputerNameDnsHostname, buffer, &n)) return {};
    return win32::Utf8(std::wstring(buffer, n));
}

}  // namespace quillon::station
