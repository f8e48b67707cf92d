// The operator's view's text table.
#include "gui/OperatorTexts.h"

#include <array>
#include <filesystem>
#include <memory>

#include "config/Config.h"
#include "fs/Files.h"
#include "log/Log.h"

namespace quillon::gui {

namespace {

struct Pair {
    const char* english;
    const char* chinese;
};

constexpr std::array kTexts{
    Pair{"Operator's station", "生产工位"},
    Pair{"Waiting for a chip", "等待芯片"},
    Pair{"Programming %1%", "烧写中 %1%"},
    Pair{"PASS %1", "通过 %1"},
    Pair{"PASS", "通过"},
    Pair{"FAIL: %1", "失败：%1"},
    Pair{"Remove the chip", "请取下芯片"},
    Pair{"HOLD: %1 failures in a row \u2014 check the fixture", "暂停：连续 %1 次失败 \u2014 请检查夹具"},
    Pair{"Acknowledge", "确认"},
    Pair{"Disconnected: %1", "已断开：%1"},
    Pair{"Stopped", "已停止"},
    Pair{"Store unreachable: %1", "数据库无法连接：%1"},
    Pair{"Last unit: %1", "上一个：%1"},
    Pair{"Start", "开始"},
    Pair{"Stop", "停止"},
    Pair{"Stopping\u2026", "正在停止\u2026"},
    Pair{"Lot", "批号"},
    Pair{"Operator", "操作员"},
    Pair{"Part", "料号"},
    Pair{"(required)", "（必填）"},
    Pair{"Session", "本次"},
    Pair{"This lot", "本批"},
    Pair{"Good", "良品"},
    Pair{"Failed", "不良"},
    Pair{"Yield", "良率"},
    Pair{"Units per hour", "每小时"},
    Pair{"Time", "时间"},
    Pair{"Programmer", "编程器"},
    Pair{"Serial", "序列号"},
    Pair{"Result", "结果"},
    Pair{"Message", "信息"},
    Pair{"FAIL", "失败"},
    Pair{"Chip", "芯片"},
    Pair{"Image", "固件"},
    Pair{"Options", "选项"},
    Pair{"erase", "擦除"},
    Pair{"verify", "校验"},
    Pair{"reset", "复位运行"},
    Pair{"read-back", "回读比较"},
    Pair{"read-protect", "读保护"},
    Pair{"Records", "记录"},
    Pair{"Station", "工位"},
    Pair{"Hold after", "连续失败暂停"},
    Pair{"none", "无"},
    Pair{"Enter the %1 before Start", "开始前请输入%1"},
    Pair{"The image has changed since the profile was made", "固件文件在工位配置生成后已被修改"},
    Pair{"Waiting for a programmer", "等待编程器"},
    Pair{"Running", "运行中"},
    Pair{"Stopped: %1 good, %2 failed", "已停止：良品 %1，不良 %2"},
    Pair{"Stopped: %1", "已停止：%1"},
    Pair{"Units are being programmed. Close when they are finished?", "正在烧写。烧写完成后关闭吗？"},
    Pair{"Cannot start: %1", "无法开始：%1"},
};

}  // namespace

QString OperatorText(std::string_view english) {
    if (Language == "cn")
        for (const Pair& p : kTexts)
            if (english == p.english) return QString::fromUtf8(p.chinese);
    return QString::fromUtf8(english.data(), static_cast<qsizetype>(english.size()));
}

QString OperatorText(std::string_view english, const QString& a1, const QString& a2) {
    QString text = OperatorText(english);
    text.replace(QStringLiteral("%1"), a1);
    if (!a2.isNull()) text.replace(QStringLiteral("%2"), a2);
    return text;
}

void ChooseWindowLanguage(const std::string& settingsPath) {
    std::error_code ec;
    if (!std::filesystem::exists(PathFromUtf8(settingsPath), ec)) return;
    TIniOptions options;
    if (options.Load(settingsPath) == IniLoadResult::TooLarge) return;
    Language = ChooseLanguage(options.lang);
}

}  // namespace quillon::gui
