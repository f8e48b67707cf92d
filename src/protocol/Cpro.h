// The host side of the programmer's protocol: the connect block, the 24-byte command record,
// the decoding of every input report, the image stream of a write and the XOR checksum.
// The engine touches no control: it sends through SendFunc and reports to its ProListener.
// OnReceive runs on the HID reader thread while the operations call the rest from the UI
// thread; see "Threads" below for what is safe from where.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// Opcodes of the command record and of the programmer's replies (bits 0-6 of reply byte 0).
enum : std::uint8_t {
    OP_IDENTIFY = 1,
    OP_READ = 5,
    OP_WRITE = 6,
    OP_CHECKSUM = 7,
};

// What the engine tells its owner, one method per kind of news. Every call runs on the thread
// that handed the engine its report (the HID reader thread), or on the caller's thread for
// Connect and SelectChip; the arguments live only for the duration of the call.
class ProListener {
public:
    virtual ~ProListener() = default;
    // A line the engine writes to the log itself: "连接编程器", "开始写FLASH", "未知芯片类型！".
    // Without a listener these go to the process-wide log.
    virtual void logLine(const std::string& /*text*/) {}
    // A message for the log, shown unchanged: failure reply, unknown opcode, start of a read,
    // checksum difference.
    virtual void message(const std::string& /*text*/) {}
    // The answer to the connect block: the whole reply payload (bytes 0-5 meaningful).
    virtual void identified(const std::array<std::uint8_t, 64>& /*reply*/) {}
    // A data report of a read was stored; offset counts the bytes received so far.
    virtual void readProgress(std::uint32_t /*offset*/) {}
    // One packet of the image went out; sent counts the image bytes sent so far.
    virtual void writeProgress(std::int32_t /*sent*/) {}
    // The image stream stopped early: the packet at sent could not be delivered (SendFunc
    // failed) or the stream was aborted. No further packet goes out.
    virtual void streamStopped(std::uint32_t /*sent*/, bool /*aborted*/) {}
    // The programmer's checksum reply: agree is true when it matches the local checksum.
    virtual void verified(bool /*agree*/, std::uint8_t /*local*/, std::uint8_t /*device*/) {}
    // A reply with the failure bit set (after its log line); reply is byte 0 of it.
    virtual void failureReply(std::uint8_t /*reply*/) {}
};

enum class ProState : std::uint8_t {
    Idle = 0,
    Reading = 2,
};

struct ChipParams {
    std::uint32_t packetSize = 0;  // image bytes per data packet of a write
    std::uint32_t flashSize = 0;   // bytes of program flash of the selected chip
};

// The 24-byte command sent by Read and Write. The in-memory layout matches the wire layout
// byte for byte (checked below), but the wire form is always produced by Serialize so that the
// 32-bit fields go out little-endian whatever the host is.
struct ProCommand {
    std::uint8_t opcode = 0;     // 0
    std::uint8_t verify = 0;     // 1
    std::uint8_t reserved2 = 0;  // 2
    std::uint8_t resetRun = 0;   // 3
    std::uint32_t reserved4 = 0; // 4-7
    std::uint32_t length = 0;    // 8-11: bytes to read or to program
    std::uint8_t protect = 0;    // 12: read protection
    std::uint8_t erase = 0;      // 13
    std::uint8_t reserved14 = 0; // 14
    std::uint8_t reserved15 = 0; // 15
    std::array<std::uint8_t, 2> reserved16{};  // 16-17: never set
    std::array<std::uint8_t, 4> readMark{};    // 18-21: 0xFF once a Read has prepared the record
    std::array<std::uint8_t, 2> reserved22{};  // 22-23: never set

    static constexpr std::size_t kSize = 24;
    std::array<std::uint8_t, kSize> Serialize() const;
};

// The 6-byte block that opens a conversation; always 01 00 02 02 04 00.
struct ConnectBlock {
    std::uint8_t opcode = 0;
    std::uint8_t reserved1 = 0;
    std::uint8_t key2 = 0;
    std::uint8_t key3 = 0;
    std::uint16_t value = 0;  // bytes 4-5, little-endian on the wire

    static constexpr std::size_t kSize = 6;
    std::array<std::uint8_t, kSize> Serialize() const;
    // What the programmer must echo in reply bytes 4-5: (byte 2 XOR byte 3) OR value.
    std::uint16_t ExpectedEcho() const {
        return static_cast<std::uint16_t>((key2 ^ key3) | value);
    }
};

// The check-box options that Read and Write copy into the command record.
struct CommandFlags {
    bool verify = false;
    bool resetRun = false;
    bool protect = false;
    bool erase = false;
};

// Threads. OnReceive (and through it every listener call and every image packet) runs on the HID
// reader thread; Connect, SendCommand, SelectChip, ResetToIdle, the command setters and the
// locked buffer helpers may run on any other thread at the same time. One short internal lock
// guards the command record, the chip parameters, the connect block, the counters and the
// buffer copies; it is never held while SendFunc or the listener runs, so a blocking USB write or
// a listener that calls back into the engine cannot deadlock it. The image stream of a
// write takes its length and packet size once, when the programmer's ready reply arrives, so a
// command changed by the UI in the middle of a stream cannot change how much is sent.
// While an image streams, nothing else is sent: Connect and SendCommand refuse, so that no
// connect block or command can land in the middle of the image.
// SendFunc and the listener are set once right after construction, before reports flow. The raw
// buffer pointers are for single-threaded phases (no report flowing, no stream running); use
// StoreImage/CopyReadBuffer otherwise.
class CPro {
public:
    static constexpr std::uint32_t kBufferSize = 0x80000;  // 524,288 bytes each
    static constexpr std::size_t kReportSize = 64;         // payload of one HID report

    // Delivers one message (at most 64 bytes) to the programmer. Returns the bytes taken, or a
    // negative number when the message could not be delivered.
    using SendFunction = std::function<std::int32_t(const std::uint8_t* data, std::int32_t length)>;

    CPro();
    virtual ~CPro();
    CPro(const CPro&) = delete;
    CPro& operator=(const CPro&) = delete;

    SendFunction SendFunc;
    // The listener that receives the engine's news (may stay null: the news is then dropped, and
    // log lines go to the process-wide log). Must outlive the engine's use.
    void SetListener(ProListener* listener) { listener_ = listener; }

    // Chooses the chip parameters by exact name; an unknown name logs "未知芯片类型！" and
    // keeps 16,384 bytes of flash.
    void SelectChip(std::string_view name);
    // Logs "连接编程器", abandons a read in progress and sends the connect block. False when
    // it could not be delivered, or (without logging or sending anything) while an image streams.
    bool Connect();
    // Sends the 24 bytes of the command record as it stands. False when it could not be
    // delivered, or (without sending) while an image streams.
    bool SendCommand();
    // True while the image of a write is being sent (on the reader thread).
    bool Streaming() const { return streaming_.load(std::memory_order_acquire); }
    // Any thread: a stream in progress stops before its next packet (streamStopped follows).
    void AbortStream() { abortStream_.store(true, std::memory_order_release); }
    // Decodes one input report without its report ID. At most 64 bytes are read; a shorter
    // payload is treated as if the missing bytes were 0, and a null one as all zeros.
    void OnReceive(const std::uint8_t* payload, std::int32_t length);

    // 8-bit XOR of the bytes, seeded with 0x1A.
    static std::uint8_t CheckSum(const std::uint8_t* data, std::uint32_t count);

    // --- command record ---
    ProCommand Command() const;
    void SetCommand(const ProCommand& command);
    // Runs edit on the record under the lock; edit must not call back into the engine.
    template <class Edit>
    void EditCommand(Edit&& edit) {
        std::lock_guard lock(mutex_);
        edit(command_);
    }
    // Fills the record for a Read: opcode 5, length = flash size, the four flags, bytes
    // 2, 4-7, 14 and 15 cleared and bytes 18-21 set to 0xFF. Returns the length.
    std::uint32_t PrepareRead(const CommandFlags& flags);
    // Fills the record for a Write of length bytes: opcode 6, the four flags, bytes 2, 4-7,
    // 14 and 15 cleared. Bytes 18-21 keep what the last Read left.
    void PrepareWrite(const CommandFlags& flags, std::uint32_t length);

    // --- state ---
    ProState State() const { return state_.load(std::memory_order_acquire); }
    std::uint32_t ReadOffset() const { return readOffset_.load(std::memory_order_acquire); }
    // The watchdog's reset: later reports are decoded as replies again.
    void ResetToIdle();
    ChipParams Chip() const;
    // The block sent by the last Connect; empty before the first.
    std::optional<ConnectBlock> LastConnectBlock() const;

    // --- buffers ---
    // Both buffers hold 0xFF until written; they are made on first use, so that an engine that
    // only connects (detect, a search) never pays for a megabyte it does not touch.
    std::uint8_t* WriteBuffer() { return Buffers().write.get(); }
    const std::uint8_t* WriteBuffer() const { return Buffers().write.get(); }
    const std::uint8_t* ReadBuffer() const { return Buffers().read.get(); }
    // Copies data into the write buffer at offset under the lock; false (nothing copied) when
    // it would not fit.
    bool StoreImage(std::uint32_t offset, const std::uint8_t* data, std::size_t count);
    // Copies count bytes of the read buffer from offset under the lock; false when out of range.
    bool CopyReadBuffer(std::uint32_t offset, std::uint8_t* out, std::size_t count) const;

private:
    void LogLine(const std::string& text);
    void Message(const char* text);
    void HandleReply(const std::array<std::uint8_t, kReportSize>& report);
    void HandleData(const std::array<std::uint8_t, kReportSize>& report);
    void StreamImage();
    struct ImageBuffers {
        std::unique_ptr<std::uint8_t[]> write;
        std::unique_ptr<std::uint8_t[]> read;
    };
    // The buffers, made and filled with 0xFF by the first caller on any thread.
    ImageBuffers& Buffers() const;

    mutable std::mutex mutex_;
    std::atomic<std::uint32_t> readOffset_{0};
    ChipParams chip_{};
    ProCommand command_{};
    std::optional<ConnectBlock> connectBlock_;
    mutable std::once_flag buffersMade_;
    mutable ImageBuffers buffers_;
    std::atomic<ProState> state_{ProState::Idle};
    std::atomic<bool> streaming_{false};
    std::atomic<bool> abortStream_{false};
    ProListener* listener_ = nullptr;
};

static_assert(sizeof(ProCommand) == ProCommand::kSize, "command record must stay 24 bytes");
static_assert(offsetof(ProCommand, length) == 8 && offsetof(ProCommand, protect) == 12 &&
                  offsetof(ProCommand, readMark) == 18,
              "command record fields must sit at their wire offsets");
static_assert(sizeof(ConnectBlock) == ConnectBlock::kSize, "connect block must stay 6 bytes");

}  // namespace quillon
