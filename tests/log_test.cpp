// The text table, language lookup, system language mapping and the log line with its sink.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <thread>
#include <vector>

#include "log/Log.h"

namespace quillon {
namespace {

struct LanguageGuard {
    std::string saved = Language;
    ~LanguageGuard() { Language = saved; }
};

TEST(TextTable, KeysAreUniqueAndLookupIsExact) {
    std::set<std::string> keys;
    for (const auto& row : TextTable) EXPECT_TRUE(keys.insert(row.english).second) << row.english;
    LanguageGuard guard;
    Language = "cn";
    EXPECT_EQ(Translate("Verify"), "校验");
    EXPECT_EQ(Translate("校验"), "校验");
    EXPECT_EQ(Translate("Read finish"), "读完成");
    EXPECT_EQ(Translate("appName"), "Quillon");
    EXPECT_EQ(Translate("Hot key register fail!"), "热键注册失败");
    // Anything that differs from every key, however slightly, stays as given.
    EXPECT_EQ(Translate("Verify."), "Verify.");
    EXPECT_EQ(Translate("Verify "), "Verify ");
    EXPECT_EQ(Translate("verify"), "verify");
    EXPECT_EQ(Translate(""), "");
}

TEST(TextTable, OnlyExactlyCnSelectsChinese) {
    LanguageGuard guard;
    for (const char* lang : {"en", "CN", "cn ", "zh", "de", ""}) {
        Language = lang;
        EXPECT_EQ(Translate("Verify"), "Verify") << lang;
        EXPECT_EQ(Translate("appName"), "appName") << lang;
    }
}

TEST(SystemLanguage, ChineseLocalesMapToWindowsIdentifiers) {
    EXPECT_EQ(LangIdForLocale("zh_TW.UTF-8"), 1028);
    EXPECT_EQ(LangIdForLocale("zh_CN.UTF-8"), 2052);
    EXPECT_EQ(LangIdForLocale("zh_HK"), 3076);
    EXPECT_EQ(LangIdForLocale("zh_SG.GB2312"), 4100);
    EXPECT_EQ(LangIdForLocale("zh_TW@euro"), 1028);
    EXPECT_EQ(LangIdForLocale("en_US.UTF-8"), 1033);
    EXPECT_EQ(LangIdForLocale("C"), 0);
    EXPECT_EQ(LangIdForLocale("POSIX"), 0);
    EXPECT_EQ(LangIdForLocale("zhx_CN"), 0);
    for (int id : {1028, 2052, 3076, 4100}) EXPECT_TRUE(IsChineseLangId(id));
    for (int id : {0, 1033, 1041, 2053, 5124}) EXPECT_FALSE(IsChineseLangId(id));
}

TEST(LogLine, StampTwoBlanksAndTextReachTheSink) {
    std::vector<std::string> lines;
    SetLogSink([&](const std::string& line) { lines.push_back(line); });
    Log("HID Opened");
    Log("two\nlines");
    SetLogSink(nullptr);
    Log("dropped without a sink");
    ASSERT_EQ(lines.size(), 2u);
    // "[<date and time> mmm]  HID Opened": three digits of milliseconds after a blank.
    const std::string& line = lines[0];
    const auto close = line.find(']');
    ASSERT_NE(close, std::string::npos) << line;
    ASSERT_GE(close, 6u);
    EXPECT_EQ(line[0], '[');
    EXPECT_EQ(line[close - 4], ' ');
    for (std::size_t i = close - 3; i < close; ++i) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[i]))) << line;
    EXPECT_EQ(line.substr(close + 1), "  HID Opened");
    EXPECT_EQ(lines[1].substr(lines[1].size() - 11), "  two\nlines");
}

TEST(LogLine, LinesFromManyThreadsArriveWholeAndInPerThreadOrder) {
    std::vector<std::string> lines;
    SetLogSink([&](const std::string& line) { lines.push_back(line); });
    constexpr int kThreads = 4, kLines = 500;
    // "tT I", appended piece by piece: GCC 12 at -O3 takes "t" + ... for an overlapping copy
    // (a false -Wrestrict).
    const auto lineOf = [](int t, int i) {
        std::string line = "t";
        line += std::to_string(t);
        line += ' ';
        line += std::to_string(i);
        return line;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, lineOf] {
            for (int i = 0; i < kLines; ++i) Log(lineOf(t, i));
        });
    }
    for (auto& th : threads) th.join();
    SetLogSink(nullptr);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        auto text = line.substr(line.find("]  ") + 3);
        int t = text[1] - '0';
        EXPECT_EQ(text, lineOf(t, next[t]));
        ++next[t];
    }
}

}  // namespace
}  // namespace quillon
