// The protocol engine on its own: records on the wire, reply decoding, the image stream, reads,
// the checksum, and the handling of reports and lengths that do not fit.
// A recording listener keeps every packet and piece of news (with the engine's state at that
// moment) in the order they happened, and the log sink keeps the engine's own log lines.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "protocol/Cpro.h"

namespace quillon {
namespace {

// The kinds of news the recorder keeps, numbered as the engine's events always were.
enum : std::uint32_t { EV_MESSAGE = 0, EV_IDENTIFY = 1, EV_READ_PROGRESS = 5, EV_WRITE_PROGRESS = 6, EV_VERIFY = 7 };

struct Event {
    std::uint32_t code = 0;
    std::string text;             // EV_MESSAGE
    std::int64_t value = 0;       // progress counts and the verify result
    std::vector<std::uint8_t> bytes;  // EV_IDENTIFY
    ProState stateAtEvent = ProState::Idle;
    std::size_t packetsBefore = 0;
};

class CproTest : public ::testing::Test, public ProListener {
protected:
    void SetUp() override {
        SetLogSink([this](const std::string& line) { logLines.push_back(line); });
        engine.SendFunc = [this](const std::uint8_t* data, std::int32_t length) {
            packets.emplace_back(data, data + length);
            return length;
        };
        engine.SetListener(this);
    }
    void Record(std::uint32_t code, std::int64_t value, std::string text = {}, std::vector<std::uint8_t> bytes = {}) {
        Event e;
        e.code = code;
        e.value = value;
        e.text = std::move(text);
        e.bytes = std::move(bytes);
        e.stateAtEvent = engine.State();
        e.packetsBefore = packets.size();
        events.push_back(e);
        if (onEvent) onEvent(events.back());
    }
    // ProListener
    void logLine(const std::string& text) override { Log(text); }
    void message(const std::string& text) override { Record(EV_MESSAGE, 0, text); }
    void identified(const std::array<std::uint8_t, 64>& reply) override {
        Record(EV_IDENTIFY, 0, {}, std::vector<std::uint8_t>(reply.begin(), reply.end()));
    }
    void readProgress(std::uint32_t offset) override { Record(EV_READ_PROGRESS, offset); }
    void writeProgress(std::int32_t sent) override { Record(EV_WRITE_PROGRESS, sent); }
    void verified(bool agree, std::uint8_t, std::uint8_t) override { Record(EV_VERIFY, agree ? 1 : 0); }
    void failureReply(std::uint8_t reply) override { failures.push_back(reply); }
    void streamStopped(std::uint32_t sent, bool aborted) override { stops.emplace_back(sent, aborted); }

    void TearDown() override { SetLogSink(nullptr); }

    void Reply(std::initializer_list<std::uint8_t> head) {
        std::array<std::uint8_t, 64> report{};
        std::copy(head.begin(), head.end(), report.begin());
        engine.OnReceive(report.data(), 64);
    }
    void SetLength(std::uint32_t length) {
        engine.EditCommand([&](ProCommand& c) { c.length = length; });
    }
    // The engine's own log lines, without their time stamps.
    std::vector<std::string> LogTexts() const {
        std::vector<std::string> out;
        for (const auto& line : logLines) {
            auto at = line.find("]  ");
            out.push_back(at == std::string::npos ? line : line.substr(at + 3));
        }
        return out;
    }
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e.code == EV_MESSAGE) out.push_back(e.text);
        return out;
    }

    CPro engine;
    std::vector<std::vector<std::uint8_t>> packets;
    std::vector<Event> events;
    std::function<void(const Event&)> onEvent;  // runs after each event is recorded
    std::vector<std::uint8_t> failures;
    std::vector<std::pair<std::uint32_t, bool>> stops;
    std::vector<std::string> logLines;
};

TEST(CproCheckSum, SeedAndXorRule) {
    EXPECT_EQ(CPro::CheckSum(nullptr, 0), 0x1A);
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(CPro::CheckSum(abc, 3), 0x7A);
    // XOR is order-free and without carry: the seed cancels in a split, and 0xFF flips bits.
    std::vector<std::uint8_t> data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const auto whole = CPro::CheckSum(data.data(), 1000);
    EXPECT_EQ(whole, CPro::CheckSum(data.data(), 400) ^ CPro::CheckSum(data.data() + 400, 600) ^ 0x1A);
    const std::uint8_t ff = 0xFF;
    EXPECT_EQ(CPro::CheckSum(&ff, 1), 0x1A ^ 0xFF);
}

TEST_F(CproTest, ConstructionDefaults) {
    EXPECT_EQ(engine.Chip().packetSize, 64u);
    EXPECT_EQ(engine.Chip().flashSize, 16384u);
    EXPECT_FALSE(engine.LastConnectBlock().has_value());
    for (std::uint32_t i : {0u, 12345u, CPro::kBufferSize - 1}) {
        EXPECT_EQ(engine.WriteBuffer()[i], 0xFF) << i;
        EXPECT_EQ(engine.ReadBuffer()[i], 0xFF) << i;
    }
}

// The buffers are made on first use: whichever thread comes first, every caller sees one pair,
// 0xFF where nothing was stored, and what another thread stored meanwhile.
TEST(CproBuffers, FirstUseFromSeveralThreadsGivesOnePairOfBuffers) {
    for (int round = 0; round < 20; ++round) {
        CPro engine;
        constexpr int kThreads = 4;
        std::vector<std::thread> threads;
        std::vector<std::vector<std::uint8_t>> seen(kThreads, std::vector<std::uint8_t>(64, 0));
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&engine, &seen, t] {
                const std::uint8_t mark = static_cast<std::uint8_t>(t + 1);
                EXPECT_TRUE(engine.StoreImage(static_cast<std::uint32_t>(t) * 4096, &mark, 1));
                EXPECT_TRUE(engine.CopyReadBuffer(CPro::kBufferSize - 64, seen[t].data(), 64));
            });
        }
        for (auto& thread : threads) thread.join();
        const std::uint8_t* write = engine.WriteBuffer();
        EXPECT_EQ(write, engine.WriteBuffer());
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(write[t * 4096], t + 1);
            EXPECT_EQ(write[t * 4096 + 1], 0xFF);
            EXPECT_EQ(seen[t], std::vector<std::uint8_t>(64, 0xFF));
        }
        EXPECT_EQ(engine.ReadBuffer()[0], 0xFF);
    }
}

TEST_F(CproTest, ConnectSendsFixedBlockAndAbandonsRead) {
    SetLength(16384);
    Reply({OP_READ});
    ASSERT_EQ(engine.State(), ProState::Reading);
    engine.Connect();
    engine.Connect();
    EXPECT_EQ(engine.State(), ProState::Idle);
    const std::vector<std::uint8_t> expected = {0x01, 0x00, 0x02, 0x02, 0x04, 0x00};
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], expected);
    EXPECT_EQ(packets[1], expected);
    ASSERT_TRUE(engine.LastConnectBlock().has_value());
    EXPECT_EQ(engine.LastConnectBlock()->ExpectedEcho(), 4);
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{"连接编程器", "连接编程器"}));
}

TEST_F(CproTest, SelectChipByExactName) {
    engine.SelectChip("NRF24LU1_32K");
    EXPECT_EQ(engine.Chip().flashSize, 32768u);
    engine.SelectChip("NRF24LE1_16K");
    EXPECT_EQ(engine.Chip().flashSize, 16384u);
    EXPECT_TRUE(logLines.empty());

    engine.SelectChip("NRF24LU1_32K");
    engine.SelectChip("nrf24lu1_32k");
    EXPECT_EQ(engine.Chip().flashSize, 16384u);
    EXPECT_EQ(engine.Chip().packetSize, 64u);
    engine.SelectChip("NRF24LU1_32K ");
    EXPECT_EQ(engine.Chip().flashSize, 16384u);
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{"未知芯片类型！", "未知芯片类型！"}));
}

TEST_F(CproTest, CommandRecordOnTheWire) {
    engine.SelectChip("NRF24LU1_32K");
    // Before any Read, bytes 18-21 are 0.
    engine.PrepareWrite({.verify = true, .resetRun = false, .protect = true, .erase = true}, 0x1234);
    engine.SendCommand();
    const std::vector<std::uint8_t> firstWrite = {6, 1, 0, 0, 0, 0, 0, 0, 0x34, 0x12, 0, 0,
                                                  1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], firstWrite);

    EXPECT_EQ(engine.PrepareRead({.verify = false, .resetRun = true, .protect = false, .erase = false}), 32768u);
    engine.SendCommand();
    const std::vector<std::uint8_t> read = {5, 0, 0, 1, 0, 0, 0, 0, 0x00, 0x80, 0, 0,
                                            0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(packets[1], read);

    // A Write after a Read keeps what the Read left in bytes 18-21, and overwrites only its fields.
    engine.PrepareWrite({.verify = true, .resetRun = true, .protect = false, .erase = true}, 100000);
    engine.SendCommand();
    const std::vector<std::uint8_t> laterWrite = {6, 1, 0, 1, 0, 0, 0, 0, 0xA0, 0x86, 0x01, 0,
                                                  0, 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(packets[2], laterWrite);

    // Stray values in the cleared bytes are wiped by the next preparation.
    engine.EditCommand([](ProCommand& c) {
        c.reserved2 = 9;
        c.reserved4 = 0xAABBCCDD;
        c.reserved14 = 7;
        c.reserved15 = 8;
    });
    engine.PrepareWrite({}, 64);
    const auto wire = engine.Command().Serialize();
    EXPECT_EQ(wire[2], 0);
    EXPECT_EQ(wire[4] | wire[5] | wire[6] | wire[7], 0);
    EXPECT_EQ(wire[14] | wire[15], 0);
}

TEST_F(CproTest, WriteOf100BytesSendsTwoFullPacketsInOrder) {
    std::vector<std::uint8_t> image(100);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(engine.StoreImage(0, image.data(), image.size()));
    engine.PrepareWrite({}, 100);
    Reply({OP_WRITE});

    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].size(), 64u);
    EXPECT_EQ(packets[1].size(), 64u);
    std::vector<std::uint8_t> sent = packets[0];
    sent.insert(sent.end(), packets[1].begin(), packets[1].end());
    for (std::size_t i = 0; i < 128; ++i)
        EXPECT_EQ(sent[i], i < 100 ? image[i] : 0xFF) << i;  // the tail comes from the buffer

    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].code, static_cast<std::uint32_t>(EV_WRITE_PROGRESS));
    EXPECT_EQ(events[0].value, 64);
    EXPECT_EQ(events[0].packetsBefore, 1u);  // each event follows its packet
    EXPECT_EQ(events[1].value, 128);
    EXPECT_EQ(events[1].packetsBefore, 2u);
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{"开始写FLASH"}));
    EXPECT_EQ(engine.State(), ProState::Idle);
}

TEST_F(CproTest, StreamKeepsTheLengthItStartedWith) {
    engine.PrepareWrite({}, 256);
    onEvent = [&](const Event& e) {
        // The UI refills the record while the stream runs.
        if (e.code == EV_WRITE_PROGRESS && e.value == 64) engine.PrepareWrite({}, 32768);
    };
    Reply({OP_WRITE});
    EXPECT_EQ(packets.size(), 4u);
    EXPECT_EQ(events.back().value, 256);
}

TEST_F(CproTest, WriteLengthBeyondTheBufferIsRefused) {
    for (std::uint32_t length : {CPro::kBufferSize + 1, 0x80000000u, 0xFFFFFFFFu}) {
        packets.clear();
        events.clear();
        engine.PrepareWrite({}, length);
        Reply({OP_WRITE});
        EXPECT_TRUE(packets.empty()) << length;
        ASSERT_EQ(events.size(), 1u) << length;
        EXPECT_EQ(events[0].text, "写入长度超出缓冲区：" + std::to_string(length));
    }
    // A full buffer is still sendable, and the last packet ends exactly at its end.
    packets.clear();
    engine.WriteBuffer()[CPro::kBufferSize - 1] = 0x5A;
    engine.PrepareWrite({}, CPro::kBufferSize);
    Reply({OP_WRITE});
    ASSERT_EQ(packets.size(), CPro::kBufferSize / 64);
    EXPECT_EQ(packets.back().back(), 0x5A);
    // A zero length sends nothing and raises nothing but the log line.
    packets.clear();
    events.clear();
    engine.PrepareWrite({}, 0);
    Reply({OP_WRITE});
    EXPECT_TRUE(packets.empty());
    EXPECT_TRUE(events.empty());
}

TEST_F(CproTest, ReadOf16KiBTakes256ReportsAndEndsIdleBeforeTheLastEvent) {
    engine.PrepareRead({});
    Reply({OP_READ});
    ASSERT_EQ(Messages(), (std::vector<std::string>{"开始读FLASH...16384"}));
    EXPECT_EQ(engine.State(), ProState::Reading);
    events.clear();

    std::array<std::uint8_t, 64> data{};
    for (int i = 0; i < 256; ++i) {
        data.fill(static_cast<std::uint8_t>(i));
        data[0] = static_cast<std::uint8_t>(0x80 | i);  // a failure bit in data is still data
        engine.OnReceive(data.data(), 64);
    }
    ASSERT_EQ(events.size(), 256u);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(events[i].code, static_cast<std::uint32_t>(EV_READ_PROGRESS));
        EXPECT_EQ(events[i].value, (i + 1) * 64);
        EXPECT_EQ(events[i].stateAtEvent, i < 255 ? ProState::Reading : ProState::Idle) << i;
    }
    EXPECT_EQ(engine.ReadOffset(), 16384u);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(engine.ReadBuffer()[i * 64], 0x80 | i);
        EXPECT_EQ(engine.ReadBuffer()[i * 64 + 63], i);
    }
    EXPECT_EQ(engine.ReadBuffer()[16384], 0xFF);
    EXPECT_TRUE(packets.empty());

    // Once complete, the next report is a reply again.
    events.clear();
    Reply({0x02});
    EXPECT_EQ(Messages(), (std::vector<std::string>{"未知操作"}));
}

TEST_F(CproTest, ReadNeverRunsPastTheBuffer) {
    SetLength(CPro::kBufferSize + 0x10000);
    Reply({OP_READ});
    ASSERT_EQ(Messages().size(), 2u);
    EXPECT_EQ(Messages()[0], "开始读FLASH..." + std::to_string(CPro::kBufferSize + 0x10000));
    EXPECT_NE(Messages()[1].find(std::to_string(CPro::kBufferSize)), std::string::npos);
    events.clear();

    std::array<std::uint8_t, 64> data{};
    data.fill(0x00);
    for (std::uint32_t i = 0; i < CPro::kBufferSize / 64; ++i) engine.OnReceive(data.data(), 64);
    EXPECT_EQ(engine.State(), ProState::Idle);
    EXPECT_EQ(engine.ReadOffset(), CPro::kBufferSize);
    EXPECT_EQ(events.back().value, static_cast<std::int64_t>(CPro::kBufferSize));
    // More data is decoded as replies (opcode 0 is unknown), never stored.
    events.clear();
    engine.OnReceive(data.data(), 64);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"未知操作"}));
    EXPECT_EQ(engine.ReadOffset(), CPro::kBufferSize);
}

TEST_F(CproTest, ReadEndsEarlierWhenTheLengthShrinksMidway) {
    SetLength(16384);
    Reply({OP_READ});
    std::array<std::uint8_t, 64> data{};
    for (int i = 0; i < 10; ++i) engine.OnReceive(data.data(), 64);
    SetLength(100);  // a new command from the UI while the stream runs
    engine.OnReceive(data.data(), 64);
    EXPECT_EQ(engine.State(), ProState::Idle);
    EXPECT_EQ(engine.ReadOffset(), 704u);
}

TEST_F(CproTest, FailureRepliesShowTheWholeByte) {
    SetLength(16384);
    for (std::uint8_t b : {0x85, 0x86, 0x81, 0xFF, 0x80}) Reply({b, 0x12});
    EXPECT_EQ(Messages(), (std::vector<std::string>{"操作失败:85", "操作失败:86", "操作失败:81",
                                                     "操作失败:FF", "操作失败:80"}));
    EXPECT_EQ(engine.State(), ProState::Idle);
    EXPECT_TRUE(packets.empty());  // a failed 0x86 is not a ready reply: nothing streams
    EXPECT_EQ(events.size(), 5u);
    EXPECT_EQ(failures, (std::vector<std::uint8_t>{0x85, 0x86, 0x81, 0xFF, 0x80}));
}

// The stream ends at the first packet that cannot be delivered, or when it is aborted; nothing
// else may be sent while it runs.
TEST_F(CproTest, StreamStopsAtItsFirstFailedPacketAndAllowsNothingInBetween) {
    struct Case {
        int failAt;       // packet index whose send fails; -1: none
        int abortAt;      // packet index before which AbortStream is called; -1: none
        std::size_t packets;
        std::int64_t lastProgress;
        std::vector<std::pair<std::uint32_t, bool>> stops;
    };
    const Case cases[] = {
        {-1, -1, 4, 256, {}},
        {0, -1, 1, 0, {{0, false}}},
        {2, -1, 3, 128, {{128, false}}},
        {-1, 3, 3, 192, {{192, true}}},
    };
    for (const Case& c : cases) {
        packets.clear();
        events.clear();
        stops.clear();
        bool interleaved = false;
        engine.SendFunc = [&](const std::uint8_t* data, std::int32_t length) {
            const int index = static_cast<int>(packets.size());
            packets.emplace_back(data, data + length);
            // A connect block or a command now would land in the middle of the image.
            if (engine.Connect() || engine.SendCommand()) interleaved = true;
            if (index + 1 == c.abortAt) engine.AbortStream();
            return index == c.failAt ? -1 : length;
        };
        engine.PrepareWrite({}, 256);
        Reply({OP_WRITE});
        EXPECT_FALSE(interleaved);
        EXPECT_EQ(packets.size(), c.packets) << c.failAt << " " << c.abortAt;
        EXPECT_EQ(events.empty() ? 0 : events.back().value, c.lastProgress);
        EXPECT_EQ(stops, c.stops);
        EXPECT_FALSE(engine.Streaming());
    }
    // After the stream, sending works again.
    engine.SendFunc = [](const std::uint8_t*, std::int32_t length) { return length; };
    EXPECT_TRUE(engine.Connect());
}

TEST_F(CproTest, UnlistedOpcodesAreUnknown) {
    for (std::uint8_t b : {0x00, 0x02, 0x03, 0x04, 0x08, 0x7F}) Reply({b});
    EXPECT_EQ(Messages(), std::vector<std::string>(6, "未知操作"));
    EXPECT_EQ(engine.State(), ProState::Idle);
    EXPECT_TRUE(packets.empty());
    EXPECT_TRUE(logLines.empty());
}

TEST_F(CproTest, IdentifyPassesTheReplyOnAndChangesNothing) {
    engine.Connect();
    packets.clear();
    Reply({0x01, 0x01, 0x07, 0x09, 0x04, 0x00, 0xEE});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, static_cast<std::uint32_t>(EV_IDENTIFY));
    const std::vector<std::uint8_t> head(events[0].bytes.begin(), events[0].bytes.begin() + 7);
    EXPECT_EQ(head, (std::vector<std::uint8_t>{0x01, 0x01, 0x07, 0x09, 0x04, 0x00, 0xEE}));
    EXPECT_EQ(engine.State(), ProState::Idle);
    EXPECT_TRUE(packets.empty());
}

TEST_F(CproTest, VerifyComparesWithTheImageChecksum) {
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    engine.StoreImage(0, abc, 3);
    engine.PrepareWrite({}, 3);
    Reply({OP_CHECKSUM, 0x7A});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, static_cast<std::uint32_t>(EV_VERIFY));
    EXPECT_EQ(events[0].value, 1);

    events.clear();
    Reply({OP_CHECKSUM, 5});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].code, static_cast<std::uint32_t>(EV_VERIFY));
    EXPECT_EQ(events[0].value, 0);
    EXPECT_EQ(events[1].text, "本地校验：122 设备端校验：5");

    // A length beyond the buffer is checked over the buffer only.
    events.clear();
    engine.PrepareWrite({}, 0xFFFFFFF0u);
    const std::uint8_t whole = CPro::CheckSum(engine.WriteBuffer(), CPro::kBufferSize);
    Reply({OP_CHECKSUM, whole});
    EXPECT_EQ(events[0].value, 1);
}

TEST_F(CproTest, ShortPayloadsReadOnlyWhatIsGiven) {
    // Exactly sized heap blocks, so a read past the end is caught by AddressSanitizer.
    auto one = std::make_unique<std::uint8_t[]>(1);
    one[0] = OP_READ;
    SetLength(128);
    engine.OnReceive(one.get(), 1);
    ASSERT_EQ(engine.State(), ProState::Reading);

    auto ten = std::make_unique<std::uint8_t[]>(10);
    std::memset(ten.get(), 0xAB, 10);
    engine.OnReceive(ten.get(), 10);
    EXPECT_EQ(engine.ReadOffset(), 64u);
    EXPECT_EQ(engine.ReadBuffer()[9], 0xAB);
    EXPECT_EQ(engine.ReadBuffer()[10], 0x00);  // missing bytes count as zero
    EXPECT_EQ(engine.ReadBuffer()[63], 0x00);
    engine.OnReceive(nullptr, 0);
    EXPECT_EQ(engine.State(), ProState::Idle);
    EXPECT_EQ(engine.ReadOffset(), 128u);

    // A checksum reply cut before byte 1 compares against 0; a negative length is nothing.
    events.clear();
    engine.PrepareWrite({}, 0);
    auto seven = std::make_unique<std::uint8_t[]>(1);
    seven[0] = OP_CHECKSUM;
    engine.OnReceive(seven.get(), 1);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].value, 0);
    EXPECT_EQ(events[1].text, "本地校验：26 设备端校验：0");
    events.clear();
    engine.OnReceive(seven.get(), -5);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"未知操作"}));
}

TEST_F(CproTest, HooksMayCallBackIntoTheEngine) {
    // No lock may be held while a hook runs: these calls would deadlock otherwise.
    onEvent = [&](const Event&) {
        engine.SendCommand();
        engine.ResetToIdle();
        (void)engine.Command();
    };
    engine.SendFunc = [&](const std::uint8_t*, std::int32_t length) {
        (void)engine.Chip();
        return length;
    };
    engine.PrepareWrite({}, 640);
    Reply({OP_WRITE});
    SetLength(64);
    Reply({OP_READ});
    EXPECT_EQ(engine.State(), ProState::Reading);  // set after the start message was raised
    Reply({0});
    EXPECT_EQ(engine.State(), ProState::Idle);
}

TEST_F(CproTest, BufferHelpersRefuseOutOfRange) {
    std::vector<std::uint8_t> block(64, 0x11);
    EXPECT_TRUE(engine.StoreImage(CPro::kBufferSize - 64, block.data(), 64));
    EXPECT_FALSE(engine.StoreImage(CPro::kBufferSize - 63, block.data(), 64));
    EXPECT_FALSE(engine.StoreImage(0xFFFFFFFFu, block.data(), 2));
    EXPECT_EQ(engine.WriteBuffer()[CPro::kBufferSize - 1], 0x11);
    EXPECT_TRUE(engine.CopyReadBuffer(CPro::kBufferSize - 64, block.data(), 64));
    EXPECT_EQ(block[0], 0xFF);
    EXPECT_FALSE(engine.CopyReadBuffer(1, block.data(), CPro::kBufferSize));
}

}  // namespace
}  // namespace quillon
