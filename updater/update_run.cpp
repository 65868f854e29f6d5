#include "updater/update_run.h"

#include <stdio.h>
#include <string.h>

#include "base/containers.h"
#include "base/file_utils.h"
#include "base/log.h"
#include "base/string_buffer.h"
#include "base/threads.h"
#include "updater/file_updater.h"
#include "updater/remote_manifest.h"

const char* const update_download_root = "/downloads/vostel_v3";
const char* const remote_manifest_name = "manifest_linux64_executables.txt.gz";

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
    if (!updater.load_manifest(local_manifest_path))
        named_message("Unable to load local manifest file '", local_manifest_path, "', creating new.");

    quon_pointer_array update_list(13);
    int files_to_update = 0;
    bool first_ordinary_pending = true;
    bool first_beta_pending = true;
    quon_string_buffer path;
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
        if (quon_filename_get_file_info(path.c_str(), &info) && info.is_regular_file) {
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
