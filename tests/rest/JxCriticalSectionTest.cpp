#include "JxCriticalSection.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

TEST(JxCriticalSection, IsRecursiveAndExcludesOtherThreads) {
    JxCriticalSection section;
    ASSERT_TRUE(section.enter(true));
    ASSERT_TRUE(section.enter(true));  // same thread again: no deadlock
    auto tryFromOther = [&section] {
        return std::async(std::launch::async,
                          [&section] {
                              const bool got = section.enter(false);
                              if (got) {
                                  section.leave();
                              }
                              return got;
                          })
            .get();
    };
    EXPECT_FALSE(tryFromOther());
    section.leave();
    EXPECT_FALSE(tryFromOther()) << "one leave must not release a lock entered twice";
    section.leave();
    EXPECT_TRUE(tryFromOther());
}

TEST(JxCriticalSection, GuardSerialisesAndToleratesNull) {
    JxCriticalSection section;
    long counter = 0;  // deliberately not atomic: only the guard protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                JxCriticalSectionLock lock(&section);
                counter = counter + 1;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(counter, 80000);
    { JxCriticalSectionLock nothing(nullptr); }
    EXPECT_TRUE(section.enter(false)) << "the guards left the section free";
    section.leave();
}
