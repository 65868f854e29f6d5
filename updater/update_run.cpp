#include "updater/update_run.h"

#include <stdio.h>
#include <string.h>

#include "base/containers.h"
#include "base/directory_listing.h"
#include "base/file_utils.h"
#include "base/log.h"
#include "base/string_buffer.h"
#include "base/threads.h"
#include "updater/file_updater.h"
#include "updater/remote_manifest.h"
#include "updater/signing.h"

const char* const update_download_root = "/downloads/vostel_v3";
const char* const remote_manifest_name = "manifest_linux64_executables.txt.gz";
const char* const manifest_version_name = "manifest_version";

namespace {

update_progress_sink progress_sink = nullptr;
update_flag_source beta_source = nullptr;
update_flag_source verbose_source = nullptr;

// The second in which the last percentage line was printed; survives
// between runs and is touched only by the thread running the update.
int64_t last_percentage_second = 0;

int beta_mode()
{
    return beta_source ? beta_source() : 0;
}

int verbose_mode()
{
    return verbose_source ? verbose_source() : 0;
}

void run_message(const char* text)
{
    if (verbosity_level > 0)
        log_printf("%s\n", text);
    fflush(nullptr);
}

void fetch_progress(void*, int received, int total)
{
    if (verbosity_level > 0)
        log_printf(received != total ? "." : ".\n");
    fflush(nullptr);
}

void updater_message(void*, const char* text)
{
    if (verbosity_level > 0)
        log_printf("%s\n", text);
}

void file_progress(void*, int received, int total)
{
    if (!verbose_mode() || verbosity_level <= 0)
        return;
    if (received != total) {
        log_printf(".");
        fflush(nullptr);
    } else {
        log_printf(".\n");
    }
}

void overall_progress(void* window, double done, double total)
{
    if (total <= 0)
        total = 1.0;
    double percent = done * 100.0 / total;
    if (progress_sink)
        progress_sink(window, percent);
    int64_t now = quon_gettimeofday_seconds();
    if (now == last_percentage_second)
        return;
    if (!verbose_mode() && verbosity_level > 0)
        log_printf("%5.1f%% complete.\n", percent);
    last_percentage_second = now;
}

void named_message(const char* before, const char* name, const char* after)
{
    quon_string_buffer text;
    text.append(before);
    text.append(name);
    text.append(after);
    run_message(text.c_str());
}

// manifest_version holds "N\n"; a file that is missing or not of that form
// counts as no version yet.
const int version_file_buffer_size = 64;

int64_t read_accepted_version(const char* path)
{
    FILE* file = quon_fopen(path, "rb");
    if (!file)
        return 0;
    char line[version_file_buffer_size];
    int got = fget_line(file, line, sizeof(line));
    quon_fclose(file);
    int64_t value = 0;
    quon_string_buffer header;
    header.append(zel_version_line_prefix);
    header.append(got > 0 ? line : "");
    if (zel_parse_signed_header_line(header.c_str(), &value) != zel_header_version) {
        named_message("Ignoring '", path, "': it holds no list version.");
        return 0;
    }
    return value;
}

int record_accepted_version(const char* path, int64_t version)
{
    quon_string_buffer temporary;
    FILE* file = quon_open_replacement(path, temporary);
    if (!file)
        return 0;
    fprintf(file, "%lld\n", (long long)version);
    return quon_commit_replacement(file, temporary.c_str(), path);
}

// A verified list may still be an old one replayed (a rollback to builds
// with known faults) or one kept from players past its time (a freeze):
// 1 to go on, 0 after saying which.
int accept_signed_list(const http_fetch_remote_manifest_data& remote, const char* version_path,
                       int64_t* accepted_before)
{
    char text[256];
    char expiry[32];
    if (!zel_format_expiry(remote.manifest_expires(), expiry, sizeof(expiry)))
        snprintf(expiry, sizeof(expiry), "%lld", (long long)remote.manifest_expires());
    if (remote.manifest_expires() <= quon_gettimeofday_seconds()) {
        snprintf(text, sizeof(text), "Refusing update list version %lld - it expired at %s, aborting update.",
                 (long long)remote.manifest_version(), expiry);
        run_message(text);
        return 0;
    }
    *accepted_before = read_accepted_version(version_path);
    if (remote.manifest_version() < *accepted_before) {
        snprintf(text, sizeof(text),
                 "Refusing update list version %lld - version %lld was accepted before and a list never goes "
                 "back, aborting update.",
                 (long long)remote.manifest_version(), (long long)*accepted_before);
        run_message(text);
        return 0;
    }
    if (verbose_mode()) {
        snprintf(text, sizeof(text), "Signed update list version %lld, valid until %s.",
                 (long long)remote.manifest_version(), expiry);
        run_message(text);
    }
    return 1;
}

}  // namespace

void set_update_progress_sink(update_progress_sink sink)
{
    progress_sink = sink;
}

void set_update_flag_sources(update_flag_source beta_test_mode, update_flag_source verbose)
{
    beta_source = beta_test_mode;
    verbose_source = verbose;
}

int run_executable_updater(void* window, const char* server_name, const char* root_path,
                           const char* remote_file_list, const char* local_manifest_path,
                           const char* destination_path, const char* temporary_file_path)
{
    int verbose = verbose_mode();
    if (verbose && verbosity_level > 2) {
        log_printf("Filesystem updater -------\n");
        log_printf("Server name:       %s\n", server_name);
        log_printf("Root path:         %s\n", root_path);
        log_printf("Remote file list:  %s\n", remote_file_list);
        log_printf("Local manifest:    %s\n", local_manifest_path);
        log_printf("Destination path:  %s\n", destination_path);
        log_printf("Temporary file:    %s\n", temporary_file_path);
    }

    http_fetch_remote_manifest_data remote;
    remote.callback_context = nullptr;
    remote.progress_callback = fetch_progress;
    bool signing = zel_update_signing_required();
    if (signing && !zel_update_signing_key()) {
        run_message("The update signing key built into this program is not an Ed25519 key, so no list can be "
                    "trusted, aborting update.");
        return 0;
    }
    remote.signing_key = zel_update_signing_key();
    quon_string_buffer url;
    url.append(root_path);
    url.append_char('/');
    url.append(remote_file_list);
    int records = remote.fetch(server_name, url.c_str());
    if (records < 0) {
        named_message("Error fetching update file '", remote_file_list, "' from remote server, aborting update.");
        return 0;
    }
    if (verbose) {
        char text[80];
        snprintf(text, sizeof(text), "Retrieved %d records from remote server.", records);
        run_message(text);
    }
    quon_string_buffer version_path;
    int64_t accepted_before = 0;
    if (signing) {
        zel_join_path(version_path, destination_path, manifest_version_name);
        if (!accept_signed_list(remote, version_path.c_str(), &accepted_before))
            return 0;
    }

    zel_file_updater updater;
    updater.callback_context = window;
    updater.verbose = verbose;
    updater.message_callback = updater_message;
    updater.file_progress_callback = file_progress;
    updater.overall_progress_callback = overall_progress;
    updater.delay_ms = 0;
    if (!updater.set_destination_path(destination_path)) {
        named_message("Unable to set download target directory, to '", destination_path, "', aborting update.");
        return 0;
    }
    if (!updater.set_temporary_file(temporary_file_path)) {
        named_message("Unable to access temporary download file '", temporary_file_path, "', aborting update.");
        return 0;
    }
    if (signing) {
        // Recorded before anything is fetched, so no later start can be
        // talked back below it; equal versions need no write.
        if (remote.manifest_version() > accepted_before &&
            !record_accepted_version(version_path.c_str(), remote.manifest_version())) {
            named_message("Unable to record the update list's version in '", version_path.c_str(),
                          "', aborting update.");
            return 0;
        }
        updater.verify_hashes = 1;
    }
    if (!updater.load_manifest(local_manifest_path))
        named_message("Unable to load local manifest file '", local_manifest_path, "', creating new.");

    quon_pointer_array update_list(13);
    int files_to_update = 0;
    bool first_ordinary_pending = true;
    bool first_beta_pending = true;
    quon_string_buffer path;
    // A list may name far more files than the destination holds; the ones
    // its listing lacks need no failing stat each.
    quon_directory_listing on_disk(destination_path);
    for (zel_file_manifest_entry* entry = remote.first_entry(); entry; entry = entry->next) {
        if (!entry->name || !*entry->name) {
            run_message("Error in run_executable_updater(), got null filename?");
            continue;
        }
        // A name that would leave the destination is never requested,
        // written or counted.
        if (!zel_manifest_name_is_safe(entry->name)) {
            named_message("Refusing file '", entry->name, "' from the server - its name leaves the download directory.");
            continue;
        }
        bool is_beta = strstr(entry->name, "beta") != nullptr;
        zel_join_path(path, destination_path, entry->name);

        bool add = false;
        bool check_manifest = true;
        quon_file_info info;
        if (on_disk.may_exist(entry->name) && quon_filename_get_file_info(path.c_str(), &info) &&
            info.is_regular_file) {
            if (info.size != (int64_t)entry->size) {
                if (verbose)
                    named_message("File '", entry->name, "' had different expected size, forcing update.");
                add = true;
                check_manifest = false;
            }
        } else if (verbose) {
            named_message("No backing file for '", path.c_str(), "'.");
        }

        if (check_manifest) {
            if (!updater.needs_update(entry)) {
                if (verbose)
                    named_message("File '", entry->name, "' up to date.");
            } else if (is_beta) {
                if (!first_beta_pending)
                    continue;
                if (beta_mode()) {
                    if (verbose)
                        named_message("Found first beta file '", entry->name, "'.");
                    add = true;
                }
            } else {
                if (!first_ordinary_pending)
                    continue;
                if (verbose)
                    named_message("Found first file '", entry->name, "'.");
                add = true;
            }
        }
        if (add) {
            update_list.add(entry);
            files_to_update++;
        }
        if (is_beta)
            first_beta_pending = false;
        else
            first_ordinary_pending = false;
    }

    if (files_to_update == 0) {
        run_message("Everything appears to be up to date already.");
    } else if (files_to_update == 1) {
        run_message("One file to update.");
    } else {
        char text[64];
        snprintf(text, sizeof(text), "%d files to update.", files_to_update);
        run_message(text);
    }
    if (files_to_update > 0) {
        last_percentage_second = quon_gettimeofday_seconds();
        updater.download_files(server_name, root_path, update_list);
    }
    return 1;
}
