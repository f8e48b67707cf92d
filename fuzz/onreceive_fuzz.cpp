// libFuzzer harness for the protocol engine's report decoding.
// The input is a script: each step starts with one control byte that picks an input report
// (full 64 bytes or short), a Connect, a new command (length and opcode from the next bytes),
// a watchdog reset or a chip selection. The hooks check every packet and event payload and
// call back into the engine, so an overrun, a bad payload or a lock held across a hook shows.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/Cpro.h"

namespace {

using quillon::CPro;

[[noreturn]] void Fail() { __builtin_trap(); }

struct Observer {
    CPro* engine = nullptr;
    std::int32_t lastWrite = 0;
    volatile std::uint32_t sink = 0;
};

void Check(bool ok) {
    if (!ok) Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CPro engine;
    Observer obs;
    obs.engine = &engine;

    engine.SendFunc = [&obs](const std::uint8_t* bytes, std::int32_t length) -> std::int32_t {
        Check(length > 0 && length <= 64);
        std::uint32_t acc = 0;
        for (std::int32_t i = 0; i < length; ++i) acc += bytes[i];
        obs.sink = obs.sink + acc;
        return length;
    };
    // Calling back into the engine from a listener must never deadlock.
    struct Checker : quillon::ProListener {
        Observer& obs;
        explicit Checker(Observer& o) : obs(o) {}
        void message(const std::string& text) override {
            (void)obs.engine->Command();
            Check(text.size() < 96);
        }
        void identified(const std::array<std::uint8_t, 64>& reply) override {
            (void)obs.engine->Command();
            std::uint32_t acc = 0;
            for (int i = 0; i < 64; ++i) acc += reply[i];
            obs.sink = obs.sink + acc;
            Check((reply[0] & 0x7F) == quillon::OP_IDENTIFY);
        }
        void readProgress(std::uint32_t offset) override {
            (void)obs.engine->Command();
            Check(offset <= CPro::kBufferSize && offset % 64 == 0);
        }
        void writeProgress(std::int32_t sent) override {
            (void)obs.engine->Command();
            Check(sent > 0 && sent <= static_cast<std::int32_t>(CPro::kBufferSize) + 63);
            Check(sent == 64 || sent == obs.lastWrite + 64);
            obs.lastWrite = sent;
        }
        void streamStopped(std::uint32_t, bool) override { Fail(); }  // every packet is taken here
        void failureReply(std::uint8_t reply) override { Check((reply & 0x80) != 0); }
    } checker(obs);
    engine.SetListener(&checker);

    static const char* const kChips[] = {"NRF24LE1_16K", "NRF24LU1_16K", "NRF24LU1_32K",
                                         "nrf24lu1_32k"};
    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t control = data[pos++];
        switch (control & 7) {
            case 0:
            case 1:
            case 2:
            case 3: {
                // Mostly full reports; with the top bit set a short one, handed over exactly as
                // long as it is so that any read past its end is caught.
                std::size_t want = (control & 0x80) ? ((control >> 3) & 0x0F) * 4 : 64;
                const std::size_t take = want < size - pos ? want : size - pos;
                engine.OnReceive(take ? data + pos : nullptr, static_cast<std::int32_t>(take));
                pos += take;
                break;
            }
            case 4:
                engine.Connect();
                break;
            case 5: {
                std::uint32_t length = 0;
                for (int i = 0; i < 4 && pos < size; ++i)
                    length |= static_cast<std::uint32_t>(data[pos++]) << (8 * i);
                const std::uint8_t opcode = pos < size ? data[pos++] : 0;
                engine.EditCommand([&](quillon::ProCommand& c) {
                    c.opcode = opcode;
                    c.length = length;
                });
                engine.SendCommand();
                break;
            }
            case 6:
                engine.ResetToIdle();
                break;
            default:
                engine.SelectChip(kChips[(control >> 3) & 3]);
                break;
        }
        Check(engine.ReadOffset() <= CPro::kBufferSize);
    }
    return 0;
}
