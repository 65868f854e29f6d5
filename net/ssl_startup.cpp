// The temporary-DH callback and the DH object it returns belong to the 1.1
// interface, which OpenSSL 3 still provides; ask for it without warnings.
#define OPENSSL_API_COMPAT 10101

#include "net/ssl_startup.h"

#include <mutex>
#include <new>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/dh.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "base/log.h"
#include "net/network_socket.h"

namespace {

// Singly linked, appended at the tail, never shortened.
struct name_entry {
    char* name;
    name_entry* next;
};

struct name_list {
    name_entry* head;
    name_entry* tail;
};

// Plain once-flags: start-up runs on the main thread before any other
// thread touches TLS.
int base_started = 0;
int init_done = 0;
SSL_CTX* quon_ssl_context = nullptr;

name_list certificate_chain_files = {nullptr, nullptr};
name_list extra_certificate_chain_files = {nullptr, nullptr};
name_list certificate_files = {nullptr, nullptr};
name_list private_key_files = {nullptr, nullptr};
void (*context_hook)() = nullptr;
const char* static_certificate = nullptr;
const char* static_private_key = nullptr;

// Published safe primes with generator 2: RFC 2409 Oakley groups 1 and 2,
// RFC 3526 groups 5, 14, 15 and 16, taken from the TLS library's own copies.
struct dh_group {
    int bits;
    BIGNUM* (*prime)(BIGNUM*);
};

const dh_group dh_groups[] = {
    {768, BN_get_rfc2409_prime_768},   {1024, BN_get_rfc2409_prime_1024}, {1536, BN_get_rfc3526_prime_1536},
    {2048, BN_get_rfc3526_prime_2048}, {3072, BN_get_rfc3526_prime_3072}, {4096, BN_get_rfc3526_prime_4096},
};
const int dh_group_count = (int)(sizeof(dh_groups) / sizeof(dh_groups[0]));
DH* dh_cache[dh_group_count] = {};

void append_name(name_list* list, const char* name, const char* caller)
{
    if (!name)
        return;
    name_entry* entry = new (std::nothrow) name_entry;
    char* copy = strdup(name);
    if (!entry || !copy) {
        delete entry;
        free(copy);
        quon_string_buffer message;
        message.append("Error in ");
        message.append(caller);
        message.append("(), out of memory?");
        quon_log(message.c_str(), QUON_LOG_HARDFAIL, QUON_SSL);
        return;
    }
    entry->name = copy;
    entry->next = nullptr;
    if (list->tail)
        list->tail->next = entry;
    else
        list->head = entry;
    list->tail = entry;
}

// Logs format (one %s) with the file name through quon_ssl_log_error.
void log_file_error(const char* format, const char* file)
{
    char message[QUON_SSL_MESSAGE_SIZE];
    snprintf(message, sizeof(message), format, file);
    quon_ssl_log_error(message);
}

int load_verify_files(const name_list& list, const char* format)
{
    for (const name_entry* entry = list.head; entry; entry = entry->next) {
        if (SSL_CTX_load_verify_locations(quon_ssl_context, entry->name, nullptr) != 1) {
            log_file_error(format, entry->name);
            return 0;
        }
    }
    return 1;
}

int load_static_certificate()
{
    BIO* stream = BIO_new_mem_buf(static_certificate, (int)strlen(static_certificate));
    X509* certificate = stream ? PEM_read_bio_X509(stream, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(stream);
    if (!certificate) {
        quon_ssl_log_error("Unable to read static certificate.");
        return 0;
    }
    int loaded = SSL_CTX_use_certificate(quon_ssl_context, certificate);
    X509_free(certificate);
    if (loaded != 1) {
        quon_ssl_log_error("Unable to load static certificate.");
        return 0;
    }
    return 1;
}

int load_static_private_key()
{
    BIO* stream = BIO_new_mem_buf(static_private_key, (int)strlen(static_private_key));
    // A pass phrase comes from the callback the context hook may have set.
    EVP_PKEY* key = stream ? PEM_read_bio_PrivateKey(stream, nullptr, SSL_CTX_get_default_passwd_cb(quon_ssl_context),
                                                     SSL_CTX_get_default_passwd_cb_userdata(quon_ssl_context))
                           : nullptr;
    BIO_free(stream);
    if (!key) {
        quon_ssl_log_error("Unable to read static private key.");
        return 0;
    }
    int loaded = SSL_CTX_use_PrivateKey(quon_ssl_context, key);
    EVP_PKEY_free(key);
    if (loaded != 1) {
        quon_ssl_log_error("Unable to load static private key.");
        return 0;
    }
    return 1;
}

}  // namespace

int init_ssl()
{
    if (init_done)
        return 1;
    init_done = 1;
    if (!base_started)
        quon_ssl_base_startup();
    // A write to a vanished peer must fail with EPIPE, not end the process:
    // the TLS library writes to its descriptor with plain write().
    signal(SIGPIPE, SIG_IGN);

    const SSL_METHOD* method = TLS_method();
    if (!method) {
        quon_ssl_log_error("Error in init_ssl(), unable to allocate method?");
        return 0;
    }
    quon_ssl_context = SSL_CTX_new(method);
    if (!quon_ssl_context) {
        quon_ssl_log_error("Error in init_ssl(), unable to allocate context?");
        return 0;
    }
    if (SSL_CTX_set_cipher_list(quon_ssl_context, QUON_SSL_CIPHER_LIST) != 1) {
        quon_ssl_log_error("Error in init_ssl(), unable to set cipher suite?");
        return 0;
    }
    // An unverified server could be anyone: check every certificate against
    // the system's trust store (loaded with the first handshake, see
    // quon_ssl_load_default_trust_store) and the chain files loaded below.
    SSL_CTX_set_verify(quon_ssl_context, SSL_VERIFY_PEER, nullptr);
    if (context_hook)
        context_hook();
    SSL_CTX_set_tmp_dh_callback(quon_ssl_context, get_tmp_dh_callback);

    if (!load_verify_files(certificate_chain_files,
                           "Error in init_ssl(), unable to load server certificate chain from file '%s'."))
        return 0;
    if (!load_verify_files(extra_certificate_chain_files,
                           "Error in init_ssl(), unable to load server extra certificate chain from file '%s'."))
        return 0;
    for (const name_entry* entry = certificate_files.head; entry; entry = entry->next) {
        if (SSL_CTX_use_certificate_chain_file(quon_ssl_context, entry->name) != 1) {
            log_file_error("Error in init_ssl(), unable to load server certificate from file '%s'.", entry->name);
            return 0;
        }
    }
    for (const name_entry* entry = private_key_files.head; entry; entry = entry->next) {
        if (SSL_CTX_use_PrivateKey_file(quon_ssl_context, entry->name, SSL_FILETYPE_PEM) != 1) {
            log_file_error("Error in init_ssl(), unable to load server private key from file '%s'.", entry->name);
            return 0;
        }
    }
    if (static_certificate && !load_static_certificate())
        return 0;
    if (static_private_key && !load_static_private_key())
        return 0;
    return 1;
}

SSL_CTX* quon_ssl_get_context()
{
    return quon_ssl_context;
}

int quon_ssl_load_default_trust_store()
{
    static std::mutex lock;
    static int state = 0;  // 1 loaded, -1 failed for good, 0 not tried
    std::lock_guard<std::mutex> guard(lock);
    if (state == 0 && quon_ssl_context) {
        state = SSL_CTX_set_default_verify_paths(quon_ssl_context) == 1 ? 1 : -1;
        if (state < 0)
            quon_ssl_log_error("Error in quon_ssl_load_default_trust_store(), unable to use the default trust store?");
    }
    return state > 0;
}

void quon_ssl_base_startup()
{
    if (base_started)
        return;
    base_started = 1;
    // OpenSSL 1.1 and later initialise themselves; this only makes sure the
    // error texts are there for the log.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

int quon_ssl_base_started()
{
    return base_started;
}

void quon_ssl_add_certificate_chain_file(const char* name)
{
    append_name(&certificate_chain_files, name, "quon_ssl_add_certificate_chain_file");
}

void quon_ssl_add_extra_certificate_chain_file(const char* name)
{
    append_name(&extra_certificate_chain_files, name, "quon_ssl_add_extra_certificate_chain_file");
}

void quon_ssl_add_certificate_file(const char* name)
{
    append_name(&certificate_files, name, "quon_ssl_add_certificate_file");
}

void quon_ssl_add_private_key_file(const char* name)
{
    append_name(&private_key_files, name, "quon_ssl_add_private_key_file");
}

void quon_ssl_set_context_hook(void (*hook)())
{
    if (hook)
        context_hook = hook;
}

void quon_ssl_set_static_certificate(const char* pem_text)
{
    if (pem_text)
        static_certificate = pem_text;
}

void quon_ssl_set_static_private_key(const char* pem_text)
{
    if (pem_text)
        static_private_key = pem_text;
}

void quon_ssl_set_password_callback(pem_password_cb* callback)
{
    if (!quon_ssl_context) {
        quon_log("Core SSL error, base startup not yet complete.()", QUON_LOG_SANITY, QUON_SSL);
        exit(1);
    }
    SSL_CTX_set_default_passwd_cb(quon_ssl_context, callback);
}

void quon_ssl_log_error(const char* message)
{
    quon_log(message, QUON_LOG_HARDFAIL, QUON_SSL);
    char text[QUON_SSL_ERROR_TEXT_SIZE];
    ERR_error_string_n(ERR_get_error(), text, sizeof(text));
    quon_log(text, QUON_LOG_HARDFAIL, QUON_SSL);
}

DH* get_tmp_dh_callback(SSL* connection, int is_export, int key_length)
{
    (void)connection;
    char message[160];
    if (key_length < 1024) {
        snprintf(message, sizeof(message),
                 "Warning in get_tmp_dh_callback(), requested short key length %4d, export %d.", key_length,
                 is_export);
        quon_log(message, QUON_LOG_PWARN, QUON_SSL);
    }
    int slot = -1;
    for (int i = 0; i < dh_group_count; i++)
        if (dh_groups[i].bits == key_length)
            slot = i;
    if (slot < 0) {
        snprintf(message, sizeof(message), "Warning in get_tmp_dh_callback(), unsupported key length %4d, export %d.",
                 key_length, is_export);
        quon_log(message, QUON_LOG_PERR, QUON_SSL);
        return nullptr;
    }
    if (dh_cache[slot])
        return dh_cache[slot];

    static const unsigned char generator_byte = 2;
    DH* group = DH_new();
    BIGNUM* prime = dh_groups[slot].prime(nullptr);
    BIGNUM* generator = BN_bin2bn(&generator_byte, 1, nullptr);
    if (!group || !prime || !generator || DH_set0_pqg(group, prime, nullptr, generator) != 1) {
        BN_free(prime);
        BN_free(generator);
        DH_free(group);
        return nullptr;
    }
    dh_cache[slot] = group;
    return group;
}
