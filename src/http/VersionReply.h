// The version check without a network: the request address and the handling of one reply body
// (raw line, notice, stop order, newer build, forced upgrade). The shell fetches the body and
// supplies the three things a reply can make it do, so the whole policy is testable without Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// What a reply may ask of the shell. All calls happen on the UI thread, in reply order.
struct VersionActions {
    virtual ~VersionActions() = default;
    // A modal box with one OK button; returns when the user has dismissed it.
    virtual void showMessage(const std::string& text) = 0;
    // Hands a web address (always http or https) to the desktop's default handler.
    virtual void openUrl(const std::string& url) = 0;
    // Ends the process with this status at once. Should it return (tests), the reply is done.
    virtual void terminate(int status) = 0;
};

// Bodies above this are never parsed: a version notice is a few hundred bytes, and the raw
// reply goes into the log whole.
inline constexpr std::size_t kVersionReplyLimit = 64 * 1024;

// "http://" + host + "/Upgrade/Info/n/pellery/json/1/version/" + appVersion. host may carry
// ":port".
std::string VersionCheckUrl(std::string host, int appVersion);

// One completed reply body (FileSize bytes). Logs the raw reply, then acts on its members; any
// member of the wrong type or a version that is not an integer ends it with "JSON exception".
// A body over kVersionReplyLimit is only reported by LogVersionReplyTooLarge.
void HandleVersionReply(std::string_view body, VersionActions& actions);

// The one line logged instead of an oversized reply; size is unknown when the transfer was
// cut off before its length was announced.
void LogVersionReplyTooLarge(std::optional<std::uint64_t> size);

// Whole-text integer conversion as the version member needs it: optional sign, then decimal
// digits or hex digits after "$", "0x" or "0X"; nothing else, not empty, within 32 bits signed.
std::optional<std::int32_t> ParseBuildNumber(std::string_view text);

// True when the address's scheme is http or https, in any letter case.
bool IsWebAddress(std::string_view url);

}  // namespace quillon
