#include "service/http/Server.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "service/Events.h"
#include "service/Log.h"
#include "service/Store.h"

namespace ostrel::service::http {

using Clock = std::chrono::steady_clock;

// One open connection.
struct Server::Connection {
    std::string address;
    int fd = -1;
    Clock::time_point deadline;  // for the request under way (headers and body)
    bool busy = false;           // a handler or a response holds it: no deadline
    bool cut = false;
};

// One request: its text as it arrives, then its answer.
struct Server::Exchange {
    std::string rawUri;
    Request req;
    bool started = false, dispatched = false, tooBig = false;
    size_t received = 0;
    std::optional<Response> answer;  // from a pool, queued once the connection resumes
    MHD_Connection* conn = nullptr;  // while suspended on a pool
};

// One event-stream response.
struct Server::Stream {
    std::mutex m;
    std::shared_ptr<Subscription> sub;
    Server* server = nullptr;
    MHD_Connection* conn = nullptr;  // null once the server stops
    Connection* link = nullptr;
    std::string buf;
    bool suspended = false, counted = false;
    bool gone = false;  // the client hung up while the stream was suspended
    std::function<bool()> stillAllowed;
    bool revoked = false;  // its session or token is no longer good: no more events
    Clock::time_point lastWrite = Clock::now();
};

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes (and '+' as a blank in a query); throws FieldError on a
// broken escape or a NUL byte.
std::string decode(const std::string& s, bool query, const std::string& what) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%') {
            if (i + 2 >= s.size()) throw FieldError(what, "has a broken percent-escape");
            const int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
            if (hi < 0 || lo < 0) throw FieldError(what, "has a broken percent-escape");
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (query && c == '+') {
            c = ' ';
        }
        if (c == '\0') throw FieldError(what, "must not contain a NUL byte");
        out += c;
    }
    return out;
}

// Splits a request target into the decoded path and query.
void parseTarget(const std::string& raw, Request& req) {
    if (raw.empty() || raw[0] != '/') throw FieldError("path", "must start with /");
    const size_t q = raw.find('?');
    req.path = decode(raw.substr(0, q), false, "path");
    if (q == std::string::npos) return;
    const std::string query = raw.substr(q + 1);
    size_t at = 0;
    while (at <= query.size()) {
        size_t amp = query.find('&', at);
        if (amp == std::string::npos) amp = query.size();
        const std::string pair = query.substr(at, amp - at);
        at = amp + 1;
        if (pair.empty()) continue;
        const size_t eq = pair.find('=');
        const std::string name = decode(pair.substr(0, eq), true, "query");
        const std::string value = eq == std::string::npos ? "" : decode(pair.substr(eq + 1), true, name);
        if (!req.query.emplace(name, value).second) throw FieldError(name, "is given more than once");
    }
}

std::string addressText(const sockaddr* a) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a && a->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
    else if (a && a->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
    return text;
}

// A listening socket on HOST:PORT; throws std::runtime_error.
int listenOn(const std::string& listen) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos) throw std::runtime_error("listen: " + listen + " is not HOST:PORT");
    std::string host = listen.substr(0, colon);
    const std::string port = listen.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535)
        throw std::runtime_error("listen: " + listen + " is not HOST:PORT");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
        throw std::runtime_error("cannot listen on " + listen + ": unknown address");
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    const int on = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool ok = fd >= 0 && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 1024) == 0;
    const int err = errno;
    freeaddrinfo(found);
    if (!ok) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("cannot listen on " + listen + ": " + std::strerror(err));
    }
    return fd;
}

// As many descriptors as the host allows: every connection holds one.
void raiseDescriptorLimit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

}  // namespace

struct Server::Hooks {
    static MHD_Result accept(void* cls, const sockaddr* addr, socklen_t) {
        auto& s = *static_cast<Server*>(cls);
        std::lock_guard lock(s.mutex_);
        const auto it = s.perAddress_.find(addressText(addr));
        if (s.stopping_ || static_cast<int>(s.connections_.size()) >= s.limits_.maxConnections ||
            (it != s.perAddress_.end() && it->second >= s.limits_.maxConnectionsPerAddress)) {
            ++s.counters_.refused;
            return MHD_NO;
        }
        return MHD_YES;
    }

    static void connection(void* cls, MHD_Connection* c, void** socketContext, MHD_ConnectionNotificationCode code) {
        auto& s = *static_cast<Server*>(cls);
        std::lock_guard lock(s.mutex_);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto conn = std::make_unique<Connection>();
            if (const auto* i = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD)) conn->fd = i->connect_fd;
            if (const auto* i = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
                conn->address = addressText(i->client_addr);
            // Replies go out at once, not held for a delayed acknowledgement.
            const int on = 1;
            if (conn->fd >= 0) setsockopt(conn->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            conn->deadline = Clock::now() + s.limits_.requestTimeout;
            ++s.perAddress_[conn->address];
            *socketContext = conn.get();
            s.connections_[c] = std::move(conn);
        } else {
            auto it = s.connections_.find(c);
            if (it == s.connections_.end()) return;
            if (--s.perAddress_[it->second->address] <= 0) s.perAddress_.erase(it->second->address);
            s.connections_.erase(it);
        }
        s.counters_.open = static_cast<long>(s.connections_.size());
    }

    static void* uri(void*, const char* uri, MHD_Connection*) {
        auto* x = new std::shared_ptr<Exchange>(std::make_shared<Exchange>());
        (*x)->rawUri = uri ? uri : "";
        return x;
    }

    static MHD_Result request(void* cls, MHD_Connection* c, const char*, const char* method, const char*,
                              const char* upload, size_t* uploadSize, void** context) {
        auto& s = *static_cast<Server*>(cls);
        if (!*context) *context = uri(cls, "", c);
        const std::shared_ptr<Exchange> x = *static_cast<std::shared_ptr<Exchange>*>(*context);
        if (!x->started) {
            x->started = true;
            // A body over the limit is refused from its declared length,
            // before any of it is read.
            const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
            if (length) {
                const std::string text = length;
                if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
                    x->dispatched = true;
                    s.send(c, badField("Content-Length", "must be a number of bytes"));
                    return MHD_YES;
                }
                if (std::stoull(text) > s.limits_.maxBody) {
                    x->dispatched = true;
                    s.send(c, error(413, "too_large",
                                    "the body is over " + std::to_string(s.limits_.maxBody / 1024) + " KB"));
                    return MHD_YES;
                }
            }
            return MHD_YES;
        }
        if (*uploadSize > 0) {
            if (!x->dispatched && !x->tooBig) {
                if (x->received + *uploadSize > s.limits_.maxBody) {
                    x->tooBig = true;
                    std::string().swap(x->req.body);
                } else {
                    x->req.body.append(upload, *uploadSize);
                    x->received += *uploadSize;
                }
            }
            *uploadSize = 0;
            return MHD_YES;
        }
        if (x->answer) {  // back from a pool
            Response r = std::move(*x->answer);
            x->answer.reset();
            s.send(c, std::move(r));
            return MHD_YES;
        }
        if (x->dispatched) return MHD_YES;
        x->dispatched = true;
        s.dispatch(c, x, method ? method : "");
        return MHD_YES;
    }

    static void completed(void* cls, MHD_Connection* c, void** context, MHD_RequestTerminationCode) {
        auto& s = *static_cast<Server*>(cls);
        delete static_cast<std::shared_ptr<Exchange>*>(*context);
        *context = nullptr;
        std::lock_guard lock(s.mutex_);
        auto it = s.connections_.find(c);
        if (it == s.connections_.end()) return;
        // The next request on the connection has its own time.
        it->second->busy = false;
        it->second->deadline = Clock::now() + s.limits_.requestTimeout;
    }

    static ssize_t readStream(void* cls, uint64_t, char* buf, size_t max) {
        auto& st = **static_cast<std::shared_ptr<Stream>*>(cls);
        std::lock_guard lock(st.m);
        for (;;) {
            if (st.revoked) return MHD_CONTENT_READER_END_OF_STREAM;
            if (!st.buf.empty()) {
                const size_t n = std::min(max, st.buf.size());
                std::memcpy(buf, st.buf.data(), n);
                st.buf.erase(0, n);
                st.lastWrite = Clock::now();
                return static_cast<ssize_t>(n);
            }
            if (!st.conn) return MHD_CONTENT_READER_END_OF_STREAM;
            if (auto e = st.sub->next(std::chrono::milliseconds(0))) {
                st.buf = "id: " + std::to_string(e->id) + "\nevent: " + e->type + "\ndata: " + dumpJson(e->data) + "\n\n";
                continue;
            }
            if (st.gone) return MHD_CONTENT_READER_END_WITH_ERROR;
            if (st.sub->dropped()) {
                if (!st.counted) ++st.server->counters_.cutOff;
                st.counted = true;
                return MHD_CONTENT_READER_END_WITH_ERROR;
            }
            if (st.sub->closed()) return MHD_CONTENT_READER_END_OF_STREAM;
            if (Clock::now() - st.lastWrite >= st.server->limits_.keepAliveEvery) {
                st.buf = ": keep-alive\n\n";
                continue;
            }
            // Nothing to send: the connection waits off the event loop until
            // the next event wakes it.
            st.suspended = true;
            MHD_suspend_connection(st.conn);
            return 0;
        }
    }

    static void freeStream(void* cls) { delete static_cast<std::shared_ptr<Stream>*>(cls); }

    static void logger(void*, const char* format, va_list args) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        log(Level::Debug, "http: " + line);
    }
};

Server::Server(const Router& router, Limits limits, Guard guard, AuditHook audit, Recheck recheck)
    : router_(router),
      limits_(limits),
      guard_(std::move(guard)),
      audit_(std::move(audit)),
      recheck_(std::move(recheck)),
      storePool_(4, 256),
      busPool_(16, 256), refusalPool_(1, 64) {}

Server::~Server() {
    stop();
    // Handlers still running finish before the tables they report to go.
    storePool_.stop();
    busPool_.stop();
    refusalPool_.stop();
}

void Server::useTls(std::string certPem, std::string keyPem) {
    certPem_ = std::move(certPem);
    keyPem_ = std::move(keyPem);
}

int Server::start(const std::string& listen) {
    raiseDescriptorLimit();
    const int fd = listenOn(listen);
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
        // A backstop: the server's own limit refuses first and counts it.
        {MHD_OPTION_CONNECTION_LIMIT, limits_.maxConnections + 16, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT,
         static_cast<intptr_t>((limits_.requestTimeout.count() + 999) / 1000), nullptr},
        // Over 32 KB the library maps each pool on its own, so a closed
        // connection gives its memory back to the system.
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, 64 * 1024, nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Hooks::connection), this},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Hooks::completed), this},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Hooks::uri), this},
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&Hooks::logger), this},
    };
    if (!certPem_.empty()) {
        if (!MHD_is_feature_supported(MHD_FEATURE_TLS)) {
            ::close(fd);
            throw std::runtime_error("this build of the HTTP library has no TLS");
        }
        flags |= MHD_USE_TLS;
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(certPem_.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(keyPem_.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, 0, &Hooks::accept, this, &Hooks::request, this, MHD_OPTION_ARRAY,
                               options.data(), MHD_OPTION_END);
    if (!daemon_) {
        ::close(fd);
        throw std::runtime_error("cannot serve on " + listen + (certPem_.empty() ? "" : " (check tls_cert and tls_key)"));
    }
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const int port = a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port)
                                              : ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    sweeper_ = std::thread([this] { sweep(); });
    return port;
}

void Server::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!daemon_ || stopping_) return;
        stopping_ = true;
        // Every suspended connection is resumed before the loop stops.
        for (auto& [p, weak] : streams_) {
            if (auto st = weak.lock()) {
                std::lock_guard sl(st->m);
                if (st->suspended) MHD_resume_connection(st->conn);
                st->suspended = false;
                st->conn = nullptr;
            }
        }
        for (auto& [p, x] : waiting_) {
            x->answer = error(503, "stopping", "the service is stopping");
            MHD_resume_connection(x->conn);
        }
        waiting_.clear();
    }
    sweepCv_.notify_all();
    if (sweeper_.joinable()) sweeper_.join();
    storePool_.stop();
    busPool_.stop();
    refusalPool_.stop();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

void Server::dispatch(MHD_Connection* c, const std::shared_ptr<Exchange>& x, const std::string& method) {
    {
        std::lock_guard lock(mutex_);
        auto it = connections_.find(c);
        if (it != connections_.end()) {
            it->second->busy = true;
            x->req.address = it->second->address;
        }
    }
    if (x->tooBig)
        return send(c, error(413, "too_large", "the body is over " + std::to_string(limits_.maxBody / 1024) + " KB"));
    Request& req = x->req;
    req.method = method;
    try {
        parseTarget(x->rawUri, req);
    } catch (const FieldError& e) {
        return send(c, badField(e.field, std::string(e.what()).substr(e.field.size() + 2)));
    }
    int status = 404;
    auto match = router_.find(method, req.path, status);
    if (!match)
        return send(c, status == 405 ? error(405, "method_not_allowed", method + " " + req.path)
                                     : error(404, "not_found", "no such resource: " + req.path));
    req.params = std::move(match->params);
    MHD_get_connection_values(
        c, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
            auto& headers = *static_cast<std::map<std::string, std::string>*>(cls);
            std::string name = key ? key : "";
            for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            std::string& v = headers[name];
            v += (v.empty() ? "" : ", ") + std::string(value ? value : "");
            return MHD_YES;
        },
        &req.headers);
    const Route& route = *match->route;
    std::optional<Response> refusal = guard_(route, req);
    const bool anyQuery = route.query.size() == 1 && route.query[0] == "*";
    for (const auto& [name, value] : req.query)
        if (!refusal && !anyQuery && std::find(route.query.begin(), route.query.end(), name) == route.query.end())
            refusal = badField(name, "is not a parameter of " + route.pattern);
    const bool audited = audit_ && !route.action.empty();
    if (refusal && !audited) return send(c, std::move(*refusal));
    if (route.runs == Runs::Inline && !audited) {
        Response r = run(route, req);
        if (!r.events || !recheck_) return send(c, std::move(r));
        return send(c, std::move(r), [this, &route, req] { return recheck_(route, req); });
    }
    runOnPool(c, x, route, std::move(refusal));
}

void Server::runOnPool(MHD_Connection* c, const std::shared_ptr<Exchange>& x, const Route& route,
                       std::optional<Response> refusal) {
    // A refusal is only written to the audit trail, which may wait on the store.
    Executor& pool = refusal ? refusalPool_ : route.runs == Runs::Bus ? busPool_ : storePool_;
    if (!pool.hasRoom()) {
        ++counters_.refused;
        Response busy = error(503, "busy", "too many requests are waiting; try again shortly");
        if (audit_ && !route.action.empty())
            log(Level::Error, "audit: not written for " + x->req.method + " " + route.pattern +
                                  " from " + x->req.address + ": refused as busy before it was run");
        return send(c, std::move(busy));
    }
    {
        std::lock_guard lock(mutex_);
        x->conn = c;
        waiting_[x.get()] = x;
    }
    MHD_suspend_connection(c);
    pool.submit([this, c, x, &route, refusal = std::move(refusal)]() mutable {
        Response r = refusal ? std::move(*refusal) : run(route, x->req);
        if (audit_ && !route.action.empty()) {
            try {
                audit_(route, x->req, r);
            } catch (const std::exception& e) {
                log(Level::Error, "audit: " + x->req.method + " " + route.pattern + ": " + e.what());
            }
        }
        std::lock_guard lock(mutex_);
        // Gone from the table: the server stopped and answered it already.
        if (!waiting_.erase(x.get())) return;
        x->answer = std::move(r);
        MHD_resume_connection(c);
    });
}

Response Server::run(const Route& route, const Request& req) {
    try {
        return route.handler(req);
    } catch (const FieldError& e) {
        return badField(e.field, std::string(e.what()).substr(e.field.size() + 2));
    } catch (const HttpError& e) {
        return error(e.status, e.code, e.what());
    } catch (const StoreError& e) {
        log(Level::Warning, "http: " + req.method + " " + route.pattern + ": store: " + e.what());
        return error(503, "store_unavailable", e.what());
    } catch (const std::exception& e) {
        log(Level::Error, "http: " + req.method + " " + route.pattern + ": " + e.what());
    } catch (...) {
        log(Level::Error, "http: " + req.method + " " + route.pattern + ": unknown exception");
    }
    return error(500, "internal", "internal error; the service's log has the details");
}

void Server::send(MHD_Connection* c, Response r, std::function<bool()> stillAllowed) {
    MHD_Response* res = nullptr;
    if (r.events) {
        if (counters_.subscribers >= limits_.maxEventSubscribers) {
            ++counters_.refused;
            return send(c, error(503, "too_many_subscribers", "the event stream has all the subscribers it takes"));
        }
        auto st = std::make_shared<Stream>();
        st->conn = c;
        st->server = this;
        st->stillAllowed = std::move(stillAllowed);
        std::weak_ptr<Stream> weak = st;
        st->sub = r.events(limits_.subscriberBacklog, [weak] {
            auto s = weak.lock();
            if (!s) return;
            std::lock_guard lock(s->m);
            if (s->suspended && s->conn) MHD_resume_connection(s->conn);
            s->suspended = false;
        });
        st->buf = ": subscribed\n\n";  // tells the client before any event
        {
            std::lock_guard lock(mutex_);
            auto it = connections_.find(c);
            if (it != connections_.end()) st->link = it->second.get();
            streams_[st.get()] = st;
        }
        ++counters_.subscribers;
        auto* holder = new std::shared_ptr<Stream>(st);
        // The stream's table entry is dropped by the sweeper once it expired.
        res = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &Hooks::readStream, holder, &Hooks::freeStream);
        MHD_add_response_header(res, "Cache-Control", "no-cache");
    } else {
        res = MHD_create_response_from_buffer(r.body.size(), r.body.data(), MHD_RESPMEM_MUST_COPY);
    }
    MHD_add_response_header(res, MHD_HTTP_HEADER_CONTENT_TYPE, r.events ? "text/event-stream" : r.contentType.c_str());
    for (const auto& [k, v] : r.headers) MHD_add_response_header(res, k.c_str(), v.c_str());
    MHD_queue_response(c, static_cast<unsigned>(r.status), res);
    MHD_destroy_response(res);
}

void Server::sweep() {
    std::unique_lock lock(mutex_);
    // Connections open at most since memory was last handed back.
    size_t peak = 0;
    while (!stopping_) {
        sweepCv_.wait_for(lock, std::chrono::milliseconds(250));
        if (stopping_) break;
        const auto now = Clock::now();
        // Once a crowd of connections has gone (an attack, a burst of
        // subscribers), the heap their requests and event backlogs used is
        // handed back to the system instead of staying with the process.
        peak = std::max(peak, connections_.size());
        if (peak > connections_.size() + 64) {
            peak = connections_.size();
            lock.unlock();
            malloc_trim(0);
            lock.lock();
            if (stopping_) break;
        }
        // A request not complete in time is cut off (shutdown, not close:
        // the event loop still owns the descriptor and closes it).
        for (auto& [c, conn] : connections_) {
            if (conn->busy || conn->cut || now < conn->deadline || conn->fd < 0) continue;
            conn->cut = true;
            ::shutdown(conn->fd, SHUT_RDWR);
            ++counters_.cutOff;
        }
        // The event loop does not watch a suspended connection: one whose
        // client hung up is found here and let go.
        std::vector<pollfd> watch;
        std::vector<std::shared_ptr<Stream>> watched;
        for (auto& [p, weak] : streams_) {
            auto st = weak.lock();
            if (!st) continue;
            std::lock_guard sl(st->m);
            if (st->suspended && st->link && st->link->fd >= 0) {
                watch.push_back({st->link->fd, POLLRDHUP, 0});
                watched.push_back(st);
            }
        }
        if (!watch.empty() && ::poll(watch.data(), watch.size(), 0) > 0) {
            for (size_t i = 0; i < watch.size(); ++i) {
                if (!(watch[i].revents & (POLLRDHUP | POLLHUP | POLLERR))) continue;
                std::lock_guard sl(watched[i]->m);
                watched[i]->gone = true;
                if (watched[i]->suspended && watched[i]->conn) MHD_resume_connection(watched[i]->conn);
                watched[i]->suspended = false;
            }
        }
        for (auto it = streams_.begin(); it != streams_.end();) {
            auto st = it->second.lock();
            if (!st) {
                it = streams_.erase(it);
                --counters_.subscribers;
                continue;
            }
            ++it;
            std::lock_guard sl(st->m);
            if (!st->conn) continue;
            // A session signed out or expired, a user disabled, a token
            // revoked: the stream ends here rather than when the client leaves.
            if (!st->revoked && st->stillAllowed && !st->stillAllowed()) {
                st->revoked = true;
                if (st->suspended) {
                    st->suspended = false;
                    MHD_resume_connection(st->conn);
                }
                continue;
            }
            // A subscriber that left too much unread is cut off; one that
            // is quiet gets its keep-alive.
            const bool dropped = st->sub->dropped();
            if (dropped && !st->counted) {
                st->counted = true;
                ++counters_.cutOff;
                if (!st->suspended && st->link && connections_.count(st->conn) && st->link->fd >= 0)
                    ::shutdown(st->link->fd, SHUT_RDWR);
            }
            if (st->suspended && (dropped || now - st->lastWrite >= limits_.keepAliveEvery)) {
                st->suspended = false;
                MHD_resume_connection(st->conn);
            }
        }
    }
}

}  // namespace ostrel::service::http
