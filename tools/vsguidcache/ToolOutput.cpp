#include "ToolOutput.h"

#include <cstdio>
#include <iostream>
#include <utility>

namespace vsguidcache {

std::string Age(int64_t seconds) {
    if (seconds < 0) {
        return "future";
    }
    const int64_t units[] = {86400, 3600, 60, 1};
    const char* names[] = {"d", "h", "m", "s"};
    for (int i = 0; i < 4; ++i) {
        if (seconds >= units[i] || i == 3) {
            std::string out = std::to_string(seconds / units[i]) + names[i];
            if (i < 3 && seconds % units[i] >= units[i + 1]) {
                out += " " + std::to_string(seconds % units[i] / units[i + 1]) + names[i + 1];
            }
            return out;
        }
    }
    return {};
}

// Strict, as JSON readers are: shortest form only, no surrogates, nothing beyond U+10FFFF.
size_t Utf8SequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        return 1;
    }
    const size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || length > text.size()) {
        return 0;
    }
    uint32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (next & 0x3F);
    }
    const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code >= shortest[length] && code <= 0x10FFFF && !surrogate ? length : 0;
}

bool IsUtf8(std::string_view text) {
    while (!text.empty()) {
        const size_t length = Utf8SequenceLength(text);
        if (length == 0) {
            return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

// Nothing is lost: a reader gets the bytes back by taking each code point as a byte.
std::string Latin1ToUtf8(std::string_view bytes) {
    std::string text;
    for (const unsigned char byte : bytes) {
        if (byte < 0x80) {
            text += static_cast<char>(byte);
        } else {
            text += static_cast<char>(0xC0 | byte >> 6);
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

JsonObject& JsonObject::Text(boost::json::string_view name, const std::string& bytes) {
    if (IsUtf8(bytes)) {
        m_object[name] = bytes;
    } else {
        m_object[name] = Latin1ToUtf8(bytes);
        m_latin1.emplace_back(name);
    }
    return *this;
}

JsonObject& JsonObject::Value(boost::json::string_view name, boost::json::value value) {
    m_object[name] = std::move(value);
    return *this;
}

boost::json::object JsonObject::Done() {
    if (!m_latin1.empty()) {
        m_object["latin1"] = std::move(m_latin1);
    }
    return std::move(m_object);
}

void PrintJson(const boost::json::object& object) {
    std::cout << boost::json::serialize(object) << "\n";
}

namespace {

boost::json::object EntryJson(const CacheEntry& e) {
    return JsonObject()
        .Text("key", e.key)
        .Text("first", e.first)
        .Text("second", e.second)
        .Text("third", e.third)
        .Value("ageSeconds", e.ageSeconds)
        .Value("expired", e.expired)
        .Value("record", e.readable)
        .Done();
}

const char* State(const CacheEntry& e) {
    if (!e.readable) {
        return e.expired ? "not a record, expired" : "not a record";
    }
    return e.expired ? "expired" : "live";
}

}  // namespace

void PrintEntries(bool json, const CacheLocation& where, const std::vector<CacheEntry>& entries,
                  const char* title) {
    if (json) {
        boost::json::array list;
        for (const auto& e : entries) {
            list.push_back(EntryJson(e));
        }
        PrintJson(JsonObject()
                      .Text("directory", where.directory)
                      .Value("expirySeconds", where.expiry)
                      .Value(title, std::move(list))
                      .Done());
        return;
    }
    std::printf("%s (expiry %s)\n", Printable(where.directory).c_str(),
                Age(static_cast<int64_t>(where.expiry)).c_str());
    std::printf("%-24s %-20s %-20s %-28s %8s  %s\n", "KEY", "FIRST", "SECOND", "THIRD", "AGE",
                "STATE");
    for (const auto& e : entries) {
        std::printf("%-24s %-20s %-20s %-28s %8s  %s\n", Printable(e.key).c_str(),
                    Printable(e.first).c_str(), Printable(e.second).c_str(),
                    Printable(e.third).c_str(), Age(e.ageSeconds).c_str(), State(e));
    }
    std::printf("%zu %s\n", entries.size(), entries.size() == 1 ? "entry" : "entries");
}

void Say(bool json, const std::string& key, const char* outcome, const std::string& text) {
    if (json) {
        PrintJson(JsonObject().Text("key", key).Value("result", outcome).Done());
    } else {
        std::cout << Printable(text) << "\n";
    }
}

int Fail(Exit code, const std::string& message) {
    std::fprintf(stderr, "vsguidcache: %s\n", Printable(message).c_str());
    return code;
}

}  // namespace vsguidcache
