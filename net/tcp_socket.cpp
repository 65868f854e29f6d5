#include "net/tcp_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "base/log.h"
#include "base/string_buffer.h"
#include "net/ssl_startup.h"

namespace {

enum { WAIT_READ = 1, WAIT_WRITE = 2, WAIT_ERROR = 4 };

int64_t monotonic_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// What is left of timeout_ms since start; negative stays "no limit".
int remaining_ms(int64_t start, int timeout_ms)
{
    if (timeout_ms < 0)
        return -1;
    int64_t left = (int64_t)timeout_ms - (monotonic_ms() - start);
    return left > 0 ? (int)left : 0;
}

// One select on one descriptor, always watching the error set. Returns what
// quon_network_select returned; *ready holds the WAIT_* bits that came up.
int wait_descriptor(int descriptor, int wanted, int timeout_ms, int* ready)
{
    fd_set read_set;
    fd_set write_set;
    fd_set error_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&error_set);
    if (wanted & WAIT_READ)
        FD_SET(descriptor, &read_set);
    if (wanted & WAIT_WRITE)
        FD_SET(descriptor, &write_set);
    FD_SET(descriptor, &error_set);
    struct timeval timeout;
    struct timeval* limit = nullptr;
    if (timeout_ms >= 0) {
        timeout.tv_sec = timeout_ms / 1000;
        timeout.tv_usec = (timeout_ms % 1000) * 1000;
        limit = &timeout;
    }
    int result = quon_network_select(descriptor + 1, &read_set, &write_set, &error_set, limit);
    *ready = 0;
    if (result > 0) {
        if (FD_ISSET(descriptor, &read_set))
            *ready |= WAIT_READ;
        if (FD_ISSET(descriptor, &write_set))
            *ready |= WAIT_WRITE;
        if (FD_ISSET(descriptor, &error_set))
            *ready |= WAIT_ERROR;
    }
    return result;
}

void log_socket(const char* text, int level)
{
    quon_log(text, level, QUON_SOCKET);
}

// The oldest queued TLS library error with the SSL_get_error code.
void log_tls_error(int code)
{
    char text[QUON_SSL_ERROR_TEXT_SIZE];
    ERR_error_string_n(ERR_get_error(), text, sizeof(text));
    char line[QUON_SSL_ERROR_TEXT_SIZE + 32];
    snprintf(line, sizeof(line), "%s - err code %d.", text, code);
    log_socket(line, QUON_LOG_INFO);
}

// OpenSSL 3 reports a peer that closed TCP without a close alert as an
// error of its own; older versions gave a system-call error with errno 0.
bool is_eof_without_close_alert(int code)
{
    if (code == SSL_ERROR_SYSCALL)
        return quon_network_error_from_errno() == QUON_NET_ERROR_NONE;
#ifdef SSL_R_UNEXPECTED_EOF_WHILE_READING
    if (code == SSL_ERROR_SSL)
        return ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
#endif
    return false;
}

}  // namespace

quon_tcp_socket::quon_tcp_socket()
    : ssl_(nullptr), ssl_enabled_(0), state_(QUON_TCP_UNCONNECTED), read_error_(0), error_(0)
{
    memset(&peer_address_, 0, sizeof(peer_address_));
    expected_host_[0] = 0;
}

quon_tcp_socket::~quon_tcp_socket()
{
    if (socket_.is_open()) {
        log_socket("Error in ~quon_tcp_socket(), socket not closed.", QUON_LOG_SOFTFAIL);
        socket_.close();
    }
    SSL_free(ssl_);
}

int quon_tcp_socket::enable_ssl()
{
    if (state_ != QUON_TCP_UNCONNECTED) {
        log_socket("Error in quon_tcp_socket::enable_ssl(), socket not in unconnected state.", QUON_LOG_SOFTFAIL);
        return 0;
    }
    if (ssl_enabled_) {
        log_socket("Warning in quon_tcp_socket::enable_ssl(), ssl already enabled.", QUON_LOG_SOFTFAIL);
        return 1;
    }
    ssl_enabled_ = 1;
    return 1;
}

int quon_tcp_socket::disable_ssl()
{
    if (state_ != QUON_TCP_UNCONNECTED) {
        log_socket("Error in quon_tcp_socket::disable_ssl(), socket not in unconnected state.", QUON_LOG_SOFTFAIL);
        return 0;
    }
    ssl_enabled_ = 0;
    SSL_free(ssl_);
    ssl_ = nullptr;
    return 1;
}

int quon_tcp_socket::set_expected_host(const char* host)
{
    expected_host_[0] = 0;
    if (!host)
        return 1;
    size_t length = strlen(host);
    // A cut name could match a certificate for a different host: refuse it.
    if (length >= sizeof(expected_host_)) {
        log_socket("Error in quon_tcp_socket::set_expected_host(), host name too long.", QUON_LOG_SOFTFAIL);
        return 0;
    }
    memcpy(expected_host_, host, length + 1);
    return 1;
}

int quon_tcp_socket::fail_connect(int code)
{
    error_ = code;
    state_ = QUON_TCP_UNCONNECTED;
    socket_.close();
    return -1;
}

int quon_tcp_socket::start_nonblocking_connect(const quon_network_address& address, int port)
{
    if (state_ & (QUON_TCP_CONNECTING | QUON_TCP_HANDSHAKING)) {
        error_ = QUON_NET_ERROR_IN_PROGRESS;
        return -1;
    }
    if (state_ == QUON_TCP_CONNECTED) {
        error_ = QUON_NET_ERROR_IS_CONNECTED;
        return -1;
    }
    if (socket_.is_open()) {
        log_socket("Error in quon_tcp_socket::start_nonblocking_connect(), socket not closed.", QUON_LOG_SOFTFAIL);
        socket_.close();
    }
    if (port < 0 || port > 65535) {
        log_socket("Error in quon_tcp_socket::start_nonblocking_connect(), port out of range.", QUON_LOG_SANITY);
        error_ = QUON_NET_ERROR_BAD_ARGUMENT;
        return -1;
    }
    if (!socket_.create(AF_INET, SOCK_STREAM, 0)) {
        log_socket("Error in quon_tcp_socket::start_nonblocking_connect(), unable to create new socket?",
                   QUON_LOG_HARDFAIL);
        error_ = QUON_NET_ERROR_NO_DESCRIPTORS;
        return -1;
    }
    // select() cannot watch a descriptor this high; FD_SET would write past
    // the set.
    if (socket_.descriptor() >= FD_SETSIZE) {
        log_socket("Error in quon_tcp_socket::start_nonblocking_connect(), descriptor beyond FD_SETSIZE?",
                   QUON_LOG_HARDFAIL);
        socket_.close();
        error_ = QUON_NET_ERROR_NO_DESCRIPTORS;
        return -1;
    }
    state_ = QUON_TCP_CONNECTING;
    peer_address_ = address;
    peer_address_.family = AF_INET;
    peer_address_.port = htons((uint16_t)port);
    // A blocking connect here could wait without any time-out.
    if (!socket_.set_nonblocking()) {
        fail_connect(QUON_NET_ERROR_BAD_ARGUMENT);
        return QUON_NET_ERROR_BAD_ARGUMENT;
    }

    int result = socket_.connect(&peer_address_, QUON_NETWORK_ADDRESS_LENGTH);
    if (result >= 0 || result == QUON_NET_ERROR_IS_CONNECTED) {
        error_ = 0;
        return ssl_try_connect(0);
    }
    if (result == QUON_NET_ERROR_ALREADY || quon_network_error_is_transient(result)) {
        error_ = result;
        return 0;
    }
    fail_connect(result);
    return result;
}

int quon_tcp_socket::fail_ssl_setup(const char* message)
{
    log_socket(message, QUON_LOG_SOFTFAIL);
    return fail_connect(QUON_NET_ERROR_RESET);
}

int quon_tcp_socket::apply_expected_host()
{
    X509_VERIFY_PARAM* verify = SSL_get0_param(ssl_);
    // An address is checked against the certificate's IP entries and is
    // never sent as a server name.
    if (quon_is_dotted_quad(expected_host_)) {
        quon_network_address ip;
        memset(&ip, 0, sizeof(ip));
        quon_resolve_host(expected_host_, &ip);
        return X509_VERIFY_PARAM_set1_ip(verify, reinterpret_cast<const unsigned char*>(&ip.address), 4);
    }
    if (strchr(expected_host_, ':')) {
        unsigned char ip6[16];
        if (inet_pton(AF_INET6, expected_host_, ip6) != 1)
            return 0;
        return X509_VERIFY_PARAM_set1_ip(verify, ip6, sizeof(ip6));
    }
    X509_VERIFY_PARAM_set_hostflags(verify, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_VERIFY_PARAM_set1_host(verify, expected_host_, 0) != 1)
        return 0;
    return SSL_set_tlsext_host_name(ssl_, expected_host_) == 1;
}

int quon_tcp_socket::ssl_try_connect(int blocking, int timeout_ms)
{
    if (!ssl_enabled_) {
        state_ = QUON_TCP_CONNECTED;
        return 1;
    }
    if (state_ != QUON_TCP_CONNECTING)
        return fail_ssl_setup("Error in quon_tcp_socket::ssl_try_connect(), socket not in connecting state.");
    if (!expected_host_[0])
        return fail_ssl_setup(
            "Error in quon_tcp_socket::ssl_try_connect(), no expected host name set, server cannot be verified.");

    SSL_CTX* context = quon_ssl_get_context();
    if (context && !quon_ssl_load_default_trust_store())
        return fail_ssl_setup("Error in quon_tcp_socket::ssl_try_connect(), no trust store to verify the server with.");
    SSL_free(ssl_);
    ssl_ = context ? SSL_new(context) : nullptr;
    if (!ssl_) {
        log_socket("Unable to allocate SSL struct in quon_tcp_socket::ssl_try_connect(), did you run "
                   "quon_ssl_network_startup()?",
                   QUON_LOG_SOFTFAIL);
        log_tls_error(0);
        return 0;
    }
    if (SSL_set_cipher_list(ssl_, QUON_SSL_CIPHER_LIST) != 1)
        return fail_ssl_setup("Error in quon_tcp_socket::ssl_try_connect(), unable to set cipher list?");
    if (SSL_set_fd(ssl_, socket_.descriptor()) != 1)
        return fail_ssl_setup("Error in quon_tcp_socket::ssl_try_connect(), set_fd failed?");
    if (!apply_expected_host())
        return fail_ssl_setup("Error in quon_tcp_socket::ssl_try_connect(), unable to set expected host name?");
    // Byte counts as plain write() gives them, and a retry after "nothing
    // accepted" may come from a different buffer address.
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    state_ = QUON_TCP_HANDSHAKING;
    if (!blocking)
        return ssl_retry_connect();
    return wait_for_handshake(timeout_ms);
}

// The blocking handshake: the descriptor stays non-blocking and each step
// waits for what SSL_connect wants, so a server that never finishes the
// handshake costs at most timeout_ms.
int quon_tcp_socket::wait_for_handshake(int timeout_ms)
{
    int64_t start = monotonic_ms();
    for (;;) {
        int result = ssl_retry_connect();
        if (result != 0)
            return result;
        int wanted = SSL_want_write(ssl_) ? WAIT_WRITE : WAIT_READ;
        int ready = 0;
        int waited = wait_descriptor(socket_.descriptor(), wanted, remaining_ms(start, timeout_ms), &ready);
        if (waited == 0) {
            log_socket("Warning in quon_tcp_socket::ssl_try_connect(), TLS handshake timed out.", QUON_LOG_PWARN);
            error_ = QUON_NET_ERROR_TIMEOUT;
            return -1;
        }
        if (waited < 0 && !quon_network_error_is_transient(waited)) {
            error_ = waited;
            return -1;
        }
    }
}

void quon_tcp_socket::log_verification_failure()
{
    long verdict = SSL_get_verify_result(ssl_);
    if (verdict == X509_V_OK)
        return;
    quon_string_buffer message;
    message.append("Error in quon_tcp_socket::ssl_retry_connect(), certificate verification failed for host '");
    message.append(expected_host_);
    message.append("': ");
    message.append(X509_verify_cert_error_string(verdict));
    message.append(".");
    log_socket(message.c_str(), QUON_LOG_SOFTFAIL);
}

int quon_tcp_socket::ssl_retry_connect()
{
    if (!ssl_) {
        log_socket("Error in quon_tcp_socket::ssl_retry_connect(), NULL ssl context?", QUON_LOG_SOFTFAIL);
        error_ = QUON_NET_ERROR_RESET;
        return -1;
    }
    // SSL_get_error reads the queue: it must hold only this call's errors.
    ERR_clear_error();
    int result = SSL_connect(ssl_);
    if (result > 0) {
        state_ = QUON_TCP_CONNECTED;
        return 1;
    }
    if (result == 0) {
        log_socket("Warning in quon_tcp_socket::ssl_retry_connect(), SSL connect failed due to protocol issue.",
                   QUON_LOG_PWARN);
        log_verification_failure();
        error_ = QUON_NET_ERROR_RESET;
        return -1;
    }
    int code = SSL_get_error(ssl_, result);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
        return 0;
    if (code == SSL_ERROR_ZERO_RETURN) {
        log_socket("Controlled ssl close in quon_tcp_socket::ssl_retry_connect(), bailing.", QUON_LOG_PWARN);
    } else {
        log_socket("SSL connect failed in quon_tcp_socket::ssl_retry_connect().", QUON_LOG_PWARN);
        log_verification_failure();
        log_tls_error(code);
    }
    error_ = QUON_NET_ERROR_RESET;
    return -1;
}

int quon_tcp_socket::poll_connect()
{
    int ready = 0;
    int result = wait_descriptor(socket_.descriptor(), WAIT_WRITE, 0, &ready);
    if (result < 0) {
        error_ = result;
        if (quon_network_error_is_transient(result))
            return 0;
        return fail_connect(result);
    }
    if (result == 0)
        return 0;
    if (ready & WAIT_ERROR)
        return fail_connect(QUON_NET_ERROR_RESET);
    if (ready & WAIT_WRITE)
        return ssl_try_connect(0);
    return 0;
}

int quon_tcp_socket::continue_connect()
{
    switch (state_) {
    case QUON_TCP_HANDSHAKING:
        return ssl_retry_connect();
    case QUON_TCP_CONNECTING:
        return poll_connect();
    case QUON_TCP_CONNECTED:
        error_ = QUON_NET_ERROR_IS_CONNECTED;
        return -1;
    default:
        error_ = QUON_NET_ERROR_NOT_CONNECTED;
        return -1;
    }
}

int quon_tcp_socket::poll_state()
{
    if (state_ == QUON_TCP_CONNECTING)
        continue_connect();
    return state_;
}

int quon_tcp_socket::blocking_connect(const quon_network_address& address, int port, int timeout_ms)
{
    int64_t start = monotonic_ms();
    int result = start_nonblocking_connect(address, port);
    if (result == 1)
        return 1;
    if (result < 0)
        return -1;
    // TCP came up at once and the handshake has begun: finish it here rather
    // than start a second one.
    if (state_ == QUON_TCP_HANDSHAKING)
        return wait_for_handshake(remaining_ms(start, timeout_ms));

    int ready = 0;
    int waited = wait_descriptor(socket_.descriptor(), WAIT_WRITE, timeout_ms, &ready);
    if (waited < 0) {
        error_ = waited;
        if (!quon_network_error_is_transient(waited))
            return fail_connect(waited);
    } else if (waited == 0) {
        return fail_connect(QUON_NET_ERROR_TIMEOUT);
    } else if ((ready & WAIT_ERROR) || !(ready & WAIT_WRITE)) {
        return fail_connect(QUON_NET_ERROR_RESET);
    }
    return ssl_try_connect(1, remaining_ms(start, timeout_ms));
}

int quon_tcp_socket::nonblocking_read(void* buffer, int size)
{
    if (state_ != QUON_TCP_CONNECTED) {
        read_error_ = QUON_NET_ERROR_NOT_CONNECTED;
        return -1;
    }
    if (!buffer || size < 1)
        return 0;
    if (ssl_) {
        ERR_clear_error();
        errno = 0;
        int result = SSL_read(ssl_, buffer, size);
        if (result > 0)
            return result;
        int code = SSL_get_error(ssl_, result);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
            return 0;
        if (code == SSL_ERROR_ZERO_RETURN || is_eof_without_close_alert(code)) {
            read_error_ = 0;
        } else {
            log_socket("Unexpected ssl close in quon_tcp_socket::nonblocking_read().", QUON_LOG_INFO);
            read_error_ = QUON_NET_ERROR_RESET;
            log_tls_error(code);
        }
        state_ = QUON_TCP_UNCONNECTED;
        socket_.close();
        return -1;
    }
    int result = socket_.read(buffer, size);
    if (result > 0)
        return result;
    if (result == 0) {
        state_ = QUON_TCP_UNCONNECTED;
        read_error_ = 0;
        socket_.close();
        return -1;
    }
    read_error_ = result;
    if (quon_network_error_is_transient(result))
        return 0;
    state_ = QUON_TCP_UNCONNECTED;
    socket_.close();
    return -1;
}

int quon_tcp_socket::blocking_read(void* buffer, int size, int timeout_ms)
{
    if (state_ != QUON_TCP_CONNECTED) {
        read_error_ = QUON_NET_ERROR_NOT_CONNECTED;
        return -1;
    }
    if (!buffer || size < 1)
        return 0;
    // Decrypted bytes the TLS library holds never show up in select.
    if (ssl_) {
        int result = nonblocking_read(buffer, size);
        if (result != 0)
            return result;
    }
    int ready = 0;
    int waited = wait_descriptor(socket_.descriptor(), WAIT_READ, timeout_ms, &ready);
    if (waited == 0)
        return 0;
    if (waited < 0) {
        if (quon_network_error_is_transient(waited))
            return 0;
        read_error_ = waited;
        state_ = QUON_TCP_UNCONNECTED;
        socket_.close();
        return -1;
    }
    if (ready & WAIT_ERROR) {
        state_ = QUON_TCP_UNCONNECTED;
        read_error_ = QUON_NET_ERROR_RESET;
        socket_.close();
        return -1;
    }
    if (ready & WAIT_READ)
        return nonblocking_read(buffer, size);
    return 0;
}

int quon_tcp_socket::nonblocking_write(const void* data, int size)
{
    if (state_ != QUON_TCP_CONNECTED) {
        error_ = QUON_NET_ERROR_NOT_CONNECTED;
        return -1;
    }
    if (!data || size < 1)
        return 0;
    if (ssl_) {
        ERR_clear_error();
        int result = SSL_write(ssl_, data, size);
        if (result > 0)
            return result;
        int code = SSL_get_error(ssl_, result);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
            return 0;
        if (code == SSL_ERROR_ZERO_RETURN) {
            error_ = 0;
            log_socket("Clean SSL shutdown in quon_tcp_socket::nonblocking_write().", QUON_LOG_INFO);
        } else {
            error_ = QUON_NET_ERROR_RESET;
            log_socket("Unexpected ssl close in quon_tcp_socket::nonblocking_write().", QUON_LOG_INFO);
        }
        state_ = QUON_TCP_UNCONNECTED;
        socket_.close();
        return -1;
    }
    int result = socket_.write(data, size);
    if (result >= 0)
        return result;
    error_ = result;
    if (quon_network_error_is_transient(result))
        return 0;
    state_ = QUON_TCP_UNCONNECTED;
    socket_.close();
    return -1;
}

int quon_tcp_socket::blocking_write(const void* data, int size, int timeout_ms)
{
    if (state_ != QUON_TCP_CONNECTED) {
        error_ = QUON_NET_ERROR_NOT_CONNECTED;
        return -1;
    }
    if (!data || size < 1)
        return 0;
    int ready = 0;
    int waited = wait_descriptor(socket_.descriptor(), WAIT_WRITE, timeout_ms, &ready);
    if (waited == 0)
        return 0;
    if (waited < 0) {
        if (quon_network_error_is_transient(waited))
            return 0;
        return fail_connect(waited);
    }
    if (ready & WAIT_ERROR)
        return fail_connect(QUON_NET_ERROR_RESET);
    if (ready & WAIT_WRITE)
        return nonblocking_write(data, size);
    return 0;
}

void quon_tcp_socket::close()
{
    state_ = QUON_TCP_UNCONNECTED;
    socket_.close();
}
