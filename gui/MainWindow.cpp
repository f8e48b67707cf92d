// TForm1: layout, start-up and close order, the handlers of the three tabs, the log view as
// the log's sink, and the window's reactions to what the core reports.
#include "gui/MainWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>

#include "config/Config.h"
#include "core/AppInfo.h"
#include "fs/Files.h"
#include "gui/ConnectorPicture.h"
#include "gui/ElidedLabel.h"
#include "gui/HexEditor.h"
#include "gui/PinTable.h"
#include "gui/QtUiHost.h"
#include "gui/VersionCheck.h"
#include "hotkey/GlobalHotKey.h"
#include "log/Log.h"
#include "protocol/Chips.h"

#ifndef QUILLON_PROJECT_URL
#define QUILLON_PROJECT_URL "https://quillon-programmer.org"
#endif
#ifndef QUILLON_DOC_URL
#define QUILLON_DOC_URL "https://quillon-programmer.org/docs/README.html"
#endif

namespace quillon::gui {

namespace {

// The chip list's background: grey without a programmer, green once the search opened one.
constexpr std::uint32_t kColourGrey = 0x808080;
constexpr std::uint32_t kColourGreen = 0xC0DCC0;

// The platform stores colours with red in the lowest byte.
QColor FromColourValue(std::uint32_t value) {
    return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                  static_cast<int>((value >> 16) & 0xFF));
}

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

const char* const kNoProgrammerTip = "No programmer is open: plug it in; the window looks for it on every device change";
const char* const kViewDiffers = "The view is not the image Write sends: Load a file to write it";
const char* const kBusyTip = "Not while an operation is in progress";

}  // namespace

std::string SettingsPath(const std::string& appDir, const std::string& userConfigDir) {
    const QString dir = QString::fromStdString(appDir);
    // In the system's own separators: the path reaches the user in messages.
    const QString portable = QDir::toNativeSeparators(QDir(dir).filePath(QStringLiteral("config.ini")));
    if (QFileInfo::exists(portable)) return S(portable);
    // A program installed into a folder the user cannot write keeps its settings per user.
    if (!QFileInfo(dir).isWritable() && !userConfigDir.empty())
        return S(QDir::toNativeSeparators(
            QDir(QString::fromStdString(userConfigDir)).filePath(QStringLiteral("config.ini"))));
    return S(portable);
}

std::string SettingsPath() {
    return SettingsPath(S(QCoreApplication::applicationDirPath()),
                        S(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)));
}

TForm1::TForm1(QtUiHost& host, hid::Platform& platform, WindowHooks hooks, std::vector<std::string> partArgs,
               QWidget* parent)
    : QWidget(parent), host_(host), platform_(platform), hooks_(std::move(hooks)), partArgs_(std::move(partArgs)),
      // The core's search after every device change; the picker is refilled just before it.
      ops_(host, platform, this, /*hotPlug=*/true) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Quillon"));
    QFont font = QApplication::font();
    font.setPixelSize(14);
    setFont(font);
    setAcceptDrops(true);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setTabPosition(QTabWidget::South);
    outer->addWidget(PageControl1);
    auto* isp = new QWidget;
    auto* hex = new QWidget;
    auto* about = new QWidget;
    isp->setObjectName(QStringLiteral("TabSheet1"));
    hex->setObjectName(QStringLiteral("TabSheet2"));
    about->setObjectName(QStringLiteral("TabSheet3"));
    PageControl1->addTab(isp, QStringLiteral("  ISP  "));
    PageControl1->addTab(hex, QStringLiteral("   HEX /BIN"));
    PageControl1->addTab(about, QStringLiteral("    About    "));
    buildIspTab(isp);
    buildHexTab(hex);
    buildAboutTab(about);

    setFixedSize(962, 498);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    ops_.setCommandLineArguments(partArgs_);
    connectControls();
    controlsChanged(ops_.controls());

    // The log view is the log's sink while the window lives: lines from any thread are queued to
    // the UI thread in the order they were logged.
    std::weak_ptr<bool> alive = alive_;
    SetLogSink([this, alive, &host](const std::string& line) {
        host.post([this, alive, text = Q(line)] {
            if (!alive.expired()) appendLogLine(text);
        });
    });
    QCoreApplication::instance()->installNativeEventFilter(this);

    stopDeadline_ = new QTimer(this);
    stopDeadline_->setSingleShot(true);
    connect(stopDeadline_, &QTimer::timeout, this, [this] { releaseStopOrder(); });
    versionCheck_ = new VersionCheck(this);
    versionCheck_->setStopHold([this](std::function<void()> resume) { return holdStopOrder(std::move(resume)); });
    if (hooks_.versionMessage) versionCheck_->setMessageHook(hooks_.versionMessage);
    if (hooks_.versionOpen) versionCheck_->setOpenHook(hooks_.versionOpen);
    if (hooks_.versionTerminate) versionCheck_->setTerminateHook(hooks_.versionTerminate);
}

TForm1::~TForm1() {
    SetLogSink(nullptr);
    alive_.reset();
    QCoreApplication::instance()->removeNativeEventFilter(this);
    if (hotKey_) hotKey_->unregister();
    ops_.setHotPlug(false);
    // The hex view is a child widget and outlives the operations that own its document.
    hexEditor->setDocument(nullptr);
    // Close the link while every widget still exists; what it reports from now on is dropped.
    ops_.closeProgrammer();
}

// --- layout ---------------------------------------------------------------------------------

void TForm1::buildIspTab(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(10, 8, 10, 4);

    auto* upper = new QGroupBox(page);
    auto* up = new QHBoxLayout(upper);
    cbbDev = new QComboBox(upper);
    cbbDev->setObjectName(QStringLiteral("cbbDev"));
    for (const auto& chip : kChips) cbbDev->addItem(QString::fromLatin1(chip.name));
    cbbDev->setPlaceholderText(QStringLiteral("Select Device"));
    cbbDev->setCurrentIndex(-1);
    cbbDev->setMinimumWidth(170);
    btnDect = new QPushButton(QStringLiteral("Dected"), upper);
    btnDect->setObjectName(QStringLiteral("btnDect"));
    lblFile = new QLabel(QStringLiteral("HEX/BIN"), upper);
    lblFile->setObjectName(QStringLiteral("lblFile"));
    edtFile = new QLineEdit(upper);
    edtFile->setObjectName(QStringLiteral("edtFile"));
    BtnLoadFile = new QPushButton(QStringLiteral("LoadFile"), upper);
    BtnLoadFile->setObjectName(QStringLiteral("BtnLoadFile"));
    cbbProgrammer = new QComboBox(upper);
    cbbProgrammer->setObjectName(QStringLiteral("cbbProgrammer"));
    cbbProgrammer->setToolTip(QStringLiteral("More than one programmer is connected: the one to use"));
    cbbProgrammer->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    cbbProgrammer->setVisible(false);
    up->addWidget(cbbDev);
    up->addWidget(btnDect);
    up->addWidget(cbbProgrammer);
    up->addSpacing(12);
    up->addWidget(lblFile);
    up->addWidget(edtFile, 1);
    up->addWidget(BtnLoadFile);
    layout->addWidget(upper);

    auto* lower = new QGroupBox(page);
    auto* low = new QHBoxLayout(lower);
    auto check = [&](QCheckBox*& box, const char* name, const char* caption, bool checked) {
        box = new QCheckBox(QString::fromUtf8(caption), lower);
        box->setObjectName(QString::fromLatin1(name));
        box->setChecked(checked);
        low->addWidget(box);
    };
    check(chkReload, "chkReload", "Reload Hex", true);
    chkReload->setToolTip(QStringLiteral("自动重新载入上一次使用的编程文件，不用再每次编译后手动按载入编程文件"));
    check(chkEraseFlash, "chkEraseFlash", "Erase Flash", true);
    check(chkEncrypt, "chkEncrypt", "Encry", false);
    check(chkVerify, "chkVerify", "Verify", true);
    check(chkResetDev, "chkResetDev", "Reset Run", true);
    low->addStretch(1);
    BtnAuto = new QPushButton(QStringLiteral("Write[ F9 ]"), lower);
    BtnAuto->setObjectName(QStringLiteral("BtnAuto"));
    btnRead = new QPushButton(QStringLiteral("Read"), lower);
    btnRead->setObjectName(QStringLiteral("btnRead"));
    btnCancel = new QPushButton(QStringLiteral("Cancel"), lower);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setEnabled(false);
    low->addWidget(BtnAuto);
    low->addWidget(btnRead);
    low->addWidget(btnCancel);
    layout->addWidget(lower);

    ProgressBar1 = new QProgressBar(page);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    layout->addWidget(ProgressBar1);

    RichEdit1 = new QPlainTextEdit(page);
    RichEdit1->setObjectName(QStringLiteral("RichEdit1"));
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The log is a record: it can be selected and copied, not typed into.
    RichEdit1->setReadOnly(true);
    RichEdit1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    RichEdit1->setMinimumSize(897, 168);
    RichEdit1->viewport()->installEventFilter(this);
    layout->addWidget(RichEdit1, 1);

    // The status row under the log: the last result, and on the right whether the view is what
    // Write sends. Both are one line, cut where they do not fit: nothing above them moves when
    // a message appears.
    auto* status = new QHBoxLayout;
    lblResult = new ElidedLabel(page);
    lblResult->setObjectName(QStringLiteral("lblResult"));
    status->addWidget(lblResult, 1);
    lblViewDiffers = new ElidedLabel(QString::fromLatin1(kViewDiffers), page);
    lblViewDiffers->setObjectName(QStringLiteral("lblViewDiffers"));
    lblViewDiffers->setStyleSheet(QStringLiteral("color: #800000;"));
    lblViewDiffers->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Its whole text where the row has room for it; the result gets the rest.
    lblViewDiffers->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    lblViewDiffers->setVisible(false);
    status->addWidget(lblViewDiffers);
    layout->addLayout(status);
}

void TForm1::buildHexTab(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    PageControl2 = new QTabWidget(page);
    PageControl2->setObjectName(QStringLiteral("PageControl2"));
    PageControl2->setTabPosition(QTabWidget::South);
    layout->addWidget(PageControl2);

    auto* flash = new QWidget;
    flash->setObjectName(QStringLiteral("TabSheetFlash"));
    // The hex view takes the whole width (offsets, 16 bytes and their characters at 18 px);
    // the size box and the two buttons sit in a row below it.
    auto* fl = new QVBoxLayout(flash);
    fl->setContentsMargins(4, 4, 4, 4);
    hexEditor = new HexEditor(flash);
    hexEditor->setObjectName(QStringLiteral("HexEditor"));
    hexEditor->setDocument(&ops_.hexView());
    fl->addWidget(hexEditor, 1);
    auto* row = new QHBoxLayout;
    edtFlashSize = new QLineEdit(flash);
    edtFlashSize->setObjectName(QStringLiteral("edtFlashSize"));
    edtFlashSize->setMaximumWidth(140);
    btnSetFlashSize = new QPushButton(QStringLiteral("SetFlashSize"), flash);
    btnSetFlashSize->setObjectName(QStringLiteral("btnSetFlashSize"));
    btnSaveBin = new QPushButton(QStringLiteral("Save BIN"), flash);
    btnSaveBin->setObjectName(QStringLiteral("btnSaveBin"));
    row->addWidget(edtFlashSize);
    row->addWidget(btnSetFlashSize);
    row->addSpacing(20);
    row->addWidget(btnSaveBin);
    row->addStretch(1);
    fl->addLayout(row);
    PageControl2->addTab(flash, QStringLiteral("Flash"));
    auto* eeprom = new QWidget;
    eeprom->setObjectName(QStringLiteral("TabSheetEeprom"));
    PageControl2->addTab(eeprom, QStringLiteral("Eeprom"));
}

void TForm1::buildAboutTab(QWidget* page) {
    StringGrid1 = makePinTable(page);
    // The column widths were chosen for a narrower font than this system's sans-serif: a
    // column is widened where its texts would be cut, never narrowed.
    for (int column = 0; column < StringGrid1->columnCount(); ++column) {
        const int designed = StringGrid1->columnWidth(column);
        StringGrid1->resizeColumnToContents(column);
        StringGrid1->setColumnWidth(column, std::max(designed, StringGrid1->columnWidth(column)));
    }
    connectorPicture = new ConnectorPicture(page);
    connectorPicture->move(620, 55);
    lblDocument = new QLabel(page);
    lblDocument->setObjectName(QStringLiteral("lblDocument"));
    lblDocument->setText(QStringLiteral("<a href=\"%1\">Quillon Online Document</a>").arg(QStringLiteral(QUILLON_DOC_URL)));
    lblDocument->setGeometry(620, 270, 320, 24);
    lblShop = new QLabel(page);
    lblShop->setObjectName(QStringLiteral("lblShop"));
    lblShop->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(QStringLiteral(QUILLON_PROJECT_URL)));
    lblShop->setGeometry(620, 300, 320, 24);
    for (QLabel* link : {lblDocument, lblShop}) {
        link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
        connect(link, &QLabel::linkActivated, this, [this](const QString& address) {
            const QUrl url(address);
            if (hooks_.openUrl)
                hooks_.openUrl(url);
            else
                QDesktopServices::openUrl(url);
        });
    }
}

void TForm1::connectControls() {
    connect(btnDect, &QPushButton::clicked, this, [this] { btnDectClick(); });
    connect(btnRead, &QPushButton::clicked, this, [this] { btnReadClick(); });
    connect(BtnAuto, &QPushButton::clicked, this, [this] { BtnAutoClick(); });
    connect(BtnLoadFile, &QPushButton::clicked, this, [this] { BtnLoadFileClick(); });
    connect(btnSetFlashSize, &QPushButton::clicked, this, [this] { btnSetFlashSizeClick(); });
    connect(btnSaveBin, &QPushButton::clicked, this, [this] { btnSaveBinClick(); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
    connect(cbbProgrammer, &QComboBox::activated, this, [this](int index) { cbbProgrammerChange(index); });
    connect(cbbDev, &QComboBox::activated, this, [this](int index) { cbbDevChange(index); });
    struct Box {
        QCheckBox* box;
        void (Operations::*set)(bool);
    };
    for (const Box& b : {Box{chkReload, &Operations::setReload}, Box{chkEraseFlash, &Operations::setErase},
                         Box{chkEncrypt, &Operations::setEncrypt}, Box{chkVerify, &Operations::setVerify},
                         Box{chkResetDev, &Operations::setResetRun}}) {
        connect(b.box, &QCheckBox::toggled, this, [this, b](bool on) { guarded([&] { (ops_.*b.set)(on); }); });
    }
    connect(PageControl1, &QTabWidget::currentChanged, this, [this](int index) {
        if (index == 2) TabSheet3Show();
    });
    connect(hexEditor, &HexEditor::edited, this, [this] { updateViewDiffers(); });
}

// --- start-up and close ---------------------------------------------------------------------

std::string TForm1::settingsPath() const { return hooks_.settingsPath.empty() ? SettingsPath() : hooks_.settingsPath; }

void TForm1::FormCreate() {
    guarded([&] {
        const std::string path = settingsPath();
        std::error_code ec;
        if (std::filesystem::exists(path, ec)) {
            auto options = std::make_unique<TIniOptions>();
            if (options->Load(path) == IniLoadResult::TooLarge) {
                // Not a settings file the window wrote: it is left as it is, and the window
                // runs as if there were none.
                Log("Settings file " + path + " is larger than 1 MiB: not applied, and left unchanged at close");
                return;
            }
            settings_ = std::move(options);
            OpsControls c = ops_.controls();
            c.chipIndex = settings_->chipidx;
            c.reload = settings_->reload;
            // The settings file's names onto the one options value, once.
            c.options = WriteOptions{.erase = settings_->erase, .protect = settings_->encry,
                                     .verify = settings_->verify, .reset = settings_->rstrun};
            ops_.applySettings(c, settings_->file);
            edtFile->setText(Q(settings_->file));
            Language = ChooseLanguage(settings_->lang);
        }
    });
    translateCaptions();
    guarded([&] { refreshProgrammers(); });
    try {
        searchProgrammer();
        showOpenProgrammer();
    } catch (const std::exception& e) {
        // The open failed: the error box, and the window goes on without F9, the version in
        // its caption and the version check.
        showError(Q(e.what()));
        return;
    }
    guarded([&] {
        hotKey_ = hooks_.makeHotKey ? hooks_.makeHotKey(host_) : MakeWindowHotKey(host_);
        hotKeyRegistered_ = hotKey_ && hotKey_->registerF9([this] { BtnAutoClick(); });
        if (!hotKeyRegistered_) Log(Translate("Hot key register fail!"));
    });
    setWindowTitle(windowTitle() + QStringLiteral(" V") + QString::number(kAppVersion));
    guarded([&] { versionCheck_->start(); });
}

void TForm1::translateCaptions() {
    // Buttons and check boxes only, in the order they were created; one that fails keeps its text.
    for (QObject* child : findChildren<QObject*>()) {
        try {
            if (auto* button = qobject_cast<QPushButton*>(child)) button->setText(Q(Translate(S(button->text()))));
            if (auto* box = qobject_cast<QCheckBox*>(child)) box->setText(Q(Translate(S(box->text()))));
        } catch (...) {
        }
    }
}

void TForm1::FormClose() {
    if (hotKey_) hotKey_->unregister();
    hotKeyRegistered_ = false;
    ops_.closeProgrammer();
    if (!settings_) return;
    settings_->chipidx = cbbDev->currentIndex();
    settings_->file = S(edtFile->text());
    settings_->reload = chkReload->isChecked();
    settings_->erase = chkEraseFlash->isChecked();
    settings_->encry = chkEncrypt->isChecked();
    settings_->verify = chkVerify->isChecked();
    settings_->rstrun = chkResetDev->isChecked();
    settings_->Save(settingsPath());
}

void TForm1::closeEvent(QCloseEvent* event) {
    // The window goes whatever the save says; an error is shown once it is out of sight, not
    // in a box that holds it on the screen.
    QString error;
    try {
        FormClose();
    } catch (const std::exception& e) {
        error = Q(e.what());
    } catch (...) {
        error = QStringLiteral("Unknown error");
    }
    event->accept();
    if (!error.isEmpty()) {
        hide();
        showError(error);
    }
}

// --- handlers -------------------------------------------------------------------------------

void TForm1::guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        showError(Q(e.what()));
    } catch (...) {
        showError(QStringLiteral("Unknown error"));
    }
}

void TForm1::showError(const QString& message) {
    if (hooks_.errorBox)
        hooks_.errorBox(message);
    else
        QMessageBox::critical(this, QStringLiteral("Quillon"), message);
}

void TForm1::btnDectClick() {
    guarded([&] { ops_.detect(); });
}

void TForm1::btnReadClick() {
    guarded([&] { ops_.read(); });
}

void TForm1::BtnAutoClick() {
    guarded([&] { ops_.write(); });
    updateViewDiffers();
}

void TForm1::BtnLoadFileClick() {
    guarded([&] {
        if (!partArgs_.empty()) {
            // The second argument loads as a chosen file does: the file box, the remembered
            // path (what the reload before Write loads), the size box and the "Load File" line
            // all name it, so Write never reloads a file other than the one shown.
            const std::string name = partArgs_.size() >= 2 ? partArgs_[1] : std::string();
            if (ImageKindOf(name) == ImageKind::Hex)
                ops_.loadChosenFile(name);
            else
                ops_.loadFile(std::nullopt);  // nothing to load
            return;
        }
        const QString filter = QStringLiteral("烧写文件(*.hex *.ihx *.bin);;All (*.*)");
        std::optional<std::string> chosen;
        if (hooks_.openDialog) {
            chosen = hooks_.openDialog(filter);
        } else {
            QFileDialog dialog(this);
            dialog.setNameFilter(filter);
            dialog.setFileMode(QFileDialog::AnyFile);  // a name that does not exist is accepted too
            if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
                chosen = S(dialog.selectedFiles().first());
        }
        ops_.loadFile(chosen);
    });
    updateViewDiffers();
}

void TForm1::loadDroppedFile(const std::string& name) {
    guarded([&] { ops_.loadChosenFile(name); });
    updateViewDiffers();
}

void TForm1::btnSetFlashSizeClick() {
    guarded([&] {
        ops_.setFlashSize(S(edtFlashSize->text()));
    });
    updateViewDiffers();
}

void TForm1::btnSaveBinClick() {
    guarded([&] {
        std::optional<std::string> chosen;
        if (hooks_.saveDialog) {
            chosen = hooks_.saveDialog();
        } else {
            QFileDialog dialog(this, QStringLiteral("Please input file name"));
            dialog.setAcceptMode(QFileDialog::AcceptSave);
            dialog.setDefaultSuffix(QStringLiteral("bin"));
            dialog.setNameFilter(QStringLiteral("二进制文件 (*.bin)"));
            // The window asks itself below, with the same question for every way a name arrives.
            dialog.setOption(QFileDialog::DontConfirmOverwrite);
            if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
                chosen = S(dialog.selectedFiles().first());
        }
        if (chosen && !confirmSaveTarget(*chosen)) return;
        ops_.saveBin(chosen);
    });
}

bool TForm1::confirmSaveTarget(const std::string& path) {
    // The view may hold a chip's contents: written over the image's own file, the firmware
    // would be gone (by whatever name or link that file is reached).
    const std::string source = ops_.rememberedFile();
    if (!source.empty() && SameFile(path, source))
        throw std::runtime_error("Save BIN does not replace " + path + ": it is the loaded image's file " + source +
                                 ". Choose another name");
    std::error_code ec;
    if (std::filesystem::symlink_status(PathFromUtf8(path), ec).type() == std::filesystem::file_type::not_found)
        return true;
    const QString name = Q(path);
    if (hooks_.confirmReplace) return hooks_.confirmReplace(name);
    return QMessageBox::question(this, QStringLiteral("Save BIN"), QStringLiteral("%1 already exists. Replace it?").arg(name),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void TForm1::cbbDevChange(int index) {
    guarded([&] { ops_.setChipIndex(index); });
}

void TForm1::btnCancelClick() {
    guarded([&] { ops_.cancel("cancelled by the user"); });
}

void TForm1::cbbProgrammerChange(int index) {
    guarded([&] {
        if (index < 0 || index >= cbbProgrammer->count()) return;
        const std::string path = S(cbbProgrammer->itemData(index).toString());
        if (path == chosenProgrammer_ && path == ops_.programmer().path) return;
        chosenProgrammer_ = path;
        ops_.chooseProgrammer(path);
        searchProgrammer();
        showOpenProgrammer();
        const ProgrammerInfo& open = ops_.programmer();
        lblResult->setStyleSheet(QString());
        if (open.path == path)
            lblResult->setText(QStringLiteral("programmer: %1 %2 (%3)").arg(Q(open.product), Q(open.serial), Q(open.path)));
        else if (ops_.busy())
            lblResult->setText(QStringLiteral("programmer: %1 is taken once the operation in progress ends").arg(Q(path)));
        else
            lblResult->setText(QStringLiteral("programmer: %1 could not be opened").arg(Q(path)));
    });
}

void TForm1::refreshProgrammers() {
    // The list is not read while an operation holds the programmer; it is read at the result.
    if (ops_.busy()) {
        programmersStale_ = true;
        return;
    }
    programmersStale_ = false;
    const std::vector<ProgrammerEntry> list = ops_.listProgrammers();
    const bool chosenPresent = std::any_of(list.begin(), list.end(), [&](const ProgrammerEntry& e) {
        return e.path == chosenProgrammer_;
    });
    if (list.size() < 2 || !chosenPresent) {
        // With one programmer (or the chosen one gone) the search takes whichever it finds, as
        // it does without a picker.
        if (!chosenProgrammer_.empty()) ops_.chooseProgrammer({});
        chosenProgrammer_.clear();
    }
    {
        const QSignalBlocker block(cbbProgrammer);
        cbbProgrammer->clear();
        if (list.size() >= 2)
            for (const ProgrammerEntry& e : list)
                cbbProgrammer->addItem(QStringLiteral("%1  %2").arg(Q(e.serial.empty() ? e.product : e.serial), Q(e.path)),
                                       Q(e.path));
    }
    cbbProgrammer->setVisible(list.size() >= 2);
    showOpenProgrammer();
}

void TForm1::showOpenProgrammer() {
    const QSignalBlocker block(cbbProgrammer);
    const QString want = Q(chosenProgrammer_.empty() ? ops_.programmer().path : chosenProgrammer_);
    cbbProgrammer->setCurrentIndex(cbbProgrammer->findData(want));
}

void TForm1::RichEdit1DblClick() { RichEdit1->clear(); }

void TForm1::TabSheet3Show() { fillPinTable(StringGrid1); }

void TForm1::searchProgrammer() { ops_.searchProgrammer(); }

void TForm1::OnDeviceChange() {
    guarded([&] {
        refreshProgrammers();
        searchProgrammer();
        showOpenProgrammer();
    });
}

bool TForm1::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (!hotKey_ || !hotKeyRegistered_) return false;
    // The press runs the Write even while its button is disabled.
    return hotKey_->handleNativeEvent(std::string_view(eventType.constData(), eventType.size()), message);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == RichEdit1->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        RichEdit1DblClick();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (ops_.controls().link.busy) return;  // the image cannot change while an operation runs
    const auto urls = event->mimeData()->urls();
    if (urls.size() == 1 && urls.first().isLocalFile() && ImageKindOf(S(urls.first().toLocalFile())) != ImageKind::Other)
        event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
    const auto urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile() || ops_.controls().link.busy) return;
    event->acceptProposedAction();
    loadDroppedFile(S(QDir::toNativeSeparators(urls.first().toLocalFile())));
}

// --- what the core reports ------------------------------------------------------------------

void TForm1::appendLogLine(const QString& line) {
    RichEdit1->appendPlainText(line);
    RichEdit1->verticalScrollBar()->setValue(RichEdit1->verticalScrollBar()->maximum());
}

void TForm1::controlsChanged(const OpsControls& c) {
    if (cbbDev == nullptr || !alive_) return;
    {
        const QSignalBlocker block(cbbDev);
        if (cbbDev->currentIndex() != c.chipIndex) cbbDev->setCurrentIndex(c.chipIndex);
    }
    // Restyling re-polishes the widget: only when the colour really changes, not on every
    // progress step.
    const QString style =
        QStringLiteral("QComboBox { background-color: %1; }")
            .arg(FromColourValue(c.link.programmerOpen ? kColourGreen : kColourGrey).name());
    if (cbbDev->styleSheet() != style) cbbDev->setStyleSheet(style);
    const std::pair<QCheckBox*, bool> boxes[] = {{chkReload, c.reload},
                                                 {chkEraseFlash, c.options.erase},
                                                 {chkEncrypt, c.options.protect},
                                                 {chkVerify, c.options.verify},
                                                 {chkResetDev, c.options.reset}};
    for (const auto& [box, on] : boxes) {
        const QSignalBlocker block(box);
        box->setChecked(on);
    }
    // One gate: while an operation holds the programmer, nothing that starts another one or
    // changes the image can be clicked; only Cancel can.
    for (QPushButton* button : {BtnAuto, btnRead}) {
        button->setEnabled(c.link.usable);
        button->setToolTip(c.link.usable ? QString()
                                            : QString::fromLatin1(c.link.busy ? kBusyTip : kNoProgrammerTip));
    }
    for (QWidget* w : std::initializer_list<QWidget*>{btnDect, BtnLoadFile, btnSetFlashSize, cbbProgrammer}) {
        w->setEnabled(!c.link.busy);
        if (w != cbbProgrammer) w->setToolTip(c.link.busy ? QString::fromLatin1(kBusyTip) : QString());
    }
    btnCancel->setEnabled(c.link.busy);
    cbbDev->setToolTip(c.link.programmerOpen ? QStringLiteral("Programmer connected")
                                                        : QString::fromLatin1(kNoProgrammerTip));
    if (c.link.progressMax != 0) {
        ProgressBar1->setMaximum(static_cast<int>(c.link.progressMax));
        ProgressBar1->setValue(static_cast<int>(std::min(c.link.progressPosition, c.link.progressMax)));
    }
    if (!c.link.busy) {
        // After the result: what waited for the gate (posted, so after the result's own news).
        if (programmersStale_) {
            programmersStale_ = false;
            std::weak_ptr<bool> alive = alive_;
            host_.post([this, alive] {
                if (!alive.expired()) guarded([&] { refreshProgrammers(); });
            });
        }
        if (stopOrder_) releaseStopOrder();
    }
}

void TForm1::devicesChanged() {
    if (cbbProgrammer == nullptr || !alive_) return;
    guarded([&] { refreshProgrammers(); });
}

void TForm1::linkChanged(LinkEvent) {
    if (cbbProgrammer == nullptr || !alive_) return;
    showOpenProgrammer();
}

bool TForm1::holdStopOrder(std::function<void()> resume) {
    if (!ops_.busy()) return false;
    if (!resume) return true;
    Log("Stop order from the update service: it takes effect when the operation in progress has its result");
    stopOrder_ = std::move(resume);
    // The operation ends by itself within the Write's quiet period or the watchdog; should it
    // not, the order is carried out anyway.
    stopDeadline_->start(kWriteQuietMs + kWatchdogMs);
    return true;
}

void TForm1::releaseStopOrder() {
    stopDeadline_->stop();
    if (!stopOrder_) return;
    std::weak_ptr<bool> alive = alive_;
    host_.post([alive, order = std::exchange(stopOrder_, nullptr)] {
        if (!alive.expired()) order();
    });
}

void TForm1::hexViewChanged() {
    if (hexEditor == nullptr || !alive_) return;
    hexEditor->documentChanged();
    updateViewDiffers();
}

void TForm1::updateViewDiffers() {
    if (lblViewDiffers == nullptr) return;
    const bool differs = ops_.hexView().GetDataSize() > 0 && !ops_.viewMatchesWriteImage();
    lblViewDiffers->setVisible(differs);
}

void TForm1::finished(const OpsResult& result) {
    if (lblResult == nullptr || !alive_) return;
    QString text = QStringLiteral("%1: %2").arg(QString::fromLatin1(OpKindName(result.op)),
                                                QString::fromLatin1(OpStatusName(result.status)));
    if (!result.message.empty()) text += QStringLiteral(" — ") + Q(result.message);
    lblResult->setText(text);
    lblResult->setStyleSheet(result.status == OpStatus::Ok ? QStringLiteral("color: #006000;")
                                                           : QStringLiteral("color: #a00000;"));
    updateViewDiffers();
}

void TForm1::fileChosen(const std::string& name) {
    // The file box names the file being loaded, whatever was typed into it.
    if (edtFile != nullptr && alive_ && edtFile->text() != Q(name)) edtFile->setText(Q(name));
}

void TForm1::loadedSize(std::size_t bytes) {
    if (edtFlashSize != nullptr && alive_) edtFlashSize->setText(QString::number(bytes));
}

void TForm1::loadFinished(const LoadOutcome& outcome) {
    if (lblResult == nullptr || !alive_) return;
    // Whatever the load did, the status line names the image that Write sends now.
    const QString image = Q(DescribeWriteImage(outcome.image.get()));
    if (outcome.error.empty()) {
        lblResult->setText(QStringLiteral("load: ok — ") + image);
        lblResult->setStyleSheet(QStringLiteral("color: #006000;"));
    } else {
        lblResult->setText(QStringLiteral("load: failed — ") + Q(outcome.error) + QStringLiteral("; ") + image);
        lblResult->setStyleSheet(QStringLiteral("color: #a00000;"));
    }
    lblResult->setToolTip(lblResult->text());
}

void TForm1::error(const std::string& message) {
    if (!alive_) return;
    showError(Q(message));
}

}  // namespace quillon::gui
