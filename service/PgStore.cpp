// The shared store: one PostgreSQL database that several nodes use at once.
// The same tables and the same swipes contract as the embedded store, plus
// the bus leases that decide which node serves a bus. One connection per
// store; a broken connection is re-established on the next call.
#include <libpq-fe.h>

#include <algorithm>
#include <mutex>

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
};

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
        // Defaults first: whatever the URL says wins. A vanished server is
        // noticed within seconds instead of the system's TCP timeouts.
        const char* keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                              "tcp_user_timeout", "application_name", "dbname", nullptr};
        const char* values[] = {"5", "5", "2", "3", "10000", "ostreld", url.c_str(), nullptr};
        conn_ = PQconnectdbParams(keys, values, 1);
        if (PQstatus(conn_) != CONNECTION_OK) {
            std::string why = conn_ ? PQerrorMessage(conn_) : "out of memory";
            PQfinish(conn_);
            throw StoreError("cannot connect to " + redacted() + ": " + trim(why));
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

    std::vector<std::string> pendingBatch(const ControllerRef& c) override {
        std::lock_guard lock(mutex_);
        Result r = exec("SELECT lines FROM pending_batches WHERE bus = $1 AND address = $2", {c.bus, num(c.address)});
        return r.rows() ? splitLines(r.text(0, 0)) : std::vector<std::string>{};
    }

    std::vector<Swipe> commitBatch(const ControllerRef& c, const std::vector<std::string>& newLines,
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
        exec("INSERT INTO pending_batches (bus, address, lines, committed_at) VALUES ($1, $2, $3, $4) "
             "ON CONFLICT (bus, address) DO UPDATE SET lines = EXCLUDED.lines, committed_at = EXCLUDED.committed_at",
             {c.bus, num(c.address), joinLines(allLines), now});
        tx.commit();
        return rows;
    }

    void batchCleared(const ControllerRef& c) override {
        std::lock_guard lock(mutex_);
        exec("DELETE FROM pending_batches WHERE bus = $1 AND address = $2", {c.bus, num(c.address)});
    }

    std::vector<Swipe> swipes(const SwipeQuery& q) override {
        std::string sql =
            "SELECT id, site, bus, address, card, time, code_a, code_b, line, collected_at FROM swipes WHERE id > $1";
        std::vector<std::string> args{num(q.after)};
        auto where = [&](const char* cond, std::string value) {
            args.push_back(std::move(value));
            sql += std::string(" AND ") + cond + " $" + std::to_string(args.size());
        };
        if (q.bus) where("bus =", *q.bus);
        if (q.address) where("address =", num(*q.address));
        if (q.card) where("card =", *q.card);
        if (q.since) where("time >=", *q.since);
        if (q.until) where("time <=", *q.until);
        args.push_back(num(q.limit));
        sql += " ORDER BY id LIMIT $" + std::to_string(args.size());
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
            out.push_back(std::move(w));
        }
        return out;
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
        tx.commit();
    }

    bool deleteCard(const std::string& logical) override {
        std::lock_guard lock(mutex_);
        return exec("DELETE FROM cards WHERE logical = $1", {logical}).changed() > 0;
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

    void dropLease(const std::string& key, const std::string& holder) override {
        std::lock_guard lock(mutex_);
        exec("DELETE FROM leases WHERE key = $1 AND holder = $2", {key, holder});
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

private:
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
    // The URL without a password.
    std::string redacted() const {
        const auto at = url_.find('@'), scheme = url_.find("://");
        if (at == std::string::npos || scheme == std::string::npos) return url_;
        const auto colon = url_.find(':', scheme + 3);
        if (colon == std::string::npos || colon > at) return url_;
        return url_.substr(0, colon) + ":***" + url_.substr(at);
    }

    // Runs one statement; a connection found broken is re-established first
    // (outside a transaction: a transaction cut off by a break fails whole).
    Result exec(const std::string& sql, const std::vector<std::string>& args) {
        if (PQstatus(conn_) != CONNECTION_OK) {
            if (inTransaction_)
                throw StoreError("database connection lost during a transaction");
            PQreset(conn_);
            if (PQstatus(conn_) != CONNECTION_OK)
                throw StoreError("cannot reach " + redacted() + ": " + trim(PQerrorMessage(conn_)));
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
};

}  // namespace

std::unique_ptr<Store> openPgStore(const std::string& url, const std::string& site) {
    return std::make_unique<PgStore>(url, site);
}

}  // namespace ostrel::service
