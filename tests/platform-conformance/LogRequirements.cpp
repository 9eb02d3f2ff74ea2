// LOG-1 to LOG-3. The log gives nothing back through its interface, so these checks drive it
// hard and fail only on a crash, an exception or a hang: what it writes, and where, is the
// platform's choice. Standard error is silenced meanwhile, since the log may write there.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Helpers.h"
#include "TqDebug.h"

using conformance::SilencedStderr;

namespace {

// Runs `body` on `count` threads at once and on this one; the exceptions that left it.
template <typename Body>
int OnThreads(int count, Body body) {
    std::atomic<int> thrown{0};
    auto guarded = [&thrown, &body](int index) {
        try {
            body(index);
        } catch (...) {
            ++thrown;
        }
    };
    std::vector<std::thread> threads;
    for (int i = 1; i <= count; ++i) {
        threads.emplace_back(guarded, i);
    }
    guarded(0);
    for (auto& thread : threads) {
        thread.join();
    }
    return thrown.load();
}

// Texts a server may put into a body, a URL or a reason, each as the library would log it.
std::vector<std::string> HostileTexts() {
    std::string everyByte;
    for (int round = 0; round < 64; ++round) {
        for (int byte = 1; byte < 256; ++byte) {
            everyByte += static_cast<char>(byte);
        }
    }
    std::string lines;
    for (int i = 0; i < 4096; ++i) {
        lines += "line " + std::to_string(i) + "\r\n\t\x1b[2J";
    }
    return {
        std::string(8u << 20, 'b'),                          // a body of megabytes
        everyByte,                                           // control bytes, bytes over 0x7f
        "%s%s%s%s%n%n%d%x%p%%%c%ls%99999999s%*.*s",          // directives as text, never run
        "\xc3\x28\xa0\xa1\xe2\x28\xa1\xf0\x28\x8c\xbc\xff",  // no UTF-8
        lines,
        "",
    };
}

void LogAsTheLibraryDoes(TqDebug& log, const std::string& text, int number) {
    const char* t = text.c_str();
    log.Error(__PRETTY_FUNCTION__, "Error: [%s] [%d]. %s [%s]", t, number, "GET", t);
    log.Error(__PRETTY_FUNCTION__, "  Rsp: [%s]", t);
    log.DebugLvl(__PRETTY_FUNCTION__, 0, "Request to %s [%s]:\n%s ", "POST", t, t);
    log.DebugLvl(__PRETTY_FUNCTION__, 2, "Response from %s [%s]:\n%s ", "PUT", t, t);
}

}  // namespace

TEST(Requirement, LOG_1_LogObjectsComeAndGoOnAnyThread) {
    SilencedStderr quiet;
    const int thrown = OnThreads(4, [](int index) {
        for (int i = 0; i < 500; ++i) {
            TqDebug log(nullptr);
            if (i % 2 == index % 2) {  // half of them are never used at all
                log.Error(__PRETTY_FUNCTION__, "object %d of thread %d", i, index);
            }
        }
    });
    EXPECT_EQ(thrown, 0);

    // Built on this thread, used and destroyed on others, as an owner handed between threads.
    std::vector<std::unique_ptr<TqDebug>> logs;
    for (int i = 0; i < 8; ++i) {
        logs.push_back(std::make_unique<TqDebug>(nullptr));
    }
    const int thrownElsewhere = OnThreads(7, [&logs](int index) {
        logs[static_cast<size_t>(index)]->DebugLvl(__PRETTY_FUNCTION__, 2, "handed over");
        logs[static_cast<size_t>(index)].reset();
    });
    EXPECT_EQ(thrownElsewhere, 0);
}

TEST(Requirement, LOG_2_CallsFromManyThreadsAtOnce) {
    SilencedStderr quiet;
    TqDebug shared(nullptr);
    const std::string text(1024, 't');
    const int thrown = OnThreads(7, [&shared, &text](int index) {
        TqDebug own(nullptr);
        for (int i = 0; i < 300; ++i) {
            LogAsTheLibraryDoes(i % 2 == 0 ? shared : own, text, index * 1000 + i);
        }
    });
    EXPECT_EQ(thrown, 0);
}

TEST(Requirement, LOG_3_AnyTextAnyLength) {
    SilencedStderr quiet;
    const std::vector<std::string> texts = HostileTexts();
    const int numbers[] = {INT_MIN, -1, 0, 1, INT_MAX};
    // Two threads at once on one object, each through every text.
    TqDebug log(nullptr);
    const int thrown = OnThreads(1, [&log, &texts, &numbers](int index) {
        for (size_t i = 0; i < texts.size(); ++i) {
            LogAsTheLibraryDoes(log, texts[i], numbers[(i + static_cast<size_t>(index)) % 5]);
        }
    });
    EXPECT_EQ(thrown, 0);
}
