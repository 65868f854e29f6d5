/*
 * The sample game client of the demo release: it reports how the launcher
 * started it (its version, working directory and argument vector) on
 * standard output and exits with 0. Each build has its version compiled
 * in, so the builds of one release differ in content and hash.
 *
 * Like any client started by the launcher, it empties bootname.txt in its
 * working directory (the launcher's data directory) once it is up: a name
 * left there tells the launcher's next start that this build failed to
 * start, and the launcher then passes it over.
 */
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

#ifndef SAMPLE_CLIENT_VERSION
#define SAMPLE_CLIENT_VERSION "0.0"
#endif

int main(int argc, char** argv)
{
    int started = open("bootname.txt", O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (started >= 0)
        close(started);

    char directory[PATH_MAX];
    if (!getcwd(directory, sizeof(directory)))
        snprintf(directory, sizeof(directory), "(unknown)");
    printf("Brimvale sample client %s\n", SAMPLE_CLIENT_VERSION);
    printf("working directory: %s\n", directory);
    printf("started as:");
    for (int i = 0; i < argc; i++)
        printf(" %s", argv[i]);
    printf("\n");
    for (int i = 0; i < argc; i++)
        printf("argv[%d] = \"%s\"\n", i, argv[i]);
    return fflush(stdout) == 0 ? 0 : 1;
}
