#ifndef BRIMVALE_LAUNCHER_LAUNCHER_CONFIG_H
#define BRIMVALE_LAUNCHER_LAUNCHER_CONFIG_H

// The launcher's one persistent setting, beta-test mode, kept in
// launcher.cfg in the configuration directory with the version of the
// launcher that last wrote it. Loaded, saved and changed on the GUI thread
// only; the updater thread and the boot sequencer just read the mode.

// Reads launcher.cfg, then rewrites it unless it already holds this
// launcher's version.
void load_system_config();
// Writes the whole file from the current state.
void save_system_config_file();

// Any non-zero value means on; a value read from the file is kept as it is.
int get_beta_test_enable();
// Stores value and saves the file when it differs from the previous value.
void set_beta_test_enable(int value);

// The launcher_version text read from the file, or null when it had none.
const char* get_stored_launcher_version();
// Back to the state before any load: mode 0, no stored version.
void forget_system_config();

#endif
