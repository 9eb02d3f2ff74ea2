#include "TransportSeam.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace vsrest {
namespace FailureNotes {
namespace {

struct Table {
    std::mutex mutex;
    std::unordered_map<const void*, std::string> notes;
    std::atomic<size_t> count{0};
};

// Every connection's constructor touches the table first (Clear), so a connection that is a
// static object of its own is destroyed before the table is.
Table& TheTable() {
    static Table table;
    return table;
}

}  // namespace

void Set(const void* connection, const std::string& text) {
    Table& table = TheTable();
    const std::lock_guard<std::mutex> lock(table.mutex);
    table.notes[connection] = text;
    table.count.store(table.notes.size(), std::memory_order_release);
}

void Clear(const void* connection) {
    Table& table = TheTable();
    if (table.count.load(std::memory_order_acquire) == 0) {
        return;
    }
    const std::lock_guard<std::mutex> lock(table.mutex);
    table.notes.erase(connection);
    table.count.store(table.notes.size(), std::memory_order_release);
}

bool Find(const void* connection, std::string& text) {
    Table& table = TheTable();
    if (table.count.load(std::memory_order_acquire) == 0) {
        return false;
    }
    const std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.notes.find(connection);
    if (found == table.notes.end()) {
        return false;
    }
    text = found->second;
    return true;
}

}  // namespace FailureNotes
}  // namespace vsrest
