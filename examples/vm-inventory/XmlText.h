// Text made safe for XML element content and double-quoted attribute values. Control
// characters go out as character references, which only an XML 1.1 document may carry: a
// 1.0 reader refuses them rather than taking them for other text.
#pragma once

#include <cstdio>
#include <string>

inline std::string XmlText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                    char reference[8];
                    std::snprintf(reference, sizeof reference, "&#x%02X;", c);
                    out += reference;
                } else {
                    out += c;
                }
        }
    }
    return out;
}
