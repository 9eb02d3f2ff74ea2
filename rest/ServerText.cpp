#include "ServerText.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "LogText.h"

namespace vsrest {
namespace {

// Whether `text` is well-formed UTF-8 (no overlong form, surrogate or code point past
// U+10FFFF): an internationalised host name is written in it.
bool IsUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80                    ? 1
                              : lead >= 0xC2 && lead <= 0xDF ? 2
                              : lead >= 0xE0 && lead <= 0xEF ? 3
                              : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                             : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        unsigned long code = length == 1 ? lead : lead & (0x7FU >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0U) != 0x80U) {
                return false;
            }
            code = (code << 6) | (next & 0x3FU);
        }
        const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// One label of a host name: letters, digits, hyphens (not first or last) and "_", which names
// in the wild carry and which cannot move a URL's host; bytes above 0x7F belong to an
// internationalised name in UTF-8. At most 63 bytes.
bool IsHostLabel(std::string_view label) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
        return false;
    }
    return IsUtf8(label) && std::all_of(label.begin(), label.end(), [](char c) {
               const auto byte = static_cast<unsigned char>(c);
               return std::isalnum(byte) != 0 || c == '-' || c == '_' || byte >= 0x80;
           });
}

// A host name of dot-separated labels, or an IPv4 address in dotted form: a name whose last
// label is all digits can only be meant as an address ("999.1.1.1", "1.2.3" are neither).
bool IsHostNameOrIpv4(std::string_view host) {
    if (host.size() > 253) {
        return false;
    }
    size_t begin = 0;
    std::string_view last;
    for (size_t dot = host.find('.');; dot = host.find('.', begin)) {
        last = host.substr(begin, dot == std::string_view::npos ? dot : dot - begin);
        if (!IsHostLabel(last)) {
            return false;
        }
        if (dot == std::string_view::npos) {
            break;
        }
        begin = dot + 1;
    }
    if (last.find_first_not_of("0123456789") != std::string_view::npos) {
        return true;
    }
    in_addr address{};
    return ::inet_pton(AF_INET, std::string(host).c_str(), &address) == 1;
}

// "[" IPv6 address ["%25" zone] "]", the zone (an interface) as a URL writes it.
bool IsBracketedIpv6(std::string_view host) {
    if (host.size() < 3 || host.front() != '[' || host.back() != ']') {
        return false;
    }
    std::string_view inside = host.substr(1, host.size() - 2);
    const size_t zone = inside.find("%25");
    if (zone != std::string_view::npos) {
        const std::string_view name = inside.substr(zone + 3);
        const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
                   std::strchr("-._~", c) != nullptr;
        });
        if (!plain) {
            return false;
        }
        inside = inside.substr(0, zone);
    }
    in6_addr address{};
    return ::inet_pton(AF_INET6, std::string(inside).c_str(), &address) == 1;
}

// ":" and a port number in 1..65535, as a URL writes it.
bool IsPortSuffix(const std::string& text) {
    if (text.size() < 2 || text.size() > 6 || text[0] != ':' ||
        text.find_first_not_of("0123456789", 1) != std::string::npos) {
        return false;
    }
    const unsigned long port = std::stoul(text.substr(1));
    return port >= 1 && port <= 65535;
}

// Why `server` cannot stand between the scheme and the port of a URL; null when it can.
// computeUrl writes it as it is, so "http://h" would become "http://http://h", "h/api" would
// move the base path, a blank or a control byte would split the request line, and anything
// but a host (",", "%2f", "..") would fail the first request with a reason that does not name
// the server. The faults a caller most often makes are named; the rest is "not a host".
const char* ServerTextFault(const std::string& server, unsigned int port) {
    if (server.empty()) {
        return "it is empty";
    }
    if (server.find("://") != std::string::npos) {
        return "it holds a scheme (m_bUseHttps chooses http or https)";
    }
    for (const char c : server) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) {
            return "it holds a blank or a control character";
        }
    }
    if (server.find_first_of("/\\") != std::string::npos) {
        return "it holds a path (m_strBasePath and the resource make the path)";
    }
    if (server.find_first_of("?#@") != std::string::npos) {
        return "it holds a query, a fragment or user information";
    }
    // A host, then an optional ":port"; an IPv6 address goes whole in brackets.
    const bool bracketed = server[0] == '[';
    const size_t hostEnd =
        bracketed ? server.find(']') + 1 : std::min(server.find(':'), server.size());
    const std::string_view host(server.data(), hostEnd == 0 ? server.size() : hostEnd);
    if (bracketed ? hostEnd == 0 || !IsBracketedIpv6(host) : !IsHostNameOrIpv4(host)) {
        return server.find_first_of("[]") != std::string::npos ||
                       server.find(':') != server.rfind(':')
                   ? "it is not a host name or address (an IPv6 address goes whole in brackets, "
                     "as [::1])"
                   : "it is not a host name (letters, digits and hyphens in labels between "
                     "dots) or an IPv4 address";
    }
    const std::string rest = server.substr(host.size());
    if (!rest.empty() && !IsPortSuffix(rest)) {
        return "what follows the host is not \":\" and a port number (1-65535); an IPv6 address "
               "goes whole in brackets, as [::1]";
    }
    if (!rest.empty() && port != 0) {
        return "it names a port, and so does m_nPort";
    }
    return nullptr;
}

// Why the base path cannot follow the host in a URL; null when it can. One that does not start
// with "/" joins the host name: ".attacker.example/api" would send every request to
// vmhost.attacker.example.
const char* BasePathFault(const std::string& basePath) {
    if (!basePath.empty() && basePath[0] != '/') {
        return "it does not start with \"/\"";
    }
    for (const char c : basePath) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) {
            return "it holds a blank or a control character";
        }
    }
    return nullptr;
}

// Why the CA file cannot serve; empty when it can. libcurl reads it only at the first request,
// which would then fail with a TLS error that does not name the file. Nothing is opened, so a
// FIFO at the path cannot hang connect; the access check uses the effective ids, as the read
// will.
std::string CaFileFault(const std::string& caFile) {
    struct stat info = {};
    if (::stat(caFile.c_str(), &info) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return "not a regular file";
    }
    if (::faccessat(AT_FDCWD, caFile.c_str(), R_OK, AT_EACCESS) != 0) {
        return std::strerror(errno);
    }
    return info.st_size == 0 ? "empty" : "";
}

}  // namespace

std::string SetupRefusal(const std::string& server, unsigned int port, const std::string& basePath,
                         const std::string& caFile) {
    if (const char* fault = ServerTextFault(server, port)) {
        // User information may hold a password, which no log line may carry.
        const size_t at = server.rfind('@');
        const std::string shown = at == std::string::npos ? server : "***" + server.substr(at);
        return "Server [" + LogLineText(shown) + "] refused: " + fault;
    }
    if (const char* fault = BasePathFault(basePath)) {
        return "Base path [" + LogLineText(basePath) + "] refused: " + fault;
    }
    const std::string caFault = caFile.empty() ? std::string() : CaFileFault(caFile);
    return caFault.empty() ? caFault
                           : "CA file [" + LogLineText(caFile) + "] cannot be read: " + caFault;
}

}  // namespace vsrest
