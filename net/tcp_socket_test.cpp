#include "net/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <openssl/x509_vfy.h>

#include <gtest/gtest.h>

#include "base/log.h"
#include "net/ssl_startup.h"
#include "tests/net/tls_fixture.h"
#include "tests/support/test_support.h"

// Every peer here is on 127.0.0.1: listeners made by the test itself, or
// `openssl s_server` started on a free loopback port with certificates from
// a PKI made for this run.

namespace {

temp_dir* pki_dir = nullptr;
bool tls_ready = false;

std::string pki(const std::string& name)
{
    return pki_dir->file(name);
}

// Trusts the test CA, then starts TLS once for the whole program.
class tls_environment : public ::testing::Environment {
public:
    void SetUp() override
    {
        pki_dir = new temp_dir;
        if (!make_test_pki(pki_dir->path()))
            return;
        quon_ssl_add_certificate_chain_file(pki("ca.pem").c_str());
        tls_ready = init_ssl() == 1;
    }
    void TearDown() override
    {
        delete pki_dir;
        pki_dir = nullptr;
    }
};

::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new tls_environment);

quon_network_address loopback()
{
    quon_network_address address;
    memset(&address, 0, sizeof(address));
    quon_resolve_host("127.0.0.1", &address);
    return address;
}

int bound_port(int descriptor)
{
    struct sockaddr_in bound;
    socklen_t length = sizeof(bound);
    getsockname(descriptor, (struct sockaddr*)&bound, &length);
    return ntohs(bound.sin_port);
}

// A TCP socket bound to 127.0.0.1 on a free port, listening with backlog
// (or not listening at all when backlog is negative).
int bound_socket(int backlog)
{
    int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quon_network_address address = loopback();
    bind(descriptor, (const struct sockaddr*)&address, sizeof(address));
    if (backlog >= 0)
        listen(descriptor, backlog);
    return descriptor;
}

double seconds_since(const struct timespec& start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start.tv_sec) + (double)(now.tv_nsec - start.tv_nsec) / 1e9;
}

struct timespec now()
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    return start;
}

// Waits up to 5 s for the peer to close, discarding what it sends.
void drain_until_closed(int descriptor)
{
    char buffer[256];
    struct pollfd wait = {descriptor, POLLIN, 0};
    while (poll(&wait, 1, 5000) > 0 && read(descriptor, buffer, sizeof(buffer)) > 0) {
    }
}

// Accepts one connection on a thread and hands it to serve; the connection
// is closed when serve returns. Gives up after 5 s without a client.
class one_shot_server {
public:
    explicit one_shot_server(std::function<void(int)> serve) : listener_(bound_socket(3)), port_(bound_port(listener_))
    {
        thread_ = std::thread([this, serve] {
            struct pollfd wait = {listener_, POLLIN, 0};
            if (poll(&wait, 1, 5000) <= 0)
                return;
            int connection = accept(listener_, nullptr, nullptr);
            if (connection < 0)
                return;
            serve(connection);
            close(connection);
        });
    }
    ~one_shot_server()
    {
        thread_.join();
        close(listener_);
    }
    int port() const { return port_; }

private:
    int listener_;
    int port_;
    std::thread thread_;
};

// `openssl s_server -rev` (each line comes back reversed) on 127.0.0.1,
// serving cert with server.key plus any further options; killed at the end.
class tls_server {
public:
    tls_server(const std::string& cert, const std::vector<std::string>& options = {})
    {
        for (int attempt = 0; attempt < 3 && !ready_; attempt++) {
            int probe = bound_socket(-1);
            port_ = bound_port(probe);
            close(probe);
            start(cert, options);
            ready_ = wait_until_accepting();
            if (!ready_)
                stop();
        }
    }
    ~tls_server() { stop(); }

    bool ready() const { return ready_; }
    int port() const { return port_; }
    std::string output() const { return read_file(dir_.file("out.txt")) + read_file(dir_.file("err.txt")); }
    // Ends the server at once: its connections close without a TLS alert.
    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    void start(const std::string& cert, const std::vector<std::string>& options)
    {
        std::vector<std::string> words = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port_),
                                          "-rev",    "-cert",    pki(cert), "-key",
                                          pki("server.key")};
        words.insert(words.end(), options.begin(), options.end());
        std::vector<char*> arguments;
        for (std::string& word : words)
            arguments.push_back(&word[0]);
        arguments.push_back(nullptr);
        int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int output = open(dir_.file("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int errors = open(dir_.file("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        pid_ = fork();
        if (pid_ == 0) {
            // Never outlive a test program that dies early.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(input, 0);
            dup2(output, 1);
            dup2(errors, 2);
            execvp("openssl", arguments.data());
            _exit(127);
        }
        close(input);
        close(output);
        close(errors);
    }

    bool wait_until_accepting()
    {
        for (int i = 0; i < 500; i++) {
            if (read_file(dir_.file("out.txt")).find("ACCEPT") != std::string::npos)
                return true;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            usleep(20000);
        }
        return false;
    }

    temp_dir dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// Reads until a line feed arrives, the connection ends or 5 s pass.
std::string read_line(quon_tcp_socket& socket)
{
    std::string line;
    char buffer[64];
    for (int attempt = 0; attempt < 50 && line.find('\n') == std::string::npos; attempt++) {
        int count = socket.blocking_read(buffer, sizeof(buffer), 100);
        if (count < 0)
            break;
        line.append(buffer, count);
    }
    return line;
}

// Restores SIGPIPE's previous action on scope exit.
struct fatal_sigpipe {
    struct sigaction saved;
    fatal_sigpipe()
    {
        struct sigaction fatal;
        memset(&fatal, 0, sizeof(fatal));
        fatal.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &fatal, &saved);
    }
    ~fatal_sigpipe() { sigaction(SIGPIPE, &saved, nullptr); }
};

class tls_socket : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tls_ready) << "test PKI or TLS start-up failed"; }
};

}  // namespace

TEST(tcp_socket, a_new_socket_is_unconnected_without_tls)
{
    quon_tcp_socket socket;
    EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
    EXPECT_EQ(socket.ssl_enabled(), 0);
    EXPECT_EQ(socket.ssl(), nullptr);
    EXPECT_EQ(socket.descriptor(), -1);
    EXPECT_EQ(socket.read_error(), 0);
    EXPECT_EQ(socket.error(), 0);
    EXPECT_STREQ(socket.expected_host(), "");
}

TEST(tcp_socket, plain_echo_exchange_and_clean_close)
{
    log_capture log;
    one_shot_server server([](int connection) {
        char buffer[64];
        ssize_t count = read(connection, buffer, sizeof(buffer));
        if (count > 0) {
            EXPECT_EQ(write(connection, buffer, (size_t)count), count);
        }
    });
    quon_tcp_socket socket;
    ASSERT_EQ(socket.blocking_connect(loopback(), server.port(), 5000), 1);
    EXPECT_EQ(socket.state(), QUON_TCP_CONNECTED);
    EXPECT_EQ(socket.peer_address().family, AF_INET);
    EXPECT_EQ(ntohs(socket.peer_address().port), server.port());
    EXPECT_TRUE(fcntl(socket.descriptor(), F_GETFD) & FD_CLOEXEC);

    EXPECT_EQ(socket.blocking_write(nullptr, 4, 5000), 0);
    EXPECT_EQ(socket.blocking_write("ping\n", 0, 5000), 0);
    EXPECT_EQ(socket.blocking_write("ping\n", 5, 5000), 5);
    EXPECT_EQ(read_line(socket), "ping\n");
    // The server has closed: a clean end of stream.
    char byte;
    EXPECT_EQ(socket.blocking_read(&byte, 1, 5000), -1);
    EXPECT_EQ(socket.read_error(), 0);
    EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
    EXPECT_EQ(socket.descriptor(), -1);
    EXPECT_EQ(log.text(), "");
}

TEST(tcp_socket, nonblocking_connect_and_the_state_checks)
{
    log_capture log;
    one_shot_server server([](int connection) { drain_until_closed(connection); });
    quon_tcp_socket socket;
    char byte;
    // Unconnected: reads and writes refuse quietly.
    EXPECT_EQ(socket.nonblocking_read(&byte, 1), -1);
    EXPECT_EQ(socket.read_error(), QUON_NET_ERROR_NOT_CONNECTED);
    EXPECT_EQ(socket.nonblocking_write("x", 1), -1);
    EXPECT_EQ(socket.error(), QUON_NET_ERROR_NOT_CONNECTED);
    EXPECT_EQ(socket.continue_connect(), -1);
    EXPECT_EQ(socket.error(), QUON_NET_ERROR_NOT_CONNECTED);
    EXPECT_EQ(log.text(), "");

    int result = socket.start_nonblocking_connect(loopback(), server.port());
    ASSERT_GE(result, 0);
    for (int i = 0; i < 500 && socket.poll_state() != QUON_TCP_CONNECTED; i++)
        usleep(10000);
    ASSERT_EQ(socket.state(), QUON_TCP_CONNECTED);
    EXPECT_EQ(socket.nonblocking_read(nullptr, 1), 0);
    EXPECT_EQ(socket.nonblocking_read(&byte, 0), 0);
    EXPECT_EQ(socket.nonblocking_read(&byte, 1), 0);  // nothing sent yet
    EXPECT_EQ(socket.blocking_read(&byte, 1, 0), 0);
    EXPECT_EQ(socket.nonblocking_write("x", 1), 1);

    EXPECT_EQ(socket.continue_connect(), -1);
    EXPECT_EQ(socket.error(), QUON_NET_ERROR_IS_CONNECTED);
    EXPECT_EQ(socket.start_nonblocking_connect(loopback(), server.port()), -1);
    EXPECT_EQ(socket.error(), QUON_NET_ERROR_IS_CONNECTED);
    EXPECT_EQ(socket.state(), QUON_TCP_CONNECTED);

    EXPECT_EQ(socket.enable_ssl(), 0);
    EXPECT_EQ(socket.disable_ssl(), 0);
    EXPECT_EQ(socket.ssl_enabled(), 0);
    EXPECT_EQ(log.text(),
              "quon_socket.softfail Error in quon_tcp_socket::enable_ssl(), socket not in unconnected state.\n"
              "quon_socket.softfail Error in quon_tcp_socket::disable_ssl(), socket not in unconnected state.\n");
    socket.close();
    EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
    EXPECT_EQ(socket.descriptor(), -1);
}

TEST(tcp_socket, refused_port_fails_at_the_first_read_or_write)
{
    // Bound but not listening: the port stays ours and refuses.
    int closed_port = bound_socket(-1);
    for (int use_write = 0; use_write < 2; use_write++) {
        quon_tcp_socket socket;
        int result = socket.blocking_connect(loopback(), bound_port(closed_port), 5000);
        if (result == 1) {
            // Writability alone counts as connected; the refusal comes next.
            EXPECT_EQ(socket.state(), QUON_TCP_CONNECTED);
            char byte = 'x';
            if (use_write) {
                EXPECT_EQ(socket.blocking_write(&byte, 1, 5000), -1);
                EXPECT_EQ(socket.error(), QUON_NET_ERROR_REFUSED);
            } else {
                EXPECT_EQ(socket.blocking_read(&byte, 1, 5000), -1);
                EXPECT_EQ(socket.read_error(), QUON_NET_ERROR_REFUSED);
            }
        } else {
            // A kernel may already know at connect time.
            EXPECT_EQ(result, -1);
            EXPECT_EQ(socket.error(), QUON_NET_ERROR_REFUSED);
        }
        EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
        EXPECT_EQ(socket.descriptor(), -1);
    }
    close(closed_port);
}

TEST(tcp_socket, connect_times_out_against_a_full_accept_queue)
{
    // Backlog 0 and nobody accepting: once the queue holds what it can,
    // further handshakes are dropped and a connect never completes.
    int listener = bound_socket(0);
    int port = bound_port(listener);
    std::vector<int> fillers;
    bool full = false;
    for (int i = 0; i < 8 && !full; i++) {
        int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        quon_network_address address = loopback();
        address.port = htons((uint16_t)port);
        connect(filler, (const struct sockaddr*)&address, sizeof(address));
        fillers.push_back(filler);
        struct pollfd wait = {filler, POLLOUT, 0};
        full = poll(&wait, 1, 300) == 0;
    }
    if (!full) {
        for (int filler : fillers)
            close(filler);
        close(listener);
        GTEST_SKIP() << "this kernel completes every loopback connect; no full accept queue to time out on";
    }

    quon_tcp_socket socket;
    EXPECT_EQ(socket.start_nonblocking_connect(loopback(), port), 0);
    EXPECT_EQ(socket.state(), QUON_TCP_CONNECTING);
    EXPECT_EQ(socket.poll_state(), QUON_TCP_CONNECTING);
    EXPECT_EQ(socket.start_nonblocking_connect(loopback(), port), -1);
    EXPECT_EQ(socket.error(), QUON_NET_ERROR_IN_PROGRESS);
    socket.close();

    struct timespec start = now();
    EXPECT_EQ(socket.blocking_connect(loopback(), port, 1500), -1);
    double elapsed = seconds_since(start);
    EXPECT_EQ(socket.error(), QUON_NET_ERROR_TIMEOUT);
    EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
    EXPECT_EQ(socket.descriptor(), -1);
    EXPECT_GE(elapsed, 1.4);
    EXPECT_LT(elapsed, 10.0);

    for (int filler : fillers)
        close(filler);
    close(listener);
}

TEST(tcp_socket, writing_to_a_vanished_peer_returns_an_error)
{
    fatal_sigpipe guard;
    // A peer that resets, and one that closes first and resets when our data
    // arrives (the case in which the system reports EPIPE and would signal).
    for (int reset : {1, 0}) {
        SCOPED_TRACE(reset ? "reset" : "closed");
        one_shot_server server([reset](int connection) {
            struct linger abort_on_close = {1, 0};
            if (reset)
                setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close));
        });
        quon_tcp_socket socket;
        ASSERT_EQ(socket.blocking_connect(loopback(), server.port(), 5000), 1);
        int result = 0;
        for (int attempt = 0; attempt < 100 && result >= 0; attempt++) {
            result = socket.blocking_write("data", 4, 1000);
            if (result >= 0)
                usleep(10000);
        }
        EXPECT_EQ(result, -1);
        EXPECT_TRUE(socket.error() == QUON_NET_ERROR_BROKEN_PIPE || socket.error() == QUON_NET_ERROR_RESET)
            << socket.error();
        EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
    }
}

TEST(tcp_socket, destroying_an_open_socket_closes_it_with_one_line)
{
    log_capture log;
    one_shot_server server([](int connection) { drain_until_closed(connection); });
    int descriptor = -1;
    {
        quon_tcp_socket socket;
        ASSERT_EQ(socket.blocking_connect(loopback(), server.port(), 5000), 1);
        descriptor = socket.descriptor();
    }
    EXPECT_EQ(fcntl(descriptor, F_GETFD), -1);
    EXPECT_EQ(log.text(), "quon_socket.softfail Error in ~quon_tcp_socket(), socket not closed.\n");
}

TEST(tcp_socket, descriptors_beyond_fd_setsize_are_refused)
{
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    struct rlimit saved = limit;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < (rlim_t)FD_SETSIZE + 8)
        GTEST_SKIP() << "descriptor limit too low to reach FD_SETSIZE";
    limit.rlim_cur = (rlim_t)FD_SETSIZE + 8;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    // Take every descriptor below FD_SETSIZE so the socket gets one above.
    std::vector<int> fillers;
    int null_device = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(null_device, 0);
    fillers.push_back(null_device);
    for (int descriptor = null_device; descriptor >= 0 && descriptor < FD_SETSIZE - 1;) {
        descriptor = dup(null_device);
        if (descriptor >= 0)
            fillers.push_back(descriptor);
    }

    log_capture log;
    quon_tcp_socket socket;
    EXPECT_EQ(socket.start_nonblocking_connect(loopback(), 9), -1);
    EXPECT_EQ(socket.error(), QUON_NET_ERROR_NO_DESCRIPTORS);
    EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
    EXPECT_EQ(socket.descriptor(), -1);
    for (int descriptor : fillers)
        close(descriptor);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_NE(log.text().find("descriptor beyond FD_SETSIZE?"), std::string::npos) << log.text();
}

TEST(tcp_socket, expected_host_and_tls_switches)
{
    log_capture log;
    quon_tcp_socket socket;
    EXPECT_EQ(socket.set_expected_host("update.example.org"), 1);
    EXPECT_STREQ(socket.expected_host(), "update.example.org");
    std::string longest(QUON_TCP_EXPECTED_HOST_SIZE - 1, 'a');
    EXPECT_EQ(socket.set_expected_host(longest.c_str()), 1);
    EXPECT_EQ(socket.expected_host(), longest);
    // Never cut: a shortened name could belong to someone else.
    std::string too_long(QUON_TCP_EXPECTED_HOST_SIZE, 'a');
    EXPECT_EQ(socket.set_expected_host(too_long.c_str()), 0);
    EXPECT_STREQ(socket.expected_host(), "");
    EXPECT_EQ(socket.set_expected_host("localhost"), 1);
    EXPECT_EQ(socket.set_expected_host(nullptr), 1);
    EXPECT_STREQ(socket.expected_host(), "");

    EXPECT_EQ(socket.enable_ssl(), 1);
    EXPECT_EQ(socket.enable_ssl(), 1);
    EXPECT_EQ(socket.ssl_enabled(), 1);
    EXPECT_EQ(socket.disable_ssl(), 1);
    EXPECT_EQ(socket.ssl_enabled(), 0);
    EXPECT_EQ(log.text(),
              "quon_socket.softfail Error in quon_tcp_socket::set_expected_host(), host name too long.\n"
              "quon_socket.softfail Warning in quon_tcp_socket::enable_ssl(), ssl already enabled.\n");
}

TEST_F(tls_socket, verifies_the_server_certificate_and_name)
{
    struct {
        const char* name;
        const char* cert;
        std::vector<std::string> options;
        const char* host;
        long verify_error;  // X509_V_OK: the connection succeeds
    } rows[] = {
        {"trusted CA, DNS name", "server.pem", {}, "localhost", X509_V_OK},
        // The server shows the trusted certificate only to a client that sends
        // the name: proof that SNI goes out.
        {"SNI selects the certificate", "rogue.pem",
         {"-servername", "localhost", "-cert2", pki("server.pem"), "-key2", pki("server.key")}, "localhost",
         X509_V_OK},
        // An address is checked as an address and not sent as SNI (if it
        // were, the server would answer with the untrusted certificate).
        {"IP address without SNI", "server.pem",
         {"-servername", "127.0.0.1", "-cert2", pki("rogue.pem"), "-key2", pki("server.key")}, "127.0.0.1",
         X509_V_OK},
        {"untrusted CA", "rogue.pem", {}, "localhost", X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
        {"self-signed", "self.pem", {}, "localhost", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
        {"expired", "expired.pem", {}, "localhost", X509_V_ERR_CERT_HAS_EXPIRED},
        {"wrong name", "server.pem", {}, "update.brimvale.invalid", X509_V_ERR_HOSTNAME_MISMATCH},
        {"wrong address", "server.pem", {}, "127.0.0.2", X509_V_ERR_IP_ADDRESS_MISMATCH},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        tls_server server(row.cert, row.options);
        ASSERT_TRUE(server.ready()) << server.output();
        log_capture log;
        quon_tcp_socket socket;
        ASSERT_EQ(socket.enable_ssl(), 1);
        ASSERT_EQ(socket.set_expected_host(row.host), 1);
        int result = socket.blocking_connect(loopback(), server.port(), 5000);
        if (row.verify_error == X509_V_OK) {
            ASSERT_EQ(result, 1) << log.text() << server.output();
            EXPECT_EQ(socket.state(), QUON_TCP_CONNECTED);
            EXPECT_EQ(socket.blocking_write("hello\n", 6, 5000), 6);
            EXPECT_EQ(read_line(socket), "olleh\n");
            EXPECT_EQ(log.text(), "");
        } else {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(socket.error(), QUON_NET_ERROR_RESET);
            // A failed handshake stays in state 4, descriptor open, until
            // the owner closes.
            EXPECT_EQ(socket.state(), QUON_TCP_HANDSHAKING);
            EXPECT_NE(socket.descriptor(), -1);
            ASSERT_NE(socket.ssl(), nullptr);
            EXPECT_EQ(SSL_get_verify_result(socket.ssl()), row.verify_error);
            std::string line = std::string("quon_socket.softfail Error in quon_tcp_socket::ssl_retry_connect(), "
                                           "certificate verification failed for host '") +
                               row.host + "': " + X509_verify_cert_error_string(row.verify_error) + ".\n";
            EXPECT_EQ(log.count(line), 1) << log.text();
            EXPECT_EQ(log.count("quon_socket.pwarn SSL connect failed in quon_tcp_socket::ssl_retry_connect().\n"),
                      1);
        }
        socket.close();
        EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
        EXPECT_EQ(socket.descriptor(), -1);
    }
}

// Relays one connection to 127.0.0.1:port and holds the server's first
// bytes back for delay_ms: a handshake through it cannot finish within the
// call that sends the client's hello, however the client is scheduled (on a
// busy machine the server's whole answer may otherwise be there by the time
// the client first reads).
static void relay_holding_back_the_answer(int client, int port, int delay_ms)
{
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(server, (const struct sockaddr*)&address, sizeof(address)) == 0) {
        bool held = false;
        struct pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        char buffer[16384];
        while (poll(ends, 2, 5000) > 0) {
            int from = ends[0].revents ? 0 : 1;
            ssize_t count = read(ends[from].fd, buffer, sizeof(buffer));
            if (count <= 0)
                break;
            if (from == 1 && !held) {
                usleep(delay_ms * 1000);
                held = true;
            }
            if (write(ends[1 - from].fd, buffer, (size_t)count) != count)
                break;
        }
    }
    close(server);
}

TEST_F(tls_socket, nonblocking_handshake_advances_with_continue_connect)
{
    tls_server server("server.pem");
    ASSERT_TRUE(server.ready()) << server.output();
    int server_port = server.port();
    one_shot_server relay([server_port](int connection) { relay_holding_back_the_answer(connection, server_port, 200); });
    quon_tcp_socket socket;
    socket.enable_ssl();
    socket.set_expected_host("localhost");
    int result = socket.start_nonblocking_connect(loopback(), relay.port());
    bool passed_handshaking = socket.state() == QUON_TCP_HANDSHAKING;
    for (int i = 0; i < 500 && result == 0; i++) {
        usleep(10000);
        result = socket.continue_connect();
        passed_handshaking = passed_handshaking || socket.state() == QUON_TCP_HANDSHAKING;
    }
    ASSERT_EQ(result, 1);
    EXPECT_TRUE(passed_handshaking);
    EXPECT_EQ(socket.state(), QUON_TCP_CONNECTED);
    EXPECT_EQ(socket.nonblocking_write("abc\n", 4), 4);
    EXPECT_EQ(read_line(socket), "cba\n");
    socket.close();
}

TEST_F(tls_socket, without_an_expected_host_no_server_is_trusted)
{
    log_capture log;
    one_shot_server server([](int connection) { drain_until_closed(connection); });
    quon_tcp_socket socket;
    socket.enable_ssl();
    EXPECT_EQ(socket.blocking_connect(loopback(), server.port(), 5000), -1);
    EXPECT_EQ(socket.error(), QUON_NET_ERROR_RESET);
    EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
    EXPECT_EQ(socket.descriptor(), -1);
    EXPECT_EQ(log.text(), "quon_socket.softfail Error in quon_tcp_socket::ssl_try_connect(), no expected host name "
                          "set, server cannot be verified.\n");
}

TEST_F(tls_socket, plain_text_server_fails_the_handshake)
{
    log_capture log;
    one_shot_server server([](int connection) {
        const char banner[] = "220 plain text only\r\n";
        EXPECT_EQ(write(connection, banner, sizeof(banner) - 1), (ssize_t)sizeof(banner) - 1);
        drain_until_closed(connection);
    });
    quon_tcp_socket socket;
    socket.enable_ssl();
    socket.set_expected_host("localhost");
    EXPECT_EQ(socket.blocking_connect(loopback(), server.port(), 5000), -1);
    EXPECT_EQ(socket.error(), QUON_NET_ERROR_RESET);
    EXPECT_EQ(socket.state(), QUON_TCP_HANDSHAKING);
    EXPECT_NE(socket.descriptor(), -1);
    EXPECT_EQ(log.count("quon_socket.pwarn SSL connect failed in quon_tcp_socket::ssl_retry_connect().\n"), 1)
        << log.text();
    EXPECT_EQ(log.count("certificate verification failed"), 0);
    // A reconnect must wait for the owner's close.
    EXPECT_EQ(socket.start_nonblocking_connect(loopback(), server.port()), -1);
    EXPECT_EQ(socket.error(), QUON_NET_ERROR_IN_PROGRESS);
    socket.close();
    EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
}

TEST_F(tls_socket, handshake_that_never_completes_times_out)
{
    log_capture log;
    // Listening but never accepting: TCP comes up, TLS never answers.
    int listener = bound_socket(3);
    quon_tcp_socket socket;
    socket.enable_ssl();
    socket.set_expected_host("localhost");
    struct timespec start = now();
    EXPECT_EQ(socket.blocking_connect(loopback(), bound_port(listener), 1500), -1);
    double elapsed = seconds_since(start);
    EXPECT_EQ(socket.error(), QUON_NET_ERROR_TIMEOUT);
    EXPECT_EQ(socket.state(), QUON_TCP_HANDSHAKING);
    EXPECT_GE(elapsed, 1.4);
    EXPECT_LT(elapsed, 10.0);
    EXPECT_EQ(log.text(),
              "quon_socket.pwarn Warning in quon_tcp_socket::ssl_try_connect(), TLS handshake timed out.\n");
    socket.close();
    close(listener);
}

TEST_F(tls_socket, blocking_read_returns_buffered_data_without_waiting)
{
    tls_server server("server.pem");
    ASSERT_TRUE(server.ready()) << server.output();
    quon_tcp_socket socket;
    socket.enable_ssl();
    socket.set_expected_host("localhost");
    ASSERT_EQ(socket.blocking_connect(loopback(), server.port(), 5000), 1);
    ASSERT_EQ(socket.blocking_write("hello\n", 6, 5000), 6);
    char buffer[16] = {};
    int count = 0;
    for (int attempt = 0; attempt < 5 && count == 0; attempt++)
        count = socket.blocking_read(buffer, 1, 1000);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(buffer[0], 'o');
    // The rest of the record waits inside the TLS library; the descriptor
    // itself has nothing, so waiting on it first would time out.
    ASSERT_GT(SSL_pending(socket.ssl()), 0);
    struct pollfd wait = {socket.descriptor(), POLLIN, 0};
    ASSERT_EQ(poll(&wait, 1, 0), 0);
    EXPECT_EQ(socket.blocking_read(buffer, sizeof(buffer), 3000), 5);
    EXPECT_EQ(std::string(buffer, 5), "lleh\n");
    socket.close();
}

TEST_F(tls_socket, peer_that_vanishes_ends_reads_cleanly_and_fails_writes)
{
    {
        // No close alert: the end of stream still counts as clean.
        tls_server server("server.pem");
        ASSERT_TRUE(server.ready()) << server.output();
        log_capture log;
        quon_tcp_socket socket;
        socket.enable_ssl();
        socket.set_expected_host("localhost");
        ASSERT_EQ(socket.blocking_connect(loopback(), server.port(), 5000), 1);
        socket.blocking_write("hi\n", 3, 5000);
        EXPECT_EQ(read_line(socket), "ih\n");
        server.stop();
        char byte;
        int result = 0;
        for (int attempt = 0; attempt < 5 && result == 0; attempt++)
            result = socket.blocking_read(&byte, 1, 1000);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(socket.read_error(), 0);
        EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
        EXPECT_EQ(log.text(), "");
    }
    {
        // Here init_ssl's ignored SIGPIPE is what keeps the process alive:
        // the TLS library writes with plain write().
        tls_server server("server.pem");
        ASSERT_TRUE(server.ready()) << server.output();
        log_capture log;
        quon_tcp_socket socket;
        socket.enable_ssl();
        socket.set_expected_host("localhost");
        ASSERT_EQ(socket.blocking_connect(loopback(), server.port(), 5000), 1);
        server.stop();
        int result = 0;
        for (int attempt = 0; attempt < 100 && result >= 0; attempt++) {
            result = socket.blocking_write("data", 4, 1000);
            if (result >= 0)
                usleep(10000);
        }
        EXPECT_EQ(result, -1);
        EXPECT_TRUE(socket.error() == QUON_NET_ERROR_BROKEN_PIPE || socket.error() == QUON_NET_ERROR_RESET)
            << socket.error();
        EXPECT_EQ(socket.state(), QUON_TCP_UNCONNECTED);
        EXPECT_EQ(log.count("quon_socket.info Unexpected ssl close in quon_tcp_socket::nonblocking_write().\n"), 1)
            << log.text();
    }
}
