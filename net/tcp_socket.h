#ifndef BRIMVALE_NET_TCP_SOCKET_H
#define BRIMVALE_NET_TCP_SOCKET_H

#include <openssl/ssl.h>

#include "net/network_socket.h"

// Connection states: single bits, tested as masks; exactly one is set.
enum quon_tcp_socket_state {
    // No descriptor; waits for start_nonblocking_connect.
    QUON_TCP_UNCONNECTED = 1,
    // connect() issued; waits for the descriptor to turn writable, then
    // goes to 8 (TLS off) or 4 (TLS on), or back to 1 on failure.
    QUON_TCP_CONNECTING = 2,
    // TCP is up; waits for SSL_connect to finish, then goes to 8. A failed
    // handshake stays here, descriptor open, until the owner closes.
    QUON_TCP_HANDSHAKING = 4,
    // Reads and writes work; end of stream or a failure goes to 1.
    QUON_TCP_CONNECTED = 8,
};

// An outgoing IPv4 TCP connection with optional TLS, always non-blocking
// underneath: blocking variants wait with select for at most timeout_ms
// (negative: no limit, 0: poll only) and then try once.
//
// Results: positive (1 or a byte count) is progress, 0 means nothing yet
// (call again), negative is failure. After a failure the descriptor is
// closed and the state is 1, except a failed TLS handshake, which leaves
// state 4 and the descriptor open. The reason is in read_error() for reads
// and in error() for everything else (codes of network_socket.h; a read
// error of 0 after -1 means the peer closed cleanly).
//
// TLS connections authenticate the server: its certificate must chain to
// the process-wide trust store (init_ssl) and match the host name given to
// set_expected_host, which also goes out as SNI unless it is an IP address.
// With TLS on and no expected host, the connection is refused before any
// handshake: there is nothing to check the certificate against.
//
// Owned by one thread; no locks. Owns its descriptor and its TLS object.
class quon_tcp_socket {
public:
    quon_tcp_socket();
    // Closes a descriptor still open (with an error line) and frees the
    // TLS object.
    ~quon_tcp_socket();
    quon_tcp_socket(const quon_tcp_socket&) = delete;
    quon_tcp_socket& operator=(const quon_tcp_socket&) = delete;

    // Only in state 1; 1 on success, 0 (and an error line) otherwise. The
    // setting survives close(), so a reconnect uses it again.
    int enable_ssl();
    // Also frees the TLS object.
    int disable_ssl();

    // The name the server's certificate must carry, for the next handshakes:
    // a DNS name, or an IPv4/IPv6 address checked as an address (and then not
    // sent as SNI). Copied. Null or empty clears it. A name of
    // QUON_TCP_EXPECTED_HOST_SIZE characters or more is refused: 0, an error
    // line, and the expectation cleared. Otherwise 1.
    int set_expected_host(const char* host);
    const char* expected_host() const { return expected_host_; }

    // 1 connected (TLS done or not wanted), 0 under way, negative on failure
    // (-1 or the network code that connect returned).
    int start_nonblocking_connect(const quon_network_address& address, int port);
    // 1 connected; 0 or -1 failure. Returns within about timeout_ms, the TLS
    // handshake included; a handshake that times out fails with error -41.
    // A refused port may only show at the first read or write: writability
    // counts as a completed connection.
    int blocking_connect(const quon_network_address& address, int port, int timeout_ms);
    // Internal steps, public for callers that drive the connection by hand.
    // Called once TCP is up: 1 connected, 0 handshake under way, -1 failure.
    // With blocking set the handshake is waited for, at most timeout_ms.
    int ssl_try_connect(int blocking, int timeout_ms = -1);
    // One more SSL_connect: 1 connected, 0 under way, -1 failure.
    int ssl_retry_connect();
    // Zero-wait check of a pending TCP connect: 1, 0 or -1.
    int poll_connect();
    // ssl_retry_connect in state 4, poll_connect in state 2; -1 otherwise
    // (error -43 when connected, -44 when unconnected).
    int continue_connect();
    // One continue_connect when in state 2, then the state.
    int poll_state();

    // Bytes read, 0 nothing available, -1 end of stream or failure. A null
    // buffer or size below 1 gives 0 once connected.
    int nonblocking_read(void* buffer, int size);
    // Data the TLS library already holds is returned without waiting.
    int blocking_read(void* buffer, int size, int timeout_ms);
    // Bytes written, 0 nothing accepted now, -1 failure. One call writes at
    // most what the system accepts at once; the caller loops.
    int nonblocking_write(const void* data, int size);
    int blocking_write(const void* data, int size, int timeout_ms);

    // State 1, descriptor closed. Sends no TLS close alert; keeps the TLS
    // object until the next handshake, disable_ssl or destruction.
    void close();

    int state() const { return state_; }
    int read_error() const { return read_error_; }
    int error() const { return error_; }
    int ssl_enabled() const { return ssl_enabled_; }
    int descriptor() const { return socket_.descriptor(); }
    const quon_network_address& peer_address() const { return peer_address_; }
    // The per-connection TLS object, or null.
    SSL* ssl() const { return ssl_; }

private:
    // Closes and returns to state 1 with error field set to code.
    int fail_connect(int code);
    int fail_ssl_setup(const char* message);
    int apply_expected_host();
    int wait_for_handshake(int timeout_ms);
    void log_verification_failure();

    SSL* ssl_;
    int ssl_enabled_;
    quon_network_socket socket_;
    quon_network_address peer_address_;
    int state_;
    int read_error_;
    int error_;
    char expected_host_[QUON_TCP_EXPECTED_HOST_SIZE];
};

#endif
