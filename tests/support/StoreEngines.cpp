// Each store a test asks for is new and empty, so tests never see each other's numbers.
#include "support/StoreEngines.h"

#include "support/Postgres.h"

namespace quillon::test {

StoreEngines::StoreEngines() = default;
StoreEngines::~StoreEngines() = default;

store::StoreLocation StoreEngines::NewStore(store::Engine engine) {
    ++made_;
    if (engine == store::Engine::Sqlite) return store::ParseStoreLocation(dir_ / ("store" + std::to_string(made_) + ".db"));
    PostgresServer* server = PostgresServer::Shared();
    if (server == nullptr) {
        skipReason_ = PostgresServer::SkipReason();
        return {};
    }
    return store::ParseStoreLocation(server->freshDatabase());
}

std::unique_ptr<store::SqlConnection> StoreEngines::RawConnection(const store::StoreLocation& location) {
    const store::SqlTimeouts timeouts;
    return location.engine == store::Engine::Sqlite ? store::OpenSqlite(location.target, timeouts)
                                                    : store::OpenPostgres(location.target, timeouts);
}

}  // namespace quillon::test
