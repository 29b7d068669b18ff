// The TCP side shared by the network transports: a connect bounded by a
// deadline, whole sends, and non-blocking receives that tell a closed or
// reset connection from no data.
#pragma once

#include <netdb.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ostrel::serial {

// How long opening a network port may take.
inline constexpr std::chrono::milliseconds kConnectTimeout{3000};

// The system's getaddrinfo, or a stand-in for tests.
using Resolver = std::function<int(const char* host, const char* service, const addrinfo* hints, addrinfo** out)>;

// Resolves host:service for a stream connection before the deadline: a
// numeric address at once, a name on a helper thread that is not waited for
// past the deadline. A getaddrinfo code; EAI_AGAIN with timedOut set when
// the deadline passed first. *out is the caller's to free when 0.
int lookUpHost(const std::string& host, const std::string& service, std::chrono::steady_clock::time_point deadline,
               addrinfo** out, bool& timedOut, const Resolver& resolve = ::getaddrinfo);

// Connects to host:service within the deadline (the name's lookup included): a non-blocking socket with
// TCP_NODELAY and keepalive, kept off stdio. Error 8002 naming the URL and
// the reason (refused, timed out, unknown host) otherwise.
int connectTcp(const std::string& url, const std::string& host, const std::string& service,
               std::chrono::milliseconds timeout = kConnectTimeout);

// Sends all bytes in one send where the socket takes them; LineGone when the
// peer has closed or reset the connection.
void sendAll(int fd, const uint8_t* data, size_t size, const std::string& url);

// Acknowledges what has arrived at once rather than after the usual delay.
// A server that sends a reply in several small pieces (byte by byte off the
// line, or an RFC 2217 answer and then data) without TCP_NODELAY holds each
// piece until the one before is acknowledged, which would cost 40 ms per
// piece. Called only while more is awaited: a reply that arrives whole needs
// no early acknowledgement, and the system call is then saved. The kernel
// drops the mode again by itself, so it is renewed each time.
void acknowledgeNow(int fd);

// Reads what is there without blocking; 0 when nothing is. LineGone when the
// peer has closed or reset the connection.
size_t receiveSome(int fd, uint8_t* buf, size_t capacity, const std::string& url);

}  // namespace ostrel::serial
