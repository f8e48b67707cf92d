// The one "program a unit" step: write an image with the session's programmer, read the chip back
// and compare every byte when asked, and say in one result what was done and what was checked.
// `quillon-cli write` (one programmer or all of them), `verify` and every production station
// call it; each shell only shows the result, in these words, never its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/Image.h"
#include "ops/Session.h"
#include "ops/WriteOptions.h"

namespace quillon {

struct UnitResult {
    OpStatus status = OpStatus::Ok;
    // The operations' own words, joined: the write's sentence, then what the read-back found,
    // then what was not checked. On a failure, why.
    std::string message;
    // What a success rests on: "transfer checksum", "read-back", both ("transfer checksum,
    // read-back"), or "" when nothing was checked.
    std::string checked;
    std::uint32_t bytesWritten = 0;
    ImagePtr written;                       // exactly the bytes that went out (null when none did)
    std::optional<Comparison> comparison;   // when the chip was read and compared
    std::vector<std::string> warnings;      // what the user should know although it went through

    bool ok() const { return status == OpStatus::Ok; }
};

// Connects when the session never did, writes image with options (the same options the
// session was made with), and with options.readback reads the whole flash and compares it with
// the bytes that went out.
UnitResult ProgramUnit(ProgrammerSession& session, const ImagePtr& image, const WriteOptions& options);

// Connects when needed, reads the whole flash and compares it with image (nothing is written).
UnitResult VerifyUnit(ProgrammerSession& session, const Image& image);

// A warning about a read whose every byte is 0x00 (a read-protected chip reads so), or "".
std::string AllZeroReadWarning(const std::vector<std::uint8_t>& bytes);

}  // namespace quillon
