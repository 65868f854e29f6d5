#include "net/network_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"

static_assert(sizeof(quon_network_address) == QUON_NETWORK_ADDRESS_LENGTH, "address record is 16 bytes");
static_assert(sizeof(quon_network_address) == sizeof(struct sockaddr_in), "address record is a sockaddr_in");
static_assert(offsetof(quon_network_address, port) == offsetof(struct sockaddr_in, sin_port), "port offset");
static_assert(offsetof(quon_network_address, address) == offsetof(struct sockaddr_in, sin_addr), "address offset");

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// The dotted-quad test, also yielding the four values. Groups are decimal
// whatever their leading zeros: inet_addr would read 010 as octal 8 and
// reject 08 outright, giving a different host than the text names.
bool parse_dotted_quad(const char* text, uint8_t octets[4])
{
    if (!text)
        return false;
    int dots = 0;
    int digits = 0;
    const char* at = text;
    for (;;) {
        // A group starts with a digit: this also refuses signs, blanks and
        // empty groups.
        if (!is_digit(*at))
            return false;
        unsigned value = 0;
        while (is_digit(*at)) {
            if (value <= 255)
                value = value * 10 + (unsigned)(*at - '0');
            digits++;
            at++;
        }
        if (value > 255)
            return false;
        octets[dots] = (uint8_t)value;
        if (*at == 0)
            break;
        if (*at != '.' || dots == 3)
            return false;
        dots++;
        at++;
    }
    return dots == 3 && digits >= 4 && digits <= 12;
}

struct error_name {
    int code;
    const char* name;
};

const error_name error_names[] = {
    {QUON_NET_ERROR_NONE, "no error"},
    {QUON_NET_ERROR_UNINITIALIZED, "network socket subsystem uninitialized"},
    {QUON_NET_ERROR_BAD_ARGUMENT, "bad function argument"},
    {QUON_NET_ERROR_FAULT, "address/segmentation fault"},
    {QUON_NET_ERROR_NO_DESCRIPTORS, "out of file descriptors"},
    {QUON_NET_ERROR_NO_MEMORY, "oom or buffer space"},
    {QUON_NET_ERROR_TOO_BIG, "data too big for operation"},
    {QUON_NET_ERROR_ADDRESS_IN_USE, "address in use"},
    {QUON_NET_ERROR_BROKEN_PIPE, "broken network pipe"},
    {QUON_NET_ERROR_RESET, "connection aborted/reset"},
    {QUON_NET_ERROR_HOST_DOWN, "remote host down"},
    {QUON_NET_ERROR_HOST_UNREACHABLE, "remote host unreachable"},
    {QUON_NET_ERROR_NETWORK_DOWN, "network down"},
    {QUON_NET_ERROR_NETWORK_UNREACHABLE, "network unreachable"},
    {QUON_NET_ERROR_NETWORK_RESET, "network was reset"},
    {QUON_NET_ERROR_WOULD_BLOCK, "would block"},
    {QUON_NET_ERROR_IN_PROGRESS, "in progress"},
    {QUON_NET_ERROR_INTERRUPTED, "interrupted"},
    {QUON_NET_ERROR_REFUSED, "connection refused"},
    {QUON_NET_ERROR_TIMEOUT, "timeout"},
    {QUON_NET_ERROR_ALREADY, "already done"},
    {QUON_NET_ERROR_IS_CONNECTED, "already is connected"},
    {QUON_NET_ERROR_NOT_CONNECTED, "is not connected"},
};

}  // namespace

bool quon_is_dotted_quad(const char* text)
{
    uint8_t octets[4];
    return parse_dotted_quad(text, octets);
}

int quon_resolve_host(const char* host, quon_network_address* address)
{
    if (!host || !address)
        return 0;
    uint8_t octets[4];
    if (parse_dotted_quad(host, octets)) {
        // The text's order is network byte order.
        memcpy(&address->address, octets, sizeof(octets));
        address->family = AF_INET;
        return 1;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0)
        return 0;
    int result = 0;
    if (found && found->ai_family == AF_INET && found->ai_addr &&
        found->ai_addrlen >= (socklen_t)sizeof(struct sockaddr_in)) {
        struct sockaddr_in first;
        memcpy(&first, found->ai_addr, sizeof(first));
        address->address = first.sin_addr.s_addr;
        address->family = AF_INET;
        result = 1;
    }
    freeaddrinfo(found);
    return result;
}

int quon_network_error_from_errno()
{
    switch (errno) {
    case 0:
        return QUON_NET_ERROR_NONE;
    case EINTR:
        return QUON_NET_ERROR_INTERRUPTED;
    case EBADF:
    case EINVAL:
#ifdef EBADFD
    case EBADFD:
#endif
    case ENOTSOCK:
        return QUON_NET_ERROR_BAD_ARGUMENT;
    case EAGAIN:
#if defined(EWOULDBLOCK) && EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
#ifdef ERESTART
    case ERESTART:
#endif
        return QUON_NET_ERROR_WOULD_BLOCK;
    case ENOMEM:
    case ENOBUFS:
        return QUON_NET_ERROR_NO_MEMORY;
    case EFAULT:
        return QUON_NET_ERROR_FAULT;
    case ENFILE:
    case EMFILE:
        return QUON_NET_ERROR_NO_DESCRIPTORS;
    case EPIPE:
    case ESHUTDOWN:
        return QUON_NET_ERROR_BROKEN_PIPE;
    case EMSGSIZE:
        return QUON_NET_ERROR_TOO_BIG;
    case EADDRINUSE:
        return QUON_NET_ERROR_ADDRESS_IN_USE;
    case ENETDOWN:
        return QUON_NET_ERROR_NETWORK_DOWN;
    case ENETUNREACH:
        return QUON_NET_ERROR_NETWORK_UNREACHABLE;
    case ENETRESET:
        return QUON_NET_ERROR_NETWORK_RESET;
    case ECONNABORTED:
    case ECONNRESET:
        return QUON_NET_ERROR_RESET;
    case EISCONN:
        return QUON_NET_ERROR_IS_CONNECTED;
    case ENOTCONN:
        return QUON_NET_ERROR_NOT_CONNECTED;
    case ETIMEDOUT:
        return QUON_NET_ERROR_TIMEOUT;
    case ECONNREFUSED:
        return QUON_NET_ERROR_REFUSED;
    case EHOSTDOWN:
        return QUON_NET_ERROR_HOST_DOWN;
    case EHOSTUNREACH:
        return QUON_NET_ERROR_HOST_UNREACHABLE;
    case EALREADY:
        return QUON_NET_ERROR_ALREADY;
    case EINPROGRESS:
        return QUON_NET_ERROR_IN_PROGRESS;
    default:
        return QUON_NET_ERROR_UNKNOWN;
    }
}

bool quon_network_error_is_transient(int code)
{
    return code == QUON_NET_ERROR_NONE || code == QUON_NET_ERROR_WOULD_BLOCK || code == QUON_NET_ERROR_IN_PROGRESS ||
           code == QUON_NET_ERROR_INTERRUPTED;
}

const char* quon_network_error_name(int code)
{
    for (const error_name& entry : error_names)
        if (entry.code == code)
            return entry.name;
    return "unknown error";
}

int quon_network_select(int count, fd_set* read_set, fd_set* write_set, fd_set* error_set, struct timeval* timeout)
{
    int result = select(count, read_set, write_set, error_set, timeout);
    if (result < 0)
        return quon_network_error_from_errno();
    return result;
}

int quon_network_socket::create(int family, int type, int protocol)
{
    descriptor_ = socket(family, type | SOCK_CLOEXEC, protocol);
    return descriptor_ >= 0 ? 1 : 0;
}

int quon_network_socket::connect(const quon_network_address* address, int length)
{
    int result = ::connect(descriptor_, reinterpret_cast<const struct sockaddr*>(address), (socklen_t)length);
    if (result < 0)
        return quon_network_error_from_errno();
    return result;
}

int quon_network_socket::read(void* buffer, int size)
{
    if (size < 0)
        return QUON_NET_ERROR_BAD_ARGUMENT;
    ssize_t result = ::read(descriptor_, buffer, (size_t)size);
    if (result < 0)
        return quon_network_error_from_errno();
    return (int)result;
}

int quon_network_socket::write(const void* data, int size)
{
    if (size < 0)
        return QUON_NET_ERROR_BAD_ARGUMENT;
    // send() rather than write() only for MSG_NOSIGNAL: a vanished peer is
    // an EPIPE result even in a program that never ignored SIGPIPE.
    ssize_t result = ::send(descriptor_, data, (size_t)size, MSG_NOSIGNAL);
    if (result < 0)
        return quon_network_error_from_errno();
    return (int)result;
}

void quon_network_socket::close()
{
    if (descriptor_ == -1)
        return;
    ::close(descriptor_);
    descriptor_ = -1;
}

int quon_network_socket::set_blocking()
{
    int flags = fcntl(descriptor_, F_GETFL);
    if (flags < 0 || fcntl(descriptor_, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        quon_log("Error in quon_network_socket::set_blocking(), setting blocking mode failed.", QUON_LOG_SOFTFAIL,
                 QUON_SOCKET);
        return 0;
    }
    return 1;
}

int quon_network_socket::set_nonblocking()
{
    int flags = fcntl(descriptor_, F_GETFL);
    if (flags < 0 || fcntl(descriptor_, F_SETFL, flags | O_NONBLOCK) < 0) {
        quon_log("Error in quon_network_socket::set_nonblocking(), setting nonblocking mode failed.",
                 QUON_LOG_SOFTFAIL, QUON_SOCKET);
        return 0;
    }
    return 1;
}

void quon_network_socket::shutdown()
{
    if (descriptor_ != -1)
        ::shutdown(descriptor_, SHUT_RDWR);
}

int quon_network_socket::set_nodelay()
{
    int on = 1;
    return setsockopt(descriptor_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0 ? 1 : 0;
}

int quon_network_socket::set_reuse_address()
{
    int on = 1;
    return setsockopt(descriptor_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 ? 1 : 0;
}

int quon_network_socket::bind(const quon_network_address* address, int length)
{
    return ::bind(descriptor_, reinterpret_cast<const struct sockaddr*>(address), (socklen_t)length) == 0 ? 1 : 0;
}

int quon_network_socket::listen()
{
    return ::listen(descriptor_, QUON_NETWORK_LISTEN_BACKLOG) == 0 ? 1 : 0;
}

int quon_network_socket::accept(quon_network_socket* client)
{
    client->close();
    int accepted = accept4(descriptor_, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted < 0)
        return quon_network_error_from_errno();
    client->descriptor_ = accepted;
    return 1;
}
