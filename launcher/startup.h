#ifndef BRIMVALE_LAUNCHER_STARTUP_H
#define BRIMVALE_LAUNCHER_STARTUP_H

#include <atomic>

#include "base/string_buffer.h"
#include "updater/update_run.h"

class launcher_mw;

// Compiled-in constants.
extern const char* const launcher_version;           // "1.105-g64-rc1": window, launcher.cfg, client argv
extern const char* const config_directory_name;      // "Brimvale"
extern const char* const update_server_host;         // build-time UPDATE_SERVER_HOST

// Process-wide paths, filled by start-up and fixed afterwards (the updater
// thread reads them).
extern quon_string_buffer manifest_path;    // <config>/executables/update_manifest.lst
extern quon_string_buffer executables_dir;  // <config>/executables
extern quon_string_buffer bootname_path;    // <config>/bootname.txt
extern quon_string_buffer boot_failures_path;  // <config>/boot_failures.lst
extern quon_string_buffer lock_path;        // <config>/executables/lock.tmp

// Descriptor of the updater lock; negative while not held. Written only on
// the GUI thread, and only while no update run is active.
extern int updater_lock_fd;
// Set once an updater thread has been created; never cleared.
extern std::atomic<int> updater_started;
// Cleared when an updater thread starts, set when its update run returns.
extern std::atomic<int> updater_finished;
// Set by -v; read by the update run.
extern std::atomic<int> verbose_printing;

// The launcher's start-up: configuration directory, log, TLS, GL probe,
// launcher.cfg, paths, command line, window, updater lock and thread. It
// returns with the window shown or ends the process with exit().
void OnInit();
// The application's exit hook: the exit banner. Returns 0.
int launcher_on_exit();

// Starts the detached updater thread for one update run; the caller holds
// the updater lock in updater_lock_fd. Exits the process with status 1
// when the thread cannot be created.
void start_updater_thread(launcher_mw* window);
// The thread body: one update run, then updater_finished and the lock
// released. Returns 0.
int updater_thread_main(void* window);

#endif
