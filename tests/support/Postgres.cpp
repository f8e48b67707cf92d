// The tests' PostgreSQL server: scripts/pg-scratch.sh does the work, so that shell jobs and
// tests start the server the same way.
#include "support/Postgres.h"

#include "store/Sql.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>

namespace quillon::test {
namespace {

const char* kServerPrograms = "/usr/lib/postgresql/15/bin/initdb";

std::string ExternalUrl() {
    const char* url = std::getenv("QUILLON_TEST_POSTGRES_URL");
    return url ? url : "";
}

}  // namespace

std::string PostgresServer::SkipReason() {
    if (OnWindows()) return "no PostgreSQL server: set QUILLON_TEST_POSTGRES_URL to a running server's URL";
    return std::string("no PostgreSQL server programs (") + kServerPrograms + "; Debian package postgresql)";
}

std::unique_ptr<PostgresServer> PostgresServer::Start() {
    std::unique_ptr<PostgresServer> server(new PostgresServer);
    if (!OnWindows() && std::filesystem::exists(kServerPrograms)) {
        server->scratch_ = std::make_unique<ScratchDir>("quillon-pg");
        server->dir_ = server->scratch_->str();
        std::string url;
        if (!server->script("start", &url)) return nullptr;
        server->readUrl(url);
        return server;
    }
    const std::string external = ExternalUrl();
    if (external.empty()) return nullptr;
    server->readUrl(external);
    return server;
}

PostgresServer* PostgresServer::Shared() {
    static std::unique_ptr<PostgresServer> shared = Start();
    return shared.get();
}

PostgresServer::~PostgresServer() {
    // Also at the process's end (the shared server), when a test failure can no longer be told.
    if (controllable()) RunProcess("bash", {std::string(QUILLON_SOURCE_DIR) + "/scripts/pg-scratch.sh", "stop", dir_});
}

bool PostgresServer::script(const std::string& command, std::string* out) {
    ProcessOptions options;
    options.timeout = std::chrono::seconds(120);
    const auto result = RunProcess("bash", {std::string(QUILLON_SOURCE_DIR) + "/scripts/pg-scratch.sh", command, dir_}, options);
    if (result.code != 0) {
        ADD_FAILURE() << "pg-scratch.sh " << command << " failed (" << result.code << "): " << result.all();
        return false;
    }
    if (out) *out = result.out;
    return true;
}

void PostgresServer::readUrl(const std::string& url) {
    static const std::regex form(R"(postgres(?:ql)?://[^:@/]+:([^@]*)@([^:/]+):(\d+)/)");
    std::smatch match;
    if (!std::regex_search(url, match, form)) {
        ADD_FAILURE() << "a server URL of an unknown form";
        return;
    }
    password_ = match[1];
    host_ = match[2];
    port_ = std::stoi(match[3]);
}

std::string PostgresServer::url(const std::string& database) const {
    return "postgresql://quillon:" + password_ + "@" + host_ + ":" + std::to_string(port_) + "/" + database;
}

void PostgresServer::sql(const std::string& text, const std::string& database) {
    try {
        auto db = store::OpenPostgres(url(database), {});
        db->exec(text);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "SQL on the test server failed: " << e.what();
    }
}

std::string PostgresServer::freshDatabase() {
    const std::string name = "t" + std::to_string(++databases_) + "_" +
                             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    sql("CREATE DATABASE " + name);
    return url(name);
}

void PostgresServer::stop() {
    if (controllable()) script("stop");
}

void PostgresServer::crash() {
    if (controllable()) script("kill");
}

void PostgresServer::start() {
    if (controllable()) script("start");
}

// The statements of a SQL file: split at semicolons outside quotes, $$ bodies and comments.
std::vector<std::string> SqlStatements(const std::string& text) {
    std::vector<std::string> out;
    std::string current;
    bool dollar = false, quote = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!dollar && !quote && c == '-' && i + 1 < text.size() && text[i + 1] == '-') {
            i = std::min(text.find('\n', i), text.size());
            current += '\n';
            continue;
        }
        if (!quote && c == '$' && i + 1 < text.size() && text[i + 1] == '$') {
            dollar = !dollar;
            current += "$$";
            ++i;
            continue;
        }
        if (!dollar && c == '\'') quote = !quote;
        if (!dollar && !quote && c == ';') {
            if (current.find_first_not_of(" \t\r\n") != std::string::npos) out.push_back(current);
            current.clear();
            continue;
        }
        current += c;
    }
    return out;
}

// The example role of a line's stations (examples/production/station-role.sql) on the store at
// ownerUrl, with password; returns the store's URL for a station logged in as that role, without
// its password (give it in PGPASSWORD, as a station would).
std::string PostgresServer::stationRole(const std::string& ownerUrl, const std::string& password) {
    const std::string file = std::string(QUILLON_SOURCE_DIR) + "/examples/production/station-role.sql";
    try {
        auto db = store::OpenPostgres(ownerUrl, {});
        for (const std::string& statement : SqlStatements(ReadFileBytes(file))) db->exec(statement);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "station-role.sql failed: " << e.what();
    }
    sql("ALTER ROLE quillon_station PASSWORD '" + password + "'");
    const std::string owner = "quillon:" + password_ + "@";
    std::string url = ownerUrl;
    if (const auto at = url.find(owner); at != std::string::npos) url.replace(at, owner.size(), "quillon_station@");
    else ADD_FAILURE() << "not an owner's URL of this server";
    return url;
}

}  // namespace quillon::test
