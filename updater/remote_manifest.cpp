#include "updater/remote_manifest.h"

#include <string.h>

#include "base/log.h"
#include "http/http_downloader.h"

namespace {

// Inflated output is produced through one scratch buffer of this size.
const int inflate_scratch_size = 65536;
// windowBits 15 (a 32 KiB window) plus 32: recognise a gzip or zlib header.
const int inflate_window_bits = 47;
const int update_server_port = 80;

int data_trampoline(void* context, const char* bytes, int length)
{
    return ((http_fetch_remote_manifest_data*)context)->download_data_callback(bytes, length);
}

void progress_trampoline(void* context, int received, int total)
{
    ((http_fetch_remote_manifest_data*)context)->download_progress_callback(received, total);
}

}  // namespace

http_fetch_remote_manifest_data::http_fetch_remote_manifest_data()
    : callback_context(nullptr),
      progress_callback(nullptr),
      entries_(nullptr),
      tail_(&entries_),
      count_(0),
      inflater_ready_(false),
      inflated_total_(0)
{
    memset(&inflater_, 0, sizeof(inflater_));
}

http_fetch_remote_manifest_data::~http_fetch_remote_manifest_data()
{
    end_inflater();
    destroy_entries();
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
    quon_http_downloader downloader;
    downloader.context = this;
    downloader.progress_callback = progress_trampoline;
    downloader.data_callback = data_trampoline;
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
    for (int i = 0; i < length; i++) {
        if (bytes[i] != '\n') {
            // append_char drops what does not fit, without a message.
            if (line_.length() < line_.capacity())
                line_.append_char(bytes[i]);
            continue;
        }
        zel_file_manifest_entry* entry = nullptr;
        line_.set_quiet(1);
        int parsed = parse_manifest_line("downloaded data", line_.c_str(), &entry);
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

void http_fetch_remote_manifest_data::download_progress_callback(int received, int total)
{
    // A body of announced length ends here, so a last line without its own
    // newline is taken in too.
    if (received == total)
        add_downloaded_data("\n", 1);
    if (progress_callback)
        progress_callback(callback_context, received, total);
}
