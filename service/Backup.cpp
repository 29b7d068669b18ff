#include "service/Backup.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "service/Redact.h"
#include "service/Store.h"

namespace ostrel::service {
namespace {

namespace fs = std::filesystem;

// Pages copied per step (4 MB at the default page size).
constexpr int kPagesPerStep = 1024;

struct Db {
    sqlite3* db = nullptr;
    ~Db() { sqlite3_close(db); }
    void exec(const char* sql) {
        char* err = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
            std::string why = err ? err : sqlite3_errmsg(db);
            sqlite3_free(err);
            throw StoreError(std::string("backup: ") + why);
        }
    }
    // The first column of the first row as text ("" when none).
    std::string value(const char* sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK)
            throw StoreError(std::string("backup: ") + sqlite3_errmsg(db));
        std::string out;
        if (sqlite3_step(st) == SQLITE_ROW) {
            auto p = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
            out = p ? p : "";
        }
        sqlite3_finalize(st);
        return out;
    }
};

void fsyncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) throw StoreError("backup: cannot open " + path + ": " + std::strerror(errno));
    const int r = ::fsync(fd);
    const int e = errno;
    ::close(fd);
    if (r != 0) throw StoreError("backup: cannot flush " + path + ": " + std::strerror(e));
}

// The partial copy goes unless it was given its name.
struct Partial {
    std::string path;
    bool kept = false;
    ~Partial() {
        if (!kept && !path.empty()) ::unlink(path.c_str());
    }
};

}  // namespace

BackupResult backupSqlite(const std::string& dbPath, const std::string& dest) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(dest, ec)))
        throw StoreError("backup: " + dest + " exists; a backup never replaces a file");
    Db src;
    if (sqlite3_open_v2(dbPath.c_str(), &src.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        throw StoreError("backup: cannot open " + dbPath + ": " + (src.db ? sqlite3_errmsg(src.db) : "out of memory"));
    sqlite3_busy_timeout(src.db, 5000);
    if (src.value("SELECT COUNT(*) FROM sqlite_master WHERE name = 'swipes'") != "1")
        throw StoreError("backup: " + dbPath + " is no ostreld database (no swipes table)");
    // One read transaction for the whole copy: every step reads the same
    // snapshot, and the service's commits meanwhile go to the WAL.
    src.exec("BEGIN");
    src.value("SELECT COUNT(*) FROM sqlite_master");

    const fs::path target(dest);
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    Partial partial;
    std::string tmpl = (dir / (target.filename().string() + ".partial-XXXXXX")).string();
    const int fd = ::mkstemp(tmpl.data());  // 0600: the copy holds the card list
    if (fd < 0) throw StoreError("backup: cannot create a file in " + dir.string() + ": " + std::strerror(errno));
    ::close(fd);
    partial.path = tmpl;

    Db dst;
    if (sqlite3_open_v2(tmpl.c_str(), &dst.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        throw StoreError("backup: cannot open " + tmpl + ": " + (dst.db ? sqlite3_errmsg(dst.db) : "out of memory"));
    BackupResult out;
    sqlite3_backup* b = sqlite3_backup_init(dst.db, "main", src.db, "main");
    if (!b) throw StoreError(std::string("backup: ") + sqlite3_errmsg(dst.db));
    int rc;
    int busy = 0;
    while ((rc = sqlite3_backup_step(b, kPagesPerStep)) != SQLITE_DONE) {
        if (rc == SQLITE_OK) {
            ++out.steps;
            busy = 0;
        } else if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && ++busy < 500) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } else {
            break;
        }
    }
    ++out.steps;
    sqlite3_backup_finish(b);
    if (rc != SQLITE_DONE) throw StoreError(std::string("backup: copying: ") + sqlite3_errstr(rc));
    src.exec("COMMIT");

    // The copy stands alone: one file, no WAL beside it.
    dst.exec("PRAGMA journal_mode=DELETE");
    if (const std::string check = dst.value("PRAGMA quick_check"); check != "ok")
        throw StoreError("backup: the copy fails its check: " + check);
    out.swipes = std::stoll(dst.value("SELECT COUNT(*) FROM swipes"));
    out.cards = std::stoll(dst.value("SELECT COUNT(*) FROM cards"));
    const std::string version = dst.value("SELECT MAX(version) FROM schema_version");
    out.schemaVersion = version.empty() ? 0 : std::stoll(version);
    sqlite3_close(dst.db);
    dst.db = nullptr;

    fsyncPath(tmpl, O_RDONLY);
    // link() refuses an existing name: a file that appeared meanwhile stays.
    if (::link(tmpl.c_str(), dest.c_str()) != 0)
        throw StoreError("backup: cannot name the copy " + dest + ": " + std::strerror(errno));
    partial.kept = true;
    ::unlink(tmpl.c_str());
    fsyncPath(dir.string(), O_RDONLY | O_DIRECTORY);
    out.bytes = fs::file_size(dest, ec);
    return out;
}

std::string pgBackupAdvice(const std::string& url) {
    const std::string u = redact(url);
    return "the store is PostgreSQL, which has its own consistent copy while the service runs:\n"
           "  pg_dump --format=custom --file=ostrel.dump '" + u + "'\n"
           "and to restore it into an empty database (ostreld stopped):\n"
           "  pg_restore --dbname='" + u + "' --no-owner ostrel.dump";
}

}  // namespace ostrel::service
