#ifndef BRIMVALE_NET_NETWORK_SOCKET_H
#define BRIMVALE_NET_NETWORK_SOCKET_H

#include <stdint.h>
#include <sys/select.h>

// The thin layer over the system's socket calls: IPv4 name resolution, one
// wrapped descriptor, and the program's own negative error codes with their
// fixed names. Nothing here allocates or keeps global state.

// Every failing wrapper returns one of these; success values are zero or
// positive. Grouped by tens: -2 alone; -10s resources and arguments; -20s the
// network; -30s conditions that only mean "try again later"; -40s the state
// of a connection.
enum quon_network_error {
    QUON_NET_ERROR_UNKNOWN = -1,              // an errno the mapping does not know
    QUON_NET_ERROR_NONE = -2,                 // a failure with errno 0 (e.g. end of stream)
    QUON_NET_ERROR_UNINITIALIZED = -10,       // a name only; never produced by the mapping
    QUON_NET_ERROR_BAD_ARGUMENT = -11,
    QUON_NET_ERROR_FAULT = -12,
    QUON_NET_ERROR_NO_DESCRIPTORS = -13,
    QUON_NET_ERROR_NO_MEMORY = -14,
    QUON_NET_ERROR_TOO_BIG = -15,
    QUON_NET_ERROR_ADDRESS_IN_USE = -16,
    QUON_NET_ERROR_BROKEN_PIPE = -20,
    QUON_NET_ERROR_RESET = -21,
    QUON_NET_ERROR_HOST_DOWN = -22,
    QUON_NET_ERROR_HOST_UNREACHABLE = -23,
    QUON_NET_ERROR_NETWORK_DOWN = -24,
    QUON_NET_ERROR_NETWORK_UNREACHABLE = -25,
    QUON_NET_ERROR_NETWORK_RESET = -26,
    QUON_NET_ERROR_WOULD_BLOCK = -30,
    QUON_NET_ERROR_IN_PROGRESS = -31,
    QUON_NET_ERROR_INTERRUPTED = -32,
    QUON_NET_ERROR_REFUSED = -40,
    QUON_NET_ERROR_TIMEOUT = -41,
    QUON_NET_ERROR_ALREADY = -42,
    QUON_NET_ERROR_IS_CONNECTED = -43,
    QUON_NET_ERROR_NOT_CONNECTED = -44,
};

// Fixed values of the network layer, in one place.
enum {
    // Bytes of quon_network_address, the length handed to connect and bind.
    QUON_NETWORK_ADDRESS_LENGTH = 16,
    // Pending connections a listening socket keeps.
    QUON_NETWORK_LISTEN_BACKLOG = 3,
    // Room for the host name a TLS connection must prove (a DNS name is at
    // most 253 characters); longer names are refused, never cut.
    QUON_TCP_EXPECTED_HOST_SIZE = 256,
    // Buffer for one formatted TLS library error line.
    QUON_SSL_ERROR_TEXT_SIZE = 256,
    // Buffer for the start-up messages that carry a file name.
    QUON_SSL_MESSAGE_SIZE = 1024,
};
// Applied to the process-wide TLS context and again to every connection.
#define QUON_SSL_CIPHER_LIST "HIGH:@STRENGTH:!aNULL"

// Laid out exactly like struct sockaddr_in, so it goes to connect unchanged.
// Resolution writes only family and address; the TCP socket sets the port.
struct quon_network_address {
    uint16_t family;   // host order; always AF_INET
    uint16_t port;     // network order
    uint32_t address;  // IPv4, network order
    uint8_t zero[8];   // left as the owner initialised it (all zero)
};

// True when text is an IPv4 address in dotted decimal form: four groups of
// digits, each of value at most 255, 4 to 12 digits in all, nothing else.
// Leading zeros are allowed and do not make a group octal.
bool quon_is_dotted_quad(const char* text);

// Fills family and address of *address from dotted-quad text (no resolver
// call) or through getaddrinfo restricted to IPv4 (first answer wins).
// 1 on success; 0 on failure, with *address untouched. Logs nothing.
int quon_resolve_host(const char* host, quon_network_address* address);

// The code for the calling thread's current errno; call it right after the
// failing system call.
int quon_network_error_from_errno();

// True for the codes that mean "nothing happened yet, try again": -2, -30,
// -31 and -32.
bool quon_network_error_is_transient(int code);

// The code's fixed printable name; "unknown error" for anything unlisted.
const char* quon_network_error_name(int code);

// select with the same arguments: its result when zero or more, otherwise
// the mapped code. Descriptors in the sets must be below FD_SETSIZE.
int quon_network_select(int count, fd_set* read_set, fd_set* write_set, fd_set* error_set, struct timeval* timeout);

// One socket descriptor; -1 means none is held. The object that embeds it
// owns the descriptor and closes it: this wrapper closes nothing by itself.
// Descriptors are created close-on-exec, so an exec'd client inherits none.
class quon_network_socket {
public:
    quon_network_socket() : descriptor_(-1) {}
    quon_network_socket(const quon_network_socket&) = delete;
    quon_network_socket& operator=(const quon_network_socket&) = delete;

    // socket(); 1 with the descriptor stored, 0 with it left at -1. A
    // descriptor still held is not closed first.
    int create(int family, int type, int protocol);
    // 0 or more as connect returned it; a failure as its mapped code.
    int connect(const quon_network_address* address, int length);
    // Byte count, 0 at end of stream; a failure as its mapped code.
    int read(void* buffer, int size);
    // Byte count; a failure as its mapped code. A peer that has gone gives
    // -20 or -21, never SIGPIPE.
    int write(const void* data, int size);
    // Closes a held descriptor and forgets it; harmless when none is held.
    void close();
    // 1 on success; 0 and a softfail line otherwise (the descriptor stays).
    int set_blocking();
    int set_nonblocking();

    // Server side (the launcher uses none of these).
    // Both directions; nothing when no descriptor is held.
    void shutdown();
    int set_nodelay();        // 1 or 0
    int set_reuse_address();  // 1 or 0
    int bind(const quon_network_address* address, int length);  // 1 or 0
    int listen();             // backlog QUON_NETWORK_LISTEN_BACKLOG; 1 or 0
    // Stores the new connection in *client, closing any descriptor it still
    // held; 1, or the mapped code with *client left at -1.
    int accept(quon_network_socket* client);

    int descriptor() const { return descriptor_; }
    bool is_open() const { return descriptor_ != -1; }

private:
    int descriptor_;
};

#endif
