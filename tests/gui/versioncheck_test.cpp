// The version check over real HTTP: a QTcpServer on 127.0.0.1 plays the update server with
// canned replies, and the test checks the request, the log, the boxes and opened addresses
// (recorded, never a browser), silence on failures, and the stop order's exit status in a child.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "gui/VersionCheck.h"
#include "log/Log.h"

using quillon::gui::VersionCheck;

namespace {

// Answers every request with one canned reply; an empty reply holds the connection open.
class CannedServer {
public:
    explicit CannedServer(QByteArray reply) : reply_(std::move(reply)) {
        EXPECT_TRUE(server_.listen(QHostAddress::LocalHost));
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            QTcpSocket* socket = server_.nextPendingConnection();
            last_ = socket;
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                request_ += socket->readAll();
                if (!request_.contains("\r\n\r\n") || reply_.isEmpty()) return;
                socket->write(reply_);
                socket->disconnectFromHost();
            });
        });
        qputenv("QUILLON_UPDATE_HOST", "127.0.0.1:" + QByteArray::number(server_.serverPort()));
    }
    QByteArray request_;
    QPointer<QTcpSocket> last_;

private:
    QTcpServer server_;
    QByteArray reply_;
};

QByteArray Http(const QByteArray& status, const QByteArray& body, bool announceLength = true) {
    QByteArray head = "HTTP/1.1 " + status + "\r\nContent-Type: text/html\r\nConnection: close\r\n";
    if (announceLength) head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return head + "\r\n" + body;
}

struct VersionCheckTest : ::testing::Test {
    std::vector<std::string> log, done;
    std::unique_ptr<VersionCheck> check = std::make_unique<VersionCheck>();
    void SetUp() override {
        quillon::SetLogSink([this](const std::string& line) { log.push_back(line.substr(line.find("]  ") + 3)); });
        check->setMessageHook([this](const QString& text) { done.push_back("box:" + text.toStdString()); });
        check->setOpenHook([this](const QUrl& url) { done.push_back("open:" + url.toString().toStdString()); });
        check->setTerminateHook([this](int status) { done.push_back("exit:" + std::to_string(status)); });
    }
    void TearDown() override { quillon::SetLogSink(nullptr); }
    void runToEnd() {
        QSignalSpy finished(check.get(), &VersionCheck::finished);
        check->start();
        ASSERT_TRUE(finished.wait(20000));
    }
};

const QByteArray kNewer = R"({"version":"201","des":"d","downloadurl":"http://h/q.zip","updatetime":"t",)"
                          R"("updatecontent":"c","mustugrade":1,"msg":"go"})";

TEST_F(VersionCheckTest, RequestsOurBuildWithTheFixedHeadersAndActsOnTheReply) {
    CannedServer server(Http("200 OK", kNewer));
    runToEnd();
    EXPECT_TRUE(server.request_.startsWith("GET /Upgrade/Info/n/pellery/json/1/version/200 HTTP/1.1\r\n"));
    EXPECT_TRUE(server.request_.contains("\r\nUser-Agent: Quillon/200 (version check)\r\n"));
    EXPECT_TRUE(server.request_.contains("\r\nAccept: text/html, */*\r\n"));
    EXPECT_EQ(log, (std::vector<std::string>{kNewer.toStdString(), "\nd",
        "\n\nnew version\xEF\xBC\x9A" "201\ndownload\xEF\xBC\x9Ahttp://h/q.zip\nupdate time\xEF\xBC\x9At\nupdate content\nc\n\n"}));
    EXPECT_EQ(done, (std::vector<std::string>{"box:go", "open:http://h/q.zip"}));
}

TEST_F(VersionCheckTest, RepliesThatFailOrOverflowAreBoundedAndMostlySilent) {
    const QByteArray big(10 * 1024 * 1024, ' ');
    const struct {
        const char* name;
        QByteArray reply;
        std::vector<std::string> log;
    } cases[] = {
        {"partial content", Http("206 Partial Content", "null"), {"null"}},
        {"error status", Http("404 Not Found", kNewer), {}},
        {"server error with a huge body", Http("500 Oops", big), {}},
        {"10 MB announced", Http("200 OK", big), {"Version reply too large (10485760 bytes)"}},
        {"10 MB unannounced", Http("200 OK", big, false), {"Version reply too large (over 65536 bytes)"}},
        {"cut short", Http("200 OK", "{}").replace("Content-Length: 2", "Content-Length: 90"), {}},
        {"garbage status line", "SMTP ready\r\n\r\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        CannedServer server(c.reply);
        runToEnd();
        EXPECT_EQ(log, c.log);
    }
    EXPECT_TRUE(done.empty());
}

TEST_F(VersionCheckTest, NoServerLogsNothingAndABadHostFailsToStart) {
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    qputenv("QUILLON_UPDATE_HOST", "127.0.0.1:" + QByteArray::number(closedPort));
    runToEnd();
    EXPECT_TRUE(log.empty());

    qputenv("QUILLON_UPDATE_HOST", "bad host name");
    check->start();
    EXPECT_FALSE(check->running());
    EXPECT_EQ(log, std::vector<std::string>{"Get Version Fail  "});
}

TEST_F(VersionCheckTest, DestroyingItAbandonsTheRequest) {
    CannedServer server("");  // never answers
    QSignalSpy finished(check.get(), &VersionCheck::finished);
    check->start();
    EXPECT_TRUE(check->running());
    check->start();  // a second start while one runs is ignored
    QTRY_VERIFY_WITH_TIMEOUT(server.request_.contains("\r\n\r\n"), 20000);
    check.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!server.last_ || server.last_->state() == QAbstractSocket::UnconnectedState, 20000);
    if (server.last_) server.last_->write(Http("200 OK", kNewer));
    QTest::qWait(50);
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(done.empty());
}

// The default hooks: a real box (closed here), then the process ends with status 2 at once,
// without running exit handlers.
TEST(VersionCheckStop, DieEndsTheProcessWithStatusTwoAfterTheBox) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QTemporaryDir dir;
    if (qEnvironmentVariableIsEmpty("QUILLON_TEST_MARKER")) qputenv("QUILLON_TEST_MARKER", dir.filePath("atexit").toUtf8());
    const QString marker = qEnvironmentVariable("QUILLON_TEST_MARKER");
    EXPECT_EXIT(
        {
            std::atexit([] { QFile(qEnvironmentVariable("QUILLON_TEST_MARKER")).open(QIODevice::WriteOnly); });
            quillon::SetLogSink([](const std::string& line) { std::fprintf(stderr, "log %s\n", line.c_str()); });
            CannedServer server(Http("200 OK", R"({"die":false,"msg":"stopped","version":"201"})"));
            QTimer closer;
            QObject::connect(&closer, &QTimer::timeout, [] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    std::fprintf(stderr, "box %s: %s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
                    box->accept();
                }
            });
            closer.start(20);
            VersionCheck check;
            check.start();
            for (QDeadlineTimer deadline(30000); !deadline.hasExpired();) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        },
        ::testing::ExitedWithCode(2), "log .*\"die\":false.*\nbox Quillon: stopped\n$");
    EXPECT_FALSE(QFile::exists(marker));
}

}  // namespace
