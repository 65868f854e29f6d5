#include "base/file_utils.h"

#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "base/log.h"

namespace {

// Fixed sizes of the file helpers.
const int probe_random_length = 6;    // "xx" + six of 0-9a-v + ".qqq"
const int replacement_random_length = 6;
const int name_attempts = 16;         // fresh names tried when one is taken
const int mode_buffer_size = 32;      // fopen mode string plus the added "e"
const int directory_creation_mode = 0700;
const int lock_file_mode = 0600;
const int replacement_file_mode = 0644;
const int probe_file_mode = 0600;

bool is_separator(char c)
{
    return c == '/' || c == '\\';
}

uint64_t next_random()
{
    // splitmix64 over the clock, the process id and a counter: concurrent
    // probes in different processes and threads get different names, and no
    // process-wide generator state is shared with rand() users.
    static std::atomic<uint64_t> counter(0);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t z = (uint64_t)now.tv_nsec ^ ((uint64_t)now.tv_sec << 30) ^ ((uint64_t)getpid() << 40);
    z += counter.fetch_add(1, std::memory_order_relaxed) * 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Appends count characters from "0"-"9", "a"-"v" (five random bits each).
void append_random_name(quon_string_buffer& out, int count)
{
    static const char alphabet[] = "0123456789abcdefghijklmnopqrstuv";
    uint64_t bits = next_random();
    for (int i = 0; i < count; i++, bits >>= 5)
        out.append_char(alphabet[bits & 31]);
}

// Creates a file that did not exist before; never follows a planted link.
int create_new_file(const char* path, int mode)
{
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

void unlink_keeping_errno(const char* path)
{
    int saved = errno;
    unlink(path);
    errno = saved;
}

}  // namespace

FILE* quon_fopen(const char* path, const char* mode)
{
    if (!path || !mode) {
        quon_log("Error in quon_fopen(), NULL path or mode.", QUON_LOG_SANITY, QUON_CORE);
        errno = EINVAL;
        return nullptr;
    }
    size_t length = strlen(mode);
    if (length == 0 || length + 2 > (size_t)mode_buffer_size) {
        FILE* file = fopen(path, mode);
        if (file)
            fcntl(fileno(file), F_SETFD, FD_CLOEXEC);
        return file;
    }
    // glibc reads flag letters only among the first few characters, so "e"
    // goes right after the access letter, ahead of any ",ccs=" suffix.
    char with_cloexec[mode_buffer_size];
    with_cloexec[0] = mode[0];
    with_cloexec[1] = 'e';
    memcpy(with_cloexec + 2, mode + 1, length);
    return fopen(path, with_cloexec);
}

void quon_fclose(FILE* file)
{
    if (file)
        fclose(file);
}

int fget_line(FILE* file, char* buffer, int capacity)
{
    if (!file || !buffer || capacity < 1) {
        quon_log("Error in fget_line(), NULL file or buffer, or no capacity?", QUON_LOG_SANITY, QUON_CORE);
        return 0;
    }
    flockfile(file);
    int c = getc_unlocked(file);
    if (c == EOF) {
        funlockfile(file);
        return 0;
    }
    if (c == '\n' || c == '\r' || c == 0) {
        funlockfile(file);
        buffer[0] = 0;
        return 1;
    }
    int limit = capacity - 1;
    int stored = 0;
    while (c != EOF && c != '\n' && c != '\r' && c != 0) {
        if (stored < limit)
            buffer[stored++] = (char)c;
        c = getc_unlocked(file);
    }
    funlockfile(file);
    buffer[stored] = 0;
    if (stored >= limit) {
        quon_log("Warning in fget_line(), string overflow.  String was:", QUON_LOG_SOFTFAIL, QUON_CORE);
        quon_log(buffer, QUON_LOG_SOFTFAIL, QUON_CORE);
    }
    return stored + 1;
}

int quon_recursive_mkdir(const char* path, int mode, quon_string_buffer* error)
{
    if (!path) {
        quon_log("Error in quon_recursive_mkdir(), NULL path.", QUON_LOG_SANITY, QUON_CORE);
        errno = EINVAL;
        return 0;
    }
    quon_string_buffer accumulated;
    // A path too long for the buffer fails below; the cut itself is no news.
    accumulated.set_quiet(1);
    const char* at = path;
    if (is_separator(*at)) {
        accumulated.append_char('/');
        at++;
    }
    const char* component = at;
    for (; *at; at++) {
        if (!is_separator(*at))
            continue;
        if (at > component) {
            accumulated.append_range(component, at);
            // Creating a cut path would make a directory nobody asked for.
            if (accumulated.overflowed()) {
                if (error)
                    error->append(accumulated.c_str());
                errno = ENAMETOOLONG;
                return 0;
            }
            if (mkdir(accumulated.c_str(), (mode_t)mode) != 0 && errno != EEXIST) {
                if (error)
                    error->append(accumulated.c_str());
                return 0;
            }
            accumulated.append_char('/');
        }
        component = at + 1;
    }
    return 1;
}

int quon_create_and_check_writeable_directory(const char* path, int /*mode*/, quon_string_buffer* error)
{
    if (!path) {
        quon_log("Error in quon_create_and_check_writeable_directory(), NULL path.", QUON_LOG_SANITY, QUON_CORE);
        errno = EINVAL;
        return 0;
    }
    quon_string_buffer probe;
    probe.set_quiet(1);
    if (*path) {
        probe.append(path);
        probe.append_char('/');
        if (probe.overflowed()) {
            if (error)
                error->append(probe.c_str());
            errno = ENAMETOOLONG;
            return 0;
        }
        if (!quon_recursive_mkdir(probe.c_str(), directory_creation_mode, error))
            return 0;
    }
    for (int attempt = 0; attempt < name_attempts; attempt++) {
        probe.assign(path);
        if (*path)
            probe.append_char('/');
        probe.append("xx");
        append_random_name(probe, probe_random_length);
        probe.append(".qqq");
        if (probe.overflowed()) {
            errno = ENAMETOOLONG;
            break;
        }
        // An exclusive create: a probe name that happens to exist belongs to
        // someone else and must be neither emptied nor removed.
        int descriptor = create_new_file(probe.c_str(), probe_file_mode);
        if (descriptor >= 0) {
            close(descriptor);
            unlink(probe.c_str());
            return 1;
        }
        if (errno != EEXIST)
            break;
    }
    if (error)
        error->append(probe.c_str());
    return 0;
}

int quon_unlink(const char* path)
{
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    return unlink(path);
}

int quon_lock_file(const char* path)
{
    if (!path) {
        quon_log("Error in quon_lock_file(), NULL path.", QUON_LOG_SANITY, QUON_CORE);
        errno = EINVAL;
        return -1;
    }
    int descriptor = open(path, O_RDWR | O_CREAT | O_CLOEXEC, lock_file_mode);
    if (descriptor < 0)
        return -1;
    // A fresh descriptor sits at offset 0, so this covers the whole file and
    // anything appended later.
    if (lockf(descriptor, F_TLOCK, 0) != 0) {
        int saved = errno;
        close(descriptor);
        errno = saved;
        return -1;
    }
    return descriptor;
}

int quon_file_lockable(const char* path)
{
    if (!path)
        return 0;
    if (access(path, W_OK) == 0)
        return 1;
    if (errno != ENOENT)
        return 0;
    quon_string_buffer directory;
    directory.set_quiet(1);
    const char* slash = strrchr(path, '/');
    if (!slash)
        directory.append(".");
    else if (slash == path)
        directory.append("/");
    else
        directory.append_range(path, slash);
    return !directory.overflowed() && access(directory.c_str(), W_OK) == 0;
}

int quon_unlock_file(int descriptor)
{
    if (descriptor < 0)
        return 0;
    // lockf counts from the current offset; nobody should have moved it, but
    // the unlock must cover what the lock did.
    lseek(descriptor, 0, SEEK_SET);
    int unlocked = lockf(descriptor, F_ULOCK, 0) == 0;
    int saved = errno;
    close(descriptor);
    errno = saved;
    return unlocked;
}

int quon_filename_get_file_info(const char* path, quon_file_info* info)
{
    if (!info) {
        quon_log("Error in quon_filename_get_file_info(), NULL dest.", QUON_LOG_SANITY, QUON_CORE);
        errno = EINVAL;
        return 0;
    }
    if (!path) {
        quon_log("Error in quon_filename_get_file_info(), NULL path.", QUON_LOG_SANITY, QUON_CORE);
        errno = EINVAL;
        return 0;
    }
    struct stat status;
    if (stat(path, &status) != 0)
        return 0;
    info->size = (int64_t)status.st_size;
    info->modification_time = (int64_t)status.st_mtime;
    info->is_regular_file = S_ISREG(status.st_mode) ? 1 : 0;
    info->is_directory = S_ISDIR(status.st_mode) ? 1 : 0;
    return 1;
}

char* quon_getcwd(char* buffer, size_t size)
{
    return getcwd(buffer, size);
}

int quon_chdir(const char* path)
{
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    return chdir(path);
}

FILE* quon_open_replacement(const char* path, quon_string_buffer& temporary_path)
{
    temporary_path.clear();
    if (!path || !*path) {
        quon_log("Error in quon_open_replacement(), NULL or empty path.", QUON_LOG_SANITY, QUON_CORE);
        errno = EINVAL;
        return nullptr;
    }
    // A file the user made read-only stays as it is, exactly as an in-place
    // rewrite would have been refused.
    if (access(path, F_OK) == 0 && access(path, W_OK) != 0)
        return nullptr;
    quon_string_buffer name;
    name.set_quiet(1);
    int descriptor = -1;
    for (int attempt = 0; attempt < name_attempts && descriptor < 0; attempt++) {
        name.assign(path);
        name.append(".tmp-");
        append_random_name(name, replacement_random_length);
        if (name.overflowed()) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        descriptor = create_new_file(name.c_str(), replacement_file_mode);
        if (descriptor < 0 && errno != EEXIST)
            break;
    }
    if (descriptor < 0)
        return nullptr;
    temporary_path.assign(name.c_str());
    FILE* file = fdopen(descriptor, "wb");
    if (!file) {
        int saved = errno;
        close(descriptor);
        unlink(temporary_path.c_str());
        temporary_path.clear();
        errno = saved;
    }
    return file;
}

int quon_commit_replacement(FILE* file, const char* temporary_path, const char* path)
{
    if (!file || !temporary_path || !path) {
        quon_log("Error in quon_commit_replacement(), NULL file or path.", QUON_LOG_SANITY, QUON_CORE);
        if (file)
            fclose(file);
        if (temporary_path && *temporary_path)
            unlink_keeping_errno(temporary_path);
        errno = EINVAL;
        return 0;
    }
    // An earlier failed fwrite leaves only the error indicator behind.
    int written = !ferror(file);
    if (!written)
        errno = EIO;
    if (written && fflush(file) != 0)
        written = 0;
    if (written && fsync(fileno(file)) != 0)
        written = 0;
    int saved = errno;
    // fclose reports a late write error too; the stream is gone either way.
    if (fclose(file) != 0 && written) {
        written = 0;
        saved = errno;
    }
    errno = saved;
    if (!written || rename(temporary_path, path) != 0) {
        unlink_keeping_errno(temporary_path);
        return 0;
    }
    return quon_fsync_directory_of(path);
}

int quon_fsync_directory_of(const char* path)
{
    if (!path) {
        errno = EINVAL;
        return 0;
    }
    quon_string_buffer directory;
    directory.set_quiet(1);
    const char* slash = strrchr(path, '/');
    if (!slash)
        directory.append(".");
    else if (slash == path)
        directory.append("/");
    else
        directory.append_range(path, slash);
    if (directory.overflowed()) {
        errno = ENAMETOOLONG;
        return 0;
    }
    int descriptor = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return 0;
    int synced = fsync(descriptor) == 0;
    // Some file systems cannot sync a directory; nothing more can be done.
    if (!synced && (errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP))
        synced = 1;
    int saved = errno;
    close(descriptor);
    errno = saved;
    return synced;
}

void quon_abandon_replacement(FILE* file, const char* temporary_path)
{
    if (file)
        fclose(file);
    if (temporary_path && *temporary_path)
        unlink_keeping_errno(temporary_path);
}

int quon_fsync_path(const char* path)
{
    if (!path) {
        quon_log("Error in quon_fsync_path(), NULL path.", QUON_LOG_SANITY, QUON_CORE);
        return 0;
    }
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return 0;
    int synced = fsync(descriptor) == 0;
    int saved = errno;
    close(descriptor);
    errno = saved;
    return synced;
}

int quon_start_writeback(FILE* file, int64_t offset, int64_t length)
{
    if (!file || offset < 0 || length < 1 || fflush(file) != 0)
        return 0;
    int saved = errno;
    int started = sync_file_range(fileno(file), offset, length, SYNC_FILE_RANGE_WRITE) == 0;
    errno = saved;
    return started;
}
