// The command-line tool's JSON writer and reader: every line the writer builds must parse as JSON
// (with jsoncpp and with the tool's own reader) and give back the text it was given, escapes and
// non-UTF-8 file names included; the reader accepts only what RFC 8259 calls JSON.
#include <gtest/gtest.h>

#include <json/json.h>

#include <memory>
#include <optional>
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

TEST(CliJson, TheReaderTakesBackWhatTheWriterWrote) {
    const std::string texts[] = {"plain", "quote \" \\ / \b\f\n\r\t", std::string("nul\0byte", 8), "\x01\x1f\x7f",
                                 "中文 \xF0\x9F\x98\x80", "r\xff" "d.bin", ""};
    for (const std::string& text : texts) {
        SCOPED_TRACE(HexBytes(text));
        const std::string line =
            JsonLine("unit").Path("file", text).Number("serial", std::uint64_t{18446744073709551615u}).Flag("ok", true).Str();
        const std::optional<JsonValue> v = ParseJson(line);
        ASSERT_TRUE(v.has_value()) << line;
        EXPECT_TRUE(v->IsObject());
        EXPECT_TRUE((*v)["type"] == "unit");
        EXPECT_EQ((*v)["file"].AsString(), Parse(line)["file"].asString());
        EXPECT_EQ((*v)["serial"].AsUInt64(), std::optional<std::uint64_t>(18446744073709551615u));
        EXPECT_EQ((*v)["ok"].kind(), JsonValue::Kind::Bool);
        EXPECT_EQ((*v)["missing"].kind(), JsonValue::Kind::Null);
    }
}

TEST(CliJson, TheReaderAcceptsOnlyJson) {
    struct Case {
        std::string text;
        bool json;
    };
    const Case cases[] = {
        {R"({"a":[1,-2.5e+3,0,true,false,null,{"b":"c"}]})", true},
        {" \t\r\n{} \r\n", true},
        {"[]", true},
        {R"("\u00e9\ud83d\ude00")", true},
        {"0", true},
        {"-0.0E-1", true},
        {"", false},
        {"{", false},
        {R"({"a":1,})", false},
        {R"({"a" 1})", false},
        {R"({a:1})", false},
        {"[1,]", false},
        {"01", false},
        {"1.", false},
        {".5", false},
        {"-", false},
        {"1e", false},
        {"+1", false},
        {"tru", false},
        {"nul", false},
        {"{} {}", false},                // a second value after the first
        {"{} // note", false},           // comments are not JSON
        {"\"tab\there\"", false},        // control characters must be escaped
        {R"("\ud83d")", false},          // a lone high surrogate
        {R"("\ude00")", false},          // a lone low surrogate
        {R"("\x41")", false},
        {R"("\u12G4")", false},
        {"\"\xC0\xAF\"", false},         // an overlong '/'
        {"\"cut \xE4\xB8\"", false},
        {"\"open", false},
        {std::string(600, '[') + std::string(600, ']'), false},  // deeper than any record
        {std::string(100, '[') + std::string(100, ']'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        EXPECT_EQ(ParseJson(c.text).has_value(), c.json);
        // What the reader accepts, jsoncpp (laxer: it takes leading zeros, raw tabs, lone low
        // surrogates) reads too.
        if (c.json) Parse(c.text);
    }
}

TEST(CliJson, AsUInt64TakesOnlyPlainUnsignedIntegersThatFit) {
    struct Case {
        const char* number;
        std::optional<std::uint64_t> value;
    };
    const Case cases[] = {
        {"0", 0u},
        {"18446744073709551615", 18446744073709551615u},
        {"18446744073709551616", std::nullopt},
        {"-1", std::nullopt},
        {"1.0", std::nullopt},
        {"1e3", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        const std::optional<JsonValue> v = ParseJson(std::string("{\"n\":") + c.number + "}");
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ((*v)["n"].AsUInt64(), c.value);
    }
    EXPECT_EQ(ParseJson("\"5\"")->AsUInt64(), std::nullopt);
    EXPECT_TRUE((*ParseJson(R"({"k":1,"k":"last"})"))["k"] == "last");
}

TEST(Utf8, DecodingGivesTheCodePointOrRefusesTheFirstByte) {
    struct Case {
        std::string bytes;
        char32_t cp;
        std::size_t length;  // 0: no valid sequence starts here
    };
    const Case cases[] = {
        {"A", U'A', 1},
        {"\xC2\xA9", U'\u00A9', 2},
        {"\xE4\xB8\xAD", U'\u4E2D', 3},
        {"\xF0\x9F\x98\x80", U'\U0001F600', 4},
        {"\xF4\x8F\xBF\xBF", U'\U0010FFFF', 4},
        {"\x80", 0xFFFD, 0},                  // a continuation byte alone
        {"\xC1\xBF", 0xFFFD, 0},              // overlong
        {"\xE0\x9F\xBF", 0xFFFD, 0},          // overlong
        {"\xF0\x8F\xBF\xBF", 0xFFFD, 0},      // overlong
        {"\xED\xBF\xBF", 0xFFFD, 0},          // surrogate
        {"\xF4\x90\x80\x80", 0xFFFD, 0},      // past U+10FFFF
        {"\xF5\x80\x80\x80", 0xFFFD, 0},
        {"\xE4\xB8", 0xFFFD, 0},              // cut short
        {"\xE4" "A\xAD", 0xFFFD, 0},          // interrupted
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(HexBytes(c.bytes));
        const Utf8Char got = DecodeUtf8(c.bytes, 0);
        EXPECT_EQ(got.length, c.length);
        EXPECT_EQ(static_cast<std::uint32_t>(got.cp), static_cast<std::uint32_t>(c.cp));
        EXPECT_EQ(IsValidUtf8(c.bytes), c.length == c.bytes.size());
    }
}

}  // namespace
}  // namespace quillon::cli
