#include "serial/Transport.h"

#include <fcntl.h>
#include <unistd.h>

#include "runtime/AutomationError.h"
#include "serial/SerialPort.h"

namespace ostrel::serial {
namespace {

// "HOST:PORT", "[V6]:PORT" into host and port; false when malformed.
bool splitHostPort(const std::string& rest, std::string& host, std::string& service) {
    std::string hostPart, portPart;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
        hostPart = rest.substr(1, close - 1);
        portPart = rest.substr(close + 2);
    } else {
        size_t colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        hostPart = rest.substr(0, colon);
        portPart = rest.substr(colon + 1);
        if (hostPart.find(':') != std::string::npos) return false;  // IPv6 needs brackets
    }
    // A trailing slash or query (as some tools write URLs) is not part of it.
    if (size_t cut = portPart.find_first_of("/?"); cut != std::string::npos) portPart.resize(cut);
    if (hostPart.empty() || portPart.empty() || portPart.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long n = std::stol(portPart.size() > 6 ? "0" : portPart);
    if (n < 1 || n > 65535) return false;
    host = hostPart;
    service = portPart;
    return true;
}

}  // namespace

std::unique_ptr<Transport> openTransport(const std::string& device, int port, bool named, const LineSettings& line) {
    for (const char* scheme : {"socket://", "rfc2217://"}) {
        const std::string prefix = scheme;
        if (device.rfind(prefix, 0) != 0) continue;
        std::string host, service;
        if (!splitHostPort(device.substr(prefix.size()), host, service))
            throw rt::AutomationError(err::kCannotOpen, "Cannot open " + device + ": expected " + prefix +
                                                            "HOST:PORT (IPv6 as [ADDRESS]:PORT)");
        if (prefix == "socket://") return openRawTcp(device, host, service);
        return openRfc2217(device, host, service, line);
    }
    if (device.find("://") != std::string::npos)
        throw rt::AutomationError(err::kCannotOpen, "Cannot open " + device +
                                                        ": unknown kind of port; use a device path, "
                                                        "socket://HOST:PORT or rfc2217://HOST:PORT");
    return openTty(device, port, named, line);
}

}  // namespace ostrel::serial
