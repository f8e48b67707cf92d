// TForm1: the program's one window. It lays out the three tabs and their controls, turns clicks,
// keys, dropped files and the F9 hot key into calls on the core's Operations, and shows what the
// core reports (log lines, control states, progress, the hex view, one result per operation).
// Every handler runs behind one error boundary that shows the standard error box, so no
// exception ever leaves a Qt slot.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hid/HidPlatform.h"
#include "ops/Operations.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTableWidget;
class QTimer;
class QUrl;

namespace quillon {
class TIniOptions;
}

namespace quillon::hotkey {
class GlobalHotKey;
}

namespace quillon::gui {

class HexEditor;
class ConnectorPicture;
class ElidedLabel;
class QtUiHost;
class VersionCheck;

// What the window asks of its surroundings; tests replace these so that no dialog, browser or
// system-wide key is involved. Empty members take the real behaviour.
struct WindowHooks {
    std::function<void(const QString& message)> errorBox;
    // The Load dialog (filter given); nullopt when cancelled.
    std::function<std::optional<std::string>(const QString& filter)> openDialog;
    // The Save BIN dialog; nullopt when cancelled.
    std::function<std::optional<std::string>()> saveDialog;
    // Save BIN's question before it replaces an existing file (path given); true: replace it.
    std::function<bool(const QString& path)> confirmReplace;
    std::function<std::unique_ptr<hotkey::GlobalHotKey>(UiHost& host)> makeHotKey;
    std::function<void(const QUrl& url)> openUrl;
    // Where config.ini is looked for; empty: SettingsPath().
    std::string settingsPath;
    // Version check hooks, handed to VersionCheck (empty: the real message box, browser, exit).
    std::function<void(const QString&)> versionMessage;
    std::function<void(const QUrl&)> versionOpen;
    std::function<void(int)> versionTerminate;
};

// The hot key for the window's event loop (on X11 through Qt's own xcb connection).
std::unique_ptr<hotkey::GlobalHotKey> MakeWindowHotKey(UiHost& host);

// The settings file: config.ini in the program's folder (a portable folder). An installed
// program whose folder cannot be written keeps it in the per-user configuration folder.
std::string SettingsPath();
// The same choice for a given program folder and per-user configuration folder.
std::string SettingsPath(const std::string& appDir, const std::string& userConfigDir);

class TForm1 : public QWidget, public OpsView, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // partArgs: the command-line arguments that are not the window's own "--" options; with
    // any of them, Load takes the second one as a HEX file without a dialog.
    TForm1(QtUiHost& host, hid::Platform& platform, WindowHooks hooks = {},
           std::vector<std::string> partArgs = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // Start-up after construction: settings, caption translation, programmer search, F9, caption
    // version, version check (steps after a failed open are skipped).
    void FormCreate();
    // The close order: F9 released, link closed, settings saved when config.ini existed.
    void FormClose();

    // The handlers of the controls, callable by tests as a click would call them.
    void btnDectClick();
    void btnReadClick();
    void BtnAutoClick();
    void BtnLoadFileClick();
    void btnSetFlashSizeClick();
    void btnSaveBinClick();
    // Ends the operation in progress (its result: interrupted).
    void btnCancelClick();
    // The programmer picker's choice: the search is narrowed to that programmer and run, so the
    // link switches to it.
    void cbbProgrammerChange(int index);
    // Refills the picker from the programmers present; shown only with more than one.
    void refreshProgrammers();
    void cbbDevChange(int index);
    void RichEdit1DblClick();
    void TabSheet3Show();
    // The programmer search (`updateUsbBridge`): opens the programmer when it is present and
    // closes the link when it is gone.
    void searchProgrammer();
    void OnDeviceChange();
    // Loads a file dropped on the window as Load would load the dialog's choice.
    void loadDroppedFile(const std::string& name);

    // The F9 path: native events of the toolkit go to the hot key.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    Operations& ops() { return ops_; }
    bool hotKeyRegistered() const { return hotKeyRegistered_; }
    VersionCheck* versionCheck() const { return versionCheck_; }

    // OpsView
    void controlsChanged(const OpsControls& controls) override;
    void hexViewChanged() override;
    void linkChanged(LinkEvent event) override;
    void devicesChanged() override;
    void finished(const OpsResult& result) override;
    void fileChosen(const std::string& name) override;
    void loadedSize(std::size_t bytes) override;
    void loadFinished(const LoadOutcome& outcome) override;
    void error(const std::string& message) override;

    // The controls, under the names they carry on the form.
    QTabWidget* PageControl1 = nullptr;
    QComboBox* cbbDev = nullptr;
    QPushButton* btnDect = nullptr;
    QLabel* lblFile = nullptr;
    QLineEdit* edtFile = nullptr;
    QPushButton* BtnLoadFile = nullptr;
    QCheckBox* chkReload = nullptr;
    QCheckBox* chkEraseFlash = nullptr;
    QCheckBox* chkEncrypt = nullptr;
    QCheckBox* chkVerify = nullptr;
    QCheckBox* chkResetDev = nullptr;
    QPushButton* BtnAuto = nullptr;
    QPushButton* btnRead = nullptr;
    QPushButton* btnCancel = nullptr;
    QComboBox* cbbProgrammer = nullptr;  // shown only with more than one programmer connected
    ElidedLabel* lblViewDiffers = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPlainTextEdit* RichEdit1 = nullptr;
    ElidedLabel* lblResult = nullptr;
    QTabWidget* PageControl2 = nullptr;
    HexEditor* hexEditor = nullptr;  // "HexEditor" on the form
    QLineEdit* edtFlashSize = nullptr;
    QPushButton* btnSetFlashSize = nullptr;
    QPushButton* btnSaveBin = nullptr;
    QTableWidget* StringGrid1 = nullptr;
    ConnectorPicture* connectorPicture = nullptr;
    QLabel* lblDocument = nullptr;
    QLabel* lblShop = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildIspTab(QWidget* page);
    void buildHexTab(QWidget* page);
    void buildAboutTab(QWidget* page);
    void connectControls();
    void translateCaptions();
    void appendLogLine(const QString& line);
    void updateViewDiffers();
    void showError(const QString& message);
    // Save BIN's checks on the chosen name: refused (thrown) when it is the image's own file;
    // an existing file is replaced only when the user says so.
    bool confirmSaveTarget(const std::string& path);
    // Runs a handler; whatever it throws is shown in the standard error box.
    void guarded(const std::function<void()>& handler);
    std::string settingsPath() const;
    // Marks the picker entry of the programmer the link has open.
    void showOpenProgrammer();
    // The version check's hold on a stop order: taken while an operation holds the programmer.
    bool holdStopOrder(std::function<void()> resume);
    void releaseStopOrder();

    QtUiHost& host_;
    hid::Platform& platform_;
    WindowHooks hooks_;
    std::vector<std::string> partArgs_;
    Operations ops_;
    std::unique_ptr<hotkey::GlobalHotKey> hotKey_;
    bool hotKeyRegistered_ = false;
    VersionCheck* versionCheck_ = nullptr;
    // The settings read at start-up (`IniOptions`): present only when config.ini existed then,
    // and saved back at close.
    std::unique_ptr<TIniOptions> settings_;
    // The picker's choice (empty: none, the search takes the first programmer it finds).
    std::string chosenProgrammer_;
    // The programmers could not be listed while an operation ran: listed at its result.
    bool programmersStale_ = false;
    // A stop order waiting for the operation in progress, and the bound on that wait.
    std::function<void()> stopOrder_;
    QTimer* stopDeadline_ = nullptr;
    // Set false when the window goes, so log lines still queued are dropped.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quillon::gui
