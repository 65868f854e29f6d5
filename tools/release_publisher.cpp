#include "tools/release_publisher.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <zlib.h>

#include "base/file_utils.h"
#include "base/log.h"
#include "base/string_buffer.h"
#include "tools/release_signer.h"
#include "updater/update_run.h"
#include "updater/file_manifest.h"
#include "updater/signing.h"

struct release_publisher::file {
    char* name;
    char* source_path;
    char* target_path;
    char* staged_path;  // the copy beside target_path until it is renamed; null otherwise
    char hash[release_hash_length + 1];
    int64_t size;
};

namespace {

const int published_file_mode = 0644;
const int published_directory_mode = 0755;

// The files the launcher keeps in its executables directory beside the
// builds; a build of the same name would overwrite one of them there.
// "manifest_version" is manifest_version_name, of signed updates.
const char* const launcher_own_files[] = {"update_manifest.lst", "download.tmp", "lock.tmp", "manifest_version"};

const int seconds_per_day = 86400;
// Inflated bytes read from a published list while looking for its version
// line, which comes first.
const int version_scan_buffer_size = 16384;

char* copy_text(const char* text)
{
    return strdup(text ? text : "");
}

// A name as it can be shown on a terminal: control characters are written
// as \n, \r, \t or \xNN, so a hostile name cannot forge output lines.
void append_printable(quon_string_buffer& out, const char* text)
{
    static const char hex[] = "0123456789abcdef";
    for (const unsigned char* p = (const unsigned char*)text; *p; p++) {
        if (*p == '\n') {
            out.append("\\n");
        } else if (*p == '\r') {
            out.append("\\r");
        } else if (*p == '\t') {
            out.append("\\t");
        } else if (*p < 32 || *p == 127) {
            out.append("\\x");
            out.append_char(hex[*p >> 4]);
            out.append_char(hex[*p & 15]);
        } else {
            out.append_char((char)*p);
        }
    }
}

void join_path(quon_string_buffer& path, const char* directory, const char* name)
{
    path.clear();
    path.append(directory);
    path.append_char('/');
    path.append(name);
}

// What the launcher's parser makes of a list line carrying this name.
bool name_survives_the_line_parser(const char* name)
{
    quon_string_buffer line;
    line.set_quiet(1);
    line.append("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef 1 ");
    line.append(name);
    if (line.overflowed())
        return false;
    // The parser reports a failure in the log; the caller reports it better.
    int saved_logging = logging_enabled;
    logging_enabled = 0;
    zel_file_manifest_entry* entry = nullptr;
    int parsed = parse_manifest_line("downloaded data", line.c_str(), &entry);
    logging_enabled = saved_logging;
    bool same = parsed && entry && strcmp(entry->name, name) == 0 && entry->size == 1;
    delete entry;
    return same;
}

// Flushes, syncs and closes a staged copy; 1 when every step succeeded.
int finish_staged(FILE* out)
{
    int ok = !ferror(out);
    if (ok && fflush(out) != 0)
        ok = 0;
    if (ok && fsync(fileno(out)) != 0)
        ok = 0;
    int saved = errno;
    if (fclose(out) != 0 && ok) {
        ok = 0;
        saved = errno;
    }
    errno = ok ? 0 : (saved ? saved : EIO);
    return ok;
}

// Streams gzip-compressed text into a file.
class gzip_writer {
public:
    explicit gzip_writer(FILE* out) : out_(out), ready_(false), failed_(false)
    {
        memset(&stream_, 0, sizeof(stream_));
        // windowBits 15 + 16 asks for a gzip header; its time stamp stays 0,
        // so the same release always compresses to the same bytes.
        ready_ = deflateInit2(&stream_, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        failed_ = !ready_;
    }
    ~gzip_writer()
    {
        if (ready_)
            deflateEnd(&stream_);
    }
    gzip_writer(const gzip_writer&) = delete;
    gzip_writer& operator=(const gzip_writer&) = delete;

    void write(const char* bytes, int length) { pump(bytes, length, Z_NO_FLUSH); }
    // Ends the stream; true when everything reached the file's buffer.
    bool finish()
    {
        pump("", 0, Z_FINISH);
        return !failed_;
    }

private:
    void pump(const char* bytes, int length, int flush)
    {
        if (failed_)
            return;
        stream_.next_in = (Bytef*)bytes;
        stream_.avail_in = (uInt)length;
        unsigned char buffer[release_gzip_buffer_size];
        int result;
        do {
            stream_.next_out = buffer;
            stream_.avail_out = sizeof(buffer);
            result = deflate(&stream_, flush);
            if (result == Z_STREAM_ERROR) {
                failed_ = true;
                return;
            }
            size_t produced = sizeof(buffer) - stream_.avail_out;
            if (produced && fwrite(buffer, 1, produced, out_) != produced) {
                failed_ = true;
                return;
            }
        } while (stream_.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    }

    FILE* out_;
    z_stream stream_;
    bool ready_;
    bool failed_;
};

}  // namespace

const char* release_name_problem(const char* name)
{
    if (!name || !*name)
        return "an empty name cannot be listed.";
    if (!zel_manifest_name_is_safe(name))
        return "the launcher refuses names with control characters or a \"..\" part.";
    if (name[0] == ' ')
        return "the launcher would read the name without its leading blanks.";
    if (!name_survives_the_line_parser(name))
        return "the launcher would read the name back differently from the list.";
    for (const char* own : launcher_own_files)
        if (strcmp(name, own) == 0)
            return "the launcher keeps a file of its own under this name beside the builds.";
    if (strcmp(name, remote_manifest_name) == 0)
        return "the list itself goes under this name.";
    if (strncmp(name, remote_manifest_name, strlen(remote_manifest_name)) == 0 &&
        strcmp(name + strlen(remote_manifest_name), zel_signature_suffix) == 0)
        return "the list's signature goes under this name.";
    if (release_hash_length + 1 + 10 + 1 + (int)strlen(name) > release_max_local_manifest_line)
        return "the name is too long for the launcher's local manifest.";
    return nullptr;
}

release_publisher::release_publisher()
    : callback_context(nullptr),
      error_callback(nullptr),
      notice_callback(nullptr),
      files_(16),
      source_dir_(nullptr),
      download_dir_(nullptr),
      manifest_path_(nullptr),
      staged_manifest_(nullptr),
      signer_(nullptr),
      version_(0),
      expires_(0),
      signature_path_(nullptr),
      staged_signature_(nullptr)
{
}

release_publisher::~release_publisher()
{
    discard_staged();
    for (int i = 0; i < files_.count(); i++) {
        file* item = at(i);
        free(item->name);
        free(item->source_path);
        free(item->target_path);
        delete item;
    }
    free(source_dir_);
    free(download_dir_);
    free(manifest_path_);
    free(signature_path_);
}

void release_publisher::error(const char* text)
{
    if (error_callback)
        error_callback(callback_context, text);
}

void release_publisher::notice(const char* text)
{
    if (notice_callback)
        notice_callback(callback_context, text);
}

int release_publisher::compare_names_descending(const void* a, const void* b)
{
    return strcmp((*(file* const*)b)->name, (*(file* const*)a)->name);
}

const char* release_publisher::name(int index) const
{
    file* item = at(index);
    return item ? item->name : nullptr;
}

const char* release_publisher::hash(int index) const
{
    file* item = at(index);
    return item ? item->hash : nullptr;
}

int64_t release_publisher::size(int index) const
{
    file* item = at(index);
    return item ? item->size : -1;
}

int64_t release_publisher::total_bytes() const
{
    int64_t total = 0;
    for (int i = 0; i < files_.count(); i++)
        total += at(i)->size;
    return total;
}

const char* release_publisher::download_dir() const
{
    return download_dir_ ? download_dir_ : "";
}

int release_publisher::scan(const char* source_dir, const char* document_root)
{
    quon_string_buffer text;
    if (!source_dir || !*source_dir) {
        error("No folder of builds given.");
        return -1;
    }
    source_dir_ = copy_text(source_dir);
    // The document root first: an operator who swapped the two arguments
    // hears about it before a long list of refused files.
    if (!check_document_root(document_root))
        return -1;
    DIR* dir = opendir(source_dir);
    if (!dir) {
        text.append("Cannot read the folder of builds '");
        append_printable(text, source_dir);
        text.append("': ");
        text.append(strerror(errno));
        text.append(".");
        error(text.c_str());
        return -1;
    }
    int problems = 0;
    quon_string_buffer path;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (!entry) {
            if (errno != 0) {
                text.assign("Cannot read the folder of builds '");
                append_printable(text, source_dir);
                text.append("': ");
                text.append(strerror(errno));
                text.append(".");
                error(text.c_str());
                problems++;
            }
            break;
        }
        const char* entry_name = entry->d_name;
        if (strcmp(entry_name, ".") == 0 || strcmp(entry_name, "..") == 0)
            continue;
        join_path(path, source_dir, entry_name);
        text.assign("");
        if (path.overflowed()) {
            text.append("The path of '");
            append_printable(text, entry_name);
            text.append("' is too long.");
            error(text.c_str());
            problems++;
            continue;
        }
        // Symbolic links are followed: what counts is the content served.
        struct stat info;
        if (stat(path.c_str(), &info) != 0) {
            text.append("Cannot read '");
            append_printable(text, path.c_str());
            text.append("': ");
            text.append(strerror(errno));
            text.append(".");
            error(text.c_str());
            problems++;
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            text.append("Skipping the subdirectory '");
            append_printable(text, path.c_str());
            text.append("': only the folder's own files are published.");
            notice(text.c_str());
            continue;
        }
        if (!S_ISREG(info.st_mode)) {
            text.append("Cannot publish '");
            append_printable(text, path.c_str());
            text.append("': it is not a regular file.");
            error(text.c_str());
            problems++;
            continue;
        }
        const char* problem = release_name_problem(entry_name);
        if (problem) {
            text.append("Cannot publish '");
            append_printable(text, path.c_str());
            text.append("': ");
            text.append(problem);
            error(text.c_str());
            problems++;
            continue;
        }
        if (info.st_size > (off_t)release_max_file_size) {
            char numbers[96];
            snprintf(numbers, sizeof(numbers), "': it has %lld bytes, and the list holds sizes up to %d.",
                     (long long)info.st_size, (int)release_max_file_size);
            text.append("Cannot publish '");
            append_printable(text, path.c_str());
            text.append(numbers);
            error(text.c_str());
            problems++;
            continue;
        }
        // Open it now, so an unreadable file fails the run before anything
        // in the document root changes.
        FILE* probe = quon_fopen(path.c_str(), "rb");
        if (!probe) {
            text.append("Cannot read '");
            append_printable(text, path.c_str());
            text.append("': ");
            text.append(strerror(errno));
            text.append(".");
            error(text.c_str());
            problems++;
            continue;
        }
        quon_fclose(probe);

        file* item = new file;
        item->name = copy_text(entry_name);
        item->source_path = copy_text(path.c_str());
        item->target_path = nullptr;
        item->staged_path = nullptr;
        item->hash[0] = 0;
        item->size = info.st_size;
        files_.add(item);
    }
    closedir(dir);
    if (problems)
        return -1;
    if (files_.count() == 0) {
        text.assign("The folder of builds '");
        append_printable(text, source_dir);
        text.append("' holds no files to publish.");
        error(text.c_str());
        return -1;
    }
    files_.sort(compare_names_descending);
    return files_.count();
}

int release_publisher::check_document_root(const char* document_root)
{
    quon_string_buffer text;
    if (!document_root || !*document_root) {
        error("No document root given.");
        return 0;
    }
    struct stat info;
    if (stat(document_root, &info) != 0) {
        text.append("Cannot use the document root '");
        append_printable(text, document_root);
        text.append("': ");
        text.append(strerror(errno));
        text.append(".");
        error(text.c_str());
        return 0;
    }
    if (!S_ISDIR(info.st_mode)) {
        text.append("The document root '");
        append_printable(text, document_root);
        text.append("' is not a directory.");
        error(text.c_str());
        return 0;
    }
    quon_string_buffer path;
    path.append(document_root);
    path.append(update_download_root);
    download_dir_ = copy_text(path.c_str());
    path.append_char('/');
    path.append(remote_manifest_name);
    if (path.overflowed()) {
        error("The document root's path is too long.");
        return 0;
    }
    manifest_path_ = copy_text(path.c_str());
    path.append(zel_signature_suffix);
    if (path.overflowed()) {
        error("The document root's path is too long.");
        return 0;
    }
    signature_path_ = copy_text(path.c_str());

    struct stat source;
    if (stat(source_dir_, &source) == 0 && stat(download_dir_, &info) == 0 && source.st_dev == info.st_dev &&
        source.st_ino == info.st_ino) {
        text.append("The folder of builds '");
        append_printable(text, source_dir_);
        text.append("' is the download directory itself; publish from another folder.");
        error(text.c_str());
        return 0;
    }
    return 1;
}

int release_publisher::make_download_dir()
{
    quon_string_buffer text;
    quon_string_buffer path;
    // download_dir_ is the document root followed by update_download_root;
    // each part of the latter is made in turn.
    size_t root_length = strlen(download_dir_) - strlen(update_download_root);
    path.append_range(download_dir_, download_dir_ + root_length);
    const char* part = update_download_root;
    while (*part) {
        const char* end = strchr(part + 1, '/');
        if (!end)
            end = part + strlen(part);
        path.append_range(part, end);
        part = end;
        struct stat info;
        if (mkdir(path.c_str(), published_directory_mode) == 0) {
            // The web server reads it as another user, whatever our umask.
            chmod(path.c_str(), published_directory_mode);
        } else if (errno != EEXIST || stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            text.assign("Cannot create the directory '");
            append_printable(text, path.c_str());
            text.append("': ");
            text.append(errno == EEXIST ? "a file of that name is in the way" : strerror(errno));
            text.append(".");
            error(text.c_str());
            return 0;
        }
    }
    return 1;
}

int release_publisher::stage_file(file* item)
{
    quon_string_buffer text;
    quon_string_buffer path;
    join_path(path, download_dir_, item->name);
    if (path.overflowed()) {
        text.append("The path of '");
        append_printable(text, item->name);
        text.append("' in the download directory is too long.");
        error(text.c_str());
        return 0;
    }
    item->target_path = copy_text(path.c_str());
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        text.append("Cannot replace '");
        append_printable(text, path.c_str());
        text.append("': it is not a regular file.");
        error(text.c_str());
        return 0;
    }

    FILE* in = quon_fopen(item->source_path, "rb");
    if (!in || fstat(fileno(in), &info) != 0 || !S_ISREG(info.st_mode)) {
        text.append("Cannot read '");
        append_printable(text, item->source_path);
        text.append("': ");
        text.append(in ? "it is no longer a regular file" : strerror(errno));
        text.append(".");
        error(text.c_str());
        quon_fclose(in);
        return 0;
    }
    quon_string_buffer staged;
    FILE* out = quon_open_replacement(path.c_str(), staged);
    if (!out) {
        text.append("Cannot create a copy beside '");
        append_printable(text, path.c_str());
        text.append("': ");
        text.append(strerror(errno));
        text.append(".");
        error(text.c_str());
        quon_fclose(in);
        return 0;
    }
    item->staged_path = copy_text(staged.c_str());
    if (fchmod(fileno(out), published_file_mode) != 0) {
        text.append("Cannot set the mode of '");
        append_printable(text, staged.c_str());
        text.append("': ");
        text.append(strerror(errno));
        text.append(".");
        error(text.c_str());
        quon_abandon_replacement(out, item->staged_path);
        quon_fclose(in);
        free(item->staged_path);
        item->staged_path = nullptr;
        return 0;
    }

    // The digest is taken from the bytes as they are copied, so the list
    // vouches for exactly what was written.
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    char* buffer = (char*)malloc(release_copy_buffer_size);
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int value_length = 0;
    int64_t copied = 0;
    bool copy_ok = digest && buffer && EVP_DigestInit_ex(digest, EVP_sha256(), nullptr) == 1;
    if (!copy_ok)
        text.append("Out of memory.");
    while (copy_ok) {
        size_t got = fread(buffer, 1, release_copy_buffer_size, in);
        if (got == 0) {
            if (ferror(in)) {
                copy_ok = false;
                text.append("Cannot read '");
                append_printable(text, item->source_path);
                text.append("': ");
                text.append(strerror(errno));
                text.append(".");
            }
            break;
        }
        copied += (int64_t)got;
        if (EVP_DigestUpdate(digest, buffer, got) != 1) {
            copy_ok = false;
            text.append("The SHA-256 digest failed.");
        } else if (fwrite(buffer, 1, got, out) != got) {
            copy_ok = false;
        }
    }
    free(buffer);
    quon_fclose(in);
    if (copy_ok && copied != (int64_t)info.st_size) {
        char numbers[96];
        snprintf(numbers, sizeof(numbers), "' changed while it was copied (%lld bytes read, %lld expected).",
                 (long long)copied, (long long)info.st_size);
        text.append("'");
        append_printable(text, item->source_path);
        text.append(numbers);
        copy_ok = false;
    }
    if (copy_ok && copied > (int64_t)release_max_file_size) {
        text.append("'");
        append_printable(text, item->source_path);
        text.append("' grew past the largest size the list holds.");
        copy_ok = false;
    }
    if (copy_ok && (EVP_DigestFinal_ex(digest, value, &value_length) != 1 ||
                    (int)value_length * 2 != release_hash_length)) {
        text.append("The SHA-256 digest failed.");
        copy_ok = false;
    }
    EVP_MD_CTX_free(digest);
    // Closes the copy in every case; a failed fwrite surfaces here as well.
    if (!finish_staged(out) && (copy_ok || text.length() == 0)) {
        text.assign("Cannot write '");
        append_printable(text, staged.c_str());
        text.append("': ");
        text.append(strerror(errno));
        text.append(".");
        copy_ok = false;
    }
    if (!copy_ok) {
        error(text.c_str());
        unlink(item->staged_path);
        free(item->staged_path);
        item->staged_path = nullptr;
        return 0;
    }
    static const char hex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < value_length; i++) {
        item->hash[2 * i] = hex[value[i] >> 4];
        item->hash[2 * i + 1] = hex[value[i] & 15];
    }
    item->hash[release_hash_length] = 0;
    item->size = copied;
    return 1;
}

int release_publisher::stage_manifest()
{
    quon_string_buffer text;
    struct stat info;
    if (stat(manifest_path_, &info) == 0 && !S_ISREG(info.st_mode)) {
        text.append("Cannot replace '");
        append_printable(text, manifest_path_);
        text.append("': it is not a regular file.");
        error(text.c_str());
        return 0;
    }
    quon_string_buffer staged;
    FILE* out = quon_open_replacement(manifest_path_, staged);
    if (!out) {
        text.append("Cannot create the list beside '");
        append_printable(text, manifest_path_);
        text.append("': ");
        text.append(strerror(errno));
        text.append(".");
        error(text.c_str());
        return 0;
    }
    if (fchmod(fileno(out), published_file_mode) != 0) {
        text.append("Cannot set the mode of '");
        append_printable(text, staged.c_str());
        text.append("': ");
        text.append(strerror(errno));
        text.append(".");
        error(text.c_str());
        quon_abandon_replacement(out, staged.c_str());
        return 0;
    }
    staged_manifest_ = copy_text(staged.c_str());
    bool compressed;
    {
        gzip_writer gzip(out);
        quon_string_buffer line;
        if (signer_) {
            // Comments to the line parser; a signing launcher requires them
            // before the first entry.
            char expiry[32];
            zel_format_expiry(expires_, expiry, sizeof(expiry));
            char header[128];
            int length = snprintf(header, sizeof(header), "%s%lld\n%s%s\n", zel_version_line_prefix,
                                  (long long)version_, zel_expires_line_prefix, expiry);
            gzip.write(header, length);
        }
        for (int i = 0; i < files_.count(); i++) {
            file* item = at(i);
            // The launcher's list line: hash, size and name, one space each,
            // ended by a bare newline.
            line.assign(item->hash);
            line.append_char(' ');
            line.append_int((int32_t)item->size);
            line.append_char(' ');
            line.append(item->name);
            line.append_char('\n');
            gzip.write(line.c_str(), line.length());
        }
        compressed = gzip.finish();
    }
    int written = finish_staged(out);
    if (!compressed || !written) {
        text.append("Cannot write the list '");
        append_printable(text, staged_manifest_);
        text.append("': ");
        text.append(compressed ? strerror(errno) : "compression failed");
        text.append(".");
        error(text.c_str());
        unlink(staged_manifest_);
        free(staged_manifest_);
        staged_manifest_ = nullptr;
        return 0;
    }
    return 1;
}

int release_publisher::stage_signature()
{
    quon_string_buffer text;
    // The bytes signed are read back from the staged list, so the signature
    // covers exactly what the server will send.
    FILE* in = quon_fopen(staged_manifest_, "rb");
    struct stat info;
    if (!in || fstat(fileno(in), &info) != 0) {
        text.append("Cannot read the list '");
        append_printable(text, staged_manifest_);
        text.append("' back to sign it: ");
        text.append(strerror(errno));
        text.append(".");
        error(text.c_str());
        quon_fclose(in);
        return 0;
    }
    if (info.st_size > (off_t)zel_signed_manifest_limit) {
        char numbers[160];
        snprintf(numbers, sizeof(numbers),
                 "The compressed list is %lld bytes; launchers take signed lists of at most %d bytes.",
                 (long long)info.st_size, (int)zel_signed_manifest_limit);
        error(numbers);
        quon_fclose(in);
        return 0;
    }
    size_t size = (size_t)info.st_size;
    char* bytes = (char*)malloc(size ? size : 1);
    bool read_ok = bytes && fread(bytes, 1, size, in) == size;
    quon_fclose(in);
    unsigned char signature[zel_signature_bytes];
    if (!read_ok || !signer_->sign(bytes, size, signature)) {
        free(bytes);
        text.append(read_ok ? "Signing the list failed." : "Cannot read the list back to sign it.");
        error(text.c_str());
        return 0;
    }
    free(bytes);

    quon_string_buffer staged;
    FILE* out = quon_open_replacement(signature_path_, staged);
    if (!out) {
        text.append("Cannot create the signature beside '");
        append_printable(text, signature_path_);
        text.append("': ");
        text.append(strerror(errno));
        text.append(".");
        error(text.c_str());
        return 0;
    }
    staged_signature_ = copy_text(staged.c_str());
    bool written = fchmod(fileno(out), published_file_mode) == 0 &&
                   fwrite(signature, 1, sizeof(signature), out) == sizeof(signature);
    if (!finish_staged(out) || !written) {
        text.append("Cannot write the signature '");
        append_printable(text, staged_signature_);
        text.append("': ");
        text.append(strerror(errno ? errno : EIO));
        text.append(".");
        error(text.c_str());
        unlink(staged_signature_);
        free(staged_signature_);
        staged_signature_ = nullptr;
        return 0;
    }
    return 1;
}

namespace {

// The version of the list already at path, or 0 when there is none, it is
// unsigned or it cannot be read: its first lines, inflated.
int64_t published_list_version(const char* path)
{
    FILE* in = quon_fopen(path, "rb");
    if (!in)
        return 0;
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    // 15 + 32: a gzip or zlib header, as the launcher takes either.
    if (inflateInit2(&stream, 15 + 32) != Z_OK) {
        quon_fclose(in);
        return 0;
    }
    unsigned char input[release_gzip_buffer_size];
    char text[version_scan_buffer_size + 1];
    size_t have = 0;
    int result = Z_OK;
    while (result == Z_OK && have < (size_t)version_scan_buffer_size) {
        if (stream.avail_in == 0) {
            size_t got = fread(input, 1, sizeof(input), in);
            if (got == 0)
                break;
            stream.next_in = input;
            stream.avail_in = (uInt)got;
        }
        stream.next_out = (Bytef*)text + have;
        stream.avail_out = (uInt)(version_scan_buffer_size - have);
        result = inflate(&stream, Z_NO_FLUSH);
        have = version_scan_buffer_size - stream.avail_out;
    }
    inflateEnd(&stream);
    quon_fclose(in);
    text[have] = 0;
    // The version line comes before the first entry.
    for (char* line = text; line && *line;) {
        char* end = strchr(line, '\n');
        if (!end)
            break;  // a line cut by the scan's end
        *end = 0;
        int64_t value = 0;
        if (zel_parse_signed_header_line(line, &value) == zel_header_version)
            return value;
        if (line[0] != '#' && line[0] != 0)
            break;
        line = end + 1;
    }
    return 0;
}

}  // namespace

int release_publisher::sign_with(const release_signer* signer, int64_t version, int expires_in_days)
{
    if (!signer || !manifest_path_) {
        error("Nothing scanned to sign.");
        return 0;
    }
    if (expires_in_days < 1 || expires_in_days > release_max_expiry_days) {
        char text[128];
        snprintf(text, sizeof(text), "A signed list expires in 1 to %d days, not %d.", (int)release_max_expiry_days,
                 expires_in_days);
        error(text);
        return 0;
    }
    int64_t now = (int64_t)time(nullptr);
    int64_t published = published_list_version(manifest_path_);
    if (version == 0) {
        version = now > published ? now : published + 1;
    } else if (version < published) {
        char text[256];
        snprintf(text, sizeof(text),
                 "The list already published has version %lld; launchers that took it refuse a lower version "
                 "such as %lld. Give --version %lld or higher.",
                 (long long)published, (long long)version, (long long)published);
        error(text);
        return 0;
    }
    signer_ = signer;
    version_ = version;
    expires_ = now + (int64_t)expires_in_days * seconds_per_day;
    return 1;
}

void release_publisher::discard_staged()
{
    for (int i = 0; i < files_.count(); i++) {
        file* item = at(i);
        if (item->staged_path) {
            unlink(item->staged_path);
            free(item->staged_path);
            item->staged_path = nullptr;
        }
    }
    if (staged_manifest_) {
        unlink(staged_manifest_);
        free(staged_manifest_);
        staged_manifest_ = nullptr;
    }
    if (staged_signature_) {
        unlink(staged_signature_);
        free(staged_signature_);
        staged_signature_ = nullptr;
    }
}

int release_publisher::publish()
{
    if (files_.count() == 0 || !manifest_path_) {
        error("Nothing scanned to publish.");
        return 0;
    }
    if (!make_download_dir())
        return 0;
    bool staged = true;
    for (int i = 0; i < files_.count() && staged; i++)
        staged = stage_file(at(i));
    if (!staged || !stage_manifest() || (signer_ && !stage_signature())) {
        discard_staged();
        error("Nothing was published; the download directory was left as it was.");
        return 0;
    }

    // Everything is on disk beside its final name: the renames are all that
    // is left, the list last.
    quon_string_buffer text;
    for (int i = 0; i < files_.count(); i++) {
        file* item = at(i);
        if (rename(item->staged_path, item->target_path) != 0) {
            text.append("Cannot move '");
            append_printable(text, item->staged_path);
            text.append("' onto '");
            append_printable(text, item->target_path);
            text.append("': ");
            text.append(strerror(errno));
            text.append(". The list was left as it was; the files before this one are already replaced.");
            error(text.c_str());
            discard_staged();
            return 0;
        }
        free(item->staged_path);
        item->staged_path = nullptr;
    }
    // A launcher that fetches the signature of one release and the list of
    // the next between these two renames refuses that start's update and
    // boots what it has; the next start finds the pair matching.
    if (staged_signature_) {
        if (rename(staged_signature_, signature_path_) != 0) {
            text.append("Cannot move the signature onto '");
            append_printable(text, signature_path_);
            text.append("': ");
            text.append(strerror(errno));
            text.append(". The files are replaced; the old list is still served.");
            error(text.c_str());
            discard_staged();
            return 0;
        }
        free(staged_signature_);
        staged_signature_ = nullptr;
    }
    if (rename(staged_manifest_, manifest_path_) != 0) {
        text.append("Cannot move the list onto '");
        append_printable(text, manifest_path_);
        text.append("': ");
        text.append(strerror(errno));
        text.append(". The files are replaced; the old list is still served.");
        error(text.c_str());
        discard_staged();
        return 0;
    }
    free(staged_manifest_);
    staged_manifest_ = nullptr;
    // An unsigned list beside the signature of an earlier one would only be
    // refused with a misleading reason.
    if (!signer_ && unlink(signature_path_) == 0) {
        text.append("Removed the signature of the earlier signed list, '");
        append_printable(text, signature_path_);
        text.append("'; launchers built with a release key refuse this unsigned list.");
        notice(text.c_str());
        text.clear();
    }
    if (!quon_fsync_directory_of(manifest_path_)) {
        text.append("Cannot sync the directory '");
        append_printable(text, download_dir_);
        text.append("': ");
        text.append(strerror(errno));
        text.append(". The release is in place but may not survive a crash.");
        error(text.c_str());
        return 0;
    }
    return 1;
}
