// A record as the log builds it, once, for every sink: the stamp's room, the ids, the level
// tag, the label and the formatted, masked message in one buffer that each thread keeps from
// one record to the next. Internal to the platform's log.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

namespace tqlog {

struct FreeDeleter {
    void operator()(char* storage) const { std::free(storage); }
};

// A record built in place, its storage kept from one record to the next. Plain malloc'd
// storage rather than a string: a string would zero-fill the room vsnprintf is about to
// write. One byte more than the contents is always there, for vsnprintf's NUL and then the
// line break.
class RecordBuffer {
public:
    char* Data() const { return m_pStorage.get(); }
    char* End() const { return Data() + m_size; }
    size_t Size() const { return m_size; }
    size_t Spare() const { return m_capacity - m_size; }

    // Room for `extra` bytes and one more; false when there is no memory for it.
    // Growing doubles the need: the next record as long fits on vsnprintf's first pass.
    bool Reserve(size_t extra) {
        if (extra < Spare()) {
            return true;
        }
        const size_t capacity = std::max(kInitialCapacity, 2 * (m_size + extra + 1));
        std::unique_ptr<char, FreeDeleter> grown(static_cast<char*>(std::malloc(capacity)));
        if (!grown) {
            return false;
        }
        if (m_size > 0) {
            std::memcpy(grown.get(), Data(), m_size);  // only what is used, unlike realloc
        }
        m_pStorage = std::move(grown);
        m_capacity = capacity;
        return true;
    }
    void Commit(size_t length) {  // after writing `length` bytes at End()
        m_size += length;
    }
    bool Append(std::string_view text) {
        if (!Reserve(text.size())) {
            return false;
        }
        std::memcpy(End(), text.data(), text.size());
        m_size += text.size();
        return true;
    }
    void Truncate(size_t size) { m_size = size; }
    void Clear() { m_size = 0; }
    // A thread that once logged a huge body does not keep its storage for ever.
    void ShrinkIfHuge() {
        if (m_capacity > kKeptCapacity) {
            m_pStorage.reset();
            m_capacity = m_size = 0;
        }
    }

private:
    static constexpr size_t kInitialCapacity = size_t{16} * 1024;
    static constexpr size_t kKeptCapacity = size_t{1024} * 1024;
    std::unique_ptr<char, FreeDeleter> m_pStorage;
    size_t m_capacity = 0;
    size_t m_size = 0;
};

// The stamp's room at the head of a record, written under the write lock, right-aligned so
// that a date of any width fits: "%Y-%m-%d %H:%M:%S" is 26 characters at most for an int year,
// and ".123456" follows.
constexpr size_t kStampRoom = 40;
// " [pid %d tid %d] " and its NUL, 36 bytes with both at their widest ("-2147483648").
constexpr size_t kIdsRoom = 48;

// What each thread keeps between its records.
struct ThreadLog {
    RecordBuffer record;
    size_t message = 0;       // where the message starts in `record`, once composed
    unsigned generation = 0;  // the fork count when `ids` was made; 0: never
    char ids[kIdsRoom] = {};  // " [pid 1234 tid 1235] "
    size_t idsLength = 0;
    bool hasDate = false;
    time_t second = 0;  // the second `date` shows
    char date[kStampRoom] = {};
    size_t dateLength = 0;
};

// The calling thread's log, or nullptr once it was destroyed at thread exit.
ThreadLog* ThisThreadsLog();

// Runs `use` on the calling thread's log, or on one made for the record once that is gone (a
// destructor that logs at thread exit, a static's at process exit).
template <typename Use>
void WithThreadLog(Use&& use) {
    if (ThreadLog* log = ThisThreadsLog()) {
        use(*log);
    } else {
        ThreadLog once;
        use(once);
    }
}

// Whether a message is masked where it is formatted, or was masked by its caller already
// (TqDebug::ErrorMasked and DebugLvlMasked: the library masks its own lines).
enum class Masking { kMask, kAsGiven };

// The whole line but its stamp, whose room comes first: ids, level tag (`level` -1 for an Error
// record), label, message and line break; the message's start in log.message. False when
// there was no memory for it, or for masking it: a secret is never written because the masker
// could not run.
bool Compose(ThreadLog& log, int level, const char* label, const char* format, va_list args,
             Masking masking);

// Writes the stamp into its room and returns where the line starts. Only under the log's write
// lock, which fork takes: the date comes from localtime_r, which holds glibc's time-zone lock.
size_t PutStamp(ThreadLog& log);

// A child counts one fork more, so that each thread's cached pid and tid are made again.
void CountForkInChild();

}  // namespace tqlog
