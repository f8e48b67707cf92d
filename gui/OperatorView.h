// The operator's station (quillon --station FILE): the window a person at the fixture reads from
// a metre away. One tile per programmer with its state in large type, colour and words; the
// session's and the lot's counters; the last units; lot, operator and part typed or scanned; Start
// and Stop; a hold after repeated failures that only the operator releases. The profile is shown
// and cannot be changed. The core station runs on a worker thread; what it reports is queued and
// shown on the UI thread, progress steps folded so that sixteen programmers never flood it.
#pragma once

#include <QFrame>
#include <QWidget>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/HidPlatform.h"
#include "station/Profile.h"
#include "station/Station.h"
#include "store/ProfileStation.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace quillon::gui {

// What the view asks of its surroundings; tests answer instead of a person. Empty members take
// the real behaviour.
struct OperatorHooks {
    // Closing while units are in progress: true closes once they are finished.
    std::function<bool(const QString& question)> confirmClose;
    // The sound on a pass or a fail, when the profile asks for it.
    std::function<void(bool pass)> sound;
    // Where a database station's journal is kept; "": the user's state folder.
    std::string journalFolder;
};

// One programmer's tile.
class ProgrammerTile : public QFrame {
    Q_OBJECT
public:
    ProgrammerTile(const std::string& path, int holdAfterFailures, QWidget* parent);
    void show(const station::StationStatus& status);
    void lastUnit(const station::UnitRecord& record);

    station::StationState state() const { return state_; }
    bool greyed() const { return greyed_; }
    QString stateText() const;
    QString lastUnitText() const;

    QLabel* lblState = nullptr;
    QLabel* lblProgrammer = nullptr;
    QLabel* lblLast = nullptr;
    QPushButton* btnAcknowledge = nullptr;

signals:
    void acknowledged();

private:
    void paint(const char* background, const char* foreground);
    const int holdAfterFailures_;
    const char* background_ = nullptr;
    station::StationState state_ = station::StationState::WaitingForChip;
    bool greyed_ = false;
    bool lastPass_ = true;
};

struct UnitCounts {
    std::uint64_t good = 0, failed = 0;
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    double yieldPercent() const;  // 0 without units
    double unitsPerHour(std::chrono::steady_clock::time_point now) const;
};

class OperatorView : public QWidget {
    Q_OBJECT
public:
    OperatorView(hid::Platform& platform, station::Profile profile, std::string profilePath, OperatorHooks hooks = {});
    ~OperatorView() override;  // ends a run at once (units in progress recorded as interrupted)

    // Start: refused (false, with the reason shown) while a required field is empty or the
    // profile's image and fields cannot be used (a changed image first of all). The store is
    // opened on the worker thread: while it cannot be reached the run waits and says so, and a
    // store that refuses the station ends the run with the reason.
    bool start();
    // Stop: the units in progress finish, then the run ends (also while the store is awaited).
    void stop();
    bool running() const { return worker_.joinable(); }
    // The run waits for its store and has not started its stations yet.
    bool awaitingStore() const;
    // Units on the pins now (a tile programming).
    bool unitsInProgress() const;

    const std::map<std::string, ProgrammerTile*>& tiles() const { return tiles_; }
    const UnitCounts& sessionCounts() const { return session_; }
    const UnitCounts& lotCounts() const { return lot_; }
    QString message() const;
    static constexpr int kLastUnits = 20;
    static constexpr int kBatchMs = 15;

    QLineEdit* edtLot = nullptr;
    QLineEdit* edtOperator = nullptr;
    QLineEdit* edtPart = nullptr;
    QPushButton* btnStart = nullptr;
    QPushButton* btnStop = nullptr;
    QTableWidget* tblUnits = nullptr;
    QLabel* lblMessage = nullptr;
    QLabel* lblSession = nullptr;
    QLabel* lblLot = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class Bridge;
    struct Event;
    void post(Event event);
    void work(station::ProfileStation ready);
    void drain();
    void statusShown(const station::StationStatus& status);
    void unitShown(const station::UnitRecord& record);
    void runEnded(const station::StationSummary& summary);
    void showCounts();
    void showMessage(const QString& text, bool problem);
    ProgrammerTile* tile(const std::string& path);
    void buildProfilePanel(QWidget* panel);

    hid::Platform& platform_;
    const station::Profile profile_;
    const std::string profilePath_;
    OperatorHooks hooks_;
    std::unique_ptr<Bridge> bridge_;
    // Made on the worker thread once the store is open; runMutex_ guards the pointer (the UI
    // thread stops, acknowledges and aborts through it) and stopAsked_, which keeps a run that
    // was stopped while it awaited its store from starting its stations.
    std::unique_ptr<station::ProfileStore> store_;
    std::unique_ptr<station::StationRunner> runner_;
    mutable std::mutex runMutex_;
    std::condition_variable runWake_;
    bool stopAsked_ = false;
    std::thread worker_;
    std::map<std::string, ProgrammerTile*> tiles_;
    QWidget* tileGrid_ = nullptr;
    UnitCounts session_, lot_;
    std::string currentLot_;
    bool lotStarted_ = false;
    bool closeAfterRun_ = false;

    // Reports from the stations' threads, waiting for the UI thread (one drain queued at a time).
    std::mutex mutex_;
    std::deque<Event> events_;
    bool drainQueued_ = false;
};

}  // namespace quillon::gui
