// The --serial ADDR:FORMAT argument: parsing, encoding, patching, and the counter file. The
// counter's own lock lives in FILE.lock beside the counter's real file: the counter itself is
// replaced by a rename on every update, and a lock on a replaced file would no longer exclude
// anyone; a lock named after a link would not exclude a station that uses another name.
#include "station/Serial.h"

#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "fs/Durable.h"
#include "fs/Files.h"
#include "hex/Chex2bin.h"
#include "ops/ProgrammerLink.h"

namespace quillon::station {

namespace {

std::string Reason(const std::system_error& e) { return SystemReason(e.code().value()); }

}  // namespace

std::optional<std::uint64_t> ParseUnsigned(std::string_view text, int base) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::uint32_t> ParseFieldAddress(std::string_view text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const auto address = hex ? ParseUnsigned(text.substr(2), 16) : ParseUnsigned(text, 10);
    if (!address || *address > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<std::uint32_t>(*address);
}

SerialField ParseSerialField(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        throw SerialError("serial '" + std::string(text) + "' is not ADDR:FORMAT (for example 0x3FFC:u32le)");
    const std::string_view addr = text.substr(0, colon);
    const std::string_view format = text.substr(colon + 1);
    const auto address = ParseFieldAddress(addr);
    if (!address) throw SerialError("serial address '" + std::string(addr) + "' is not a number (decimal or 0x hex)");
    SerialField field;
    field.address = *address;
    if (format == "u16le") field.format = {SerialEncoding::U16Le, 2};
    else if (format == "u16be") field.format = {SerialEncoding::U16Be, 2};
    else if (format == "u32le") field.format = {SerialEncoding::U32Le, 4};
    else if (format == "u32be") field.format = {SerialEncoding::U32Be, 4};
    else if (format.starts_with("ascii:")) {
        const auto width = ParseUnsigned(format.substr(6), 10);
        if (!width || *width < 1 || *width > 20)
            throw SerialError("serial format '" + std::string(format) + "': the width must be 1 to 20 digits");
        field.format = {SerialEncoding::Ascii, static_cast<std::size_t>(*width)};
    } else {
        throw SerialError("serial format '" + std::string(format) +
                          "' is not one of u16le, u16be, u32le, u32be, ascii:W");
    }
    return field;
}

std::vector<std::uint8_t> EncodeSerial(std::uint64_t number, const SerialFormat& format) {
    std::vector<std::uint8_t> bytes(format.width);
    if (format.encoding == SerialEncoding::Ascii) {
        const std::string digits = std::to_string(number);
        if (digits.size() > format.width)
            throw SerialError("serial number " + digits + " has more than " + std::to_string(format.width) + " digits");
        const std::size_t pad = format.width - digits.size();
        for (std::size_t i = 0; i < format.width; ++i) bytes[i] = std::uint8_t(i < pad ? '0' : digits[i - pad]);
        return bytes;
    }
    const std::uint64_t limit = format.width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
    if (number > limit)
        throw SerialError("serial number " + std::to_string(number) + " does not fit in " +
                          std::to_string(format.width * 8) + " bits");
    const bool big = format.encoding == SerialEncoding::U16Be || format.encoding == SerialEncoding::U32Be;
    for (std::size_t i = 0; i < format.width; ++i) {
        const std::size_t shift = 8 * (big ? format.width - 1 - i : i);
        bytes[i] = std::uint8_t(number >> shift);
    }
    return bytes;
}

std::vector<std::uint8_t> PatchImage(std::vector<std::uint8_t>& image, std::uint32_t address,
                                     const std::vector<std::uint8_t>& bytes, std::size_t flashSize) {
    const std::uint64_t end = std::uint64_t(address) + bytes.size();
    if (end > flashSize) {
        char text[160];
        std::snprintf(text, sizeof text, "serial at 0x%04X..0x%04llX lies outside the chip's %zu-byte flash", address,
                      static_cast<unsigned long long>(end - 1), flashSize);
        throw SerialError(text);
    }
    if (image.size() < end) image.resize(static_cast<std::size_t>(end), 0xFF);
    std::vector<std::uint8_t> before(image.begin() + address, image.begin() + static_cast<std::ptrdiff_t>(end));
    std::copy(bytes.begin(), bytes.end(), image.begin() + address);
    return before;
}

std::optional<std::uint64_t> ParseCounter(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front()))) return std::nullopt;
    return ParseUnsigned(text, 10);
}

std::string CounterText(std::uint64_t last) { return std::to_string(last) + "\n"; }

namespace {

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of(kPathSeparators);
    return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

// A FIFO or device as counter would block the read for ever: refused before it is opened.
void CheckRegular(const std::string& counterFile) {
    const PathStatus status = StatPath(counterFile);
    if (status.error == ENOENT)
        throw SerialError("serial counter " + counterFile +
                          " does not exist; create it with the last number given (for example 0)");
    if (status.error != 0) throw SerialError("cannot read serial counter " + counterFile + ": " + SystemReason(status.error));
    if (!status.isRegular)
        throw SerialError("serial counter " + counterFile + " is " + NonRegularKind(counterFile) +
                          "; only a regular file can be a counter");
}

std::uint64_t ReadCounter(const std::string& counterFile) {
    CheckRegular(counterFile);
    std::string text;
    try {
        text = ReadWholeFile(counterFile, 64);
    } catch (const std::system_error& e) {
        if (e.code().value() == ENOENT)
            throw SerialError("serial counter " + counterFile +
                              " does not exist; create it with the last number given (for example 0)");
        throw SerialError("cannot read serial counter " + counterFile + ": " + Reason(e));
    }
    const auto last = ParseCounter(text);
    if (!last) throw SerialError("serial counter " + counterFile + " does not hold a number");
    return *last;
}

}  // namespace

std::string CounterLockPath(const std::string& counterFile) {
    try {
        return ResolveLinks(counterFile) + ".lock";
    } catch (const std::system_error& e) {
        throw SerialError("cannot follow serial counter " + counterFile + ": " + Reason(e));
    }
}

std::string SeriesOf(const std::string& counterFile) {
    std::string file;
    try {
        file = ResolveLinks(counterFile);
    } catch (const std::system_error& e) {
        throw SerialError("cannot follow serial counter " + counterFile + ": " + Reason(e));
    }
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(PathFromUtf8(file), error);
    if (error) throw SerialError("cannot name the series of serial counter " + counterFile + ": " + error.message());
    const std::u8string text = absolute.lexically_normal().generic_u8string();
    return std::string(text.begin(), text.end());
}

std::uint64_t CatchUpWithRecord(const std::string& counterFile, std::uint64_t counter,
                                std::optional<std::uint64_t> onRecord, bool allowJump) {
    if (!onRecord || *onRecord <= counter) return counter;
    if (!allowJump && *onRecord - counter > kMaxSerialCatchUp)
        throw SerialError("the unit log records serial " + std::to_string(*onRecord) + " of this counter as taken, " +
                          std::to_string(*onRecord - counter) + " ahead of serial counter " + counterFile + " (" +
                          std::to_string(counter) + "); a crash leaves it at most one ahead, so the counter was set "
                          "back or the log is not its own: check both, or pass --allow-serial-jump to go on from " +
                          std::to_string(*onRecord + 1));
    return *onRecord;
}

std::uint64_t TakeNextSerial(const std::string& counterFile, SerialJournal* journal,
                             const std::function<bool()>& cancelled, bool allowJump) {
    // Checked before the lock file is made, so that a refused start leaves nothing behind.
    CheckRegular(counterFile);
    const std::string lockPath = CounterLockPath(counterFile);
    if (cancelled && cancelled()) throw SerialCancelled("stopped before taking a number from " + counterFile);
    try {
        std::unique_ptr<LockedFile> lock;
        try {
            lock = std::make_unique<LockedFile>(lockPath, true, cancelled);
        } catch (const std::system_error& e) {
            if (e.code().value() == ECANCELED) throw SerialCancelled("stopped while waiting for " + lockPath);
            throw;
        }
        std::uint64_t last = ReadCounter(counterFile);
        if (journal != nullptr) {
            try {
                last = CatchUpWithRecord(counterFile, last, journal->lastTaken(), allowJump);
            } catch (const std::system_error& e) {
                throw SerialError("cannot read the record of numbers taken (" + e.code().message() + ")");
            }
        }
        if (last == UINT64_MAX) throw SerialError("serial counter " + counterFile + " is exhausted (it holds " +
                                                  std::to_string(last) + ", the largest number)");
        const std::uint64_t next = last + 1;
        if (journal != nullptr) {
            try {
                journal->taken(next);
            } catch (const std::system_error& e) {
                throw SerialError("cannot record serial " + std::to_string(next) + " as taken: " + e.what() + ": " +
                                  Reason(e));
            } catch (const SerialError&) {
                throw;
            } catch (const std::exception& e) {
                throw SerialError("cannot record serial " + std::to_string(next) + " as taken: " + e.what());
            }
        }
        WriteFileAtomically(counterFile, CounterText(next), Durability::Durable);
        SyncDirectoryOf(ResolveLinks(counterFile));
        return next;
    } catch (const std::system_error& e) {
        throw SerialError("cannot update serial counter " + counterFile + ": " + Reason(e));
    }
}

std::uint64_t TakeNextSerial(const std::string& counterFile) { return TakeNextSerial(counterFile, nullptr); }

std::uint64_t PeekLastSerial(const std::string& counterFile) { return ReadCounter(counterFile); }

void CheckCounterWritable(const std::string& counterFile) {
    const std::string lockPath = CounterLockPath(counterFile);
    const std::string dir = DirectoryOf(lockPath);
    if (const int error = CheckCreatableIn(dir); error != 0)
        throw SerialError("serial counter " + counterFile + " cannot be replaced: its folder " +
                          (dir.empty() ? std::string(".") : dir) + " is not writable (" + SystemReason(error) + ")");
    if (PathEntryExists(lockPath) && IsReadOnlyFile(lockPath))
        throw SerialError("serial counter " + counterFile + " cannot be locked: " + lockPath + " is read-only");
}

std::string IsoTimeUtc(std::int64_t unixMillis) {
    using namespace std::chrono;
    const sys_time<milliseconds> t{milliseconds(unixMillis)};
    const auto day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss hms{t - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(ymd.year()), unsigned(ymd.month()),
                  unsigned(ymd.day()), int(hms.hours().count()), int(hms.minutes().count()),
                  int(hms.seconds().count()), int(hms.subseconds().count()));
    return text;
}

}  // namespace quillon::station
