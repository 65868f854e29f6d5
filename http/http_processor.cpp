#include "http/http_processor.h"

#include <limits.h>
#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/log.h"
#include "base/words.h"

namespace {

const char class_name[] = "quon_http_data_processor_oline";

struct media_type_entry {
    int code;
    const char* text;
};

const media_type_entry media_types[] = {
    {quon_http_media_text_plain, "text/plain"},
    {quon_http_media_text_html, "text/html"},
    {quon_http_media_form_urlencoded, "application/x-www-form-urlencoded"},
    {quon_http_media_xml, "application/xml"},
    {quon_http_media_rss_xml, "application/rss+xml"},
    {quon_http_media_json, "application/json"},
    {quon_http_media_octet_stream, "application/octet-stream"},
};

inline char fold(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

inline bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// Copies at most size - 1 characters of text (null counts as empty).
void copy_cut(char* destination, int size, const char* text)
{
    int i = 0;
    for (; text && i < size - 1 && text[i]; i++)
        destination[i] = text[i];
    destination[i] = 0;
}

// Like copy_cut, stopping also at a blank.
void copy_word(char* destination, int size, const char* text)
{
    int i = 0;
    for (; text && i < size - 1 && text[i] && !is_blank(text[i]); i++)
        destination[i] = text[i];
    destination[i] = 0;
}

// Header values are lists: commas and semicolons separate like blanks.
// Leading blanks go, so that the first word starts the text.
void separators_to_spaces(char* text)
{
    char* out = text;
    for (const char* in = text; *in; in++) {
        char c = (*in == ',' || *in == ';') ? ' ' : *in;
        if (out != text || !is_blank(c))
            *out++ = c;
    }
    *out = 0;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = fold(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A chunk-size line: leading white space, then up to 20 hex digits; what
// follows (chunk extensions) is ignored. A size beyond the int range is
// refused rather than wrapped.
int parse_chunk_size(const char* line, int* size)
{
    while (*line == ' ' || *line == '\t' || *line == '\v' || *line == '\f')
        line++;
    if (hex_digit(*line) < 0)
        return 0;
    uint64_t value = 0;
    for (int i = 0; i < quon_http_chunk_size_digits && hex_digit(line[i]) >= 0; i++) {
        value = value * 16 + (uint64_t)hex_digit(line[i]);
        if (value > INT_MAX)
            return 0;
    }
    *size = (int)value;
    return 1;
}

inline bool is_informational(int status)
{
    return status >= 100 && status <= 199;
}

void append_hex(quon_string_buffer& text, unsigned int value)
{
    char digits[16];
    snprintf(digits, sizeof(digits), "%x", value);
    text.append(digits);
}

void report(const quon_string_buffer& text, int levels)
{
    quon_log(text.c_str(), levels, QUON_HTTP);
}

// "Error in <class>::<function>(), <problem>" with the problem last.
void report_error(const char* function, const char* problem, int levels)
{
    quon_string_buffer text;
    text.set_quiet(1);
    text.append("Error in ");
    text.append(class_name);
    text.append("::");
    text.append(function);
    text.append("(), ");
    text.append(problem);
    report(text, levels);
}

// "<beginning><value>' too long." for a setter that refuses a value.
void report_too_long(const char* beginning, const char* value)
{
    quon_string_buffer text;
    text.set_quiet(1);
    text.append(beginning);
    text.append(value);
    text.append("' too long.");
    report(text, QUON_LOG_SOFTFAIL);
}

int set_field(char* field, int size, const char* value, const char* report_beginning)
{
    if (!value)
        value = "";
    if ((int)strnlen(value, (size_t)size) >= size) {
        report_too_long(report_beginning, value);
        return 0;
    }
    copy_cut(field, size, value);
    return 1;
}

}  // namespace

int quon_http_media_type_code(const char* text)
{
    if (!text)
        return quon_http_media_other;
    size_t length = 0;
    while (text[length] && text[length] != ' ' && text[length] != '\t' && text[length] != ';')
        length++;
    for (const media_type_entry& entry : media_types) {
        if (strlen(entry.text) != length)
            continue;
        size_t i = 0;
        while (i < length && fold(text[i]) == entry.text[i])
            i++;
        if (i == length)
            return entry.code;
    }
    return quon_http_media_other;
}

const char* quon_http_media_type_text(int code)
{
    for (const media_type_entry& entry : media_types)
        if (entry.code == code)
            return entry.text;
    return "binary/unknown";
}

// ---------------------------------------------------------------------------

quon_http_cookie::quon_http_cookie() : secure(0), max_age(0), next(nullptr)
{
    key_[0] = 0;
    domain_[0] = 0;
    value_[0] = 0;
}

int quon_http_cookie::set_key(const char* key)
{
    return set_field(key_, sizeof(key_), key, "Error in quon_http_cookie::set_key() - incoming string '");
}

int quon_http_cookie::set_domain(const char* domain)
{
    return set_field(domain_, sizeof(domain_), domain, "Error in quon_http_cookie::set_domain() - incoming string '");
}

int quon_http_cookie::set_value(const char* value)
{
    return set_field(value_, sizeof(value_), value, "Error in quon_http_cookie::set_value() - incoming string '");
}

// ---------------------------------------------------------------------------

quon_http_data_processor_oline::quon_http_data_processor_oline()
    : callback_close(nullptr),
      callback_message_received(nullptr),
      callback_message_complete(nullptr),
      callback_content_data_received(nullptr),
      callback_content_body_get_tx_data(nullptr),
      context(nullptr),
      expect_continue(0),
      force_http_1_0(0),
      allow_chunked_sending(0),
      want_close(0),
      finished_(0),
      stop_input_(0),
      client_mode_(0),
      close_after_send_(0),
      close_requested_(0),
      outgoing_body_remaining_(0),
      sending_chunked_(0),
      receiving_chunked_(0),
      chunk_state_(0),
      chunk_remaining_(0),
      in_body_(0),
      body_received_(0),
      in_header_section_(0),
      line_count_(0),
      skipping_trailers_(0),
      line_complete_(0),
      previous_byte_(0),
      warnings_(0),
      received_cookies_(nullptr),
      received_cookie_count_(0),
      cookies_to_send_(nullptr),
      output_queue_(-1)
{
    user_[0] = 0;
    password_[0] = 0;
    cookie_prefix_[0] = 0;
    request_method_sent_[0] = 0;
    // Lines longer than the buffers are cut on purpose; that is no fault to report.
    line_.set_quiet(1);
    start_line_.set_quiet(1);
    reset_message();
    start_line_.clear();
    in_header_section_ = 0;
}

quon_http_data_processor_oline::~quon_http_data_processor_oline()
{
    free_cookies(received_cookies_);
    free_cookies(cookies_to_send_);
    output_queue_.release_all();
}

void quon_http_data_processor_oline::free_cookies(quon_http_cookie*& list)
{
    while (list) {
        quon_http_cookie* next = list->next;
        delete list;
        list = next;
    }
}

int quon_http_data_processor_oline::set_basic_authentication_credentials(const char* user, const char* password)
{
    int result = 1;
    if (!user)
        user = "";
    if (!password)
        password = "";
    const char beginning[] =
        "Error in quon_http_data_processor_oline::set_basic_authentication_credentials() - incoming string '";
    if (strnlen(user, sizeof(user_)) >= sizeof(user_)) {
        report_too_long(beginning, user);
        result = 0;
    }
    // The log must not keep a password, so the report only names it.
    if (strnlen(password, sizeof(password_)) >= sizeof(password_)) {
        report_too_long(beginning, "(password)");
        result = 0;
    }
    copy_cut(user_, sizeof(user_), user);
    copy_cut(password_, sizeof(password_), password);
    return result;
}

int quon_http_data_processor_oline::set_cookie_prefix(const char* prefix)
{
    return set_field(cookie_prefix_, sizeof(cookie_prefix_), prefix,
                     "Error in quon_http_cookie::set_cookie_prefix() - incoming string '");
}

int quon_http_data_processor_oline::add_cookie_to_send(const char* key, const char* value, const char* domain,
                                                       int max_age, int secure)
{
    quon_http_cookie* cookie = new (std::nothrow) quon_http_cookie;
    if (!cookie)
        return 0;
    if (!cookie->set_key(key) || !cookie->set_value(value) || !cookie->set_domain(domain)) {
        delete cookie;
        return 0;
    }
    cookie->max_age = max_age;
    cookie->secure = secure;
    // Appended, so that the lines go out in the order the cookies were added.
    quon_http_cookie** end = &cookies_to_send_;
    while (*end)
        end = &(*end)->next;
    *end = cookie;
    return 1;
}

const char* quon_http_data_processor_oline::find_received_cookie(const char* key) const
{
    for (const quon_http_cookie* cookie = received_cookies_; key && cookie; cookie = cookie->next)
        if (strcmp(cookie->key(), key) == 0)
            return cookie->value();
    return nullptr;
}

// ---------------------------------------------------------------------------
// Building outgoing messages

int quon_http_data_processor_oline::previous_message_complete(const char* operation)
{
    if (close_requested_ || finished_)
        return 0;
    if (outgoing_body_remaining_ != 0) {
        quon_string_buffer text;
        text.set_quiet(1);
        text.append("Error in quon_http_data_processor_oline, attempt to '");
        text.append(operation);
        text.append("' without completing previous message.");
        report(text, QUON_LOG_SOFTFAIL);
        return 0;
    }
    return 1;
}

void quon_http_data_processor_oline::append_length_and_common_lines(quon_string_buffer& text, bool request,
                                                                    int length, framing& out)
{
    out.chunked = 0;
    out.close = 0;
    bool may_chunk = allow_chunked_sending && peer_version_ > 10 && !force_http_1_0;
    if (length == 0) {
        text.append("Content-Length: 0\r\n");
    } else if (may_chunk) {
        text.append("Transfer-Encoding: chunked\r\n");
        out.chunked = 1;
    } else if (length > 0) {
        text.append("Content-Length: ");
        text.append_int(length);
        text.append("\r\n");
    }
    if (request) {
        if (user_[0] || password_[0]) {
            quon_string_buffer credentials;
            credentials.set_quiet(1);
            credentials.append(user_);
            credentials.append_char(':');
            credentials.append(password_);
            text.append("Authorization: Basic ");
            text.append_base64(credentials.c_str());
            text.append("\r\n");
        }
        text.append("Accept-Encoding: identity\r\n");
        if (expect_continue)
            text.append("Expect: 100-continue\r\n");
    }
    if (want_close || peer_version_ <= 10 || force_http_1_0 || (!request && length < 0)) {
        text.append("Connection: close\r\n");
        out.close = 1;
    }
}

void quon_http_data_processor_oline::append_set_cookie_lines(quon_string_buffer& text)
{
    for (const quon_http_cookie* cookie = cookies_to_send_; cookie; cookie = cookie->next) {
        text.append("Set-Cookie: ");
        text.append(cookie->key());
        text.append_char('=');
        text.append(cookie->value());
        text.append_char(';');
        if (cookie->domain()[0]) {
            text.append(" Domain=");
            text.append(cookie->domain());
            text.append_char(';');
        }
        text.append(" Path=/;");
        text.append(" Max-Age=");
        text.append_int(cookie->max_age);
        text.append_char(';');
        text.append(" HttpOnly");
        if (cookie->secure)
            text.append("; Secure");
        text.append("\r\n");
    }
}

int quon_http_data_processor_oline::queue_text(const char* operation, const quon_string_buffer& text)
{
    // A cut message would reach the peer without its end and garble the
    // connection, so it is not sent at all.
    if (text.overflowed()) {
        report_error(operation, "message too long.", QUON_LOG_SOFTFAIL);
        return 0;
    }
    if (output_queue_.put_bytes(text.c_str(), text.length()) != text.length()) {
        report_error(operation, "unable to queue message.", QUON_LOG_HARDFAIL);
        fail();
        return 0;
    }
    return 1;
}

int quon_http_data_processor_oline::start_request(const char* operation, const char* method, const char* host,
                                                  const char* path, int content_type, int length, bool has_body)
{
    if (!previous_message_complete(operation))
        return 0;
    for (const char* p = host; p && *p; p++) {
        unsigned char c = (unsigned char)*p;
        if (c <= ' ' || c == 0x7f) {
            // A CR or LF here would let the caller's text inject header lines.
            report_error(operation, "host name holds blanks or control characters.", QUON_LOG_SANITY);
            return 0;
        }
    }
    if (!path || !*path)
        path = "/";

    quon_string_buffer text;
    text.set_quiet(1);
    text.append(method);
    text.append_char(' ');
    static const char hex[] = "0123456789abcdef";
    for (const unsigned char* p = (const unsigned char*)path; *p; p++) {
        if (*p >= 0x21 && *p <= 0x7e) {
            text.append_char((char)*p);
        } else {
            text.append_char('%');
            text.append_char(hex[*p >> 4]);
            text.append_char(hex[*p & 15]);
        }
    }
    text.append_char(' ');
    text.append(version_text());
    text.append("\r\nHost: ");
    text.append(host);
    text.append("\r\n");
    if (has_body) {
        text.append("Content-Type: ");
        text.append(quon_http_media_type_text(content_type));
        text.append("; charset=utf-8\r\n");
    } else {
        length = 0;
    }
    framing out;
    append_length_and_common_lines(text, true, length, out);
    append_set_cookie_lines(text);
    text.append("\r\n");
    if (!queue_text(operation, text))
        return 0;

    copy_cut(request_method_sent_, sizeof(request_method_sent_), method);
    client_mode_ = 1;
    sending_chunked_ = out.chunked;
    if (out.close)
        close_requested_ = 1;
    outgoing_body_remaining_ = length > 0 ? length : (length < 0 ? -1 : 0);
    return 1;
}

int quon_http_data_processor_oline::start_http_GET(const char* host, const char* path)
{
    return start_request("start_http_GET", "GET", host, path, 0, 0, false);
}

int quon_http_data_processor_oline::start_http_HEAD(const char* host, const char* path)
{
    return start_request("start_http_HEAD", "HEAD", host, path, 0, 0, false);
}

int quon_http_data_processor_oline::start_http_POST(const char* host, const char* path, int content_type, int length)
{
    return start_request("start_http_POST", "POST", host, path, content_type, length, true);
}

// text holds the status line and any extra lines; this adds the framing and
// cookie lines and the empty line and queues the whole.
int quon_http_data_processor_oline::queue_response(const char* operation, quon_string_buffer& text, int length,
                                                   bool announce_body)
{
    framing out;
    append_length_and_common_lines(text, false, length, out);
    append_set_cookie_lines(text);
    text.append("\r\n");
    if (!queue_text(operation, text))
        return 0;
    if (out.close)
        close_after_send_ = 1;
    bool head_request = word_equals(request_method_, "HEAD");
    sending_chunked_ = out.chunked && !head_request;
    if (announce_body && !head_request)
        outgoing_body_remaining_ = length > 0 ? length : (length < 0 ? -1 : 0);
    return 1;
}

static void begin_status_line(quon_string_buffer& text, const char* version, int code, const char* reason)
{
    text.set_quiet(1);
    text.append(version);
    text.append_char(' ');
    text.append_int(code);
    text.append_char(' ');
    text.append(reason);
    text.append("\r\n");
}

int quon_http_data_processor_oline::send_response(int code, const char* text, int content_type, int length)
{
    if (!previous_message_complete("send_response"))
        return 0;
    quon_string_buffer message;
    begin_status_line(message, version_text(), code, text ? text : "OK");
    message.append("Content-Type: ");
    message.append(quon_http_media_type_text(content_type));
    message.append("; charset=utf-8\r\n");
    return queue_response("send_response", message, length, true);
}

int quon_http_data_processor_oline::send_response_301(const char* location)
{
    if (!previous_message_complete("send_response_301"))
        return 0;
    quon_string_buffer message;
    begin_status_line(message, version_text(), 301, "Moved Permanently");
    message.append("Location: ");
    message.append(location ? location : "/");
    message.append("\r\n");
    return queue_response("send_response_301", message, 0, false);
}

int quon_http_data_processor_oline::send_response_400(const char* text)
{
    if (!previous_message_complete("send_response_400"))
        return 0;
    quon_string_buffer message;
    begin_status_line(message, version_text(), 400, text ? text : "Bad request");
    return queue_response("send_response_400", message, 0, false);
}

int quon_http_data_processor_oline::send_response_413(const char* text)
{
    if (!previous_message_complete("send_response_413"))
        return 0;
    quon_string_buffer message;
    begin_status_line(message, version_text(), 413, text ? text : "Content Body Too Large");
    return queue_response("send_response_413", message, 0, false);
}

int quon_http_data_processor_oline::send_response_415(const char* text)
{
    if (!previous_message_complete("send_response_415"))
        return 0;
    quon_string_buffer message;
    begin_status_line(message, version_text(), 415, text ? text : "Content Body in Unsupported Format");
    return queue_response("send_response_415", message, 0, false);
}

int quon_http_data_processor_oline::send_response_501()
{
    if (!previous_message_complete("send_response_501"))
        return 0;
    quon_string_buffer message;
    begin_status_line(message, version_text(), 501, "Unimplemented");
    return queue_response("send_response_501", message, 0, false);
}

int quon_http_data_processor_oline::send_response_100()
{
    if (!previous_message_complete("send_response_100"))
        return 0;
    // An interim response carries no framing lines and changes no state.
    quon_string_buffer message;
    begin_status_line(message, version_text(), 100, "continue");
    message.append("\r\n");
    return queue_text("send_response_100", message);
}

// ---------------------------------------------------------------------------
// Sending

int quon_http_data_processor_oline::end_outgoing_body()
{
    outgoing_body_remaining_ = 0;
    if (sending_chunked_) {
        sending_chunked_ = 0;
        if (output_queue_.put_string("0\r\n\r\n") != 5)
            return -1;
    }
    return 0;
}

// Fetches outgoing body bytes until at least wanted bytes are queued, the
// callback has none for now, or the body ends. Fetching no further than the
// caller can take keeps a large body from piling up in memory.
int quon_http_data_processor_oline::fill_content_body(int wanted)
{
    char block[quon_http_tx_fetch_size];
    while (outgoing_body_remaining_ != 0 && output_queue_.bytes_available() < wanted) {
        if (!callback_content_body_get_tx_data) {
            report_error("fill_content_body", "tx callback function was NULL.", QUON_LOG_SOFTFAIL);
            return -1;
        }
        int ask = quon_http_tx_fetch_size;
        if (outgoing_body_remaining_ > 0 && outgoing_body_remaining_ < ask)
            ask = (int)outgoing_body_remaining_;
        int got = callback_content_body_get_tx_data(this, context, block, ask);
        if (got == 0)
            return 0;
        if (got == -1) {
            if (outgoing_body_remaining_ > 0) {
                report_error("fill_content_body", "body ended before its announced length.", QUON_LOG_SOFTFAIL);
                return -1;
            }
            return end_outgoing_body();
        }
        if (got < -1)
            return -1;
        if (got > ask) {
            report_error("fill_content_body", "tx callback supplied more than asked for?", QUON_LOG_SANITY);
            return -1;
        }
        int framed = 1;
        if (sending_chunked_) {
            quon_string_buffer size_line;
            append_hex(size_line, (unsigned int)got);
            size_line.append("\r\n");
            framed = output_queue_.put_string(size_line.c_str()) == size_line.length();
        }
        framed = framed && output_queue_.put_bytes(block, got) == got;
        if (sending_chunked_)
            framed = framed && output_queue_.put_string("\r\n") == 2;
        if (!framed)
            return -1;
        if (outgoing_body_remaining_ > 0) {
            outgoing_body_remaining_ -= got;
            if (outgoing_body_remaining_ == 0 && end_outgoing_body() < 0)
                return -1;
        }
    }
    return 0;
}

int quon_http_data_processor_oline::get_tx_data(char* buffer, int size)
{
    if (size < 1 || !buffer || finished_)
        return -1;
    if (outgoing_body_remaining_ != 0 && fill_content_body(size) < 0) {
        fail();
        return -1;
    }
    if (!output_queue_.is_empty() || in_body_)
        return output_queue_.read_block(buffer, size);
    // A body still to come keeps the connection open even when nothing is
    // queued at the moment.
    if (close_after_send_ && outgoing_body_remaining_ == 0) {
        close_after_send_ = 0;
        close_requested_ = 0;
        want_close = 0;
        in_header_section_ = 0;
        if (callback_close)
            callback_close(this, context);
    }
    if (stop_input_)
        finished_ = 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Receiving

// Gathers bytes into line_ until a line ends and returns the bytes consumed;
// line_complete_ then says whether line_ holds a whole line. CR and LF are
// never stored. CR LF and LF CR end a line at once; a lone CR or LF ends it
// when the next byte shows it is not part of a pair, and that byte is left
// for the next line.
int quon_http_data_processor_oline::gather_line(const char* data, int length)
{
    if (line_complete_) {
        line_.clear();
        line_complete_ = 0;
    }
    for (int i = 0; i < length; i++) {
        char c = data[i];
        if (c == '\r' || c == '\n') {
            if (!previous_byte_) {
                previous_byte_ = c;
                continue;
            }
            bool pair = previous_byte_ != c;
            previous_byte_ = 0;
            line_complete_ = 1;
            return pair ? i + 1 : i;
        }
        if (previous_byte_) {
            previous_byte_ = 0;
            line_complete_ = 1;
            return i;
        }
        line_.append_char(c);
    }
    return length;
}

void quon_http_data_processor_oline::warn(const char* beginning, const char* value, const char* end, int level)
{
    // A hostile peer could otherwise fill the log one header line at a time.
    if (warnings_ >= quon_http_message_warning_limit)
        return;
    warnings_++;
    quon_string_buffer text;
    text.set_quiet(1);
    text.append("Warning in quon_http_data_processor_oline::");
    text.append(beginning);
    text.append(value);
    text.append(end);
    report(text, level);
}

void quon_http_data_processor_oline::reset_message()
{
    peer_version_ = 20;
    status_ = 0;
    reason_[0] = 0;
    content_length_ = -1;
    content_type_ = 0;
    content_type_text_[0] = 0;
    transfer_encoding_[0] = 0;
    expect_continue_received_ = 0;
    request_method_[0] = 0;
    host_[0] = 0;
    path_[0] = 0;
    query_[0] = 0;
    receiving_chunked_ = 0;
    chunk_state_ = 0;
    chunk_remaining_ = 0;
    body_received_ = 0;
    warnings_ = 0;
    free_cookies(received_cookies_);
    received_cookie_count_ = 0;
    start_line_.assign(line_.c_str());
    in_header_section_ = 1;
}

int quon_http_data_processor_oline::try_extract_http_version_number(const char* word)
{
    if (word_equals(word, "HTTP/1.0"))
        return 10;
    if (word_equals(word, "HTTP/1.1"))
        return 11;
    int prefix = word_prefix_of("HTTP/", word);
    if (prefix) {
        char c = word[prefix];
        return (c >= '0' && c <= '9') ? 20 : 0;
    }
    quon_string_buffer first_word;
    first_word.set_quiet(1);
    const char* end = word;
    while (*end && !is_blank(*end))
        end++;
    first_word.append_range(word, end);
    warn("try_extract_http_version_number(), got bad http version '", first_word.c_str(), "'.", QUON_LOG_PERR);
    return 20;
}

int quon_http_data_processor_oline::parse_status_line(const char* line)
{
    peer_version_ = try_extract_http_version_number(line);
    const char* code = next_arg(line);
    const char* reason = code ? next_arg(code) : nullptr;
    int status = 0;
    if (!code || !reason || !parse_int(code, &status) || status < 1) {
        warn("header_line_parse(), failed to parse response line '", line, "'.", QUON_LOG_PERR);
        return 1;
    }
    status_ = status;
    copy_cut(reason_, sizeof(reason_), reason);
    return 0;
}

// Method, path, version. The path loses its leading slashes and an absolute
// "scheme://host" prefix, whose host becomes the message's host; what
// follows "?" is the query.
int quon_http_data_processor_oline::parse_request_line(const char* line)
{
    const char* target = next_arg(line);
    const char* version = target ? next_arg(target) : nullptr;
    if (!version)
        return 1;
    copy_word(request_method_, sizeof(request_method_), line);
    peer_version_ = try_extract_http_version_number(version);
    if (!peer_version_)
        return 1;

    const char* end = target;
    while (*end && !is_blank(*end))
        end++;
    const char* p = target;
    const char* scheme_end = nullptr;
    for (const char* s = p; s + 2 < end && *s != '/' && *s != '?'; s++)
        if (s[0] == ':' && s[1] == '/' && s[2] == '/') {
            scheme_end = s + 3;
            break;
        }
    if (scheme_end) {
        const char* host_end = scheme_end;
        while (host_end < end && *host_end != '/' && *host_end != '?')
            host_end++;
        int n = (int)(host_end - scheme_end);
        if (n > quon_http_host_length)
            n = quon_http_host_length;
        memcpy(host_, scheme_end, (size_t)n);
        host_[n] = 0;
        p = host_end;
    }
    while (p < end && *p == '/')
        p++;
    const char* question = p;
    while (question < end && *question != '?')
        question++;
    int n = (int)(question - p);
    if (n > quon_http_path_length)
        n = quon_http_path_length;
    memcpy(path_, p, (size_t)n);
    path_[n] = 0;
    if (question < end) {
        n = (int)(end - question - 1);
        if (n > quon_http_query_length)
            n = quon_http_query_length;
        memcpy(query_, question + 1, (size_t)n);
        query_[n] = 0;
    }
    return 0;
}

void quon_http_data_processor_oline::parse_cookies(const char* value)
{
    const char* p = value;
    while (*p) {
        while (*p == ';' || is_blank(*p))
            p++;
        const char* name = p;
        while (*p && *p != '=' && *p != ';' && !is_blank(*p))
            p++;
        if (*p != '=')
            continue;
        const char* name_end = p++;
        const char* content = p;
        while (*p && *p != ';' && !is_blank(*p))
            p++;
        size_t prefix_length = strlen(cookie_prefix_);
        if ((size_t)(name_end - name) <= prefix_length || strncmp(name, cookie_prefix_, prefix_length) != 0)
            continue;
        if (received_cookie_count_ >= quon_http_received_cookie_limit)
            return;
        quon_string_buffer key;
        quon_string_buffer content_text;
        key.set_quiet(1);
        content_text.set_quiet(1);
        key.append_range(name + prefix_length, name_end);
        content_text.append_range(content, p);
        quon_http_cookie* cookie = new (std::nothrow) quon_http_cookie;
        if (!cookie)
            return;
        if (!cookie->set_key(key.c_str()) || !cookie->set_value(content_text.c_str())) {
            delete cookie;
            continue;
        }
        cookie->next = received_cookies_;
        received_cookies_ = cookie;
        received_cookie_count_++;
    }
}

// Parses the line in line_: the start line when it is the message's first,
// else a header line. 0 when fine, 1 when the message is unusable, 2 for a
// header that is bad but not fatal in the client role.
int quon_http_data_processor_oline::header_line_parse()
{
    const char* line = line_.c_str();
    if (line_count_ == 1) {
        reset_message();
        if (word_prefix_of("HTTP/", line))
            return parse_status_line(line);
        return parse_request_line(line);
    }
    const char* value = next_arg(line);
    if (word_equals(line, "Content-Length:")) {
        int length = -1;
        if (!value || !parse_int(value, &length) || length < 0) {
            warn("header_line_parse(), got bad content length, line: ", line, "", QUON_LOG_PERR);
            return 1;
        }
        content_length_ = length;
        return 0;
    }
    if (word_equals(line, "Content-Type:")) {
        if (!value) {
            warn("header_line_parse(), got bad content type line: ", line, "", QUON_LOG_PERR);
            return 2;
        }
        copy_cut(content_type_text_, sizeof(content_type_text_), value);
        content_type_ = quon_http_media_type_code(content_type_text_);
        return 0;
    }
    if (word_equals(line, "Connection:")) {
        if (!value) {
            warn("header_line_parse(), got bad 'Connection' line: ", line, "", QUON_LOG_PERR);
            return 2;
        }
        char tokens[quon_http_transfer_encoding_length + 1];
        copy_cut(tokens, sizeof(tokens), value);
        separators_to_spaces(tokens);
        // Every token counts: "TE, close" asks to close as much as "close" does.
        bool questionable = false;
        for (const char* token = *tokens ? tokens : nullptr; token; token = next_arg(token)) {
            if (word_equals(token, "close")) {
                if (client_mode_) {
                    close_requested_ = 1;
                } else {
                    close_after_send_ = 1;
                    want_close = 1;
                }
            } else if (!word_equals(token, "te") && !word_equals(token, "keep-alive")) {
                questionable = true;
            }
        }
        if (questionable)
            warn("header_line_parse(), got questionable 'Connection' line: ", line, "", QUON_LOG_PWARN);
        return 0;
    }
    if (word_equals(line, "Transfer-Encoding:")) {
        if (!value) {
            warn("header_line_parse(), got bad transfer encoding line: ", line, "", QUON_LOG_PERR);
            return 2;
        }
        copy_cut(transfer_encoding_, sizeof(transfer_encoding_), value);
        separators_to_spaces(transfer_encoding_);
        receiving_chunked_ = word_equals(transfer_encoding_, "chunked");
        if (receiving_chunked_)
            chunk_state_ = 1;
        return 0;
    }
    if (client_mode_)
        return 0;
    if (word_equals(line, "Expect:")) {
        const char* token_end = value;
        while (token_end && *token_end && *token_end != ';' && !is_blank(*token_end))
            token_end++;
        if (value && token_end - value == 12 && word_prefix_of("100-continue", value)) {
            expect_continue_received_ = 1;
            return 0;
        }
        warn("header_line_parse(), got bad 'Expect' line: ", line, "", QUON_LOG_PERR);
        return 2;
    }
    if (word_equals(line, "Host:")) {
        if (!value)
            return 0;
        if (!host_[0]) {
            copy_word(host_, sizeof(host_), value);
            return 0;
        }
        return word_equals(host_, value) ? 0 : 2;
    }
    if (word_equals(line, "Cookie:")) {
        if (value)
            parse_cookies(value);
        return 0;
    }
    return 0;
}

bool quon_http_data_processor_oline::body_follows()
{
    if (status_ > 0) {
        if (is_informational(status_) || status_ == 204 || status_ == 304)
            return false;
        if (strcmp(request_method_sent_, "HEAD") == 0)
            return false;
    }
    if (peer_version_ > 10 && transfer_encoding_[0] && !word_in_list("identity", transfer_encoding_))
        return receiving_chunked_ || content_length_ != 0;
    // Chunked coding counts only where the rule above admits it.
    receiving_chunked_ = 0;
    if (content_length_ >= 1)
        return true;
    return content_length_ == -1 && status_ > 0;
}

void quon_http_data_processor_oline::close_connection()
{
    close_after_send_ = 0;
    close_requested_ = 0;
    want_close = 0;
    in_header_section_ = 0;
    if (callback_close)
        callback_close(this, context);
}

void quon_http_data_processor_oline::complete_message()
{
    in_body_ = 0;
    in_header_section_ = 0;
    line_count_ = 0;
    int length = body_received_ > INT_MAX ? INT_MAX : (int)body_received_;
    if (!callback_message_complete || !callback_message_complete(this, context, length)) {
        fail();
        return;
    }
    if (close_requested_ && !is_informational(status_))
        close_connection();
}

void quon_http_data_processor_oline::end_header_section()
{
    if (client_mode_ ? status_ <= 0 : status_ != 0) {
        warn("receive_data(), header section without a usable start line: ", start_line_.c_str(), "",
             QUON_LOG_PERR);
        fail();
        return;
    }
    bool body = body_follows();
    if (body) {
        in_body_ = 1;
        body_received_ = 0;
    }
    if (!client_mode_ && peer_version_ > 10 && !force_http_1_0 &&
        (expect_continue_received_ || word_equals(request_method_, "PUT") || word_equals(request_method_, "POST")))
        send_response_100();
    if (!callback_message_received || !callback_message_received(this, context)) {
        fail();
        return;
    }
    if (!body)
        complete_message();
}

int quon_http_data_processor_oline::header_step(const char* data, int length)
{
    int taken = gather_line(data, length);
    if (!line_complete_)
        return taken;
    bool empty = line_.length() == 0;
    if (skipping_trailers_) {
        // Trailer lines after the last chunk, up to an empty line.
        if (empty)
            skipping_trailers_ = 0;
        return taken;
    }
    if (empty && line_count_ == 0)
        return taken;
    if (line_count_ < INT_MAX)
        line_count_++;
    if (empty) {
        end_header_section();
        return taken;
    }
    int result = header_line_parse();
    if (client_mode_) {
        if (result == 1)
            fail();
    } else if (result != 0) {
        want_close = 1;
        send_response_400("Bad Request");
        close_after_send_ = 1;
        stop_input_ = 1;
    }
    return taken;
}

int quon_http_data_processor_oline::body_step(const char* data, int length)
{
    if (receiving_chunked_)
        return chunked_step(data, length);
    int slice = length;
    if (content_length_ >= 0 && slice > content_length_ - body_received_)
        slice = (int)(content_length_ - body_received_);
    if (slice > 0) {
        if (!callback_content_data_received || !callback_content_data_received(this, context, data, slice)) {
            fail();
            return slice;
        }
        body_received_ += slice;
    }
    if (content_length_ >= 0 && body_received_ >= content_length_)
        complete_message();
    return slice;
}

int quon_http_data_processor_oline::chunked_step(const char* data, int length)
{
    switch (chunk_state_) {
    case 1: {
        // Waits for a chunk-size line; goes to 2 for a chunk, or completes
        // the message at the zero-size chunk and skips the trailer lines.
        int taken = gather_line(data, length);
        if (!line_complete_)
            return taken;
        int size = 0;
        if (!parse_chunk_size(line_.c_str(), &size)) {
            warn("receive_data(), got bad chunk size line: ", line_.c_str(), "", QUON_LOG_PERR);
            fail();
            return taken;
        }
        if (size > 0) {
            chunk_remaining_ = size;
            chunk_state_ = 2;
        } else {
            skipping_trailers_ = 1;
            complete_message();
        }
        return taken;
    }
    case 2: {
        // Inside chunk data; goes to 3 once the chunk's bytes are delivered.
        int slice = length < chunk_remaining_ ? length : chunk_remaining_;
        if (!callback_content_data_received || !callback_content_data_received(this, context, data, slice)) {
            fail();
            return slice;
        }
        chunk_remaining_ -= slice;
        body_received_ += slice;
        if (!chunk_remaining_)
            chunk_state_ = 3;
        return slice;
    }
    case 3: {
        // Waits for the empty line that ends chunk data; back to 1.
        int taken = gather_line(data, length);
        if (!line_complete_)
            return taken;
        if (line_.length() != 0) {
            warn("receive_data(), chunk data not followed by an empty line: ", line_.c_str(), "", QUON_LOG_PERR);
            fail();
            return taken;
        }
        chunk_state_ = 1;
        return taken;
    }
    default:
        fail();
        return 0;
    }
}

int quon_http_data_processor_oline::message_step(const char* data, int length)
{
    return in_body_ ? body_step(data, length) : header_step(data, length);
}

int quon_http_data_processor_oline::receive_data(const char* data, int length)
{
    if (length < 1 || !data || finished_)
        return -1;
    if (stop_input_)
        return 1;
    int offset = 0;
    while (offset < length) {
        offset += message_step(data + offset, length - offset);
        if (finished_)
            return -1;
        if (stop_input_)
            return 0;
    }
    return 1;
}
