#include "base/process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "base/string_buffer.h"

namespace {

void report_failure(const char* what, int result, int error_code, const char* path)
{
    char head[200];
    snprintf(head, sizeof(head), "Error in quon_boot_exec(), %s failed.  Return code %d, error code %d.", what, result,
             error_code);
    quon_string_buffer message;
    message.append(head);
    message.append(" Filename: ");
    message.append(path);
    quon_log(message.c_str(), QUON_LOG_SOFTFAIL, QUON_CORE);
}

}  // namespace

int quon_mark_descriptors_close_on_exec()
{
    DIR* listing = opendir("/proc/self/fd");
    if (!listing)
        return -1;
    int listing_fd = dirfd(listing);
    int changed = 0;
    while (struct dirent* item = readdir(listing)) {
        char* end = nullptr;
        long fd = strtol(item->d_name, &end, 10);
        if (!end || *end || fd <= 2 || fd == listing_fd)
            continue;
        int flags = fcntl((int)fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC) && fcntl((int)fd, F_SETFD, flags | FD_CLOEXEC) == 0)
            changed++;
    }
    closedir(listing);
    return changed;
}

void quon_boot_exec(const char* path, char* const argv[])
{
    int result = chmod(path, 0700);
    if (result != 0) {
        report_failure("chmod", result, errno, path);
        // An image that may not be changed (on a read-only file system, or
        // installed by another user) but may be run already is run as it is.
        if (access(path, X_OK) != 0)
            return;
    }
    quon_string_buffer message;
    message.append("quon_boot_exec() - trying to boot image '");
    message.append(path);
    message.append("'");
    quon_log(message.c_str(), QUON_LOG_INFO, QUON_CORE);
    fflush(nullptr);
    // Descriptors opened by libraries (the display connection, toolkit
    // pipes) must not leak into the client; marking them rather than
    // closing them keeps this process working if the exec fails.
    quon_mark_descriptors_close_on_exec();
    result = execv(path, argv);
    int error_code = errno;
    report_failure("exec", result, error_code, path);
    fflush(nullptr);
}
