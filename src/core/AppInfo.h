// The program's identity: the build number the version check sends and compares, and the name
// shown in captions. One place, so the window, the command-line tool and the check agree.
#pragma once

namespace quillon {

inline constexpr int kAppVersion = 200;
inline constexpr const char* kAppName = "Quillon";

}  // namespace quillon
