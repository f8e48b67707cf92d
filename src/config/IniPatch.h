// Line-preserving edits of an INI text. Scan finds where each section header and key=value
// entry lies, walking the text exactly as SimpleIni's parser does (so the line it edits is the
// line that loading reads), and SetValues rewrites only the values it is given: every other byte
// (comments, blank lines, foreign keys, other sections, each line's own line end) is kept.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::ini {

// True when a and b are equal apart from the case of the letters A-Z, as SimpleIni compares names.
bool SameName(std::string_view a, std::string_view b);

struct SectionHeader {
    std::string_view name;  // without the brackets and the blanks inside them
    std::size_t end = 0;    // offset just past the header's line end (or the text's end)
};

struct Entry {
    int section = -1;          // index into Layout::sections; -1 before the first header
    std::string_view key;      // without the blanks around it
    std::size_t valueBegin = 0;  // the value without the blanks around it: [valueBegin, valueEnd)
    std::size_t valueEnd = 0;
    std::size_t end = 0;       // offset just past the entry's line end (or the text's end)
};

struct Layout {
    std::vector<SectionHeader> sections;  // in file order; a name may come more than once
    std::vector<Entry> entries;           // in file order
};

// The views in the result point into text.
Layout Scan(std::string_view text);

// The line end that lines added to text get: that of its first line, LF when it has none.
std::string_view LineEndOf(std::string_view text);

// text with each key of section set to its value. A key that is present (names matched
// regardless of case, in any header of that name) has the value of its first entry replaced,
// which is the one loading takes; the others are added, in the given order, after the last entry
// of the section's first header, or after that header when it holds none; a section that is
// missing is added at the end with them. Values must not hold line breaks.
std::string SetValues(std::string_view text, std::string_view section,
                      const std::vector<std::pair<std::string, std::string>>& values);

}  // namespace quillon::ini
