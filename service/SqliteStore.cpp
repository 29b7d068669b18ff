// The embedded store: one SQLite database in WAL mode, synchronous commits,
// versioned migrations applied at open.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <map>
#include <cerrno>
#include <cstring>
#include <limits>
#include <algorithm>
#include <ctime>
#include <mutex>
#include <memory>
#include <sstream>
#include <thread>
#include <utility>

#include "service/Store.h"
#include "service/StoreRows.h"

namespace ostrel::service {
namespace {

// Each entry moves the schema one version on; applied in one transaction each.
const char* const kMigrations[] = {
    // 1: the swipes contract, pending batches, controller states, cards.
    R"(CREATE TABLE swipes (
         id INTEGER PRIMARY KEY AUTOINCREMENT,
         site TEXT NOT NULL, bus TEXT NOT NULL, address INTEGER NOT NULL,
         card TEXT NOT NULL, time TEXT NOT NULL, code_a TEXT NOT NULL, code_b TEXT NOT NULL,
         line TEXT NOT NULL, collected_at TEXT NOT NULL);
       CREATE INDEX swipes_controller_time ON swipes(bus, address, time, id);
       CREATE INDEX swipes_card ON swipes(card, id);
       CREATE TABLE pending_batches (
         bus TEXT NOT NULL, address INTEGER NOT NULL, lines TEXT NOT NULL, committed_at TEXT NOT NULL,
         PRIMARY KEY (bus, address));
       CREATE TABLE controller_states (
         bus TEXT NOT NULL, address INTEGER NOT NULL, state TEXT NOT NULL, PRIMARY KEY (bus, address));
       CREATE TABLE cards (logical TEXT PRIMARY KEY, card TEXT NOT NULL);
       CREATE TABLE card_controllers (
         logical TEXT NOT NULL REFERENCES cards(logical) ON DELETE CASCADE,
         bus TEXT NOT NULL, address INTEGER NOT NULL, PRIMARY KEY (logical, bus, address));
       CREATE TABLE applied_cards (
         bus TEXT NOT NULL, address INTEGER NOT NULL, logical TEXT NOT NULL, fingerprint TEXT NOT NULL,
         applied_at TEXT NOT NULL, PRIMARY KEY (bus, address, logical));)",
    // 2: a pending batch belongs to the physical controller (its line's
    // device key and address), not the bus name it was committed under;
    // batches of before carry "bus:" and their bus name until the service
    // that knows their line takes them over.
    R"(CREATE TABLE pending_batches_by_line (
         device_key TEXT NOT NULL, address INTEGER NOT NULL, bus TEXT NOT NULL, lines TEXT NOT NULL,
         committed_at TEXT NOT NULL, PRIMARY KEY (device_key, address));
       INSERT INTO pending_batches_by_line (device_key, address, bus, lines, committed_at)
         SELECT 'bus:' || bus, address, bus, lines, committed_at FROM pending_batches;
       DROP TABLE pending_batches;
       ALTER TABLE pending_batches_by_line RENAME TO pending_batches;)",
    // 3: how far the MQTT broker acknowledged each node's swipes.
    R"(CREATE TABLE mqtt_positions (node TEXT PRIMARY KEY, swipe_id INTEGER NOT NULL);)",
    // 4: operators (password hashes only) and named API tokens (digests only).
    R"(CREATE TABLE users (
         name TEXT PRIMARY KEY, role TEXT NOT NULL, hash TEXT NOT NULL, disabled INTEGER NOT NULL DEFAULT 0,
         created TEXT NOT NULL);
       CREATE TABLE api_tokens (
         name TEXT PRIMARY KEY, role TEXT NOT NULL, hash TEXT NOT NULL UNIQUE, created TEXT NOT NULL);)",
    // 5: the audit trail; an entry once written is never changed.
    R"(CREATE TABLE audit (
         id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL,
         actor TEXT NOT NULL, actor_kind TEXT NOT NULL, role TEXT NOT NULL, address TEXT NOT NULL,
         action TEXT NOT NULL, target TEXT NOT NULL, params TEXT NOT NULL,
         outcome TEXT NOT NULL, reason TEXT NOT NULL, status INTEGER NOT NULL);
       CREATE INDEX audit_time ON audit(time, id);
       CREATE INDEX audit_actor ON audit(actor, id);
       CREATE TRIGGER audit_unchanged BEFORE UPDATE ON audit
         BEGIN SELECT RAISE(ABORT, 'audit entries are never changed'); END;)",
    // 6: people and the cards they hold over time; swipes by card and time
    // for finding a swipe's holder and a person's days.
    R"(CREATE TABLE people (
         id INTEGER PRIMARY KEY AUTOINCREMENT,
         name TEXT NOT NULL, department TEXT NOT NULL, employee_no TEXT, notes TEXT NOT NULL,
         active INTEGER NOT NULL);
       CREATE UNIQUE INDEX people_employee_no ON people(employee_no) WHERE employee_no IS NOT NULL;
       CREATE INDEX people_department ON people(department);
       CREATE TABLE card_holders (
         id INTEGER PRIMARY KEY AUTOINCREMENT,
         card TEXT NOT NULL, person INTEGER NOT NULL REFERENCES people(id),
         since TEXT NOT NULL, until TEXT);
       CREATE INDEX card_holders_card ON card_holders(card, since);
       CREATE INDEX card_holders_person ON card_holders(person, since);
       CREATE INDEX swipes_card_time ON swipes(card, time, bus, address);)",
};

// A swipe with the person who held its card at the time (NULLs when nobody).
constexpr const char* kSwipeSelect =
    "SELECT s.id, s.site, s.bus, s.address, s.card, s.time, s.code_a, s.code_b, s.line, s.collected_at, "
    "p.id, p.name FROM swipes s "
    "LEFT JOIN card_holders h ON h.card = s.card AND h.since <= s.time AND (h.until IS NULL OR s.time < h.until) "
    "LEFT JOIN people p ON p.id = h.person";
// Who held card ?1 at time ?2.
constexpr const char* kHolderAt =
    "SELECT p.id, p.name FROM card_holders h JOIN people p ON p.id = h.person "
    "WHERE h.card = ?1 AND h.since <= ?2 AND (h.until IS NULL OR ?2 < h.until)";
constexpr const char* kPersonSelect = "SELECT id, name, department, employee_no, notes, active FROM people";
constexpr const char* kHoldingSelect = "SELECT id, card, person, since, until FROM card_holders";

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK)
            throw StoreError(std::string("cannot prepare: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(st_); }
    Statement& bind(int i, const std::string& s) {
        sqlite3_bind_text(st_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // Binds text that stays unchanged and alive until the statement has run:
    // SQLite reads it in place instead of copying it.
    Statement& bindInPlace(int i, const std::string& s) {
        sqlite3_bind_text(st_, i, s.data(), static_cast<int>(s.size()), SQLITE_STATIC);
        return *this;
    }
    Statement& bind(int i, int64_t v) {
        sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    // Empty text is bound as NULL.
    Statement& bindOrNull(int i, const std::string& s) {
        if (s.empty()) sqlite3_bind_null(st_, i);
        else bind(i, s);
        return *this;
    }
    bool isNull(int i) const { return sqlite3_column_type(st_, i) == SQLITE_NULL; }
    // True while a row is there.
    bool step() {
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw StoreError(std::string("database: ") + sqlite3_errmsg(db_));
    }
    void run() {
        step();
        reset();
    }
    void reset() {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
    // Runs it and keeps the bindings for the next run.
    void runKeepingBindings() {
        step();
        sqlite3_reset(st_);
    }
    std::string text(int i) const {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(st_, i));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(st_, i))) : std::string();
    }
    // Into out, reusing its storage.
    void textInto(int i, std::string& out) const {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(st_, i));
        out.assign(p ? p : "", p ? static_cast<size_t>(sqlite3_column_bytes(st_, i)) : 0);
    }
    int64_t integer(int i) const { return sqlite3_column_int64(st_, i); }
    bool null(int i) const { return sqlite3_column_type(st_, i) == SQLITE_NULL; }

private:
    sqlite3* db_;
    sqlite3_stmt* st_ = nullptr;
};

class SqliteStore : public Store {
public:
    SqliteStore(const std::string& path, std::string site, std::chrono::milliseconds busyTimeout)
        : site_(std::move(site)), path_(path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                            nullptr) != SQLITE_OK) {
            std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw StoreError("cannot open " + path + ": " + why);
        }
        sqlite3_busy_timeout(db_, static_cast<int>(busyTimeout.count()));
        try {
            exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON; PRAGMA cache_size=-32768;");
            migrate();
        } catch (...) {
            // Refused (a database newer than this program, or unreadable):
            // the destructor does not run, so close it here.
            sqlite3_close(db_);
            throw;
        }
    }
    ~SqliteStore() override {
        insertAudit_.reset();  // a statement left open would keep the database open
        sqlite3_close(db_);
        if (nodeLock_ >= 0) ::close(nodeLock_);
        if (waiter_) {
            std::lock_guard w(waiter_->mutex);
            waiter_->abandoned = true;
            if (waiter_->fd >= 0) ::close(waiter_->fd);
        }
    }

    std::vector<std::string> pendingBatch(const ControllerRef& c, const std::string& line) override {
        std::lock_guard lock(mutex_);
        const std::string key = batchKey(c, line), legacy = batchKey(c, {});
        Statement s(db_, "SELECT lines FROM pending_batches WHERE device_key = ? AND address = ?");
        s.bind(1, key).bind(2, c.address);
        if (s.step()) return splitLines(s.text(0));
        if (key == legacy) return {};
        // A batch of before, under its bus name: the line takes it over.
        s.reset();
        s.bind(1, legacy).bind(2, c.address);
        if (!s.step()) return {};
        std::vector<std::string> lines = splitLines(s.text(0));
        s.reset();
        Statement move(db_, "UPDATE pending_batches SET device_key = ? WHERE device_key = ? AND address = ?");
        move.bind(1, key).bind(2, legacy).bind(3, c.address).run();
        return lines;
    }

    std::vector<Swipe> commitBatch(const ControllerRef& c, const std::string& line,
                                   const std::vector<std::string>& newLines,
                                   const std::vector<std::string>& allLines) override {
        std::lock_guard lock(mutex_);
        const std::string now = utcNow();
        std::vector<Swipe> rows;
        Transaction tx(*this);
        {
            Statement ins(db_,
                          "INSERT INTO swipes (site, bus, address, card, time, code_a, code_b, line, collected_at) "
                          "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
            // The columns every row shares are bound once; a row's own texts
            // are read in place by the insert (they live in `rows`, whose
            // elements are not moved until the loop is over).
            ins.bindInPlace(1, site_).bindInPlace(2, c.bus).bind(3, c.address).bindInPlace(9, now);
            rows.reserve(newLines.size());
            for (const auto& text : newLines) {
                Swipe& s = rows.emplace_back(parseRecordLine(text));
                ins.bindInPlace(4, s.card).bindInPlace(5, s.time).bindInPlace(6, s.codeA).bindInPlace(7, s.codeB);
                ins.bindInPlace(8, s.line);
                ins.runKeepingBindings();
                s.id = sqlite3_last_insert_rowid(db_);
            }
            for (auto& s : rows) {
                s.site = site_;
                s.bus = c.bus;
                s.address = c.address;
                s.collectedAt = now;
            }
            const std::string key = batchKey(c, line), legacy = batchKey(c, {});
            Statement p(db_,
                        "INSERT OR REPLACE INTO pending_batches (device_key, address, bus, lines, committed_at) "
                        "VALUES (?, ?, ?, ?, ?)");
            const std::string joined = joinLines(allLines);
            p.bind(1, key).bind(2, c.address).bind(3, c.bus).bindInPlace(4, joined).bind(5, now).run();
            Statement old(db_, "DELETE FROM pending_batches WHERE device_key = ? AND address = ?");
            if (key != legacy) old.bind(1, legacy).bind(2, c.address).run();
            Statement holder(db_, kHolderAt);
            for (auto& s : rows) {
                holder.bind(1, s.card).bind(2, s.time);
                if (holder.step()) s.person = PersonRef{holder.integer(0), holder.text(1)};
                holder.reset();
            }
        }
        tx.commit();
        return rows;
    }

    void batchCleared(const ControllerRef& c, const std::string& line) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "DELETE FROM pending_batches WHERE device_key IN (?, ?) AND address = ?");
        s.bind(1, batchKey(c, line)).bind(2, batchKey(c, {})).bind(3, c.address).run();
    }

    std::vector<Swipe> swipes(const SwipeQuery& q) override {
        std::string sql = std::string(kSwipeSelect) + " WHERE s.id > ?";
        if (q.bus) sql += " AND s.bus = ?";
        if (q.address) sql += " AND s.address = ?";
        if (q.card) sql += " AND s.card = ?";
        if (q.since) sql += " AND s.time >= ?";
        if (q.until) sql += " AND s.time <= ?";
        if (q.before) sql += " AND s.id < ?";
        // The cards the person (or department) ever held narrow the swipes
        // read through their index; the holding then decides each swipe.
        if (q.person) sql += " AND h.person = ? AND s.card IN (SELECT card FROM card_holders WHERE person = ?)";
        if (q.department)
            sql += " AND p.department = ? AND s.card IN (SELECT c.card FROM card_holders c JOIN people d "
                   "ON d.id = c.person WHERE d.department = ?)";
        sql += q.newestFirst ? " ORDER BY s.id DESC LIMIT ?" : " ORDER BY s.id LIMIT ?";
        std::lock_guard lock(mutex_);
        Statement s(db_, sql.c_str());
        int i = 1;
        s.bind(i++, q.after);
        if (q.bus) s.bind(i++, *q.bus);
        if (q.address) s.bind(i++, int64_t{*q.address});
        if (q.card) s.bind(i++, *q.card);
        if (q.since) s.bind(i++, *q.since);
        if (q.until) s.bind(i++, *q.until);
        if (q.before) s.bind(i++, *q.before);
        for (int n = 0; q.person && n < 2; ++n) s.bind(i++, *q.person);
        for (int n = 0; q.department && n < 2; ++n) s.bind(i++, *q.department);
        s.bind(i++, int64_t{q.limit});
        std::vector<Swipe> out;
        while (s.step()) {
            Swipe w;
            w.id = s.integer(0);
            w.site = s.text(1);
            w.bus = s.text(2);
            w.address = static_cast<int>(s.integer(3));
            w.card = s.text(4);
            w.time = s.text(5);
            w.codeA = s.text(6);
            w.codeB = s.text(7);
            w.line = s.text(8);
            w.collectedAt = s.text(9);
            if (!s.isNull(10)) w.person = PersonRef{s.integer(10), s.text(11)};
            out.push_back(std::move(w));
        }
        return out;
    }

    int64_t addAudit(const AuditEntry& e) override {
        std::lock_guard lock(mutex_);
        if (!insertAudit_)
            insertAudit_ = std::make_unique<Statement>(
                db_,
                "INSERT INTO audit (time, actor, actor_kind, role, address, action, target, params, outcome, "
                "reason, status) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        Statement& s = *insertAudit_;
        s.bindInPlace(1, e.time).bindInPlace(2, e.actor).bindInPlace(3, e.actorKind).bindInPlace(4, e.role);
        s.bindInPlace(5, e.address).bindInPlace(6, e.action).bindInPlace(7, e.target).bindInPlace(8, e.params);
        s.bindInPlace(9, e.outcome).bindInPlace(10, e.reason).bind(11, int64_t{e.status});
        try {
            s.run();
        } catch (...) {
            s.reset();
            throw;
        }
        return sqlite3_last_insert_rowid(db_);
    }

    std::vector<AuditEntry> audit(const AuditQuery& q) override {
        std::string sql =
            "SELECT id, time, actor, actor_kind, role, address, action, target, params, outcome, reason, status "
            "FROM audit WHERE id < ?";
        if (q.actor) sql += " AND actor = ?";
        if (q.action) sql += " AND action = ?";
        if (q.since) sql += " AND time >= ?";
        if (q.until) sql += " AND time <= ?";
        sql += " ORDER BY id DESC LIMIT ?";
        std::lock_guard lock(mutex_);
        Statement s(db_, sql.c_str());
        int i = 1;
        s.bind(i++, q.before > 0 ? q.before : INT64_MAX);
        for (const auto* v : {&q.actor, &q.action, &q.since, &q.until})
            if (*v) s.bind(i++, **v);
        s.bind(i++, int64_t{q.limit});
        std::vector<AuditEntry> out;
        while (s.step()) {
            AuditEntry e;
            e.id = s.integer(0);
            e.time = s.text(1);
            e.actor = s.text(2);
            e.actorKind = s.text(3);
            e.role = s.text(4);
            e.address = s.text(5);
            e.action = s.text(6);
            e.target = s.text(7);
            e.params = s.text(8);
            e.outcome = s.text(9);
            e.reason = s.text(10);
            e.status = static_cast<int>(s.integer(11));
            out.push_back(std::move(e));
        }
        return out;
    }

    int64_t pruneAudit(const std::string& olderThan, int limit) override {
        std::lock_guard lock(mutex_);
        Statement s(db_,
                    "DELETE FROM audit WHERE id IN (SELECT id FROM audit WHERE time < ? ORDER BY time, id LIMIT ?)");
        s.bind(1, olderThan).bind(2, int64_t{limit}).run();
        return sqlite3_changes(db_);
    }

    PruneStep pruneSwipes(const SwipeAge& age, int64_t after, int window) override {
        std::lock_guard lock(mutex_);
        PruneStep out;
        out.next = after;
        Transaction tx(*this);
        // Nothing a node still owes its MQTT broker goes.
        int64_t ceiling = std::numeric_limits<int64_t>::max();
        {
            Statement m(db_, "SELECT MIN(swipe_id) FROM mqtt_positions");
            if (m.step() && !m.null(0)) ceiling = m.integer(0);
        }
        Statement w(db_,
                    "SELECT MAX(id), COUNT(*), COALESCE(SUM(collected_at < ?), 0) FROM "
                    "(SELECT id, collected_at FROM swipes WHERE id > ? AND id <= ? ORDER BY id LIMIT ?)");
        w.bind(1, age.collectedBefore).bind(2, after).bind(3, ceiling).bind(4, int64_t{window});
        w.step();
        const int64_t last = w.integer(0), seen = w.integer(1), collectedBefore = w.integer(2);
        w.reset();
        if (seen > 0 && collectedBefore > 0) {
            Statement d(db_, "DELETE FROM swipes WHERE id > ? AND id <= ? AND time < ? AND collected_at < ?");
            d.bind(1, after).bind(2, last).bind(3, age.timeBefore).bind(4, age.collectedBefore).run();
            out.deleted = sqlite3_changes(db_);
            out.next = last;
        }
        // Ids rise with collection: a window without an old collection, or
        // the end, means nothing further may go yet.
        out.done = seen < window || collectedBefore == 0;
        if (out.done && ceiling != std::numeric_limits<int64_t>::max()) {
            // The first old swipe within a window past the owed position.
            Statement o(db_,
                        "SELECT MIN(id) FROM (SELECT id, time, collected_at FROM swipes WHERE id > ? ORDER BY id "
                        "LIMIT ?) WHERE time < ? AND collected_at < ?");
            o.bind(1, std::max(ceiling, after)).bind(2, int64_t{window}).bind(3, age.timeBefore);
            o.bind(4, age.collectedBefore);
            if (o.step() && !o.null(0)) out.owedFrom = o.integer(0);
        }
        tx.commit();
        return out;
    }

    int64_t mqttPosition(const std::string& node) override {
        std::lock_guard lock(mutex_);
        Statement start(db_,
                        "INSERT OR IGNORE INTO mqtt_positions (node, swipe_id) "
                        "SELECT ?, COALESCE(MAX(id), 0) FROM swipes");
        start.bind(1, node).run();
        Statement s(db_, "SELECT swipe_id FROM mqtt_positions WHERE node = ?");
        s.bind(1, node);
        if (!s.step()) throw StoreError("database: no MQTT position for node " + node);
        return s.integer(0);
    }

    void saveMqttPosition(const std::string& node, int64_t swipeId) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "INSERT OR REPLACE INTO mqtt_positions (node, swipe_id) VALUES (?, ?)");
        s.bind(1, node).bind(2, swipeId).run();
    }

    void saveState(const ControllerRef& c, const nlohmann::json& state) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "INSERT OR REPLACE INTO controller_states (bus, address, state) VALUES (?, ?, ?)");
        s.bind(1, c.bus).bind(2, c.address).bind(3, state.dump()).run();
    }

    std::map<ControllerRef, nlohmann::json> states() override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "SELECT bus, address, state FROM controller_states");
        std::map<ControllerRef, nlohmann::json> out;
        while (s.step())
            out[{s.text(0), static_cast<int>(s.integer(1))}] = nlohmann::json::parse(s.text(2), nullptr, false);
        return out;
    }

    std::vector<DesiredCard> cards() override {
        std::lock_guard lock(mutex_);
        return cardsWhere("", "");
    }

    std::optional<DesiredCard> card(const std::string& logical) override {
        std::lock_guard lock(mutex_);
        auto v = cardsWhere(" WHERE logical = ?", logical);
        if (v.empty()) return std::nullopt;
        return v.front();
    }

    void putCard(const DesiredCard& d) override {
        std::lock_guard lock(mutex_);
        Transaction tx(*this);
        {
            Statement s(db_, "INSERT OR REPLACE INTO cards (logical, card) VALUES (?, ?)");
            s.bind(1, d.card.logical).bind(2, cardJson(d.card).dump()).run();
            Statement del(db_, "DELETE FROM card_controllers WHERE logical = ?");
            del.bind(1, d.card.logical).run();
            Statement ins(db_, "INSERT OR IGNORE INTO card_controllers (logical, bus, address) VALUES (?, ?, ?)");
            for (const auto& c : d.controllers) ins.bind(1, d.card.logical).bind(2, c.bus).bind(3, c.address).run();
        }
        tx.commit();
    }

    bool deleteCard(const std::string& logical) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "DELETE FROM cards WHERE logical = ?");
        s.bind(1, logical).run();
        return sqlite3_changes(db_) > 0;
    }

    std::map<std::string, std::string> applied(const ControllerRef& c) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "SELECT logical, fingerprint FROM applied_cards WHERE bus = ? AND address = ?");
        s.bind(1, c.bus).bind(2, c.address);
        std::map<std::string, std::string> out;
        while (s.step()) out[s.text(0)] = s.text(1);
        return out;
    }

    void setApplied(const ControllerRef& c, const std::string& logical, const std::string& fp) override {
        std::lock_guard lock(mutex_);
        Statement s(db_,
                    "INSERT OR REPLACE INTO applied_cards (bus, address, logical, fingerprint, applied_at) "
                    "VALUES (?, ?, ?, ?, ?)");
        s.bind(1, c.bus).bind(2, c.address).bind(3, logical).bind(4, fp).bind(5, utcNow()).run();
    }

    void removeApplied(const ControllerRef& c, const std::string& logical) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "DELETE FROM applied_cards WHERE bus = ? AND address = ? AND logical = ?");
        s.bind(1, c.bus).bind(2, c.address).bind(3, logical).run();
    }

    void clearApplied(const ControllerRef& c) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "DELETE FROM applied_cards WHERE bus = ? AND address = ?");
        s.bind(1, c.bus).bind(2, c.address).run();
    }

    std::vector<UserRecord> users() override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "SELECT name, role, hash, disabled, created FROM users ORDER BY name");
        std::vector<UserRecord> out;
        while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2), s.text(4), s.integer(3) != 0});
        return out;
    }

    std::optional<UserRecord> user(const std::string& name) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "SELECT name, role, hash, disabled, created FROM users WHERE name = ?");
        s.bind(1, name);
        if (!s.step()) return std::nullopt;
        return UserRecord{s.text(0), s.text(1), s.text(2), s.text(4), s.integer(3) != 0};
    }

    bool addUser(const UserRecord& u) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "INSERT OR IGNORE INTO users (name, role, hash, disabled, created) VALUES (?, ?, ?, ?, ?)");
        s.bind(1, u.name).bind(2, u.role).bind(3, u.hash).bind(4, int64_t{u.disabled}).bind(5, utcNow()).run();
        return sqlite3_changes(db_) > 0;
    }

    bool setUserHash(const std::string& name, const std::string& hash) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "UPDATE users SET hash = ? WHERE name = ?");
        s.bind(1, hash).bind(2, name).run();
        return sqlite3_changes(db_) > 0;
    }

    bool setUserDisabled(const std::string& name, bool disabled) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "UPDATE users SET disabled = ? WHERE name = ?");
        s.bind(1, int64_t{disabled}).bind(2, name).run();
        return sqlite3_changes(db_) > 0;
    }

    bool removeUser(const std::string& name) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "DELETE FROM users WHERE name = ?");
        s.bind(1, name).run();
        return sqlite3_changes(db_) > 0;
    }

    std::vector<TokenRecord> tokens() override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "SELECT name, role, hash, created FROM api_tokens ORDER BY name");
        std::vector<TokenRecord> out;
        while (s.step()) out.push_back({s.text(0), s.text(1), s.text(2), s.text(3)});
        return out;
    }

    bool addToken(const TokenRecord& t) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "INSERT OR IGNORE INTO api_tokens (name, role, hash, created) VALUES (?, ?, ?, ?)");
        s.bind(1, t.name).bind(2, t.role).bind(3, t.hash).bind(4, utcNow()).run();
        return sqlite3_changes(db_) > 0;
    }

    bool removeToken(const std::string& name) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, "DELETE FROM api_tokens WHERE name = ?");
        s.bind(1, name).run();
        return sqlite3_changes(db_) > 0;
    }

    std::vector<Person> people(const PersonQuery& q) override {
        std::string sql = std::string(kPersonSelect) + " WHERE 1 = 1";
        if (q.text) sql += " AND (instr(lower(name), lower(?1)) > 0 OR employee_no = ?1)";
        if (q.department) sql += " AND department = ?2";
        if (q.active) sql += " AND active = ?3";
        sql += " ORDER BY name, id";
        std::lock_guard lock(mutex_);
        Statement s(db_, sql.c_str());
        if (q.text) s.bind(1, *q.text);
        if (q.department) s.bind(2, *q.department);
        if (q.active) s.bind(3, int64_t{*q.active ? 1 : 0});
        std::vector<Person> out;
        while (s.step()) out.push_back(personRow(s));
        return out;
    }

    std::optional<Person> person(int64_t id) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, (std::string(kPersonSelect) + " WHERE id = ?").c_str());
        s.bind(1, id);
        if (!s.step()) return std::nullopt;
        return personRow(s);
    }

    int64_t addPerson(const Person& p) override {
        std::lock_guard lock(mutex_);
        Transaction tx(*this);
        const int64_t id = insertPerson(p);
        tx.commit();
        return id;
    }

    bool updatePerson(const Person& p) override {
        std::lock_guard lock(mutex_);
        Transaction tx(*this);
        employeeNoFree(p.employeeNo, p.id);
        Statement s(db_, "UPDATE people SET name = ?, department = ?, employee_no = ?, notes = ?, active = ? WHERE id = ?");
        s.bind(1, p.name).bind(2, p.department).bindOrNull(3, p.employeeNo).bind(4, p.notes);
        s.bind(5, int64_t{p.active ? 1 : 0}).bind(6, p.id).run();
        const bool changed = sqlite3_changes(db_) > 0;
        tx.commit();
        return changed;
    }

    std::vector<Holding> holdings(int64_t person) override {
        std::lock_guard lock(mutex_);
        Statement s(db_, (std::string(kHoldingSelect) + (person ? " WHERE person = ?" : "") + " ORDER BY since, id").c_str());
        if (person) s.bind(1, person);
        std::vector<Holding> out;
        while (s.step()) out.push_back(holdingRow(s));
        return out;
    }

    std::vector<Holding> cardHoldings(const std::string& card) override {
        std::lock_guard lock(mutex_);
        return holdingsOf(card);
    }

    Holding holdCard(const std::string& card, int64_t person, const std::string& since) override {
        std::lock_guard lock(mutex_);
        Transaction tx(*this);
        Holding h = insertHolding(card, person, since);
        tx.commit();
        return h;
    }

    std::optional<Holding> returnCard(const std::string& card, const std::string& until) override {
        std::lock_guard lock(mutex_);
        Transaction tx(*this);
        auto h = endHolding(card, until);
        tx.commit();
        return h;
    }

    void importCards(const std::vector<ImportLine>& lines, const std::string& at) override {
        std::lock_guard lock(mutex_);
        Transaction tx(*this);
        {
            // Each statement prepared once: a file may hold many thousands of cards.
            Statement put(db_, "INSERT INTO cards (logical, card) VALUES (?, ?) "
                               "ON CONFLICT (logical) DO UPDATE SET card = excluded.card");
            // Holdings never overlap, so the latest tells whether the card is held.
            Statement latest(db_, "SELECT id, person, since, until FROM card_holders WHERE card = ? "
                                  "ORDER BY since DESC, id DESC LIMIT 1");
            Statement end(db_, "UPDATE card_holders SET until = ? WHERE id = ?");
            Statement hold(db_, "INSERT INTO card_holders (card, person, since) VALUES (?, ?, ?)");
            std::map<std::pair<std::string, std::string>, int64_t> created;  // by name and department
            for (const ImportLine& l : lines) {
                const std::string& card = l.card.logical;
                put.bind(1, card).bind(2, cardJson(l.card).dump()).run();
                if (!l.holderNamed) continue;
                int64_t person = l.holder.id;
                if (!person) {
                    auto key = std::pair{l.holder.name, l.holder.department};
                    auto it = created.find(key);
                    person = it != created.end() ? it->second : created[key] = insertPerson(l.holder);
                }
                latest.bind(1, card);
                if (latest.step()) {
                    const int64_t id = latest.integer(0), holder = latest.integer(1);
                    const std::string since = latest.text(2), until = latest.text(3);
                    const bool open = latest.isNull(3);
                    latest.reset();
                    if (open && holder == person) continue;
                    if (open && at < since) throw StoreConflict("card " + card + " is held since " + since + ", after " + at);
                    if (!open && until > at) throw StoreConflict("card " + card + " was held until " + until);
                    if (open) end.bind(1, at).bind(2, id).run();
                } else {
                    latest.reset();
                }
                hold.bind(1, card).bind(2, person).bind(3, at).run();
            }
        }
        tx.commit();
    }

    void attendanceSwipes(const AttendanceQuery& q, const std::function<void(const AttendanceSwipe&)>& take) override {
        std::string sql = "SELECT h.person, s.time, s.bus, s.address FROM card_holders h ";
        if (q.department) sql += "JOIN people p ON p.id = h.person AND p.department = ?4 ";
        sql += "JOIN swipes s ON s.card = h.card AND s.time >= h.since AND (h.until IS NULL OR s.time < h.until) "
               "WHERE s.time >= ?1 AND s.time < ?2 AND (h.until IS NULL OR h.until > ?1) AND h.since < ?2";
        if (q.person) sql += " AND h.person = ?3";
        std::lock_guard lock(mutex_);
        Statement s(db_, sql.c_str());
        s.bind(1, q.since).bind(2, q.until);
        if (q.person) s.bind(3, *q.person);
        if (q.department) s.bind(4, *q.department);
        AttendanceSwipe a;
        while (s.step()) {
            a.person = s.integer(0);
            s.textInto(1, a.time);
            s.textInto(2, a.bus);
            a.address = static_cast<int>(s.integer(3));
            take(a);
        }
    }

    // One database file serves one node: its leases are all held together
    // by an exclusive lock on a file beside the database, which the kernel
    // lets go the moment the process ends. A second ostreld on the same file
    // waits as a standby.
    bool takeLease(const std::string&, const std::string&, const std::string&, std::chrono::milliseconds) override {
        std::lock_guard lock(mutex_);
        if (nodeLock_ >= 0) return true;
        if (waiter_) {
            // The waiting thread asks for the lock; a second request from
            // this process would only compete with it.
            std::lock_guard w(waiter_->mutex);
            if (waiter_->fd < 0) return false;
            nodeLock_ = std::exchange(waiter_->fd, -1);
            return true;
        }
        int fd = ::open((path_ + "-node.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
        if (fd < 0) throw StoreError("cannot open " + path_ + "-node.lock: " + std::strerror(errno));
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return false;
        }
        nodeLock_ = fd;
        return true;
    }
    void dropLease(const std::string&, const std::string&) override {}

    // A standby waits on the lock itself: a thread blocks on it and has it
    // the instant the other ostreld ends, then wakes the leases' thread.
    void watchReleases() override {
        std::lock_guard lock(mutex_);
        if (waiter_ || nodeLock_ >= 0) return;
        int fd = ::open((path_ + "-node.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
        if (fd < 0) throw StoreError("cannot open " + path_ + "-node.lock: " + std::strerror(errno));
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            nodeLock_ = fd;  // free: nothing to wait for
            return;
        }
        auto w = std::make_shared<LockWaiter>();
        w->event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (w->event < 0) {
            ::close(fd);
            throw StoreError(std::string("cannot wait for the lock: ") + std::strerror(errno));
        }
        // Not joined: a lock that never comes keeps the thread blocked
        // until the process ends; it touches only its own state.
        std::thread([w, fd] {
            int r;
            do r = ::flock(fd, LOCK_EX);
            while (r != 0 && errno == EINTR);
            std::lock_guard g(w->mutex);
            if (r != 0 || w->abandoned) {
                ::close(fd);
                return;
            }
            w->fd = fd;
            const uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(w->event, &one, sizeof one);
        }).detach();
        waiter_ = std::move(w);
    }
    int releaseFd() override {
        std::lock_guard lock(mutex_);
        return waiter_ && nodeLock_ < 0 ? waiter_->event : -1;
    }
    bool releasesPending() override {
        std::lock_guard lock(mutex_);
        if (!waiter_ || nodeLock_ >= 0) return false;
        uint64_t n = 0;
        return ::read(waiter_->event, &n, sizeof n) == sizeof n;
    }
    std::string leaseNode(const std::string&) override {
        std::lock_guard lock(mutex_);
        return nodeLock_ >= 0 ? "this node" : "another ostreld on " + path_;
    }
    // Nobody else can hold a lease while this process holds the file lock.
    void fenceCommits(const std::string&, std::chrono::milliseconds) override {}

private:
    // Rolls back unless committed.
    class Transaction {
    public:
        explicit Transaction(SqliteStore& s) : s_(s) { s_.exec("BEGIN IMMEDIATE"); }
        ~Transaction() {
            if (!done_) sqlite3_exec(s_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        void commit() {
            s_.exec("COMMIT");
            done_ = true;
        }

    private:
        SqliteStore& s_;
        bool done_ = false;
    };

    void exec(const std::string& sql) {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::string why = err ? err : sqlite3_errmsg(db_);
            sqlite3_free(err);
            throw StoreError("database: " + why);
        }
    }

    void migrate() {
        exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        int64_t version = 0;
        {
            Statement s(db_, "SELECT MAX(version) FROM schema_version");
            if (s.step()) version = s.integer(0);
        }
        const int64_t latest = static_cast<int64_t>(std::size(kMigrations));
        if (version > latest)
            throw StoreError("the database has schema version " + std::to_string(version) +
                             ", newer than this program's " + std::to_string(latest));
        for (int64_t v = version; v < latest; ++v) {
            Transaction tx(*this);
            exec(kMigrations[v]);
            exec("INSERT INTO schema_version (version) VALUES (" + std::to_string(v + 1) + ")");
            tx.commit();
        }
    }

    static Person personRow(const Statement& s) {
        Person p;
        p.id = s.integer(0);
        p.name = s.text(1);
        p.department = s.text(2);
        p.employeeNo = s.text(3);
        p.notes = s.text(4);
        p.active = s.integer(5) != 0;
        return p;
    }

    static Holding holdingRow(const Statement& s) {
        return {s.integer(0), s.text(1), s.integer(2), s.text(3), s.text(4)};
    }

    void employeeNoFree(const std::string& number, int64_t self) {
        if (number.empty()) return;
        Statement s(db_, "SELECT id FROM people WHERE employee_no = ? AND id != ?");
        s.bind(1, number).bind(2, self);
        if (s.step()) throw StoreConflict("employee number " + number + " belongs to person " + std::to_string(s.integer(0)));
    }

    int64_t insertPerson(const Person& p) {
        employeeNoFree(p.employeeNo, 0);
        Statement s(db_, "INSERT INTO people (name, department, employee_no, notes, active) VALUES (?, ?, ?, ?, ?)");
        s.bind(1, p.name).bind(2, p.department).bindOrNull(3, p.employeeNo).bind(4, p.notes);
        s.bind(5, int64_t{p.active ? 1 : 0}).run();
        return sqlite3_last_insert_rowid(db_);
    }

    std::vector<Holding> holdingsOf(const std::string& card) {
        Statement s(db_, (std::string(kHoldingSelect) + " WHERE card = ? ORDER BY since, id").c_str());
        s.bind(1, card);
        std::vector<Holding> out;
        while (s.step()) out.push_back(holdingRow(s));
        return out;
    }

    Holding insertHolding(const std::string& card, int64_t person, const std::string& since) {
        if (std::string why = holdingConflict(holdingsOf(card), since); !why.empty()) throw StoreConflict(why);
        Statement s(db_, "INSERT INTO card_holders (card, person, since) VALUES (?, ?, ?)");
        s.bind(1, card).bind(2, person).bind(3, since).run();
        return {sqlite3_last_insert_rowid(db_), card, person, since, {}};
    }

    std::optional<Holding> endHolding(const std::string& card, const std::string& until) {
        auto held = holdingsOf(card);
        if (held.empty() || !held.back().until.empty()) return std::nullopt;
        Holding h = held.back();
        if (until < h.since) throw StoreConflict("card " + card + " is held since " + h.since + ", after " + until);
        Statement s(db_, "UPDATE card_holders SET until = ? WHERE id = ?");
        s.bind(1, until).bind(2, h.id).run();
        h.until = until;
        return h;
    }

    std::vector<DesiredCard> cardsWhere(const std::string& where, const std::string& arg) {
        Statement s(db_, ("SELECT logical, card FROM cards" + where + " ORDER BY logical").c_str());
        if (!arg.empty()) s.bind(1, arg);
        std::vector<DesiredCard> out;
        while (s.step()) {
            DesiredCard d;
            d.card = cardFromJson(s.text(0), nlohmann::json::parse(s.text(1)));
            out.push_back(std::move(d));
        }
        Statement c(db_, "SELECT bus, address FROM card_controllers WHERE logical = ? ORDER BY bus, address");
        for (auto& d : out) {
            c.bind(1, d.card.logical);
            while (c.step()) d.controllers.push_back({c.text(0), static_cast<int>(c.integer(1))});
            c.reset();
        }
        return out;
    }

    std::string site_;
    std::string path_;
    int nodeLock_ = -1;
    // The blocked request for the lock of a standby and what it got.
    struct LockWaiter {
        std::mutex mutex;
        int fd = -1;       // the lock's descriptor once held, until taken over
        int event = -1;    // readable once it is held
        bool abandoned = false;
        ~LockWaiter() {
            if (event >= 0) ::close(event);
        }
    };
    std::shared_ptr<LockWaiter> waiter_;
    sqlite3* db_ = nullptr;
    std::mutex mutex_;
    std::unique_ptr<Statement> insertAudit_;  // prepared once: every audited request runs it
};

}  // namespace

Swipe parseRecordLine(const std::string& line) {
    // address|card|YYYY-MM-DD|hh:mm|code_a|code_b; missing fields stay empty.
    std::array<std::string_view, 6> f;
    std::string_view rest = line;
    for (size_t i = 0; i < f.size(); ++i) {
        const size_t bar = rest.find('|');
        f[i] = rest.substr(0, bar);
        if (bar == std::string_view::npos) break;
        rest.remove_prefix(bar + 1);
    }
    Swipe s;
    s.line = line;
    s.card = f[1];
    s.time.reserve(f[2].size() + 1 + f[3].size());
    s.time.append(f[2]).append("T").append(f[3]);
    s.codeA = f[4];
    s.codeB = f[5];
    return s;
}

std::string fingerprint(const CardEntry& c) {
    return c.physical + "|" + c.validFrom + "|" + c.validTo + "|" + c.hoursFrom + "|" + c.hoursTo + "|" +
           std::to_string(c.dayFirst) + "|" + std::to_string(c.dayLast) + "|" + std::to_string(c.lock1) + "|" +
           std::to_string(c.lock2);
}

std::unique_ptr<Store> openStore(const std::string& url, const std::string& site,
                                 std::chrono::milliseconds busyTimeout) {
    if (url.rfind("sqlite:", 0) == 0) return std::make_unique<SqliteStore>(url.substr(7), site, busyTimeout);
    if (url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0) return openPgStore(url, site);
    throw StoreError("unknown store " + url + " (sqlite:PATH or postgresql://USER@HOST/DB)");
}

}  // namespace ostrel::service
