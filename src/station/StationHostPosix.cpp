// What a station knows of the PC it runs on, on Linux and the other POSIX systems: its host
// name (the station's default name) and the user's state folder (the XDG base directory rule).
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "station/Journal.h"

namespace quillon::station {

std::string UserStateFolder() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/')
        return std::string(state) + "/quillon";
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0')
        return std::string(home) + "/.local/state/quillon";
    return {};
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace quillon::station
