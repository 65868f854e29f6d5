/*
 * Stands in for a game client in the launcher's end-to-end tests: the tests
 * copy it into the executables folder under names such as a1, a2 or b3beta,
 * and the launcher execs it. Each start appends one line to
 * "$HOME/fake_client_runs.txt" and then ends:
 *
 *   pid=N <TAB> cwd=PATH <TAB> argc=N <TAB> arg=TEXT ... <TAB> fd=N:TARGET ...
 *
 * one arg= field per argument in order, one fd= field per descriptor above 2
 * that was open at the exec (its /proc/self/fd link as the target). In every
 * value a backslash, tab and newline are written as "\\", "\t" and "\n", so
 * the line splits unambiguously at tabs. The line goes out in one write() on
 * a descriptor opened for appending.
 *
 * argv[0] picks the behaviour after recording: containing "crash" it dies of
 * SIGSEGV (without a core file), containing "hang" it waits until a signal
 * ends it, otherwise it exits with 0. 2 is the exit status when nothing could
 * be recorded.
 *
 * With FAKE_CLIENT_CONFIRMS_BOOT set in its environment, a client that does
 * not crash empties "bootname.txt" in its working directory (the data
 * directory), as a real client does once it has started properly, so that
 * the launcher's next start does not take this boot for a failed one.
 */
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

struct text {
    char* data;
    size_t length;
    size_t capacity;
};

static void append_raw(struct text* out, const char* bytes, size_t count)
{
    if (out->length + count + 1 > out->capacity) {
        size_t capacity = (out->length + count + 1) * 2;
        char* grown = realloc(out->data, capacity);
        if (!grown) {
            fputs("fake_client: out of memory\n", stderr);
            exit(2);
        }
        out->data = grown;
        out->capacity = capacity;
    }
    memcpy(out->data + out->length, bytes, count);
    out->length += count;
    out->data[out->length] = 0;
}

static void append_escaped(struct text* out, const char* value)
{
    for (; *value; value++) {
        if (*value == '\\')
            append_raw(out, "\\\\", 2);
        else if (*value == '\t')
            append_raw(out, "\\t", 2);
        else if (*value == '\n')
            append_raw(out, "\\n", 2);
        else
            append_raw(out, value, 1);
    }
}

static void append_field(struct text* out, const char* key, const char* value)
{
    if (out->length)
        append_raw(out, "\t", 1);
    append_raw(out, key, strlen(key));
    append_raw(out, "=", 1);
    append_escaped(out, value);
}

/* Lists the inherited descriptors before this program opens any of its own. */
static void append_descriptors(struct text* out)
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) {
        append_field(out, "fd", "unreadable");
        return;
    }
    int own = dirfd(dir);
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        char* end;
        long fd = strtol(entry->d_name, &end, 10);
        if (*end || end == entry->d_name || fd <= 2 || fd == own)
            continue;
        char link[64], target[PATH_MAX + 1], value[PATH_MAX + 96];
        snprintf(link, sizeof link, "/proc/self/fd/%ld", fd);
        ssize_t length = readlink(link, target, PATH_MAX);
        target[length > 0 ? length : 0] = 0;
        snprintf(value, sizeof value, "%ld:%s", fd, target);
        append_field(out, "fd", value);
    }
    closedir(dir);
}

int main(int argc, char** argv)
{
    struct text line = {NULL, 0, 0};
    struct text fds = {NULL, 0, 0};
    char number[32], cwd[PATH_MAX];

    append_descriptors(&fds);
    snprintf(number, sizeof number, "%ld", (long)getpid());
    append_field(&line, "pid", number);
    append_field(&line, "cwd", getcwd(cwd, sizeof cwd) ? cwd : "(unknown)");
    snprintf(number, sizeof number, "%d", argc);
    append_field(&line, "argc", number);
    for (int i = 0; i < argc; i++)
        append_field(&line, "arg", argv[i]);
    if (fds.length) {
        append_raw(&line, "\t", 1);
        append_raw(&line, fds.data, fds.length);
    }
    append_raw(&line, "\n", 1);

    const char* home = getenv("HOME");
    if (!home || !*home) {
        fputs("fake_client: HOME is not set, nothing recorded\n", stderr);
        return 2;
    }
    struct text path = {NULL, 0, 0};
    append_raw(&path, home, strlen(home));
    append_raw(&path, "/fake_client_runs.txt", strlen("/fake_client_runs.txt"));
    int out = open(path.data, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (out < 0 || write(out, line.data, line.length) != (ssize_t)line.length) {
        perror(path.data);
        return 2;
    }
    close(out);

    const char* name = argc > 0 ? argv[0] : "";
    if (strstr(name, "crash")) {
        /* The data directory is the working directory: leave no core file in it. */
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        sigset_t segv;
        sigemptyset(&segv);
        sigaddset(&segv, SIGSEGV);
        sigprocmask(SIG_UNBLOCK, &segv, NULL);
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
        return 2;
    }
    if (getenv("FAKE_CLIENT_CONFIRMS_BOOT")) {
        int confirm = open("bootname.txt", O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (confirm >= 0)
            close(confirm);
    }
    if (strstr(name, "hang")) {
        for (;;)
            pause();
    }
    return 0;
}
