// The real window on the simulated programmer, driven through its controls: start-up with and
// without config.ini, captions in both languages, Detect/Read/Write by clicks, Load, Set Flash
// Size, Save BIN with its backup, the About grid, F9 through the native event filter, device
// changes, dropped files and the close order. Dialogs, the hot key and error boxes are replaced
// through the window's hooks; the version check is pointed at a closed local port.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QClipboard>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QUrl>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

#include "config/Config.h"
#include "gui/ElidedLabel.h"
#include "gui/HexEditor.h"
#include "gui/MainWindow.h"
#include "gui/QtUiHost.h"
#include "gui/VersionCheck.h"
#include "gui/support/WindowFixture.h"
#include "log/Log.h"
#include "sim/SimPlatform.h"
#include "support/Bytes.h"
#include "support/FakeHidPlatform.h"
#include "support/Process.h"

namespace fs = std::filesystem;
using namespace quillon;
using gui::TForm1;

namespace {

using test::Pattern;
using test::ReadBytes;

class WindowTest : public test::WindowFixture<> {
protected:
    WindowTest() : WindowFixture("quillon-window") {}

    void SetUp() override {
        WindowFixture::SetUp();
        qputenv("LANG", "en_US.UTF-8");
        qunsetenv("LC_ALL");
        qunsetenv("LC_MESSAGES");
        sim_ = std::make_unique<sim::SimPlatform>();
        programmer_ = sim_->addProgrammer();
    }

    void Make(std::vector<std::string> args = {}, hid::Platform* platform = nullptr) {
        form_ = std::make_unique<TForm1>(host_, platform ? *platform : *sim_, Hooks(), std::move(args));
    }

    void Start(std::vector<std::string> args = {}) {
        Make(std::move(args));
        form_->FormCreate();
    }

    // The bytes as given: no CR LF from a text-mode stream on Windows.
    void WriteIni(const std::string& text) { std::ofstream(dir_ / "config.ini", std::ios::binary) << text; }
    std::string ReadIni() const {
        std::ifstream in(dir_ / "config.ini");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void PickChip(int index) {
        form_->cbbDev->setCurrentIndex(index);
        emit form_->cbbDev->activated(index);
    }

    std::unique_ptr<sim::SimPlatform> sim_;
    std::string programmer_;
};

TEST_F(WindowTest, StartsWithoutSettingsGreetsTheProgrammerAndLeavesTheDiskUntouched) {
    Start();
    EXPECT_EQ(form_->windowTitle().toStdString(), "Quillon V200");
    EXPECT_EQ(form_->size(), QSize(962, 498));
    EXPECT_EQ(form_->PageControl1->tabText(0).toStdString(), "  ISP  ");
    EXPECT_EQ(form_->PageControl1->tabText(1).toStdString(), "   HEX /BIN");
    EXPECT_EQ(form_->PageControl1->tabText(2).toStdString(), "    About    ");
    EXPECT_EQ(form_->BtnAuto->text().toStdString(), "Write[ F9 ]");
    EXPECT_EQ(form_->cbbDev->currentIndex(), -1);
    EXPECT_TRUE(form_->chkReload->isChecked() && form_->chkEraseFlash->isChecked() && form_->chkVerify->isChecked() &&
                form_->chkResetDev->isChecked());
    EXPECT_FALSE(form_->chkEncrypt->isChecked());

    ASSERT_TRUE(WaitLog("连接编程器"));
    const std::string log = Log();
    const auto opened = log.find("HID Opened");
    const auto greeted = log.find("Programer is connected!");
    ASSERT_NE(opened, std::string::npos);
    EXPECT_LT(opened, greeted);
    EXPECT_LT(greeted, log.find("连接编程器"));
    EXPECT_NE(form_->cbbDev->styleSheet().indexOf(QStringLiteral("#c0dcc0")), -1);
    EXPECT_TRUE(form_->BtnAuto->isEnabled() && form_->btnRead->isEnabled());

    form_->close();
    EXPECT_FALSE(fs::exists(dir_ / "config.ini"));
    EXPECT_TRUE(errors_.empty());
}

TEST_F(WindowTest, AProgrammerThatCannotBeOpenedStopsStartUpAfterTheSearch) {
    // Listed, but gone (or refused) by the time it is opened, in every access mode.
    quillon::testing::FakeHidPlatform platform;
    platform.devices.push_back(quillon::testing::FakeHidPlatform::Device("fake:1", 0x04D8, 0x003F, "Programmer"));
    for (auto access : {hid::Access::ReadWrite, hid::Access::Read, hid::Access::Write, hid::Access::None})
        platform.openFailures[access] = ENODEV;
    Make({}, &platform);
    form_->FormCreate();
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_TRUE(WaitLog("HID Error "));
    // No F9, no version in the caption, no version check; the window itself goes on.
    EXPECT_EQ(form_->windowTitle().toStdString(), "Quillon");
    EXPECT_FALSE(form_->hotKeyRegistered());
    EXPECT_FALSE(form_->versionCheck()->running());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form_->BtnAuto->isEnabled(); }, 5000));
    platform.openFailures.clear();
    form_->OnDeviceChange();
    EXPECT_TRUE(WaitLog("HID Opened"));
    form_.reset();
}

TEST_F(WindowTest, SettingsAreAppliedAtStartAndWrittenBackAtClose) {
    struct Case {
        const char* ini;
        const char* lang;  // LANG of the session
        int chip;
        bool encrypt, verify;
        const char* writeCaption;
    };
    const Case cases[] = {
        {"[CONFIG]\n", "en_US.UTF-8", -1, true, true, "Write[ F9 ]"},
        {"[CONFIG]\n", "zh_CN.UTF-8", -1, true, true, "烧写(F9)"},
        {"[CONFIG]\nchipidx=0x2\nverify=yes\nlang=en\n", "zh_CN.UTF-8", 2, true, true, "Write[ F9 ]"},
        {"[CONFIG]\nverify=0\nencry=0\n", "en_US.UTF-8", -1, false, false, "Write[ F9 ]"},
        {"[CONFIG]\nverify=7\nlang=de\n", "zh_CN.UTF-8", -1, true, true, "Write[ F9 ]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        SCOPED_TRACE(c.lang);
        // On Windows the system's language decides, not LANG: the cases that ask it are POSIX's.
        if (test::OnWindows() && std::string(c.ini).find("lang=") == std::string::npos &&
            std::string(c.lang) != "en_US.UTF-8")
            continue;
        WriteIni(c.ini);
        qputenv("LANG", c.lang);
        Language = "en";
        Start();
        EXPECT_EQ(form_->cbbDev->currentIndex(), c.chip);
        EXPECT_EQ(form_->chkEncrypt->isChecked(), c.encrypt);
        EXPECT_EQ(form_->chkVerify->isChecked(), c.verify);
        EXPECT_TRUE(form_->chkReload->isChecked());
        EXPECT_EQ(form_->BtnAuto->text().toStdString(), c.writeCaption);
        EXPECT_EQ(form_->windowTitle().toStdString(), "Quillon V200");
        EXPECT_EQ(form_->PageControl1->tabText(0).toStdString(), "  ISP  ");
        form_->close();
        form_.reset();
        const std::string ini = ReadIni();
        for (const char* key : {"file=", "chipidx=", "reload=1", "erase=", "encry=", "verify=", "rstrun=1", "lang="})
            EXPECT_NE(ini.find(key), std::string::npos) << key << " in\n" << ini;
        if (std::string(c.ini).find("lang=de") != std::string::npos) {
            EXPECT_NE(ini.find("lang=de"), std::string::npos);
        }
    }
}

TEST_F(WindowTest, ChineseCaptionsForButtonsAndBoxesOnly) {
    WriteIni("[CONFIG]\nlang=cn\n");
    Start();
    const std::pair<QAbstractButton*, const char*> expected[] = {
        {form_->BtnAuto, "烧写(F9)"},        {form_->btnRead, "读出"},         {form_->btnDect, "检测"},
        {form_->BtnLoadFile, "载入文件"},    {form_->btnSetFlashSize, "设置写入大小"}, {form_->btnSaveBin, "保存BIN文件"},
        {form_->chkReload, "重载HEX"},       {form_->chkEraseFlash, "擦除"},   {form_->chkEncrypt, "读保护"},
        {form_->chkVerify, "校验"},          {form_->chkResetDev, "复位运行"},
    };
    for (const auto& [button, caption] : expected) EXPECT_EQ(button->text().toStdString(), caption);
    EXPECT_EQ(form_->lblFile->text().toStdString(), "HEX/BIN");
    EXPECT_EQ(form_->PageControl1->tabText(2).toStdString(), "    About    ");
}

TEST_F(WindowTest, TypedPathIsSavedAtCloseAndAReadOnlyFileIsReported) {
    WriteIni("[CONFIG]\nfile=old.hex\n");
    Start();
    form_->edtFile->clear();
    QTest::keyClicks(form_->edtFile, "typed.hex");
    EXPECT_EQ(form_->ops().rememberedFile(), "old.hex");
    form_->close();
    EXPECT_NE(ReadIni().find("file=typed.hex"), std::string::npos);
    form_.reset();

    fs::permissions(dir_ / "config.ini", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::replace);
    Start();
    form_->close();
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0], "Unable to write to " + (dir_ / "config.ini").string());
    // Windows removes no read-only file: writable again for the clean-up.
    fs::permissions(dir_ / "config.ini", fs::perms::owner_write, fs::perm_options::add);
}

// The file box and the flash size box are the window's own: they show the restored file, then
// what each load brought, whatever was typed into them before.
TEST_F(WindowTest, TheBoxesShowTheRestoredFileAndWhatTheLastLoadBrought) {
    WriteIni("[CONFIG]\nfile=old.hex\n");
    Start();
    EXPECT_EQ(form_->edtFile->text().toStdString(), "old.hex");
    EXPECT_EQ(form_->ops().rememberedFile(), "old.hex");
    QTest::keyClicks(form_->edtFile, "x");
    QTest::keyClicks(form_->edtFlashSize, "77");
    const fs::path image = Image(300);
    Load(image);
    EXPECT_EQ(form_->edtFile->text().toStdString(), image.string());
    EXPECT_EQ(form_->ops().rememberedFile(), image.string());
    EXPECT_EQ(form_->edtFlashSize->text().toStdString(), "300");
    form_->close();
    EXPECT_NE(ReadIni().find("file=" + image.string()), std::string::npos);
}

TEST_F(WindowTest, ASettingsTargetThatCannotBeWrittenIsReportedAndTheWindowStillCloses) {
    const fs::path ini = dir_ / "config.ini";
    const std::pair<const char*, std::function<bool()>> targets[] = {
        {"directory", [&] { return fs::create_directory(ini); }},
        {"FIFO", [&] { return test::MakeFifo(ini.string()); }},
    };
    for (const auto& [name, make] : targets) {
        SCOPED_TRACE(name);
        if (std::string(name) == "FIFO" && test::OnWindows()) continue;  // Windows has no FIFOs
        fs::remove_all(ini);
        ASSERT_TRUE(make());
        const auto type = fs::symlink_status(ini).type();
        errors_.clear();
        boxesOverTheWindow_ = 0;
        Start();  // a FIFO is not opened: start-up does not wait for a writer
        form_->show();
        EXPECT_TRUE(form_->close());
        EXPECT_FALSE(form_->isVisible());
        EXPECT_EQ(errors_, std::vector<std::string>{"Unable to write to " + ini.string()});
        EXPECT_EQ(boxesOverTheWindow_, 0);
        EXPECT_EQ(fs::symlink_status(ini).type(), type);
        if (fs::is_directory(ini)) {
            EXPECT_TRUE(fs::is_empty(ini));
        }
        form_.reset();
    }
}

TEST_F(WindowTest, ASettingsFileOverOneMebibyteIsNeitherAppliedNorRewritten) {
    const fs::path ini = dir_ / "config.ini";
    const std::string head = "[CONFIG]\nchipidx=1\nencry=1\nlang=cn\n;";
    WriteIni(head);
    fs::resize_file(ini, 200u << 20);  // sparse
    const auto stamp = fs::last_write_time(ini);
    Start();
    EXPECT_EQ(form_->cbbDev->currentIndex(), -1);
    EXPECT_FALSE(form_->chkEncrypt->isChecked());
    EXPECT_EQ(form_->BtnAuto->text().toStdString(), "Write[ F9 ]");
    ASSERT_TRUE(WaitLog(ini.string())) << Log();
    EXPECT_EQ(Count(ini.string()), 1u) << Log();
    form_->show();
    EXPECT_TRUE(form_->close());
    EXPECT_TRUE(errors_.empty());
    EXPECT_EQ(fs::file_size(ini), 200u << 20);
    EXPECT_EQ(fs::last_write_time(ini), stamp);
    std::string start(head.size(), '\0');
    std::ifstream(ini, std::ios::binary).read(start.data(), static_cast<std::streamsize>(start.size()));
    EXPECT_EQ(start, head);
}

TEST_F(WindowTest, DetectWriteAndReadThroughClicks) {
    Start();
    ASSERT_TRUE(WaitLog("连接编程器"));
    PickChip(0);
    const auto image = Image(5000);
    Load(image);
    EXPECT_TRUE(WaitLog("Load File" + image.string() + "  5000 Bytes"));
    EXPECT_EQ(form_->edtFlashSize->text().toStdString(), "5000");
    EXPECT_EQ(form_->hexEditor->document()->GetDataSize(), 5000u);

    QTest::mouseClick(form_->btnDect, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Result().rfind("detect: ok", 0) == 0; }, 10000)) << Result();
    EXPECT_GE(Count("chip dected OK"), 1u);

    QTest::mouseClick(form_->BtnAuto, Qt::LeftButton);
    ASSERT_TRUE(WaitLog("Verify Success")) << Log();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Result().rfind("write: ok", 0) == 0; }, 10000)) << Result();
    EXPECT_EQ(form_->ProgressBar1->maximum(), 5000);
    const auto flash = sim_->flash(programmer_);
    const auto bytes = ReadBytes(image);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin()));
    EXPECT_TRUE(form_->lblViewDiffers->isHidden());

    QTest::mouseClick(form_->btnRead, Qt::LeftButton);
    ASSERT_TRUE(WaitLog("Read finish16384 byte")) << Log();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_->hexEditor->document()->GetDataSize() == 16384u; }, 5000));
    EXPECT_EQ(form_->ProgressBar1->maximum(), 16384);
    // An edit in the view is not what Write sends, and the window says so.
    form_->hexEditor->setCursorOffset(0);
    QTest::keyClicks(form_->hexEditor, bytes[0] == 0x5A ? "A5" : "5A");
    EXPECT_FALSE(form_->lblViewDiffers->isHidden());
}

TEST_F(WindowTest, SaveBinReadSaveBinKeepsTheFirstSaveAsBackup) {
    Start();
    ASSERT_TRUE(WaitLog("连接编程器"));
    PickChip(0);
    sim_->setFlash(programmer_, Pattern(16384, 9));
    const auto image = Image(3000, 4);
    Load(image);
    const fs::path out = dir_ / "out.bin";
    saveAnswers_.push_back(out.string());
    QTest::mouseClick(form_->btnSaveBin, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(out), ReadBytes(image));

    QTest::mouseClick(form_->btnRead, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_->hexEditor->document()->GetDataSize() == 16384u; }, 10000));
    saveAnswers_.push_back(out.string());
    QTest::mouseClick(form_->btnSaveBin, Qt::LeftButton);
    EXPECT_EQ(ReadBytes(out), Pattern(16384, 9));
    EXPECT_EQ(ReadBytes(dir_ / "out.bin.bak"), ReadBytes(image));

    saveAnswers_.push_back((dir_ / "no-such-dir" / "x.bin").string());
    QTest::mouseClick(form_->btnSaveBin, Qt::LeftButton);
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0], "Cannot create file " + (dir_ / "no-such-dir" / "x.bin").string());
}

TEST_F(WindowTest, SaveBinAsksBeforeReplacingAFileAndNeverReplacesTheImagesOwnFile) {
    Start();
    const fs::path hex = dir_ / "fw.hex";
    fs::copy_file(fs::path(QUILLON_SOURCE_DIR) / "examples/blink/blink.ihx", hex);
    const auto source = ReadBytes(hex);
    Load(hex);
    ASSERT_GT(form_->hexEditor->document()->GetDataSize(), 0u);
    const auto view = ReadBytes(dir_ / "fw.hex.bin");
    const fs::path other = Image(100, 3);
    fs::create_directory(dir_ / "sub");
    fs::create_hard_link(hex, dir_ / "hard.hex");

    struct Case {
        std::string name;
        fs::path target;
        bool answer;
        bool refused, asked;
        std::vector<std::uint8_t> after;
    };
    std::vector<Case> cases = {
        {"the image's own file", hex, true, true, false, source},
        {"the same file by another spelling", dir_ / "sub" / ".." / "fw.hex", true, true, false, source},
        {"a hard link to it", dir_ / "hard.hex", true, true, false, source},
        {"another file, kept", other, false, false, true, Pattern(100, 3)},
        {"another file, replaced", other, true, false, true, view},
        {"a new file", dir_ / "new.bin", true, false, false, view},
    };
    if (!test::OnWindows()) {
        fs::create_symlink(hex, dir_ / "link.hex");
        cases.push_back({"a symbolic link to it", dir_ / "link.hex", true, true, false, source});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        errors_.clear();
        replaceQuestions_.clear();
        replaceAnswer_ = c.answer;
        saveAnswers_.push_back(test::Utf8(c.target));
        QTest::mouseClick(form_->btnSaveBin, Qt::LeftButton);
        EXPECT_EQ(errors_.size(), c.refused ? 1u : 0u);
        if (c.refused && !errors_.empty()) {
            EXPECT_NE(errors_[0].find(test::Utf8(c.target)), std::string::npos) << errors_[0];
        }
        EXPECT_EQ(replaceQuestions_, c.asked ? std::vector<std::string>{test::Utf8(c.target)} : std::vector<std::string>{});
        EXPECT_EQ(ReadBytes(c.target), c.after);
        EXPECT_EQ(ReadBytes(hex), source);
    }
}

TEST_F(WindowTest, SetFlashSizeTakesDecimalAndHexAndRefusesOtherText) {
    Start();
    Load(Image(5000));
    form_->PageControl1->setCurrentIndex(1);
    struct Case {
        const char* text;
        std::size_t size;
        const char* error;
    };
    const Case cases[] = {{"0x4000", 16384, nullptr}, {"$4000", 16384, nullptr}, {" 100 ", 100, nullptr},
                          {"abc", 100, "'abc' is not a valid integer value"}};
    for (const Case& c : cases) {
        errors_.clear();
        form_->edtFlashSize->clear();
        QTest::keyClicks(form_->edtFlashSize, c.text);
        QTest::mouseClick(form_->btnSetFlashSize, Qt::LeftButton);
        EXPECT_EQ(form_->hexEditor->document()->GetDataSize(), c.size) << c.text;
        if (c.error) {
            ASSERT_EQ(errors_.size(), 1u) << c.text;
            EXPECT_EQ(errors_[0], c.error);
        } else {
            EXPECT_TRUE(errors_.empty()) << c.text;
        }
    }
    // Grown past the loaded image: the view is no longer what Write sends.
    EXPECT_TRUE(form_->lblViewDiffers->isHidden());
    form_->edtFlashSize->clear();
    QTest::keyClicks(form_->edtFlashSize, "16384");
    QTest::mouseClick(form_->btnSetFlashSize, Qt::LeftButton);
    EXPECT_FALSE(form_->lblViewDiffers->isHidden());
}

TEST_F(WindowTest, TheLayoutStaysWhereItIsWhenAMessageAppears) {
    Start();
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
    // Where each control sits in the window; the result line gives room to the message beside it
    // but keeps its line.
    auto geometry = [&] {
        std::vector<std::string> rects;
        for (const QWidget* w : {static_cast<QWidget*>(form_->ProgressBar1), static_cast<QWidget*>(form_->RichEdit1),
                                 static_cast<QWidget*>(form_->BtnAuto), static_cast<QWidget*>(form_->chkResetDev)}) {
            const QPoint at = w->mapTo(form_.get(), QPoint(0, 0));
            rects.push_back(w->objectName().toStdString() + " " + std::to_string(at.x()) + "," + std::to_string(at.y()) +
                            " " + std::to_string(w->width()) + "x" + std::to_string(w->height()));
        }
        const QPoint line = form_->lblResult->mapTo(form_.get(), QPoint(0, 0));
        rects.push_back("lblResult y " + std::to_string(line.y()) + " h " + std::to_string(form_->lblResult->height()));
        return rects;
    };
    QTest::qWait(20);
    const auto before = geometry();
    // Fits in the window: one line of the label's font, within the window's width.
    auto oneLineInside = [&](const gui::ElidedLabel* label) {
        const QRect r(label->mapTo(form_.get(), QPoint(0, 0)), label->size());
        EXPECT_LE(label->height(), label->fontMetrics().height() + 2);
        EXPECT_TRUE(form_->rect().contains(r)) << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
        EXPECT_EQ(label->toolTip(), label->elided() ? label->text() : QString());
    };

    // The view grown past the loaded image: the window says the view is not what Write sends.
    Load(Image(5000));
    form_->edtFlashSize->setText(QStringLiteral("16384"));
    form_->btnSetFlashSizeClick();
    QTest::qWait(20);
    ASSERT_FALSE(form_->lblViewDiffers->isHidden());
    EXPECT_EQ(form_->lblViewDiffers->text().toStdString(), "The view is not the image Write sends: Load a file to write it");
    EXPECT_EQ(geometry(), before);
    oneLineInside(form_->lblViewDiffers);
    EXPECT_FALSE(form_->lblViewDiffers->elided()) << "the status row has room for the whole message";

    // A result longer than the row: cut, whole in its tooltip, and nothing moves.
    const QString longResult = QStringLiteral("write: failed — ") + QString(400, QLatin1Char('x'));
    form_->lblResult->setText(longResult);
    QTest::qWait(20);
    EXPECT_EQ(geometry(), before);
    EXPECT_TRUE(form_->lblResult->elided());
    EXPECT_EQ(form_->lblResult->toolTip(), longResult);
    oneLineInside(form_->lblResult);
    oneLineInside(form_->lblViewDiffers);
}

TEST_F(WindowTest, AboutGridIsTheSameEachTimeTheTabShows) {
    Start();
    form_->PageControl1->setCurrentIndex(2);
    auto cells = [&] {
        std::vector<std::string> v;
        for (int r = 0; r < 11; ++r)
            for (int c = 0; c < 6; ++c) {
                auto* item = form_->StringGrid1->item(r, c);
                v.push_back(item ? item->text().toStdString() : std::string());
            }
        return v;
    };
    const auto first = cells();
    EXPECT_EQ(first[1], "引脚");
    EXPECT_EQ(first[2], "24LE1_Q24  ");
    form_->StringGrid1->item(3, 2)->setText(QStringLiteral("changed"));
    form_->PageControl1->setCurrentIndex(0);
    form_->PageControl1->setCurrentIndex(2);
    EXPECT_EQ(cells(), first);
}

TEST_F(WindowTest, F9ThroughTheNativeEventFilterWritesEvenWithTheButtonDisabled) {
    Start();
    ASSERT_TRUE(form_->hotKeyRegistered());
    ASSERT_TRUE(WaitLog("连接编程器"));
    PickChip(0);
    Load(Image(2000, 3));
    form_->BtnAuto->setEnabled(false);
    qintptr result = 0;
    EXPECT_TRUE(QAbstractEventDispatcher::instance()->filterNativeEvent("test-f9", nullptr, &result));
    EXPECT_FALSE(QAbstractEventDispatcher::instance()->filterNativeEvent("other", nullptr, &result));
    ASSERT_TRUE(WaitLog("Verify Success")) << Log();
    EXPECT_EQ(Count("Write FLASH"), 1u);

    // A key that cannot be had: the log says so and the window goes on.
    form_.reset();
    hotKeyAvailable_ = false;
    Start();
    EXPECT_FALSE(form_->hotKeyRegistered());
    ASSERT_TRUE(WaitLog("Hot key register fail!"));
}

TEST_F(WindowTest, DeviceChangesOpenAndCloseTheProgrammer) {
    Start();
    ASSERT_TRUE(WaitLog("连接编程器"));
    sim_->unplug(programmer_);
    ASSERT_TRUE(WaitLog("HID Close "));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form_->BtnAuto->isEnabled(); }, 5000));
    EXPECT_FALSE(form_->BtnAuto->toolTip().isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([&] { return form_->cbbDev->styleSheet().contains(QStringLiteral("#808080")); }, 5000));
    // Another device arriving runs a search that finds nothing new.
    sim_->addKeyboard();
    sim_->plug(programmer_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count("HID Opened") == 2; }, 5000)) << Log();
    EXPECT_TRUE(QTest::qWaitFor([&] { return form_->BtnAuto->isEnabled(); }, 5000));
    QTest::qWait(50);
    EXPECT_EQ(Count("HID Close "), 1u);
    EXPECT_EQ(Count("连接编程器"), 2u);
}

TEST_F(WindowTest, WriteWhileTheHexViewIsEditedSendsTheFile) {
    sim_->setPaced(true);
    Start();
    ASSERT_TRUE(WaitLog("连接编程器"));
    PickChip(0);
    const auto image = Image(16384, 7);
    Load(image);
    QTest::mouseClick(form_->BtnAuto, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_->ops().streaming(); }, 10000));
    form_->PageControl1->setCurrentIndex(1);
    form_->hexEditor->setCursorOffset(0x20);
    QTest::keyClicks(form_->hexEditor, "0011");
    ASSERT_TRUE(WaitLog("Verify Success", 20000)) << Log();
    EXPECT_EQ(sim_->flash(programmer_), ReadBytes(image));
    EXPECT_EQ(form_->hexEditor->document()->ByteAt(0x20), 0x00);
    EXPECT_EQ(form_->hexEditor->document()->ByteAt(0x21), 0x11);
    EXPECT_FALSE(form_->lblViewDiffers->isHidden());
}

TEST_F(WindowTest, ArgumentsLoadTheSecondAsHexWithoutADialogAndDropsLoadLikeLoad) {
    const fs::path hex = fs::path(QUILLON_SOURCE_DIR) / "examples/blink/blink.ihx";
    const fs::path copy = dir_ / "fw.hex";
    fs::copy_file(hex, copy);
    Start({"x", copy.string()});
    QTest::mouseClick(form_->BtnLoadFile, Qt::LeftButton);
    EXPECT_EQ(openDialogs_, 0);
    EXPECT_EQ(ReadBytes(dir_ / "fw.hex.bin"), ReadBytes(fs::path(QUILLON_SOURCE_DIR) / "examples/blink/blink.bin"));
    const std::size_t n = fs::file_size(dir_ / "fw.hex.bin");
    EXPECT_EQ(form_->hexEditor->document()->GetDataSize(), n);
    // Loaded as a chosen file is: the file box, the remembered path, the size box and the log.
    EXPECT_EQ(form_->edtFile->text().toStdString(), copy.string());
    EXPECT_EQ(form_->ops().rememberedFile(), copy.string());
    EXPECT_EQ(form_->edtFlashSize->text().toStdString(), std::to_string(n));
    EXPECT_TRUE(WaitLog("Load File" + copy.string() + "  " + std::to_string(n) + " Bytes")) << Log();

    // A dropped file loads as Load does, whatever the arguments.
    const auto image = Image(777);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(image.string()))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form_.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form_.get(), &drop);
    EXPECT_EQ(form_->hexEditor->document()->GetDataSize(), 777u);
    EXPECT_EQ(form_->edtFile->text().toStdString(), image.string());
    EXPECT_TRUE(WaitLog("Load File" + image.string() + "  777 Bytes"));
}

TEST_F(WindowTest, TheLogTakesNoKeystrokesButCanBeSelectedAndCopied) {
    Start();
    ASSERT_TRUE(WaitLog("连接编程器"));
    const QString before = form_->RichEdit1->toPlainText();
    QApplication::clipboard()->setText(QStringLiteral("pasted"));
    form_->RichEdit1->setFocus();
    QTest::keyClicks(form_->RichEdit1, "typed");
    for (const QKeySequence::StandardKey key : {QKeySequence::Paste, QKeySequence::Cut, QKeySequence::Undo}) {
        const QKeySequence sequence(key);
        QTest::keyClick(form_->RichEdit1, static_cast<Qt::Key>(sequence[0].key()), sequence[0].keyboardModifiers());
    }
    QTest::keyClick(form_->RichEdit1, Qt::Key_Backspace);
    QTest::keyClick(form_->RichEdit1, Qt::Key_Return);
    EXPECT_EQ(form_->RichEdit1->toPlainText(), before);

    const QKeySequence selectAll(QKeySequence::SelectAll);
    QTest::keyClick(form_->RichEdit1, static_cast<Qt::Key>(selectAll[0].key()), selectAll[0].keyboardModifiers());
    EXPECT_EQ(form_->RichEdit1->textCursor().selectedText().size(), before.size());
    const QKeySequence copy(QKeySequence::Copy);
    QTest::keyClick(form_->RichEdit1, static_cast<Qt::Key>(copy[0].key()), copy[0].keyboardModifiers());
    EXPECT_EQ(QApplication::clipboard()->text(), before);
}

// The file named by the arguments is the one Write reloads, not the one config.ini remembered.
TEST_F(WindowTest, WriteAfterAnArgumentLoadReloadsTheArgumentsFile) {
    const fs::path remembered = Image(4000, 8);
    WriteIni("[CONFIG]\nchipidx=0\nreload=1\nfile=" + remembered.string() + "\n");
    const fs::path copy = dir_ / "fw.hex";
    fs::copy_file(fs::path(QUILLON_SOURCE_DIR) / "examples/blink/blink.ihx", copy);
    Start({"x", copy.string()});
    ASSERT_TRUE(WaitLog("连接编程器"));
    PickChip(0);
    ASSERT_TRUE(form_->chkReload->isChecked());
    QTest::mouseClick(form_->BtnLoadFile, Qt::LeftButton);
    QTest::mouseClick(form_->BtnAuto, Qt::LeftButton);
    ASSERT_TRUE(WaitLog("Verify Success")) << Log();
    const auto expected = ReadBytes(fs::path(QUILLON_SOURCE_DIR) / "examples/blink/blink.bin");
    const auto flash = sim_->flash(programmer_);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
    EXPECT_EQ(form_->edtFile->text().toStdString(), copy.string());
}

TEST_F(WindowTest, LogViewClearsOnDoubleClickAndTakesLinesFromOtherThreads) {
    Start();
    ASSERT_TRUE(WaitLog("连接编程器"));
    QTest::mouseDClick(form_->RichEdit1->viewport(), Qt::LeftButton);
    EXPECT_TRUE(form_->RichEdit1->toPlainText().isEmpty());
    std::thread([] {
        for (int i = 0; i < 50; ++i) quillon::Log("line " + std::to_string(i));
    }).join();
    ASSERT_TRUE(WaitLog("line 49"));
    const std::string log = Log();
    for (int i = 1; i < 50; ++i)
        EXPECT_LT(log.find("line " + std::to_string(i - 1) + "\n"), log.find("line " + std::to_string(i)));
    EXPECT_TRUE(log.rfind("[", 0) == 0);
}

}  // namespace
