#ifndef BRIMVALE_HTTP_HTTP_DOWNLOADER_H
#define BRIMVALE_HTTP_HTTP_DOWNLOADER_H

#include <stdio.h>

#include "base/string_buffer.h"
#include "net/network_socket.h"
#include "net/tcp_socket.h"

class quon_http_data_processor_oline;

// Fixed values of the downloader.
enum {
    quon_http_connect_timeout_ms = 5000,
    quon_http_write_timeout_ms = 5000,  // each write attempt
    quon_http_read_timeout_ms = 5000,   // each read attempt
    quon_http_transfer_buffer_size = 8192,  // each direction
    // A transfer during which nothing at all moves for this many attempts in
    // a row (30 seconds) is abandoned; a slow but moving one never is.
    quon_http_idle_attempt_limit = 6,
    // File mode: the kernel is asked to start writing the file to the disk
    // after every this many bytes (a hint, see quon_start_writeback).
    quon_http_writeback_interval = 4 * 1024 * 1024,
};

// Receives a slice of body data (at most 8192 bytes, in order, each byte
// once); return 1 to go on, 0 to abort the download.
typedef int (*quon_http_data_callback)(void* context, const char* data, int count);
// (context, body bytes received so far, announced length or -1).
typedef void (*quon_http_progress_callback)(void* context, int received, int expected_length);

// Fetches one resource with a single HTTP GET, either into a file or
// through data_callback, synchronously: download() returns when the
// transfer has ended. Owners set context and the callbacks directly after
// construction, call set_connection, then download once.
class quon_http_downloader {
public:
    quon_http_downloader();
    ~quon_http_downloader();
    quon_http_downloader(const quon_http_downloader&) = delete;
    quon_http_downloader& operator=(const quon_http_downloader&) = delete;

    // Stores the port and TLS choice and resolves host once. 1, or 0 when
    // the name cannot be resolved (no message) or host is null (a report).
    int set_connection(const char* host, int port, int use_tls);

    // Callback mode, or file mode with a destination stored earlier. 1 when
    // the transfer ended without a read, write or protocol error; that
    // includes a server that closed cleanly before the body was complete,
    // so a caller that needs the whole resource checks received() against
    // what it expects. 0 on any failure.
    int download(const char* host, const char* path);
    // File mode: the destination is created or truncated ("wb") only once a
    // status 200 has arrived, and is closed when download returns.
    int download(const char* host, const char* path, const char* destination);

    // The body's bytes so far, and its announced length (-1 when none).
    int received() const { return received_; }
    int expected_length() const { return expected_length_; }
    // True when the response was complete by its own framing (announced
    // length reached, or the last chunk), not merely cut by a close. Bytes
    // the server sends after it are ignored, even ones that do not parse.
    bool response_complete() const { return response_complete_; }
    // True when the download was abandoned for passing max_body_bytes.
    bool body_limit_exceeded() const { return body_limit_exceeded_; }

    // Caller-set: a body that would pass this many bytes is abandoned as a
    // failure (negative: none but INT_MAX, past which received() could not
    // count). The updater sets the listed size.
    int max_body_bytes;

    quon_http_data_callback data_callback;
    quon_http_progress_callback progress_callback;
    void* context;

    // Processor callbacks; public so the processor's function pointers can
    // reach them, not for other callers.
    int on_message_received(quon_http_data_processor_oline* processor);
    int on_content_data_received(const char* data, int count);
    int on_message_complete();
    void on_close();

private:
    void close_output_file();
    int fail_and_close(const char* message);

    int use_tls_;
    int port_;
    quon_network_address address_;
    quon_string_buffer destination_;
    FILE* output_file_;
    int expected_length_;
    int received_;
    int written_back_;  // file mode: bytes already handed to the disk
    quon_tcp_socket socket_;
    bool response_complete_;
    bool body_limit_exceeded_;
    quon_string_buffer host_;
};

#endif
