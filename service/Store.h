// Where the service keeps what it must not lose: swipes, the collection
// batches committed but not yet cleared off their controller, controller
// states, desired cards and what each controller was given. One interface,
// so other database engines can stand behind it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/BusLink.h"

namespace ostrel::service {

// The store refused a write (disk full, database locked, ...).
struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Who held a swipe's card at the swipe's time.
struct PersonRef {
    int64_t id = 0;
    std::string name;
    bool operator==(const PersonRef&) const = default;
};

struct Swipe {
    int64_t id = 0;
    std::string site, bus;
    int address = 0;
    std::string card, time, codeA, codeB, line, collectedAt;
    std::optional<PersonRef> person;
};

struct SwipeQuery {
    std::optional<std::string> bus, card;
    std::optional<int64_t> person;           // swipes of cards the person held at the time
    std::optional<std::string> department;   // ... or anyone of the department held
    std::optional<std::string> since, until;  // YYYY-MM-DDThh:mm as stored, both inclusive
    std::optional<int> address;
    int64_t after = 0;
    std::optional<int64_t> before;  // ids below this only
    bool newestFirst = false;       // by id, descending
    int limit = 100;
};

// One entry of the audit trail: who asked for what, from where, and how it ended.
struct AuditEntry {
    int64_t id = 0;
    std::string time;  // UTC, ISO 8601 to the second
    std::string actor, actorKind, role, address, action, target;
    std::string params;   // JSON text, without secrets
    std::string outcome;  // done, refused or no_reply
    std::string reason;   // why, for refused and no_reply
    int status = 0;       // the HTTP status the request got
};

// Newest first. since/until: UTC ISO 8601 texts compared as stored, both
// inclusive; before: only entries with a smaller id (0: from the newest).
struct AuditQuery {
    std::optional<std::string> actor, action, since, until;
    int64_t before = 0;
    int limit = 100;
};

// Swipes older than this go: the swipe's time (the controller's local time,
// YYYY-MM-DDThh:mm) before timeBefore AND its collected_at (UTC,
// YYYY-MM-DDThh:mm:ssZ) before collectedBefore. A controller whose clock was
// wrong cannot make a swipe collected yesterday look old.
struct SwipeAge {
    std::string timeBefore, collectedBefore;
};

struct PruneStep {
    int64_t deleted = 0;
    int64_t next = 0;         // the last id looked at: the next step goes on after it
    bool done = false;        // nothing past `next` may go yet
    int64_t owedFrom = 0;     // when stopped by MQTT: the first id still owed to a broker, else 0
};

struct ControllerRef {
    std::string bus;
    int address = 0;
    bool operator<(const ControllerRef& o) const { return bus != o.bus ? bus < o.bus : address < o.address; }
    bool operator==(const ControllerRef&) const = default;
};

struct DesiredCard {
    CardEntry card;
    std::vector<ControllerRef> controllers;
};

// An operator's account: its role as text (viewer, operator, admin) and
// only the Argon2id hash of its password.
struct UserRecord {
    std::string name, role, hash, created;
    bool disabled = false;
};

// A named API token: only the digest of the token is kept.
struct TokenRecord {
    std::string name, role, hash, created;
};

// A request the store refused because it contradicts what is stored (an
// employee number in use, a card already held).
struct StoreConflict : StoreError {
    using StoreError::StoreError;
};

struct Person {
    int64_t id = 0;
    std::string name, department;
    std::string employeeNo;  // empty: none; unique when given
    std::string notes;
    bool active = true;
};

struct PersonQuery {
    std::optional<std::string> text;        // part of the name or the employee number
    std::optional<std::string> department;  // exactly
    std::optional<bool> active;
};

// A card held by a person from since until until (local times
// YYYY-MM-DDThh:mm, as swipes are stored; until empty: still held). A swipe
// at since belongs to the holding, one at until no longer does.
struct Holding {
    int64_t id = 0;
    std::string card;
    int64_t person = 0;
    std::string since, until;
};

// One line of a card import as decided beforehand: the card as it is to be
// stored (an existing card keeps its controllers), and when a holder is
// named, the person (id 0: created with this name and department).
struct ImportLine {
    CardEntry card;
    bool holderNamed = false;
    Person holder;
};

// One swipe of an attendance report: whose card it was and where.
struct AttendanceSwipe {
    int64_t person = 0;
    std::string time, bus;
    int address = 0;
};

struct AttendanceQuery {
    std::string since, until;  // since inclusive, until exclusive (YYYY-MM-DDThh:mm)
    std::optional<int64_t> person;
    std::optional<std::string> department;
};

class Store {
public:
    virtual ~Store() = default;

    // Collection. A pending batch belongs to the physical controller: its
    // line (the device key the leases use, LeaseKeeper::deviceKey) and its
    // address, whatever bus name it was committed under. An empty line
    // stands for "bus:" and the bus name, the key batches committed before
    // lines were known carry; a batch found only under that key is taken
    // over by the line.
    //
    // The lines of the last batch committed from the controller whose clear
    // is not known to have happened (empty: none).
    virtual std::vector<std::string> pendingBatch(const ControllerRef& c, const std::string& line) = 0;
    // One transaction: stores the new lines as swipes (under c's bus name)
    // and remembers all the lines the controller held as its pending batch.
    // Durable on return.
    virtual std::vector<Swipe> commitBatch(const ControllerRef& c, const std::string& line,
                                           const std::vector<std::string>& newLines,
                                           const std::vector<std::string>& allLines) = 0;
    // The controller was cleared: no batch is pending any more.
    virtual void batchCleared(const ControllerRef& c, const std::string& line) = 0;

    // The same, keyed by the bus name alone.
    std::vector<std::string> pendingBatch(const ControllerRef& c) { return pendingBatch(c, {}); }
    std::vector<Swipe> commitBatch(const ControllerRef& c, const std::vector<std::string>& newLines,
                                   const std::vector<std::string>& allLines) {
        return commitBatch(c, {}, newLines, allLines);
    }
    void batchCleared(const ControllerRef& c) { batchCleared(c, {}); }

    virtual std::vector<Swipe> swipes(const SwipeQuery& q) = 0;

    // The audit trail: appended to, read, and thinned only by retention.
    // addAudit is durable on return and gives the entry's id.
    virtual int64_t addAudit(const AuditEntry& entry) = 0;
    virtual std::vector<AuditEntry> audit(const AuditQuery& q) = 0;
    // Deletes at most limit of the oldest entries whose time is before
    // olderThan; how many it deleted.
    virtual int64_t pruneAudit(const std::string& olderThan, int limit) = 0;
    // Retention, one bounded step: looks at up to `window` swipes with ids
    // after `after` and deletes those older than the limit by both their
    // time and their collection, and not owed to an MQTT broker (no id past
    // the lowest position in mqtt_positions). One short transaction, so
    // collection is never held up for long.
    virtual PruneStep pruneSwipes(const SwipeAge& limit, int64_t after, int window) = 0;

    // MQTT: the id of the swipe up to which the broker acknowledged every
    // swipe a node publishes. A node without one starts at the newest swipe
    // stored (what came before it is not published), and keeps that.
    virtual int64_t mqttPosition(const std::string& node) = 0;
    virtual void saveMqttPosition(const std::string& node, int64_t swipeId) = 0;

    // The last known state of each controller (JSON documents).
    virtual void saveState(const ControllerRef& c, const nlohmann::json& state) = 0;
    virtual std::map<ControllerRef, nlohmann::json> states() = 0;

    // Desired cards by logical number.
    virtual std::vector<DesiredCard> cards() = 0;
    virtual std::optional<DesiredCard> card(const std::string& logical) = 0;
    virtual void putCard(const DesiredCard& card) = 0;
    virtual bool deleteCard(const std::string& logical) = 0;

    // What each controller was given: logical number -> the card's
    // fingerprint when enrolled.
    virtual std::map<std::string, std::string> applied(const ControllerRef& c) = 0;
    virtual void setApplied(const ControllerRef& c, const std::string& logical, const std::string& fingerprint) = 0;
    virtual void removeApplied(const ControllerRef& c, const std::string& logical) = 0;
    virtual void clearApplied(const ControllerRef& c) = 0;

    // Operators and named tokens. add* return false when the name is taken;
    // the others false when there is no such name.
    virtual std::vector<UserRecord> users() = 0;
    virtual std::optional<UserRecord> user(const std::string& name) = 0;
    virtual bool addUser(const UserRecord& user) = 0;
    virtual bool setUserHash(const std::string& name, const std::string& hash) = 0;
    virtual bool setUserDisabled(const std::string& name, bool disabled) = 0;
    virtual bool removeUser(const std::string& name) = 0;
    virtual std::vector<TokenRecord> tokens() = 0;
    virtual bool addToken(const TokenRecord& token) = 0;
    virtual bool removeToken(const std::string& name) = 0;

    // People and the cards they hold over time.
    virtual std::vector<Person> people(const PersonQuery& q) = 0;
    virtual std::optional<Person> person(int64_t id) = 0;
    // The new person's id; StoreConflict when the employee number is in use.
    virtual int64_t addPerson(const Person& p) = 0;
    // False when there is no such person; StoreConflict as for addPerson.
    virtual bool updatePerson(const Person& p) = 0;
    // Holdings of a person (or of everyone for 0), oldest first.
    virtual std::vector<Holding> holdings(int64_t person) = 0;
    // The card's holdings, oldest first.
    virtual std::vector<Holding> cardHoldings(const std::string& card) = 0;
    // The person holds the card from since on; StoreConflict when the card
    // is held by anyone at since or later.
    virtual Holding holdCard(const std::string& card, int64_t person, const std::string& since) = 0;
    // Ends the card's open holding at until; nothing when it has none.
    // StoreConflict when until is before the holding began.
    virtual std::optional<Holding> returnCard(const std::string& card, const std::string& until) = 0;
    // All lines in one transaction, or none: each card put (an existing one
    // keeps its controllers), named holders created as needed, and a card
    // whose holder changes handed over at `at`.
    virtual void importCards(const std::vector<ImportLine>& lines, const std::string& at) = 0;
    // Every swipe of the query's time span made with a card someone held at
    // the time, in no particular order.
    virtual void attendanceSwipes(const AttendanceQuery& q, const std::function<void(const AttendanceSwipe&)>& take) = 0;

    // Leases: which node serves a bus (keys "bus:NAME", "device:DEVICE").
    // True when holder now holds key for ttl: it was free, had expired, or
    // was the holder's already. node is the name shown to others.
    virtual bool takeLease(const std::string& key, const std::string& holder, const std::string& node,
                           std::chrono::milliseconds ttl) = 0;
    virtual void dropLease(const std::string& key, const std::string& holder) = 0;
    // The node holding key, empty when none does.
    virtual std::string leaseNode(const std::string& key) = 0;
    // From now on a batch commits only while holder holds its bus's lease
    // for at least margin more (a node that lost its lease stores nothing).
    virtual void fenceCommits(const std::string& holder, std::chrono::milliseconds margin) = 0;
    // From now on every call returns or fails within limit, connecting
    // again included: a database that does not answer (packets dropped) is
    // given up on, not waited for. For the leases' own store.
    virtual void limitCalls(std::chrono::milliseconds limit) { (void)limit; }
    // Hand-over at once. After watchReleases(), a lease dropped by any node
    // is announced to this store: releaseFd() (-1 when there is none)
    // becomes readable, and releasesPending() tells whether one came since
    // it was last asked. A store that cannot announce keeps -1 and false.
    virtual void watchReleases() {}
    virtual int releaseFd() { return -1; }
    virtual bool releasesPending() { return false; }
};

// The key of a controller's pending batch: its line, or for an empty line
// "bus:" and the bus name.
inline std::string batchKey(const ControllerRef& c, const std::string& line) {
    return line.empty() ? "bus:" + c.bus : line;
}

// "sqlite:PATH" or "postgresql://USER@HOST/DB"; throws StoreError when the store cannot be opened or migrated.
// A write waits at most busyTimeout for a database another program locked.
std::unique_ptr<Store> openStore(const std::string& url, const std::string& site,
                                 std::chrono::milliseconds busyTimeout = std::chrono::seconds(5));

std::unique_ptr<Store> openPgStore(const std::string& url, const std::string& site);

// The PostgreSQL channel a change of the desired cards is announced on.
inline constexpr const char* kCardChannel = "ostrel_cards";

// The fields of a swipe-record line  b0|card|YYYY-MM-DD|hh:mm|codeA|codeB.
Swipe parseRecordLine(const std::string& line);

// What identifies a card's enrolment: every field that goes to the controller.
std::string fingerprint(const CardEntry& card);

}  // namespace ostrel::service
