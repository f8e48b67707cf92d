// Readiness of a profile's station: the same checks quillon-cli station makes before its first
// unit, in the same order, so a profile that runs in one shell runs in the other.
#include "station/ProfileStation.h"

#include <system_error>

#include "fs/Files.h"
#include "protocol/Chips.h"
#include "protocol/Cpro.h"
#include "station/FileUnitStore.h"
#include "station/UnitLog.h"

namespace quillon::station {

ProfileStation PrepareProfileStation(const Profile& p, const std::string& version) {
    ProfileStation ready;
    StationConfig& c = ready.config;
    if (!p.store.empty() || !p.data.empty() || !p.series.empty())
        throw ProfileError("this station keeps its records in files only; the profile's store, series and data "
                           "cannot be used");
    c.chipIndex = ChipIndex(p.chip);
    if (c.chipIndex < 0) throw ProfileError("unknown chip '" + p.chip + "'");
    c.chipName = p.chip;
    c.flashSize = kChips[static_cast<std::size_t>(c.chipIndex)].flashSize;
    ImageLoad load = ReadImageFile(p.image, CPro::kBufferSize);
    if (!load.image) throw ProfileError(load.error);
    if (load.image->fileSha256 != p.imageSha256) throw ProfileError(kImageChanged);
    if (load.image->bytes.empty()) throw ProfileError(p.image + ": the image is empty (the file holds no data records)");
    if (load.image->bytes.size() > c.flashSize)
        throw ProfileError(p.image + ": the image is " + std::to_string(load.image->bytes.size()) +
                           " bytes, larger than the " + std::to_string(c.flashSize) + "-byte flash of " + p.chip);
    c.image = load.image;
    c.write = p.write;
    c.write.readback = p.write.readback && !p.write.protect;
    c.pollMs = p.pollMs;
    c.device = p.device;
    c.all = p.all;
    c.version = version;
    c.station = p.station;
    c.holdAfterFailures = p.holdAfterFailures;
    try {
        if (!p.serial.empty()) {
            c.serial = ParseSerialField(p.serial);
            (void)PeekLastSerial(p.serialFile);
            c.series = SeriesOf(p.serialFile);
            CheckCounterWritable(p.serialFile);
        }
        if (!p.log.empty()) {
            if (const std::string problem = LogAppendProblem(p.log); !problem.empty()) throw ProfileError(problem);
            try {
                std::uint64_t size = 0;
                const std::string tail = ReadFileTail(p.log, kLogTailBytes, &size);
                const LogCheck check = CheckUnitLogTail(tail, size <= tail.size());
                if (!check.valid) throw ProfileError(p.log + " is not a unit log (" + check.reason + "); refusing to append");
            } catch (const std::system_error& e) {
                if (e.code().value() != ENOENT)
                    throw ProfileError("cannot read unit log " + p.log + ": " + SystemReason(e.code().value()));
            }
        }
        if (c.serial || !p.log.empty()) {
            ready.store = std::make_unique<FileUnitStore>(p.serialFile, p.log, false);
            // The first unit's number must fit its field: refused now rather than after a unit.
            if (c.serial) {
                std::vector<std::uint8_t> bytes = c.image->bytes;
                (void)PatchImage(bytes, c.serial->address,
                                 EncodeSerial(ready.store->peekNext(c.series), c.serial->format), c.flashSize);
            }
        }
    } catch (const SerialError& e) {
        throw ProfileError(e.what());
    }
    return ready;
}

}  // namespace quillon::station
