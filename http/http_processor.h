#ifndef BRIMVALE_HTTP_HTTP_PROCESSOR_H
#define BRIMVALE_HTTP_HTTP_PROCESSOR_H

#include <stdint.h>

#include "base/data_queue.h"
#include "base/string_buffer.h"

// Every fixed size of the HTTP layer. Text fields hold this many characters
// plus a terminator; longer values are cut (the setters report it).
enum quon_http_limits {
    quon_http_credential_length = 63,     // user name, password
    quon_http_cookie_prefix_length = 31,
    quon_http_method_length = 31,
    quon_http_reason_length = 255,
    quon_http_content_type_length = 63,
    quon_http_transfer_encoding_length = 255,
    quon_http_host_length = 255,          // server role: Host header or absolute path
    quon_http_path_length = 2047,         // server role: request path
    quon_http_query_length = 255,
    quon_http_cookie_key_length = 63,
    quon_http_cookie_domain_length = 63,
    quon_http_cookie_value_length = 255,
    quon_http_tx_fetch_size = 8192,       // outgoing body bytes asked for at a time
    quon_http_chunk_size_digits = 20,     // hex digits read from a chunk-size line
    quon_http_received_cookie_limit = 64, // server role: cookies kept per request
    quon_http_message_warning_limit = 16, // parse warnings logged per message
};

// Media-type codes of Content-Type. Received types outside the table are
// media_other; sent codes outside it are written as "binary/unknown".
enum quon_http_media_type {
    quon_http_media_none = 0,
    quon_http_media_text_plain = 1,
    quon_http_media_text_html = 2,
    quon_http_media_form_urlencoded = 10,
    quon_http_media_xml = 11,
    quon_http_media_rss_xml = 12,
    quon_http_media_json = 13,
    quon_http_media_octet_stream = 14,
    quon_http_media_other = 99,
};

// The code of a Content-Type value (cut at a space, tab or semicolon,
// compared without regard to case); media_other when unlisted or null.
int quon_http_media_type_code(const char* text);
// The text sent for a code: the table's entry or "binary/unknown".
const char* quon_http_media_type_text(int code);

// One cookie of the server role. The setters copy; a value longer than the
// field is reported (softfail), leaves the field unchanged and gives 0.
class quon_http_cookie {
public:
    quon_http_cookie();

    int set_key(const char* key);
    int set_domain(const char* domain);
    int set_value(const char* value);
    const char* key() const { return key_; }
    const char* domain() const { return domain_; }
    const char* value() const { return value_; }

    int secure;
    int max_age;  // seconds
    quon_http_cookie* next;  // owned by the list the cookie is in

private:
    char key_[quon_http_cookie_key_length + 1];
    char domain_[quon_http_cookie_domain_length + 1];
    char value_[quon_http_cookie_value_length + 1];
};

class quon_http_data_processor_oline;

// Callbacks get the processor and the owner's context first. An int result
// of 0 makes the processor fail (finished); a missing callback does the same
// except callback_close, which may be left null.
//
// The connection is to be closed now.
typedef void (*quon_http_close_callback)(quon_http_data_processor_oline* processor, void* context);
// A header section is complete; status(), content_length() and the other
// message fields are valid.
typedef int (*quon_http_message_received_callback)(quon_http_data_processor_oline* processor, void* context);
// A message has been received completely with body_length body bytes.
typedef int (*quon_http_message_complete_callback)(quon_http_data_processor_oline* processor, void* context,
                                                   int body_length);
// count (at least 1) body bytes, valid only during the call.
typedef int (*quon_http_content_data_callback)(quon_http_data_processor_oline* processor, void* context,
                                               const char* data, int count);
// Supply up to max_count outgoing body bytes into buffer: the count
// supplied, 0 for none yet, -1 at the end of the body, below -1 on error.
typedef int (*quon_http_body_tx_callback)(quon_http_data_processor_oline* processor, void* context, char* buffer,
                                          int max_count);

// Frames and parses HTTP/1.0 and 1.1 messages for one connection and does no
// input or output itself: the owner pulls bytes to send with get_tx_data and
// pushes every received byte into receive_data, and hears what happened
// through the callbacks, which run inside those two calls on the owner's
// thread. As a client it sends GET, HEAD and POST and parses responses; as a
// server it parses requests and answers them with the send_response family.
// Any failure sets finished for good. Hostile input is bounded: lines are cut
// at 5999 characters and nothing grows per received byte. Reports go to the
// log under quon_http.
class quon_http_data_processor_oline {
public:
    quon_http_data_processor_oline();
    // Frees the cookie lists and hands the output queue's buffers back.
    ~quon_http_data_processor_oline();
    quon_http_data_processor_oline(const quon_http_data_processor_oline&) = delete;
    quon_http_data_processor_oline& operator=(const quon_http_data_processor_oline&) = delete;

    // Set by the owner after construction; context goes to every callback.
    quon_http_close_callback callback_close;
    quon_http_message_received_callback callback_message_received;
    quon_http_message_complete_callback callback_message_complete;
    quon_http_content_data_callback callback_content_data_received;
    quon_http_body_tx_callback callback_content_body_get_tx_data;
    void* context;

    // Configuration, all 0 after construction, written by the owner.
    int expect_continue;        // requests carry "Expect: 100-continue"
    int force_http_1_0;         // say "HTTP/1.0" and ask to close
    int allow_chunked_sending;  // an outgoing body may be sent chunked
    int want_close;             // requests carry "Connection: close"

    // Basic authentication (null counts as empty, both empty means none).
    // A value over 63 characters is reported, stored cut, and gives 0.
    int set_basic_authentication_credentials(const char* user, const char* password);
    // Server role: only cookies named with this prefix are kept, without it.
    // Over 31 characters: reported, unchanged, 0.
    int set_cookie_prefix(const char* prefix);

    // Client role. Each queues a request and gives 1, or 0 with nothing
    // queued: while close is requested (until callback_close), after a
    // failure, while an outgoing body is still being sent (reported), or
    // when the request does not fit 5999 characters or the host holds
    // blanks or control characters (reported). A null or empty path is "/";
    // path bytes outside "!" to "~" are sent as %xx.
    int start_http_GET(const char* host, const char* path);
    int start_http_HEAD(const char* host, const char* path);
    // The body comes from callback_content_body_get_tx_data; length in
    // bytes, negative when unknown.
    int start_http_POST(const char* host, const char* path, int content_type, int length);

    // Copies up to size bytes to send into buffer: the count, 0 when nothing
    // is waiting (after which callback_close may have run), -1 when size is
    // below 1, the processor is finished or the outgoing body failed.
    int get_tx_data(char* buffer, int size);
    // Takes received bytes: 1 when all were taken (or input is stopped), 0
    // when this call stopped input (server role, after an error response),
    // -1 for a length below 1 or when the processor is or becomes finished.
    int receive_data(const char* data, int length);

    // Server role: queue a response; 1 when queued, 0 as for start_http_*.
    // A null text takes the default ("OK" for send_response, the standard
    // texts for the others). send_response's body comes from
    // callback_content_body_get_tx_data; for a HEAD request the length is
    // announced but no body is fetched.
    int send_response(int code, const char* text, int content_type, int length);
    int send_response_301(const char* location);
    int send_response_400(const char* text);
    int send_response_413(const char* text);
    int send_response_415(const char* text);
    int send_response_501();
    int send_response_100();
    // Adds a cookie to the Set-Cookie lines of later messages; 0 when a
    // field is too long (reported) or memory ran out.
    int add_cookie_to_send(const char* key, const char* value, const char* domain, int max_age, int secure);
    // Cookies of the current request's "Cookie:" headers, newest first.
    const quon_http_cookie* received_cookies() const { return received_cookies_; }
    // The value of the received cookie key (prefix removed), or null.
    const char* find_received_cookie(const char* key) const;

    // Connection state.
    int is_finished() const { return finished_; }
    int is_input_stopped() const { return stop_input_; }
    int is_client_mode() const { return client_mode_; }
    int is_close_requested() const { return close_requested_; }
    int is_in_body() const { return in_body_; }
    int is_in_header_section() const { return in_header_section_; }
    const char* request_method_sent() const { return request_method_sent_; }

    // The incoming message, valid from its start line to the next one.
    int peer_version() const { return peer_version_; }  // 10, 11, 20 other, 0 unreadable
    int status() const { return status_; }              // 0 for a request
    const char* reason() const { return reason_; }
    int content_length() const { return content_length_; }  // -1 when absent
    int content_type() const { return content_type_; }      // quon_http_media_type
    const char* content_type_text() const { return content_type_text_; }
    // The Transfer-Encoding value, commas and semicolons turned into spaces.
    const char* transfer_encoding() const { return transfer_encoding_; }
    int is_receiving_chunked() const { return receiving_chunked_; }
    int64_t body_received() const { return body_received_; }
    const char* start_line() const { return start_line_.c_str(); }
    // Server role: parts of the request line and the Host header.
    const char* request_method() const { return request_method_; }
    const char* host() const { return host_; }
    const char* path() const { return path_; }
    const char* query() const { return query_; }
    int expect_continue_received() const { return expect_continue_received_; }

private:
    struct framing {
        int chunked;
        int close;
    };

    int previous_message_complete(const char* operation);
    int start_request(const char* operation, const char* method, const char* host, const char* path,
                      int content_type, int length, bool has_body);
    void append_length_and_common_lines(quon_string_buffer& text, bool request, int length, framing& out);
    void append_set_cookie_lines(quon_string_buffer& text);
    int queue_response(const char* operation, quon_string_buffer& text, int length, bool announce_body);
    int queue_text(const char* operation, const quon_string_buffer& text);
    const char* version_text() const { return force_http_1_0 ? "HTTP/1.0" : "HTTP/1.1"; }
    int fill_content_body(int wanted);
    int end_outgoing_body();

    int gather_line(const char* data, int length);
    int message_step(const char* data, int length);
    int header_step(const char* data, int length);
    int body_step(const char* data, int length);
    int chunked_step(const char* data, int length);
    void end_header_section();
    bool body_follows();
    void complete_message();
    void close_connection();
    void fail() { finished_ = 1; }
    void reset_message();

    int header_line_parse();
    int parse_status_line(const char* line);
    int parse_request_line(const char* line);
    int try_extract_http_version_number(const char* word);
    void parse_cookies(const char* value);
    void warn(const char* beginning, const char* value, const char* end, int level);
    void free_cookies(quon_http_cookie*& list);

    int finished_;
    int stop_input_;
    int client_mode_;
    int close_after_send_;
    int close_requested_;
    int64_t outgoing_body_remaining_;  // -1: unknown length, until the callback says -1
    int sending_chunked_;
    int receiving_chunked_;
    int chunk_state_;
    int chunk_remaining_;
    int in_body_;
    int64_t body_received_;
    int in_header_section_;
    int line_count_;
    int skipping_trailers_;
    int line_complete_;
    char previous_byte_;  // a lone CR or LF that may still pair with the next byte
    int warnings_;

    char user_[quon_http_credential_length + 1];
    char password_[quon_http_credential_length + 1];
    char cookie_prefix_[quon_http_cookie_prefix_length + 1];
    char request_method_sent_[quon_http_method_length + 1];

    int peer_version_;
    int status_;
    char reason_[quon_http_reason_length + 1];
    int content_length_;
    int content_type_;
    char content_type_text_[quon_http_content_type_length + 1];
    char transfer_encoding_[quon_http_transfer_encoding_length + 1];
    int expect_continue_received_;
    char request_method_[quon_http_method_length + 1];
    char host_[quon_http_host_length + 1];
    char path_[quon_http_path_length + 1];
    char query_[quon_http_query_length + 1];

    quon_http_cookie* received_cookies_;
    int received_cookie_count_;
    quon_http_cookie* cookies_to_send_;

    quon_string_buffer line_;
    quon_string_buffer start_line_;
    quon_data_queue output_queue_;
};

#endif
