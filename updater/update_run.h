#ifndef BRIMVALE_UPDATER_UPDATE_RUN_H
#define BRIMVALE_UPDATER_UPDATE_RUN_H

// Where releases live on the update server: the download root (a URL path,
// no trailing slash) and the compressed list of files inside it. The
// launcher, the publishing tool and the headless updater share them.
extern const char* const update_download_root;  // "/downloads/vostel_v3"
extern const char* const remote_manifest_name;  // "manifest_linux64_executables.txt.gz"
// With a release key (updater/signing.h), the highest list version accepted
// so far, kept in the destination directory as "N\n" under this name.
extern const char* const manifest_version_name;  // "manifest_version"

// Where the overall download percentage goes: the launcher hands it to its
// window; window is the opaque pointer given to run_executable_updater.
// Called on the thread running the update.
typedef void (*update_progress_sink)(void* window, double percent);
void set_update_progress_sink(update_progress_sink sink);

// Reads the two settings the run consults as it goes (beta-test mode and
// the verbose flag); both may change on another thread during a run.
typedef int (*update_flag_source)();
void set_update_flag_sources(update_flag_source beta_test_mode, update_flag_source verbose);

// One update run: fetches root_path + "/" + remote_file_list from
// server_name (HTTP, port 80), compares it with the local manifest and the
// files under destination_path, downloads the current ordinary build (and
// the current beta build in beta-test mode) and any listed file whose size
// on disk is wrong, each through temporary_file_path. 1 when the run
// reached the comparison stage, 0 when it stopped before: the list was not
// fetched, or the destination or the temporary file is unusable.
//
// With a release key set (zel_set_update_signing_key), the list must also
// be signed by it, give every file a SHA-256, carry a version no lower than
// the one recorded under manifest_version_name and an expiry not yet
// passed; a list refused for any of these ends the run with 0 and nothing
// on disk changed. A taken list's version is recorded before the
// downloads, and a file that does not hash to its listed SHA-256 is
// refused alone, as a failed download is.
int run_executable_updater(void* window, const char* server_name, const char* root_path,
                           const char* remote_file_list, const char* local_manifest_path,
                           const char* destination_path, const char* temporary_file_path);

#endif
