// The user's last choices kept in config.ini beside the program, section CONFIG.
// TIniOptions is the in-memory copy of that section: the window loads it once at start when
// the file exists, applies it to its controls, and saves the controls' state back at close.
// The file follows the Windows private-profile conventions so that a config.ini copied from
// a Windows installation reads the same here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillon {

// Raised by TIniOptions::Save when the settings cannot be written. what() is exactly
// "Unable to write to <path>"; reason() holds the system's explanation for the log.
class IniWriteError : public std::runtime_error {
public:
    IniWriteError(const std::string& path, std::string reason);
    const std::string& path() const noexcept { return path_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string path_;
    std::string reason_;
};

enum class IniLoadResult {
    NoFile,      // nothing at the path: the fields were left alone
    Loaded,      // the file was read; missing or unreadable keys took their defaults
    Unreadable,  // a file exists but could not be read or decoded: every field took its default
    TooLarge,    // the file is larger than TIniOptions::MaxFileSize: not read, the fields left alone
};

class TIniOptions {
public:
    static constexpr const char* Section = "CONFIG";
    // Text values longer than this are cut, as the platform's profile routines cut them.
    static constexpr std::size_t MaxTextLength = 2047;
    // Settings files are small; a bigger one is neither read nor rewritten (1 MiB).
    static constexpr std::size_t MaxFileSize = std::size_t{1} << 20;

    // Construction leaves texts empty, numbers 0 and booleans false; the defaults that a
    // missing key takes come from Load.
    std::string file;
    std::int32_t chipidx = 0;
    bool reload = false;
    bool erase = false;
    bool encry = false;
    bool verify = false;
    bool rstrun = false;
    std::string lang;

    // Reads the eight keys of section CONFIG (names matched regardless of case), each with
    // its default. Does nothing when no file exists at path.
    IniLoadResult Load(const std::string& path);

    // Writes the eight keys into section CONFIG of the file at path. Only the values of those
    // keys change (the first entry of each, the one Load reads); keys the section lacks are
    // added after its last entry in table order, a missing section at the end. Every other byte
    // of the file (comments, blank lines, other keys and sections, line ends, its encoding) is
    // kept. A symbolic link is followed and stays a link; its final target is replaced in one
    // step, so a failed save leaves it as it was. A missing file is created with LF line ends.
    // Throws IniWriteError ("Unable to write to <path>") when the target is not a regular file
    // (a directory, FIFO, device), is read-only, is larger than MaxFileSize, cannot be read back
    // or decoded, or the new content cannot be written.
    void Save(const std::string& path) const;
};

// The language the window starts in: the stored code unchanged when it is not empty,
// otherwise "cn" on a Chinese system and "en" elsewhere.
std::string ChooseLanguage(std::string_view lang, bool chineseSystem);
std::string ChooseLanguage(std::string_view lang);  // asks IsChineseSystem()

// Whole-integer text as the settings file and the flash size box accept it: optional blanks
// and control characters around it, an optional sign, then decimal digits or hexadecimal
// digits after "$", "0x" or "0X". Anything else, or a value outside 32 bits, gives nullopt.
std::optional<std::int32_t> ParseInteger(std::string_view text);

}  // namespace quillon
