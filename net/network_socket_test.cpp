#include "net/network_socket.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

// Resolver calls are counted here, and names under .invalid are answered
// without asking anybody, so no test ever sends a DNS query.
namespace {
int resolver_calls = 0;
int resolver_family = -1;
}  // namespace

extern "C" int getaddrinfo(const char* __restrict name, const char* __restrict service,
                           const struct addrinfo* __restrict hints, struct addrinfo** __restrict found)
{
    resolver_calls++;
    resolver_family = hints ? hints->ai_family : -1;
    std::string text = name ? name : "";
    if (text.size() >= 8 && text.compare(text.size() - 8, 8, ".invalid") == 0)
        return EAI_NONAME;
    typedef int (*real_getaddrinfo)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    real_getaddrinfo real = (real_getaddrinfo)dlsym(RTLD_NEXT, "getaddrinfo");
    return real(name, service, hints, found);
}

namespace {

quon_network_address loopback_address(int port)
{
    quon_network_address address;
    memset(&address, 0, sizeof(address));
    address.family = AF_INET;
    address.port = htons((uint16_t)port);
    address.address = htonl(INADDR_LOOPBACK);
    return address;
}

// A listening wrapper on 127.0.0.1 and a port of the system's choice.
struct listener {
    quon_network_socket socket;
    int port = 0;

    listener()
    {
        EXPECT_EQ(socket.create(AF_INET, SOCK_STREAM, 0), 1);
        EXPECT_EQ(socket.set_reuse_address(), 1);
        quon_network_address address = loopback_address(0);
        EXPECT_EQ(socket.bind(&address, QUON_NETWORK_ADDRESS_LENGTH), 1);
        EXPECT_EQ(socket.listen(), 1);
        struct sockaddr_in bound;
        socklen_t length = sizeof(bound);
        getsockname(socket.descriptor(), (struct sockaddr*)&bound, &length);
        port = ntohs(bound.sin_port);
    }
    ~listener() { socket.close(); }
};

bool close_on_exec(int descriptor)
{
    int flags = fcntl(descriptor, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC);
}

}  // namespace

TEST(network_socket, dotted_quad_test)
{
    struct {
        const char* text;
        bool expected;
    } rows[] = {
        {"10.0.0.1", true},
        {"010.000.000.001", true},
        {"255.255.255.255", true},
        {"0255.0.0.1", true},
        {"000000001.1.1.1", true},   // 12 digits
        {"0000000001.1.1.1", false}, // 13 digits
        {"1.2.3", false},
        {"1.2.3.4.5", false},
        {"1.2.3.256", false},
        {"256.1.1.1", false},
        {"99999999999.1.1.1", false},
        {"1..2.3", false},
        {"1.2.3.", false},
        {".1.2.3", false},
        {"a.b.c.d", false},
        {"-1.2.3.4", false},
        {"+1.2.3.4", false},
        {"1.-2.3.4", false},
        {" 1.2.3.4", false},
        {"1.2.3.4 ", false},
        {"1.2.3.4x", false},
        {"localhost", false},
        {"", false},
        {nullptr, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(quon_is_dotted_quad(row.text), row.expected) << (row.text ? row.text : "(null)");
}

TEST(network_socket, resolution_of_addresses_and_names)
{
    quon_network_address address;
    memset(&address, 0xAB, sizeof(address));
    resolver_calls = 0;
    ASSERT_EQ(quon_resolve_host("127.0.0.1", &address), 1);
    EXPECT_EQ(resolver_calls, 0);
    EXPECT_EQ(address.family, AF_INET);
    EXPECT_EQ(address.address, htonl(0x7f000001));
    // Only family and address are written.
    EXPECT_EQ(address.port, 0xABAB);
    EXPECT_EQ(address.zero[0], 0xAB);
    EXPECT_EQ(address.zero[7], 0xAB);

    // Groups are decimal even with leading zeros (inet_addr would say 8.0.0.1).
    ASSERT_EQ(quon_resolve_host("010.000.000.001", &address), 1);
    EXPECT_EQ(address.address, htonl(0x0a000001));
    ASSERT_EQ(quon_resolve_host("08.0.0.09", &address), 1);
    EXPECT_EQ(address.address, htonl(0x08000009));
    EXPECT_EQ(resolver_calls, 0);

    memset(&address, 0, sizeof(address));
    ASSERT_EQ(quon_resolve_host("localhost", &address), 1);
    EXPECT_EQ(resolver_calls, 1);
    EXPECT_EQ(resolver_family, AF_INET);
    EXPECT_EQ(address.family, AF_INET);
    EXPECT_EQ(ntohl(address.address) >> 24, 127u);

    quon_network_address untouched;
    memset(&untouched, 0x5A, sizeof(untouched));
    EXPECT_EQ(quon_resolve_host("no-such-host.invalid", &untouched), 0);
    for (size_t i = 0; i < sizeof(untouched); i++)
        EXPECT_EQ(((unsigned char*)&untouched)[i], 0x5A);
    EXPECT_EQ(quon_resolve_host(nullptr, &address), 0);
}

TEST(network_socket, errno_mapping_table)
{
    struct {
        int errno_value;
        int code;
    } rows[] = {
        {0, -2},           {EINTR, -32},       {EBADF, -11},        {EINVAL, -11},      {EBADFD, -11},
        {ENOTSOCK, -11},   {EAGAIN, -30},      {ERESTART, -30},     {ENOMEM, -14},      {ENOBUFS, -14},
        {EFAULT, -12},     {ENFILE, -13},      {EMFILE, -13},       {EPIPE, -20},       {ESHUTDOWN, -20},
        {EMSGSIZE, -15},   {EADDRINUSE, -16},  {ENETDOWN, -24},     {ENETUNREACH, -25}, {ENETRESET, -26},
        {ECONNABORTED, -21}, {ECONNRESET, -21}, {EISCONN, -43},     {ENOTCONN, -44},    {ETIMEDOUT, -41},
        {ECONNREFUSED, -40}, {EHOSTDOWN, -22}, {EHOSTUNREACH, -23}, {EALREADY, -42},    {EINPROGRESS, -31},
        {ETOOMANYREFS, -1}, {ENOENT, -1},
    };
    for (const auto& row : rows) {
        errno = row.errno_value;
        EXPECT_EQ(quon_network_error_from_errno(), row.code) << strerror(row.errno_value);
    }
}

TEST(network_socket, error_names_and_transient_codes)
{
    struct {
        int code;
        const char* name;
        bool transient;
    } rows[] = {
        {-2, "no error", true},
        {-10, "network socket subsystem uninitialized", false},
        {-11, "bad function argument", false},
        {-12, "address/segmentation fault", false},
        {-13, "out of file descriptors", false},
        {-14, "oom or buffer space", false},
        {-15, "data too big for operation", false},
        {-16, "address in use", false},
        {-20, "broken network pipe", false},
        {-21, "connection aborted/reset", false},
        {-22, "remote host down", false},
        {-23, "remote host unreachable", false},
        {-24, "network down", false},
        {-25, "network unreachable", false},
        {-26, "network was reset", false},
        {-30, "would block", true},
        {-31, "in progress", true},
        {-32, "interrupted", true},
        {-33, "unknown error", false},
        {-40, "connection refused", false},
        {-41, "timeout", false},
        {-42, "already done", false},
        {-43, "already is connected", false},
        {-44, "is not connected", false},
        {-1, "unknown error", false},
        {0, "unknown error", false},
        {5, "unknown error", false},
    };
    for (const auto& row : rows) {
        EXPECT_STREQ(quon_network_error_name(row.code), row.name) << row.code;
        EXPECT_EQ(quon_network_error_is_transient(row.code), row.transient) << row.code;
    }
}

TEST(network_socket, server_and_client_round_trip)
{
    listener server;
    quon_network_socket client;
    ASSERT_EQ(client.create(AF_INET, SOCK_STREAM, 0), 1);
    EXPECT_TRUE(close_on_exec(client.descriptor()));
    quon_network_address address = loopback_address(server.port);
    ASSERT_EQ(client.connect(&address, QUON_NETWORK_ADDRESS_LENGTH), 0);
    EXPECT_EQ(client.set_nodelay(), 1);

    quon_network_socket accepted;
    ASSERT_EQ(server.socket.accept(&accepted), 1);
    EXPECT_TRUE(close_on_exec(accepted.descriptor()));
    EXPECT_EQ(client.write("ping", 4), 4);
    char buffer[16] = {};
    EXPECT_EQ(accepted.read(buffer, sizeof(buffer)), 4);
    EXPECT_STREQ(buffer, "ping");

    // Nothing there yet: a non-blocking read is a transient failure.
    ASSERT_EQ(accepted.set_nonblocking(), 1);
    EXPECT_TRUE(fcntl(accepted.descriptor(), F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(accepted.read(buffer, sizeof(buffer)), QUON_NET_ERROR_WOULD_BLOCK);
    ASSERT_EQ(accepted.set_blocking(), 1);
    EXPECT_FALSE(fcntl(accepted.descriptor(), F_GETFL) & O_NONBLOCK);

    // End of stream is a count of 0, not an error.
    client.shutdown();
    EXPECT_EQ(accepted.read(buffer, sizeof(buffer)), 0);
    client.close();
    EXPECT_EQ(client.descriptor(), -1);
    client.close();
    accepted.close();

    // accept on a socket that does not listen reports the mapped code.
    quon_network_socket idle;
    quon_network_socket nobody;
    ASSERT_EQ(idle.create(AF_INET, SOCK_STREAM, 0), 1);
    EXPECT_EQ(idle.accept(&nobody), QUON_NET_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(nobody.descriptor(), -1);
    idle.close();
}

TEST(network_socket, failures_without_a_descriptor)
{
    log_capture log;
    quon_network_socket none;
    EXPECT_FALSE(none.is_open());
    char byte;
    EXPECT_EQ(none.read(&byte, 1), QUON_NET_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(none.write("x", 1), QUON_NET_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(none.set_nodelay(), 0);
    EXPECT_EQ(none.set_reuse_address(), 0);
    EXPECT_EQ(none.listen(), 0);
    none.shutdown();
    none.close();
    EXPECT_EQ(none.set_blocking(), 0);
    EXPECT_EQ(none.set_nonblocking(), 0);
    EXPECT_EQ(log.text(),
              "quon_socket.softfail Error in quon_network_socket::set_blocking(), setting blocking mode failed.\n"
              "quon_socket.softfail Error in quon_network_socket::set_nonblocking(), setting nonblocking mode "
              "failed.\n");

    EXPECT_EQ(none.create(-1, SOCK_STREAM, 0), 0);
    EXPECT_EQ(none.descriptor(), -1);

    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(pipe_ends[0], &set);
    struct timeval zero = {0, 0};
    EXPECT_EQ(quon_network_select(pipe_ends[0] + 1, &set, nullptr, nullptr, &zero), QUON_NET_ERROR_BAD_ARGUMENT);
}

TEST(network_socket, writing_to_a_reset_peer_fails_without_sigpipe)
{
    // With the default action a SIGPIPE would end this test program.
    struct sigaction saved;
    struct sigaction fatal;
    memset(&fatal, 0, sizeof(fatal));
    fatal.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &fatal, &saved);

    listener server;
    quon_network_socket client;
    ASSERT_EQ(client.create(AF_INET, SOCK_STREAM, 0), 1);
    quon_network_address address = loopback_address(server.port);
    ASSERT_EQ(client.connect(&address, QUON_NETWORK_ADDRESS_LENGTH), 0);
    quon_network_socket accepted;
    ASSERT_EQ(server.socket.accept(&accepted), 1);
    struct linger reset = {1, 0};
    setsockopt(accepted.descriptor(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    accepted.close();

    // Keep writing past the first failure: the first may report the reset,
    // the later ones meet a dead connection (EPIPE, the one that signals).
    int failures = 0;
    for (int attempt = 0; attempt < 100 && failures < 3; attempt++) {
        int result = client.write("data", 4);
        if (result >= 0) {
            usleep(10000);
            continue;
        }
        failures++;
        EXPECT_TRUE(result == QUON_NET_ERROR_BROKEN_PIPE || result == QUON_NET_ERROR_RESET) << result;
    }
    EXPECT_EQ(failures, 3);
    client.close();
    sigaction(SIGPIPE, &saved, nullptr);
}
