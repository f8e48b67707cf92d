// Device side of the simulated programmer: command decoding, NOR flash, read protection, reset,
// the checksum of a received image, and the chip file shared between processes.
// A read-protected chip answers a read with zero bytes (its flash cannot be read out); it can be
// written only together with an erase, which also lifts the protection.
#include "SimProgrammer.h"

#include "fs/Files.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <stdexcept>
#include <system_error>
#include <utility>


namespace quillon::sim {

namespace {

std::uint32_t u32At(const Payload& p, std::size_t at) {
    return std::uint32_t(p[at]) | std::uint32_t(p[at + 1]) << 8 | std::uint32_t(p[at + 2]) << 16 |
           std::uint32_t(p[at + 3]) << 24;
}

std::size_t packetsFor(std::size_t length) { return (length + 63) / 64; }

}  // namespace

std::uint8_t checksum(std::span<const std::uint8_t> bytes, std::uint8_t seed) {
    std::uint8_t sum = seed;
    for (std::uint8_t b : bytes) sum ^= b;
    return sum;
}

SimProgrammer::SimProgrammer(std::size_t flashSize, std::uint8_t firmware, std::uint8_t version)
    : flash_(flashSize, 0xFF), firmware_(firmware), version_(version) {}

void SimProgrammer::setFlash(std::span<const std::uint8_t> bytes) {
    std::copy_n(bytes.begin(), std::min(bytes.size(), flash_.size()), flash_.begin());
    changed_ = true;
}

bool SimProgrammer::takeChanged() { return std::exchange(changed_, false); }

Emitted SimProgrammer::reply(std::uint8_t b0, std::uint8_t b1) {
    Emitted e;
    e.bytes[0] = b0;
    e.bytes[1] = b1;
    return e;
}

void SimProgrammer::abandonStream() {
    if (packetsLeft_ > 0 && streamOffset_ > 0) changed_ = true;
    packetsLeft_ = 0;
    streamLength_ = streamOffset_ = 0;
}

void SimProgrammer::receive(std::span<const std::uint8_t> payload, Clock::time_point now,
                            std::vector<Emitted>& out) {
    Payload p{};
    std::copy_n(payload.begin(), std::min(payload.size(), p.size()), p.begin());

    if (packetsLeft_ > 0 && now - lastPacket_ > kStreamTimeout) abandonStream();

    if (packetsLeft_ > 0) {
        lastPacket_ = now;
        imagePacket(p, out);
        return;
    }
    commandLog_.push_back(p);
    if (faults.silent) return;
    lastPacket_ = now;
    command(p, out);
}

void SimProgrammer::command(const Payload& p, std::vector<Emitted>& out) {
    const std::uint8_t op = p[0];
    const auto fail = [&] { out.push_back(reply(std::uint8_t(op | kFailureBit))); };
    if (faults.failOpcode != 0 && op == faults.failOpcode) return fail();

    switch (op) {
    case kOpIdentify: {
        // The echo proves that the firmware parsed the block: (b2 XOR b3) OR u16(b4..5).
        std::uint16_t echo = std::uint16_t((p[2] ^ p[3]) | (p[4] | p[5] << 8));
        if (faults.badEcho) ++echo;
        Emitted e = reply(kOpIdentify, faults.noChip ? 0 : 1);
        e.bytes[2] = firmware_;
        e.bytes[3] = version_;
        e.bytes[4] = std::uint8_t(echo & 0xFF);
        e.bytes[5] = std::uint8_t(echo >> 8);
        out.push_back(e);
        return;
    }
    case kOpRead: {
        const std::size_t length = u32At(p, 8);
        if (faults.noChip || length > flash_.size()) return fail();
        out.push_back(reply(kOpRead));
        std::size_t packets = packetsFor(length);
        if (faults.readStopAfter >= 0) packets = std::min(packets, std::size_t(faults.readStopAfter));
        for (std::size_t i = 0; i < packets; ++i) {
            Emitted e;
            e.data = true;
            if (!protected_) std::copy_n(flash_.begin() + std::ptrdiff_t(i * 64), 64, e.bytes.begin());
            out.push_back(e);
        }
        return;
    }
    case kOpWrite: {
        const std::size_t length = u32At(p, 8);
        const bool erase = p[13] != 0;
        if (faults.noChip || length > flash_.size() || (protected_ && !erase)) return fail();
        if (erase) {
            std::fill(flash_.begin(), flash_.end(), 0xFF);
            protected_ = false;
            changed_ = true;
        }
        out.push_back(reply(kOpWrite));
        streamLength_ = length;
        streamOffset_ = 0;
        streamSum_ = kChecksumSeed;
        streamProtect_ = p[12] != 0;
        streamReset_ = p[3] != 0;
        packetsLeft_ = packetsFor(length);
        if (packetsLeft_ == 0) finishWrite(out);
        return;
    }
    default:
        return fail();
    }
}

void SimProgrammer::imagePacket(const Payload& p, std::vector<Emitted>& out) {
    ++imagePackets_;
    // Only the announced length is programmed: the padding of the last packet is not image.
    const std::size_t n = std::min<std::size_t>(64, streamLength_ - streamOffset_);
    for (std::size_t i = 0; i < n; ++i) flash_[streamOffset_ + i] &= p[i];  // NOR: only clears bits
    streamSum_ = checksum(std::span(p).first(n), streamSum_);
    streamOffset_ += n;
    if (--packetsLeft_ == 0) finishWrite(out);
}

void SimProgrammer::finishWrite(std::vector<Emitted>& out) {
    out.push_back(reply(kOpChecksum, faults.badChecksum ? std::uint8_t(streamSum_ ^ 0xFF) : streamSum_));
    if (streamProtect_) protected_ = true;
    if (streamReset_) ++resetCount_;
    changed_ = true;
    streamLength_ = streamOffset_ = 0;
}

// Chip file: "QSIMCHIP", format 1, protected flag, two zero bytes, u32 flash size, u32 reset
// count (all little-endian), then the flash bytes.
namespace {
constexpr char kMagic[8] = {'Q', 'S', 'I', 'M', 'C', 'H', 'I', 'P'};
constexpr std::size_t kHeader = 20;

void setU32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = std::uint8_t(x >> (8 * i));
}
std::uint32_t getU32(const std::vector<std::uint8_t>& v, std::size_t at) {
    return std::uint32_t(v[at]) | std::uint32_t(v[at + 1]) << 8 | std::uint32_t(v[at + 2]) << 16 |
           std::uint32_t(v[at + 3]) << 24;
}
}  // namespace

bool loadChipFile(const std::string& file, SimProgrammer& chip) {
    if (StatPath(file).error != 0) return false;
    std::string text;
    try {
        text = ReadWholeFile(file);
    } catch (const std::system_error& e) {
        throw std::runtime_error("cannot open simulated chip file " + file + ": " + e.code().message());
    }
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    if (bytes.size() < kHeader || !std::equal(std::begin(kMagic), std::end(kMagic), bytes.begin()) ||
        bytes[8] != 1)
        throw std::runtime_error("not a simulated chip file: " + file);
    const std::size_t size = getU32(bytes, 12);
    if (bytes.size() != kHeader + size) throw std::runtime_error("damaged simulated chip file: " + file);
    if (size != chip.flashSize())
        throw std::runtime_error("simulated chip file " + file + " holds a " + std::to_string(size) +
                                 "-byte chip, this programmer has " + std::to_string(chip.flashSize()) +
                                 " bytes");
    chip.setFlash(std::span(bytes).subspan(kHeader));
    chip.setProtected(bytes[9] != 0);
    chip.setResetCount(int(getU32(bytes, 16)));
    chip.takeChanged();
    return true;
}

void saveChipFile(const std::string& file, const SimProgrammer& chip) {
    // Header: magic, format 1, protection flag, two spare bytes, flash size, reset count.
    std::vector<std::uint8_t> bytes(kHeader);
    std::copy(std::begin(kMagic), std::end(kMagic), bytes.begin());
    bytes[8] = 1;
    bytes[9] = chip.isProtected() ? 1 : 0;
    setU32(bytes, 12, std::uint32_t(chip.flashSize()));
    setU32(bytes, 16, std::uint32_t(chip.resetCount()));
    bytes.insert(bytes.end(), chip.flash().begin(), chip.flash().end());

    // A reader in another process must see the old chip or the new one, never half of each.
    try {
        WriteFileAtomically(file, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                            Durability::Durable);
    } catch (const std::system_error& e) {
        throw std::runtime_error("cannot replace simulated chip file " + file + ": " + e.code().message());
    }
}

}  // namespace quillon::sim
