#include "VmList.h"

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <memory>

#include "BenchMain.h"

namespace vsbench {

namespace {

// splitmix64: a fixed sequence from a fixed seed, the same on every machine.
class Sequence {
public:
    uint64_t Next() {
        uint64_t z = (m_nState += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    unsigned Below(unsigned n) { return static_cast<unsigned>(Next() % n); }

private:
    uint64_t m_nState = 20240917;
};

std::string Uuid(Sequence& random) {
    const uint64_t high = random.Next();
    const uint64_t low = random.Next();
    char text[40];
    std::snprintf(text, sizeof text, "%08llx-%04llx-4%03llx-a%03llx-%012llx",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xffff),
                  static_cast<unsigned long long>(high & 0xfff),
                  static_cast<unsigned long long>(low >> 52),
                  static_cast<unsigned long long>(low & 0xffffffffffffULL));
    return text;
}

const char* const kRoles[] = {"web", "db", "app", "cache", "build", "mail", "proxy", "backup"};
const char* const kGuests[] = {"ubuntu64Guest", "rhel8_64Guest", "windows2019srv_64Guest",
                               "debian11_64Guest", "centos7_64Guest"};
const char* const kPower[] = {"poweredOn", "poweredOn", "poweredOn", "poweredOff", "suspended"};

std::string Record(Sequence& random, size_t i) {
    const std::string uuid = Uuid(random);
    const std::string instance = Uuid(random);
    const unsigned cpus = 1U << random.Below(4);
    char text[1024];
    std::snprintf(
        text, sizeof text,
        "{\"id\":\"vm-%zu\",\"name\":\"%s-%s-%03u\",\"uuid\":\"%s\",\"instanceUuid\":\"%s\","
        "\"powerState\":\"%s\",\"guestOs\":\"%s\",\"numCpu\":%u,\"memoryMB\":%u,"
        "\"host\":\"host-%u\",\"cluster\":\"cluster-%u\",\"datastore\":\"datastore-%u\","
        "\"ipAddress\":\"10.%u.%u.%u\",\"macAddress\":\"00:50:56:%02x:%02x:%02x\","
        "\"toolsStatus\":\"%s\",\"createTime\":\"20%02u-%02u-%02uT%02u:%02u:%02uZ\","
        "\"storageCommittedBytes\":%llu,\"storageUncommittedBytes\":%llu,"
        "\"folder\":\"group-v%u\",\"resourcePool\":\"resgroup-%u\",\"hardwareVersion\":\"vmx-%u\"}",
        1000 + i, kRoles[random.Below(8)], i % 2 != 0 ? "prod" : "test", random.Below(1000),
        uuid.c_str(), instance.c_str(), kPower[random.Below(5)], kGuests[random.Below(5)], cpus,
        1024 * cpus * (1 + random.Below(4)), 10 + random.Below(40), 1 + random.Below(6),
        100 + random.Below(30), random.Below(256), random.Below(256), random.Below(256),
        random.Below(256), random.Below(256), random.Below(256),
        random.Below(4) != 0 ? "toolsOk" : "toolsOld", 17 + random.Below(8), 1 + random.Below(12),
        1 + random.Below(28), random.Below(24), random.Below(60), random.Below(60),
        static_cast<unsigned long long>(random.Next() % 500000000000ULL),
        static_cast<unsigned long long>(random.Next() % 100000000000ULL), 100 + random.Below(60),
        10 + random.Below(20), 13 + random.Below(8));
    return text;
}

struct DeflateEnd {
    void operator()(z_stream* stream) const { deflateEnd(stream); }
};
struct InflateEnd {
    void operator()(z_stream* stream) const { inflateEnd(stream); }
};

constexpr int kGzipWindow = 15 + 16;  // zlib's largest window, with a gzip wrapper

}  // namespace

size_t VmListCount() {
    return Size(kVmListCount, 100);
}

std::string VmListJson(size_t count) {
    Sequence random;
    std::string text = "{\"value\":[";
    for (size_t i = 0; i < count; ++i) {
        text += (i == 0 ? "\n" : ",\n") + Record(random, i);
    }
    return text + "\n]}\n";
}

std::string Gzip(const std::string& text) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindow, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    const std::unique_ptr<z_stream, DeflateEnd> owner(&stream);
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) {
        return {};
    }
    out.resize(stream.total_out);
    return out;
}

size_t GunzipLength(const std::string& gzip) {
    z_stream stream{};
    if (inflateInit2(&stream, kGzipWindow) != Z_OK) {
        return 0;
    }
    const std::unique_ptr<z_stream, InflateEnd> owner(&stream);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzip.data()));
    stream.avail_in = static_cast<uInt>(gzip.size());
    char chunk[16384];  // libcurl's own write size
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
    }
    return status == Z_STREAM_END ? stream.total_out : 0;
}

}  // namespace vsbench
