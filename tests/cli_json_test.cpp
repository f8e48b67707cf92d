// The command-line tool's JSON writer: every line it builds must parse as JSON and give back the
// text it was given, escapes and non-UTF-8 file names included.
#include <gtest/gtest.h>

#include <json/json.h>

#include <sstream>
#include <string>

#include "cli/Json.h"

namespace quillon::cli {
namespace {

Json::Value Parse(const std::string& line) {
    Json::Value v;
    std::istringstream in(line);
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errors)) << errors << ": " << line;
    return v;
}

TEST(CliJson, TextRoundTripsThroughAParser) {
    const std::string cases[] = {
        "plain",  "quote \" and backslash \\", "tab\tnew\nline\r", std::string("nul\0byte", 8),
        "\x01\x1f\x7f", "中文 UTF-8 and U+1F600 \xF0\x9F\x98\x80", "",
    };
    for (const std::string& text : cases) {
        SCOPED_TRACE(text);
        const std::string line = JsonLine("log").Text("line", text).Str();
        EXPECT_EQ(line.find('\n'), std::string::npos);
        const Json::Value v = Parse(line);
        EXPECT_EQ(v["type"].asString(), "log");
        EXPECT_EQ(v["line"].asString(), text);
    }
}

TEST(CliJson, InvalidUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string bytes;
        bool valid;
        std::string shown;
    };
    const Case cases[] = {
        {"r\xff" "d.bin", false, "r\xEF\xBF\xBD" "d.bin"},
        {"\xC0\xAF", false, "\xEF\xBF\xBD\xEF\xBF\xBD"},               // overlong '/'
        {"\xED\xA0\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"\xF4\x90\x80\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // past U+10FFFF
        {"cut \xE4\xB8", false, "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
        {"ok \xE4\xB8\xAD", true, "ok \xE4\xB8\xAD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(HexBytes(c.bytes));
        EXPECT_EQ(IsValidUtf8(c.bytes), c.valid);
        const Json::Value v = Parse(JsonLine("result").Path("output", c.bytes).Str());
        EXPECT_EQ(v["output"].asString(), c.shown);
        // The exact name survives only where it had to be replaced.
        EXPECT_EQ(v.isMember("output_bytes"), !c.valid);
        if (!c.valid) {
            EXPECT_EQ(v["output_bytes"].asString(), HexBytes(c.bytes));
        }
    }
    EXPECT_EQ(HexBytes("r\xff" "d"), "72ff64");
}

TEST(CliJson, FieldsKeepTheirTypesAndOrder) {
    const std::string line =
        JsonLine("result").Number("schema", kJsonSchema).Text("op", "write").Flag("ok", false).Number("exit", -7).Str();
    EXPECT_EQ(line, R"({"type":"result","schema":1,"op":"write","ok":false,"exit":-7})");
    const Json::Value v = Parse(line);
    EXPECT_TRUE(v["ok"].isBool());
    EXPECT_EQ(v["exit"].asInt(), -7);
}

}  // namespace
}  // namespace quillon::cli
