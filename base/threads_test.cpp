#include "base/threads.h"

#include <atomic>
#include <chrono>
#include <pthread.h>
#include <time.h>

#include <gtest/gtest.h>

namespace {

struct thread_report {
    std::atomic<int> finished{0};
    std::atomic<int> detached{0};
    void* argument_seen = nullptr;
};

int report_and_return(void* argument)
{
    thread_report* report = (thread_report*)argument;
    report->argument_seen = argument;
    pthread_attr_t attributes;
    int state = PTHREAD_CREATE_JOINABLE;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getdetachstate(&attributes, &state);
        pthread_attr_destroy(&attributes);
    }
    report->detached.store(state == PTHREAD_CREATE_DETACHED);
    // The last touch of the report: the test may let it go after this.
    report->finished.store(1, std::memory_order_release);
    return 0;
}

// Waits, without any speed expectation, until every report is finished.
bool wait_for(thread_report* reports, int count)
{
    for (int waited = 0; waited < 20000; waited++) {
        int done = 0;
        for (int i = 0; i < count; i++)
            done += reports[i].finished.load(std::memory_order_acquire);
        if (done == count)
            return true;
        quon_sleep_mseconds(1);
    }
    return false;
}

long long elapsed_milliseconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

TEST(threads, detached_threads_run_their_function)
{
    const int count = 16;
    thread_report reports[count];
    for (int i = 0; i < count; i++)
        ASSERT_EQ(quon_thread_create("test", report_and_return, &reports[i]), 1);
    ASSERT_TRUE(wait_for(reports, count));
    for (int i = 0; i < count; i++) {
        EXPECT_EQ(reports[i].argument_seen, &reports[i]);
        EXPECT_EQ(reports[i].detached.load(), 1) << "nobody joins these threads";
    }
}

TEST(threads, sleep_returns_at_once_for_zero_and_covers_whole_seconds)
{
    auto start = std::chrono::steady_clock::now();
    quon_sleep_mseconds(0);
    quon_sleep_mseconds(-5);
    EXPECT_LT(elapsed_milliseconds(start), 1000);

    // Over a second exercises the seconds part of the request; a wrong split
    // sleeps far too little or not at all.
    start = std::chrono::steady_clock::now();
    quon_sleep_mseconds(1050);
    EXPECT_GE(elapsed_milliseconds(start), 1050);
}

TEST(threads, clock_follows_the_system_time)
{
    int64_t before = (int64_t)time(nullptr);
    int64_t now = quon_gettimeofday_seconds();
    int64_t after = (int64_t)time(nullptr);
    EXPECT_GE(now, before - 1);
    EXPECT_LE(now, after + 1);
}
