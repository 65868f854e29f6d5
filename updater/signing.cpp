#include "updater/signing.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <openssl/evp.h>

#include "base/file_utils.h"

const char* const zel_signature_suffix = ".sig";
const char* const zel_version_line_prefix = "# manifest-version ";
const char* const zel_expires_line_prefix = "# manifest-expires ";

namespace {

// A version has at most this many digits, so it always fits in 63 bits.
const int version_max_digits = 18;
// "YYYY-MM-DDTHH:MM:SSZ"
const int expiry_text_length = 20;

const char hex_digits[] = "0123456789abcdef";

zel_signing_key process_key;
bool process_key_required = false;
bool process_key_usable = false;

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void to_hex(const unsigned char* bytes, int count, char* hex)
{
    for (int i = 0; i < count; i++) {
        hex[2 * i] = hex_digits[bytes[i] >> 4];
        hex[2 * i + 1] = hex_digits[bytes[i] & 15];
    }
    hex[2 * count] = 0;
}

bool starts_with(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Two decimal digits at text, or -1.
int two_digits(const char* text)
{
    if (text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9')
        return -1;
    return (text[0] - '0') * 10 + (text[1] - '0');
}

int parse_version(const char* text, int64_t* value)
{
    int64_t version = 0;
    int digits = 0;
    for (; *text; text++, digits++) {
        if (*text < '0' || *text > '9' || digits == version_max_digits)
            return zel_header_malformed;
        version = version * 10 + (*text - '0');
    }
    if (digits == 0 || version <= 0)
        return zel_header_malformed;
    *value = version;
    return zel_header_version;
}

int parse_expiry(const char* text, int64_t* value)
{
    if (strlen(text) != (size_t)expiry_text_length || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z')
        return zel_header_malformed;
    int century = two_digits(text), year = two_digits(text + 2), month = two_digits(text + 5),
        day = two_digits(text + 8), hour = two_digits(text + 11), minute = two_digits(text + 14),
        second = two_digits(text + 17);
    if (century < 0 || year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0)
        return zel_header_malformed;
    struct tm fields;
    memset(&fields, 0, sizeof(fields));
    fields.tm_year = century * 100 + year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    time_t seconds = timegm(&fields);
    // timegm normalises 2025-02-30 to March; a date that does not come back
    // unchanged does not exist.
    struct tm check;
    if (seconds == (time_t)-1 || !gmtime_r(&seconds, &check) || check.tm_year != fields.tm_year ||
        check.tm_mon != month - 1 || check.tm_mday != day || check.tm_hour != hour || check.tm_min != minute ||
        check.tm_sec != second)
        return zel_header_malformed;
    *value = (int64_t)seconds;
    return zel_header_expires;
}

}  // namespace

int zel_parse_signing_key(const char* hex, zel_signing_key* key)
{
    if (!hex || !key || strlen(hex) != (size_t)zel_signing_key_hex_length)
        return 0;
    zel_signing_key parsed;
    for (int i = 0; i < zel_signing_key_bytes; i++) {
        int high = hex_value(hex[2 * i]), low = hex_value(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return 0;
        parsed.bytes[i] = (unsigned char)(high << 4 | low);
    }
    *key = parsed;
    return 1;
}

int zel_verify_signature(const zel_signing_key& key, const void* data, size_t length, const void* signature,
                         size_t signature_length)
{
    if (!signature || signature_length != (size_t)zel_signature_bytes || (!data && length))
        return 0;
    EVP_PKEY* public_key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.bytes, sizeof(key.bytes));
    if (!public_key)
        return 0;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    // Ed25519 signs the message itself, in one pass, so there is no digest
    // to name here.
    static const unsigned char nothing = 0;
    int valid = context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, public_key) == 1 &&
                EVP_DigestVerify(context, (const unsigned char*)signature, signature_length,
                                 data ? (const unsigned char*)data : &nothing, length) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(public_key);
    return valid ? 1 : 0;
}

int zel_sha256_hex(const void* data, size_t length, char hex[zel_sha256_hex_length + 1])
{
    hex[0] = 0;
    static const unsigned char nothing = 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (EVP_Digest(data ? data : &nothing, length, digest, &digest_length, EVP_sha256(), nullptr) != 1 ||
        digest_length != (unsigned int)zel_sha256_bytes)
        return 0;
    to_hex(digest, zel_sha256_bytes, hex);
    return 1;
}

int zel_sha256_file_hex(const char* path, char hex[zel_sha256_hex_length + 1])
{
    hex[0] = 0;
    FILE* file = path ? quon_fopen(path, "rb") : nullptr;
    if (!file)
        return 0;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    unsigned char* buffer = (unsigned char*)malloc(zel_hash_read_buffer_size);
    bool ok = context && buffer && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    while (ok) {
        size_t got = fread(buffer, 1, zel_hash_read_buffer_size, file);
        if (got > 0 && EVP_DigestUpdate(context, buffer, got) != 1)
            ok = false;
        if (got < (size_t)zel_hash_read_buffer_size)
            break;
    }
    int saved_errno = errno;
    if (ok && ferror(file))
        ok = false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (ok && (EVP_DigestFinal_ex(context, digest, &digest_length) != 1 ||
               digest_length != (unsigned int)zel_sha256_bytes))
        ok = false;
    free(buffer);
    EVP_MD_CTX_free(context);
    quon_fclose(file);
    errno = saved_errno;
    if (!ok)
        return 0;
    to_hex(digest, zel_sha256_bytes, hex);
    return 1;
}

bool zel_is_sha256_hex(const char* text)
{
    if (!text)
        return false;
    int count = 0;
    for (; text[count]; count++)
        if (!((text[count] >= '0' && text[count] <= '9') || (text[count] >= 'a' && text[count] <= 'f')))
            return false;
    return count == zel_sha256_hex_length;
}

int zel_parse_signed_header_line(const char* line, int64_t* value)
{
    if (!line)
        return zel_header_none;
    // The prefixes without their blank: "# manifest-version7" is a broken
    // version line, not a comment that happens to look like one.
    size_t version_stem = strlen(zel_version_line_prefix) - 1;
    size_t expires_stem = strlen(zel_expires_line_prefix) - 1;
    if (strncmp(line, zel_version_line_prefix, version_stem) == 0) {
        if (!starts_with(line, zel_version_line_prefix))
            return zel_header_malformed;
        return parse_version(line + version_stem + 1, value);
    }
    if (strncmp(line, zel_expires_line_prefix, expires_stem) == 0) {
        if (!starts_with(line, zel_expires_line_prefix))
            return zel_header_malformed;
        return parse_expiry(line + expires_stem + 1, value);
    }
    return zel_header_none;
}

int zel_format_expiry(int64_t time, char* text, size_t size)
{
    time_t seconds = (time_t)time;
    struct tm fields;
    if (!text || size < (size_t)expiry_text_length + 1 || !gmtime_r(&seconds, &fields))
        return 0;
    return strftime(text, size, "%Y-%m-%dT%H:%M:%SZ", &fields) == (size_t)expiry_text_length ? 1 : 0;
}

int zel_set_update_signing_key(const char* hex)
{
    process_key_required = hex && *hex;
    process_key_usable = process_key_required && zel_parse_signing_key(hex, &process_key);
    return !process_key_required || process_key_usable ? 1 : 0;
}

bool zel_update_signing_required()
{
    return process_key_required;
}

const zel_signing_key* zel_update_signing_key()
{
    return process_key_usable ? &process_key : nullptr;
}
