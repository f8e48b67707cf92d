// Finding the password in a libpq connection string (parsed by libpq itself where it can, read
// by hand where it cannot) and hiding it in messages.
#include "store/Secrets.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace quillon::store {
namespace {

void Add(std::vector<std::string>& out, std::string value) {
    if (!value.empty() && std::find(out.begin(), out.end(), value) == out.end()) out.push_back(std::move(value));
}

// By hand, for text libpq refuses to parse (whose error message may quote it): the password of
// a URL's user part, and the values of password= keywords and query parameters.
void AddWrittenForms(std::vector<std::string>& out, const std::string& text) {
    const auto scheme = text.find("://");
    // The authority ends at the path or the query; libpq ends it at the path only, so that an
    // unescaped '?' may stand in a password: both readings.
    for (const char* ends : {"/?", "/"}) {
        if (scheme == std::string::npos) break;
        const auto start = scheme + 3;
        const auto end = text.find_first_of(ends, start);
        const std::string authority = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const auto at = authority.rfind('@');
        if (at != std::string::npos) {
            const std::string user = authority.substr(0, at);
            const auto colon = user.find(':');
            if (colon != std::string::npos) Add(out, user.substr(colon + 1));
        }
    }
    for (std::size_t pos = text.find("password"); pos != std::string::npos; pos = text.find("password", pos + 1)) {
        std::size_t i = pos + 8;
        while (i < text.size() && text[i] == ' ') ++i;
        if (i >= text.size() || text[i] != '=') continue;
        ++i;
        while (i < text.size() && text[i] == ' ') ++i;
        std::string value;
        if (i < text.size() && text[i] == '\'') {
            // A quoted keyword value: \' and \\ stand for themselves.
            for (++i; i < text.size() && text[i] != '\''; ++i) {
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                value += text[i];
            }
            Add(out, text.substr(pos, i - pos));  // the whole quoted form, as written
        } else {
            const auto end = text.find_first_of(" &\t\n", i);
            value = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
        }
        Add(out, value);
    }
}

}  // namespace

std::vector<std::string> PasswordsIn(const std::string& conninfo) {
    std::vector<std::string> out;
    AddWrittenForms(out, conninfo);
    char* error = nullptr;
    if (PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error)) {
        for (PQconninfoOption* o = options; o->keyword; ++o) {
            if (o->val && std::strcmp(o->keyword, "password") == 0) Add(out, o->val);
        }
        PQconninfoFree(options);
    }
    PQfreemem(error);
    if (const char* env = std::getenv("PGPASSWORD")) Add(out, env);
    // The longest first, so that a password holding another is hidden whole.
    std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    return out;
}

std::string HideSecrets(std::string text, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
        if (secret.empty()) continue;
        for (auto pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos + 3)) {
            text.replace(pos, secret.size(), "***");
        }
    }
    return text;
}

}  // namespace quillon::store
