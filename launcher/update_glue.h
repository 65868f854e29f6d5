#ifndef BRIMVALE_LAUNCHER_UPDATE_GLUE_H
#define BRIMVALE_LAUNCHER_UPDATE_GLUE_H

// Points the update run at the launcher: its progress goes to the window's
// SetDownloadProgress, and it reads beta-test mode and the verbose flag.
void connect_updater_to_launcher();

#endif
