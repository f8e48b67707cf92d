// Fresh database stores for tests and figures, on both engines: a SQLite file in a scratch folder
// of its own, or a database of its own on the PostgreSQL server this process starts (once, on
// 127.0.0.1, stopped at exit).
#pragma once

#include <memory>
#include <string>

#include "store/Sql.h"
#include "store/Store.h"
#include "support/Process.h"

namespace quillon::test {

class StoreEngines {
public:
    StoreEngines();
    ~StoreEngines();

    // A location of an empty store; target "" when the engine cannot be had here (skipReason says why).
    store::StoreLocation NewStore(store::Engine engine);
    const std::string& skipReason() const { return skipReason_; }
    // A plain SQL connection to a store, to look at or spoil it behind the store's back.
    std::unique_ptr<store::SqlConnection> RawConnection(const store::StoreLocation& location);

private:
    ScratchDir dir_{"quillon-store"};
    int made_ = 0;
    std::string skipReason_;
};

}  // namespace quillon::test
