// brimvale-update: one update run of the launcher, without the window, for
// operators who pre-seed a data directory and for benchmarks.

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "base/file_utils.h"
#include "base/log.h"
#include "base/string_buffer.h"
#include "net/ssl_startup.h"
#include "updater/signing.h"
#include "updater/signing_key.h"
#include "updater/update_run.h"

namespace {

const char* const program_name = "brimvale-update";
// The same names the launcher uses inside its executables directory.
const char* const local_manifest_name = "/update_manifest.lst";
const char* const temporary_file_name = "/download.tmp";
const char* const lock_file_name = "/lock.tmp";

enum {
    exit_compared = 0,
    exit_run_failed = 1,
    exit_usage = 2,
};

int beta_test_mode = 0;
int verbose_mode = 0;

int beta_test_flag()
{
    return beta_test_mode;
}

int verbose_flag()
{
    return verbose_mode;
}

void print_help()
{
    printf("Usage: %s [-v] [-b] HOST ROOT_PATH DESTINATION_DIR\n"
           "\n"
           "Runs one update run of the Brimvale launcher, without its window: fetches\n"
           "ROOT_PATH/%s from HOST over HTTP on port 80 and\n"
           "brings DESTINATION_DIR up to date exactly as the launcher brings its\n"
           "executables directory, recording what it placed in\n"
           "DESTINATION_DIR%s (downloads go through DESTINATION_DIR%s).\n"
           "The launcher's own server uses the ROOT_PATH %s.\n"
           "\n"
           "  -b, --beta      beta-test mode: fetch the current beta build too\n"
           "  -v, --verbose   name every file and print per-file progress\n"
           "  -h, --help      this text\n"
           "\n"
           "The run's messages and progress go to standard output. A launcher updating\n"
           "the same directory at the same time holds DESTINATION_DIR%s, and then\n"
           "this command waits for nothing and fails.\n"
           "\n"
           "Exit status: 0 when the run reached the comparison with the server's list\n"
           "(whatever happened to single downloads), 1 when it stopped before (no list,\n"
           "an unusable DESTINATION_DIR), 2 on bad usage.\n",
           program_name, remote_manifest_name, local_manifest_name, temporary_file_name, update_download_root,
           lock_file_name);
    if (zel_update_signing_required())
        printf("\n"
               "This build takes only lists signed with its release key: the signature\n"
               "ROOT_PATH/%s%s must match the list, the list's\n"
               "version may not fall below the one recorded in DESTINATION_DIR/%s,\n"
               "its expiry may not have passed, and every file must match its SHA-256.\n",
               remote_manifest_name, zel_signature_suffix, manifest_version_name);
}

int usage_error(const char* problem)
{
    fprintf(stderr, "%s: %s\nUsage: %s [-v] [-b] HOST ROOT_PATH DESTINATION_DIR (see --help)\n", program_name,
            problem, program_name);
    return exit_usage;
}

// A bare host name or address: the run always speaks plain HTTP on port 80,
// so "http://", a port or a path would only fail later and less clearly.
bool is_bare_host(const char* host)
{
    if (!*host)
        return false;
    for (const char* p = host; *p; p++)
        if (*p == '/' || *p == ':' || (unsigned char)*p <= ' ' || *p == 127)
            return false;
    return true;
}

// Copies text without its trailing slashes (a lone "/" becomes empty).
void assign_without_trailing_slashes(quon_string_buffer& out, const char* text)
{
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == '/')
        length--;
    out.clear();
    out.append_range(text, text + length);
}

}  // namespace

int main(int argc, char** argv)
{
    zel_set_update_signing_key(update_signing_public_key);
    const char* positional[3] = {nullptr, nullptr, nullptr};
    int count = 0;
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        if (!options_done && argument[0] == '-' && argument[1] != 0) {
            if (strcmp(argument, "--") == 0) {
                options_done = true;
            } else if (strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0) {
                print_help();
                return exit_compared;
            } else if (strcmp(argument, "-b") == 0 || strcmp(argument, "--beta") == 0) {
                beta_test_mode = 1;
            } else if (strcmp(argument, "-v") == 0 || strcmp(argument, "--verbose") == 0) {
                verbose_mode = 1;
            } else {
                fprintf(stderr, "%s: unknown option '%s'\n", program_name, argument);
                return usage_error("the options are -v, -b and --help.");
            }
            continue;
        }
        if (count == 3)
            return usage_error("too many arguments.");
        positional[count++] = argument;
    }
    if (count < 3)
        return usage_error("HOST, ROOT_PATH and DESTINATION_DIR are all needed.");
    const char* host = positional[0];
    if (!is_bare_host(host))
        return usage_error("HOST is a bare host name or address (the run always uses HTTP on port 80).");
    if (positional[1][0] != '/')
        return usage_error("ROOT_PATH is a URL path and begins with \"/\", for example /downloads/vostel_v3.");
    if (!positional[2][0])
        return usage_error("DESTINATION_DIR is empty.");

    // The run joins root + "/" + name itself.
    quon_string_buffer root_path;
    assign_without_trailing_slashes(root_path, positional[1]);
    quon_string_buffer destination;
    assign_without_trailing_slashes(destination, positional[2]);
    if (destination.length() == 0)
        destination.assign("/");
    quon_string_buffer manifest_path;
    quon_string_buffer temporary_path;
    quon_string_buffer lock_path;
    const char* separator_free = destination.length() == 1 && destination.c_str()[0] == '/' ? "" : destination.c_str();
    manifest_path.append(separator_free);
    manifest_path.append(local_manifest_name);
    temporary_path.append(separator_free);
    temporary_path.append(temporary_file_name);
    lock_path.append(separator_free);
    lock_path.append(lock_file_name);
    if (lock_path.overflowed())
        return usage_error("DESTINATION_DIR is too long.");

    // Without a log file the log is standard output, opened here so that no
    // fallback warning precedes the run's own lines.
    quon_global_logfile().open(nullptr);
    if (!init_ssl()) {
        log_printf("TLS start-up failed; no update was run.\n");
        return exit_run_failed;
    }
    set_update_flag_sources(beta_test_flag, verbose_flag);

    // One update of a directory at a time, launchers included. When the
    // directory cannot be made, the run says why.
    int lock = -1;
    quon_string_buffer directory;
    directory.append(destination.c_str());
    directory.append_char('/');
    if (quon_recursive_mkdir(directory.c_str(), 0700)) {
        lock = quon_lock_file(lock_path.c_str());
        if (lock < 0 && (errno == EAGAIN || errno == EACCES)) {
            log_printf("Another update of '%s' is running (it holds '%s'); try again when it has finished.\n",
                       destination.c_str(), lock_path.c_str());
            return exit_run_failed;
        }
    }

    int compared = run_executable_updater(nullptr, host, root_path.c_str(), remote_manifest_name,
                                          manifest_path.c_str(), destination.c_str(), temporary_path.c_str());
    quon_unlock_file(lock);
    return compared ? exit_compared : exit_run_failed;
}
