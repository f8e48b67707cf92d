// The user's language and local time on POSIX systems: the language from the locale variables,
// the time through localtime_r.
#include <cstdlib>
#include <ctime>

#include "log/Log.h"

namespace quillon {

int SystemDefaultLangId() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(var);
        if (value != nullptr && *value != '\0') return LangIdForLocale(value);
    }
    return 0;
}

std::tm LocalTimeOf(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}

}  // namespace quillon
