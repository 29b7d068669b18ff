// What retention must do on either store engine, from an empty store.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "service/Store.h"

namespace ostrel::test {

inline std::string swipeLine(int card, const std::string& date, const std::string& time) {
    char b[64];
    std::snprintf(b, sizeof b, "01|%06d|%s|%s|01|0", card, date.c_str(), time.c_str());
    return b;
}

// Every step until done, as the retention thread runs them.
inline service::PruneStep pruneAll(service::Store& s, const service::SwipeAge& age, int window, int64_t& deleted,
                                   int& steps) {
    service::PruneStep step;
    int64_t after = 0;
    deleted = 0;
    steps = 0;
    do {
        step = s.pruneSwipes(age, after, window);
        deleted += step.deleted;
        after = step.next;
        ++steps;
    } while (!step.done && steps < 10'000);
    return step;
}

inline std::vector<std::string> storedTimes(service::Store& s) {
    service::SwipeQuery all;
    all.limit = 1000;
    std::vector<std::string> out;
    for (const auto& w : s.swipes(all)) out.push_back(w.time);
    return out;
}

inline void checkRetention(service::Store& s) {
    using service::SwipeAge;
    const service::ControllerRef door{"north", 20};
    // Old and new swipes mixed, as a controller whose clock was once wrong
    // logs them; one exactly at the limit.
    s.commitBatch(door,
                  {swipeLine(1, "2020-01-01", "08:00"), swipeLine(2, "2026-01-05", "09:00"),
                   swipeLine(3, "2020-06-01", "17:30"), swipeLine(4, "2024-12-31", "23:59"),
                   swipeLine(5, "2025-01-01", "00:00")},
                  {});
    int64_t deleted = 0;
    int steps = 0;

    // Collected after the limit: kept whatever the controller's clock said.
    auto step = pruneAll(s, SwipeAge{"2025-01-01T00:00", "2000-01-01T00:00:00Z"}, 1000, deleted, steps);
    EXPECT_EQ(deleted, 0);
    EXPECT_TRUE(step.done);
    EXPECT_EQ(storedTimes(s).size(), 5u);

    // A node's MQTT broker still owed everything after the first swipe:
    // only the first goes, and the first owed old one is named.
    const int64_t first = s.swipes({})[0].id;
    s.saveMqttPosition("n1", first);
    const SwipeAge age{"2025-01-01T00:00", "2999-01-01T00:00:00Z"};
    step = pruneAll(s, age, 1000, deleted, steps);
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(step.owedFrom, first + 2);
    EXPECT_EQ(storedTimes(s), (std::vector<std::string>{"2026-01-05T09:00", "2020-06-01T17:30", "2024-12-31T23:59",
                                                        "2025-01-01T00:00"}));

    // Acknowledged: the rest of the old ones go, never the newer ones nor
    // the one at the limit itself; a second pass finds nothing.
    s.saveMqttPosition("n1", first + 4);
    step = pruneAll(s, age, 1000, deleted, steps);
    EXPECT_EQ(deleted, 2);
    EXPECT_EQ(step.owedFrom, 0);
    EXPECT_EQ(storedTimes(s), (std::vector<std::string>{"2026-01-05T09:00", "2025-01-01T00:00"}));
    pruneAll(s, age, 1000, deleted, steps);
    EXPECT_EQ(deleted, 0);

    // Many old swipes go in bounded steps; those after them stay.
    std::vector<std::string> old;
    for (int i = 0; i < 2500; ++i) old.push_back(swipeLine(1000 + i, "2019-03-0" + std::to_string(1 + i % 9), "12:00"));
    s.commitBatch(door, old, {});
    const auto newer = s.commitBatch(door, {swipeLine(9, "2026-02-01", "08:00")}, {});
    s.saveMqttPosition("n1", newer[0].id);
    pruneAll(s, age, 1000, deleted, steps);
    EXPECT_EQ(deleted, 2500);
    EXPECT_GE(steps, 3);
    EXPECT_EQ(storedTimes(s), (std::vector<std::string>{"2026-01-05T09:00", "2025-01-01T00:00", "2026-02-01T08:00"}));
}

}  // namespace ostrel::test
