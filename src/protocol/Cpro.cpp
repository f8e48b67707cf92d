// The programmer protocol engine: records, reply decoding, image streaming and checksum.
// Everything a report needs is copied or snapshotted under one short lock; the hooks are always
// called with the lock released (see the header for the threading rules).
#include "protocol/Cpro.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "log/Log.h"
#include "protocol/Chips.h"

namespace quillon {

namespace {

constexpr std::uint32_t kDefaultPacket = 64;
constexpr std::uint32_t kSmallFlash = 0x4000;

void PutLe32(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
    out[2] = static_cast<std::uint8_t>(value >> 16);
    out[3] = static_cast<std::uint8_t>(value >> 24);
}

}  // namespace

std::array<std::uint8_t, ProCommand::kSize> ProCommand::Serialize() const {
    std::array<std::uint8_t, kSize> out{};
    out[0] = opcode;
    out[1] = verify;
    out[2] = reserved2;
    out[3] = resetRun;
    PutLe32(&out[4], reserved4);
    PutLe32(&out[8], length);
    out[12] = protect;
    out[13] = erase;
    out[14] = reserved14;
    out[15] = reserved15;
    std::copy(reserved16.begin(), reserved16.end(), out.begin() + 16);
    std::copy(readMark.begin(), readMark.end(), out.begin() + 18);
    std::copy(reserved22.begin(), reserved22.end(), out.begin() + 22);
    return out;
}

std::array<std::uint8_t, ConnectBlock::kSize> ConnectBlock::Serialize() const {
    return {opcode, reserved1, key2, key3, static_cast<std::uint8_t>(value),
            static_cast<std::uint8_t>(value >> 8)};
}

CPro::CPro() {
    chip_.packetSize = kDefaultPacket;
    chip_.flashSize = kSmallFlash;
}

CPro::~CPro() = default;

CPro::ImageBuffers& CPro::Buffers() const {
    std::call_once(buffersMade_, [this] {
        buffers_.write = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
        buffers_.read = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
        std::memset(buffers_.write.get(), 0xFF, kBufferSize);
        std::memset(buffers_.read.get(), 0xFF, kBufferSize);
    });
    return buffers_;
}

void CPro::SelectChip(std::string_view name) {
    const int index = ChipIndex(name);
    {
        std::lock_guard lock(mutex_);
        chip_.packetSize = index < 0 ? kDefaultPacket : kChips[static_cast<std::size_t>(index)].packetSize;
        chip_.flashSize = index < 0 ? kSmallFlash : kChips[static_cast<std::size_t>(index)].flashSize;
    }
    if (index < 0) LogLine("未知芯片类型！");
}

bool CPro::Connect() {
    if (Streaming()) return false;
    LogLine("连接编程器");
    std::array<std::uint8_t, ConnectBlock::kSize> wire{};
    {
        std::lock_guard lock(mutex_);
        state_.store(ProState::Idle, std::memory_order_release);
        ConnectBlock block;
        block.opcode = OP_IDENTIFY;
        block.reserved1 = 0x00;
        block.key2 = 0x02;
        block.key3 = 0x02;
        block.value = 4;
        connectBlock_ = block;
        wire = block.Serialize();
    }
    return SendFunc && SendFunc(wire.data(), static_cast<std::int32_t>(wire.size())) >= 0;
}

bool CPro::SendCommand() {
    if (Streaming()) return false;
    std::array<std::uint8_t, ProCommand::kSize> wire{};
    {
        std::lock_guard lock(mutex_);
        wire = command_.Serialize();
    }
    return SendFunc && SendFunc(wire.data(), static_cast<std::int32_t>(wire.size())) >= 0;
}

std::uint8_t CPro::CheckSum(const std::uint8_t* data, std::uint32_t count) {
    std::uint8_t sum = 0x1A;
    for (std::uint32_t i = 0; i < count; ++i) sum ^= data[i];
    return sum;
}

void CPro::Message(const char* text) {
    if (listener_ != nullptr) listener_->message(text);
}

void CPro::LogLine(const std::string& text) {
    if (listener_ != nullptr)
        listener_->logLine(text);
    else
        Log(text);
}

void CPro::OnReceive(const std::uint8_t* payload, std::int32_t length) {
    // The link normally hands over exactly 64 bytes; anything shorter is padded with zeros so
    // a short or truncated report can never make the engine read past what it was given.
    std::array<std::uint8_t, kReportSize> report{};
    if (payload != nullptr && length > 0) {
        std::memcpy(report.data(), payload,
                    std::min<std::size_t>(static_cast<std::size_t>(length), kReportSize));
    }

    std::uint32_t offset = 0;
    bool wasData = false;
    {
        std::lock_guard lock(mutex_);
        if (state_.load(std::memory_order_relaxed) == ProState::Reading) {
            wasData = true;
            offset = readOffset_.load(std::memory_order_relaxed);
            // The read ends at the requested length, but never beyond the read buffer: a length
            // field larger than the buffer (or changed mid-read) cannot make data overrun it.
            const std::uint32_t end = std::min(command_.length, kBufferSize);
            if (offset <= kBufferSize - kReportSize) {
                std::memcpy(Buffers().read.get() + offset, report.data(), kReportSize);
                offset += kReportSize;
                readOffset_.store(offset, std::memory_order_release);
            }
            if (end <= offset || offset > kBufferSize - kReportSize) {
                state_.store(ProState::Idle, std::memory_order_release);
            }
        }
    }
    if (wasData) {
        if (listener_ != nullptr) listener_->readProgress(offset);
        return;
    }
    HandleReply(report);
}

void CPro::HandleReply(const std::array<std::uint8_t, kReportSize>& report) {
    const std::uint8_t b = report[0];
    char text[96];
    if ((b & 0x80) != 0) {
        std::snprintf(text, sizeof text, "操作失败:%02X", b);
        Message(text);
        if (listener_ != nullptr) listener_->failureReply(b);
        return;
    }
    switch (b & 0x7F) {
        case OP_IDENTIFY:
            if (listener_ != nullptr) listener_->identified(report);
            return;
        case OP_READ: {
            std::uint32_t length = 0;
            {
                std::lock_guard lock(mutex_);
                length = command_.length;
            }
            std::snprintf(text, sizeof text, "开始读FLASH...%d", static_cast<std::int32_t>(length));
            Message(text);
            {
                std::lock_guard lock(mutex_);
                readOffset_.store(0, std::memory_order_release);
                state_.store(ProState::Reading, std::memory_order_release);
            }
            if (length > kBufferSize) {
                std::snprintf(text, sizeof text, "读取长度超出缓冲区，最多接收%u字节",
                              static_cast<unsigned>(kBufferSize));
                Message(text);
            }
            return;
        }
        case OP_WRITE:
            readOffset_.store(0, std::memory_order_release);
            LogLine("开始写FLASH");
            StreamImage();
            return;
        case OP_CHECKSUM: {
            std::uint8_t local = 0;
            {
                std::lock_guard lock(mutex_);
                // Never past the buffer, whatever the length field says.
                local = CheckSum(Buffers().write.get(), std::min(command_.length, kBufferSize));
            }
            const std::uint8_t device = report[1];
            const bool agree = local == device;
            if (listener_ != nullptr) listener_->verified(agree, local, device);
            if (!agree) {
                std::snprintf(text, sizeof text, "本地校验：%d 设备端校验：%d", local, device);
                Message(text);
            }
            return;
        }
        default:
            Message("未知操作");
            return;
    }
}

void CPro::StreamImage() {
    // Length and packet size are taken once: the UI may refill the command record while the
    // stream runs, and the stream must stay the one the programmer was told about.
    std::uint32_t requested = 0;
    std::uint32_t packet = kDefaultPacket;
    {
        std::lock_guard lock(mutex_);
        requested = command_.length;
        packet = chip_.packetSize;
    }
    if (packet == 0 || packet > kReportSize) packet = kDefaultPacket;
    if (requested > kBufferSize) {
        // The image cannot be larger than the buffer it comes from; sending part of one that
        // the programmer expects whole would only fail later and silently, so refuse it here.
        char text[96];
        std::snprintf(text, sizeof text, "写入长度超出缓冲区：%u", static_cast<unsigned>(requested));
        Message(text);
        return;
    }
    const auto length = static_cast<std::int32_t>(requested);

    // Connect and SendCommand stay refused until the last packet is out.
    struct StreamFlag {
        std::atomic<bool>& flag;
        explicit StreamFlag(std::atomic<bool>& f) : flag(f) { flag.store(true, std::memory_order_release); }
        ~StreamFlag() { flag.store(false, std::memory_order_release); }
    } streamFlag(streaming_);
    abortStream_.store(false, std::memory_order_release);
    std::array<std::uint8_t, kReportSize> chunk{};
    std::int32_t counter = 0;
    while (length > counter) {
        const auto start = static_cast<std::uint32_t>(counter);
        const std::uint32_t n = std::min(packet, kBufferSize - start);
        {
            std::lock_guard lock(mutex_);
            std::memcpy(chunk.data(), Buffers().write.get() + start, n);
        }
        const bool aborted = abortStream_.exchange(false, std::memory_order_acq_rel);
        // A packet that does not arrive leaves a hole the programmer cannot know about: sending
        // the rest would only program a chip with a gap, so the stream ends here.
        if (aborted || !SendFunc || SendFunc(chunk.data(), static_cast<std::int32_t>(n)) < 0) {
            if (listener_ != nullptr) listener_->streamStopped(start, aborted);
            return;
        }
        counter += static_cast<std::int32_t>(packet);
        if (listener_ != nullptr) listener_->writeProgress(counter);
    }
}

ProCommand CPro::Command() const {
    std::lock_guard lock(mutex_);
    return command_;
}

void CPro::SetCommand(const ProCommand& command) {
    std::lock_guard lock(mutex_);
    command_ = command;
}

namespace {
void ApplyFlags(ProCommand& command, const CommandFlags& flags) {
    command.verify = flags.verify ? 1 : 0;
    command.resetRun = flags.resetRun ? 1 : 0;
    command.protect = flags.protect ? 1 : 0;
    command.erase = flags.erase ? 1 : 0;
    command.reserved2 = 0;
    command.reserved4 = 0;
    command.reserved14 = 0;
    command.reserved15 = 0;
}
}  // namespace

std::uint32_t CPro::PrepareRead(const CommandFlags& flags) {
    std::lock_guard lock(mutex_);
    command_.opcode = OP_READ;
    ApplyFlags(command_, flags);
    command_.length = chip_.flashSize;
    command_.readMark.fill(0xFF);
    return command_.length;
}

void CPro::PrepareWrite(const CommandFlags& flags, std::uint32_t length) {
    std::lock_guard lock(mutex_);
    command_.opcode = OP_WRITE;
    ApplyFlags(command_, flags);
    command_.length = length;
}

void CPro::ResetToIdle() {
    std::lock_guard lock(mutex_);
    state_.store(ProState::Idle, std::memory_order_release);
}

ChipParams CPro::Chip() const {
    std::lock_guard lock(mutex_);
    return chip_;
}

std::optional<ConnectBlock> CPro::LastConnectBlock() const {
    std::lock_guard lock(mutex_);
    return connectBlock_;
}

bool CPro::StoreImage(std::uint32_t offset, const std::uint8_t* data, std::size_t count) {
    if (offset > kBufferSize || count > kBufferSize - offset) return false;
    if (count == 0) return true;
    std::lock_guard lock(mutex_);
    std::memcpy(Buffers().write.get() + offset, data, count);
    return true;
}

bool CPro::CopyReadBuffer(std::uint32_t offset, std::uint8_t* out, std::size_t count) const {
    if (offset > kBufferSize || count > kBufferSize - offset) return false;
    if (count == 0) return true;
    std::lock_guard lock(mutex_);
    std::memcpy(out, Buffers().read.get() + offset, count);
    return true;
}

}  // namespace quillon
