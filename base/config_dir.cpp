#include "base/config_dir.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/file_utils.h"
#include "base/log.h"

namespace {

const int directory_mode = 0700;

char* recorded_path = nullptr;

void report(const char* text, int levels)
{
    quon_log(text, levels, QUON_CLIENT_CONFIGDIR);
}

void report_check(const char* path, int usable)
{
    quon_string_buffer message;
    message.append("Checking config directory: ");
    message.append(path);
    if (!usable)
        message.append(" [FAIL]");
    report(message.c_str(), QUON_LOG_INFO);
}

// A directory that already existed may have been made by someone else,
// under /tmp above all: whoever can write to it, or repoint a link to it,
// could plant the executables that the launcher later runs.
int is_private_directory(const char* path)
{
    uid_t me = geteuid();
    struct stat entry;
    if (lstat(path, &entry) != 0)
        return 0;
    if (S_ISLNK(entry.st_mode) && entry.st_uid != me && entry.st_uid != 0)
        return 0;
    struct stat target;
    if (stat(path, &target) != 0)
        return 0;
    return S_ISDIR(target.st_mode) && target.st_uid == me && (target.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Candidate number index for base name and home, made absolute. 0 when
// there is no absolute form (the working directory cannot be read); the
// relative form is left in candidate for the report.
int build_candidate(int index, const char* home, const char* name, quon_string_buffer& candidate)
{
    quon_string_buffer relative;
    switch (index) {
    case 0:
        relative.append(home);
        relative.append("/.");
        break;
    case 1:
        relative.append(".");
        break;
    case 2:
        relative.append("/tmp/");
        break;
    default:
        break;
    }
    relative.append(name);
    candidate.clear();
    if (relative.c_str()[0] == '/') {
        candidate.append(relative.c_str());
        return 1;
    }
    char working_directory[PATH_MAX];
    if (!quon_getcwd(working_directory, sizeof(working_directory))) {
        candidate.append(relative.c_str());
        return 0;
    }
    candidate.append(working_directory);
    if (strcmp(working_directory, "/") != 0)
        candidate.append_char('/');
    candidate.append(relative.c_str());
    return 1;
}

}  // namespace

int check_config_directory(const char* path)
{
    int usable = quon_create_and_check_writeable_directory(path, directory_mode, nullptr);
    if (usable && path && !is_private_directory(path))
        usable = 0;
    report_check(path, usable);
    return usable;
}

int quon_client_set_up_config_directory(const char* name)
{
    if (!name)
        return 0;
    if (recorded_path) {
        report("Error in quon_client_set_up_config_directory(), attempt to change config directory path after "
               "initial configuration.",
               QUON_LOG_SANITY);
        quon_string_buffer message;
        message.append("Old path '");
        message.append(recorded_path);
        message.append("', new base name '");
        message.append(name);
        message.append("'");
        report(message.c_str(), QUON_LOG_INFO);
    }
    const char* home = getenv("HOME");
    if (!home) {
        report("Error in quon_client_set_up_config_directory(), unable to fetch home directory - please set HOME "
               "environment variable and restart.",
               QUON_LOG_SANITY);
        return 0;
    }
    const int candidate_count = 4;
    for (int index = 0; index < candidate_count; index++) {
        quon_string_buffer candidate;
        if (!build_candidate(index, home, name, candidate)) {
            report_check(candidate.c_str(), 0);
            continue;
        }
        if (!check_config_directory(candidate.c_str()))
            continue;
        char* copy = strdup(candidate.c_str());
        if (!copy) {
            report("Error in quon_client_set_up_config_directory(), out of memory?", QUON_LOG_HARDFAIL);
            return 0;
        }
        free(recorded_path);
        recorded_path = copy;
        quon_string_buffer message;
        message.append("quon_client_set_up_config_directory() - got final config directory '");
        message.append(recorded_path);
        message.append("'");
        report(message.c_str(), QUON_LOG_INFO);
        return 1;
    }
    report("quon_client_set_up_config_directory() - Giving up.  Cannot create config directory.", QUON_LOG_FERR);
    return 0;
}

int quon_client_cd_to_config_directory(const char* name, quon_string_buffer& reason)
{
    if (!quon_client_set_up_config_directory(name)) {
        reason.append("unable to get at system config directory");
        return 0;
    }
    if (quon_chdir(recorded_path) == 0)
        return 1;
    switch (errno) {
    case EACCES:
        report("Error in quon_client_cd_to_config_directory(), failed due to access permissions.", QUON_LOG_SANITY);
        break;
    case ENOTDIR:
        report("Error in quon_client_cd_to_config_directory(), target path is not a directory.", QUON_LOG_SANITY);
        break;
    case ENOENT:
        report("Error in quon_client_cd_to_config_directory(), target path does not exist.", QUON_LOG_SANITY);
        break;
    default:
        break;
    }
    reason.append("unable to access / cd to config working directory");
    return 0;
}

const char* quon_client_get_config_directory()
{
    return recorded_path;
}
