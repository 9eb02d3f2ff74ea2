// Text from a host or a cache file, made safe to show; the operator tool and the example both
// print with it. A VM name, a cache key or a field may hold control characters (ESC starts the
// sequences that retitle a window, move the cursor or make some terminals answer as if typed),
// and neither a terminal nor an XML 1.0 report can take them as they are: each is shown as
// \xNN, and a backslash as \\ so that what a person reads maps back to one string. A C1
// control written as UTF-8 (C2 80 to C2 9F) is escaped as its two bytes; other bytes from 0x80
// up are parts of characters and stay.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

inline std::string Printable(std::string_view bytes) {
    std::string text;
    const auto hex = [&text](unsigned char byte) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        text += escaped;
    };
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const auto next = static_cast<unsigned char>(i + 1 < bytes.size() ? bytes[i + 1] : 0);
        if (byte == '\\') {
            text += "\\\\";
        } else if (byte == 0xC2 && next >= 0x80 && next < 0xA0) {
            hex(byte);
            hex(next);
            ++i;
        } else if (byte < 0x20 || byte == 0x7F) {
            hex(byte);
        } else {
            text += static_cast<char>(byte);
        }
    }
    return text;
}
