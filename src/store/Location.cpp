// Where a store is, from the text a user gives (--store): which engine, what to hand it, and the
// same text with any password masked for everything the tool prints.
#include <algorithm>
#include <cctype>
#include <string>

#include "core/ConnectionSecrets.h"
#include "store/Store.h"

namespace quillon::store {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && Lower(text.substr(text.size() - suffix.size())) == suffix;
}

bool IsPostgresUrl(std::string_view text) {
    const std::string lower = Lower(text.substr(0, std::min<std::size_t>(text.size(), 16)));
    return StartsWith(lower, "postgresql://") || StartsWith(lower, "postgres://");
}

// Any URL ("scheme://..."), whatever its scheme: a mistyped one may carry a password too.
bool IsUrl(std::string_view text) {
    const std::size_t sep = text.find("://");
    if (sep == std::string_view::npos || sep == 0) return false;
    return std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(sep), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

// libpq's keyword form starts with a keyword and '=' ("host=db dbname=line", "service=line1").
bool IsKeywordForm(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < text.size() && (std::islower(static_cast<unsigned char>(text[i])) || text[i] == '_')) ++i;
    if (i == start) return false;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    return i < text.size() && text[i] == '=';
}

// A URL: the user part's password ("user:SECRET@host") and a "password" query parameter.
std::string MaskUrl(const std::string& text) {
    std::string out = text;
    const std::size_t authority = out.find("://") + 3;
    const std::size_t query = out.find_first_of("?#", authority);
    const std::size_t end = query == std::string::npos ? out.size() : query;
    // The last '@' before the query ends the user part, so that an unescaped '@' or '/' in a
    // password is masked too; libpq itself ends it at an '@' before the first '/', so that an
    // unescaped '?' or '#' is part of the password: whichever reaches further.
    std::size_t at = out.rfind('@', end == 0 ? 0 : end - 1);
    if (at == std::string::npos || at < authority) at = std::string::npos;
    const std::size_t slash = out.find('/', authority);
    if (const std::size_t first = out.find('@', authority);
        first != std::string::npos && first < slash && (at == std::string::npos || first > at))
        at = first;
    if (at != std::string::npos) {
        const std::size_t colon = out.find(':', authority);
        if (colon != std::string::npos && colon < at) out.replace(colon + 1, at - colon - 1, "***");
    }
    std::size_t from = out.find('?', authority);
    while (from != std::string::npos && from < out.size()) {
        const std::size_t key = from + 1;
        const std::size_t amp = out.find('&', key);
        const std::size_t stop = amp == std::string::npos ? out.size() : amp;
        const std::size_t eq = out.find('=', key);
        if (eq != std::string::npos && eq < stop && IsSecretKey(Lower(DecodedQueryName(std::string_view(out).substr(key, eq - key))))) {
            out.replace(eq + 1, stop - eq - 1, "***");
            from = out.find('&', eq + 4);
        } else {
            from = amp;
        }
    }
    return out;
}

// libpq's keyword form: key = value pairs, a value plain or in single quotes with backslash escapes.
std::string MaskKeywords(const std::string& text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        // Blanks, then a keyword up to '=' or a blank.
        const std::size_t keyStart = i;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        const std::size_t nameStart = i;
        while (i < text.size() && text[i] != '=' && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        const std::string name = Lower(std::string_view(text).substr(nameStart, i - nameStart));
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i >= text.size() || text[i] != '=') {
            out += text.substr(keyStart, i - keyStart);
            continue;
        }
        ++i;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        const std::size_t valueStart = i;
        if (i < text.size() && text[i] == '\'') {
            ++i;
            while (i < text.size() && text[i] != '\'') i += text[i] == '\\' && i + 1 < text.size() ? 2 : 1;
            if (i < text.size()) ++i;
        } else {
            while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
                i += text[i] == '\\' && i + 1 < text.size() ? 2 : 1;
        }
        out += text.substr(keyStart, valueStart - keyStart);
        out += IsSecretKey(name) ? "***" : text.substr(valueStart, i - valueStart);
    }
    return out;
}

}  // namespace

std::string WithoutPassword(const std::string& text) {
    if (IsUrl(text)) return MaskUrl(text);
    return MaskKeywords(text);
}

StoreLocation ParseStoreLocation(const std::string& text) {
    StoreLocation location;
    location.shown = WithoutPassword(text);
    if (StartsWith(text, "sqlite:")) {
        std::string path = text.substr(7);
        if (StartsWith(path, "//")) path = path.substr(2);  // sqlite:///abs/path
        if (path.empty()) throw StoreError("store location " + location.shown + " names no SQLite file");
        location.engine = Engine::Sqlite;
        location.target = path;
        return location;
    }
    if (IsPostgresUrl(text) || IsKeywordForm(text)) {
        location.engine = Engine::Postgres;
        location.target = text;
        return location;
    }
    if (EndsWithNoCase(text, ".db") || EndsWithNoCase(text, ".sqlite")) {
        location.engine = Engine::Sqlite;
        location.target = text;
        return location;
    }
    throw StoreError("store location " + location.shown +
                     " is neither a SQLite file (PATH.db, PATH.sqlite, sqlite:PATH) nor a PostgreSQL one "
                     "(postgresql://..., postgres://..., or libpq keywords such as service=NAME)");
}

}  // namespace quillon::store
