#include "base/threads.h"

#include <pthread.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

#include "base/log.h"

namespace {

struct thread_start_record {
    quon_thread_function function;
    void* argument;
};

void* thread_start(void* raw)
{
    thread_start_record* record = (thread_start_record*)raw;
    record->function(record->argument);
    free(record);
    return nullptr;
}

}  // namespace

int quon_thread_create(const char* /*name*/, quon_thread_function function, void* argument)
{
    thread_start_record* record = (thread_start_record*)malloc(sizeof(thread_start_record));
    int created = 0;
    if (record) {
        record->function = function;
        record->argument = argument;
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) == 0) {
            pthread_t thread;
            pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
            created = pthread_create(&thread, &attributes, thread_start, record) == 0;
            pthread_attr_destroy(&attributes);
        }
        if (!created)
            free(record);
    }
    if (!created) {
        quon_log("Error in quon_thread_create(), thread create failed?", QUON_LOG_HARDFAIL, QUON_THREADS);
        return 0;
    }
    return 1;
}

void quon_sleep_mseconds(int milliseconds)
{
    if (milliseconds <= 0)
        return;
    struct timespec request;
    request.tv_sec = milliseconds / 1000;
    request.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    nanosleep(&request, nullptr);
}

int64_t quon_gettimeofday_seconds()
{
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        quon_log("Error in quon_gettimeofday_seconds(), syscall failed.", QUON_LOG_SANITY, QUON_CORE);
        return 0;
    }
    return (int64_t)now.tv_sec;
}
