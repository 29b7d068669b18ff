#include "service/CardNotices.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "service/Log.h"
#include "service/Store.h"

namespace ostrel::service {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kConnectLimit = 10s;
constexpr auto kQueryLimit = 5s;
// A connection quiet this long is asked a trivial query, so that one whose
// server vanished is noticed even when no announcement is due.
constexpr auto kQuietCheck = 15s;
constexpr auto kFirstBackoff = 500ms;
constexpr auto kLongestBackoff = 30s;

// libpq's message on one line: the server's may span several.
std::string trimmed(const std::string& message) {
    std::string s;
    for (char ch : message) {
        const bool space = ch == '\n' || ch == '\t' || ch == ' ';
        if (space && (s.empty() || s.back() == ' ')) continue;
        s += space ? ' ' : ch;
    }
    if (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

}  // namespace

CardNotices::CardNotices(std::string url, std::function<void()> changed)
    : url_(std::move(url)), changed_(std::move(changed)) {
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) throw std::runtime_error(std::string("card notices: eventfd: ") + std::strerror(errno));
}

CardNotices::~CardNotices() {
    stop();
    ::close(stopFd_);
}

void CardNotices::start() { thread_ = std::thread([this] { run(); }); }

void CardNotices::stop() {
    const uint64_t one = 1;
    if (::write(stopFd_, &one, sizeof one) < 0) {
        // Already signalled often enough to be readable: nothing is lost.
    }
    if (thread_.joinable()) thread_.join();
    drop();
}

void CardNotices::drop() {
    if (conn_) PQfinish(conn_);
    conn_ = nullptr;
}

int CardNotices::waitFor(int socket, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {socket, events, 0}};
        const nfds_t n = socket >= 0 ? 2 : 1;
        const int r = ::poll(fds, n, static_cast<int>(std::max<int64_t>(0, left.count() + 1)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return POLLERR;
        if (fds[0].revents) return -1;
        if (r == 0) {
            if (Clock::now() >= deadline) return 0;
            continue;
        }
        return fds[1].revents;
    }
}

bool CardNotices::stopped() {
    pollfd p{stopFd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

std::string CardNotices::connect() {
    // The same defaults as the store's own connection; the URL wins.
    const char* keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                          "tcp_user_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"10", "5", "2", "3", "10000", "ostreld-cards", url_.c_str(), nullptr};
    conn_ = PQconnectStartParams(keys, values, 1);
    if (!conn_) return "out of memory";
    if (PQstatus(conn_) == CONNECTION_BAD) return trimmed(PQerrorMessage(conn_));
    const auto deadline = Clock::now() + kConnectLimit;
    PostgresPollingStatusType st = PGRES_POLLING_WRITING;
    while (st != PGRES_POLLING_OK) {
        if (st == PGRES_POLLING_FAILED) return trimmed(PQerrorMessage(conn_));
        const int got = waitFor(PQsocket(conn_), st == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline);
        if (got < 0) return {};
        if (got == 0) return "no connection within " + std::to_string(kConnectLimit.count()) + " s";
        st = PQconnectPoll(conn_);
    }
    if (PQsetnonblocking(conn_, 1) != 0) return trimmed(PQerrorMessage(conn_));
    return query((std::string("LISTEN ") + kCardChannel).c_str(), Clock::now() + kQueryLimit);
}

std::string CardNotices::query(const char* sql, Clock::time_point deadline) {
    if (!PQsendQuery(conn_, sql)) return trimmed(PQerrorMessage(conn_));
    for (;;) {
        const int flushed = PQflush(conn_);
        if (flushed < 0) return trimmed(PQerrorMessage(conn_));
        if (flushed == 0 && !PQisBusy(conn_)) break;
        const int got = waitFor(PQsocket(conn_), flushed ? POLLIN | POLLOUT : POLLIN, deadline);
        if (got < 0) return {};
        if (got == 0) return "no answer within " + std::to_string(kQueryLimit.count()) + " s";
        if (!PQconsumeInput(conn_)) return trimmed(PQerrorMessage(conn_));
    }
    std::string error;
    while (PGresult* r = PQgetResult(conn_)) {
        const ExecStatusType st = PQresultStatus(r);
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK && error.empty()) error = trimmed(PQresultErrorMessage(r));
        PQclear(r);
    }
    return error;
}

std::string CardNotices::serve() {
    // Whatever was announced while nobody listened.
    changed_();
    auto quietUntil = Clock::now() + kQuietCheck;
    for (;;) {
        const int got = waitFor(PQsocket(conn_), POLLIN, quietUntil);
        if (got < 0) return {};
        if (got == 0) {
            // Announcements read along with the answer are handled below.
            if (std::string error = query("SELECT 1", Clock::now() + kQueryLimit); !error.empty()) return error;
            if (stopped()) return {};
        } else if (!PQconsumeInput(conn_)) {
            return trimmed(PQerrorMessage(conn_));
        }
        bool announced = false;
        while (PGnotify* n = PQnotifies(conn_)) {
            announced = true;
            PQfreemem(n);
        }
        if (announced) changed_();
        if (PQstatus(conn_) != CONNECTION_OK) return trimmed(PQerrorMessage(conn_));
        quietUntil = Clock::now() + kQuietCheck;
    }
}

void CardNotices::run() {
    auto backoff = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstBackoff);
    bool failing = false;
    for (;;) {
        std::string error = connect();
        const bool connected = error.empty() && conn_ && PQstatus(conn_) == CONNECTION_OK;
        if (connected && !stopped()) {
            log(Level::Info, std::string("cards: listening for card changes from other nodes") + (failing ? " again" : ""));
            failing = false;
            backoff = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstBackoff);
            error = serve();
        }
        drop();
        if (stopped()) return;
        if (!failing)
            log(Level::Warning, "cards: not listening for card changes from other nodes (" +
                                    (error.empty() ? std::string("connection lost") : error) +
                                    "); they reach controllers at their next status poll until this recovers");
        failing = true;
        if (waitFor(-1, 0, Clock::now() + backoff) == -1) return;
        backoff = std::min(backoff * 2, std::chrono::duration_cast<std::chrono::milliseconds>(kLongestBackoff));
    }
}

}  // namespace ostrel::service
