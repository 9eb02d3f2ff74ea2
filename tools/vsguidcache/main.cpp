// vsguidcache: an operator's view of the agent's shared VM GUID cache directory.
//
//   vsguidcache [--config FILE] [--dir-name NAME] [--json] list
//   vsguidcache ... get KEY
//   vsguidcache ... put KEY FIRST SECOND THIRD
//   vsguidcache ... invalidate KEY
//   vsguidcache ... sweep [--dry-run]
//
// list and sweep --dry-run only read. get, put, invalidate and sweep go through JXVMGuidCache,
// and like every cache user they end with its sweep of expired records.
//
// Exit codes: 0 done; 1 bad arguments; 2 no record under the key; 3 no cache here (no
// job-results directory, or caching switched off); 4 the cache refused or failed the change.
#include <CLI/CLI.hpp>

#include <boost/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <set>
#include <string_view>

#include "CacheView.h"
#include "GuidCacheRules.h"
#include "JXVMGuidCache.h"

namespace {

enum Exit { kOk = 0, kUsage = 1, kMissing = 2, kNoCache = 3, kRefused = 4 };

struct Options {
    std::string config;
    std::string dirName = vsgc::kDefaultDirName;
    bool json = false;
    std::string key, first, second, third;
    bool dryRun = false;
};

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

// The length of the UTF-8 sequence at the start of `text`, or 0 when it is not one. Strict, as
// JSON readers are: shortest form only, no surrogates, nothing beyond U+10FFFF.
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

// Each byte as the code point of the same value: nothing is lost, and a reader gets the bytes
// back by taking each code point as a byte.
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

// One object of the --json output. Keys, fields and paths are bytes in whatever code page
// wrote them, but JSON text is UTF-8: a field that is not UTF-8 goes out as Latin-1 and is
// named in the object's "latin1" list, so that a reader can tell which fields to map back.
class JsonObject {
public:
    JsonObject& Text(boost::json::string_view name, const std::string& bytes) {
        if (IsUtf8(bytes)) {
            m_object[name] = bytes;
        } else {
            m_object[name] = Latin1ToUtf8(bytes);
            m_latin1.emplace_back(name);
        }
        return *this;
    }
    JsonObject& Value(boost::json::string_view name, boost::json::value value) {
        m_object[name] = std::move(value);
        return *this;
    }
    // The object, with the Latin-1 list last so that the other fields keep their order.
    boost::json::object Done() {
        if (!m_latin1.empty()) {
            m_object["latin1"] = std::move(m_latin1);
        }
        return std::move(m_object);
    }

private:
    boost::json::object m_object;
    boost::json::array m_latin1;
};

void PrintJson(const boost::json::object& object) {
    std::cout << boost::json::serialize(object) << "\n";
}

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

void PrintEntries(const Options& o, const CacheLocation& where,
                  const std::vector<CacheEntry>& entries, const char* title) {
    if (o.json) {
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
    std::printf("%s (expiry %s)\n", where.directory.c_str(),
                Age(static_cast<int64_t>(where.expiry)).c_str());
    std::printf("%-24s %-20s %-20s %-28s %8s  %s\n", "KEY", "FIRST", "SECOND", "THIRD", "AGE",
                "STATE");
    for (const auto& e : entries) {
        std::printf("%-24s %-20s %-20s %-28s %8s  %s\n", e.key.c_str(), e.first.c_str(),
                    e.second.c_str(), e.third.c_str(), Age(e.ageSeconds).c_str(),
                    !e.readable ? (e.expired ? "not a record, expired" : "not a record")
                    : e.expired ? "expired"
                                : "live");
    }
    std::printf("%zu %s\n", entries.size(), entries.size() == 1 ? "entry" : "entries");
}

void Say(const Options& o, const std::string& key, const char* outcome, const std::string& text) {
    if (o.json) {
        PrintJson(JsonObject().Text("key", key).Value("result", outcome).Done());
    } else {
        std::cout << text << "\n";
    }
}

int Fail(Exit code, const std::string& message) {
    std::fprintf(stderr, "vsguidcache: %s\n", message.c_str());
    return code;
}

int SwitchedOff() {
    return Fail(kNoCache,
                std::string("caching is switched off (") + vsgc::kConfigCacheTime + " is 0)");
}

// Everything but the read-only commands needs a live cache object.
int WithCache(const Options& o, const std::function<int(JXVMGuidCache&)>& work) {
    const CacheLocation where = LocateCache(o.dirName);
    if (where.expiry == 0) {
        return SwitchedOff();
    }
    JXVMGuidCache cache(o.dirName);
    if (!cache.Init()) {
        return Fail(kNoCache,
                    "no cache here: machine '" + where.machine + "' has no job-results directory");
    }
    return work(cache);
}

int List(const Options& o) {
    const CacheLocation where = LocateCache(o.dirName);
    std::vector<CacheEntry> entries;
    if (!ReadEntries(where, entries)) {
        return Fail(kNoCache,
                    "cannot list the cache directory" +
                        (where.directory.empty() ? std::string() : " " + where.directory));
    }
    PrintEntries(o, where, entries, "entries");
    return kOk;
}

int Get(const Options& o) {
    return WithCache(o, [&](JXVMGuidCache& cache) {
        std::string first, second, third;
        if (!cache.LookupGuidCache(o.key, first, second, third)) {
            return Fail(kMissing, "no record under '" + o.key + "'");
        }
        if (o.json) {
            PrintJson(JsonObject()
                          .Text("key", o.key)
                          .Text("first", first)
                          .Text("second", second)
                          .Text("third", third)
                          .Done());
        } else {
            std::cout << first << "\n" << second << "\n" << third << "\n";
        }
        return static_cast<int>(kOk);
    });
}

int Put(const Options& o) {
    return WithCache(o, [&](JXVMGuidCache& cache) {
        if (!cache.CacheGuid(o.key, o.first, o.second, o.third)) {
            return Fail(kRefused,
                        "record not stored: the key must be a plain file name and the "
                        "first two fields must not contain \"0x17\"");
        }
        Say(o, o.key, "stored", "stored '" + o.key + "'");
        return static_cast<int>(kOk);
    });
}

int Invalidate(const Options& o) {
    return WithCache(o, [&](JXVMGuidCache& cache) {
        if (!cache.InvalidateGuidFromCache(o.key)) {
            return Fail(kRefused, "'" + o.key + "' is not a valid key");
        }
        Say(o, o.key, "invalidated", "invalidated '" + o.key + "'");
        return static_cast<int>(kOk);
    });
}

int Sweep(const Options& o) {
    const CacheLocation where = LocateCache(o.dirName);
    if (where.expiry == 0) {
        return SwitchedOff();  // the sweep would refuse too: a dry run must not promise more
    }
    std::vector<CacheEntry> before;
    if (!ReadEntries(where, before)) {
        return Fail(kNoCache, "cannot list the cache directory");
    }
    // Records or not: the sweep removes whatever the rule calls expired.
    std::vector<CacheEntry> going;
    std::copy_if(before.begin(), before.end(), std::back_inserter(going),
                 [](const CacheEntry& e) { return e.expired; });
    if (o.dryRun) {
        PrintEntries(o, where, going, "wouldRemove");
        return kOk;
    }
    return WithCache(o, [&](JXVMGuidCache& cache) {
        if (!cache.CleanupGuidCache()) {
            return Fail(kRefused, "the sweep could not list the cache directory");
        }
        std::vector<CacheEntry> after;
        ReadEntries(where, after);
        std::set<std::string> left;
        for (const auto& e : after) {
            left.insert(e.key);
        }
        std::vector<CacheEntry> removed;
        for (const auto& e : going) {
            if (left.count(e.key) == 0) {
                removed.push_back(e);
            }
        }
        PrintEntries(o, where, removed, "removed");
        return static_cast<int>(kOk);
    });
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Inspect and maintain the agent's VM GUID cache directory."};
    app.require_subcommand(1);
    app.fallthrough();  // global options after the subcommand too, as people type them
    app.add_option("--config", o.config, "agent configuration file (default: $VSAGENT_CONFIG)");
    app.add_option("--dir-name", o.dirName, "cache directory name")->capture_default_str();
    app.add_flag("--json", o.json, "machine-readable output");

    auto* list = app.add_subcommand("list", "every entry with its fields, age and state");
    auto* get = app.add_subcommand("get", "the three fields stored under KEY");
    get->add_option("KEY", o.key)->required();
    auto* put = app.add_subcommand("put", "store a record under KEY");
    put->add_option("KEY", o.key)->required();
    put->add_option("FIRST", o.first)->required();
    put->add_option("SECOND", o.second)->required();
    put->add_option("THIRD", o.third)->required();
    auto* invalidate = app.add_subcommand("invalidate", "remove the record under KEY");
    invalidate->add_option("KEY", o.key)->required();
    auto* sweep = app.add_subcommand("sweep", "remove expired records now");
    sweep->add_flag("--dry-run", o.dryRun, "only show what would be removed");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kOk : kUsage;
    }
    // "." or ".." would make the job-results directory, or its parent, the cache to list or
    // sweep; the library refuses such names, and so does its view.
    if (!vsgc::IsSafeName(o.dirName)) {
        return Fail(kNoCache, "'" + o.dirName +
                                  "' is not a plain directory name (not empty, "
                                  "'.' or '..', no '/')");
    }
    if (!o.config.empty()) {
        ::setenv("VSAGENT_CONFIG", o.config.c_str(), 1);
    }
    if (list->parsed())
        return List(o);
    if (get->parsed())
        return Get(o);
    if (put->parsed())
        return Put(o);
    if (invalidate->parsed())
        return Invalidate(o);
    return Sweep(o);
}
