// The version reply handler against recorded actions and log lines: every branch, the reading
// rules for members, the integer conversion, the address check and the size bound.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/VersionReply.h"
#include "log/Log.h"

using namespace quillon;

namespace {

struct Recorder : VersionActions {
    std::vector<std::string> done;
    void showMessage(const std::string& text) override { done.push_back("box:" + text); }
    void openUrl(const std::string& url) override { done.push_back("open:" + url); }
    void terminate(int status) override { done.push_back("exit:" + std::to_string(status)); }
};

struct Handled {
    std::vector<std::string> log;  // texts after the time stamp
    std::vector<std::string> done;
};

Handled Handle(std::string_view body) {
    Handled out;
    SetLogSink([&](const std::string& line) { out.log.push_back(line.substr(line.find("]  ") + 3)); });
    Recorder actions;
    HandleVersionReply(body, actions);
    SetLogSink(nullptr);
    out.done = actions.done;
    return out;
}

const std::string kNewer = R"("version":"201","des":"d","downloadurl":"http://h/q.zip","updatetime":"t","updatecontent":"c")";
const std::string kBlock = "\n\nnew version\xEF\xBC\x9A" "201\ndownload\xEF\xBC\x9Ahttp://h/q.zip\nupdate time\xEF\xBC\x9At"
                           "\nupdate content\nc\n\n";
const std::string kJsonError = "JSON exception";
const std::string kNotOpened = "Download address not opened, only http and https are allowed: ";

struct Case {
    const char* name;
    std::string body;
    std::vector<std::string> logAfterRaw;
    std::vector<std::string> done;
};

TEST(VersionReply, EveryBranchLogsShowsOpensAndStopsInOrder) {
    const std::vector<Case> cases = {
        {"same build", R"({"version":"200","des":"x"})", {"\nx"}, {}},
        {"newer build", "{" + kNewer + "}", {"\nd", kBlock}, {}},
        {"forced upgrade", "{" + kNewer + R"(,"mustugrade":0,"msg":"go"})", {"\nd", kBlock}, {"box:go", "open:http://h/q.zip"}},
        {"forced without msg", "{" + kNewer + R"(,"mustugrade":null})", {"\nd", kBlock}, {"open:http://h/q.zip"}},
        {"forced but not newer", R"({"version":"200","des":"d","mustugrade":1,"msg":"m","downloadurl":"http://h"})", {"\nd"}, {}},
        {"forced file address", R"({"version":"201","mustugrade":1,"downloadurl":"file:///bin/sh"})",
         {"\n", "\n\nnew version\xEF\xBC\x9A" "201\ndownload\xEF\xBC\x9A" "file:///bin/sh\nupdate time\xEF\xBC\x9A\nupdate content\n\n\n", kNotOpened + "file:///bin/sh"}, {}},
        {"version as number", R"({"version":201,"des":"d"})", {kJsonError}, {}},
        {"code without version", R"({"code":1,"msg":"note"})", {"note", kJsonError}, {}},
        {"die false", "{\"die\":false,\"msg\":\"bye\"," + kNewer + "}", {}, {"box:bye", "exit:2"}},
        {"die after code", R"({"code":0,"msg":"bye","die":1})", {"bye"}, {"box:bye", "exit:2"}},
        {"die with number msg", R"({"die":1,"msg":5})", {kJsonError}, {}},
        {"bare number", "201", {}, {}},
        {"bare string", R"("201")", {}, {}},
        {"null", "null", {}, {}},
        {"top-level array", R"([{"version":"201"}])", {kJsonError}, {}},
        {"negative version", R"({"version":"-5","des":"d","mustugrade":1})", {"\nd"}, {}},
        {"hex version keeps its text", R"({"version":"$C9","des":"d"})",
         {"\nd", "\n\nnew version\xEF\xBC\x9A$C9\ndownload\xEF\xBC\x9A\nupdate time\xEF\xBC\x9A\nupdate content\n\n\n"}, {}},
        {"version with garbage", R"({"version":"201a","des":"d"})", {kJsonError}, {}},
        {"true as text", R"({"version":"1","des":true})", {"\ntrue"}, {}},
        {"des as object", R"({"version":"201","des":{}})", {kJsonError}, {}},
        {"content as array", R"({"version":"201","des":"d","updatecontent":[]})", {"\nd", kJsonError}, {}},
        {"comments allowed", "/* c */ {\"version\":\"2\", // x\n \"des\":\"y\"}", {"\ny"}, {}},
        {"document ends at a zero byte", std::string("{\"version\":\"2\",\"des\":\"z\0\"}", 27), {}, {}},
        {"nesting beyond the reader's depth", std::string(5000, '['), {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Handled h = Handle(c.body);
        std::vector<std::string> log = {c.body};
        log.insert(log.end(), c.logAfterRaw.begin(), c.logAfterRaw.end());
        EXPECT_EQ(h.log, log);
        EXPECT_EQ(h.done, c.done);
    }
}

TEST(VersionReply, BodiesOverTheLimitAreReportedNotLoggedOrParsed) {
    const std::string padded = R"({"version":"1","des":"d"})";
    const Handled atLimit = Handle(padded + std::string(kVersionReplyLimit - padded.size(), ' '));
    EXPECT_EQ(atLimit.log.size(), 2u);
    const std::string body = "{" + kNewer + R"(,"mustugrade":1})" + std::string(kVersionReplyLimit, ' ');
    const Handled over = Handle(body);
    EXPECT_EQ(over.log, std::vector<std::string>{"Version reply too large (" + std::to_string(body.size()) + " bytes)"});
    EXPECT_TRUE(over.done.empty());
}

TEST(VersionReply, BuildNumbersAreWholeIntegersWithinThirtyTwoBits) {
    const std::vector<std::pair<const char*, std::optional<std::int32_t>>> cases = {
        {"+201", 201}, {"-5", -5}, {"007", 7}, {"$ff", 255}, {"0X1F", 31}, {"-$10", -16}, {"-2147483648", INT32_MIN},
        {"0x7FFFFFFF", 2147483647}, {"2147483648", {}}, {"-2147483649", {}}, {"$80000000", {}}, {"", {}}, {"+", {}},
        {"0x", {}}, {" 1", {}}, {"1 ", {}}, {"1e3", {}}, {"$g", {}}, {"--1", {}}, {"99999999999999999999", {}}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(ParseBuildNumber(text), expected) << '"' << text << '"';
}

TEST(VersionReply, OnlyHttpAndHttpsAddressesCount) {
    for (const char* yes : {"http://h/x", "HTTPS://h", "Http:x"}) EXPECT_TRUE(IsWebAddress(yes)) << yes;
    for (const char* no : {"", "file:///etc/passwd", "javascript:alert(1)", "//h/x", "httpx://h", "http", " http://h"})
        EXPECT_FALSE(IsWebAddress(no)) << no;
    EXPECT_EQ(VersionCheckUrl("127.0.0.1:8080", 200), "http://127.0.0.1:8080/Upgrade/Info/n/pellery/json/1/version/200");
}

}  // namespace
