#ifndef BRIMVALE_BASE_CONFIG_DIR_H
#define BRIMVALE_BASE_CONFIG_DIR_H

#include "base/string_buffer.h"

// The per-user directory that holds every file the launcher keeps. It is
// chosen once at start-up, on the GUI thread before any other thread runs,
// from a base name N: the first usable of HOME + "/." + N, "." + N,
// "/tmp/" + N and N. Relative candidates are taken against the working
// directory at that moment, and the absolute path is what gets recorded, so
// paths built as directory + "/" + file keep pointing at it after the chdir.
// Messages go to the log under quon_client_configdir.

// Chooses and records the directory (HOME must be set; a null name fails).
// 1 when a directory has been recorded, 0 otherwise. A second successful
// call replaces the recorded path, with a sanity report.
int quon_client_set_up_config_directory(const char* name);

// Set-up, then chdir into the directory. 1 on success; on failure 0, with
// one explanation appended (not assigned) to reason.
int quon_client_cd_to_config_directory(const char* name, quon_string_buffer& reason);

// The recorded absolute path, or null before a successful set-up. Owned
// here; valid until the next successful set-up.
const char* quon_client_get_config_directory();

// Creates path (mode 0700, with its parents) and proves it usable: a probe
// file can be created in it, and it is a directory of this user that
// nobody else can write to, reached through no symbolic link that another
// user (root aside) could repoint. Logs "Checking config directory: " +
// path (+ " [FAIL]"). 1 when usable.
int check_config_directory(const char* path);

#endif
