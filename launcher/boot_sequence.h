#ifndef BRIMVALE_LAUNCHER_BOOT_SEQUENCE_H
#define BRIMVALE_LAUNCHER_BOOT_SEQUENCE_H

#include "base/containers.h"
#include "updater/file_manifest.h"

// The boot sequencer decides when and what to boot. It runs on the GUI
// thread, one step per 20 ms tick.

// The local manifest the boot reads, and the names of the bootable images
// in it, newest first. The names belong to the manifest's entries.
extern zel_file_manifest boot_manifest;
extern quon_pointer_array executable_list;

// What a step asks of the window it runs in.
struct boot_sequence_hooks {
    void* context;
    // Start an update run; the updater lock is already in updater_lock_fd.
    void (*start_updater)(void* context);
    // Stop ticking and close the launcher, which ends the process normally.
    void (*give_up)(void* context);
};

// One tick: advances *tick_ms by 20, retries the updater lock while it is
// not held (giving up past 3000 ms), and once the update run has finished,
// more than 1000 ms have passed and the options screen is closed, makes
// the one boot attempt of the process. A lock that no process can take
// (its file cannot be opened for writing) means no run can happen: the
// boot attempt then waits for nothing but the time and the options
// screen. Returns only if no exec succeeded.
void run_boot_sequence_step(int* tick_ms, int options_mode, const boot_sequence_hooks& hooks);

// Fills executable_list from the local manifest: entries present on disk
// with their listed size, beta builds only in beta-test mode, sorted
// newest (greatest strcmp) first.
void build_executable_list();

// The builds whose start failed: each name with the hash and size it had
// then, kept in boot_failures.lst beside bootname.txt. A build listed here
// is passed over while some other image can still be tried; a new build
// under the same name (another hash) is tried again.
extern zel_file_manifest boot_failures;

// Records name as the image booted last, flushed to disk before the exec so
// the record survives a client that takes the machine down. 1 when written,
// 0 (after a log line) when the file could not be written.
int write_crash_detect_file(const char* name);

#endif
