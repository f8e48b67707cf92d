// Numbers and records in files: a number is on the log as taken, under the counter's lock,
// before the counter moves past it; an outcome is appended and synced before the next unit.
#include "station/FileUnitStore.h"

#include <cerrno>
#include <system_error>

#include "fs/Files.h"
#include "station/Station.h"
#include "station/UnitLog.h"

namespace quillon::station {

namespace {
std::runtime_error CannotAppend(const std::string& path, const std::system_error& e) {
    return std::runtime_error("cannot append to the unit log " + path + ": " + SystemReason(e.code().value()));
}
}  // namespace

StartedUnit FileUnitStore::startUnit(const UnitRecord& unit, const NumberCheck& check,
                                     const std::function<bool()>& cancelled) {
    if (!unit.data.empty())
        throw SerialError("per-unit data from pool " + unit.data.front().pool + " needs a database store (--store)");
    if (unit.series.empty()) return {};
    // The log keeps the record of numbers taken, under the counter's lock.
    class LogJournal : public SerialJournal {
    public:
        LogJournal(const FileUnitStore& store, const UnitRecord& unit, const NumberCheck& check,
                   const std::function<bool()>& cancelled)
            : store_(store), unit_(unit), check_(check), cancelled_(cancelled) {}
        std::optional<std::uint64_t> lastTaken() override {
            if (store_.logPath_.empty()) return std::nullopt;
            return ReadLastTakenSerial(store_.logPath_, unit_.series);
        }
        void taken(std::uint64_t number) override {
            // Under the counter's lock, before anything is on record: a refused number stays free.
            if (check_) {
                try {
                    check_(number);
                } catch (const SerialError& e) {
                    throw SerialError("the serial numbers of " + store_.counterFile_ +
                                               " are exhausted for this field: " + e.what() +
                                               "; no number was taken");
                }
            }
            if (store_.logPath_.empty()) return;
            UnitRecord record = unit_;
            record.serial = number;
            // A stop while another process holds the log gives up here, before the chip is touched.
            try {
                AppendUnitLog(store_.logPath_, TakenLogLine(record), cancelled_);
            } catch (const std::system_error& e) {
                if (e.code().value() == ECANCELED)
                    throw SerialCancelled("stopped while waiting for " + store_.logPath_);
                throw CannotAppend(store_.logPath_, e);
            }
        }

    private:
        const FileUnitStore& store_;
        const UnitRecord& unit_;
        const NumberCheck& check_;
        const std::function<bool()>& cancelled_;
    } journal(*this, unit, check, cancelled);
    return {TakeNextSerial(counterFile_, &journal, cancelled, allowJump_), {}};
}

void FileUnitStore::finishUnit(const UnitRecord& unit, const std::function<bool()>& cancelled) {
    if (logPath_.empty()) return;
    try {
        AppendUnitLog(logPath_, UnitLogLine(unit), cancelled);
    } catch (const std::system_error& e) {
        if (e.code().value() == ECANCELED) throw StoreWaitCancelled("stopped while waiting for " + logPath_);
        throw CannotAppend(logPath_, e);
    }
}

std::uint64_t FileUnitStore::peekNext(const std::string& series) {
    const std::uint64_t counter = PeekLastSerial(counterFile_);
    std::string tail;
    if (!logPath_.empty()) {
        // Read without the lock and without creating anything: records are appended whole.
        try {
            tail = ReadFileTail(logPath_, kLogTailBytes);
        } catch (const std::system_error& e) {
            if (e.code().value() != ENOENT)
                throw SerialError("cannot read unit log " + logPath_ + ": " + SystemReason(e.code().value()));
        }
    }
    const std::uint64_t last = CatchUpWithRecord(counterFile_, counter, LastTakenSerial(tail, series), allowJump_);
    if (last == UINT64_MAX)
        throw SerialError("serial counter " + counterFile_ + " is exhausted (it holds " + std::to_string(last) +
                                   ", the largest number)");
    return last + 1;
}

}  // namespace quillon::station
