// Keeping a database password out of every text the store hands on. libpq's messages rarely
// repeat a password, but a malformed URL's message can quote the part that holds it; every
// message from the PostgreSQL side passes through HideSecrets before it leaves.
#pragma once

#include <string>
#include <vector>

namespace quillon::store {

// The password(s) a libpq connection string or URI carries, as written and as libpq reads them
// (percent-decoded, unquoted), and PGPASSWORD's; also for text libpq cannot parse.
std::vector<std::string> PasswordsIn(const std::string& conninfo);

// text with every occurrence of each secret replaced by "***".
std::string HideSecrets(std::string text, const std::vector<std::string>& secrets);

}  // namespace quillon::store
