// brimvale-publish: turns a folder of client builds into the download area
// of an update server that any static web server can serve.

#include <stdio.h>
#include <string.h>

#include "base/log.h"
#include "tools/release_publisher.h"
#include "updater/update_run.h"

namespace {

const char* const program_name = "brimvale-publish";

enum {
    exit_published = 0,
    exit_failed = 1,
    exit_usage = 2,
};

void print_help()
{
    printf("Usage: %s SOURCE_DIR DOCUMENT_ROOT\n"
           "\n"
           "Publishes the client builds in SOURCE_DIR for the Brimvale launcher: copies\n"
           "every regular file of the folder into DOCUMENT_ROOT%s/ and writes the\n"
           "gzip-compressed list %s there, with the SHA-256 hash,\n"
           "the exact size and the name of each file.\n"
           "\n"
           "The list runs in descending byte order of the names, and the launcher takes\n"
           "the first name without \"beta\" as the current build and, in beta-test mode,\n"
           "the first name with \"beta\" as the current beta build. So name the builds to\n"
           "sort that way, for example brimvale_client_1.104, brimvale_client_1.105 and\n"
           "brimvale_client_1.106beta (keep version numbers of equal width).\n"
           "\n"
           "Subdirectories are skipped. Nothing is published when any file cannot be\n"
           "read, is larger than %d bytes, is not a regular file or has a name the\n"
           "launcher would refuse; every problem is reported. Files are staged beside\n"
           "their final names and renamed into place, the list last, so the server never\n"
           "serves a half-copied file. Copies get mode 0644.\n"
           "\n"
           "Exit status: 0 when published, 1 on bad input or a failure, 2 on bad usage.\n",
           program_name, update_download_root, remote_manifest_name, (int)release_max_file_size);
}

void usage_error(const char* problem)
{
    fprintf(stderr, "%s: %s\nUsage: %s SOURCE_DIR DOCUMENT_ROOT (see --help)\n", program_name, problem, program_name);
}

void print_error(void*, const char* text)
{
    fprintf(stderr, "%s: error: %s\n", program_name, text);
}

void print_notice(void*, const char* text)
{
    fprintf(stderr, "%s: %s\n", program_name, text);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* positional[2] = {nullptr, nullptr};
    int count = 0;
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        if (!options_done && argument[0] == '-' && argument[1] != 0) {
            if (strcmp(argument, "--") == 0) {
                options_done = true;
                continue;
            }
            if (strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0) {
                print_help();
                return exit_published;
            }
            fprintf(stderr, "%s: unknown option '%s'\n", program_name, argument);
            usage_error("no options but --help are known.");
            return exit_usage;
        }
        if (count == 2) {
            usage_error("too many arguments.");
            return exit_usage;
        }
        positional[count++] = argument;
    }
    if (count < 2) {
        usage_error(count == 0 ? "SOURCE_DIR and DOCUMENT_ROOT are missing." : "DOCUMENT_ROOT is missing.");
        return exit_usage;
    }

    // The few reports of the shared code go with our own to standard error.
    quon_global_logfile().open("/dev/stderr");

    release_publisher publisher;
    publisher.error_callback = print_error;
    publisher.notice_callback = print_notice;
    if (publisher.scan(positional[0], positional[1]) < 0) {
        fprintf(stderr, "%s: nothing was published.\n", program_name);
        return exit_failed;
    }
    if (!publisher.publish())
        return exit_failed;

    const char* newest = nullptr;
    const char* newest_beta = nullptr;
    for (int i = 0; i < publisher.count(); i++) {
        const char* name = publisher.name(i);
        const char** slot = strstr(name, "beta") ? &newest_beta : &newest;
        if (!*slot)
            *slot = name;
    }
    printf("Published %d file%s (%lld bytes) to %s: current build %s, current beta build %s.\n", publisher.count(),
           publisher.count() == 1 ? "" : "s", (long long)publisher.total_bytes(), publisher.download_dir(),
           newest ? newest : "none", newest_beta ? newest_beta : "none");
    return exit_published;
}
