#ifndef BRIMVALE_BASE_PROCESS_H
#define BRIMVALE_BASE_PROCESS_H

// Makes the file at path executable (mode 0700) and replaces the process
// with it through execv(path, argv); when the mode cannot be set, that is
// reported and a file that is executable already is run all the same.
// Every descriptor above standard error is marked close-on-exec first, so
// the new image inherits only standard input, output and error. Returns
// only on failure, after a softfail report under quon_core; the process
// then carries on unchanged.
void quon_boot_exec(const char* path, char* const argv[]);

// Marks every open descriptor above 2 close-on-exec. Returns how many it
// changed, or -1 when the descriptor list could not be read.
int quon_mark_descriptors_close_on_exec();

#endif
