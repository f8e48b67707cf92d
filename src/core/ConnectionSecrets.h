// How libpq reads the names in a connection string that can carry a secret: shared by the
// profile, which must never keep one, and the store's outputs, which must never show one.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

// libpq's keywords that hold a secret: the server's password and the client key's (sslpassword).
inline bool IsSecretKey(const std::string& lowerKey) { return lowerKey == "password" || lowerKey == "sslpassword"; }

// A URL query parameter's name as libpq reads it: percent escapes decoded ("pass%77ord" is
// "password").
inline std::string DecodedQueryName(std::string_view name) {
    const auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size() && digit(name[i + 1]) >= 0 && digit(name[i + 2]) >= 0) {
            out.push_back(static_cast<char>(digit(name[i + 1]) * 16 + digit(name[i + 2])));
            i += 2;
        } else {
            out.push_back(name[i]);
        }
    }
    return out;
}

}  // namespace quillon
