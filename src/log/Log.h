// The log and the two-language text table.
// Every outcome the user sees is one time-stamped line handed to a sink that the shell installs
// (the window appends it to its log view, the command-line tool prints it). Fixed English texts
// pass through Translate, which gives their Chinese partner when the language is "cn".
#pragma once

#include <array>
#include <functional>
#include <ctime>
#include <string>
#include <string_view>

namespace quillon {

struct TextRow {
    const char* english;
    const char* chinese;
};

// The fixed English/Chinese pairs, looked up from row 0 upward.
extern const std::array<TextRow, 33> TextTable;

// The process-wide language code: "en" at start; only exactly "cn" selects Chinese.
// Set once at start-up, before any other thread runs.
extern std::string Language;

// The Chinese partner of an English key in Chinese mode, otherwise the text unchanged.
std::string Translate(std::string_view text);

// The system default language identifier in the Windows numbering: the user's UI language on
// Windows; elsewhere derived from the locale (LC_ALL, LC_MESSAGES, LANG in that order):
// zh_TW 1028, zh_CN 2052, zh_HK 3076, zh_SG 4100, other Chinese 2052, English 1033, else 0.
int SystemDefaultLangId();
// The local calendar time of t (thread-safe).
std::tm LocalTimeOf(std::time_t t);
int LangIdForLocale(std::string_view locale);
// True for the four Chinese identifiers 1028, 2052, 3076 and 4100.
bool IsChineseLangId(int langId);
bool IsChineseSystem();

// "[date time mmm]" with the locale's short date and long time.
std::string TimeStamp();

// Receives every finished line (time stamp, two blanks, text). Called under the log's lock, so
// lines from any thread arrive in call order; the sink must not call Log itself.
using LogSink = std::function<void(const std::string& line)>;
void SetLogSink(LogSink sink);

// Builds one line and hands it to the sink; without a sink the line is dropped.
void Log(std::string_view text);

}  // namespace quillon
