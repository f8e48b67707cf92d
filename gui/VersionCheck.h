// The start-up version check on Qt Network: one GET to the update server with a fixed agent
// string, the body read under a size cap, and the completed reply handed to the core handler on
// the UI thread. Boxes, opening the address and ending the process go through replaceable hooks.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

namespace quillon::gui {

class VersionCheck : public QObject {
    Q_OBJECT
public:
    using MessageHook = std::function<void(const QString& text)>;
    using OpenHook = std::function<void(const QUrl& url)>;
    using TerminateHook = std::function<void(int status)>;
    // Asked before a stop order ends the process: false lets it end now; true means the hook
    // took resume and calls it once the work in progress is safe to abandon (then the order's
    // box is shown and the process ends). Given an empty resume it only answers whether it
    // would hold.
    using HoldHook = std::function<bool(std::function<void()> resume)>;

    explicit VersionCheck(QObject* parent = nullptr);
    // Abandons a request under way: no completion, no signal.
    ~VersionCheck() override;

    // StartVersionCheck: returns at once; the reply, if any, is handled later on this thread.
    // While a request is under way it starts nothing.
    void start();

    // QUILLON_UPDATE_HOST from the environment when set, otherwise the host built in.
    static QString updateHost();
    // The address start() fetches.
    static QString checkUrl();

    // Defaults: QMessageBox::information captioned with the program name, the desktop's URL
    // handler, and an immediate process exit that skips every close and save step.
    void setMessageHook(MessageHook hook) { showMessage_ = std::move(hook); }
    void setOpenHook(OpenHook hook) { openUrl_ = std::move(hook); }
    void setTerminateHook(TerminateHook hook) { terminate_ = std::move(hook); }
    // Without one (the default) a stop order ends the process as soon as its box is dismissed.
    void setStopHold(HoldHook hook) { hold_ = std::move(hook); }

    bool running() const { return !reply_.isNull(); }

signals:
    // After a reply was handled or a request failed (tests wait on it; the window needs nothing).
    void finished();

private:
    void checkAnnouncedLength();
    void readBody();
    void takeBody();
    void onReplyFinished();
    bool statusAccepted() const;

    QNetworkAccessManager* manager_;
    QPointer<QNetworkReply> reply_;
    QByteArray body_;
    bool tooLarge_ = false;
    MessageHook showMessage_;
    OpenHook openUrl_;
    TerminateHook terminate_;
    HoldHook hold_;
};

}  // namespace quillon::gui
