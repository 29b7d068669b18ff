// The shared store: one PostgreSQL database that several nodes use at once.
// The same tables and the same swipes contract as the embedded store, plus
// the bus leases that decide which node serves a bus. One connection per
// store; a broken connection is re-established on the next call.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <map>
#include <cerrno>
#include <limits>
#include <mutex>
#include <optional>

#include "service/Redact.h"
#include "service/Store.h"
#include "service/StoreRows.h"

namespace ostrel::service {
namespace {

// Each entry moves the schema one version on; applied in one transaction
// each, under a lock so that nodes starting together migrate once.
const char* const kMigrations[] = {
    // 1: the swipes contract, pending batches, controller states, cards.
    R"(CREATE TABLE swipes (
         id BIGSERIAL PRIMARY KEY,
         site TEXT NOT NULL, bus TEXT NOT NULL, address INTEGER NOT NULL,
         card TEXT NOT NULL, time TEXT NOT NULL, code_a TEXT NOT NULL, code_b TEXT NOT NULL,
         line TEXT NOT NULL, collected_at TEXT NOT NULL);
       CREATE INDEX swipes_controller_time ON swipes(bus, address, time, id);
       CREATE INDEX swipes_card ON swipes(card, id);
       CREATE INDEX swipes_time ON swipes(time, id);
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
    // 2: which node serves which bus, until when (the database's clock).
    R"(CREATE TABLE leases (
         key TEXT PRIMARY KEY, holder TEXT NOT NULL, node TEXT NOT NULL, expires_at TIMESTAMPTZ NOT NULL);)",
    // 3: a pending batch belongs to the physical controller (its line's
    // device key and address), not the bus name it was committed under;
    // batches of before carry "bus:" and their bus name until a node that
    // knows their line takes them over.
    R"(ALTER TABLE pending_batches ADD COLUMN device_key TEXT;
       UPDATE pending_batches SET device_key = 'bus:' || bus;
       ALTER TABLE pending_batches ALTER COLUMN device_key SET NOT NULL;
       ALTER TABLE pending_batches DROP CONSTRAINT pending_batches_pkey;
       ALTER TABLE pending_batches ADD PRIMARY KEY (device_key, address);)",
    // 4: how far the MQTT broker acknowledged each node's swipes.
    R"(CREATE TABLE mqtt_positions (node TEXT PRIMARY KEY, swipe_id BIGINT NOT NULL);)",
    // 5: operators (password hashes only) and named API tokens (digests only).
    R"(CREATE TABLE users (
         name TEXT PRIMARY KEY, role TEXT NOT NULL, hash TEXT NOT NULL, disabled INTEGER NOT NULL DEFAULT 0,
         created TEXT NOT NULL);
       CREATE TABLE api_tokens (
         name TEXT PRIMARY KEY, role TEXT NOT NULL, hash TEXT NOT NULL UNIQUE, created TEXT NOT NULL);)",
    // 6: the audit trail; an entry once written is never changed.
    R"(CREATE TABLE audit (
         id BIGSERIAL PRIMARY KEY, time TEXT NOT NULL,
         actor TEXT NOT NULL, actor_kind TEXT NOT NULL, role TEXT NOT NULL, address TEXT NOT NULL,
         action TEXT NOT NULL, target TEXT NOT NULL, params TEXT NOT NULL,
         outcome TEXT NOT NULL, reason TEXT NOT NULL, status INTEGER NOT NULL);
       CREATE INDEX audit_time ON audit(time, id);
       CREATE INDEX audit_actor ON audit(actor, id);
       CREATE FUNCTION audit_unchanged() RETURNS trigger LANGUAGE plpgsql AS
         $$ BEGIN RAISE EXCEPTION 'audit entries are never changed'; END $$;
       CREATE TRIGGER audit_unchanged BEFORE UPDATE ON audit FOR EACH ROW EXECUTE FUNCTION audit_unchanged();)",
    // 7: people and the cards they hold over time; swipes by card and time
    // for finding a swipe's holder and a person's days.
    R"(CREATE TABLE people (
         id BIGSERIAL PRIMARY KEY,
         name TEXT NOT NULL, department TEXT NOT NULL, employee_no TEXT, notes TEXT NOT NULL,
         active BOOLEAN NOT NULL);
       CREATE UNIQUE INDEX people_employee_no ON people(employee_no) WHERE employee_no IS NOT NULL;
       CREATE INDEX people_department ON people(department);
       CREATE TABLE card_holders (
         id BIGSERIAL PRIMARY KEY,
         card TEXT NOT NULL, person BIGINT NOT NULL REFERENCES people(id),
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
constexpr const char* kPersonSelect = "SELECT id, name, department, COALESCE(employee_no, ''), notes, active FROM people";
constexpr const char* kHoldingSelect = "SELECT id, card, person, since, COALESCE(until, '') FROM card_holders";

// The channel a dropped lease is announced on.
constexpr const char* kReleases = "ostrel_lease_released";

// Any fixed number: the advisory lock taken while migrating.
constexpr const char* kMigrationLock = "7424531";

class Result {
public:
    explicit Result(PGresult* r) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(Result&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    PGresult* get() const { return r_; }
    int rows() const { return PQntuples(r_); }
    std::string text(int row, int col) const { return PQgetvalue(r_, row, col); }
    int64_t integer(int row, int col) const { return std::stoll(PQgetvalue(r_, row, col)); }
    bool isNull(int row, int col) const { return PQgetisnull(r_, row, col) != 0; }
    int64_t changed() const {
        const char* n = PQcmdTuples(r_);
        return *n ? std::stoll(n) : 0;
    }

private:
    PGresult* r_;
};

class PgStore : public Store {
public:
    PgStore(const std::string& url, std::string site) : site_(std::move(site)), url_(url) {
        conn_ = PQconnectdbParams(kKeys, values().data(), 1);
        if (PQstatus(conn_) != CONNECTION_OK) {
            std::string why = conn_ ? PQerrorMessage(conn_) : "out of memory";
            PQfinish(conn_);
            // libpq may quote a malformed part of the URL, password included.
            throw StoreError("cannot connect to " + redacted() + ": " + redact(trim(why)));
        }
        try {
            migrate();
        } catch (...) {
            // The destructor does not run for a constructor that throws.
            PQfinish(conn_);
            throw;
        }
    }
    ~PgStore() override { PQfinish(conn_); }

    std::vector<std::string> pendingBatch(const ControllerRef& c, const std::string& line) override {
        std::lock_guard lock(mutex_);
        const std::string key = batchKey(c, line), legacy = batchKey(c, {});
        Result r = exec("SELECT lines FROM pending_batches WHERE device_key = $1 AND address = $2",
                        {key, num(c.address)});
        if (r.rows()) return splitLines(r.text(0, 0));
        if (key == legacy) return {};
        // A batch of before, under its bus name: the line takes it over.
        Result moved = exec("UPDATE pending_batches SET device_key = $1 WHERE device_key = $2 AND address = $3 "
                            "RETURNING lines",
                            {key, legacy, num(c.address)});
        return moved.rows() ? splitLines(moved.text(0, 0)) : std::vector<std::string>{};
    }

    std::vector<Swipe> commitBatch(const ControllerRef& c, const std::string& batchLine,
                                   const std::vector<std::string>& newLines,
                                   const std::vector<std::string>& allLines) override {
        std::lock_guard lock(mutex_);
        const std::string now = utcNow();
        std::vector<Swipe> rows;
        Transaction tx(*this);
        if (!fenceHolder_.empty()) {
            // Locks the lease row: a takeover waits until this commit is done.
            Result held = exec("SELECT 1 FROM leases WHERE key = $1 AND holder = $2 AND "
                               "expires_at > clock_timestamp() + $3 * interval '1 millisecond' FOR UPDATE",
                               {"bus:" + c.bus, fenceHolder_, num(fenceMargin_.count())});
            if (held.rows() == 0) throw StoreError("this node no longer holds the lease of bus " + c.bus);
        }
        // One statement for the whole batch: the rows go in the order of the
        // lines, so their ids increase as the controller logged them.
        std::vector<std::string> cards, times, codesA, codesB, lines;
        for (const auto& line : newLines) {
            Swipe s = parseRecordLine(line);
            s.site = site_;
            s.bus = c.bus;
            s.address = c.address;
            s.collectedAt = now;
            cards.push_back(s.card);
            times.push_back(s.time);
            codesA.push_back(s.codeA);
            codesB.push_back(s.codeB);
            lines.push_back(s.line);
            rows.push_back(std::move(s));
        }
        if (!rows.empty()) {
            Result r = exec("INSERT INTO swipes (site, bus, address, card, time, code_a, code_b, line, collected_at) "
                            "SELECT $1, $2, $3, u.card, u.time, u.a, u.b, u.line, $4 FROM "
                            "unnest($5::text[], $6::text[], $7::text[], $8::text[], $9::text[]) WITH ORDINALITY "
                            "AS u(card, time, a, b, line, n) ORDER BY u.n RETURNING id",
                            {site_, c.bus, num(c.address), now, textArray(cards), textArray(times), textArray(codesA),
                             textArray(codesB), textArray(lines)});
            if (r.rows() != static_cast<int>(rows.size())) throw StoreError("database: not every swipe was stored");
            std::vector<int64_t> ids;
            for (int i = 0; i < r.rows(); ++i) ids.push_back(r.integer(i, 0));
            std::sort(ids.begin(), ids.end());
            for (size_t i = 0; i < rows.size(); ++i) rows[i].id = ids[i];
        }
        const std::string key = batchKey(c, batchLine), legacy = batchKey(c, {});
        exec("INSERT INTO pending_batches (device_key, address, bus, lines, committed_at) VALUES ($1, $2, $3, $4, $5) "
             "ON CONFLICT (device_key, address) DO UPDATE SET bus = EXCLUDED.bus, lines = EXCLUDED.lines, "
             "committed_at = EXCLUDED.committed_at",
             {key, num(c.address), c.bus, joinLines(allLines), now});
        if (key != legacy)
            exec("DELETE FROM pending_batches WHERE device_key = $1 AND address = $2", {legacy, num(c.address)});
        for (auto& s : rows) {
            Result h = exec("SELECT p.id, p.name FROM card_holders h JOIN people p ON p.id = h.person "
                            "WHERE h.card = $1 AND h.since <= $2 AND (h.until IS NULL OR $2 < h.until)",
                            {s.card, s.time});
            if (h.rows()) s.person = PersonRef{h.integer(0, 0), h.text(0, 1)};
        }
        tx.commit();
        return rows;
    }

    void batchCleared(const ControllerRef& c, const std::string& line) override {
        std::lock_guard lock(mutex_);
        exec("DELETE FROM pending_batches WHERE device_key IN ($1, $2) AND address = $3",
             {batchKey(c, line), batchKey(c, {}), num(c.address)});
    }

    std::vector<Swipe> swipes(const SwipeQuery& q) override {
        std::string sql = std::string(kSwipeSelect) + " WHERE s.id > $1";
        std::vector<std::string> args{num(q.after)};
        auto where = [&](const char* cond, std::string value) {
            args.push_back(std::move(value));
            sql += std::string(" AND ") + cond + " $" + std::to_string(args.size());
        };
        if (q.bus) where("s.bus =", *q.bus);
        if (q.address) where("s.address =", num(*q.address));
        if (q.card) where("s.card =", *q.card);
        if (q.since) where("s.time >=", *q.since);
        if (q.until) where("s.time <=", *q.until);
        if (q.before) where("s.id <", num(*q.before));
        if (q.person) {
            where("h.person =", num(*q.person));
            sql += " AND s.card IN (SELECT card FROM card_holders WHERE person = $" + std::to_string(args.size()) + ")";
        }
        if (q.department) {
            where("p.department =", *q.department);
            sql += " AND s.card IN (SELECT c.card FROM card_holders c JOIN people d ON d.id = c.person "
                   "WHERE d.department = $" + std::to_string(args.size()) + ")";
        }
        args.push_back(num(q.limit));
        sql += (q.newestFirst ? " ORDER BY s.id DESC LIMIT $" : " ORDER BY s.id LIMIT $") + std::to_string(args.size());
        std::lock_guard lock(mutex_);
        Result r = exec(sql, args);
        std::vector<Swipe> out;
        for (int i = 0; i < r.rows(); ++i) {
            Swipe w;
            w.id = r.integer(i, 0);
            w.site = r.text(i, 1);
            w.bus = r.text(i, 2);
            w.address = static_cast<int>(r.integer(i, 3));
            w.card = r.text(i, 4);
            w.time = r.text(i, 5);
            w.codeA = r.text(i, 6);
            w.codeB = r.text(i, 7);
            w.line = r.text(i, 8);
            w.collectedAt = r.text(i, 9);
            if (!r.isNull(i, 10)) w.person = PersonRef{r.integer(i, 10), r.text(i, 11)};
            out.push_back(std::move(w));
        }
        return out;
    }

    int64_t addAudit(const AuditEntry& e) override {
        std::lock_guard lock(mutex_);
        Result r = exec("INSERT INTO audit (time, actor, actor_kind, role, address, action, target, params, outcome, "
                        "reason, status) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11) RETURNING id",
                        {e.time, e.actor, e.actorKind, e.role, e.address, e.action, e.target, e.params, e.outcome,
                         e.reason, num(e.status)});
        return r.integer(0, 0);
    }

    std::vector<AuditEntry> audit(const AuditQuery& q) override {
        std::string sql =
            "SELECT id, time, actor, actor_kind, role, address, action, target, params, outcome, reason, status "
            "FROM audit WHERE id < $1";
        std::vector<std::string> args{num(q.before > 0 ? q.before : INT64_MAX)};
        auto where = [&](const char* cond, const std::optional<std::string>& value) {
            if (!value) return;
            args.push_back(*value);
            sql += std::string(" AND ") + cond + " $" + std::to_string(args.size());
        };
        where("actor =", q.actor);
        where("action =", q.action);
        where("time >=", q.since);
        where("time <=", q.until);
        args.push_back(num(q.limit));
        sql += " ORDER BY id DESC LIMIT $" + std::to_string(args.size());
        std::lock_guard lock(mutex_);
        Result r = exec(sql, args);
        std::vector<AuditEntry> out;
        for (int i = 0; i < r.rows(); ++i) {
            AuditEntry e;
            e.id = r.integer(i, 0);
            e.time = r.text(i, 1);
            e.actor = r.text(i, 2);
            e.actorKind = r.text(i, 3);
            e.role = r.text(i, 4);
            e.address = r.text(i, 5);
            e.action = r.text(i, 6);
            e.target = r.text(i, 7);
            e.params = r.text(i, 8);
            e.outcome = r.text(i, 9);
            e.reason = r.text(i, 10);
            e.status = static_cast<int>(r.integer(i, 11));
            out.push_back(std::move(e));
        }
        return out;
    }

    int64_t pruneAudit(const std::string& olderThan, int limit) override {
        std::lock_guard lock(mutex_);
        Result r = exec("WITH old AS (SELECT id FROM audit WHERE time < $1 ORDER BY time, id LIMIT $2) "
                        "DELETE FROM audit WHERE id IN (SELECT id FROM old) RETURNING id",
                        {olderThan, num(limit)});
        return r.rows();
    }

    PruneStep pruneSwipes(const SwipeAge& age, int64_t after, int window) override {
        std::lock_guard lock(mutex_);
        PruneStep out;
        out.next = after;
        Transaction tx(*this);
        // Nothing a node still owes its MQTT broker goes.
        Result m = exec("SELECT MIN(swipe_id) FROM mqtt_positions", {});
        const bool owing = !PQgetisnull(m.get(), 0, 0);
        const int64_t ceiling = owing ? m.integer(0, 0) : std::numeric_limits<int64_t>::max();
        Result w = exec("SELECT COALESCE(MAX(id), 0), COUNT(*), COALESCE(SUM((collected_at < $1)::int), 0) FROM "
                        "(SELECT id, collected_at FROM swipes WHERE id > $2 AND id <= $3 ORDER BY id LIMIT $4) AS w",
                        {age.collectedBefore, num(after), num(ceiling), num(window)});
        const int64_t last = w.integer(0, 0), seen = w.integer(0, 1), collectedBefore = w.integer(0, 2);
        if (seen > 0 && collectedBefore > 0) {
            out.deleted = exec("DELETE FROM swipes WHERE id > $1 AND id <= $2 AND time < $3 AND collected_at < $4",
                               {num(after), num(last), age.timeBefore, age.collectedBefore})
                              .changed();
            out.next = last;
        }
        // Ids rise with collection: a window without an old collection, or
        // the end, means nothing further may go yet.
        out.done = seen < window || collectedBefore == 0;
        if (out.done && owing) {
            // The first old swipe within a window past the owed position.
            Result o = exec("SELECT MIN(id) FROM (SELECT id, time, collected_at FROM swipes WHERE id > $1 "
                            "ORDER BY id LIMIT $2) AS w WHERE time < $3 AND collected_at < $4",
                            {num(std::max(ceiling, after)), num(window), age.timeBefore, age.collectedBefore});
            if (!PQgetisnull(o.get(), 0, 0)) out.owedFrom = o.integer(0, 0);
        }
        tx.commit();
        return out;
    }

    std::vector<Person> people(const PersonQuery& q) override {
        std::string sql = std::string(kPersonSelect) + " WHERE TRUE";
        std::vector<std::string> args;
        if (q.text) {
            args.push_back(*q.text);
            sql += " AND (strpos(lower(name), lower($1)) > 0 OR employee_no = $1)";
        }
        if (q.department) {
            args.push_back(*q.department);
            sql += " AND department = $" + std::to_string(args.size());
        }
        if (q.active) {
            args.push_back(*q.active ? "true" : "false");
            sql += " AND active = $" + std::to_string(args.size()) + "::boolean";
        }
        sql += " ORDER BY name, id";
        std::lock_guard lock(mutex_);
        Result r = exec(sql, args);
        std::vector<Person> out;
        for (int i = 0; i < r.rows(); ++i) out.push_back(personRow(r, i));
        return out;
    }

    std::optional<Person> person(int64_t id) override {
        std::lock_guard lock(mutex_);
        Result r = exec(std::string(kPersonSelect) + " WHERE id = $1", {num(id)});
        if (!r.rows()) return std::nullopt;
        return personRow(r, 0);
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
        const bool changed =
            exec("UPDATE people SET name = $1, department = $2, employee_no = NULLIF($3, ''), notes = $4, "
                 "active = $5::boolean WHERE id = $6",
                 {p.name, p.department, p.employeeNo, p.notes, p.active ? "true" : "false", num(p.id)})
                .changed() > 0;
        tx.commit();
        return changed;
    }

    std::vector<Holding> holdings(int64_t person) override {
        std::lock_guard lock(mutex_);
        Result r = person ? exec(std::string(kHoldingSelect) + " WHERE person = $1 ORDER BY since, id", {num(person)})
                          : exec(std::string(kHoldingSelect) + " ORDER BY since, id", {});
        std::vector<Holding> out;
        for (int i = 0; i < r.rows(); ++i) out.push_back(holdingRow(r, i));
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
        std::map<std::pair<std::string, std::string>, int64_t> created;  // by name and department
        for (const ImportLine& l : lines) {
            exec("INSERT INTO cards (logical, card) VALUES ($1, $2) "
                 "ON CONFLICT (logical) DO UPDATE SET card = EXCLUDED.card",
                 {l.card.logical, cardJson(l.card).dump()});
            if (!l.holderNamed) continue;
            int64_t person = l.holder.id;
            if (!person) {
                auto key = std::pair{l.holder.name, l.holder.department};
                auto it = created.find(key);
                person = it != created.end() ? it->second : created[key] = insertPerson(l.holder);
            }
            auto held = holdingsOf(l.card.logical);
            if (!held.empty() && held.back().until.empty() && held.back().person == person) continue;
            endHolding(l.card.logical, at);
            insertHolding(l.card.logical, person, at);
        }
        announceCards();
        tx.commit();
    }

    void attendanceSwipes(const AttendanceQuery& q, const std::function<void(const AttendanceSwipe&)>& take) override {
        std::string sql =
            "SELECT h.person, s.time, s.bus, s.address FROM card_holders h JOIN people p ON p.id = h.person "
            "JOIN swipes s ON s.card = h.card AND s.time >= h.since AND (h.until IS NULL OR s.time < h.until) "
            "WHERE s.time >= $1 AND s.time < $2 AND (h.until IS NULL OR h.until > $1) AND h.since < $2";
        std::vector<std::string> args{q.since, q.until};
        if (q.person) {
            args.push_back(num(*q.person));
            sql += " AND h.person = $" + std::to_string(args.size());
        }
        if (q.department) {
            args.push_back(*q.department);
            sql += " AND p.department = $" + std::to_string(args.size());
        }
        std::lock_guard lock(mutex_);
        Result r = exec(sql, args);
        AttendanceSwipe a;
        for (int i = 0; i < r.rows(); ++i) {
            a.person = r.integer(i, 0);
            a.time = r.text(i, 1);
            a.bus = r.text(i, 2);
            a.address = static_cast<int>(r.integer(i, 3));
            take(a);
        }
    }

    int64_t mqttPosition(const std::string& node) override {
        std::lock_guard lock(mutex_);
        exec("INSERT INTO mqtt_positions (node, swipe_id) SELECT $1, COALESCE(MAX(id), 0) FROM swipes "
             "ON CONFLICT (node) DO NOTHING",
             {node});
        Result r = exec("SELECT swipe_id FROM mqtt_positions WHERE node = $1", {node});
        if (r.rows() == 0) throw StoreError("database: no MQTT position for node " + node);
        return r.integer(0, 0);
    }

    void saveMqttPosition(const std::string& node, int64_t swipeId) override {
        std::lock_guard lock(mutex_);
        exec("INSERT INTO mqtt_positions (node, swipe_id) VALUES ($1, $2) "
             "ON CONFLICT (node) DO UPDATE SET swipe_id = EXCLUDED.swipe_id",
             {node, num(swipeId)});
    }

    void saveState(const ControllerRef& c, const nlohmann::json& state) override {
        std::lock_guard lock(mutex_);
        exec("INSERT INTO controller_states (bus, address, state) VALUES ($1, $2, $3) "
             "ON CONFLICT (bus, address) DO UPDATE SET state = EXCLUDED.state",
             {c.bus, num(c.address), state.dump()});
    }

    std::map<ControllerRef, nlohmann::json> states() override {
        std::lock_guard lock(mutex_);
        Result r = exec("SELECT bus, address, state FROM controller_states", {});
        std::map<ControllerRef, nlohmann::json> out;
        for (int i = 0; i < r.rows(); ++i)
            out[{r.text(i, 0), static_cast<int>(r.integer(i, 1))}] = nlohmann::json::parse(r.text(i, 2), nullptr, false);
        return out;
    }

    std::vector<DesiredCard> cards() override {
        std::lock_guard lock(mutex_);
        return cardsWhere("", {});
    }

    std::optional<DesiredCard> card(const std::string& logical) override {
        std::lock_guard lock(mutex_);
        auto v = cardsWhere(" WHERE logical = $1", {logical});
        if (v.empty()) return std::nullopt;
        return v.front();
    }

    void putCard(const DesiredCard& d) override {
        std::lock_guard lock(mutex_);
        Transaction tx(*this);
        exec("INSERT INTO cards (logical, card) VALUES ($1, $2) ON CONFLICT (logical) DO UPDATE SET card = EXCLUDED.card",
             {d.card.logical, cardJson(d.card).dump()});
        exec("DELETE FROM card_controllers WHERE logical = $1", {d.card.logical});
        for (const auto& c : d.controllers)
            exec("INSERT INTO card_controllers (logical, bus, address) VALUES ($1, $2, $3) ON CONFLICT DO NOTHING",
                 {d.card.logical, c.bus, num(c.address)});
        announceCards();
        tx.commit();
    }

    bool deleteCard(const std::string& logical) override {
        std::lock_guard lock(mutex_);
        Transaction tx(*this);
        const bool deleted = exec("DELETE FROM cards WHERE logical = $1", {logical}).changed() > 0;
        if (deleted) announceCards();
        tx.commit();
        return deleted;
    }

    std::map<std::string, std::string> applied(const ControllerRef& c) override {
        std::lock_guard lock(mutex_);
        Result r = exec("SELECT logical, fingerprint FROM applied_cards WHERE bus = $1 AND address = $2",
                        {c.bus, num(c.address)});
        std::map<std::string, std::string> out;
        for (int i = 0; i < r.rows(); ++i) out[r.text(i, 0)] = r.text(i, 1);
        return out;
    }

    void setApplied(const ControllerRef& c, const std::string& logical, const std::string& fp) override {
        std::lock_guard lock(mutex_);
        exec("INSERT INTO applied_cards (bus, address, logical, fingerprint, applied_at) VALUES ($1, $2, $3, $4, $5) "
             "ON CONFLICT (bus, address, logical) DO UPDATE SET fingerprint = EXCLUDED.fingerprint, "
             "applied_at = EXCLUDED.applied_at",
             {c.bus, num(c.address), logical, fp, utcNow()});
    }

    void removeApplied(const ControllerRef& c, const std::string& logical) override {
        std::lock_guard lock(mutex_);
        exec("DELETE FROM applied_cards WHERE bus = $1 AND address = $2 AND logical = $3",
             {c.bus, num(c.address), logical});
    }

    void clearApplied(const ControllerRef& c) override {
        std::lock_guard lock(mutex_);
        exec("DELETE FROM applied_cards WHERE bus = $1 AND address = $2", {c.bus, num(c.address)});
    }

    // A lease row per key with its expiry on the database's clock: taken when
    // free or expired, extended by its holder. One statement, so two nodes
    // racing for a key cannot both win.
    std::vector<UserRecord> users() override {
        std::lock_guard lock(mutex_);
        Result r = exec("SELECT name, role, hash, disabled, created FROM users ORDER BY name", {});
        std::vector<UserRecord> out;
        for (int i = 0; i < r.rows(); ++i)
            out.push_back({r.text(i, 0), r.text(i, 1), r.text(i, 2), r.text(i, 4), r.integer(i, 3) != 0});
        return out;
    }

    std::optional<UserRecord> user(const std::string& name) override {
        std::lock_guard lock(mutex_);
        Result r = exec("SELECT name, role, hash, disabled, created FROM users WHERE name = $1", {name});
        if (!r.rows()) return std::nullopt;
        return UserRecord{r.text(0, 0), r.text(0, 1), r.text(0, 2), r.text(0, 4), r.integer(0, 3) != 0};
    }

    bool addUser(const UserRecord& u) override {
        std::lock_guard lock(mutex_);
        return exec("INSERT INTO users (name, role, hash, disabled, created) VALUES ($1, $2, $3, $4, $5) "
                    "ON CONFLICT (name) DO NOTHING",
                    {u.name, u.role, u.hash, num(u.disabled), utcNow()})
                   .changed() > 0;
    }

    bool setUserHash(const std::string& name, const std::string& hash) override {
        std::lock_guard lock(mutex_);
        return exec("UPDATE users SET hash = $1 WHERE name = $2", {hash, name}).changed() > 0;
    }

    bool setUserDisabled(const std::string& name, bool disabled) override {
        std::lock_guard lock(mutex_);
        return exec("UPDATE users SET disabled = $1 WHERE name = $2", {num(disabled), name}).changed() > 0;
    }

    bool removeUser(const std::string& name) override {
        std::lock_guard lock(mutex_);
        return exec("DELETE FROM users WHERE name = $1", {name}).changed() > 0;
    }

    std::vector<TokenRecord> tokens() override {
        std::lock_guard lock(mutex_);
        Result r = exec("SELECT name, role, hash, created FROM api_tokens ORDER BY name", {});
        std::vector<TokenRecord> out;
        for (int i = 0; i < r.rows(); ++i) out.push_back({r.text(i, 0), r.text(i, 1), r.text(i, 2), r.text(i, 3)});
        return out;
    }

    bool addToken(const TokenRecord& t) override {
        std::lock_guard lock(mutex_);
        return exec("INSERT INTO api_tokens (name, role, hash, created) VALUES ($1, $2, $3, $4) "
                    "ON CONFLICT (name) DO NOTHING",
                    {t.name, t.role, t.hash, utcNow()})
                   .changed() > 0;
    }

    bool removeToken(const std::string& name) override {
        std::lock_guard lock(mutex_);
        return exec("DELETE FROM api_tokens WHERE name = $1", {name}).changed() > 0;
    }

    bool takeLease(const std::string& key, const std::string& holder, const std::string& node,
                   std::chrono::milliseconds ttl) override {
        std::lock_guard lock(mutex_);
        Result r = exec("INSERT INTO leases (key, holder, node, expires_at) "
                        "VALUES ($1, $2, $3, clock_timestamp() + $4 * interval '1 millisecond') "
                        "ON CONFLICT (key) DO UPDATE SET holder = EXCLUDED.holder, node = EXCLUDED.node, "
                        "expires_at = EXCLUDED.expires_at "
                        "WHERE leases.holder = EXCLUDED.holder OR leases.expires_at < clock_timestamp() "
                        "RETURNING holder",
                        {key, holder, node, num(ttl.count())});
        return r.rows() == 1;
    }

    // A lease let go is announced to every node listening: a standby takes
    // it over within a round trip.
    void dropLease(const std::string& key, const std::string& holder) override {
        std::lock_guard lock(mutex_);
        exec("WITH dropped AS (DELETE FROM leases WHERE key = $1 AND holder = $2 RETURNING key) "
             "SELECT pg_notify('" + std::string(kReleases) + "', key) FROM dropped",
             {key, holder});
    }

    void watchReleases() override {
        std::lock_guard lock(mutex_);
        watching_ = true;
        exec(std::string("LISTEN ") + kReleases, {});
    }

    int releaseFd() override {
        std::lock_guard lock(mutex_);
        return watching_ && PQstatus(conn_) == CONNECTION_OK ? PQsocket(conn_) : -1;
    }

    bool releasesPending() override {
        std::lock_guard lock(mutex_);
        if (!watching_ || PQstatus(conn_) != CONNECTION_OK) return false;
        PQconsumeInput(conn_);
        bool any = false;
        while (PGnotify* n = PQnotifies(conn_)) {
            any = true;
            PQfreemem(n);
        }
        return any;
    }

    std::string leaseNode(const std::string& key) override {
        std::lock_guard lock(mutex_);
        Result r = exec("SELECT node FROM leases WHERE key = $1 AND expires_at > clock_timestamp()", {key});
        return r.rows() ? r.text(0, 0) : std::string();
    }

    void fenceCommits(const std::string& holder, std::chrono::milliseconds margin) override {
        std::lock_guard lock(mutex_);
        fenceHolder_ = holder;
        fenceMargin_ = margin;
    }

    void limitCalls(std::chrono::milliseconds limit) override {
        std::lock_guard lock(mutex_);
        limit_ = limit;
    }

private:
    using Clock = std::chrono::steady_clock;

    // Defaults first: whatever the URL says wins. A vanished server is
    // noticed within seconds instead of the system's TCP timeouts.
    static constexpr const char* kKeys[] = {"connect_timeout",  "keepalives_idle",  "keepalives_interval",
                                            "keepalives_count", "tcp_user_timeout", "application_name",
                                            "dbname",           nullptr};
    std::array<const char*, 8> values() const {
        return {"5", "5", "2", "3", "10000", "ostreld", url_.c_str(), nullptr};
    }

    // Waits until fd is ready for events; false when the deadline came first.
    static bool waitFor(int fd, short events, Clock::time_point until) {
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0 || fd < 0) return false;
            pollfd p{fd, events, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left));
            if (r > 0) return true;
            if (r < 0 && errno != EINTR) return false;
        }
    }

    // The connection is dropped: a half-answered one is no use.
    [[noreturn]] void giveUp(const std::string& why) {
        PQfinish(conn_);
        conn_ = nullptr;
        throw StoreError(why);
    }

    std::string late() const {
        return "the database did not answer within " + std::to_string(limit_.count()) + " ms";
    }

    // Connects again within the limit, without blocking on the network.
    void reconnectWithin(Clock::time_point until) {
        PQfinish(conn_);
        conn_ = PQconnectStartParams(kKeys, values().data(), 1);
        if (!conn_ || PQstatus(conn_) == CONNECTION_BAD)
            giveUp("cannot reach " + redacted() + ": " + redact(trim(PQerrorMessage(conn_))));
        PostgresPollingStatusType st = PGRES_POLLING_WRITING;
        while (st != PGRES_POLLING_OK) {
            if (st == PGRES_POLLING_FAILED) giveUp("cannot reach " + redacted() + ": " + redact(trim(PQerrorMessage(conn_))));
            if (!waitFor(PQsocket(conn_), st == PGRES_POLLING_READING ? POLLIN : POLLOUT, until))
                giveUp("cannot reach " + redacted() + ": no answer within " + std::to_string(limit_.count()) + " ms");
            st = PQconnectPoll(conn_);
        }
        if (watching_) execUntil(std::string("LISTEN ") + kReleases, {}, until);
    }

    // One statement sent and answered within the limit, or given up.
    Result execWithin(const std::string& sql, const std::vector<std::string>& args) {
        return execUntil(sql, args, Clock::now() + limit_);
    }
    Result execUntil(const std::string& sql, const std::vector<std::string>& args, Clock::time_point until) {
        if (PQstatus(conn_) != CONNECTION_OK) {
            if (inTransaction_) throw StoreError("database connection lost during a transaction");
            reconnectWithin(until);
        }
        PQsetnonblocking(conn_, 1);
        std::vector<const char*> values;
        for (const auto& a : args) values.push_back(a.c_str());
        if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                               nullptr, 0))
            giveUp("database: " + trim(PQerrorMessage(conn_)));
        int flushed;
        while ((flushed = PQflush(conn_)) == 1) {
            if (!waitFor(PQsocket(conn_), POLLOUT | POLLIN, until)) giveUp(late());
            if (!PQconsumeInput(conn_)) giveUp("database: " + trim(PQerrorMessage(conn_)));
        }
        if (flushed < 0) giveUp("database: " + trim(PQerrorMessage(conn_)));
        std::optional<Result> first;
        while (true) {
            while (PQisBusy(conn_)) {
                if (!waitFor(PQsocket(conn_), POLLIN, until)) giveUp(late());
                if (!PQconsumeInput(conn_)) giveUp("database: " + trim(PQerrorMessage(conn_)));
            }
            PGresult* r = PQgetResult(conn_);
            if (!r) break;
            if (!first) first.emplace(r);
            else PQclear(r);
        }
        if (!first) giveUp("database: no result");
        const ExecStatusType st = PQresultStatus(first->get());
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK)
            throw StoreError("database: " + trim(PQresultErrorMessage(first->get())));
        return std::move(*first);
    }

    class Transaction {
    public:
        explicit Transaction(PgStore& s) : s_(s) {
            s_.exec("BEGIN", {});
            s_.inTransaction_ = true;
        }
        ~Transaction() {
            s_.inTransaction_ = false;
            if (!done_ && PQstatus(s_.conn_) == CONNECTION_OK) PQclear(PQexec(s_.conn_, "ROLLBACK"));
        }
        void commit() {
            s_.exec("COMMIT", {});
            done_ = true;
        }

    private:
        PgStore& s_;
        bool done_ = false;
    };

    // Other nodes hear of it when the transaction commits (CardNotices).
    void announceCards() { exec(std::string("SELECT pg_notify('") + kCardChannel + "', '')", {}); }

    static std::string num(int64_t v) { return std::to_string(v); }
    // A text[] literal: every element quoted, quotes and backslashes escaped.
    static std::string textArray(const std::vector<std::string>& items) {
        std::string out = "{";
        for (size_t i = 0; i < items.size(); ++i) {
            out += i ? ",\"" : "\"";
            for (char ch : items[i]) {
                if (ch == '"' || ch == '\\') out += '\\';
                out += ch;
            }
            out += '"';
        }
        return out + "}";
    }
    static std::string trim(std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
        return s;
    }
    // The URL without its passwords.
    std::string redacted() const { return redact(url_); }

    // Runs one statement; a connection found broken is re-established first
    // (outside a transaction: a transaction cut off by a break fails whole).
    Result exec(const std::string& sql, const std::vector<std::string>& args) {
        if (limit_.count() > 0) return execWithin(sql, args);
        if (PQstatus(conn_) != CONNECTION_OK) {
            if (inTransaction_)
                throw StoreError("database connection lost during a transaction");
            PQreset(conn_);
            if (PQstatus(conn_) != CONNECTION_OK)
                throw StoreError("cannot reach " + redacted() + ": " + redact(trim(PQerrorMessage(conn_))));
            if (watching_) PQclear(PQexec(conn_, (std::string("LISTEN ") + kReleases).c_str()));
        }
        std::vector<const char*> values;
        for (const auto& a : args) values.push_back(a.c_str());
        Result r(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                              nullptr, 0));
        const ExecStatusType st = PQresultStatus(r.get());
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK)
            throw StoreError("database: " + trim(PQerrorMessage(conn_)));
        return r;
    }

    void migrate() {
        Transaction tx(*this);
        exec(std::string("SELECT pg_advisory_xact_lock(") + kMigrationLock + ")", {});
        exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", {});
        Result v = exec("SELECT COALESCE(MAX(version), 0) FROM schema_version", {});
        const int64_t version = v.integer(0, 0);
        const int64_t latest = static_cast<int64_t>(std::size(kMigrations));
        if (version > latest)
            throw StoreError("the database has schema version " + std::to_string(version) +
                             ", newer than this program's " + std::to_string(latest));
        for (int64_t n = version; n < latest; ++n) {
            // Several statements: the simple protocol runs them in one go.
            Result r(PQexec(conn_, kMigrations[n]));
            if (PQresultStatus(r.get()) != PGRES_COMMAND_OK)
                throw StoreError("migration " + std::to_string(n + 1) + ": " + trim(PQerrorMessage(conn_)));
            exec("INSERT INTO schema_version (version) VALUES ($1)", {num(n + 1)});
        }
        tx.commit();
    }

    static Person personRow(const Result& r, int i) {
        Person p;
        p.id = r.integer(i, 0);
        p.name = r.text(i, 1);
        p.department = r.text(i, 2);
        p.employeeNo = r.text(i, 3);
        p.notes = r.text(i, 4);
        p.active = r.text(i, 5) == "t";
        return p;
    }

    static Holding holdingRow(const Result& r, int i) {
        return {r.integer(i, 0), r.text(i, 1), r.integer(i, 2), r.text(i, 3), r.text(i, 4)};
    }

    void employeeNoFree(const std::string& number, int64_t self) {
        if (number.empty()) return;
        Result r = exec("SELECT id FROM people WHERE employee_no = $1 AND id != $2", {number, num(self)});
        if (r.rows())
            throw StoreConflict("employee number " + number + " belongs to person " + std::to_string(r.integer(0, 0)));
    }

    int64_t insertPerson(const Person& p) {
        employeeNoFree(p.employeeNo, 0);
        Result r = exec("INSERT INTO people (name, department, employee_no, notes, active) "
                        "VALUES ($1, $2, NULLIF($3, ''), $4, $5::boolean) RETURNING id",
                        {p.name, p.department, p.employeeNo, p.notes, p.active ? "true" : "false"});
        return r.integer(0, 0);
    }

    std::vector<Holding> holdingsOf(const std::string& card) {
        Result r = exec(std::string(kHoldingSelect) + " WHERE card = $1 ORDER BY since, id", {card});
        std::vector<Holding> out;
        for (int i = 0; i < r.rows(); ++i) out.push_back(holdingRow(r, i));
        return out;
    }

    Holding insertHolding(const std::string& card, int64_t person, const std::string& since) {
        if (std::string why = holdingConflict(holdingsOf(card), since); !why.empty()) throw StoreConflict(why);
        Result r = exec("INSERT INTO card_holders (card, person, since) VALUES ($1, $2, $3) RETURNING id",
                        {card, num(person), since});
        return {r.integer(0, 0), card, person, since, {}};
    }

    std::optional<Holding> endHolding(const std::string& card, const std::string& until) {
        auto held = holdingsOf(card);
        if (held.empty() || !held.back().until.empty()) return std::nullopt;
        Holding h = held.back();
        if (until < h.since) throw StoreConflict("card " + card + " is held since " + h.since + ", after " + until);
        exec("UPDATE card_holders SET until = $1 WHERE id = $2", {until, num(h.id)});
        h.until = until;
        return h;
    }

    std::vector<DesiredCard> cardsWhere(const std::string& where, const std::vector<std::string>& args) {
        Result r = exec("SELECT logical, card FROM cards" + where + " ORDER BY logical", args);
        std::vector<DesiredCard> out;
        for (int i = 0; i < r.rows(); ++i) {
            DesiredCard d;
            d.card = cardFromJson(r.text(i, 0), nlohmann::json::parse(r.text(i, 1)));
            out.push_back(std::move(d));
        }
        for (auto& d : out) {
            Result c = exec("SELECT bus, address FROM card_controllers WHERE logical = $1 ORDER BY bus, address",
                            {d.card.logical});
            for (int i = 0; i < c.rows(); ++i) d.controllers.push_back({c.text(i, 0), static_cast<int>(c.integer(i, 1))});
        }
        return out;
    }

    std::string site_, url_;
    PGconn* conn_ = nullptr;
    std::mutex mutex_;
    bool inTransaction_ = false;
    std::string fenceHolder_;
    std::chrono::milliseconds fenceMargin_{0};
    bool watching_ = false;  // listening for released leases
    std::chrono::milliseconds limit_{0};  // 0: calls wait as long as the connection's timeouts allow
};

}  // namespace

std::unique_ptr<Store> openPgStore(const std::string& url, const std::string& site) {
    return std::make_unique<PgStore>(url, site);
}

}  // namespace ostrel::service
