#include "service/Collection.h"

#include <algorithm>

namespace ostrel::service {

size_t alreadyStored(const std::vector<std::string>& pending, const std::vector<std::string>& lines) {
    if (pending.empty() || pending.size() > lines.size()) return 0;
    return std::equal(pending.begin(), pending.end(), lines.begin()) ? pending.size() : 0;
}

CollectOutcome collectOnce(BusLink& link, Store& store, const ControllerRef& c,
                           const std::function<void(const std::vector<Swipe>&)>& onCommitted) {
    CollectOutcome out;
    auto fail = [&](std::string reason) {
        out.reason = std::move(reason);
        return out;
    };
    const std::vector<std::string> pending = store.pendingBatch(c);

    ControllerStatus before;
    if (!link.status(c.address, before)) return fail(link.noReplyReason());
    if (before.recordCount == 0) {
        // Empty: whatever batch was pending has been cleared.
        if (!pending.empty()) store.batchCleared(c);
        out.ok = true;
        return out;
    }

    std::vector<std::string> lines;
    if (!link.records(c.address, lines)) return fail(link.noReplyReason());
    // Records only ever grow between clears: a download that holds fewer
    // lines than counted before it, or more than counted after it, was not a
    // clean read of the list (a download another session left half done).
    ControllerStatus after;
    if (!link.status(c.address, after)) return fail(link.noReplyReason());
    const size_t n = lines.size();
    if (n < static_cast<size_t>(before.recordCount) || n > static_cast<size_t>(after.recordCount) ||
        (before.recordCount == after.recordCount && n != static_cast<size_t>(before.recordCount)))
        return fail("inconsistent");

    const size_t skip = alreadyStored(pending, lines);
    out.alreadyStored = skip;
    const std::vector<std::string> fresh(lines.begin() + static_cast<std::ptrdiff_t>(skip), lines.end());
    try {
        out.stored = store.commitBatch(c, fresh, lines);
    } catch (const StoreError& e) {
        // Nothing stored: the controller keeps its records.
        return fail(std::string("store: ") + e.what());
    }
    out.ok = true;
    if (onCommitted && !out.stored.empty()) onCommitted(out.stored);

    // Clear only while the controller holds exactly what was stored.
    ControllerStatus verify;
    if (!link.status(c.address, verify) || verify.recordCount != static_cast<int>(lines.size())) return out;
    if (!link.clearRecords(c.address)) return out;
    out.cleared = true;
    try {
        store.batchCleared(c);
    } catch (const StoreError&) {
        // Still pending: the next download, not starting with these lines,
        // drops the batch as cleared.
    }
    return out;
}

}  // namespace ostrel::service
