// Collecting one controller's swipe records exactly once.
//
// The driver's verified collection downloads and checks the records; its
// durable step commits them to the store in one transaction together with
// the list of every line the controller held (its pending batch); only then
// does the driver clear, once the count shows nothing new arrived. When the
// next download starts with exactly the lines of a batch still pending (the
// clear was never sent, or not acknowledged), those lines are already stored
// and are skipped.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "service/BusLink.h"
#include "service/Store.h"

namespace ostrel::service {

struct CollectOutcome {
    bool ok = false;
    std::string reason;  // when not ok: silent, short, another address, a failed check, store: ...
    std::vector<Swipe> stored;  // the swipes committed by this collection
    bool cleared = false;
    size_t alreadyStored = 0;  // lines of a pending batch found again and skipped
};

// onCommitted runs as soon as the swipes are durable, before the clear.
// line: the device key of the controller's line, which its pending batch is
// kept under (empty: the bus name).
CollectOutcome collectOnce(BusLink& link, Store& store, const ControllerRef& controller,
                           const std::function<void(const std::vector<Swipe>&)>& onCommitted = {},
                           const std::string& line = {});

// Lines the download holds beyond the pending batch: all of them unless the
// download starts with exactly the batch's lines.
size_t alreadyStored(const std::vector<std::string>& pending, const std::vector<std::string>& lines);

}  // namespace ostrel::service
