#ifndef BRIMVALE_TOOLS_RELEASE_PUBLISHER_H
#define BRIMVALE_TOOLS_RELEASE_PUBLISHER_H

#include <stdint.h>

#include "base/containers.h"

class release_signer;

// Every fixed size of the publishing tool.
enum {
    release_copy_buffer_size = 65536,
    release_gzip_buffer_size = 16384,
    // The list's size field is a 32-bit signed int in the launcher.
    release_max_file_size = 2147483647,
    // The launcher reads its local manifest back in lines of at most 1023
    // characters ("%s %10d %s": a 64-digit hash, the padded size, the name);
    // a longer line would be cut and the file fetched again by every run.
    release_max_local_manifest_line = 1022,
    // Hex digits of a SHA-256 digest.
    release_hash_length = 64,
    // A signed list is valid for this many days unless told otherwise, and
    // for at most the second figure.
    release_default_expiry_days = 30,
    release_max_expiry_days = 3650,
};

typedef void (*release_message_callback)(void* context, const char* text);

// Why the launcher could not take a file of this name from the list, or
// null when it can: a name it refuses (control characters, a ".." part), one
// its line parser would read back differently (a leading blank), one of the
// files the launcher keeps beside its executables, or one too long for its
// local manifest. The text names no file; the caller adds it.
const char* release_name_problem(const char* name);

// Turns a folder of client builds into an update server's download area:
// every regular file of the folder is copied into the document root's
// download directory and listed in the gzip-compressed manifest there, in
// descending byte order of the names so that the newest ordinary and the
// newest beta build come first. Subdirectories are skipped: the launcher
// fetches only the first ordinary and the first beta entry of the list, so
// files below them would never reach a player.
//
// Nothing in the document root changes until every file has been read and
// staged beside its final name; then the files are renamed into place and
// the list last, so a server never serves a half-copied file or a list
// naming a file that is not there yet. Copies get mode 0644 and nothing of
// the source but its content.
class release_publisher {
public:
    release_publisher();
    ~release_publisher();
    release_publisher(const release_publisher&) = delete;
    release_publisher& operator=(const release_publisher&) = delete;

    // Checks document_root (an existing directory, whose download directory
    // is not source_dir) and lists source_dir, writing nothing. The number of
    // files to publish (at least 1), or -1 after reporting every problem
    // found: a folder that cannot be read, an entry that is not a regular
    // file or cannot be opened, a refused name, a file above
    // release_max_file_size, an empty folder. Call once.
    int scan(const char* source_dir, const char* document_root);
    // Creates the download directory (0755) as needed, copies the scanned
    // files, hashing them as they are read, and writes the list. 1 on
    // success; 0 after a report, with the previous files and list left as
    // they were unless the failure came while renaming (the report says
    // what is left).
    int publish();
    // Makes publish sign what it writes (call after scan, before publish;
    // signer must outlive publish): the list opens with the lines
    // "# manifest-version N" and "# manifest-expires YYYY-MM-DDTHH:MM:SSZ"
    // (now plus expires_in_days, 1 to release_max_expiry_days), and its
    // compressed bytes, exactly as written, are signed into the list's name
    // + ".sig" beside it. version 0 picks the larger of the current Unix
    // time and one above the version of the list already published. 1, or
    // 0 after a report: a version below the published one (launchers that
    // took that one would refuse this), or a bad expiry.
    int sign_with(const release_signer* signer, int64_t version, int expires_in_days);
    // What a signed publish wrote, valid after sign_with.
    int64_t signed_version() const { return version_; }
    int64_t signed_expires() const { return expires_; }

    // The scanned files in list order, valid after scan (hash after a
    // successful publish).
    int count() const { return files_.count(); }
    const char* name(int index) const;
    const char* hash(int index) const;
    int64_t size(int index) const;
    int64_t total_bytes() const;
    // The directory the files go to, after scan.
    const char* download_dir() const;

    // Reports: errors (the run fails) and notices (a skipped entry). Texts
    // are whole sentences without a newline. Either may stay empty.
    void* callback_context;
    release_message_callback error_callback;
    release_message_callback notice_callback;

private:
    struct file;

    void error(const char* text);
    void notice(const char* text);
    file* at(int index) const { return (file*)files_.get(index); }
    static int compare_names_descending(const void* a, const void* b);
    int check_document_root(const char* document_root);
    int make_download_dir();
    int stage_file(file* item);
    int stage_manifest();
    int stage_signature();
    void discard_staged();

    quon_pointer_array files_;
    char* source_dir_;
    char* download_dir_;
    char* manifest_path_;
    char* staged_manifest_;
    // Signing: null unless sign_with was called.
    const release_signer* signer_;
    int64_t version_;
    int64_t expires_;
    char* signature_path_;
    char* staged_signature_;
};

#endif
