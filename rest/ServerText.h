// The checks connect makes before it touches the transport: that the server text is a host
// (a name, an IPv4 address or a bracketed IPv6 one) with at most one port, that the base path
// can follow the host, and that the CA file can be read. Each fault found here would otherwise
// surface only at the first request, as a URL that goes somewhere else or a TLS error that
// does not name its cause; connect refuses with the reason instead, in a text fit for a log line.
// Internal: not installed.
#pragma once

#include <string>

namespace vsrest {

// Why connect must refuse `server`, the base path and `caFile` (empty: none to check); empty
// when it need not.
std::string SetupRefusal(const std::string& server, unsigned int port, const std::string& basePath,
                         const std::string& caFile);

}  // namespace vsrest
