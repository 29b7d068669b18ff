#include "service/Collection.h"

#include <algorithm>
#include <iterator>

namespace ostrel::service {

size_t alreadyStored(const std::vector<std::string>& pending, const std::vector<std::string>& lines) {
    if (pending.empty() || pending.size() > lines.size()) return 0;
    return std::equal(pending.begin(), pending.end(), lines.begin()) ? pending.size() : 0;
}

CollectOutcome collectOnce(BusLink& link, Store& store, const ControllerRef& c,
                           const std::function<void(const std::vector<Swipe>&)>& onCommitted,
                           const std::string& line) {
    CollectOutcome out;
    bool committed = false;
    LinkCollection r;
    try {
        // The driver may download again within one collection (a count that
        // changed while saving), so each durable step reads the pending batch
        // its predecessor left.
        r = link.collect(c.address, [&](const std::vector<std::string>& lines) {
            const std::vector<std::string> pending = store.pendingBatch(c, line);
            if (lines.empty()) {
                // Empty: whatever batch was pending has been cleared.
                if (!pending.empty()) store.batchCleared(c, line);
                return;
            }
            const size_t skip = alreadyStored(pending, lines);
            if (!committed) out.alreadyStored = skip;
            const std::vector<std::string> fresh(lines.begin() + static_cast<std::ptrdiff_t>(skip), lines.end());
            std::vector<Swipe> stored = store.commitBatch(c, line, fresh, lines);
            committed = true;
            if (onCommitted && !stored.empty()) onCommitted(stored);
            out.stored.insert(out.stored.end(), std::make_move_iterator(stored.begin()),
                              std::make_move_iterator(stored.end()));
        });
    } catch (const StoreError& e) {
        // Thrown from the durable step: nothing stored, nothing cleared.
        out.reason = std::string("store: ") + e.what();
        return out;
    }
    if (!r.verified) {
        out.reason = r.reason.empty() ? "not verified" : r.reason;
        return out;
    }
    out.ok = true;
    out.cleared = r.cleared;
    if (committed && r.cleared) {
        try {
            store.batchCleared(c, line);
        } catch (const StoreError&) {
            // Still pending: the next download, not starting with these
            // lines, drops the batch as cleared.
        }
    }
    return out;
}

}  // namespace ostrel::service
