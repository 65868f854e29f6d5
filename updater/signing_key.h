#ifndef BRIMVALE_UPDATER_SIGNING_KEY_H
#define BRIMVALE_UPDATER_SIGNING_KEY_H

// The release key a program was built to trust: the build option
// UPDATE_SIGNING_PUBLIC_KEY as 64 hexadecimal digits, or "" for unsigned
// updates. It is defined by a small source that the build generates per
// program (cmake/signing.cmake), never by the updater library, so programs
// trusting different keys link the same library. A program hands it to
// zel_set_update_signing_key (updater/signing.h) before anything else runs.
extern const char* const update_signing_public_key;

#endif
