// Line-preserving edits of an INI text. The scanner follows SimpleIni's parse step by step (its
// blanks, comment characters, line ends, the lines it skips) so that an edited value is always
// the one that the next load reads; keeping to its quirks matters more here than tidiness.
#include "config/IniPatch.h"

#include <algorithm>

namespace quillon::ini {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }
bool IsComment(char c) { return c == ';' || c == '#'; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Offset past the line end at i (CR LF, LF or a lone CR), or i at the end of the text.
std::size_t PastLineEnd(std::string_view t, std::size_t i) {
    if (i >= t.size()) return i;
    return t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n' ? i + 2 : i + 1;
}

std::size_t ToLineEnd(std::string_view t, std::size_t i) {
    while (i < t.size() && !IsLineEnd(t[i])) ++i;
    return i;
}

struct Edit {
    std::size_t at;
    std::size_t erase;
    std::string insert;
};

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return Lower(x) == Lower(y);
           });
}

Layout Scan(std::string_view t) {
    Layout layout;
    const std::size_t n = t.size();
    std::size_t i = 0;
    while (i < n) {
        while (i < n && IsSpace(t[i])) ++i;
        if (i >= n) break;
        if (IsComment(t[i])) {
            i = ToLineEnd(t, i);
            continue;
        }
        if (t[i] == '[') {
            // Blanks after the bracket are skipped across line ends, as the parser does.
            ++i;
            while (i < n && IsSpace(t[i])) ++i;
            const std::size_t name = i;
            while (i < n && t[i] != ']' && !IsLineEnd(t[i])) ++i;
            if (i >= n || t[i] != ']') continue;  // not a header: the line is skipped
            std::size_t nameEnd = i;
            while (nameEnd > name && IsSpace(t[nameEnd - 1])) --nameEnd;
            i = ToLineEnd(t, i + 1);
            layout.sections.push_back({t.substr(name, nameEnd - name), PastLineEnd(t, i)});
            continue;
        }
        const std::size_t key = i;
        while (i < n && t[i] != '=' && !IsLineEnd(t[i])) ++i;
        if (i >= n || t[i] != '=') continue;  // a line without '=' is skipped
        if (i == key) {                       // so is one with an empty name
            i = ToLineEnd(t, i);
            continue;
        }
        std::size_t keyEnd = i;
        while (keyEnd > key && IsSpace(t[keyEnd - 1])) --keyEnd;
        ++i;
        while (i < n && !IsLineEnd(t[i]) && IsSpace(t[i])) ++i;
        const std::size_t value = i;
        i = ToLineEnd(t, i);
        std::size_t valueEnd = i;
        while (valueEnd > value && IsSpace(t[valueEnd - 1])) --valueEnd;
        i = PastLineEnd(t, i);
        layout.entries.push_back({static_cast<int>(layout.sections.size()) - 1, t.substr(key, keyEnd - key), value,
                                  valueEnd, i});
    }
    return layout;
}

std::string_view LineEndOf(std::string_view text) {
    const std::size_t at = text.find_first_of("\r\n");
    if (at == std::string_view::npos) return "\n";
    return text.substr(at, PastLineEnd(text, at) - at);
}

std::string SetValues(std::string_view text, std::string_view section,
                      const std::vector<std::pair<std::string, std::string>>& values) {
    const Layout layout = Scan(text);
    const std::string eol(LineEndOf(text));
    auto inSection = [&](const Entry& e) {
        return e.section >= 0 && SameName(layout.sections[static_cast<std::size_t>(e.section)].name, section);
    };

    std::vector<Edit> edits;
    std::string added;
    for (const auto& entry : values) {
        // Plain references, not structured bindings: clang 14 cannot capture those in a lambda.
        const std::string& key = entry.first;
        const std::string& value = entry.second;
        auto found = std::find_if(layout.entries.begin(), layout.entries.end(),
                                  [&](const Entry& e) { return inSection(e) && SameName(e.key, key); });
        if (found != layout.entries.end()) {
            edits.push_back({found->valueBegin, found->valueEnd - found->valueBegin, value});
        } else {
            added += key + "=" + value + eol;
        }
    }

    if (!added.empty()) {
        auto first = std::find_if(layout.sections.begin(), layout.sections.end(),
                                  [&](const SectionHeader& s) { return SameName(s.name, section); });
        std::size_t at = text.size();
        if (first == layout.sections.end()) {
            // Appended piece by piece: GCC 12 takes "[" + ... + added for an overlapping copy
            // (a false -Wrestrict inside libstdc++).
            std::string header;
            header.reserve(section.size() + 2 + eol.size() + added.size());
            header.append("[").append(section).append("]").append(eol).append(added);
            added = std::move(header);
        } else {
            const int index = static_cast<int>(first - layout.sections.begin());
            at = first->end;
            for (const Entry& e : layout.entries) {
                if (e.section == index) at = e.end;
            }
        }
        if (at > 0 && !IsLineEnd(text[at - 1])) added.insert(0, eol);  // the last line had no line end
        edits.push_back({at, 0, std::move(added)});
    }

    // Replacements were listed before the insertion, so at one offset a value is replaced first.
    std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.at < b.at; });
    std::string out;
    std::size_t size = text.size();
    for (const Edit& e : edits) size += e.insert.size();
    out.reserve(size);
    std::size_t done = 0;
    for (const Edit& e : edits) {
        out.append(text.substr(done, e.at - done));
        out += e.insert;
        done = e.at + e.erase;
    }
    out.append(text.substr(done));
    return out;
}

}  // namespace quillon::ini
