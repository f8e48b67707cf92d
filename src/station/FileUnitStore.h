// The files behind a station, the store of one PC: the counter file (station/Serial.h) hands out
// the numbers, the unit log (station/UnitLog.h) keeps the records. Both are locked, replaced or
// appended durably, and shared safely by several stations and processes.
#pragma once

#include <string>

#include "station/UnitStore.h"

namespace quillon::station {

class FileUnitStore : public UnitStore {
public:
    // logPath "": numbers are taken without a record of them, and outcomes are not kept.
    // allowSerialJump: records far ahead of the counter may move it (CatchUpWithRecord).
    FileUnitStore(std::string counterFile, std::string logPath, bool allowSerialJump)
        : counterFile_(std::move(counterFile)), logPath_(std::move(logPath)), allowJump_(allowSerialJump) {}

    // Without a series nothing is taken and nothing recorded (the log keeps outcomes only).
    StartedUnit startUnit(const UnitRecord& unit, const NumberCheck& check,
                            const std::function<bool()>& cancelled) override;
    void finishUnit(const UnitRecord& unit, const std::function<bool()>& cancelled) override;
    std::uint64_t peekNext(const std::string& series) override;

private:
    const std::string counterFile_, logPath_;
    const bool allowJump_;
};

}  // namespace quillon::station
