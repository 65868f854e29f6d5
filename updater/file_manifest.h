#ifndef BRIMVALE_UPDATER_FILE_MANIFEST_H
#define BRIMVALE_UPDATER_FILE_MANIFEST_H

#include <stdint.h>

#include "base/containers.h"
#include "base/string_buffer.h"

// One file the updater manages: its path relative to the download root and
// to the destination directory (may hold "/" and spaces), the server's
// digest as lowercase hexadecimal text (opaque here, compared as text) and
// its exact size in bytes. An entry owns copies of both strings.
struct zel_file_manifest_entry {
    zel_file_manifest_entry(const char* name, const char* hash, int32_t size);
    ~zel_file_manifest_entry();
    zel_file_manifest_entry(const zel_file_manifest_entry&) = delete;
    zel_file_manifest_entry& operator=(const zel_file_manifest_entry&) = delete;

    void set_hash(const char* new_hash);

    char* name;
    char* hash;
    int32_t size;
    zel_file_manifest_entry* next;
};

// Parses one manifest line (local file or server list, same syntax):
// optional blanks, then nothing, a "#" comment, or "hash size name" with a
// hash whose first 10 characters are lowercase hex, a decimal size and a
// name running to the end of the line. Returns 1 on success with *entry
// set to a new entry the caller owns, or to null for a blank or comment
// line; returns 0 after logging two ".ferr" lines naming source_label.
int parse_manifest_line(const char* source_label, const char* line, zel_file_manifest_entry** entry);

// True when name, joined to a directory as directory + "/" + name, stays
// inside it: no ".." component (with "/" or "\" as separators) and no
// control characters. The updater never requests, writes or boots any
// other name.
bool zel_manifest_name_is_safe(const char* name);

// path := directory + "/" + name, or name alone when directory is null or
// empty: where an entry's file lives on disk.
void zel_join_path(quon_string_buffer& path, const char* directory, const char* name);

// The local record of what the updater has placed on disk: a list in file
// order plus a name index. It owns its entries.
class zel_file_manifest {
public:
    zel_file_manifest();
    ~zel_file_manifest();
    zel_file_manifest(const zel_file_manifest&) = delete;
    zel_file_manifest& operator=(const zel_file_manifest&) = delete;

    // Appends the entries of the file at path. The number read, or -1 when
    // the file cannot be opened or a line fails to parse (the entries
    // before the bad line stay). Meant for an empty manifest.
    int load_file(const char* path);
    // Writes the whole manifest to path through a temporary file that is
    // renamed over it, so a crash never leaves a half-written manifest.
    // 1 on success, 0 (after a ".ferr" report) when it cannot be written.
    int save_file(const char* path);
    // The first entry of that name (exact comparison), or null.
    zel_file_manifest_entry* find_entry(const char* name) const;
    // Updates the entry of that name with entry's hash and size, or adds a
    // copy at the front of the list.
    void add_or_update(const zel_file_manifest_entry* entry);
    // Drops entries whose file under directory is missing, not a regular
    // file or of another size. The number kept.
    int remove_missing_files(const char* directory);

    zel_file_manifest_entry* first_entry() const { return head_; }
    int count() const;

private:
    void clear();

    zel_file_manifest_entry* head_;
    quon_void_pointer_map index_;
};

#endif
