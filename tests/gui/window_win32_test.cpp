// What only the Windows window does, on Windows's own interfaces: F9 registered with
// RegisterHotKey reaching the Write through WM_HOTKEY, WM_DEVICECHANGE notices running the
// programmer search, config.ini beside the program with CR LF line ends, a file with a Chinese
// name loaded through the window, and quillon.exe's own resources (GUI subsystem, icon, version).
// Runs alone (RUN_SERIAL): F9 and the message-only windows belong to the whole desktop. This
// test program sits in a folder of its own so that its config.ini is beside no other program.
#include <windows.h>
#include <dbt.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QCheckBox>
#include <QTest>
#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "config/Config.h"
#include "gui/HexEditor.h"
#include "gui/MainWindow.h"
#include "gui/QtUiHost.h"
#include "hid/HidPlatformWin32.h"
#include "gui/support/WindowFixture.h"
#include "hotkey/GlobalHotKey.h"
#include "log/Log.h"
#include "sim/SimPlatform.h"
#include "support/Bytes.h"
#include "support/ForwardingHidPlatform.h"

namespace fs = std::filesystem;
using namespace quillon;
using gui::TForm1;

namespace {

using test::Pattern;
using test::ReadBytes;
using test::Utf8;

HWND MessageOnlyWindow(const wchar_t* windowClass) {
    HWND found = nullptr;
    (void)QTest::qWaitFor([&] { return (found = FindWindowExW(HWND_MESSAGE, nullptr, windowClass, nullptr)) != nullptr; }, 5000);
    return found;
}

LRESULT DeviceNotice(HWND watcher, WPARAM event) {
    DEV_BROADCAST_DEVICEINTERFACE_W notice{};
    notice.dbcc_size = sizeof notice;
    notice.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    return SendMessageW(watcher, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&notice));
}

class WindowsWindowTest : public test::WindowFixture<> {
protected:
    WindowsWindowTest() : WindowFixture("quillon-win32-window") {}

    void SetUp() override {
        WindowFixture::SetUp();
        besideExe_ = fs::path(QCoreApplication::applicationDirPath().toStdWString()) / "config.ini";
        fs::remove(besideExe_);
        sim_ = std::make_unique<sim::SimPlatform>();
        programmer_ = sim_->addProgrammer();
    }
    void TearDown() override {
        WindowFixture::TearDown();
        fs::remove(besideExe_);
    }

    // The window with the real hot key and the real settings place unless a test says otherwise.
    void Start(hid::Platform* platform = nullptr, bool settingsBesideExe = false) {
        gui::WindowHooks hooks = Hooks();
        hooks.makeHotKey = nullptr;
        if (settingsBesideExe) hooks.settingsPath.clear();
        form_ = std::make_unique<TForm1>(host_, platform ? *platform : *sim_, hooks);
        form_->FormCreate();
    }
    bool Green() const { return form_->cbbDev->styleSheet().contains(QStringLiteral("#c0dcc0")); }
    bool Grey() const { return form_->cbbDev->styleSheet().contains(QStringLiteral("#808080")); }

    fs::path besideExe_;
    std::unique_ptr<sim::SimPlatform> sim_;
    std::string programmer_;
    // A platform a test builds for its window; kept until the window is gone (TearDown).
    std::unique_ptr<hid::Win32HidPlatform> windows_;
    std::unique_ptr<quillon::testing::ForwardingHidPlatform> noticed_;
};

TEST_F(WindowsWindowTest, F9ThroughRegisterHotKeyWritesEvenWithTheButtonDisabled) {
    Start();
    ASSERT_TRUE(form_->hotKeyRegistered()) << Log();
    ASSERT_TRUE(WaitLog("连接编程器"));
    form_->cbbDev->setCurrentIndex(0);
    emit form_->cbbDev->activated(0);
    const fs::path image = Image(u8"fw.bin", 3000, 5);
    Load(image);
    ASSERT_EQ(form_->hexEditor->document()->GetDataSize(), 3000u);
    form_->BtnAuto->setEnabled(false);

    HWND hotKeyWindow = MessageOnlyWindow(L"QuillonHotKeyWindow");
    ASSERT_NE(hotKeyWindow, nullptr);
    // Another key on the same registration is not F9; F9 with any identifier or modifier is.
    ASSERT_TRUE(PostMessageW(hotKeyWindow, WM_HOTKEY, hotkey::kHotKeyId, MAKELPARAM(0, VK_F8)));
    QTest::qWait(200);
    EXPECT_EQ(Count("Write FLASH"), 0u);
    ASSERT_TRUE(PostMessageW(hotKeyWindow, WM_HOTKEY, 7, MAKELPARAM(MOD_SHIFT, VK_F9)));
    ASSERT_TRUE(WaitLog("Verify Success")) << Log();
    EXPECT_EQ(Count("Write FLASH"), 1u);
    const auto flash = sim_->flash(programmer_);
    const auto bytes = ReadBytes(image);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin()));

    // Closing releases F9: the key can be registered again, here by this test itself.
    form_->close();
    form_.reset();
    ASSERT_TRUE(RegisterHotKey(nullptr, 1, 0, VK_F9)) << GetLastError();
    // While this process holds F9, a new window cannot have it and says so.
    Start();
    EXPECT_FALSE(form_->hotKeyRegistered());
    EXPECT_TRUE(WaitLog("Hot key register fail!"));
    UnregisterHotKey(nullptr, 1);
}

TEST_F(WindowsWindowTest, DeviceChangeNoticesOpenAndCloseTheProgrammerOneSearchEach) {
    // The simulated programmers, with the device-change notices of the real Windows platform: a
    // notice reaches the window only through the watcher window's WM_DEVICECHANGE.
    windows_ = std::make_unique<hid::Win32HidPlatform>();
    noticed_ = std::make_unique<quillon::testing::ForwardingHidPlatform>(*sim_, windows_.get());
    quillon::testing::ForwardingHidPlatform& platform = *noticed_;
    sim_->unplug(programmer_);  // no listener yet: nothing hears of it
    Start(&platform);
    EXPECT_TRUE(Grey());
    EXPECT_EQ(Count("HID Opened"), 0u);
    HWND watcher = MessageOnlyWindow(hid::kDeviceChangeWindowClass);
    ASSERT_NE(watcher, nullptr);

    // A search loads the list the same number of times whatever it finds; count one.
    const int before = platform.enumerations;
    sim_->plug(programmer_);
    DeviceNotice(watcher, DBT_DEVICEARRIVAL);
    ASSERT_TRUE(WaitLog("连接编程器")) << Log();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Green(); }, 5000));
    QTest::qWait(100);
    const int perSearch = platform.enumerations - before;
    ASSERT_GT(perSearch, 0);
    EXPECT_EQ(Count("HID Opened"), 1u);

    // An unrelated device arriving: one search, nothing logged, no second greeting.
    sim_->addKeyboard();
    DeviceNotice(watcher, DBT_DEVICEARRIVAL);
    // A notice that is no change of the device set runs no search.
    DeviceNotice(watcher, DBT_DEVICEQUERYREMOVE);
    ASSERT_TRUE(QTest::qWaitFor([&] { return platform.enumerations == before + 2 * perSearch; }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(platform.enumerations, before + 2 * perSearch);
    EXPECT_EQ(Count("连接编程器"), 1u);

    // Leaving: the search closes the link once and greys the list; coming back greets again.
    sim_->unplug(programmer_);
    DeviceNotice(watcher, DBT_DEVICEREMOVECOMPLETE);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Grey() && !form_->BtnAuto->isEnabled(); }, 5000)) << Log();
    sim_->plug(programmer_);
    DeviceNotice(watcher, DBT_DEVICEARRIVAL);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count("连接编程器") == 2 && Green(); }, 5000)) << Log();
    EXPECT_EQ(Count("HID Close "), 1u);
    EXPECT_TRUE(errors_.empty());
}

TEST_F(WindowsWindowTest, ConfigIniBesideTheProgramKeepsCrLf) {
    const fs::path image = Image(u8"fw.bin", 100, 1);
    const std::string file = Utf8(image);
    std::ofstream(besideExe_, std::ios::binary) << "; kept\r\n[CONFIG]\r\nchipidx=2\r\nfile=" << file
                                                 << "\r\nencry=1\r\nverify=0\r\nlang=en\r\n";
    Start(nullptr, /*settingsBesideExe=*/true);
    EXPECT_EQ(form_->cbbDev->currentIndex(), 2);
    EXPECT_EQ(form_->edtFile->text().toStdString(), file);
    EXPECT_TRUE(form_->chkEncrypt->isChecked());
    EXPECT_FALSE(form_->chkVerify->isChecked());
    form_->chkVerify->setChecked(true);
    form_->close();
    form_.reset();

    std::ifstream in(besideExe_, std::ios::binary);
    const std::string ini{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(ini.find("; kept\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("verify=1\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("chipidx=2\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("file=" + file + "\r\n"), std::string::npos) << ini;
    for (std::size_t at = ini.find('\n'); at != std::string::npos; at = ini.find('\n', at + 1))
        EXPECT_TRUE(at > 0 && ini[at - 1] == '\r') << "bare LF at " << at << " in\n" << ini;
}

TEST_F(WindowsWindowTest, AChineseFileNameLoadsThroughTheWindow) {
    Start();
    const fs::path hex = dir_ / fs::path(u8"固件-测试.hex");
    fs::copy_file(fs::path(QUILLON_SOURCE_DIR) / "examples/blink/blink.ihx", hex);
    Load(hex);
    const auto expected = ReadBytes(fs::path(QUILLON_SOURCE_DIR) / "examples/blink/blink.bin");
    ASSERT_EQ(form_->hexEditor->document()->GetDataSize(), expected.size()) << Log();
    EXPECT_EQ(form_->edtFile->text(), QString::fromStdWString(hex.wstring()));
    EXPECT_TRUE(WaitLog("Load File" + Utf8(hex))) << Log();
    // The BIN copy beside it carries the same name.
    EXPECT_EQ(ReadBytes(dir_ / fs::path(u8"固件-测试.hex.bin")), expected);

    const fs::path bin = Image(u8"镜像.bin", 1234, 9);
    Load(bin);
    EXPECT_EQ(form_->hexEditor->document()->GetDataSize(), 1234u);
    EXPECT_TRUE(errors_.empty());
}

// quillon.exe as Explorer and the loader see it: a window program (no console), the icon the
// toolkit gives its windows (IDI_ICON1), the version information and the UTF-8 manifest.
TEST(WindowsProgramFile, IsAGuiProgramWithIconVersionAndManifest) {
    const std::wstring exe = fs::path(QUILLON_GUI_PATH).wstring();
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_NE(FindResourceW(module, L"IDI_ICON1", MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */), nullptr);
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */), nullptr);
    HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24) /* RT_MANIFEST */);
    ASSERT_NE(manifest, nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(module, manifest)));
    const std::string manifestText(text, SizeofResource(module, manifest));
    EXPECT_NE(manifestText.find("UTF-8"), std::string::npos) << manifestText;
    FreeLibrary(module);

    const auto bytes = ReadBytes(fs::path(QUILLON_GUI_PATH));
    ASSERT_GT(bytes.size(), 0x40u);
    const auto peOffset = static_cast<std::size_t>(bytes[0x3C] | bytes[0x3D] << 8 | bytes[0x3E] << 16 | bytes[0x3F] << 24);
    ASSERT_LT(peOffset + 24 + 70, bytes.size());
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(&bytes[peOffset]), 4), std::string("PE\0\0", 4));
    // The optional header's Subsystem field: 2 is the GUI subsystem, 3 the console.
    const std::size_t subsystem = peOffset + 24 + 68;
    EXPECT_EQ(bytes[subsystem] | bytes[subsystem + 1] << 8, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

}  // namespace
