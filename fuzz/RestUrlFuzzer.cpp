// Arbitrary resources, query arguments and values through UrlEncode,
// appendQueryStringArgument and computeUrl. Nothing is sent: the connection is never
// connected.
//
// UrlEncode gives only unreserved characters and %XX escapes that decode back to the value
// (or, for an empty value, the empty text); each appended argument adds exactly one separator
// and the argument's text; computeUrl puts scheme, server, port, base path and resource
// together without touching them, with one "/" between base path and resource unless either
// brings its own.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "VSRestApiConnection.h"

using vsfuzz::Require;

namespace {

// Exposes the URL settings that a client class assigns.
class UrlConnection : public CVSRestApiConnection {
public:
    void SetUrlParts(bool https, unsigned int port, const std::string& basePath) {
        m_bUseHttps = https;
        m_nPort = port;
        m_strBasePath = basePath;
    }
};

UrlConnection* g_connection = nullptr;

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;  // escapes are written in upper case
}

void CheckEncoded(const std::string& value, const std::string& encoded) {
    std::string decoded;
    for (size_t i = 0; i < encoded.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(encoded[i]);
        if (c == '%') {
            Require(i + 2 < encoded.size(), "an escape has two hex digits");
            const int high = HexValue(encoded[i + 1]);
            const int low = HexValue(encoded[i + 2]);
            Require(high >= 0 && low >= 0, "an escape has two upper-case hex digits");
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            Require(std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~',
                    "only unreserved characters stay unescaped");
            decoded += static_cast<char>(c);
        }
    }
    Require(decoded == value, "the encoding decodes back to the value");
}

// One argument in one of the shapes clients use; returns the text it must append.
std::string AppendArgument(FuzzedDataProvider& in, std::string& query) {
    const std::string name = in.ConsumeRandomLengthString(64);
    const std::string value = in.ConsumeRandomLengthString(4096);
    switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0: {
            const std::string encoded = g_connection->UrlEncode(value);
            CheckEncoded(value, encoded);
            g_connection->appendQueryStringArgument(query, "%s=%s", name.c_str(), encoded.c_str());
            return std::string(name.c_str()) + "=" + encoded;
        }
        case 1:
            g_connection->appendQueryStringArgument(query, "%s", value.c_str());
            return value.c_str();
        default: {
            const int number = in.ConsumeIntegral<int>();
            g_connection->appendQueryStringArgument(query, "%s=%d", name.c_str(), number);
            return std::string(name.c_str()) + "=" + std::to_string(number);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    vsfuzz::SilenceLog();
    g_connection = new UrlConnection();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool https = in.ConsumeBool();
    const unsigned int port = in.ConsumeIntegral<unsigned int>();
    const std::string basePath = in.ConsumeRandomLengthString(64);
    const std::string server = in.ConsumeRandomLengthString(64);
    std::string query = in.ConsumeRandomLengthString(256);
    g_connection->SetUrlParts(https, port, basePath);

    for (int i = 0; i < 8 && in.remaining_bytes() > 0; ++i) {
        const std::string before = query;
        const std::string argument = AppendArgument(in, query);
        const char separator = before.find('?') == std::string::npos ? '?' : '&';
        Require(query == before + separator + argument, "one separator and the argument");
    }

    std::string url;
    Require(g_connection->computeUrl(server, query, nullptr, url), "computeUrl gives true");
    std::string expected = (https ? "https://" : "http://") + server;
    if (port != 0) {
        expected += ":" + std::to_string(port);
    }
    expected += basePath;
    // One "/" joins a base path to a resource without one, none after a base path ending in it.
    if ((query.empty() || query[0] != '/') && (basePath.empty() || basePath.back() != '/')) {
        expected += '/';
    }
    Require(url == expected + query, "the URL is its parts, untouched");
    return 0;
}
