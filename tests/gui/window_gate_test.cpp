// The window and the one-operation gate, on a paced simulated programmer: while a Write streams,
// every other click, F9 and a dropped file are refused and the chip ends up holding exactly the
// image; Cancel ends a Write as interrupted; the programmer picker switches the link between two
// programmers; a stop order from the update service waits for the Write's result.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "config/Config.h"
#include "gui/HexEditor.h"
#include "gui/MainWindow.h"
#include "gui/QtUiHost.h"
#include "gui/support/WindowFixture.h"
#include "log/Log.h"
#include "sim/SimPlatform.h"

namespace fs = std::filesystem;
using namespace quillon;

namespace {

// The window, with every result it is given kept in order.
class RecordingForm : public gui::TForm1 {
public:
    using TForm1::TForm1;
    void finished(const OpsResult& result) override {
        results.push_back(result);
        TForm1::finished(result);
    }
    std::vector<OpsResult> results;
};

// Plays the update server: the request is held open until reply() sends the body.
class HeldServer {
public:
    HeldServer() {
        EXPECT_TRUE(server_.listen(QHostAddress::LocalHost));
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            socket_ = server_.nextPendingConnection();
            QObject::connect(socket_, &QTcpSocket::readyRead, socket_, [this] { request_ += socket_->readAll(); });
        });
        qputenv("QUILLON_UPDATE_HOST", "127.0.0.1:" + QByteArray::number(server_.serverPort()));
    }
    bool asked() const { return request_.contains("\r\n\r\n"); }
    void reply(const QByteArray& body) {
        socket_->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: " +
                       QByteArray::number(body.size()) + "\r\n\r\n" + body);
        socket_->disconnectFromHost();
    }

private:
    QTcpServer server_;
    QTcpSocket* socket_ = nullptr;
    QByteArray request_;
};

using test::Pattern;

class WindowGateTest : public test::WindowFixture<RecordingForm> {
protected:
    WindowGateTest() : WindowFixture("quillon-gate") {}

    void SetUp() override {
        WindowFixture::SetUp();
        sim_.setPaced(true);
        first_ = sim_.addProgrammer(sim::kFlash32K);
    }

    void Start(gui::WindowHooks hooks = {}) {
        form_ = std::make_unique<RecordingForm>(host_, sim_, Hooks(std::move(hooks)));
        form_->FormCreate();
        ASSERT_TRUE(WaitLog("连接编程器"));
    }

    bool WaitResult(const std::string& head, int ms = 20000) {
        return QTest::qWaitFor([&] { return Result().rfind(head, 0) == 0; }, ms);
    }
    // The 32 KiB chip picked, a 32 KiB image loaded and its Write clicked: returns once it streams.
    void StartPacedWrite(unsigned seed) {
        form_->cbbDev->setCurrentIndex(2);
        emit form_->cbbDev->activated(2);
        openAnswers_.push_back(Image(sim::kFlash32K, seed).string());
        QTest::mouseClick(form_->BtnLoadFile, Qt::LeftButton);
        ASSERT_EQ(form_->hexEditor->document()->GetDataSize(), sim::kFlash32K);
        QTest::mouseClick(form_->BtnAuto, Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return form_->ops().streaming(); }, 10000)) << Log();
    }
    std::vector<bool> Enabled() const {
        return {form_->btnDect->isEnabled(),     form_->btnRead->isEnabled(),        form_->BtnAuto->isEnabled(),
                form_->BtnLoadFile->isEnabled(), form_->btnSetFlashSize->isEnabled(), form_->btnCancel->isEnabled()};
    }

    sim::SimPlatform sim_;
    std::string first_;
};

const std::vector<bool> kIdle{true, true, true, true, true, false};
const std::vector<bool> kBusy{false, false, false, false, false, true};

TEST_F(WindowGateTest, DuringAPacedWriteEveryOtherActionIsRefusedAndTheChipGetsExactlyTheImage) {
    Start();
    EXPECT_TRUE(form_->cbbProgrammer->isHidden());  // one programmer: no picker
    EXPECT_EQ(Enabled(), kIdle);
    const std::size_t commandsBefore = sim_.commandLog(first_).size();
    StartPacedWrite(5);
    EXPECT_EQ(Enabled(), kBusy);
    const int dialogsBefore = openDialogs_;
    const fs::path other = Image(1000, 9);
    form_->edtFlashSize->setText(QStringLiteral("100"));

    // Each is tried as the user would (a click on the disabled control) and through its handler,
    // which the core refuses; all of it synchronously, well inside the half-second stream.
    const std::pair<const char*, std::function<void()>> attempts[] = {
        {"Read", [&] { QTest::mouseClick(form_->btnRead, Qt::LeftButton); form_->btnReadClick(); }},
        {"Dected", [&] { QTest::mouseClick(form_->btnDect, Qt::LeftButton); form_->btnDectClick(); }},
        {"LoadFile", [&] {
             openAnswers_.push_back(other.string());
             QTest::mouseClick(form_->BtnLoadFile, Qt::LeftButton);
             form_->loadDroppedFile(other.string());
         }},
        {"drop", [&] {
             QMimeData mime;
             mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(other.string()))});
             QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
             QCoreApplication::sendEvent(form_.get(), &enter);
             EXPECT_FALSE(enter.isAccepted());
             QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
             QCoreApplication::sendEvent(form_.get(), &drop);
         }},
        {"SetFlashSize", [&] {
             QTest::mouseClick(form_->btnSetFlashSize, Qt::LeftButton);
             form_->btnSetFlashSizeClick();
         }},
        {"Write", [&] { QTest::mouseClick(form_->BtnAuto, Qt::LeftButton); }},
    };
    for (const auto& [name, attempt] : attempts) {
        SCOPED_TRACE(name);
        attempt();
        EXPECT_TRUE(form_->ops().busy());
        EXPECT_EQ(form_->hexEditor->document()->GetDataSize(), sim::kFlash32K);
    }
    // F9 arrives through the event loop, like the real key.
    host_.post([] {
        qintptr result = 0;
        QAbstractEventDispatcher::instance()->filterNativeEvent("test-f9", nullptr, &result);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_->results.size() >= 3; }, 5000));
    EXPECT_TRUE(form_->ops().busy()) << "the write ended before every attempt was made";
    EXPECT_EQ(openDialogs_, dialogsBefore);  // the disabled LoadFile opened none

    ASSERT_TRUE(WaitResult("write: ok")) << Result() << "\n" << Log();
    std::vector<std::pair<OpKind, OpStatus>> results;
    for (const OpsResult& r : form_->results) results.emplace_back(r.op, r.status);
    const std::vector<std::pair<OpKind, OpStatus>> expected{{OpKind::Read, OpStatus::Refused},
                                                            {OpKind::Detect, OpStatus::Refused},
                                                            {OpKind::Write, OpStatus::Refused},
                                                            {OpKind::Write, OpStatus::Ok}};
    EXPECT_EQ(results, expected);
    // Nothing else reached the programmer: one command, one stream of 512 packets, the image.
    EXPECT_EQ(sim_.commandLog(first_).size(), commandsBefore + 1);
    EXPECT_EQ(sim_.imagePacketsReceived(first_), sim::kFlash32K / 64);
    EXPECT_TRUE(sim_.flash(first_) == Pattern(sim::kFlash32K, 5));
    EXPECT_EQ(form_->edtFile->text().toStdString(), (dir_ / "fw32768_5.bin").string());
    EXPECT_EQ(Enabled(), kIdle);
    EXPECT_TRUE(errors_.empty());
}

TEST_F(WindowGateTest, CancelEndsAPacedWriteAsInterruptedAndTheButtonsComeBack) {
    Start();
    StartPacedWrite(3);
    QTest::mouseClick(form_->btnCancel, Qt::LeftButton);
    ASSERT_TRUE(WaitResult("write: interrupted")) << Result();
    // The gate opens once the stream has really stopped.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form_->ops().busy() && form_->btnRead->isEnabled(); }, 5000));
    ASSERT_FALSE(form_->results.empty());
    EXPECT_EQ(form_->results.back().status, OpStatus::Interrupted);
    EXPECT_EQ(Enabled(), kIdle);
    EXPECT_LT(sim_.imagePacketsReceived(first_), sim::kFlash32K / 64);
    EXPECT_FALSE(form_->ops().streaming());

    // Once the programmer has given up on the broken stream, the next Write goes through.
    QTest::qWait(static_cast<int>(sim::SimProgrammer::kStreamTimeout.count()) + 300);
    QTest::mouseClick(form_->BtnAuto, Qt::LeftButton);
    ASSERT_TRUE(WaitResult("write: ok")) << Result() << "\n" << Log();
    EXPECT_TRUE(sim_.flash(first_) == Pattern(sim::kFlash32K, 3));
}

TEST_F(WindowGateTest, ThePickerSwitchesTheLinkToTheChosenProgrammer) {
    sim_.setPaced(false);
    const std::string second = sim_.addProgrammer(sim::kFlash16K);
    Start();
    ASSERT_FALSE(form_->cbbProgrammer->isHidden());
    ASSERT_EQ(form_->cbbProgrammer->count(), 2);
    EXPECT_EQ(form_->cbbProgrammer->currentIndex(), 0);
    EXPECT_EQ(sim_.openHandleCount(first_), 1);
    EXPECT_EQ(sim_.openHandleCount(second), 0);

    form_->cbbProgrammer->setCurrentIndex(1);
    emit form_->cbbProgrammer->activated(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sim_.openHandleCount(first_) == 0 && sim_.openHandleCount(second) == 1; }, 5000));
    EXPECT_NE(Result().find("SIM0002"), std::string::npos) << Result();
    EXPECT_NE(form_->cbbDev->styleSheet().indexOf(QStringLiteral("#c0dcc0")), -1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_->BtnAuto->isEnabled(); }, 5000));

    // The Write goes to the chosen one only.
    form_->cbbDev->setCurrentIndex(0);
    emit form_->cbbDev->activated(0);
    const fs::path image = Image(3000, 2);
    openAnswers_.push_back(image.string());
    QTest::mouseClick(form_->BtnLoadFile, Qt::LeftButton);
    const auto untouched = sim_.flash(first_);
    QTest::mouseClick(form_->BtnAuto, Qt::LeftButton);
    ASSERT_TRUE(WaitResult("write: ok")) << Result() << "\n" << Log();
    const auto written = sim_.flash(second);
    const auto bytes = Pattern(3000, 2);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), written.begin()));
    EXPECT_EQ(sim_.flash(first_), untouched);

    // A device change that keeps both leaves the choice alone.
    sim_.addKeyboard();
    QTest::qWait(100);
    EXPECT_EQ(sim_.openHandleCount(second), 1);
    EXPECT_EQ(form_->cbbProgrammer->currentIndex(), 1);

    // The chosen one unplugged: one is left, the picker goes and the search takes that one.
    sim_.unplug(second);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sim_.openHandleCount(first_) == 1; }, 5000)) << Log();
    EXPECT_TRUE(form_->cbbProgrammer->isHidden());
    EXPECT_TRUE(QTest::qWaitFor([&] { return form_->BtnAuto->isEnabled(); }, 5000));
    EXPECT_TRUE(errors_.empty());
}

// The stop order arrives while a paced Write streams; the box and the exit wait for its result.
// With nothing in progress they follow at once, as before.
TEST_F(WindowGateTest, AStopOrderWaitsForTheWriteInProgress) {
    for (const bool duringWrite : {true, false}) {
        SCOPED_TRACE(duringWrite ? "during a write" : "idle");
        std::vector<std::string> seen;
        HeldServer server;
        gui::WindowHooks hooks;
        hooks.versionMessage = [&](const QString& text) {
            seen.push_back("box " + text.toStdString() + " after " + Result());
        };
        hooks.versionTerminate = [&](int status) {
            seen.push_back("exit " + std::to_string(status) + (form_->ops().busy() ? " busy" : " idle"));
        };
        Start(hooks);
        ASSERT_TRUE(QTest::qWaitFor([&] { return server.asked(); }, 10000));
        if (duringWrite) StartPacedWrite(4);
        const std::string before = Result();
        server.reply(R"({"die":1,"msg":"stopped"})");
        ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() == 2; }, 20000)) << Log();
        if (duringWrite) {
            EXPECT_EQ(seen[0].rfind("box stopped after write: ok", 0), 0u) << seen[0];
            EXPECT_TRUE(sim_.flash(first_) == Pattern(sim::kFlash32K, 4));
        } else {
            EXPECT_EQ(seen[0], "box stopped after " + before);
        }
        EXPECT_EQ(seen[1], "exit 2 idle");
        form_.reset();
    }
}

// The real box and the real exit: status 2, and only once the chip holds the whole image.
TEST_F(WindowGateTest, AStopOrderDuringAPacedWriteExitsTwoOnlyAfterTheResult) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            HeldServer server;
            Start();
            if (!QTest::qWaitFor([&] { return server.asked(); }, 10000)) std::_Exit(5);
            StartPacedWrite(6);
            QTimer closer;
            QObject::connect(&closer, &QTimer::timeout, [&] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    std::fprintf(stderr, "box %s | %s | %s\n", qPrintable(box->text()), Result().c_str(),
                                 sim_.flash(first_) == Pattern(sim::kFlash32K, 6) ? "chip holds the image" : "chip differs");
                    box->accept();
                }
            });
            closer.start(10);
            server.reply(R"({"die":false,"msg":"stopped"})");
            QTest::qWait(30000);
        },
        // A pattern both of GoogleTest's regex dialects read (Windows has only its simple one).
        ::testing::ExitedWithCode(2), "box stopped \\| write: ok.* \\| chip holds the image");
}

}  // namespace

// Load a good image, spoil the file, Load it again (reload off), Write: the status line names the
// image Write sends after the failed load, and the chip gets that image, never erased bytes.
TEST_F(WindowGateTest, AFailedLoadKeepsTheImageAndTheWindowSaysWhichOneWriteSends) {
    sim_.setPaced(false);
    Start();
    form_->cbbDev->setCurrentIndex(2);
    emit form_->cbbDev->activated(2);
    form_->chkReload->setChecked(false);
    const fs::path good = Image(4096, 5);
    openAnswers_.push_back(good.string());
    QTest::mouseClick(form_->BtnLoadFile, Qt::LeftButton);
    ASSERT_EQ(Result().rfind("load: ok", 0), 0u) << Result();
    // The same name, now a HEX file with a bad checksum.
    const fs::path bad = dir_ / "fw.hex";
    std::ofstream(bad) << ":0400000001020304F3\n:00000001FF\n";
    openAnswers_.push_back(bad.string());
    QTest::mouseClick(form_->BtnLoadFile, Qt::LeftButton);
    EXPECT_EQ(Result().rfind("load: failed", 0), 0u) << Result();
    EXPECT_NE(Result().find("Write sends " + good.string() + ": 4096 bytes"), std::string::npos) << Result();
    QTest::mouseClick(form_->BtnAuto, Qt::LeftButton);
    ASSERT_TRUE(WaitResult("write: ok")) << Result() << "\n" << Log();
    auto expected = Pattern(4096, 5);
    expected.resize(sim::kFlash32K, 0xFF);
    EXPECT_EQ(sim_.flash(first_), expected);
}

// Read a paced 32 KiB chip, Cancel while it streams, F9 right after: the write command never goes
// out while the read still streams, nothing of the cancelled read reaches the log, the bar or the
// view, and the bar is reset; once the programmer is quiet a Write goes through and fills the bar.
TEST_F(WindowGateTest, CancelDuringAPacedReadShowsNothingMoreAndHoldsTheWriteBack) {
    Start();
    form_->cbbDev->setCurrentIndex(2);
    emit form_->cbbDev->activated(2);
    form_->chkReload->setChecked(false);
    openAnswers_.push_back(Image(1000, 6).string());
    QTest::mouseClick(form_->BtnLoadFile, Qt::LeftButton);
    QTest::mouseClick(form_->btnRead, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_->ProgressBar1->value() > 0; }, 10000)) << Log();
    QTest::mouseClick(form_->btnCancel, Qt::LeftButton);
    ASSERT_TRUE(WaitResult("read: interrupted")) << Result();
    EXPECT_EQ(form_->ProgressBar1->value(), 0);
    form_->BtnAutoClick();  // F9
    ASSERT_TRUE(WaitResult("write: refused")) << Result();
    EXPECT_EQ(Enabled(), kBusy);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form_->ops().busy(); }, 10000));
    QTest::qWait(50);
    EXPECT_EQ(Log().find("Read finish"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("Write FLASH"), std::string::npos) << Log();
    EXPECT_EQ(form_->hexEditor->document()->GetDataSize(), 1000u);
    EXPECT_EQ(form_->ProgressBar1->value(), 0);
    EXPECT_EQ(Enabled(), kIdle);

    QTest::mouseClick(form_->BtnAuto, Qt::LeftButton);
    ASSERT_TRUE(WaitResult("write: ok")) << Result() << "\n" << Log();
    EXPECT_EQ(form_->ProgressBar1->maximum(), 1000);
    EXPECT_EQ(form_->ProgressBar1->value(), 1000);
    const auto flash = sim_.flash(first_);
    const auto image = Pattern(1000, 6);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}
