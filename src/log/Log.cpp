// The log line builder, its sink, and the text table lookup.
#include "log/Log.h"

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace quillon {

const std::array<TextRow, 33> TextTable = {{
    {"appName", "Quillon"},
    {"Reload Hex", "重载HEX"},
    {"Erase Flash", "擦除"},
    {"Encry", "读保护"},
    {"Verify", "校验"},
    {"Reset Run", "复位运行"},
    {"Write[ F9 ]", "烧写(F9)"},
    {"Read", "读出"},
    {"LoadFile", "载入文件"},
    {"Dected", "检测"},
    {"ISP", "烧录"},
    {"About", "说明"},
    {"Keep Front", "窗口置顶"},
    {"SetFlashSize", "设置写入大小"},
    {"Save BIN", "保存BIN文件"},
    {"Read finish", "读完成"},
    {"Write finish", "写完成"},
    {"Success", "成功"},
    {"Fail", "失败"},
    {"finish", "完成"},
    {"校验", "校验"},
    {"connected", "连接"},
    {"Disconnected", "断开"},
    {"operation failed", "操作失败"},
    {"operation timeout", "操作超时"},
    {"Please load HEX/BIN file", "请选择烧录文件"},
    {"Please Select Chip", "请选择芯片"},
    {"chip dected OK", "芯片检测成功"},
    {"chip dected fail", "芯片检测失败"},
    {"Select file is out of chip memory", "烧录文件大小超过芯片容量"},
    {"File Not Exists", "文件不存在"},
    {"Programer is connected!", "编程器已连接"},
    {"Hot key register fail!", "热键注册失败"},
}};

std::string Language = "en";

std::string Translate(std::string_view text) {
    if (Language != "cn") return std::string(text);
    for (const TextRow& row : TextTable) {
        if (text == row.english) return row.chinese;
    }
    return std::string(text);
}

int LangIdForLocale(std::string_view locale) {
    // "zh_CN.UTF-8@x" -> language "zh", territory "CN"
    std::string_view lang = locale.substr(0, locale.find_first_of("_.@"));
    if (lang != "zh") return lang == "en" ? 1033 : 0;
    std::string_view territory;
    if (auto us = locale.find('_'); us != std::string_view::npos) {
        territory = locale.substr(us + 1);
        territory = territory.substr(0, territory.find_first_of(".@"));
    }
    if (territory == "TW") return 1028;
    if (territory == "HK") return 3076;
    if (territory == "SG") return 4100;
    return 2052;
}

bool IsChineseLangId(int langId) {
    return langId == 1028 || langId == 2052 || langId == 3076 || langId == 4100;
}

bool IsChineseSystem() { return IsChineseLangId(SystemDefaultLangId()); }

std::string TimeStamp() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::tm local = LocalTimeOf(std::chrono::system_clock::to_time_t(now));
    // The locale's short date and long time; "%x %X" follows LC_TIME when the program set it.
    char when[96];
    if (std::strftime(when, sizeof when, "%x %X", &local) == 0) when[0] = '\0';
    char stamp[128];
    std::snprintf(stamp, sizeof stamp, "[%s %03d]", when, static_cast<int>(((ms % 1000) + 1000) % 1000));
    return stamp;
}

namespace {
std::mutex& LogMutex() {
    static std::mutex m;
    return m;
}
LogSink& Sink() {
    static LogSink sink;
    return sink;
}
}  // namespace

void SetLogSink(LogSink sink) {
    std::lock_guard lock(LogMutex());
    Sink() = std::move(sink);
}

void Log(std::string_view text) {
    std::lock_guard lock(LogMutex());
    LogSink& sink = Sink();
    if (!sink) return;
    std::string line = TimeStamp();
    line += "  ";
    line += text;
    sink(line);
}

}  // namespace quillon
