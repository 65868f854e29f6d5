/*
 * bench_client: the game client of the start-to-exec benchmark. Its first
 * statement reads CLOCK_MONOTONIC; it then appends
 *
 *     client_ns=N argv0=NAME
 *
 * to the file named by BRIMVALE_BENCH_STAMP (the launcher hands its
 * environment to the client unchanged) and exits with 0. Linked
 * statically, so no dynamic loader runs between the launcher's execv and
 * that first statement. Without the variable it only exits.
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char** argv)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const char* path = getenv("BRIMVALE_BENCH_STAMP");
    if (!path)
        return 0;
    FILE* stamp = fopen(path, "a");
    if (!stamp)
        return 1;
    fprintf(stamp, "client_ns=%lld argv0=%s\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec,
            argc > 0 ? argv[0] : "");
    return fclose(stamp) == 0 ? 0 : 1;
}
