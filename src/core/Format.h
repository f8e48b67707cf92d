// printf-style text for the operations' log lines and messages, whose wording (and its field
// widths) is fixed: one helper instead of a buffer and snprintf at every site.
#pragma once

#include <cstdio>
#include <string>

namespace quillon {

// fmt with args, cut at 255 bytes (every caller's text is far shorter).
std::string Format(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

}  // namespace quillon
