// brimvale-publish: turns a folder of client builds into the download area
// of an update server that any static web server can serve.

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "base/log.h"
#include "tools/release_publisher.h"
#include "tools/release_signer.h"
#include "updater/signing.h"
#include "updater/update_run.h"

namespace {

const char* const program_name = "brimvale-publish";

enum {
    exit_published = 0,
    exit_failed = 1,
    exit_usage = 2,
};

// The launcher reads a list version of at most 18 digits.
const int64_t largest_version = 999999999999999999LL;

void print_help()
{
    printf("Usage: %s SOURCE_DIR DOCUMENT_ROOT\n"
           "       %s --sign-key KEY.pem [--version N] [--expires-in DAYS] SOURCE_DIR DOCUMENT_ROOT\n"
           "       %s --print-public-key KEY.pem\n"
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
           "Signed releases, for launchers built with UPDATE_SIGNING_PUBLIC_KEY:\n"
           "  --sign-key KEY.pem     sign with this Ed25519 private key (PEM, as\n"
           "                         `openssl genpkey -algorithm ed25519 -out KEY.pem`\n"
           "                         makes it): the list opens with \"# manifest-version N\"\n"
           "                         and \"# manifest-expires ...\" lines, and %s%s\n"
           "                         holds the signature of the compressed list\n"
           "  --version N            the list's version (default: the current Unix time,\n"
           "                         or one above the published list's if that is higher);\n"
           "                         launchers never take a version below one they took\n"
           "  --expires-in DAYS      launchers refuse the list after DAYS days (default %d);\n"
           "                         publish again before then\n"
           "  --print-public-key KEY.pem  print the public key, the value for\n"
           "                         UPDATE_SIGNING_PUBLIC_KEY, and exit\n"
           "\n"
           "Exit status: 0 when published, 1 on bad input or a failure, 2 on bad usage.\n",
           program_name, program_name, program_name, update_download_root, remote_manifest_name,
           (int)release_max_file_size, remote_manifest_name, zel_signature_suffix, (int)release_default_expiry_days);
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

// A decimal number from 1 to largest, digits only; 0 for anything else.
int64_t positive_number(const char* text, int64_t largest)
{
    int64_t value = 0;
    if (!*text)
        return 0;
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9' || value > (largest - (*p - '0')) / 10)
            return 0;
        value = value * 10 + (*p - '0');
    }
    return value;
}

int print_public_key(const char* path)
{
    release_signer signer;
    quon_string_buffer problem;
    char hex[zel_signing_key_hex_length + 1];
    if (!signer.load(path, &problem)) {
        print_error(nullptr, problem.c_str());
        return exit_failed;
    }
    if (!signer.public_key_hex(hex)) {
        print_error(nullptr, "Cannot take the public key from the signing key.");
        return exit_failed;
    }
    printf("%s\n", hex);
    return exit_published;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* positional[2] = {nullptr, nullptr};
    int count = 0;
    bool options_done = false;
    const char* sign_key = nullptr;
    const char* public_key_of = nullptr;
    int64_t version = 0;
    int64_t expires_in_days = 0;
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
            bool takes_value = strcmp(argument, "--sign-key") == 0 || strcmp(argument, "--version") == 0 ||
                               strcmp(argument, "--expires-in") == 0 || strcmp(argument, "--print-public-key") == 0;
            if (!takes_value) {
                fprintf(stderr, "%s: unknown option '%s'\n", program_name, argument);
                usage_error("the options are --sign-key, --version, --expires-in, --print-public-key and --help.");
                return exit_usage;
            }
            if (i + 1 == argc) {
                fprintf(stderr, "%s: option '%s' needs a value\n", program_name, argument);
                usage_error("a value is missing.");
                return exit_usage;
            }
            const char* value = argv[++i];
            if (strcmp(argument, "--sign-key") == 0) {
                sign_key = value;
            } else if (strcmp(argument, "--print-public-key") == 0) {
                public_key_of = value;
            } else if (strcmp(argument, "--version") == 0) {
                version = positive_number(value, largest_version);
                if (!version) {
                    usage_error("--version takes a whole number from 1 to 999999999999999999.");
                    return exit_usage;
                }
            } else {
                expires_in_days = positive_number(value, release_max_expiry_days);
                if (!expires_in_days) {
                    usage_error("--expires-in takes a whole number of days from 1 to 3650.");
                    return exit_usage;
                }
            }
            continue;
        }
        if (count == 2) {
            usage_error("too many arguments.");
            return exit_usage;
        }
        positional[count++] = argument;
    }
    if (public_key_of) {
        if (count || sign_key || version || expires_in_days) {
            usage_error("--print-public-key takes nothing else.");
            return exit_usage;
        }
        return print_public_key(public_key_of);
    }
    if (!sign_key && (version || expires_in_days)) {
        usage_error("--version and --expires-in apply to signed releases only (--sign-key KEY.pem).");
        return exit_usage;
    }
    if (count < 2) {
        usage_error(count == 0 ? "SOURCE_DIR and DOCUMENT_ROOT are missing." : "DOCUMENT_ROOT is missing.");
        return exit_usage;
    }

    // The few reports of the shared code go with our own to standard error.
    quon_global_logfile().open("/dev/stderr");

    // The key first: a bad key is reported before a long scan.
    release_signer signer;
    if (sign_key) {
        quon_string_buffer problem;
        if (!signer.load(sign_key, &problem)) {
            print_error(nullptr, problem.c_str());
            fprintf(stderr, "%s: nothing was published.\n", program_name);
            return exit_failed;
        }
    }
    release_publisher publisher;
    publisher.error_callback = print_error;
    publisher.notice_callback = print_notice;
    if (publisher.scan(positional[0], positional[1]) < 0) {
        fprintf(stderr, "%s: nothing was published.\n", program_name);
        return exit_failed;
    }
    if (sign_key &&
        !publisher.sign_with(&signer, version, expires_in_days ? (int)expires_in_days : release_default_expiry_days)) {
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
    if (sign_key) {
        char expiry[32];
        zel_format_expiry(publisher.signed_expires(), expiry, sizeof(expiry));
        printf("Signed the list as version %lld, valid until %s; its signature is %s/%s%s.\n",
               (long long)publisher.signed_version(), expiry, publisher.download_dir(), remote_manifest_name,
               zel_signature_suffix);
    }
    return exit_published;
}
