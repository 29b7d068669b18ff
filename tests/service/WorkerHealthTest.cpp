// A bus worker that stops turning is seen: its heartbeat stops, health()
// names it and what it was doing, /healthz answers 503 naming the bus, and
// all of it clears once the worker turns again. And what the worker keeps of
// its polls in the store.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <httplib.h>

#include "service/Api.h"
#include "service/BusWorker.h"
#include "service/HealthWatch.h"
#include "service/Log.h"

namespace ostrel::service {
namespace {

using namespace std::chrono_literals;

// One bus "north" with controller 7, on a link the test supplies; the host
// clock is never trusted, so no clock is set.
BusConfig oneDoorBus(ServiceConfig& cfg, std::chrono::milliseconds statusEvery) {
    cfg.trustHostClock = "never";
    BusConfig b;
    b.name = "north";
    b.device = "/dev/null";
    b.statusEvery = statusEvery;
    b.controllers = {{7, "door"}};
    cfg.buses = {b};
    return b;
}

// A controller whose status reply can be held back for as long as the test
// likes: the worker is then stuck inside the link, as behind a device that
// never returns.
struct HeldLink : BusLink {
    std::mutex* mutex;
    std::condition_variable* cv;
    bool* hold;

    bool status(int, ControllerStatus& st) override {
        std::unique_lock lock(*mutex);
        cv->wait(lock, [&] { return !*hold; });
        st.clock = "2026-01-05T10:00:00";
        return true;
    }
    bool lockStates(int, LockState&, LockState&) override { return true; }
    bool openLock(int, int) override { return true; }
    bool setLockDelay(int, int, int) override { return true; }
    bool setClock(int, const std::string&, const std::string&) override { return true; }
    bool enrol(int, const CardEntry&) override { return true; }
    bool removeCard(int, const std::string&) override { return true; }
    bool removeAllCards(int) override { return true; }
    LinkCollection collect(int, const MakeDurable&) override { return {true, false, {}}; }
    bool records(int, std::vector<std::string>&) override { return true; }
    std::string noReplyReason() const override { return "silent"; }
    unsigned long exchanges() const override { return 0; }
    void close() override {}
};

// Links of type L for a worker, held by the test's mutex, condition and flag
// and set up further by setUp.
template <class L>
BusWorker::LinkFactory heldLinks(std::mutex& mutex, std::condition_variable& cv, bool& hold,
                                 std::function<void(L&)> setUp = nullptr) {
    return [&mutex, &cv, &hold, setUp](const BusConfig&) {
        auto link = std::make_unique<L>();
        link->mutex = &mutex;
        link->cv = &cv;
        link->hold = &hold;
        if (setUp) setUp(*link);
        return link;
    };
}

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (cond()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return cond();
}

TEST(WorkerHealth, AStalledWorkerIsNamedUntilItTurnsAgain) {
    setLogLevel(Level::Error);
    const auto db = std::filesystem::temp_directory_path() / ("health-" + std::to_string(getpid()) + ".db");
    std::filesystem::remove(db);
    std::mutex mutex;
    std::condition_variable cv;
    bool hold = false;
    {
        ServiceConfig cfg;
        const BusConfig b = oneDoorBus(cfg, 200ms);
        auto store = openStore("sqlite:" + db.string(), "hq");
        EventBus events;
        Metrics metrics;
        BusWorker worker(cfg, b, *store, events, metrics, heldLinks<HeldLink>(mutex, cv, hold));
        EXPECT_TRUE(worker.health().ok);  // not started: nothing to say
        worker.start();
        // The log (stderr) goes to a file while the watch looks.
        const auto logFile = db.string() + ".log";
        std::fflush(stderr);
        const int savedErr = dup(2);
        const int logFd = ::open(logFile.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        ASSERT_GE(logFd, 0);
        dup2(logFd, 2);
        HealthWatch watch({&worker});
        watch.start();
        Api api(cfg, "health-token-123", *store, events, metrics, {{"north", &worker}});
        const int port = api.bind("127.0.0.1:0");
        std::thread server([&] { api.serve(); });
        httplib::Client client("127.0.0.1", port);

        // (No ASSERT while the server thread runs: it must be joined.)
        EXPECT_TRUE(eventually([&] { return worker.state(7)["online"] == true; }, 5s));
        EXPECT_TRUE(worker.health().ok);
        auto first = client.Get("/healthz");
        EXPECT_TRUE(first && first->status == 200);

        // The next status poll never returns: within twice the longest
        // exchange (about 1 s at 9600 baud) plus the 1 s idle period, the
        // worker is named, with what it was doing.
        {
            std::lock_guard lock(mutex);
            hold = true;
        }
        const auto held = std::chrono::steady_clock::now();
        EXPECT_TRUE(eventually([&] { return !worker.health().ok; }, 10s));
        const double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - held).count();
        EXPECT_GT(after, 2.5);
        EXPECT_LT(after, 6.0);
        const std::string reason = worker.health().reason;
        EXPECT_NE(reason.find("bus north: worker stalled"), std::string::npos) << reason;
        EXPECT_NE(reason.find("the status poll of north/7"), std::string::npos) << reason;
        auto r = client.Get("/healthz");
        EXPECT_TRUE(r && r->status == 503);
        const auto j = nlohmann::json::parse(r ? r->body : "", nullptr, false);
        const auto stalled = j.is_object() ? j.value("stalled", nlohmann::json()) : nlohmann::json();
        EXPECT_TRUE(j.is_object() && j.value("status", "") == "stalled") << j;
        EXPECT_TRUE(stalled.is_array() && stalled.size() == 1 && stalled[0].value("bus", "") == "north" &&
                    stalled[0].value("reason", "").find("worker stalled") != std::string::npos)
            << j;

        // The watch says so in the log, at error level.
        auto logged = [&] {
            std::stringstream text;
            text << std::ifstream(logFile).rdbuf();
            return text.str();
        };
        EXPECT_TRUE(eventually([&] { return logged().find("error: bus north: worker stalled") != std::string::npos; },
                               3s));

        // Released, it turns again and is healthy.
        {
            std::lock_guard lock(mutex);
            hold = false;
        }
        cv.notify_all();
        EXPECT_TRUE(eventually([&] { return worker.health().ok; }, 5s));
        auto again = client.Get("/healthz");
        EXPECT_TRUE(again && again->status == 200);
        // Said once for the one stall.
        watch.stop();
        std::fflush(stderr);
        dup2(savedErr, 2);
        ::close(savedErr);
        ::close(logFd);
        const std::string text = logged();
        std::filesystem::remove(logFile);
        EXPECT_NE(text.find("error: bus north: worker stalled"), std::string::npos) << text;
        EXPECT_EQ(text.find("worker stalled", text.find("worker stalled") + 1), std::string::npos) << text;
        api.stop();
        server.join();
        worker.stop();
        EXPECT_TRUE(worker.health().ok);  // stopped: nothing to say
    }
    for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(db.string() + ext);
}

// The state written to the store after each poll: a change beyond the clock
// and the poll time is written at once, the clock and poll time alone only
// every few seconds.
TEST(WorkerHealth, APolledStateIsStoredWhenItChanges) {
    setLogLevel(Level::Error);
    const auto db = std::filesystem::temp_directory_path() / ("state-" + std::to_string(getpid()) + ".db");
    std::filesystem::remove(db);
    struct LockLink : HeldLink {
        std::atomic<bool>* open;
        bool lockStates(int, LockState& l1, LockState& l2) override {
            l1 = *open ? LockState::Open : LockState::Closed;
            l2 = LockState::Closed;
            return true;
        }
    };
    std::mutex mutex;
    std::condition_variable cv;
    bool hold = false;
    std::atomic<bool> open{false};
    {
        ServiceConfig cfg;
        const BusConfig b = oneDoorBus(cfg, 100ms);
        auto store = openStore("sqlite:" + db.string(), "hq");
        EventBus events;
        Metrics metrics;
        BusWorker worker(cfg, b, *store, events, metrics,
                         heldLinks<LockLink>(mutex, cv, hold, [&](LockLink& l) { l.open = &open; }));
        worker.start();
        auto stored = [&] {
            auto all = store->states();
            auto it = all.find({"north", 7});
            return it == all.end() ? nlohmann::json() : it->second;
        };
        EXPECT_TRUE(eventually([&] { return stored()["online"] == true; }, 5s));
        const auto first = stored();
        EXPECT_EQ(first["locks"], nlohmann::json({"closed", "closed"}));
        // Polled ten times a second for 2.5 s: the poll time moves in memory,
        // not in the store.
        std::this_thread::sleep_for(2500ms);
        EXPECT_NE(worker.state(7)["polled_at"], first["polled_at"]);
        EXPECT_EQ(stored()["polled_at"], first["polled_at"]);
        // A lock opens: written at the next poll.
        open = true;
        EXPECT_TRUE(eventually([&] { return stored()["locks"] == nlohmann::json({"open", "closed"}); }, 2s)) << stored();
        worker.stop();
    }
    for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(db.string() + ext);
}

// A card presented while a collection saved its records leaves them stored
// but not cleared; the next collection follows the next poll, without the
// pause that follows a download that failed its checks.
TEST(WorkerHealth, ACardPresentedWhileSavingIsCollectedAfterTheNextPoll) {
    setLogLevel(Level::Error);
    const auto db = std::filesystem::temp_directory_path() / ("saving-" + std::to_string(getpid()) + ".db");
    std::filesystem::remove(db);
    struct SwipedLink : HeldLink {
        std::mutex* calls;
        std::vector<std::chrono::steady_clock::time_point>* collections;
        bool status(int a, ControllerStatus& st) override {
            HeldLink::status(a, st);
            std::lock_guard lock(*calls);
            st.recordCount = collections->size() < 2 ? static_cast<int>(collections->size()) + 1 : 0;
            return true;
        }
        LinkCollection collect(int, const MakeDurable& makeDurable) override {
            std::vector<std::string> lines = {"07|0F0001|2026-01-05|10:00|01|0"};
            bool first;
            {
                std::lock_guard lock(*calls);
                collections->push_back(std::chrono::steady_clock::now());
                first = collections->size() == 1;
            }
            if (!first) lines.push_back("07|0F0002|2026-01-05|10:01|01|0");
            makeDurable(lines);
            if (first) return {false, false, "count changed while saving: the controller holds 2 records, 1 were collected"};
            return {true, true, {}};
        }
    };
    std::mutex mutex, calls;
    std::condition_variable cv;
    bool hold = false;
    std::vector<std::chrono::steady_clock::time_point> collections;
    {
        ServiceConfig cfg;
        const BusConfig b = oneDoorBus(cfg, 200ms);
        auto store = openStore("sqlite:" + db.string(), "hq");
        EventBus events;
        Metrics metrics;
        BusWorker worker(cfg, b, *store, events, metrics, heldLinks<SwipedLink>(mutex, cv, hold, [&](SwipedLink& l) {
                             l.calls = &calls;
                             l.collections = &collections;
                         }));
        worker.start();
        EXPECT_TRUE(eventually([&] {
            std::lock_guard lock(calls);
            return collections.size() >= 2;
        }, 5s));
        worker.stop();
        std::lock_guard lock(calls);
        ASSERT_GE(collections.size(), 2u);
        EXPECT_LT(std::chrono::duration<double>(collections[1] - collections[0]).count(), 1.5);
        EXPECT_EQ(store->swipes({}).size(), 2u);
    }
    for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(db.string() + ext);
}

}  // namespace
}  // namespace ostrel::service
