// The device link's base class and its reader thread: opening and closing a session, the reader
// loop, serialised writes and the events. See Nrclasses.h for the threading rules.
#include "hid/Nrclasses.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillon::hid {

TnrThreadIO::TnrThreadIO(DeviceLink& link, std::shared_ptr<LinkSession> session)
    : session_(std::move(session)) {
    thread_ = std::thread([&link, session = session_] {
        try {
            link.ThreadExecute(session);
        } catch (...) {
            // Nothing may escape a thread; ThreadExecute already closed the session.
        }
        session->stop = true;
        session->finished = true;
    });
}

TnrThreadIO::~TnrThreadIO() { Join(); }

void TnrThreadIO::Join() {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        // A handler on the reader destroyed its own link: the reader only touches its session
        // (which it owns a share of) from here on, so letting it finish on its own is safe.
        thread_.detach();
        return;
    }
    thread_.join();
}

DeviceLink::~DeviceLink() { Shutdown(); }

void DeviceLink::Shutdown() {
    Close();
    std::vector<std::unique_ptr<TnrThreadIO>> readers;
    {
        std::lock_guard lock(readersMutex_);
        readers.swap(readers_);
    }
    for (auto& reader : readers) reader->Join();
}

void DeviceLink::SetUseMainThread(bool value) {
    if (value) throw std::invalid_argument("UseMainThread is not supported: reports are raised on the reader thread");
}

TnrDevice* DeviceLink::GetDevice(int index) const {
    if (index < 0 || index >= GetDeviceCount()) return nullptr;
    return list_[static_cast<std::size_t>(index)].get();
}

void DeviceLink::SetDeviceIndex(int index) {
    deviceIndex_ = index;
    current_ = GetDevice(index);
}

void DeviceLink::GetDeviceList(std::vector<std::string>* names) {
    if (list_.empty()) DeviceListLoad();
    if (names == nullptr) return;
    names->clear();
    for (const auto& entry : list_) names->push_back(entry->ListName());
}

void DeviceLink::AddDevice(std::unique_ptr<TnrDevice> entry) { list_.push_back(std::move(entry)); }

void DeviceLink::DeviceListClear() {
    current_ = nullptr;
    list_.clear();
}

std::shared_ptr<LinkSession> DeviceLink::CurrentSession() const {
    std::lock_guard lock(sessionMutex_);
    return session_;
}

bool DeviceLink::GetActive() const { return CurrentSession() != nullptr; }

bool DeviceLink::CanRead() const {
    auto session = CurrentSession();
    return session && session->canRead;
}

bool DeviceLink::CanWrite() const {
    auto session = CurrentSession();
    return session && session->canWrite;
}

void DeviceLink::SetActive(bool value) {
    if (value == GetActive()) return;
    if (value) {
        Open();
    } else {
        Close();
    }
}

void DeviceLink::Open() {
    if (GetActive()) return;
    auto session = RequestDeviceHandle();
    if (!session) return;
    session->id = nextSessionId_++;
    {
        std::lock_guard lock(sessionMutex_);
        session_ = session;
    }
    if (session->readingEnabled) ThreadStart(session);
    if (OnOpen) {
        try {
            OnOpen(*this);
        } catch (...) {
            // The owner's reaction failed; the link itself is open and stays so.
        }
    }
}

void DeviceLink::ThreadStart(const std::shared_ptr<LinkSession>& session) {
    std::lock_guard lock(readersMutex_);
    // Readers of earlier sessions that have ended are joined here, so threads never pile up.
    std::erase_if(readers_, [](const std::unique_ptr<TnrThreadIO>& r) {
        if (!r->Finished()) return false;
        r->Join();
        return true;
    });
    readers_.push_back(std::make_unique<TnrThreadIO>(*this, session));
}

void DeviceLink::Close() { CloseIf(nullptr); }

void DeviceLink::CloseIf(const LinkSession* expected) {
    std::shared_ptr<LinkSession> session;
    {
        // Taking the session under the lock is what makes a close from the UI thread and one from
        // the reader at the same moment close it exactly once.
        std::lock_guard lock(sessionMutex_);
        if (!session_ || (expected != nullptr && session_.get() != expected)) return;
        session_->stop = true;
        session = std::move(session_);
        session_.reset();
    }
    // Wake the reader first so it finds its stop flag set, then close the handle, which also
    // fails a read the platform could not cancel.
    session->device->cancelRead();
    session->device->close();
    if (OnClose) {
        try {
            OnClose(*this);
        } catch (...) {
        }
    }
}

void DeviceLink::CloseSession(const std::shared_ptr<LinkSession>& session) { CloseIf(session.get()); }

bool DeviceLink::WriteReport(const std::uint8_t* buffer, std::uint32_t length) {
    auto session = CurrentSession();
    if (!session || buffer == nullptr) {
        lastWriteError_ = ENODEV;
        return false;
    }
    if (!session->canWrite) {
        lastWriteError_ = EACCES;
        return false;
    }
    std::lock_guard lock(writeMutex_);
    if (session->device->write(std::span<const std::uint8_t>(buffer, length))) return true;
    const int error = session->device->lastError();
    lastWriteError_ = error != 0 ? error : EIO;
    return false;
}

DeviceLink::SessionId DeviceLink::CurrentSessionId() const {
    auto session = CurrentSession();
    return session ? session->id : 0;
}

int DeviceLink::WritePayload(const std::uint8_t* message, std::uint32_t length, SessionId only) {
    auto session = CurrentSession();
    if (!session || (only != 0 && session->id != only)) {
        lastWriteError_ = ENODEV;
        return -1;
    }
    if (!session->canWrite) {
        lastWriteError_ = EACCES;
        return -1;
    }
    constexpr std::uint32_t kDefaultReport = 65;
    const std::uint32_t reportLength = session->outputReportLength > 1 ? session->outputReportLength : kDefaultReport;
    const std::uint32_t framed = message == nullptr ? 0 : std::min(length, reportLength - 1);
    std::lock_guard lock(writeMutex_);
    frame_.assign(reportLength, 0);
    if (framed > 0) std::memcpy(frame_.data() + 1, message, framed);
    // A close between taking the session and this write fails the write on the closed handle;
    // it can never reach a later open, which has a device of its own.
    if (session->device->write(frame_)) return static_cast<int>(framed);
    const int error = session->device->lastError();
    lastWriteError_ = error != 0 ? error : EIO;
    return -1;
}

void DeviceLink::ThreadExecute(const std::shared_ptr<LinkSession>& session) {
    auto& buffer = session->inputBuffer;
    const auto length = static_cast<std::uint32_t>(buffer.size());
    while (!session->stop) {
        std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
        const int got = session->device->read(buffer);
        if (session->stop) break;  // a report that completes during a close is never delivered
        if (got < 0) {
            session->readingEnabled = false;
            CloseSession(session);
            break;
        }
        try {
            // Whatever the read returned, the handler sees the whole input report length; the
            // bytes a short read did not fill are the zeros written above.
            DoInputData(buffer.data(), length);
            if (OnPayload && length > 0) OnPayload(*this, session->id, buffer.data() + 1, length - 1);
        } catch (...) {
            // A failing handler must not leave a link that looks open but reads nothing: close
            // it, so OnClose tells the owner and its next search opens the device again.
            session->readingEnabled = false;
            CloseSession(session);
            break;
        }
    }
    session->stop = true;
}

void DeviceLink::DoInputData(const std::uint8_t* buffer, std::uint32_t length) {
    if (!OnAfterReceive) return;
    OnAfterReceive(*this, buffer, length);
}

void DeviceLink::DoFatalErrors(std::uint32_t errorCode, std::uint32_t detail, const std::string& message) {
    bool raise = true;
    if (OnFatalError) OnFatalError(*this, errorCode, detail, message, raise);
    if (raise) throw HidError(errorCode, detail, message);
}

}  // namespace quillon::hid
