#include "http/http_downloader.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "base/file_utils.h"
#include "base/log.h"
#include "http/http_processor.h"

namespace {

void report(const char* text, int level)
{
    quon_log(text, level, QUON_HTTP_DOWNLOAD);
}

void report_with_path(const char* before, const char* path, const char* after)
{
    quon_string_buffer text;
    text.append(before);
    text.append(path);
    text.append(after);
    report(text.c_str(), QUON_LOG_SOFTFAIL);
}

// The processor's callbacks, forwarded to the downloader in context.
int message_received(quon_http_data_processor_oline* processor, void* context)
{
    return ((quon_http_downloader*)context)->on_message_received(processor);
}

int content_data_received(quon_http_data_processor_oline*, void* context, const char* data, int count)
{
    return ((quon_http_downloader*)context)->on_content_data_received(data, count);
}

int message_complete(quon_http_data_processor_oline*, void* context, int)
{
    return ((quon_http_downloader*)context)->on_message_complete();
}

void close_connection(quon_http_data_processor_oline*, void* context)
{
    ((quon_http_downloader*)context)->on_close();
}

int body_tx_data(quon_http_data_processor_oline*, void*, char*, int)
{
    report("Error in quon_http_downloader::callback_content_body_get_tx_data(), this callback should never be "
           "invoked.",
           QUON_LOG_SANITY);
    return -1;
}

}  // namespace

quon_http_downloader::quon_http_downloader()
    : max_body_bytes(-1),
      data_callback(nullptr),
      progress_callback(nullptr),
      context(nullptr),
      use_tls_(0),
      port_(0),
      output_file_(nullptr),
      expected_length_(-1),
      received_(0),
      written_back_(0),
      response_complete_(false),
      body_limit_exceeded_(false)
{
    memset(&address_, 0, sizeof(address_));
}

quon_http_downloader::~quon_http_downloader()
{
    close_output_file();
}

void quon_http_downloader::close_output_file()
{
    if (output_file_) {
        quon_fclose(output_file_);
        output_file_ = nullptr;
    }
}

int quon_http_downloader::set_connection(const char* host, int port, int use_tls)
{
    if (!host) {
        report("Error in quon_http_downloader::set_connection(), NULL host name.", QUON_LOG_SANITY);
        return 0;
    }
    use_tls_ = use_tls;
    port_ = port;
    host_.assign(host);
    return quon_resolve_host(host, &address_);
}

int quon_http_downloader::download(const char* host, const char* path, const char* destination)
{
    if (!host) {
        report("Error in quon_http_downloader::download(), NULL host.", QUON_LOG_SANITY);
        return 0;
    }
    if (!path) {
        report("Error in quon_http_downloader::download(), NULL path.", QUON_LOG_SANITY);
        return 0;
    }
    if (!destination) {
        report("Error in quon_http_downloader::download(), NULL destination file name.", QUON_LOG_SANITY);
        return 0;
    }
    if (data_callback) {
        report("Error in quon_http_downloader::download(), attempt to do file based download after setting data "
               "callback.",
               QUON_LOG_SANITY);
        return 0;
    }
    destination_.assign(destination);
    return download(host, path);
}

int quon_http_downloader::fail_and_close(const char* message)
{
    report(message, QUON_LOG_SOFTFAIL);
    socket_.close();
    close_output_file();
    return 0;
}

int quon_http_downloader::download(const char* host, const char* path)
{
    if (destination_.length() == 0 && !data_callback) {
        report("Error in quon_http_downloader::download(), NULL destination file name and NULL download data "
               "callback.",
               QUON_LOG_SANITY);
        return 0;
    }
    received_ = 0;
    expected_length_ = -1;
    response_complete_ = false;
    body_limit_exceeded_ = false;

    if (use_tls_) {
        socket_.enable_ssl();
        // The certificate must name the host we resolved and connect to.
        socket_.set_expected_host(host_.length() ? host_.c_str() : host);
    } else {
        socket_.disable_ssl();
    }
    if (socket_.blocking_connect(address_, port_, quon_http_connect_timeout_ms) < 1) {
        report("Error in quon_http_downloader::download(), connect failed.", QUON_LOG_PWARN);
        return 0;
    }

    quon_http_data_processor_oline processor;
    processor.context = this;
    processor.callback_message_received = message_received;
    processor.callback_content_data_received = content_data_received;
    processor.callback_message_complete = message_complete;
    processor.callback_close = close_connection;
    processor.callback_content_body_get_tx_data = body_tx_data;
    processor.want_close = 1;
    if (!processor.start_http_GET(host, path))
        return fail_and_close("Error in quon_http_downloader::download(), unable to start HTTP GET?");

    char buffer[quon_http_transfer_buffer_size];
    int idle_attempts = 0;
    while (socket_.poll_state() == QUON_TCP_CONNECTED) {
        int count = processor.get_tx_data(buffer, sizeof(buffer));
        if (count <= 0)
            break;
        for (int written = 0; written < count;) {
            int result = socket_.blocking_write(buffer + written, count - written, quon_http_write_timeout_ms);
            if (result < 0)
                return fail_and_close("Error in quon_http_downloader::download(), blocking write failed.");
            if (result == 0) {
                // A peer that takes nothing for the whole idle limit is gone.
                if (++idle_attempts >= quon_http_idle_attempt_limit)
                    return fail_and_close(
                        "Error in quon_http_downloader::download(), nothing could be sent for 30 seconds, timed "
                        "out.");
                continue;
            }
            idle_attempts = 0;
            written += result;
        }
    }

    idle_attempts = 0;
    while (socket_.poll_state() != QUON_TCP_UNCONNECTED) {
        int count = socket_.blocking_read(buffer, sizeof(buffer), quon_http_read_timeout_ms);
        if (count == 0) {
            if (++idle_attempts >= quon_http_idle_attempt_limit)
                return fail_and_close(
                    "Error in quon_http_downloader::download(), nothing received for 30 seconds, timed out.");
            continue;
        }
        if (count > 0) {
            idle_attempts = 0;
            int result = processor.receive_data(buffer, count);
            // Bytes after the one response we asked for, in the same read,
            // are the server's fault but cannot undo that response.
            if (result < 0 && response_complete_)
                break;
            if (result < 0)
                return fail_and_close("Error in quon_http_downloader::download(), http data fetch failed.");
            if (result == 0)
                break;
            continue;
        }
        if (socket_.read_error() == 0)
            break;  // the server closed the connection cleanly
        bool all_received = received_ == expected_length_;
        if (progress_callback) {
            report(all_received ? "Error in quon_http_downloader::download(), blocking read failed but all data "
                                  "received."
                                : "Error in quon_http_downloader::download(), blocking read failed, not all bytes "
                                  "read.",
                   QUON_LOG_SOFTFAIL);
        } else if (all_received) {
            report("Error in quon_http_downloader::download(), blocking read failed but file seems ok.  Keeping "
                   "file.",
                   QUON_LOG_SOFTFAIL);
        } else {
            report("Error in quon_http_downloader::download(), blocking read failed, unknown file state.  Deleting "
                   "file.",
                   QUON_LOG_SOFTFAIL);
            close_output_file();
            if (destination_.length())
                quon_unlink(destination_.c_str());
        }
        socket_.close();
        close_output_file();
        return 0;
    }
    socket_.close();
    close_output_file();
    return 1;
}

int quon_http_downloader::on_message_received(quon_http_data_processor_oline* processor)
{
    // Anything after the one response we asked for is ignored; it must not
    // reopen (and so empty) the file just written.
    if (response_complete_)
        return 1;
    int status = processor->status();
    if (destination_.length()) {
        received_ = 0;
        expected_length_ = processor->content_length();
        if (!data_callback) {
            if (status != 200) {
                report_with_path("Warning in quon_http_downloader::callback_message_received(), download failed for "
                                 "file '",
                                 destination_.c_str(), "'.  Aborting download.");
                return 0;
            }
            close_output_file();
            output_file_ = quon_fopen(destination_.c_str(), "wb");
            written_back_ = 0;
            if (!output_file_) {
                report_with_path("Warning in quon_http_downloader::callback_message_received(), unable to open "
                                 "output file '",
                                 destination_.c_str(), "'.  Aborting download.");
                return 0;
            }
            return 1;
        }
    } else if (!data_callback) {
        report("Error in quon_http_downloader::callback_message_received(), NULL destination file name and NULL "
               "download data callback.",
               QUON_LOG_SANITY);
        return 0;
    } else {
        received_ = 0;
        expected_length_ = processor->content_length();
    }
    if (status == 200)
        return 1;
    report("Warning in quon_http_downloader::callback_message_received(), download failed in callback mode.",
           QUON_LOG_SOFTFAIL);
    return 0;
}

int quon_http_downloader::on_content_data_received(const char* data, int count)
{
    if (response_complete_)
        return 1;
    if (count < 1)
        return 0;
    if (received_ == 0 && progress_callback)
        progress_callback(context, 0, expected_length_);
    // received_ counts in an int, so no body may pass INT_MAX bytes.
    int limit = max_body_bytes >= 0 ? max_body_bytes : INT_MAX;
    if (count > limit - received_) {
        body_limit_exceeded_ = true;
        char text[200];
        snprintf(text, sizeof(text),
                 "Error in quon_http_downloader::callback_content_data_received(), body passes the expected %d "
                 "bytes, aborting download.",
                 limit);
        report(text, QUON_LOG_SOFTFAIL);
        return 0;
    }
    int result;
    if (data_callback) {
        result = data_callback(context, data, count);
        received_ += count;
    } else if (!output_file_) {
        report("Warning in quon_http_downloader::callback_content_data_received(), attempt to download data via "
               "callback, only no callback set.",
               QUON_LOG_SOFTFAIL);
        return 0;
    } else if (fwrite(data, 1, (size_t)count, output_file_) < (size_t)count) {
        report("Warning in quon_http_downloader::callback_content_data_received(), unable to write all data to "
               "disk.  Bailing.",
               QUON_LOG_SOFTFAIL);
        return 0;
    } else {
        received_ += count;
        result = 1;
        // The file goes to the disk as it grows: the updater fsyncs it before
        // the rename, which then has little left to wait for.
        if (received_ - written_back_ >= quon_http_writeback_interval) {
            quon_start_writeback(output_file_, written_back_, received_ - written_back_);
            written_back_ = received_;
        }
    }
    if (progress_callback)
        progress_callback(context, received_, expected_length_);
    return result;
}

int quon_http_downloader::on_message_complete()
{
    if (response_complete_)
        return 1;
    if (output_file_) {
        // Buffered data must reach the file; a failure here is a write error.
        bool flushed = fflush(output_file_) == 0;
        close_output_file();
        if (!flushed) {
            report("Warning in quon_http_downloader::callback_content_data_received(), unable to write all data to "
                   "disk.  Bailing.",
                   QUON_LOG_SOFTFAIL);
            return 0;
        }
    }
    response_complete_ = true;
    return 1;
}

void quon_http_downloader::on_close()
{
    socket_.close();
}
