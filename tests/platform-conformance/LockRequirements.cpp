// LOCK-1 and LOCK-2, on the primitive itself (JxCriticalSectionH): the library's wrapper only
// forwards to it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include "JxCriticalSectionH.h"

namespace {

// Lets a thread that is about to enter get as far as it can. Only a lock that fails to exclude
// is caught by this; a correct one passes however short or long it is.
void GiveOtherThreadsAChance(const std::atomic<bool>& stopEarly) {
    for (int i = 0; i < 200 && !stopEarly.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Another thread that waits for the lock; EnteredNow() is true once its enter(true) returned.
class Contender {
public:
    explicit Contender(JxCriticalSectionH& lock)
        : m_thread([this, &lock] {
              m_bStarted = true;
              m_bGot = lock.enter(true);
              m_bEntered = true;
              if (m_bGot) {
                  lock.leave();
              }
          }) {
        while (!m_bStarted.load()) {
            std::this_thread::yield();
        }
    }
    ~Contender() { Join(); }
    Contender(const Contender&) = delete;
    Contender& operator=(const Contender&) = delete;

    bool EnteredNow() {
        GiveOtherThreadsAChance(m_bEntered);
        return m_bEntered.load();
    }
    // Waits for the thread; whether its enter returned true.
    bool Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_bGot;
    }

private:
    std::atomic<bool> m_bStarted{false};
    std::atomic<bool> m_bEntered{false};
    bool m_bGot = false;
    std::thread m_thread;
};

// A primitive that is not recursive deadlocks on the second enter. The re-entry runs in a child
// process, so that such a primitive is reported instead of hanging the whole program: the
// child is ended after this long, far more than a correct primitive can take.
constexpr unsigned kDeadlockGuardSeconds = 30;

enum ReentryOutcome {
    kReentered = 0,
    kSecondEnterFalse = 10,
    kFreedByFirstLeave = 11,
    kNotFreedByLastLeave = 12,
};

// Enters twice, then checks that the lock passes to another thread with the last leave only.
int Reenter() {
    JxCriticalSectionH lock;
    if (!lock.enter(true) || !lock.enter(true)) {
        return kSecondEnterFalse;
    }
    lock.leave();
    Contender other(lock);
    const bool enteredTooEarly = other.EnteredNow();
    lock.leave();
    const bool enteredAfterwards = other.Join();
    return enteredTooEarly      ? kFreedByFirstLeave
           : !enteredAfterwards ? kNotFreedByLastLeave
                                : kReentered;
}

// Reenter's outcome, or minus the signal that ended the child.
int ReenterInChild() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(kDeadlockGuardSeconds);
        ::_exit(Reenter());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

}  // namespace

TEST(Requirement, LOCK_1_HolderMayEnterAgain) {
    switch (ReenterInChild()) {
        case kReentered:
            break;
        case kSecondEnterFalse:
            ADD_FAILURE() << "the holder's second enter(true) returned false";
            break;
        case kFreedByFirstLeave:
            ADD_FAILURE() << "another thread got the lock after the first of two leaves";
            break;
        case kNotFreedByLastLeave:
            ADD_FAILURE() << "another thread's enter(true) failed after the last leave";
            break;
        case -SIGALRM:
            ADD_FAILURE() << "the holder's second enter(true) deadlocked (not recursive)";
            break;
        default:
            ADD_FAILURE() << "the child process failed";
            break;
    }
}

TEST(Requirement, LOCK_2_HolderExcludesOtherThreads) {
    JxCriticalSectionH lock;
    ASSERT_TRUE(lock.enter(true));
    {
        Contender other(lock);
        EXPECT_FALSE(other.EnteredNow()) << "another thread entered while the lock was held";
        lock.leave();
        EXPECT_TRUE(other.Join()) << "enter(true) returned false";
    }

    // Many threads at once: never two inside.
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> refused{0};
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            if (!lock.enter(true)) {
                ++refused;
                continue;
            }
            if (inside.fetch_add(1) != 0) {
                ++overlaps;
            }
            std::this_thread::yield();
            inside.fetch_sub(1);
            lock.leave();
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back(work);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(refused.load(), 0);
}
