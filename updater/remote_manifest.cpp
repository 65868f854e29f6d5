#include "updater/remote_manifest.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/log.h"
#include "http/http_downloader.h"

namespace {

// Inflated output is produced through one scratch buffer of this size.
const int inflate_scratch_size = 65536;
// windowBits 15 (a 32 KiB window) plus 32: recognise a gzip or zlib header.
const int inflate_window_bits = 47;
const int update_server_port = 80;
// The compressed body may not pass this many bytes either: bytes after the
// end of the stream are ignored, so a body that never ends would otherwise
// be read for ever.
const int remote_manifest_body_limit = remote_manifest_inflated_limit;

int data_trampoline(void* context, const char* bytes, int length)
{
    return ((http_fetch_remote_manifest_data*)context)->download_data_callback(bytes, length);
}

void progress_trampoline(void* context, int received, int total)
{
    ((http_fetch_remote_manifest_data*)context)->download_progress_callback(received, total);
}

// Signed mode: the body is held, and the caller's dots go on as before; the
// splitter sees nothing until the signature has verified.
int held_data_trampoline(void* context, const char* bytes, int length)
{
    return ((http_fetch_remote_manifest_data*)context)->hold_signed_data(bytes, length);
}

void held_progress_trampoline(void* context, int received, int total)
{
    http_fetch_remote_manifest_data* manifest = (http_fetch_remote_manifest_data*)context;
    if (manifest->progress_callback)
        manifest->progress_callback(manifest->callback_context, received, total);
}

// The held body starts this large (or at the announced length) and doubles.
const int held_initial_capacity = 65536;

struct signature_sink {
    unsigned char bytes[zel_signature_bytes];
    int length;
};

int signature_trampoline(void* context, const char* bytes, int length)
{
    signature_sink* sink = (signature_sink*)context;
    if (length > zel_signature_bytes - sink->length)
        return 0;  // the downloader's limit stops it first
    memcpy(sink->bytes + sink->length, bytes, (size_t)length);
    sink->length += length;
    return 1;
}

void report_about(const char* before, const char* what, const char* after)
{
    quon_string_buffer text;
    text.append("Error in http_fetch_remote_manifest_data::fetch(), ");
    text.append(before);
    text.append(what);
    text.append(after);
    quon_log(text.c_str(), QUON_LOG_SOFTFAIL, QUON_UPDATER);
}

}  // namespace

http_fetch_remote_manifest_data::http_fetch_remote_manifest_data()
    : callback_context(nullptr),
      progress_callback(nullptr),
      signing_key(nullptr),
      entries_(nullptr),
      tail_(&entries_),
      count_(0),
      inflater_ready_(false),
      inflated_total_(0),
      held_(nullptr),
      held_length_(0),
      held_capacity_(0),
      version_(0),
      expires_(0),
      seen_entry_(false)
{
    memset(&inflater_, 0, sizeof(inflater_));
}

http_fetch_remote_manifest_data::~http_fetch_remote_manifest_data()
{
    end_inflater();
    destroy_entries();
    free(held_);
}

void http_fetch_remote_manifest_data::destroy_entries()
{
    while (entries_) {
        zel_file_manifest_entry* next = entries_->next;
        delete entries_;
        entries_ = next;
    }
    tail_ = &entries_;
    count_ = 0;
}

int http_fetch_remote_manifest_data::reset()
{
    destroy_entries();
    end_inflater();
    line_.clear();
    inflated_total_ = 0;
    free(held_);
    held_ = nullptr;
    held_length_ = 0;
    held_capacity_ = 0;
    version_ = 0;
    expires_ = 0;
    seen_entry_ = false;
    inflater_.next_in = Z_NULL;
    inflater_.avail_in = 0;
    inflater_.zalloc = Z_NULL;
    inflater_.zfree = Z_NULL;
    inflater_.opaque = Z_NULL;
    inflater_ready_ = inflateInit2(&inflater_, inflate_window_bits) == Z_OK;
    return inflater_ready_ ? 1 : 0;
}

void http_fetch_remote_manifest_data::end_inflater()
{
    if (inflater_ready_) {
        inflateEnd(&inflater_);
        inflater_ready_ = false;
    }
}

int http_fetch_remote_manifest_data::fetch(const char* server_name, const char* path)
{
    if (!reset())
        return -1;
    if (signing_key) {
        int signed_count = fetch_signed(server_name, path);
        end_inflater();
        free(held_);
        held_ = nullptr;
        held_length_ = held_capacity_ = 0;
        if (signed_count < 0)
            version_ = expires_ = 0;
        return signed_count;
    }
    quon_http_downloader downloader;
    downloader.context = this;
    downloader.progress_callback = progress_trampoline;
    downloader.data_callback = data_trampoline;
    downloader.max_body_bytes = remote_manifest_body_limit;
    if (!downloader.set_connection(server_name, update_server_port, 0)) {
        end_inflater();
        return -1;
    }
    int ok = downloader.download(server_name, path);
    end_inflater();
    return ok ? count_ : -1;
}

int http_fetch_remote_manifest_data::download_data_callback(const char* bytes, int length)
{
    if (!inflater_ready_)
        return 0;
    unsigned char scratch[inflate_scratch_size];
    inflater_.next_in = (Bytef*)bytes;
    inflater_.avail_in = (uInt)length;
    for (;;) {
        inflater_.next_out = scratch;
        inflater_.avail_out = sizeof(scratch);
        int result = inflate(&inflater_, Z_NO_FLUSH);
        if (result == Z_BUF_ERROR)
            return 1;  // no progress possible: the input is used up
        if (result != Z_OK && result != Z_STREAM_END) {
            quon_log("Error in http_fetch_remote_manifest_data::download_data_callback(), ZLip inflate failed?",
                     QUON_LOG_SOFTFAIL, QUON_UPDATER);
            return 0;
        }
        int produced = (int)(sizeof(scratch) - inflater_.avail_out);
        if (produced > 0) {
            inflated_total_ += produced;
            if (inflated_total_ > remote_manifest_inflated_limit) {
                quon_log("Error in http_fetch_remote_manifest_data::download_data_callback(), inflated manifest "
                         "passes 67108864 bytes, aborting.",
                         QUON_LOG_SOFTFAIL, QUON_UPDATER);
                destroy_entries();
                return 0;
            }
            if (!add_downloaded_data((const char*)scratch, produced))
                return 0;
        }
        if (result == Z_STREAM_END)
            return 1;
    }
}

int http_fetch_remote_manifest_data::add_downloaded_data(const char* bytes, int length)
{
    const char* end = bytes + (length > 0 ? length : 0);
    for (const char* at = bytes; at < end; at++) {
        // Everything up to the next newline joins the line in one copy;
        // append_bytes drops what does not fit, without a message.
        const char* newline = (const char*)memchr(at, '\n', (size_t)(end - at));
        line_.append_bytes(at, (int)((newline ? newline : end) - at));
        if (!newline)
            break;
        at = newline;
        zel_file_manifest_entry* entry = nullptr;
        line_.set_quiet(1);
        int parsed = parse_manifest_line("downloaded data", line_.c_str(), &entry);
        if (parsed && signing_key && !check_signed_line(line_.c_str(), entry)) {
            delete entry;
            parsed = 0;
        }
        line_.clear();
        line_.set_quiet(0);
        if (!parsed) {
            destroy_entries();
            return 0;
        }
        if (entry) {
            *tail_ = entry;
            tail_ = &entry->next;
            count_++;
        }
    }
    return 1;
}

namespace {

// True once the inflater has read the whole compressed stream, its check
// included: inflate then reports the end again without taking anything.
bool inflater_at_stream_end(z_stream& inflater)
{
    unsigned char unused;
    inflater.next_in = Z_NULL;
    inflater.avail_in = 0;
    inflater.next_out = &unused;
    inflater.avail_out = 0;
    return inflate(&inflater, Z_NO_FLUSH) == Z_STREAM_END;
}

}  // namespace

void http_fetch_remote_manifest_data::download_progress_callback(int received, int total)
{
    // A body of announced length ends here, so a last line without its own
    // newline is taken in too; but only from a whole stream, as an
    // announced length that cuts the stream short may cut that line too.
    if (received == total && inflater_ready_ && inflater_at_stream_end(inflater_))
        add_downloaded_data("\n", 1);
    if (progress_callback)
        progress_callback(callback_context, received, total);
}

int http_fetch_remote_manifest_data::fetch_signed(const char* server_name, const char* path)
{
    quon_string_buffer signature_path;
    signature_path.append(path);
    signature_path.append(zel_signature_suffix);
    signature_sink signature;
    signature.length = 0;
    {
        quon_http_downloader downloader;
        downloader.context = &signature;
        downloader.data_callback = signature_trampoline;
        downloader.max_body_bytes = zel_signature_bytes;
        if (!downloader.set_connection(server_name, update_server_port, 0))
            return -1;
        if (!downloader.download(server_name, signature_path.c_str())) {
            if (downloader.body_limit_exceeded())
                report_about("the signature '", signature_path.c_str(),
                             "' is longer than 64 bytes; the list is refused.");
            else
                report_about("no signature '", signature_path.c_str(),
                             "' from the server; an unsigned list is refused.");
            return -1;
        }
    }
    if (signature.length != zel_signature_bytes) {
        char size[96];
        snprintf(size, sizeof(size), "' is %d bytes, not 64; the list is refused.", signature.length);
        report_about("the signature '", signature_path.c_str(), size);
        return -1;
    }

    quon_http_downloader downloader;
    downloader.context = this;
    downloader.progress_callback = held_progress_trampoline;
    downloader.data_callback = held_data_trampoline;
    downloader.max_body_bytes = zel_signed_manifest_limit;
    if (!downloader.set_connection(server_name, update_server_port, 0))
        return -1;
    if (!downloader.download(server_name, path)) {
        if (downloader.body_limit_exceeded())
            report_about("the compressed list '", path, "' passes 16777216 bytes; it is refused unread.");
        return -1;
    }
    if (!zel_verify_signature(*signing_key, held_, (size_t)held_length_, signature.bytes, sizeof(signature.bytes))) {
        report_about("the list '", path,
                     "' does not match its signature: it was changed, or signed with another key; it is refused.");
        return -1;
    }

    // Verified: the body goes through the same inflate and splitter as an
    // unsigned one. It is known whole, so a last line without its newline
    // counts whatever the server announced, if the stream is whole too.
    if (!download_data_callback(held_, held_length_))
        return -1;
    if (inflater_at_stream_end(inflater_) && !add_downloaded_data("\n", 1))
        return -1;
    if (!version_ || !expires_) {
        report_about("the signed list '", path,
                     !version_ ? "' has no \"# manifest-version N\" line; it is refused."
                               : "' has no \"# manifest-expires YYYY-MM-DDTHH:MM:SSZ\" line; it is refused.");
        destroy_entries();
        return -1;
    }
    return count_;
}

int http_fetch_remote_manifest_data::hold_signed_data(const char* bytes, int length)
{
    if (length <= 0)
        return 1;
    if (length > zel_signed_manifest_limit - held_length_)
        return 0;  // the downloader's limit stops it first
    if (held_length_ + length > held_capacity_) {
        int capacity = held_capacity_ ? held_capacity_ : held_initial_capacity;
        while (capacity < held_length_ + length)
            capacity = capacity > zel_signed_manifest_limit / 2 ? zel_signed_manifest_limit : capacity * 2;
        char* grown = (char*)realloc(held_, (size_t)capacity);
        if (!grown) {
            quon_log("Error in http_fetch_remote_manifest_data::hold_signed_data(), out of memory.",
                     QUON_LOG_HARDFAIL, QUON_UPDATER);
            return 0;
        }
        held_ = grown;
        held_capacity_ = capacity;
    }
    memcpy(held_ + held_length_, bytes, (size_t)length);
    held_length_ += length;
    return 1;
}

int http_fetch_remote_manifest_data::check_signed_line(const char* line, const zel_file_manifest_entry* entry)
{
    if (entry) {
        if (!seen_entry_ && (!version_ || !expires_)) {
            report_about("the signed list gives its first entry '", entry->name,
                         !version_ ? "' before a \"# manifest-version N\" line; it is refused."
                                   : "' before a \"# manifest-expires YYYY-MM-DDTHH:MM:SSZ\" line; it is refused.");
            return 0;
        }
        seen_entry_ = true;
        if (!zel_is_sha256_hex(entry->hash)) {
            report_about("the signed list gives '", entry->name,
                         "' a hash that is not a SHA-256 (64 lowercase hexadecimal digits); it is refused.");
            return 0;
        }
        return 1;
    }
    // Past the first entry, comment lines are only comments.
    if (seen_entry_)
        return 1;
    int64_t value = 0;
    int kind = zel_parse_signed_header_line(line, &value);
    if (kind == zel_header_none)
        return 1;
    if (kind == zel_header_malformed) {
        report_about("the signed list has a malformed header line '", line, "'; it is refused.");
        return 0;
    }
    int64_t* slot = kind == zel_header_version ? &version_ : &expires_;
    if (*slot) {
        report_about("the signed list repeats its header line '", line, "'; it is refused.");
        return 0;
    }
    *slot = value;
    return 1;
}
