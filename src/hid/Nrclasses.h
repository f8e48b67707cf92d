// The device link's base class and its reader thread: the device list and selection, the open
// handle (a "session"), the reader loop, the close-exactly-once rule and the four events. The HID
// specifics (building the list, opening a HID device) live in TnrHid (Nrhid.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hid/HidPlatform.h"

namespace quillon::hid {

class DeviceLink;

// The error that opening a device raises after OnFatalError left RaiseException set.
class HidError : public std::runtime_error {
public:
    HidError(std::uint32_t errorCode, std::uint32_t detail, const std::string& message)
        : std::runtime_error(message), errorCode_(errorCode), detail_(detail) {}
    std::uint32_t ErrorCode() const { return errorCode_; }
    std::uint32_t Detail() const { return detail_; }

private:
    std::uint32_t errorCode_;
    std::uint32_t detail_;
};

// The raw record of the platform's walk: what is known before the device is identified.
struct TnrDevice {
    virtual ~TnrDevice() = default;
    // The text the link's string list shows for this entry.
    virtual std::string ListName() const { return description; }
    std::string devicePath;
    std::string description;
    std::string manufacturer;
};

// One open handle and everything its reader needs. The link and the reader each hold a
// shared_ptr, so the reader never depends on the link's current state: its stop flag, device and
// input buffer belong to this handle alone, even when the link opens the device again at once.
struct LinkSession {
    std::shared_ptr<Device> device;
    bool canRead = false;
    bool canWrite = false;
    std::atomic<bool> stop{false};            // set once by whoever closes this handle
    std::atomic<bool> readingEnabled{false};  // a reader runs for this handle
    std::atomic<bool> finished{false};        // the reader left its loop (safe to join)
    std::vector<std::uint8_t> inputBuffer;    // input report length bytes, used by the reader only
    std::uint16_t outputReportLength = 0;     // with the report ID byte; 0: unknown
    std::uint64_t id = 0;                     // this open's number, never reused within a link
};

// The reader thread of one session. Joined by the link (when it reaps finished readers at the
// next open, or at destruction), never by Close.
class TnrThreadIO {
public:
    TnrThreadIO(DeviceLink& link, std::shared_ptr<LinkSession> session);
    ~TnrThreadIO();
    TnrThreadIO(const TnrThreadIO&) = delete;
    TnrThreadIO& operator=(const TnrThreadIO&) = delete;

    bool Finished() const { return session_->finished.load(); }
    // Waits for the thread to end; a reader that tears down its own link is detached instead.
    void Join();

private:
    std::shared_ptr<LinkSession> session_;
    std::thread thread_;
};

class DeviceLink {
public:
    using TNotifyEvent = std::function<void(DeviceLink& sender)>;
    using TOnReceived =
        std::function<void(DeviceLink& com, const std::uint8_t* buffer, std::uint32_t received)>;
    // Which open a report came from or a message must go to; 0 is no session.
    using SessionId = std::uint64_t;
    using TOnPayload = std::function<void(DeviceLink& com, SessionId session, const std::uint8_t* payload,
                                          std::uint32_t count)>;
    using TOnFatalErrorEvent =
        std::function<void(DeviceLink& sender, std::uint32_t errorCode, std::uint32_t detail,
                           const std::string& errorMsg, bool& raiseException)>;

    // Events. Assign them before the link is opened: the reader thread reads them without a lock.
    TNotifyEvent OnOpen;
    TNotifyEvent OnClose;
    TOnReceived OnAfterReceive;  // raised on the reader thread, once per input report
    // Also raised on the reader thread for every input report, after OnAfterReceive: the report
    // without its report ID byte, and the session it arrived on.
    TOnPayload OnPayload;
    TOnFatalErrorEvent OnFatalError;

    DeviceLink() = default;
    virtual ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Properties.
    bool GetSharedMode() const { return sharedMode_; }
    void SetSharedMode(bool value) { sharedMode_ = value; }
    bool GetEnumFullMode() const { return enumFullMode_; }
    void SetEnumFullMode(bool value) { enumFullMode_ = value; }
    // Only false is supported: reports are raised on the reader thread, and the owner hands what
    // the UI must show to its UiHost. True throws std::invalid_argument rather than silently
    // raising them on the wrong thread.
    bool GetUseMainThread() const { return false; }
    void SetUseMainThread(bool value);

    // The list (loaded by the derived link) and the selection.
    int GetDeviceCount() const { return static_cast<int>(list_.size()); }
    TnrDevice* GetDevice(int index) const;
    virtual void SetDeviceIndex(int index);
    virtual int GetDeviceIndex() const { return deviceIndex_; }
    virtual void Update() = 0;
    // Loads the list only when it is empty; fills names (the entries' list strings) when given.
    virtual void GetDeviceList(std::vector<std::string>* names = nullptr);

    // True exactly while a device handle is open. Any thread.
    bool GetActive() const;
    // Opens (true) or closes (false) the selected device when the value differs from GetActive;
    // otherwise does nothing. Open errors (HidError) pass through.
    void SetActive(bool value);

    virtual void Open();
    // Closes the open handle, raising OnClose once; does nothing when none is open. Any thread;
    // never waits for the reader.
    virtual void Close();

    // The access the open handle was obtained with (false when inactive).
    bool CanRead() const;
    bool CanWrite() const;

    // Sends one output report and waits until the platform took it. Callable from any thread;
    // writes are issued one at a time. False when inactive, opened without write access, or the
    // write failed; LastWriteError() then says why.
    bool WriteReport(const std::uint8_t* buffer, std::uint32_t length);

    // Frames one message into an output report and sends it: the report ID 0 first, then the
    // message, cut or padded with zeros to the device's output report length (65 bytes when the
    // device does not say). With session non-zero the message goes only to that open: after a
    // close (and a new open) it fails instead of reaching the new one. Returns the number of
    // message bytes framed, or -1 on failure with the reason (an errno value) in LastWriteError():
    // ENODEV no such open session, EACCES opened without write access, else the platform's code.
    int WritePayload(const std::uint8_t* message, std::uint32_t length, SessionId session = 0);
    // The errno value of the last failed write on this link (any thread; the latest wins).
    int LastWriteError() const { return lastWriteError_.load(); }
    // The open session's number, 0 when none is open.
    SessionId CurrentSessionId() const;

protected:
    friend class TnrThreadIO;

    // Opens the current device; null when it could not be opened and OnFatalError suppressed
    // the error. Raises HidError otherwise.
    virtual std::shared_ptr<LinkSession> RequestDeviceHandle() = 0;
    virtual void DeviceListLoad() = 0;
    virtual void ThreadExecute(const std::shared_ptr<LinkSession>& session);
    virtual void DoInputData(const std::uint8_t* buffer, std::uint32_t length);
    void DoFatalErrors(std::uint32_t errorCode, std::uint32_t detail, const std::string& message);

    void AddDevice(std::unique_ptr<TnrDevice> entry);
    void DeviceListClear();
    TnrDevice* CurrentDevice() const { return current_; }

    // Closes and joins every reader. Derived destructors call it first, so that no reader runs
    // their overrides while they are being torn down.
    void Shutdown();

    bool listLoading_ = false;

private:
    void ThreadStart(const std::shared_ptr<LinkSession>& session);
    // Closes exactly this session if it is still the open one; the reader's way to close, so a
    // late reader can never close a handle opened after its own.
    void CloseSession(const std::shared_ptr<LinkSession>& session);
    // Closes the open session (only when it is expected, if expected is given).
    void CloseIf(const LinkSession* expected);
    std::shared_ptr<LinkSession> CurrentSession() const;

    bool sharedMode_ = true;
    bool enumFullMode_ = true;

    std::vector<std::unique_ptr<TnrDevice>> list_;
    TnrDevice* current_ = nullptr;
    int deviceIndex_ = 0;

    mutable std::mutex sessionMutex_;  // guards session_ only; never held across a call out
    std::shared_ptr<LinkSession> session_;

    std::mutex writeMutex_;  // one write at a time; Close never takes it
    std::atomic<int> lastWriteError_{0};
    std::atomic<SessionId> nextSessionId_{1};
    std::vector<std::uint8_t> frame_;  // the framed report (under writeMutex_)

    std::mutex readersMutex_;
    std::vector<std::unique_ptr<TnrThreadIO>> readers_;
};

}  // namespace quillon::hid
