// The user's language and local time on Windows: the language is the user's UI language (what
// the Windows settings call the display language), the time through localtime_s.
#include <windows.h>

#include <ctime>

#include "log/Log.h"

namespace quillon {

int SystemDefaultLangId() {
    const LANGID id = GetUserDefaultUILanguage();
    // The same numbering the locale mapping gives elsewhere: the four Chinese identifiers as
    // they are, other Chinese as 2052, English 1033, anything else 0.
    if (IsChineseLangId(id)) return id;
    if (PRIMARYLANGID(id) == LANG_CHINESE) return 2052;
    if (PRIMARYLANGID(id) == LANG_ENGLISH) return 1033;
    return 0;
}

std::tm LocalTimeOf(std::time_t t) {
    std::tm local{};
    localtime_s(&local, &t);
    return local;
}

}  // namespace quillon
