// ostreld backup: a consistent copy of the SQLite store taken while the
// service runs. The copy reads one snapshot of the database (WAL lets the
// service go on committing meanwhile) and is written in steps to a new file
// beside the destination, checked, flushed to disk and only then given its
// name. An existing destination is never replaced.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel::service {

struct BackupResult {
    int64_t swipes = 0, cards = 0, schemaVersion = 0;
    uint64_t bytes = 0;
    int steps = 0;
};

// Throws StoreError naming what failed; nothing is left at dest then.
BackupResult backupSqlite(const std::string& dbPath, const std::string& dest);

// What `ostreld backup` says for a PostgreSQL store: the pg_dump way, the
// URL without its password.
std::string pgBackupAdvice(const std::string& url);

}  // namespace ostrel::service
