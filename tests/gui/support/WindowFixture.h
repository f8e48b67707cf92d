// The window tests' common ground: a scratch folder per test, the window's hooks with every
// dialog answered from a queue and every error box recorded, and the log view read as text
// (waited on, counted in). Form is the window class a test builds (a subclass that records
// more, for instance).
#pragma once

#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <deque>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/Config.h"
#include "gui/ElidedLabel.h"
#include "gui/MainWindow.h"
#include "gui/QtUiHost.h"
#include "gui/support/FakeHotKey.h"
#include "log/Log.h"
#include "support/Bytes.h"
#include "support/Process.h"

namespace quillon::test {

template <typename Form = gui::TForm1>
class WindowFixture : public ::testing::Test {
protected:
    explicit WindowFixture(std::string prefix) : prefix_(std::move(prefix)) {}

    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               (prefix_ + "-" + std::to_string(QCoreApplication::applicationPid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        qputenv("QUILLON_UPDATE_HOST", "127.0.0.1:9");  // nothing listens there: the check stays silent
        Language = "en";
    }

    void TearDown() override {
        form_.reset();
        Language = "en";
        std::error_code ec;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(dir_, ec);
    }

    // Dialogs answered from the queues (an empty queue cancels), error boxes recorded, the fake
    // F9 key, config.ini in the scratch folder; the rest of hooks as given. A test changes what
    // it needs afterwards.
    gui::WindowHooks Hooks(gui::WindowHooks hooks = {}) {
        hooks.errorBox = [this](const QString& m) {
            errors_.push_back(m.toStdString());
            if (form_ && form_->isVisible()) ++boxesOverTheWindow_;
        };
        hooks.openDialog = [this](const QString&) {
            ++openDialogs_;
            return Next(openAnswers_);
        };
        hooks.saveDialog = [this] { return Next(saveAnswers_); };
        hooks.confirmReplace = [this](const QString& path) {
            replaceQuestions_.push_back(path.toStdString());
            return replaceAnswer_;
        };
        hooks.makeHotKey = [this](UiHost&) { return std::make_unique<FakeHotKey>(hotKeyAvailable_); };
        hooks.settingsPath = Utf8(dir_ / "config.ini");
        return hooks;
    }

    std::string Log() const { return form_->RichEdit1->toPlainText().toStdString(); }
    bool WaitLog(const std::string& text, int ms = 10000) {
        return QTest::qWaitFor([&] { return Log().find(text) != std::string::npos; }, ms);
    }
    std::size_t Count(const std::string& text) const {
        const std::string log = Log();
        std::size_t n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }
    std::string Result() const { return form_->lblResult->text().toStdString(); }

    // LoadFile clicked, with p the dialog's answer.
    void Load(const std::filesystem::path& p) {
        openAnswers_.push_back(Utf8(p));
        QTest::mouseClick(form_->BtnLoadFile, Qt::LeftButton);
    }
    // A BIN file of n pattern bytes in the scratch folder.
    std::filesystem::path Image(std::size_t n, unsigned seed = 1) {
        return Image(u8"fw" + Ascii(n) + u8"_" + Ascii(seed) + u8".bin", n, seed);
    }
    std::filesystem::path Image(const std::u8string& name, std::size_t n, unsigned seed) {
        const std::filesystem::path p = dir_ / std::filesystem::path(name);
        WriteBytes(p, Pattern(n, seed));
        return p;
    }

    std::filesystem::path dir_;
    gui::QtUiHost host_;
    std::unique_ptr<Form> form_;
    std::vector<std::string> errors_;
    std::deque<std::optional<std::string>> openAnswers_, saveAnswers_;
    int openDialogs_ = 0;
    int boxesOverTheWindow_ = 0;
    bool hotKeyAvailable_ = true;
    // Save BIN's question before it replaces a file: the paths asked about, and the answer.
    std::vector<std::string> replaceQuestions_;
    bool replaceAnswer_ = true;

private:
    static std::optional<std::string> Next(std::deque<std::optional<std::string>>& answers) {
        if (answers.empty()) return std::nullopt;
        auto a = answers.front();
        answers.pop_front();
        return a;
    }
    static std::u8string Ascii(std::size_t n) {
        const std::string s = std::to_string(n);
        return {s.begin(), s.end()};
    }
    std::string prefix_;
};

}  // namespace quillon::test
