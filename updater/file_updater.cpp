#include "updater/file_updater.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/file_utils.h"
#include "base/log.h"
#include "base/string_buffer.h"
#include "base/threads.h"
#include "http/http_downloader.h"
#include "updater/signing.h"

namespace {

const int update_server_port = 80;
// A changed manifest is saved at the first progress report more than this
// many seconds after the last save.
const int manifest_save_interval_s = 10;
// Manifests with more entries than this announce the check.
const int large_manifest_entries = 100;

char* replace_string(char* old, const char* text)
{
    free(old);
    return text ? strdup(text) : nullptr;
}

void file_progress_trampoline(void* context, int received, int total)
{
    ((zel_file_updater*)context)->on_file_progress(received, total);
}

}  // namespace

zel_file_updater::zel_file_updater()
    : callback_context(nullptr),
      file_progress_callback(nullptr),
      overall_progress_callback(nullptr),
      message_callback(nullptr),
      verbose(0),
      delay_ms(0),
      verify_hashes(0),
      manifest_filename_(nullptr),
      temporary_file_(nullptr),
      destination_path_(nullptr),
      manifest_dirty_(0),
      last_save_time_(0),
      current_file_bytes_(0),
      total_bytes_(0),
      finished_bytes_(0)
{
}

zel_file_updater::~zel_file_updater()
{
    free(manifest_filename_);
    free(temporary_file_);
    free(destination_path_);
}

void zel_file_updater::message(const char* text)
{
    if (message_callback)
        message_callback(callback_context, text);
}

void zel_file_updater::info(const char* text)
{
    if (verbose)
        message(text);
}

int zel_file_updater::set_destination_path(const char* path)
{
    destination_path_ = replace_string(destination_path_, path);
    return path && quon_create_and_check_writeable_directory(path, 0700, nullptr);
}

int zel_file_updater::check_temporary_file()
{
    if (!temporary_file_ || !quon_recursive_mkdir(temporary_file_, 0700, nullptr))
        return 0;
    FILE* file = quon_fopen(temporary_file_, "wb");
    if (!file)
        return 0;
    quon_fclose(file);
    return 1;
}

int zel_file_updater::set_temporary_file(const char* path)
{
    temporary_file_ = replace_string(temporary_file_, path);
    return check_temporary_file();
}

int zel_file_updater::load_manifest(const char* path)
{
    manifest_filename_ = replace_string(manifest_filename_, path);
    int loaded = manifest_.load_file(path);
    if (loaded < 0)
        return 0;
    quon_string_buffer text;
    char number[64];
    if (verbose) {
        snprintf(number, sizeof(number), "%d", loaded);
        text.append("Loaded ");
        text.append(number);
        text.append(" entries from current manifest file '");
        text.append(path);
        text.append("'.");
        message(text.c_str());
    }
    if (loaded > large_manifest_entries) {
        snprintf(number, sizeof(number), "Checking %d files for updates...", loaded);
        message(number);
    }
    int kept = manifest_.remove_missing_files(destination_path_);
    if (kept < loaded && verbose) {
        snprintf(number, sizeof(number), "%d", kept);
        text.assign("Some files were deleted.  Only ");
        text.append(number);
        text.append(" entries remain.");
        message(text.c_str());
    }
    return 1;
}

int zel_file_updater::needs_update(const zel_file_manifest_entry* remote)
{
    const zel_file_manifest_entry* local = manifest_.find_entry(remote->name);
    if (local && local->size == remote->size && strcmp(local->hash, remote->hash) == 0)
        return 0;
    if (!verbose)
        return 1;
    quon_string_buffer text;
    char number[32];
    if (local) {
        snprintf(number, sizeof(number), "Expected %8d, ", (int)remote->size);
        text.append(number);
        text.append(remote->hash);
        message(text.c_str());
        snprintf(number, sizeof(number), "Previous %8d, ", (int)local->size);
        text.assign(number);
        text.append(local->hash);
        text.append(" - file '");
        text.append(remote->name);
        text.append("'");
        message(text.c_str());
    } else {
        text.append("File '");
        text.append(remote->name);
        text.append("' missing, should update.");
        message(text.c_str());
    }
    return 1;
}

int zel_file_updater::download_files(const char* server_name, const char* root_path, quon_pointer_array& list)
{
    if (!temporary_file_) {
        message("No temporary download filename set.");
        return 1;
    }
    if (!check_temporary_file()) {
        message("Temporary file unwriteable.");
        return 5;
    }
    if (!destination_path_) {
        message("No destination path set to store downloaded files.");
        return 2;
    }
    if (!quon_create_and_check_writeable_directory(destination_path_, 0700, nullptr)) {
        message("Download base path appears to be unwriteable.");
        return 5;
    }
    for (int i = 0; i < list.count(); i++)
        total_bytes_ += ((const zel_file_manifest_entry*)list.get(i))->size;
    manifest_dirty_ = 0;
    last_save_time_ = quon_gettimeofday_seconds();

    quon_string_buffer path;
    quon_string_buffer text;
    for (int i = 0; i < list.count(); i++) {
        const zel_file_manifest_entry* entry = (const zel_file_manifest_entry*)list.get(i);
        zel_join_path(path, destination_path_, entry->name);
        text.assign("Updating file '");
        text.append(entry->name);
        text.append("'.");
        info(text.c_str());

        if (!zel_manifest_name_is_safe(entry->name)) {
            text.assign("Unable to update file '");
            text.append(entry->name);
            text.append("' - its name leaves the download directory.");
            message(text.c_str());
            continue;
        }
        if (!quon_recursive_mkdir(path.c_str(), 0700, nullptr)) {
            text.assign("Unable to update file '");
            text.append(entry->name);
            text.append("' - cannot create directory.");
            message(text.c_str());
            continue;
        }
        int ok = download_one_file(server_name, root_path, entry);
        finished_bytes_ += entry->size;
        if (verbose) {
            char received[80];
            snprintf(received, sizeof(received), "Received %10.0f / %10.0f bytes.", finished_bytes_, total_bytes_);
            message(received);
        }
        if (ok)
            replace_file(entry, path.c_str());
        if (delay_ms > 0)
            quon_sleep_mseconds(delay_ms);
    }
    save_manifest_on_completion();
    return 0;
}

void zel_file_updater::replace_file(const zel_file_manifest_entry* entry, const char* path)
{
    quon_string_buffer text;
    text.append("Unable to update file '");
    text.append(entry->name);
    // rename() replaces a file or a link atomically, so the old version
    // stays in place until the new one takes its name; anything else under
    // that name has to go first, and normally cannot.
    struct stat info;
    if (lstat(path, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode) && quon_unlink(path) != 0 &&
        errno != ENOENT) {
        text.append("' - cannot remove old version.");
        message(text.c_str());
        return;
    }
    if (rename(temporary_file_, path) != 0) {
        text.append("' - cannot write new version.");
        message(text.c_str());
        return;
    }
    quon_fsync_directory_of(path);
    manifest_.add_or_update(entry);
    manifest_dirty_ = 1;
    report_progress();
}

int zel_file_updater::download_one_file(const char* server_name, const char* root_path,
                                        const zel_file_manifest_entry* entry)
{
    quon_string_buffer text;
    text.append("Unable to update file '");
    text.append(entry->name);
    text.append("' - ");

    quon_http_downloader downloader;
    downloader.context = this;
    downloader.progress_callback = file_progress_trampoline;
    // A body longer than the listed size is abandoned as soon as it passes.
    downloader.max_body_bytes = entry->size < 0 ? 0 : entry->size;
    if (!downloader.set_connection(server_name, update_server_port, 0)) {
        text.append("download failed.");
        message(text.c_str());
        return 0;
    }
    quon_string_buffer url;
    url.append(root_path);
    if (entry->name[0] != '/')
        url.append_char('/');
    url.append(entry->name);
    quon_string_buffer start;
    start.append("Starting download of file '");
    start.append(url.c_str());
    start.append("'.");
    info(start.c_str());

    // Start from an empty temporary file, so nothing left by an earlier
    // attempt can pass for this file's body.
    FILE* empty = quon_fopen(temporary_file_, "wb");
    if (empty)
        quon_fclose(empty);
    int ok = downloader.download(server_name, url.c_str(), temporary_file_);

    char detail[160];
    if (!ok && downloader.body_limit_exceeded()) {
        snprintf(detail, sizeof(detail), "server sent more than the listed %d bytes.", (int)entry->size);
    } else if (!ok) {
        snprintf(detail, sizeof(detail), "download failed.");
    } else if (downloader.expected_length() >= 0 && downloader.expected_length() != entry->size) {
        snprintf(detail, sizeof(detail), "server announced %d bytes, the listed size is %d.",
                 downloader.expected_length(), (int)entry->size);
        ok = 0;
    } else if (downloader.received() != entry->size) {
        snprintf(detail, sizeof(detail), "download incomplete, got %d of %d bytes.", downloader.received(),
                 (int)entry->size);
        ok = 0;
    } else {
        quon_file_info info;
        if (!quon_filename_get_file_info(temporary_file_, &info) || info.size != (int64_t)entry->size ||
            !quon_fsync_path(temporary_file_)) {
            snprintf(detail, sizeof(detail), "cannot write new version.");
            ok = 0;
        } else if (verify_hashes) {
            // What was written is what is checked, and then renamed.
            char digest[zel_sha256_hex_length + 1];
            if (!zel_sha256_file_hex(temporary_file_, digest)) {
                snprintf(detail, sizeof(detail), "cannot read the new version back to check it.");
                ok = 0;
            } else if (strcmp(digest, entry->hash) != 0) {
                snprintf(detail, sizeof(detail), "its SHA-256 differs from the signed list, refused.");
                ok = 0;
            }
        }
    }
    if (!ok) {
        text.append(detail);
        message(text.c_str());
        // What arrived of a failed body is of no use, and on a full disk
        // its space is what bootname.txt and the log need next.
        FILE* emptied = quon_fopen(temporary_file_, "wb");
        if (emptied)
            quon_fclose(emptied);
    }
    return ok;
}

void zel_file_updater::on_file_progress(int received, int total)
{
    if (file_progress_callback)
        file_progress_callback(callback_context, received, total);
    if (received == total) {
        current_file_bytes_ = 0;
        return;
    }
    current_file_bytes_ = received;
    report_progress();
}

void zel_file_updater::report_progress()
{
    save_manifest_if_due();
    if (overall_progress_callback)
        overall_progress_callback(callback_context, finished_bytes_ + current_file_bytes_, total_bytes_);
}

void zel_file_updater::save_manifest_if_due()
{
    int64_t now = quon_gettimeofday_seconds();
    if (!manifest_dirty_) {
        last_save_time_ = now;
        return;
    }
    if (last_save_time_ + manifest_save_interval_s >= now)
        return;
    info("Saving file manifest.");
    if (!manifest_.save_file(manifest_filename_))
        bail_out();
    manifest_dirty_ = 0;
    last_save_time_ = now;
}

void zel_file_updater::save_manifest_on_completion()
{
    if (!manifest_dirty_)
        return;
    info("Saving file manifest due to completion.");
    if (!manifest_.save_file(manifest_filename_))
        bail_out();
    manifest_dirty_ = 0;
    last_save_time_ = quon_gettimeofday_seconds();
}

void zel_file_updater::bail_out()
{
    message("Error - unable to save manifest file.  Bailing out.");
    // This runs on the updater thread: end the process without running the
    // static destructors the GUI thread may still be using.
    fflush(nullptr);
    _exit(1);
}
