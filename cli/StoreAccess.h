// Opening a line's store for one command: every way the store can fail ends as the command's
// exit code and a message that shows the location without its password.
#pragma once

#include <memory>
#include <string>

#include "cli/Cli.h"
#include "station/Station.h"
#include "store/Store.h"

namespace quillon::cli {

// Parses url, lets refuse(location) turn the location down first (its message, "" to go on),
// opens the store with options and returns body(store). fail(code, message) reports a failure
// and returns code: a location that names no store is a usage error, a store that does not
// answer an error ("store unreachable: ..."), one that refuses (a newer schema, a conflict, a
// refused value: nothing changed) bad input.
template <typename Fail, typename Refuse, typename Body>
int RunOnStore(const std::string& url, const store::StoreOptions& options, Fail&& fail, Refuse&& refuse, Body&& body) {
    store::StoreLocation location;
    try {
        location = store::ParseStoreLocation(url);
    } catch (const store::StoreError& e) {
        return fail(kExitUsage, e.what());
    }
    if (const std::string problem = refuse(location); !problem.empty()) return fail(kExitBadInput, problem);
    try {
        const std::unique_ptr<store::DbStore> db = store::DbStore::Open(location, options);
        return body(*db);
    } catch (const station::StoreUnavailable& e) {
        return fail(kExitError, station::StoreUnreachableText(e));
    } catch (const store::StoreError& e) {
        return fail(kExitBadInput, e.what());
    }
}

}  // namespace quillon::cli
