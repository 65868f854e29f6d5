#ifndef BRIMVALE_BASE_DIRECTORY_LISTING_H
#define BRIMVALE_BASE_DIRECTORY_LISTING_H

#include "base/containers.h"

// The names in one directory, read once, for a caller about to ask for the
// file information of many names there: the update run looks up every file
// of the server's list, which may name a hundred thousand, and a failing
// stat per absent name costs more than the rest of the run. It answers
// "certainly absent" or "ask the file system", the latter for every name
// when the directory could not be read or lies on a file system that might
// find a file under other bytes than the ones it lists (case-insensitive
// directories; only ext2/3/4, btrfs and tmpfs without case folding are
// trusted), and always for a name holding a "/". A name that appears after
// the listing was read is not seen. Reports nothing.
class quon_directory_listing {
public:
    // Reads directory's names; null or "" means the working directory.
    explicit quon_directory_listing(const char* directory);
    ~quon_directory_listing() = default;
    quon_directory_listing(const quon_directory_listing&) = delete;
    quon_directory_listing& operator=(const quon_directory_listing&) = delete;

    // 0 when the directory held nothing of exactly that name; 1 when it
    // may (the caller then asks the file system).
    int may_exist(const char* name) const;
    // 1 when the listing answers; 0 when every answer is 1.
    int is_complete() const { return complete_; }

private:
    quon_void_pointer_map names_;
    int complete_;
};

#endif
