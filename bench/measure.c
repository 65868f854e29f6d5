/*
 * bench_measure: runs one command and reports what it cost, for the
 * whole-process benchmarks.
 *
 *     bench_measure RESULT_FILE PROGRAM [ARGUMENT...]
 *
 * Appends one line to RESULT_FILE once the command has ended:
 *
 *     start_ns=N wall_s=F user_s=F sys_s=F maxrss_kib=N status=N
 *
 * start_ns is CLOCK_MONOTONIC just before the fork, the clock a client
 * started by the command can read to time its own start against. CPU
 * times and peak resident memory come from wait4(), so they cover the
 * command and every descendant it waited for (a shell pipeline included);
 * maxrss is the largest single process, not a sum. status is the exit
 * status, or 128 + the signal that ended it. The command's standard
 * streams are this program's. Exit status: the command's, or 127 when it
 * could not be started or measured.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long monotonic_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static double seconds_of(struct timeval t)
{
    return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: bench_measure RESULT_FILE PROGRAM [ARGUMENT...]\n");
        return 127;
    }
    FILE* result = fopen(argv[1], "a");
    if (!result) {
        fprintf(stderr, "bench_measure: cannot open '%s': %s\n", argv[1], strerror(errno));
        return 127;
    }

    long long start = monotonic_ns();
    pid_t child = fork();
    if (child < 0) {
        fprintf(stderr, "bench_measure: fork failed: %s\n", strerror(errno));
        return 127;
    }
    if (child == 0) {
        fclose(result);
        execvp(argv[2], argv + 2);
        fprintf(stderr, "bench_measure: cannot run '%s': %s\n", argv[2], strerror(errno));
        _exit(127);
    }

    int status = 0;
    struct rusage usage;
    pid_t waited;
    do
        waited = wait4(child, &status, 0, &usage);
    while (waited < 0 && errno == EINTR);
    long long end = monotonic_ns();
    if (waited != child) {
        fprintf(stderr, "bench_measure: wait4 failed: %s\n", strerror(errno));
        return 127;
    }

    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    fprintf(result, "start_ns=%lld wall_s=%.6f user_s=%.6f sys_s=%.6f maxrss_kib=%ld status=%d\n", start,
            (double)(end - start) / 1e9, seconds_of(usage.ru_utime), seconds_of(usage.ru_stime), usage.ru_maxrss,
            code);
    if (fclose(result) != 0) {
        fprintf(stderr, "bench_measure: cannot write '%s'\n", argv[1]);
        return 127;
    }
    return code;
}
