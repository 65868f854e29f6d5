#ifndef BRIMVALE_UPDATER_REMOTE_MANIFEST_H
#define BRIMVALE_UPDATER_REMOTE_MANIFEST_H

#include <stdint.h>
#include <zlib.h>

#include "base/string_buffer.h"
#include "updater/file_manifest.h"
#include "updater/signing.h"

// The inflated manifest may not pass this many bytes; a small hostile body
// that inflates without end is abandoned here.
enum { remote_manifest_inflated_limit = 64 * 1024 * 1024 };

typedef void (*remote_manifest_progress_callback)(void* context, int received, int total);

// Downloads the server's compressed list of files into memory, inflating
// (gzip or zlib, recognised by its header) as the body arrives, and parses
// it line by line into manifest entries. Nothing is written to disk. The
// object owns its entries; the caller walks them in place after a fetch.
class http_fetch_remote_manifest_data {
public:
    http_fetch_remote_manifest_data();
    ~http_fetch_remote_manifest_data();
    http_fetch_remote_manifest_data(const http_fetch_remote_manifest_data&) = delete;
    http_fetch_remote_manifest_data& operator=(const http_fetch_remote_manifest_data&) = delete;

    // GET path from server_name on port 80. The number of entries (0 or
    // more), or -1 on failure. A server that closes cleanly before the end
    // leaves the entries completed so far.
    int fetch(const char* server_name, const char* path);

    zel_file_manifest_entry* first_entry() const { return entries_; }
    int count() const { return count_; }

    // Set before fetch; both may stay empty. Counts are compressed bytes.
    void* callback_context;
    remote_manifest_progress_callback progress_callback;

    // Null (the default): the list is taken as served. A key, which must
    // outlive fetch: fetch first GETs path + ".sig" (exactly 64 bytes),
    // then holds the compressed body whole (at most
    // zel_signed_manifest_limit bytes) and inflates nothing of it unless the
    // signature verifies under the key. The list must then carry its
    // version and expiry lines before its first entry and give every file
    // a SHA-256; each refusal is reported once (softfail, quon_updater) and
    // makes fetch return -1.
    const zel_signing_key* signing_key;
    // The signed list's "# manifest-version" and "# manifest-expires"
    // values after a successful signed fetch (expiry in Unix seconds); 0
    // otherwise.
    int64_t manifest_version() const { return version_; }
    int64_t manifest_expires() const { return expires_; }

    // Downloader callbacks (and test entry points): a slice of the
    // compressed body, and the byte counts after each slice.
    int download_data_callback(const char* bytes, int length);
    void download_progress_callback(int received, int total);
    // The line splitter over inflated text: 1 to go on, 0 after a line
    // that does not parse (every entry is then destroyed).
    int add_downloaded_data(const char* bytes, int length);
    // Empties the list and readies the inflater; 1 on success.
    int reset();
    void end_inflater();

    // Signed mode's downloader callbacks: the compressed body is kept, not
    // inflated, until it is verified.
    int hold_signed_data(const char* bytes, int length);

private:
    void destroy_entries();
    int fetch_signed(const char* server_name, const char* path);
    // The header lines a signed list opens with: 1 to go on, 0 (reported)
    // to refuse the list. entry is the line's entry or null.
    int check_signed_line(const char* line, const zel_file_manifest_entry* entry);

    quon_string_buffer line_;
    zel_file_manifest_entry* entries_;
    zel_file_manifest_entry** tail_;
    int32_t count_;
    z_stream inflater_;
    bool inflater_ready_;
    int64_t inflated_total_;
    // Signed mode: the held compressed body, and what the header said.
    char* held_;
    int held_length_;
    int held_capacity_;
    int64_t version_;
    int64_t expires_;
    bool seen_entry_;
};

#endif
