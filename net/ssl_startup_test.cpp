// DH_bits and friends are the 1.1 interface the callback hands out.
#define OPENSSL_API_COMPAT 10101

#include "net/ssl_startup.h"

#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include <openssl/bn.h>
#include <openssl/dh.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include "base/log.h"
#include "net/network_socket.h"
#include "net/tcp_socket.h"
#include "tests/net/tls_fixture.h"
#include "tests/support/test_support.h"

// init_ssl runs once per process, so every start-up case runs in a child of
// this process, which itself never starts TLS. The child logs into a file of
// the parent's choosing; the facts it checks go into that log too.

namespace {

struct child_outcome {
    int status;  // exit status, or -1 when the child did not exit normally
    std::string log;
};

child_outcome run_in_child(const std::function<int()>& body)
{
    temp_dir dir;
    std::string log_path = dir.file("child_log.txt");
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        quon_global_logfile().set_announce(0);
        quon_global_logfile().open(log_path.c_str());
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(log_path)};
}

class ssl_startup : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        pki_ = new temp_dir;
        pki_ready_ = make_test_pki(pki_->path());
    }
    static void TearDownTestSuite()
    {
        delete pki_;
        pki_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(pki_ready_) << read_file(pki("pki.log")); }
    static std::string pki(const char* name) { return pki_->file(name); }

    static temp_dir* pki_;
    static bool pki_ready_;
};

temp_dir* ssl_startup::pki_ = nullptr;
bool ssl_startup::pki_ready_ = false;

int phrase_callback(char*, int, int, void*)
{
    return 0;
}

void hook_reporting_context()
{
    SSL_CTX* context = quon_ssl_get_context();
    log_printf("hook: context=%d certificate=%d verify=%d\n", context != nullptr,
               context && SSL_CTX_get0_certificate(context) != nullptr,
               context ? SSL_CTX_get_verify_mode(context) : -1);
    quon_ssl_set_password_callback(phrase_callback);
}

// Certificates in the context's trust store that the test PKI made.
int count_test_cas(SSL_CTX* context)
{
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(SSL_CTX_get_cert_store(context));
    int found = 0;
    for (int i = 0; i < sk_X509_OBJECT_num(objects); i++) {
        X509* certificate = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
        char subject[256] = "";
        if (certificate)
            X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof(subject));
        if (strstr(subject, "CN=Brimvale Test CA") || strstr(subject, "CN=Brimvale Rogue CA"))
            found++;
    }
    return found;
}

}  // namespace

TEST_F(ssl_startup, nothing_registered_makes_one_verifying_client_context)
{
    child_outcome outcome = run_in_child([] {
        quon_ssl_set_context_hook(hook_reporting_context);
        int first = init_ssl();
        SSL_CTX* context = quon_ssl_get_context();
        int second = init_ssl();
        struct sigaction pipe_action;
        sigaction(SIGPIPE, nullptr, &pipe_action);
        log_printf("base=%d second=%d same=%d sigpipe_ignored=%d passwd_cb=%d\n", quon_ssl_base_started(), second,
                   quon_ssl_get_context() == context, pipe_action.sa_handler == SIG_IGN,
                   SSL_CTX_get_default_passwd_cb(context) == phrase_callback);
        return first;
    });
    EXPECT_EQ(outcome.status, 1);
    // The hook runs once, after the context is made and verification is on,
    // before anything is loaded; nothing else is logged.
    EXPECT_EQ(outcome.log, "hook: context=1 certificate=0 verify=1\n"
                           "base=1 second=1 same=1 sigpipe_ignored=1 passwd_cb=1\n");
}

// The system's certificates are parsed with the first handshake, not at
// start-up, and only once however often a handshake asks for them.
TEST_F(ssl_startup, default_trust_store_is_loaded_on_first_use_only)
{
    if (access(X509_get_default_cert_file(), R_OK) != 0)
        GTEST_SKIP() << "no system trust store at " << X509_get_default_cert_file();
    child_outcome outcome = run_in_child([] {
        int before_startup = quon_ssl_load_default_trust_store();
        init_ssl();
        X509_STORE* store = SSL_CTX_get_cert_store(quon_ssl_get_context());
        int after_startup = sk_X509_OBJECT_num(X509_STORE_get0_objects(store));
        int first = quon_ssl_load_default_trust_store();
        int loaded = sk_X509_OBJECT_num(X509_STORE_get0_objects(store));
        int second = quon_ssl_load_default_trust_store();
        int again = sk_X509_OBJECT_num(X509_STORE_get0_objects(store));
        log_printf("before=%d after_startup=%d first=%d loaded=%d second=%d same=%d\n", before_startup,
                   after_startup, first, loaded > 0, second, again == loaded);
        return 0;
    });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.log, "before=0 after_startup=0 first=1 loaded=1 second=1 same=1\n");
}

TEST_F(ssl_startup, each_failing_load_names_its_file_and_the_tls_error)
{
    static std::string not_pem = "this is not PEM text";
    struct {
        const char* name;
        std::function<void()> register_files;
        std::string message;
    } rows[] = {
        {"missing chain file",
         [] {
             quon_ssl_add_certificate_chain_file(pki("ca.pem").c_str());
             quon_ssl_add_certificate_chain_file("/nonexistent/chain.pem");
         },
         "Error in init_ssl(), unable to load server certificate chain from file '/nonexistent/chain.pem'."},
        {"missing extra chain file", [] { quon_ssl_add_extra_certificate_chain_file("/nonexistent/extra.pem"); },
         "Error in init_ssl(), unable to load server extra certificate chain from file '/nonexistent/extra.pem'."},
        {"missing certificate file", [] { quon_ssl_add_certificate_file("/nonexistent/cert.pem"); },
         "Error in init_ssl(), unable to load server certificate from file '/nonexistent/cert.pem'."},
        {"key that does not match the certificate",
         [] {
             quon_ssl_add_certificate_file(pki("server.pem").c_str());
             quon_ssl_add_private_key_file(pki("rogue_ca.key").c_str());
         },
         "Error in init_ssl(), unable to load server private key from file '" + pki("rogue_ca.key") + "'."},
        {"static certificate not PEM", [] { quon_ssl_set_static_certificate(not_pem.c_str()); },
         "Unable to read static certificate."},
        {"static private key not PEM", [] { quon_ssl_set_static_private_key(not_pem.c_str()); },
         "Unable to read static private key."},
    };
    for (const auto& row : rows) {
        child_outcome outcome = run_in_child([&row] {
            row.register_files();
            int result = init_ssl();
            log_printf("retry=%d\n", init_ssl());
            return result;
        });
        EXPECT_EQ(outcome.status, 0) << row.name;
        // One message, one line of library error text, and a retry that
        // claims success without doing anything.
        std::string expected = "quon_ssl.hardfail " + row.message + "\nquon_ssl.hardfail error:";
        EXPECT_EQ(outcome.log.compare(0, expected.size(), expected), 0) << row.name << "\n" << outcome.log;
        EXPECT_EQ(std::count(outcome.log.begin(), outcome.log.end(), '\n'), 3) << row.name << "\n" << outcome.log;
        EXPECT_NE(outcome.log.find("\nretry=1\n"), std::string::npos) << row.name;
    }
}

TEST_F(ssl_startup, loads_server_certificates_and_keys_from_files_and_memory)
{
    static std::string certificate = read_file(pki("self.pem"));
    static std::string key = read_file(pki("server.key"));
    child_outcome outcome = run_in_child([] {
        quon_ssl_add_certificate_chain_file(pki("ca.pem").c_str());
        quon_ssl_add_extra_certificate_chain_file(pki("rogue_ca.pem").c_str());
        quon_ssl_add_certificate_file(pki("server.pem").c_str());
        quon_ssl_add_private_key_file(pki("server.key").c_str());
        quon_ssl_set_static_certificate(certificate.c_str());
        quon_ssl_set_static_private_key(key.c_str());
        int result = init_ssl();
        SSL_CTX* context = quon_ssl_get_context();
        X509* own = SSL_CTX_get0_certificate(context);
        // The static certificate is installed last, so it is the one in use.
        log_printf("test_cas_trusted=%d key_matches=%d self_signed=%d\n", count_test_cas(context),
                   SSL_CTX_check_private_key(context),
                   own && X509_NAME_cmp(X509_get_subject_name(own), X509_get_issuer_name(own)) == 0);
        return result;
    });
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.log, "test_cas_trusted=2 key_matches=1 self_signed=1\n");
}

TEST_F(ssl_startup, password_callback_before_startup_ends_the_process)
{
    child_outcome outcome = run_in_child([] {
        quon_ssl_set_password_callback(phrase_callback);
        return 0;
    });
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.log, "quon_ssl.sanity Core SSL error, base startup not yet complete.()\n");
}

TEST_F(ssl_startup, tls_connection_before_startup_names_the_startup)
{
    child_outcome outcome = run_in_child([] {
        quon_network_socket server;
        server.create(AF_INET, SOCK_STREAM, 0);
        quon_network_address address;
        memset(&address, 0, sizeof(address));
        quon_resolve_host("127.0.0.1", &address);
        address.family = AF_INET;
        server.bind(&address, QUON_NETWORK_ADDRESS_LENGTH);
        server.listen();
        struct sockaddr_in bound;
        socklen_t length = sizeof(bound);
        getsockname(server.descriptor(), (struct sockaddr*)&bound, &length);

        quon_tcp_socket socket;
        socket.enable_ssl();
        socket.set_expected_host("localhost");
        int result = socket.blocking_connect(address, ntohs(bound.sin_port), 2000);
        log_printf("result=%d state=%d\n", result, socket.state());
        socket.close();
        server.close();
        return 0;
    });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_NE(outcome.log.find("quon_socket.softfail Unable to allocate SSL struct in "
                               "quon_tcp_socket::ssl_try_connect(), did you run quon_ssl_network_startup()?\n"),
              std::string::npos)
        << outcome.log;
    // The connection stays up in state 2 for a later attempt.
    EXPECT_NE(outcome.log.find("result=0 state=2\n"), std::string::npos) << outcome.log;
}

TEST(get_tmp_dh_callback, serves_six_safe_prime_groups_of_the_requested_size)
{
    const int sizes[][2] = {{768, 96}, {1024, 128}, {1536, 192}, {2048, 256}, {3072, 384}, {4096, 512}};
    for (const auto& size : sizes) {
        log_capture log;
        DH* group = get_tmp_dh_callback(nullptr, 0, size[0]);
        ASSERT_NE(group, nullptr) << size[0];
        EXPECT_EQ(DH_bits(group), size[0]);
        EXPECT_EQ(DH_size(group), size[1]);
        EXPECT_TRUE(BN_is_word(DH_get0_g(group), 2)) << size[0];
        EXPECT_EQ(get_tmp_dh_callback(nullptr, 0, size[0]), group) << "cached";
        std::string expected =
            size[0] == 768 ? "quon_ssl.pwarn Warning in get_tmp_dh_callback(), requested short key length  768, "
                             "export 0.\nquon_ssl.pwarn Warning in get_tmp_dh_callback(), requested short key "
                             "length  768, export 0.\n"
                           : "";
        EXPECT_EQ(log.text(), expected);
    }
}

TEST(get_tmp_dh_callback, refuses_other_lengths)
{
    struct {
        int bits;
        int is_export;
        const char* log;
    } rows[] = {
        {512, 1,
         "quon_ssl.pwarn Warning in get_tmp_dh_callback(), requested short key length  512, export 1.\n"
         "quon_ssl.perr Warning in get_tmp_dh_callback(), unsupported key length  512, export 1.\n"},
        {1000, 0,
         "quon_ssl.pwarn Warning in get_tmp_dh_callback(), requested short key length 1000, export 0.\n"
         "quon_ssl.perr Warning in get_tmp_dh_callback(), unsupported key length 1000, export 0.\n"},
        {2047, 0, "quon_ssl.perr Warning in get_tmp_dh_callback(), unsupported key length 2047, export 0.\n"},
        {8192, 0, "quon_ssl.perr Warning in get_tmp_dh_callback(), unsupported key length 8192, export 0.\n"},
    };
    for (const auto& row : rows) {
        log_capture log;
        EXPECT_EQ(get_tmp_dh_callback(nullptr, row.is_export, row.bits), nullptr) << row.bits;
        EXPECT_EQ(log.text(), row.log);
    }
}
