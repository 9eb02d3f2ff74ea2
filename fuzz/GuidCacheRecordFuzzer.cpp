// A record file of arbitrary bytes, read back through LookupGuidCache.
//
// Other processes share the cache directory and a crash can leave any bytes behind, so a
// lookup must cope with every file content: a whole record (both separators, no NUL byte) is a
// hit with the fields the record format gives, anything else a miss that leaves the outputs
// alone. The raw bytes, NULs and all, also go through DecodeString (each output set only when
// its separator is there), and whatever decoded is stored again: a storable record must come
// back unchanged, an unstorable one must be refused without touching the file.
//
// The target works in a job-results root and agent configuration of its own, made once under
// $TMPDIR and removed at exit.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "JXVMGuidCache.h"

using vsfuzz::Fail;
using vsfuzz::Require;

namespace {

const std::string kSeparator = "0x17";
const std::string kKey = "vm-7c29a1b2";

struct Workspace {
    std::string root;
    std::string recordPath;
    JXVMGuidCache* cache = nullptr;
};
Workspace g_space;

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        Fail("cannot write " + path);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RemoveWorkspace() {
    delete g_space.cache;  // its sweep runs while the directory still exists
    g_space.cache = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(g_space.root, ignored);
}

struct Fields {
    std::string first = "<first untouched>";
    std::string second = "<second untouched>";
    std::string third = "<third untouched>";
};

// What the record format promises for a record text: a field is set only when the separator
// that ends it (or, for the third, the second separator) is found.
void CheckDecoded(const std::string& record, const Fields& got) {
    const Fields untouched;
    const size_t firstEnd = record.find(kSeparator);
    if (firstEnd == std::string::npos) {
        Require(got.first == untouched.first && got.second == untouched.second &&
                    got.third == untouched.third,
                "no separator: every output stays as it was");
        return;
    }
    Require(got.first == record.substr(0, firstEnd), "first field is the text before 0x17");
    const size_t secondEnd = record.find(kSeparator, firstEnd + kSeparator.size());
    if (secondEnd == std::string::npos) {
        Require(got.second == untouched.second && got.third == untouched.third,
                "one separator: second and third stay as they were");
        return;
    }
    Require(got.first + kSeparator + got.second + kSeparator + got.third == record,
            "two separators: the fields encode back to the record");
    Require(got.second.find(kSeparator) == std::string::npos, "second field holds no 0x17");
}

bool Storable(const Fields& f) {
    const std::string nul(1, '\0');
    return f.first.find(kSeparator) == std::string::npos &&
           f.second.find(kSeparator) == std::string::npos &&
           (f.first + f.second + f.third).find(nul) == std::string::npos;
}

// Storing decoded fields again: refused fields leave the file alone, stored ones come back.
void CheckStoreAgain(JXVMGuidCache& cache, const Fields& fields) {
    const std::string before = ReadFile(g_space.recordPath);
    const bool stored = cache.CacheGuid(kKey, fields.first, fields.second, fields.third);
    if (!Storable(fields)) {
        Require(!stored, "a field that cannot come back is refused");
        Require(ReadFile(g_space.recordPath) == before, "a refused record leaves the file");
        return;
    }
    Require(stored, "a storable record is written");
    Fields back;
    Require(cache.LookupGuidCache(kKey, back.first, back.second, back.third),
            "a record just written is found");
    Require(
        back.first == fields.first && back.second == fields.second && back.third == fields.third,
        "a record comes back as it was stored");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vsfuzz-guidcache-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        Fail("cannot create a temporary directory");
    }
    g_space.root = pattern;
    std::atexit(RemoveWorkspace);
    const std::string jobResults = g_space.root + "/jobresults";
    std::filesystem::create_directories(jobResults + "/fuzzhost");
    const std::string config = g_space.root + "/agent.ini";
    WriteFile(config, "[Platform]\nPhysicalMachine=fuzzhost\nJobResultsRoot=" + jobResults + "\n");
    ::setenv("VSAGENT_CONFIG", config.c_str(), 1);

    g_space.cache = new JXVMGuidCache();
    Require(g_space.cache->Init(), "Init in the fuzz workspace");
    g_space.recordPath = jobResults + "/fuzzhost/_VM_GUID_CACHE_/" + kKey;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JXVMGuidCache& cache = *g_space.cache;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    WriteFile(g_space.recordPath, bytes);

    Fields looked;
    const size_t firstEnd = bytes.find(kSeparator);
    const bool whole = firstEnd != std::string::npos &&
                       bytes.find(kSeparator, firstEnd + kSeparator.size()) != std::string::npos &&
                       bytes.find('\0') == std::string::npos;
    Require(cache.LookupGuidCache(kKey, looked.first, looked.second, looked.third) == whole,
            "a whole record is a hit, anything else a miss");
    CheckDecoded(whole ? bytes : std::string(), looked);  // a miss: outputs stay as they were

    Fields raw;
    cache.DecodeString(bytes, raw.first, raw.second, raw.third);
    CheckDecoded(bytes, raw);
    CheckStoreAgain(cache, raw);
    return 0;
}
