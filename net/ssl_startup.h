#ifndef BRIMVALE_NET_SSL_STARTUP_H
#define BRIMVALE_NET_SSL_STARTUP_H

#include <openssl/ssl.h>

// The one process-wide TLS context. init_ssl builds it once, on the main
// thread, before any network activity; afterwards it is only read, and any
// thread may create per-connection TLS objects from it. The context, the
// registered names and the cached DH groups live until the process ends.
//
// The context verifies every server it talks to: against the system's
// default trust store plus the registered certificate chain files, with the
// host name each connection is asked to reach (see quon_tcp_socket).

// Runs start-up once: 1 when the context is ready, 0 after one message and
// one line of TLS library error text. Any later call returns 1 at once,
// even after a failure. Makes the process ignore SIGPIPE.
int init_ssl();

// The context, or null before init_ssl has created it.
SSL_CTX* quon_ssl_get_context();

// Adds the system's default trust store to the context, once, for whichever
// thread asks first (the others wait for it); quon_tcp_socket asks before
// every handshake. Parsing the system's certificates takes tens of
// milliseconds, which a program that never opens a TLS connection, like the
// launcher, does not pay at start-up. 1 when the store is in place; 0 when
// there is no context yet or loading failed (reported once).
int quon_ssl_load_default_trust_store();

// Initialises the TLS library once (init_ssl does it too when needed).
void quon_ssl_base_startup();
int quon_ssl_base_started();

// Registration, before init_ssl; each keeps its own copy of the name and
// ignores null. Files load in registration order.
// Trust-store files: certificates that may vouch for a server.
void quon_ssl_add_certificate_chain_file(const char* name);
// More trust-store files, loaded after the first list.
void quon_ssl_add_extra_certificate_chain_file(const char* name);
// The context's own certificate chain, for programs that accept TLS.
void quon_ssl_add_certificate_file(const char* name);
void quon_ssl_add_private_key_file(const char* name);
// Called once inside init_ssl, after the cipher list and verification mode
// are set and before any file is loaded.
void quon_ssl_set_context_hook(void (*hook)());
// PEM text held by the caller for the life of the process: only the pointer
// is kept.
void quon_ssl_set_static_certificate(const char* pem_text);
void quon_ssl_set_static_private_key(const char* pem_text);

// Installs the pass-phrase callback on the context; meant for the context
// hook. Without a context it logs a sanity line and ends the process with
// status 1.
void quon_ssl_set_password_callback(pem_password_cb* callback);

// Logs message, then the oldest queued TLS library error, both hardfail
// under quon_ssl. A null message prints as "(null)".
void quon_ssl_log_error(const char* message);

// The context's temporary Diffie-Hellman callback: a fixed safe-prime group
// with generator 2 for 768, 1024, 1536, 2048, 3072 or 4096 bits, built on
// first use and cached for the process (the caller must not free it); null
// for any other length. is_export only appears in the warnings.
DH* get_tmp_dh_callback(SSL* connection, int is_export, int key_length);

#endif
