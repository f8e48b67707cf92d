// StartVersionCheck and the delivery of its reply (WinHTTPINFODone) on Qt Network. What the
// reply means is decided in http/VersionReply; this file only fetches, bounds and hands over.
#include "gui/VersionCheck.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/AppInfo.h"
#include "http/VersionReply.h"
#include "log/Log.h"

namespace quillon::gui {

namespace {

class HookActions : public VersionActions {
public:
    // With deferMessages (a hold is in force when the reply arrives), boxes wait: a stop
    // order's box is shown only when the process is about to end, any other at the next action.
    HookActions(VersionCheck::MessageHook showMessage, VersionCheck::OpenHook openUrl,
                VersionCheck::TerminateHook terminate, VersionCheck::HoldHook hold, bool deferMessages)
        : showMessage_(std::move(showMessage)), openUrl_(std::move(openUrl)), terminate_(std::move(terminate)),
          hold_(std::move(hold)), defer_(deferMessages) {}
    void showMessage(const std::string& text) override {
        if (defer_)
            deferred_.push_back(QString::fromStdString(text));
        else
            showMessage_(QString::fromStdString(text));
    }
    void openUrl(const std::string& url) override {
        flush();
        openUrl_(QUrl(QString::fromStdString(url)));
    }
    void terminate(int status) override {
        // Checked again here: a write may have started (F9) while the box was up.
        auto end = [messages = std::exchange(deferred_, {}), show = showMessage_, terminate = terminate_, status] {
            for (const QString& m : messages) show(m);
            terminate(status);
        };
        if (hold_ && hold_(end)) return;
        end();
    }
    // Boxes still held once the reply has been handled.
    void flush() {
        for (const QString& m : std::exchange(deferred_, {})) showMessage_(m);
    }

private:
    // Copies: a modal box runs the event loop, and the check may be destroyed meanwhile.
    VersionCheck::MessageHook showMessage_;
    VersionCheck::OpenHook openUrl_;
    VersionCheck::TerminateHook terminate_;
    VersionCheck::HoldHook hold_;
    bool defer_;
    std::vector<QString> deferred_;
};

}  // namespace

VersionCheck::VersionCheck(QObject* parent)
    : QObject(parent),
      manager_(new QNetworkAccessManager(this)),
      showMessage_([](const QString& text) {
          QMessageBox::information(QApplication::activeWindow(), QString::fromUtf8(kAppName), text);
      }),
      openUrl_([](const QUrl& url) { QDesktopServices::openUrl(url); }),
      terminate_([](int status) {
          // A stop order ends the program as it stands: no settings saved, no link closed.
          std::fflush(nullptr);
          std::_Exit(status);
      }) {}

VersionCheck::~VersionCheck() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

QString VersionCheck::updateHost() {
    const QString fromEnvironment = qEnvironmentVariable("QUILLON_UPDATE_HOST");
    return fromEnvironment.isEmpty() ? QString::fromUtf8(QUILLON_UPDATE_HOST) : fromEnvironment;
}

QString VersionCheck::checkUrl() {
    return QString::fromStdString(VersionCheckUrl(updateHost().toStdString(), kAppVersion));
}

void VersionCheck::start() {
    if (reply_) return;
    try {
        const QUrl url(checkUrl(), QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty()) throw std::invalid_argument("update address");
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::UserAgentHeader,
                          QStringLiteral("%1/%2 (version check)").arg(QString::fromUtf8(kAppName)).arg(kAppVersion));
        request.setRawHeader("Accept", "text/html, */*");
        body_.clear();
        tooLarge_ = false;
        reply_ = manager_->get(request);
        connect(reply_, &QNetworkReply::metaDataChanged, this, &VersionCheck::checkAnnouncedLength);
        connect(reply_, &QNetworkReply::readyRead, this, &VersionCheck::readBody);
        connect(reply_, &QNetworkReply::finished, this, &VersionCheck::onReplyFinished);
    } catch (const std::exception&) {
        Log("Get Version Fail  ");
    }
}

bool VersionCheck::statusAccepted() const {
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status == 200 || status == 206;
}

void VersionCheck::checkAnnouncedLength() {
    if (!reply_) return;
    const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toULongLong() > kVersionReplyLimit) {
        tooLarge_ = true;
        reply_->abort();
    }
}

void VersionCheck::takeBody() {
    // Never hold more than one byte past the limit, however much the server sends.
    const qint64 room = static_cast<qint64>(kVersionReplyLimit) + 1 - body_.size();
    if (room > 0) body_ += reply_->read(room);
    if (body_.size() > static_cast<qsizetype>(kVersionReplyLimit) || reply_->bytesAvailable() > 0) tooLarge_ = true;
}

void VersionCheck::readBody() {
    if (!reply_) return;
    takeBody();
    if (tooLarge_) reply_->abort();
}

void VersionCheck::onReplyFinished() {
    QNetworkReply* reply = reply_;
    if (reply == nullptr) return;
    reply->deleteLater();
    if (!tooLarge_ && reply->error() == QNetworkReply::NoError) takeBody();

    // Qt itself fails a transfer that ends before its announced length.
    const bool accepted = statusAccepted();
    const bool succeeded = !tooLarge_ && reply->error() == QNetworkReply::NoError && accepted;
    const bool oversized = tooLarge_ && accepted;
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    reply_ = nullptr;

    if (oversized) {
        const bool known = announced.isValid() && announced.toULongLong() > kVersionReplyLimit;
        LogVersionReplyTooLarge(known ? std::optional<std::uint64_t>(announced.toULongLong()) : std::nullopt);
    } else if (succeeded) {
        const QByteArray body = std::exchange(body_, QByteArray());
        // Is the program in the middle of something a stop order must not cut short? (The hold
        // answers without taking anything when given no resume.)
        const bool holding = hold_ && hold_(nullptr);
        HookActions actions(showMessage_, openUrl_, terminate_, hold_, holding);
        const QPointer<VersionCheck> alive(this);
        HandleVersionReply(std::string_view(body.constData(), static_cast<std::size_t>(body.size())), actions);
        actions.flush();
        if (!alive) return;
    }
    body_.clear();
    emit finished();
}

}  // namespace quillon::gui
