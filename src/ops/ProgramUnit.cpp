// The unit step: only the session's operations, in order, each result taken as it is and
// joined into one; the words of every part come from the operation that did it.
#include "ops/ProgramUnit.h"

#include <algorithm>

namespace quillon {

namespace {

// A session that never connected is connected here; one whose link was lost stays so (its
// operations fail as such), so that a unit never moves to another programmer half-way.
std::optional<UnitResult> Connected(ProgrammerSession& session) {
    if (session.linkOpen() || session.linkLost()) return std::nullopt;
    const OpsResult c = session.connect();
    if (c.status == OpStatus::Ok) return std::nullopt;
    UnitResult failed;
    failed.status = c.status;
    failed.message = c.message;
    return failed;
}

// Reads the chip and compares it with image into result (which keeps what it already says).
void ReadBackAndCompare(ProgrammerSession& session, const Image& image, UnitResult& result) {
    std::vector<std::uint8_t> chip;
    const OpsResult r = session.read(chip);
    if (r.status != OpStatus::Ok) {
        result.status = r.status;
        result.message = "read-back: " + r.message;
        return;
    }
    if (std::string zero = AllZeroReadWarning(chip); !zero.empty()) result.warnings.push_back(std::move(zero));
    const Comparison c = CompareWithImage(chip, image);
    result.comparison = c;
    if (!c.equal) {
        result.status = OpStatus::VerifyFailure;
        result.message = c.message();
        return;
    }
    result.checked += result.checked.empty() ? "read-back" : ", read-back";
}

}  // namespace

std::string AllZeroReadWarning(const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty() || !std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; })) return {};
    return "every byte read is 0x00: a read-protected chip reads as all zeros, so this may not be the chip's content";
}

UnitResult ProgramUnit(ProgrammerSession& session, const ImagePtr& image, const WriteOptions& options) {
    if (auto failed = Connected(session)) return *failed;
    UnitResult result;
    const OpsResult w = session.write(image);
    result.status = w.status;
    result.message = w.message;
    result.bytesWritten = w.bytes;
    result.written = w.image;
    if (w.status != OpStatus::Ok) return result;
    if (w.verified) result.checked = "transfer checksum";
    if (!options.verify) result.message += "; the flash was not verified (verify is off)";
    if (options.readback) {
        // The read-back is compared with the very bytes that went out.
        ReadBackAndCompare(session, w.image ? *w.image : *image, result);
        if (result.ok()) result.message += "; read-back matches all " + std::to_string(image->bytes.size()) + " bytes";
    } else if (!options.erase) {
        // Unerased flash keeps old bits that the transfer checksum cannot see.
        result.message += "; flash content not checked (not erased first, not read back)";
    } else if (w.verified) {
        // A success claims what was checked, and no more.
        result.message += "; not read back (the transfer checksum covers the bytes sent, not the flash)";
    }
    return result;
}

UnitResult VerifyUnit(ProgrammerSession& session, const Image& image) {
    if (auto failed = Connected(session)) return *failed;
    UnitResult result;
    ReadBackAndCompare(session, image, result);
    if (result.ok())
        result.message = "the chip holds the image: " + std::to_string(image.bytes.size()) + " bytes" +
                         (image.source.empty() ? std::string() : " of " + image.source) + " match";
    return result;
}

}  // namespace quillon
