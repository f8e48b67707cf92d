// The reply handler of the version check: jsoncpp's Reader with comments allowed and a strict
// root, the member reading rules, and the order of log lines, boxes, opens and the stop order.
#include "http/VersionReply.h"

#include "config/Config.h"

#include <json/json.h>

#include <cctype>
#include <limits>
#include <stdexcept>

#include "core/AppInfo.h"
#include "log/Log.h"

namespace quillon {

namespace {

// Raised for a member that cannot be read as text; caught with every other failure of the
// member steps and reported as "JSON exception".
struct MemberTypeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A top-level array parses, but has no members: jsoncpp's own member lookup would assert on it.
const Json::Value* FindMember(const Json::Value& root, const char* name) {
    if (!root.isObject()) return nullptr;
    return root.find(name, name + std::char_traits<char>::length(name));
}

bool HasMember(const Json::Value& root, const char* name) { return FindMember(root, name) != nullptr; }

// Strings give their characters, null and absence the empty text, booleans "true"/"false".
// jsoncpp's asString would quietly print numbers; a number here is the server's mistake.
std::string MemberText(const Json::Value& root, const char* name) {
    const Json::Value* value = FindMember(root, name);
    if (value == nullptr) return {};
    switch (value->type()) {
        case Json::nullValue: return {};
        case Json::stringValue: return value->asString();
        case Json::booleanValue: return value->asBool() ? "true" : "false";
        default: throw MemberTypeError(std::string("member ") + name + " is not text");
    }
}

void ActOnReply(const Json::Value& root, VersionActions& actions) {
    if (HasMember(root, "code")) Log(MemberText(root, "msg"));
    if (HasMember(root, "die")) {
        actions.showMessage(MemberText(root, "msg"));
        actions.terminate(2);
        return;
    }
    const std::string versionText = MemberText(root, "version");
    const std::optional<std::int32_t> version = ParseBuildNumber(versionText);
    if (!version) throw MemberTypeError("version is not an integer");
    // Appended, not "\n" + ...: GCC 12 takes that for an overlapping copy (a false -Wrestrict).
    std::string description = "\n";
    description += MemberText(root, "des");
    Log(description);
    if (*version <= kAppVersion) return;

    std::string block = "\n\nnew version\xEF\xBC\x9A" + versionText;
    const std::string url = MemberText(root, "downloadurl");
    block += "\ndownload\xEF\xBC\x9A" + url;
    block += "\nupdate time\xEF\xBC\x9A" + MemberText(root, "updatetime");
    block += "\nupdate content\n" + MemberText(root, "updatecontent");
    Log(block + "\n\n");

    if (!HasMember(root, "mustugrade")) return;
    if (HasMember(root, "msg")) actions.showMessage(MemberText(root, "msg"));
    // The address comes from the network: anything but a web page (file:, a custom handler)
    // would let the reply start a local program.
    if (IsWebAddress(url)) {
        actions.openUrl(url);
    } else {
        Log("Download address not opened, only http and https are allowed: " + url);
    }
}

}  // namespace

std::string VersionCheckUrl(std::string host, int appVersion) {
    return "http://" + std::move(host) + "/Upgrade/Info/n/pellery/json/1/version/" +
           std::to_string(appVersion);
}

void LogVersionReplyTooLarge(std::optional<std::uint64_t> size) {
    if (size) {
        Log("Version reply too large (" + std::to_string(*size) + " bytes)");
    } else {
        Log("Version reply too large (over " + std::to_string(kVersionReplyLimit) + " bytes)");
    }
}

std::optional<std::int32_t> ParseBuildNumber(std::string_view text) {
    // The settings file's integer rule (sign, decimal, "$"/"0x" hexadecimal, 32 bits), without
    // the blanks around it that the settings file tolerates.
    auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    if (text.empty() || isBlank(text.front()) || isBlank(text.back())) return std::nullopt;
    return ParseInteger(text);
}

bool IsWebAddress(std::string_view url) {
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos) return false;
    std::string scheme;
    for (char c : url.substr(0, colon)) scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http" || scheme == "https";
}

void HandleVersionReply(std::string_view body, VersionActions& actions) {
    if (body.size() > kVersionReplyLimit) {
        LogVersionReplyTooLarge(body.size());
        return;
    }
    Log(body);

    const std::string_view document = body.substr(0, body.find('\0'));
    Json::Features features;
    features.allowComments_ = true;
    features.strictRoot_ = true;
    Json::Reader reader(features);
    Json::Value root;
    bool parsed = false;
    try {
        parsed = reader.parse(document.data(), document.data() + document.size(), root, true);
    } catch (const std::exception&) {
        // jsoncpp throws instead of failing for documents nested beyond its depth limit.
        parsed = false;
    }
    if (!parsed) return;

    try {
        ActOnReply(root, actions);
    } catch (const std::exception&) {
        Log("JSON exception");
    }
}

}  // namespace quillon
