// Store and forward: a station's results that the store could not take when they came are kept
// in a durable local journal (one JSON line per result, one file per station name) and sent
// before the station takes its next number, the way test stations queue results while their
// result server is away. While results wait no new unit starts, so nothing is programmed that
// the store does not know of, and nothing done is lost.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/Station.h"
#include "station/UnitStore.h"

namespace quillon::station {

// The user's own folder for the tool's state ($XDG_STATE_HOME/quillon or ~/.local/state/quillon;
// %LOCALAPPDATA%\quillon on Windows); "" when the system names none. Each system has its file.
std::string UserStateFolder();
// This PC's host name, a station's name unless it is given one; "" when the system names none.
std::string HostName();

// The journal of the station named station in folder: NAME.journal, its name made safe for a
// file name (a name changed so carries a short hash of the original, so two names never meet).
std::string JournalPath(const std::string& folder, const std::string& station);

// One result as a journal line (no line end), and back; nullopt for a line that is not one.
// Every field round-trips byte for byte, text that is not UTF-8 included.
std::string JournalLine(const UnitRecord& unit);
std::optional<UnitRecord> ParseJournalLine(std::string_view line);

// A UnitStore around another (the database) that journals what it cannot deliver.
class JournalingStore : public UnitStore {
public:
    // Creates the journal's folder when missing. Throws std::runtime_error when it cannot.
    JournalingStore(UnitStore& store, std::string journalPath);

    // Sends the waiting results first; throws StoreUnavailable while any still waits.
    StartedUnit startUnit(const UnitRecord& unit, const NumberCheck& check,
                          const std::function<bool()>& cancelled) override;
    // Goes to the store when nothing waits; otherwise, or when the store cannot take it, into the
    // journal (durably) and returns. A result the store refuses for any other reason is journaled
    // too, and the error thrown: it is sent again before the next unit.
    void finishUnit(const UnitRecord& unit, const std::function<bool()>& cancelled) override;
    std::uint64_t peekNext(const std::string& series) override;
    std::optional<std::string> peekPool(const std::string& pool) override;

    // Sends every waiting result in order, each removed once the store took it; returns how many
    // were sent. Throws StoreUnavailable (the rest wait), std::runtime_error for a journal that
    // cannot be read or rewritten, or the store's refusal of a result.
    std::size_t send(const std::function<bool()>& cancelled = {});
    // Results in the journal now. Throws std::runtime_error.
    std::size_t waiting();
    const std::string& path() const { return path_; }

private:
    std::vector<std::string> ReadLocked();
    void WriteLocked(const std::vector<std::string>& lines);
    std::size_t SendLocked(const std::function<bool()>& cancelled);

    UnitStore& store_;
    const std::string path_, lockPath_;
    std::mutex mutex_;  // one caller at a time, into the journal and into the store
};

}  // namespace quillon::station
