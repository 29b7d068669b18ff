// Card changes made through other nodes, as they happen. On a shared
// PostgreSQL store every change of the desired cards is announced on a
// channel with its commit; each node listens on a connection of its own and
// tells its workers at once, so the node serving a controller converges it
// within moments instead of at the controller's next status poll.
//
// The listener never holds the service up: it connects without blocking,
// waits on its socket with a deadline (and on a descriptor that stop()
// signals), checks a quiet connection with a query it does not wait for past
// a deadline, and reconnects with backoff. After every (re)connection the
// workers are told once, for any change announced while it was away.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

struct pg_conn;

namespace ostrel::service {

class CardNotices {
public:
    // url: the store's postgresql:// URL. changed: called on the listening
    // thread for each batch of announcements.
    CardNotices(std::string url, std::function<void()> changed);
    ~CardNotices();
    CardNotices(const CardNotices&) = delete;
    CardNotices& operator=(const CardNotices&) = delete;

    void start();
    void stop();

private:
    void run();
    // Connected and listening, or why not (stop: empty).
    std::string connect();
    // Serves announcements until the connection fails (its error) or stop.
    std::string serve();
    // Waits for the socket (events) or stop, at most until deadline: the
    // poll events seen on the socket, 0 on timeout, -1 on stop.
    int waitFor(int socket, short events, std::chrono::steady_clock::time_point deadline);
    // Sends a query and reads its results within the deadline; error or empty.
    std::string query(const char* sql, std::chrono::steady_clock::time_point deadline);
    void drop();
    bool stopped();

    std::string url_;
    std::function<void()> changed_;
    pg_conn* conn_ = nullptr;
    int stopFd_ = -1;  // an eventfd: readable once stop() was called
    std::thread thread_;
};

}  // namespace ostrel::service
