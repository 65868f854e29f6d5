#ifndef BRIMVALE_BASE_THREADS_H
#define BRIMVALE_BASE_THREADS_H

#include <stdint.h>

typedef int (*quon_thread_function)(void* argument);

// Starts a detached thread running function(argument). Nobody joins it: the
// caller learns of its end through whatever the function signals. The name
// documents the call site only. 1 when the thread was started, 0 otherwise
// (reported as hardfail under quon_threads).
int quon_thread_create(const char* name, quon_thread_function function, void* argument);

// One nanosleep; a signal ends it early and the rest is not slept.
void quon_sleep_mseconds(int milliseconds);

// Seconds since the Unix epoch, or 0 (with a sanity report) on failure.
int64_t quon_gettimeofday_seconds();

#endif
