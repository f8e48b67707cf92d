// The operator's station: layout, the tiles, the counters and the run on its worker thread.
#include "gui/OperatorView.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "core/Version.h"
#include "gui/OperatorTexts.h"
#include "store/ProfileStation.h"

namespace quillon::gui {

using station::StationState;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QLabel* Big(QWidget* parent, int points) {
    auto* label = new QLabel(parent);
    QFont font = label->font();
    font.setPointSize(points);
    font.setBold(true);
    label->setFont(font);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

// "1042" or, without a series, "" (a pass without a number shows PASS alone).
QString SerialText(const station::UnitRecord& r) { return r.serial ? QString::number(*r.serial) : QString(); }

QString PoolText(const station::UnitRecord& r) {
    QStringList values;
    for (const station::PoolValue& v : r.data) values << Q(v.pool) + QStringLiteral(" ") + Q(v.value);
    return values.join(QStringLiteral(", "));
}

// Local time of day of a record's ISO 8601 UTC start.
QString LocalTime(const std::string& iso) {
    const QDateTime t = QDateTime::fromString(Q(iso), Qt::ISODateWithMs);
    return t.isValid() ? t.toLocalTime().toString(QStringLiteral("HH:mm:ss")) : Q(iso);
}

// The words after "store unreachable: ", which the view says in its own language.
QString UnreachableReason(const std::string& text) {
    constexpr std::string_view kSays = "store unreachable: ";
    return Q(std::string_view(text).starts_with(kSays) ? text.substr(kSays.size()) : text);
}

// How long a run waits before it tries an unreachable store again (as the command line does).
constexpr auto kStoreRetry = std::chrono::seconds(1);

}  // namespace

// ---------------------------------------------------------------------------------------------

ProgrammerTile::ProgrammerTile(const std::string& path, int holdAfterFailures, QWidget* parent)
    : QFrame(parent), holdAfterFailures_(holdAfterFailures) {
    setObjectName(Q(path));
    setFrameShape(QFrame::StyledPanel);
    setMinimumSize(280, 170);
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    lblProgrammer = new QLabel(Q(path), this);
    lblState = Big(this, 22);
    lblLast = new QLabel(this);
    lblLast->setWordWrap(true);
    btnAcknowledge = new QPushButton(OperatorText("Acknowledge"), this);
    btnAcknowledge->hide();
    layout->addWidget(lblProgrammer);
    layout->addWidget(lblState, 1);
    layout->addWidget(lblLast);
    layout->addWidget(btnAcknowledge);
    connect(btnAcknowledge, &QPushButton::clicked, this, [this] {
        btnAcknowledge->setEnabled(false);
        emit acknowledged();
    });
    show({path, "", StationState::WaitingForChip, 0, ""});
}

void ProgrammerTile::paint(const char* background, const char* foreground) {
    // A style sheet costs a re-polish of the tile: only when the colours change, not per percent.
    if (background == background_) return;
    background_ = background;
    // QFrame: the tile and its labels (a type selector for our own class would need its namespace).
    setStyleSheet(QStringLiteral("QFrame { background: %1; color: %2; }")
                      .arg(QLatin1String(background), QLatin1String(foreground)));
}

void ProgrammerTile::show(const station::StationStatus& s) {
    state_ = s.state;
    greyed_ = s.state == StationState::Ended;
    lblProgrammer->setText(Q(s.serial.empty() ? s.path : s.serial + "  (" + s.path + ")"));
    const bool held = s.state == StationState::Held;
    btnAcknowledge->setVisible(held);
    btnAcknowledge->setEnabled(held);
    switch (s.state) {
        case StationState::WaitingForChip:
            lblState->setText(OperatorText("Waiting for a chip"));
            paint("#dfe8f3", "#10243d");
            break;
        case StationState::Programming:
            lblState->setText(OperatorText("Programming %1%", QString::number(s.percent)));
            paint("#ffe9a8", "#3d2e00");
            break;
        case StationState::Pass:
        case StationState::Fail:
            // The result itself comes with the unit's record (lastUnit), which names the serial.
            break;
        case StationState::WaitingForRemoval:
            lblState->setText(OperatorText("Remove the chip"));
            lastPass_ ? paint("#bfe8c4", "#0b3d12") : paint("#f6c3c0", "#5c0b06");
            break;
        case StationState::Held:
            lblState->setText(OperatorText("HOLD: %1 failures in a row \u2014 check the fixture",
                                           QString::number(holdAfterFailures_)));
            paint("#c62828", "#ffffff");
            break;
        case StationState::StoreUnreachable:
            // The chip waits on the pins, untouched, until the store answers.
            lblState->setText(OperatorText("Store unreachable: %1", UnreachableReason(s.text)));
            paint("#ffcc80", "#4a2500");
            break;
        case StationState::Ended:
            // A station ended by Stop (or the window) still has its programmer: not "disconnected".
            lblState->setText(s.text == "stopped" || s.text == "interrupted" ? OperatorText("Stopped")
                                                                             : OperatorText("Disconnected: %1", Q(s.text)));
            paint("#d6d6d6", "#6b6b6b");
            break;
    }
}

void ProgrammerTile::lastUnit(const station::UnitRecord& r) {
    lastPass_ = r.pass;
    const QString serial = SerialText(r);
    if (r.pass) {
        lblState->setText(serial.isEmpty() ? OperatorText("PASS") : OperatorText("PASS %1", serial));
        paint("#2e7d32", "#ffffff");
        state_ = StationState::Pass;
    } else {
        lblState->setText(OperatorText("FAIL: %1", Q(r.message.empty() ? r.failure : r.message)));
        paint("#c62828", "#ffffff");
        state_ = StationState::Fail;
    }
    QString last = serial.isEmpty() ? QString() : OperatorText("Serial") + QStringLiteral(" ") + serial;
    if (const QString pool = PoolText(r); !pool.isEmpty()) last += (last.isEmpty() ? "" : "  ") + pool;
    lblLast->setText(OperatorText("Last unit: %1", (r.pass ? OperatorText("PASS") : OperatorText("FAIL")) +
                                                       (last.isEmpty() ? QString() : QStringLiteral("  ") + last)));
}

QString ProgrammerTile::stateText() const { return lblState->text(); }
QString ProgrammerTile::lastUnitText() const { return lblLast->text(); }

// ---------------------------------------------------------------------------------------------

double UnitCounts::yieldPercent() const {
    const std::uint64_t all = good + failed;
    return all == 0 ? 0.0 : 100.0 * static_cast<double>(good) / static_cast<double>(all);
}

double UnitCounts::unitsPerHour(std::chrono::steady_clock::time_point now) const {
    const double hours = std::chrono::duration<double>(now - since).count() / 3600.0;
    return hours <= 0 ? 0.0 : static_cast<double>(good + failed) / hours;
}

struct OperatorView::Event {
    // StoreOpen: the run's store answered and its stations start. Refused: the store refused the
    // station (summary.fatal says why); nothing ran.
    enum Kind { Status, Unit, Ended, Notice, StoreOpen, Refused } kind = Status;
    station::StationStatus status;
    station::UnitRecord record;
    station::StationSummary summary;
};

// The stations' reports, from their threads, queued for the UI thread.
class OperatorView::Bridge : public station::StationView {
public:
    explicit Bridge(OperatorView& view) : view_(view) {}
    void status(const station::StationStatus& s) override {
        Event e;
        e.status = s;
        view_.post(std::move(e));
    }
    void unitFinished(const station::UnitRecord& r) override {
        Event e;
        e.kind = Event::Unit;
        e.record = r;
        view_.post(std::move(e));
    }
    void notice(const std::string& path, const std::string& text) override {
        Event e;
        e.kind = Event::Notice;
        e.status.path = path;
        e.status.text = text;
        view_.post(std::move(e));
    }

private:
    OperatorView& view_;
};

OperatorView::OperatorView(hid::Platform& platform, station::Profile profile, std::string profilePath, OperatorHooks hooks)
    : platform_(platform), profile_(std::move(profile)), profilePath_(std::move(profilePath)), hooks_(std::move(hooks)),
      bridge_(std::make_unique<Bridge>(*this)) {
    setWindowTitle(OperatorText("Operator's station") + QStringLiteral(" \u2014 ") + Q(profilePath_));
    auto* root = new QVBoxLayout(this);

    // The approved profile, shown and not editable.
    auto* profilePanel = new QFrame(this);
    profilePanel->setFrameShape(QFrame::StyledPanel);
    buildProfilePanel(profilePanel);
    root->addWidget(profilePanel);

    // Who and what: a scanner types the code and Enter, which moves to the next field.
    auto* entry = new QHBoxLayout;
    auto field = [&](const char* name, bool required) {
        auto* label = new QLabel(OperatorText(name) + (required ? QStringLiteral(" ") + OperatorText("(required)") : ""), this);
        auto* edit = new QLineEdit(this);
        edit->setMaxLength(128);
        QFont font = edit->font();
        font.setPointSize(14);
        edit->setFont(font);
        entry->addWidget(label);
        entry->addWidget(edit, 1);
        return edit;
    };
    edtLot = field("Lot", profile_.requireLot);
    edtOperator = field("Operator", profile_.requireOperator);
    edtPart = field("Part", profile_.requirePart);
    btnStart = new QPushButton(OperatorText("Start"), this);
    btnStop = new QPushButton(OperatorText("Stop"), this);
    btnStop->setEnabled(false);
    for (QPushButton* b : {btnStart, btnStop}) {
        QFont font = b->font();
        font.setPointSize(16);
        font.setBold(true);
        b->setFont(font);
        b->setMinimumHeight(44);
        entry->addWidget(b);
    }
    root->addLayout(entry);
    connect(edtLot, &QLineEdit::returnPressed, edtOperator, qOverload<>(&QWidget::setFocus));
    connect(edtOperator, &QLineEdit::returnPressed, edtPart, qOverload<>(&QWidget::setFocus));
    connect(edtPart, &QLineEdit::returnPressed, btnStart, qOverload<>(&QWidget::setFocus));
    // A new lot starts its counters anew (the lot can only change while the station stands).
    connect(edtLot, &QLineEdit::editingFinished, this, [this] {
        const std::string lot = edtLot->text().trimmed().toStdString();
        if (lot == currentLot_) return;
        currentLot_ = lot;
        lot_ = UnitCounts{};
        lotStarted_ = false;
        showCounts();
    });
    connect(btnStart, &QPushButton::clicked, this, [this] { start(); });
    connect(btnStop, &QPushButton::clicked, this, [this] { stop(); });

    lblMessage = Big(this, 14);
    root->addWidget(lblMessage);

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    tileGrid_ = new QWidget(scroll);
    auto* grid = new QGridLayout(tileGrid_);
    grid->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    scroll->setWidget(tileGrid_);
    root->addWidget(scroll, 3);

    auto* bottom = new QHBoxLayout;
    auto* counters = new QVBoxLayout;
    lblSession = Big(this, 13);
    lblLot = Big(this, 13);
    lblSession->setAlignment(Qt::AlignLeft);
    lblLot->setAlignment(Qt::AlignLeft);
    counters->addWidget(lblSession);
    counters->addWidget(lblLot);
    counters->addStretch();
    bottom->addLayout(counters, 1);
    tblUnits = new QTableWidget(0, 5, this);
    tblUnits->setHorizontalHeaderLabels({OperatorText("Time"), OperatorText("Programmer"), OperatorText("Serial"),
                                         OperatorText("Result"), OperatorText("Message")});
    tblUnits->horizontalHeader()->setStretchLastSection(true);
    tblUnits->verticalHeader()->hide();
    tblUnits->setEditTriggers(QAbstractItemView::NoEditTriggers);
    bottom->addWidget(tblUnits, 2);
    root->addLayout(bottom, 2);

    // Units per hour move with the clock, not only with units.
    auto* clock = new QTimer(this);
    connect(clock, &QTimer::timeout, this, [this] { showCounts(); });
    clock->start(1000);
    showCounts();
    resize(1100, 800);
}

OperatorView::~OperatorView() {
    {
        std::lock_guard lock(runMutex_);
        stopAsked_ = true;
        if (runner_) runner_->abort();
    }
    runWake_.notify_all();
    if (worker_.joinable()) worker_.join();
    // The base's destructor closes the window, which takes the focus from the line edits: their
    // editingFinished must not reach this view's members, which are gone by then.
    for (QLineEdit* edit : {edtLot, edtOperator, edtPart}) edit->disconnect(this);
}

void OperatorView::buildProfilePanel(QWidget* panel) {
    auto* form = new QFormLayout(panel);
    auto locked = [&](const char* name, const QString& value) {
        auto* label = new QLabel(value, panel);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setWordWrap(true);
        form->addRow(OperatorText(name), label);
    };
    const WriteOptions& w = profile_.write;
    QStringList options;
    if (w.erase) options << OperatorText("erase");
    if (w.verify) options << OperatorText("verify");
    if (w.reset) options << OperatorText("reset");
    if (w.readback && !w.protect) options << OperatorText("read-back");
    if (w.protect) options << OperatorText("read-protect");
    locked("Chip", Q(profile_.chip));
    locked("Image", Q(profile_.image) + QStringLiteral("   SHA-256 ") + Q(profile_.imageSha256));
    locked("Options", options.join(QStringLiteral(", ")));
    QString serial = profile_.serial.empty() ? OperatorText("none") : Q(profile_.serial + "  " + profile_.serialFile);
    for (const std::string& d : profile_.data) serial += QStringLiteral("; ") + Q(d);
    locked("Serial", serial);
    // A profile read from its file never holds a password; one made otherwise is not shown one.
    locked("Records", Q(profile_.store.empty() ? (profile_.log.empty() ? std::string("-") : profile_.log)
                                               : station::StripPassword(profile_.store)));
    locked("Station", Q(profile_.station.empty() ? std::string("-") : profile_.station));
    locked("Hold after", profile_.holdAfterFailures == 0 ? OperatorText("none")
                                                         : QString::number(profile_.holdAfterFailures));
}

QString OperatorView::message() const { return lblMessage->text(); }

void OperatorView::showMessage(const QString& text, bool problem) {
    lblMessage->setText(text);
    lblMessage->setProperty("awaiting", false);
    lblMessage->setStyleSheet(problem ? QStringLiteral("color: #b71c1c;") : QString());
}

bool OperatorView::start() {
    if (running()) return false;
    const std::pair<QLineEdit*, const char*> required[] = {
        {profile_.requireLot ? edtLot : nullptr, "Lot"},
        {profile_.requireOperator ? edtOperator : nullptr, "Operator"},
        {profile_.requirePart ? edtPart : nullptr, "Part"},
    };
    for (const auto& [edit, name] : required) {
        if (edit == nullptr || !edit->text().trimmed().isEmpty()) continue;
        showMessage(OperatorText("Enter the %1 before Start", OperatorText(name).toLower()), true);
        edit->setFocus();
        return false;
    }
    // What goes on every unit's record is held to the same rules as the command line's --lot,
    // --operator and --part.
    const std::pair<QLineEdit*, const char*> named[] = {{edtLot, "Lot"}, {edtOperator, "Operator"}, {edtPart, "Part"}};
    for (const auto& [edit, name] : named) {
        const std::string problem = station::NameProblem(name, edit->text().trimmed().toStdString());
        if (problem.empty()) continue;
        showMessage(OperatorText("Cannot start: %1", Q(problem)), true);
        edit->setFocus();
        return false;
    }
    // The image and the fields are checked here, at once; the store, which may keep a stalled
    // server's caller waiting, is opened by the worker.
    station::ProfileStation ready;
    try {
        ready = station::PrepareProfileConfig(profile_, kCliVersion);
    } catch (const std::exception& e) {
        const std::string why = e.what();
        showMessage(OperatorText("Cannot start: %1", why == station::kImageChanged ? OperatorText(station::kImageChanged)
                                                                                    : Q(why)),
                    true);
        return false;
    }
    // A lot typed without Enter counts as entered.
    if (const std::string lot = edtLot->text().trimmed().toStdString(); lot != currentLot_) {
        currentLot_ = lot;
        lot_ = UnitCounts{};
        lotStarted_ = false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (session_.good + session_.failed == 0) session_.since = now;
    if (!lotStarted_) {
        lot_.since = now;
        lotStarted_ = true;
    }
    ready.config.lot = currentLot_;
    ready.config.operatorName = edtOperator->text().trimmed().toStdString();
    ready.config.part = edtPart->text().trimmed().toStdString();
    for (QLineEdit* e : {edtLot, edtOperator, edtPart}) e->setReadOnly(true);
    btnStart->setEnabled(false);
    btnStop->setEnabled(true);
    btnStop->setText(OperatorText("Stop"));
    showMessage(OperatorText("Running"), false);
    {
        std::lock_guard lock(runMutex_);
        stopAsked_ = false;
    }
    worker_ = std::thread([this, ready = std::move(ready)]() mutable { work(std::move(ready)); });
    return true;
}

// The worker: opens the store (again about every second while it cannot be reached, saying so),
// then runs the stations until they end.
void OperatorView::work(station::ProfileStation ready) {
    Event ended;
    ended.kind = Event::Ended;
    for (;;) {
        try {
            station::OpenProfileStore(profile_, ready, hooks_.journalFolder);
            break;
        } catch (const station::StoreUnavailable& e) {
            Event waiting;
            waiting.status = {"", "", StationState::StoreUnreachable, 0, station::StoreUnreachableText(e)};
            post(std::move(waiting));
        } catch (const std::exception& e) {
            ended.kind = Event::Refused;
            ended.summary.fatal = e.what();
            post(std::move(ended));
            return;
        }
        std::unique_lock lock(runMutex_);
        if (runWake_.wait_for(lock, kStoreRetry, [this] { return stopAsked_; })) {
            lock.unlock();
            post(std::move(ended));
            return;
        }
    }
    station::StationRunner* runner = nullptr;
    {
        std::lock_guard lock(runMutex_);
        if (!stopAsked_) {
            store_ = std::move(ready.store);
            runner_ = std::make_unique<station::StationRunner>(platform_, std::move(ready.config), *bridge_, store_->get());
            runner = runner_.get();
        }
    }
    if (runner != nullptr) {
        Event open;
        open.kind = Event::StoreOpen;
        post(std::move(open));
        ended.summary = runner->run();
    }
    // The stations and the store end here too: closing a database connection is the store's
    // business, not the UI thread's.
    {
        std::lock_guard lock(runMutex_);
        runner_.reset();
    }
    store_.reset();
    post(std::move(ended));
}

void OperatorView::stop() {
    if (!running()) return;
    {
        std::lock_guard lock(runMutex_);
        stopAsked_ = true;
        if (runner_) runner_->stopAfterUnit();
    }
    runWake_.notify_all();
    btnStop->setEnabled(false);
    btnStop->setText(OperatorText("Stopping\u2026"));
}

bool OperatorView::awaitingStore() const {
    std::lock_guard lock(runMutex_);
    return running() && runner_ == nullptr;
}

bool OperatorView::unitsInProgress() const {
    return std::any_of(tiles_.begin(), tiles_.end(),
                       [](const auto& t) { return t.second->state() == StationState::Programming; });
}

void OperatorView::post(Event event) {
    std::lock_guard lock(mutex_);
    // A progress step replaces the one still waiting for the same tile: the UI shows the latest.
    if (event.kind == Event::Status && event.status.state == StationState::Programming && !events_.empty()) {
        Event& last = events_.back();
        if (last.kind == Event::Status && last.status.state == StationState::Programming &&
            last.status.path == event.status.path) {
            last = std::move(event);
            return;
        }
    }
    events_.push_back(std::move(event));
    if (drainQueued_) return;
    drainQueued_ = true;
    // Reports are shown in batches a few times a frame apart: sixteen stations' progress steps
    // then cost the UI thread one pass each batch, not one per step.
    QMetaObject::invokeMethod(
        this, [this] { QTimer::singleShot(kBatchMs, this, [this] { drain(); }); }, Qt::QueuedConnection);
}

void OperatorView::drain() {
    std::deque<Event> events;
    {
        std::lock_guard lock(mutex_);
        events.swap(events_);
        drainQueued_ = false;
    }
    // A progress step that a later report of the same programmer supersedes is not shown.
    std::map<std::string, std::size_t> lastOf;
    for (std::size_t i = 0; i < events.size(); ++i)
        if (events[i].kind == Event::Status) lastOf[events[i].status.path] = i;
        else if (events[i].kind == Event::Unit) lastOf[events[i].record.programmerPath] = i;
    bool counted = false;
    for (std::size_t i = 0; i < events.size(); ++i) {
        Event& e = events[i];
        switch (e.kind) {
            case Event::Status:
                if (e.status.state != StationState::Programming || lastOf[e.status.path] == i) statusShown(e.status);
                break;
            case Event::Unit:
                unitShown(e.record);
                counted = true;
                break;
            case Event::Notice: break;  // warnings go to the records' reader, not the operator
            case Event::StoreOpen:
                if (lblMessage->property("awaiting").toBool()) showMessage(OperatorText("Running"), false);
                break;
            case Event::Refused:
                runEnded(e.summary);
                showMessage(OperatorText("Cannot start: %1", Q(e.summary.fatal)), true);
                break;
            case Event::Ended: runEnded(e.summary); break;
        }
    }
    if (counted) showCounts();
}

ProgrammerTile* OperatorView::tile(const std::string& path) {
    if (auto it = tiles_.find(path); it != tiles_.end()) return it->second;
    auto* t = new ProgrammerTile(path, profile_.holdAfterFailures, tileGrid_);
    auto* grid = static_cast<QGridLayout*>(tileGrid_->layout());
    const int n = static_cast<int>(tiles_.size());
    grid->addWidget(t, n / 4, n % 4);
    connect(t, &ProgrammerTile::acknowledged, this, [this, path] {
        std::lock_guard lock(runMutex_);
        if (runner_) runner_->acknowledge(path);
    });
    tiles_.emplace(path, t);
    return t;
}

void OperatorView::statusShown(const station::StationStatus& s) {
    if (s.path.empty() && s.state == StationState::StoreUnreachable) {
        // The run's store, before any station: the chips wait, nothing is taken.
        showMessage(OperatorText("Store unreachable: %1", UnreachableReason(s.text)), true);
        lblMessage->setProperty("awaiting", true);
        return;
    }
    if (s.path.empty()) {
        if (tiles_.empty() || std::all_of(tiles_.begin(), tiles_.end(), [](const auto& t) { return t.second->greyed(); }))
            showMessage(OperatorText("Waiting for a programmer"), false);
        return;
    }
    tile(s.path)->show(s);
    if (s.state == StationState::WaitingForChip && message() == OperatorText("Waiting for a programmer"))
        showMessage(OperatorText("Running"), false);
}

void OperatorView::unitShown(const station::UnitRecord& r) {
    tile(r.programmerPath)->lastUnit(r);
    (r.pass ? session_.good : session_.failed) += 1;
    (r.pass ? lot_.good : lot_.failed) += 1;
    tblUnits->insertRow(0);
    const QString cells[] = {LocalTime(r.time), Q(r.programmerSerial.empty() ? r.programmerPath : r.programmerSerial),
                             r.serial ? QString::number(*r.serial) : QStringLiteral("-"),
                             r.pass ? OperatorText("PASS") : OperatorText("FAIL"), Q(r.pass ? "" : r.message)};
    for (int c = 0; c < 5; ++c) {
        auto* item = new QTableWidgetItem(cells[c]);
        if (c == 3) item->setForeground(r.pass ? QColor(0x2e, 0x7d, 0x32) : QColor(0xc6, 0x28, 0x28));
        tblUnits->setItem(0, c, item);
    }
    while (tblUnits->rowCount() > kLastUnits) tblUnits->removeRow(tblUnits->rowCount() - 1);
    if ((r.pass && profile_.soundOnPass) || (!r.pass && profile_.soundOnFail)) {
        if (hooks_.sound)
            hooks_.sound(r.pass);
        else
            QApplication::beep();
    }
}

void OperatorView::runEnded(const station::StationSummary& summary) {
    if (worker_.joinable()) worker_.join();  // it has ended its stations and closed its store
    for (QLineEdit* e : {edtLot, edtOperator, edtPart}) e->setReadOnly(false);
    btnStart->setEnabled(true);
    btnStop->setEnabled(false);
    btnStop->setText(OperatorText("Stop"));
    if (!summary.fatal.empty())
        showMessage(OperatorText("Stopped: %1", Q(summary.fatal)), true);
    else
        showMessage(OperatorText("Stopped: %1 good, %2 failed", QString::number(summary.good),
                                 QString::number(summary.failed)),
                    false);
    if (std::exchange(closeAfterRun_, false)) close();
}

void OperatorView::showCounts() {
    const auto now = std::chrono::steady_clock::now();
    auto line = [&](const char* name, const UnitCounts& c) {
        return OperatorText(name) + QStringLiteral(":  ") + OperatorText("Good") + QStringLiteral(" ") +
               QString::number(c.good) + QStringLiteral("   ") + OperatorText("Failed") + QStringLiteral(" ") +
               QString::number(c.failed) + QStringLiteral("   ") + OperatorText("Yield") + QStringLiteral(" ") +
               QString::number(c.yieldPercent(), 'f', 1) + QStringLiteral("%   ") + OperatorText("Units per hour") +
               QStringLiteral(" ") + QString::number(c.good + c.failed == 0 ? 0.0 : c.unitsPerHour(now), 'f', 0);
    };
    lblSession->setText(line("Session", session_));
    lblLot->setText(line("This lot", lot_) + (currentLot_.empty() ? QString() : QStringLiteral("  (") + Q(currentLot_) + ")"));
}

void OperatorView::closeEvent(QCloseEvent* event) {
    if (!running()) return event->accept();
    if (closeAfterRun_) return event->ignore();  // already closing once the run has ended
    if (unitsInProgress()) {
        const QString question = OperatorText("Units are being programmed. Close when they are finished?");
        const bool yes = hooks_.confirmClose
                             ? hooks_.confirmClose(question)
                             : QMessageBox::question(this, windowTitle(), question) == QMessageBox::Yes;
        if (!yes) return event->ignore();
        // The question is modal: the run may have ended while it was open (nothing left to wait for).
        if (!running()) return event->accept();
        // The window goes once the units on the pins are finished and on record.
        closeAfterRun_ = true;
        stop();
        return event->ignore();
    }
    // Nothing on the pins as far as the tiles tell (a unit may have just begun, or the store is
    // still awaited): the window goes once the run has ended, without the UI thread waiting.
    closeAfterRun_ = true;
    stop();
    event->ignore();
}

}  // namespace quillon::gui
