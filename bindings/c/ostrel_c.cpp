// The C interface over Bus: every call turns Bus's three kinds of outcome
// into a result code and keeps its text for the calling thread.
#include "ostrel/ostrel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>

#include "basic/DateTime.h"
#include "driver/Bus.h"

struct ostrel_bus {
    ostrel::Bus bus;
};

namespace {

using namespace ostrel;

// What the calling thread's last call on one handle came to.
struct Last {
    ostrel_result result = OSTREL_OK;
    ostrel_reason reason = OSTREL_REASON_NONE;
    int32_t number = 0;
    std::string message;
    std::string argument;
};

std::unordered_map<const ostrel_bus*, Last>& lastTable() {
    thread_local std::unordered_map<const ostrel_bus*, Last> table;
    return table;
}

Last& lastOf(const ostrel_bus* bus) { return lastTable()[bus]; }

ostrel_reason reasonCode(NoReplyReason r) {
    switch (r) {
        case NoReplyReason::Silent: return OSTREL_REASON_SILENT;
        case NoReplyReason::Short: return OSTREL_REASON_SHORT;
        case NoReplyReason::AnotherAddress: return OSTREL_REASON_ANOTHER_ADDRESS;
        case NoReplyReason::Echo: return OSTREL_REASON_ECHO;
    }
    return OSTREL_REASON_SILENT;
}

ostrel_result finish(const ostrel_bus* bus, ostrel_result result, std::string message = {}) {
    Last& l = lastOf(bus);
    l = Last{};
    l.result = result;
    l.message = std::move(message);
    return result;
}

ostrel_result noReply(const ostrel_bus* bus, const NoReply& n) {
    ostrel_result r = finish(bus, OSTREL_NO_REPLY, n.describe());
    lastOf(bus).reason = reasonCode(n.reason);
    return r;
}

// Runs body, mapping what it throws; body returns the result of the call.
template <class F>
ostrel_result guarded(const ostrel_bus* bus, F&& body) noexcept {
    try {
        return body();
    } catch (const ArgumentError& e) {
        finish(bus, OSTREL_ARGUMENT, e.what());
        lastOf(bus).argument = e.argument();
        return OSTREL_ARGUMENT;
    } catch (const rt::AutomationError& e) {
        finish(bus, OSTREL_ERROR, e.description());
        lastOf(bus).number = e.number();
        return OSTREL_ERROR;
    } catch (const std::bad_alloc&) {
        finish(bus, OSTREL_ERROR, "out of memory");
        lastOf(bus).number = 7;
        return OSTREL_ERROR;
    } catch (const std::exception& e) {
        return finish(bus, OSTREL_ERROR, e.what());
    } catch (...) {
        return finish(bus, OSTREL_ERROR, "unknown error");
    }
}

ostrel_result ack(const ostrel_bus* bus, const Ack& a) {
    return a.ok() ? finish(bus, OSTREL_OK) : noReply(bus, a.noReply());
}

template <size_t N>
void copyText(char (&out)[N], const std::string& text) {
    size_t n = std::min(text.size(), N - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

ostrel_time timeOf(const Timestamp& t) { return {t.year, t.month, t.day, t.hour, t.minute, t.second}; }

void fill(ostrel_record& out, const Record& r) {
    std::memcpy(out.raw, r.raw.data(), r.raw.size());
    out.leading = r.leading;
    copyText(out.card, r.card);
    out.time_valid = r.time.has_value();
    out.time = r.time ? timeOf(*r.time) : ostrel_time{};
    copyText(out.code_a, r.codeA);
    copyText(out.code_b, r.codeB);
    copyText(out.line, r.line);
}

ostrel_record* cArray(const std::vector<Record>& records) {
    if (records.empty()) return nullptr;
    auto* out = static_cast<ostrel_record*>(std::calloc(records.size(), sizeof(ostrel_record)));
    if (!out) throw std::bad_alloc();
    for (size_t i = 0; i < records.size(); ++i) fill(out[i], records[i]);
    return out;
}

Progress progressOf(ostrel_progress_fn fn, void* user) {
    if (!fn) return {};
    return [fn, user](size_t done, size_t total) { fn(user, done, total); };
}

bool required(const ostrel_bus* bus, const void* p, const char* argument) {
    if (p) return true;
    finish(bus, OSTREL_ARGUMENT, std::string(argument) + ": must not be NULL");
    lastOf(bus).argument = argument;
    return false;
}

}  // namespace

extern "C" {

const char* ostrel_version(void) { return OSTREL_VERSION; }

ostrel_result ostrel_open(const char* device, const char* settings, ostrel_bus** bus) {
    if (!required(nullptr, bus, "bus")) return OSTREL_ARGUMENT;
    *bus = nullptr;
    if (!required(nullptr, device, "device")) return OSTREL_ARGUMENT;
    return guarded(nullptr, [&] {
        auto made = std::unique_ptr<ostrel_bus>(new ostrel_bus{Bus(device, settings ? settings : "9600,n,8,1")});
        // A local device is opened now, so that one that is missing or cannot
        // be opened is reported here; a network device connects on first use.
        if (std::strstr(device, "://") == nullptr) made->bus.open();
        *bus = made.release();
        return finish(nullptr, OSTREL_OK);
    });
}

void ostrel_close(ostrel_bus* bus) {
    if (!bus) return;
    lastTable().erase(bus);
    delete bus;
}

ostrel_result ostrel_connect(ostrel_bus* b) {
    if (!required(b, b, "bus")) return OSTREL_ARGUMENT;
    return guarded(b, [&] {
        b->bus.open();
        return finish(b, OSTREL_OK);
    });
}

ostrel_result ostrel_get_status(ostrel_bus* b, int address, ostrel_status* out) {
    if (!required(b, b, "bus") || !required(b, out, "status")) return OSTREL_ARGUMENT;
    return guarded(b, [&] {
        Result<Status> r = b->bus.status(address);
        if (!r) return noReply(b, r.noReply());
        ostrel_status s{};
        s.address = r->address;
        s.record_count = r->recordCount;
        s.lock_delay_units[0] = r->lockDelayUnits[0];
        s.lock_delay_units[1] = r->lockDelayUnits[1];
        s.clock_valid = r->clock.has_value();
        s.clock = r->clock ? timeOf(*r->clock) : ostrel_time{};
        s.weekday = r->weekday;
        copyText(s.version, r->version);
        std::memcpy(s.raw, r->raw.data(), r->raw.size());
        *out = s;
        return finish(b, OSTREL_OK);
    });
}

ostrel_result ostrel_open_lock(ostrel_bus* b, int address, int lock) {
    if (!required(b, b, "bus")) return OSTREL_ARGUMENT;
    return guarded(b, [&] { return ack(b, b->bus.openLock(address, lock)); });
}

ostrel_result ostrel_lock_states(ostrel_bus* b, int address, ostrel_lock_state* lock1, ostrel_lock_state* lock2) {
    if (!required(b, b, "bus") || !required(b, lock1, "lock1") || !required(b, lock2, "lock2"))
        return OSTREL_ARGUMENT;
    return guarded(b, [&] {
        Result<LockStates> r = b->bus.lockStates(address);
        if (!r) return noReply(b, r.noReply());
        auto code = [](LockState s) {
            return s == LockState::Open ? OSTREL_LOCK_OPEN : s == LockState::Closed ? OSTREL_LOCK_CLOSED
                                                                                    : OSTREL_LOCK_UNKNOWN;
        };
        *lock1 = code(r->lock1);
        *lock2 = code(r->lock2);
        return finish(b, OSTREL_OK);
    });
}

ostrel_result ostrel_set_lock_delay(ostrel_bus* b, int address, int lock, int seconds) {
    if (!required(b, b, "bus")) return OSTREL_ARGUMENT;
    return guarded(b, [&] { return ack(b, b->bus.setLockDelay(address, lock, seconds)); });
}

ostrel_result ostrel_set_clock(ostrel_bus* b, int address, const ostrel_time* when) {
    if (!required(b, b, "bus")) return OSTREL_ARGUMENT;
    return guarded(b, [&] {
        Timestamp t;
        if (when) {
            t = {when->year, when->month, when->day, when->hour, when->minute, when->second};
        } else {
            basic::DateTime n = basic::now();
            t = {n.year, n.month, n.day, n.hour, n.minute, n.second};
        }
        return ack(b, b->bus.setClock(address, t));
    });
}

ostrel_result ostrel_enrol(ostrel_bus* b, int address, const ostrel_card* c) {
    if (!required(b, b, "bus") || !required(b, c, "card") || !required(b, c->physical, "physical") ||
        !required(b, c->logical, "logical"))
        return OSTREL_ARGUMENT;
    return guarded(b, [&] {
        Card card;
        card.physical = c->physical;
        card.logical = c->logical;
        if (c->has_valid_from) card.validFrom = Date{c->from_year, c->from_month, c->from_day};
        if (c->has_valid_to) card.validTo = Date{c->to_year, c->to_month, c->to_day};
        if (c->has_hours)
            card.hours = std::pair{TimeOfDay{c->from_hour, c->from_minute}, TimeOfDay{c->to_hour, c->to_minute}};
        if (c->has_days) card.days = std::pair{c->first_day, c->last_day};
        card.lock1 = c->lock1;
        card.lock2 = c->lock2;
        return ack(b, b->bus.enrol(address, card));
    });
}

ostrel_result ostrel_remove_card(ostrel_bus* b, int address, const char* logical) {
    if (!required(b, b, "bus") || !required(b, logical, "logical")) return OSTREL_ARGUMENT;
    return guarded(b, [&] { return ack(b, b->bus.removeCard(address, logical)); });
}

ostrel_result ostrel_remove_all_cards(ostrel_bus* b, int address) {
    if (!required(b, b, "bus")) return OSTREL_ARGUMENT;
    return guarded(b, [&] { return ack(b, b->bus.removeAllCards(address)); });
}

ostrel_result ostrel_last_card(ostrel_bus* b, int address, char* card) {
    if (!required(b, b, "bus") || !required(b, card, "card")) return OSTREL_ARGUMENT;
    return guarded(b, [&] {
        Result<std::string> r = b->bus.lastCard(address);
        if (!r) return noReply(b, r.noReply());
        std::snprintf(card, 11, "%s", r->c_str());
        return finish(b, OSTREL_OK);
    });
}

ostrel_result ostrel_clear_last_card(ostrel_bus* b, int address) {
    if (!required(b, b, "bus")) return OSTREL_ARGUMENT;
    return guarded(b, [&] { return ack(b, b->bus.clearLastCard(address)); });
}

ostrel_result ostrel_records(ostrel_bus* b, int address, ostrel_progress_fn progress, void* progress_user,
                             ostrel_record** records, size_t* count) {
    if (!required(b, b, "bus") || !required(b, records, "records") || !required(b, count, "count"))
        return OSTREL_ARGUMENT;
    return guarded(b, [&] {
        try {
            Result<std::vector<Record>> r = b->bus.records(address, progressOf(progress, progress_user));
            if (!r) return noReply(b, r.noReply());
            *records = cArray(*r);
            *count = r->size();
            return finish(b, OSTREL_OK);
        } catch (const CollectRefused& e) {
            *records = nullptr;
            *count = 0;
            return finish(b, OSTREL_NOT_CLEARED, e.reason() + "; no record returned, the controller keeps them all");
        }
    });
}

ostrel_result ostrel_collect(ostrel_bus* b, int address, ostrel_progress_fn progress, void* progress_user,
                             ostrel_durable_fn durable, void* durable_user, ostrel_record** records,
                             size_t* count) {
    if (!required(b, b, "bus") || !required(b, records, "records") || !required(b, count, "count"))
        return OSTREL_ARGUMENT;
    return guarded(b, [&] {
        MakeDurable step;
        if (durable)
            step = [&](const std::vector<Record>& got) {
                ostrel_record* array = cArray(got);
                int rc = durable(durable_user, array, got.size());
                std::free(array);
                if (rc != 0)
                    throw CollectRefused("the durable step failed (" + std::to_string(rc) + ")", got);
            };
        try {
            Result<std::vector<Record>> r = b->bus.collect(address, step, progressOf(progress, progress_user));
            if (!r) return noReply(b, r.noReply());
            *records = cArray(*r);
            *count = r->size();
            return finish(b, OSTREL_OK);
        } catch (const CollectRefused& e) {
            *records = cArray(e.received());
            *count = e.received().size();
            return finish(b, OSTREL_NOT_CLEARED, e.what());
        }
    });
}

ostrel_result ostrel_clear_records(ostrel_bus* b, int address) {
    if (!required(b, b, "bus")) return OSTREL_ARGUMENT;
    return guarded(b, [&] { return ack(b, b->bus.clearRecords(address)); });
}

void ostrel_free_records(ostrel_record* records) { std::free(records); }

const char* ostrel_message(const ostrel_bus* bus) { return lastOf(bus).message.c_str(); }
ostrel_reason ostrel_last_reason(const ostrel_bus* bus) { return lastOf(bus).reason; }
int32_t ostrel_error_number(const ostrel_bus* bus) { return lastOf(bus).number; }
const char* ostrel_argument(const ostrel_bus* bus) { return lastOf(bus).argument.c_str(); }

const char* ostrel_reason_name(ostrel_reason reason) {
    switch (reason) {
        case OSTREL_REASON_SILENT: return "silent";
        case OSTREL_REASON_SHORT: return "short";
        case OSTREL_REASON_ANOTHER_ADDRESS: return "another address";
        case OSTREL_REASON_ECHO: return "echo";
        case OSTREL_REASON_NONE: break;
    }
    return "";
}

}  // extern "C"
