// Joining a unit log's records into units: a station writes a taken record before the chip and a
// pass/fail record after it, both carrying the unit's number; a unit without a number has only
// its outcome.
#include "store/LogImport.h"

#include <map>

#include "hash/Sha256.h"
#include "station/UnitLog.h"
#include "store/Store.h"

namespace quillon::store {

LogUnits UnitsOfLog(std::string_view logText, const std::string& logSeries, const std::string& storeSeries) {
    const station::LogCheck check = station::CheckUnitLog(logText);
    if (!check.valid) throw StoreError("the unit log's " + check.reason);
    std::vector<station::UnitLogEntry> entries;
    std::vector<std::size_t> lineOf;
    std::vector<std::string> textOf;
    bool foreign = false;
    LogUnits result;
    std::size_t lineNo = 0;
    for (std::string_view rest = logText; !rest.empty();) {
        ++lineNo;
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        auto entry = station::ParseUnitLogLine(line);
        if (!entry) {
            ++result.truncated;
            continue;
        }
        if (!entry->record.series.empty() && entry->record.series != logSeries) foreign = true;
        entries.push_back(std::move(*entry));
        lineOf.push_back(lineNo);
        textOf.emplace_back(line);
    }
    std::map<std::uint64_t, std::size_t> bySerial;  // number -> index in result.units
    std::map<std::uint64_t, bool> finished;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        station::UnitRecord record = entries[i].record;
        const std::string& what = entries[i].result;
        const std::string at = "the unit log's line " + std::to_string(lineOf[i]);
        if (!record.serial) {
            if (what == "taken") continue;  // nothing was taken without a number
            record.series.clear();
            record.unitId = "log:" + Sha256::Hex(textOf[i]).substr(0, 32);
            result.units.push_back(std::move(record));
            continue;
        }
        const bool ours = record.series == logSeries || (record.series.empty() && !foreign);
        if (!ours) {
            ++result.otherSeries;
            continue;
        }
        const std::uint64_t number = *record.serial;
        record.series = storeSeries;
        record.unitId = "log:" + storeSeries + ":" + std::to_string(number);
        const auto known = bySerial.find(number);
        if (what == "taken") {
            if (known != bySerial.end())
                throw StoreError(at + " takes serial " + std::to_string(number) + " again");
            bySerial[number] = result.units.size();
            result.units.push_back(std::move(record));
            continue;
        }
        if (known == bySerial.end()) {
            // A log written before taken records were kept: the outcome alone.
            bySerial[number] = result.units.size();
            finished[number] = true;
            result.units.push_back(std::move(record));
            continue;
        }
        if (finished[number])
            throw StoreError(at + " gives serial " + std::to_string(number) + " a second result");
        finished[number] = true;
        result.units[known->second] = std::move(record);
    }
    return result;
}

}  // namespace quillon::store
