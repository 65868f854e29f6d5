#ifndef BRIMVALE_UPDATER_FILE_UPDATER_H
#define BRIMVALE_UPDATER_FILE_UPDATER_H

#include <stdint.h>

#include "base/containers.h"
#include "updater/file_manifest.h"

typedef void (*zel_file_progress_callback)(void* context, int received, int total);
typedef void (*zel_overall_progress_callback)(void* context, double done, double total);
typedef void (*zel_message_callback)(void* context, const char* text);

// Owns the local manifest for one update run and replaces files one by
// one: each is downloaded into the temporary file, checked, flushed to disk
// and renamed onto its final name. The manifest records a file only after
// its rename, so it never vouches for a version that did not reach its
// place. Texts go to message_callback as whole lines without a newline;
// informational ones only while verbose is set.
class zel_file_updater {
public:
    zel_file_updater();
    ~zel_file_updater();
    zel_file_updater(const zel_file_updater&) = delete;
    zel_file_updater& operator=(const zel_file_updater&) = delete;

    // 1 when the directory exists or was created (0700) and is writable.
    int set_destination_path(const char* path);
    // 1 when the temporary file (and its parent directories) could be
    // created or emptied.
    int set_temporary_file(const char* path);
    // 1 when the manifest file was read (then pruned against the
    // destination); 0 when it did not open or a line failed to parse.
    int load_manifest(const char* path);
    // 1 when the remote entry must be downloaded, 0 when the manifest shows
    // the file current (same size and identical hash).
    int needs_update(const zel_file_manifest_entry* remote);
    // Downloads every entry of the list (zel_file_manifest_entry pointers,
    // the caller's). 0 after the loop ran, however many files failed; 1 no
    // temporary file set; 2 no destination set; 5 either unwritable. Ends
    // the process with status 1 if the manifest cannot be saved.
    int download_files(const char* server_name, const char* root_path, quon_pointer_array& list);
    // One GET into the temporary file: 1 when a body of exactly the entry's
    // listed size arrived complete (and, with verify_hashes, hashes to the
    // entry's listed SHA-256), else 0, with the temporary file emptied again
    // so that a failed body holds no disk space.
    int download_one_file(const char* server_name, const char* root_path, const zel_file_manifest_entry* entry);

    zel_file_manifest& manifest() { return manifest_; }

    void* callback_context;
    zel_file_progress_callback file_progress_callback;
    zel_overall_progress_callback overall_progress_callback;
    zel_message_callback message_callback;
    int verbose;
    int delay_ms;
    // Set for a signed list: a download whose SHA-256 differs from the
    // entry's hash is refused before it replaces anything.
    int verify_hashes;

    // Downloader progress, public for its callback.
    void on_file_progress(int received, int total);

private:
    void message(const char* text);
    void info(const char* text);
    int check_temporary_file();
    void report_progress();
    void save_manifest_if_due();
    void save_manifest_on_completion();
    void bail_out();
    void replace_file(const zel_file_manifest_entry* entry, const char* path);

    zel_file_manifest manifest_;
    char* manifest_filename_;
    char* temporary_file_;
    char* destination_path_;
    int manifest_dirty_;
    int64_t last_save_time_;
    double current_file_bytes_;
    double total_bytes_;
    double finished_bytes_;
};

#endif
