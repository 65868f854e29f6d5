#ifndef BRIMVALE_UPDATER_SIGNING_H
#define BRIMVALE_UPDATER_SIGNING_H

#include <stddef.h>
#include <stdint.h>

// Authenticated updates: an Ed25519 signature over the compressed list of
// files exactly as served, SHA-256 digests of the files it names, and the
// version and expiry lines the signed list opens with. All cryptography is
// OpenSSL's; nothing here keeps state but the process-wide key below.

// Every fixed size of authenticated updates.
enum {
    zel_signing_key_bytes = 32,       // an Ed25519 public key
    zel_signing_key_hex_length = 64,  // the same as hexadecimal text (the build option)
    zel_signature_bytes = 64,         // an Ed25519 signature: the whole .sig file
    zel_sha256_bytes = 32,
    zel_sha256_hex_length = 64,
    // The compressed list is held whole in memory so that it is verified
    // before a byte of it is inflated; a larger one is refused unread.
    zel_signed_manifest_limit = 16 * 1024 * 1024,
    zel_hash_read_buffer_size = 65536,  // a file is hashed in pieces of this size
};

// What a signature file is called: the list's name followed by this.
extern const char* const zel_signature_suffix;  // ".sig"

struct zel_signing_key {
    unsigned char bytes[zel_signing_key_bytes];
};

// Reads exactly 64 hexadecimal digits (either case) into *key. 1 on success;
// 0 for any other text, with *key untouched.
int zel_parse_signing_key(const char* hex, zel_signing_key* key);

// 1 when signature (signature_length bytes) is a valid Ed25519 signature of
// the length bytes at data under key; 0 otherwise: another length than 64, a
// key OpenSSL refuses, or a signature that does not verify.
int zel_verify_signature(const zel_signing_key& key, const void* data, size_t length, const void* signature,
                         size_t signature_length);

// The SHA-256 of length bytes, or of the file at path (read in pieces, so
// any size), as 64 lowercase hexadecimal digits and a terminator in hex.
// 1 on success; 0 when the digest failed or the file could not be opened or
// read (errno kept), hex then empty.
int zel_sha256_hex(const void* data, size_t length, char hex[zel_sha256_hex_length + 1]);
int zel_sha256_file_hex(const char* path, char hex[zel_sha256_hex_length + 1]);

// True when text is exactly 64 lowercase hexadecimal digits: the only hash
// a signed list may give a file.
bool zel_is_sha256_hex(const char* text);

// The two lines a signed list opens with, before its first entry:
//     # manifest-version N                     (N a positive decimal integer)
//     # manifest-expires YYYY-MM-DDTHH:MM:SSZ  (UTC)
// To the unsigned line parser they are comments.
enum zel_signed_header_kind {
    zel_header_malformed = -1,  // begins like one of the two but is not valid
    zel_header_none = 0,        // any other line
    zel_header_version = 1,     // *value: the version
    zel_header_expires = 2,     // *value: the expiry in seconds since the Unix epoch
};
extern const char* const zel_version_line_prefix;  // "# manifest-version "
extern const char* const zel_expires_line_prefix;  // "# manifest-expires "
// Classifies one line (without its newline); *value is set only for the
// version and expiry kinds.
int zel_parse_signed_header_line(const char* line, int64_t* value);
// time (Unix seconds) as "YYYY-MM-DDTHH:MM:SSZ" into text (at least 21
// bytes). 1 on success.
int zel_format_expiry(int64_t time, char* text, size_t size);

// The process-wide release key that the update run and the boot check
// against. Set once at start, before any other thread runs. Null or ""
// leaves updates unauthenticated, exactly as without this code. 1 when the
// key was taken (or none given); 0 for text that is not a key, which still
// makes signing required but leaves no key, so every update is refused.
int zel_set_update_signing_key(const char* hex);
// Whether a key was compiled in (usable or not).
bool zel_update_signing_required();
// The key, or null when none was given or it was unusable.
const zel_signing_key* zel_update_signing_key();

#endif
