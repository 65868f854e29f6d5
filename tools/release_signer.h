#ifndef BRIMVALE_TOOLS_RELEASE_SIGNER_H
#define BRIMVALE_TOOLS_RELEASE_SIGNER_H

#include <stddef.h>

#include "base/string_buffer.h"
#include "updater/signing.h"

// An operator's Ed25519 release key, read from an OpenSSL PEM file (as
// `openssl genpkey -algorithm ed25519 -out key.pem` writes it). It signs
// the compressed list of a release; launchers built with its public key
// take only lists it signed. Holds the key until destroyed.
class release_signer {
public:
    release_signer();
    ~release_signer();
    release_signer(const release_signer&) = delete;
    release_signer& operator=(const release_signer&) = delete;

    // Reads the private key at path. 1 on success; 0 with the reason
    // (whole sentence, no newline) in *problem: the file cannot be read, is
    // no PEM private key, or holds a key of another type. Call once.
    int load(const char* path, quon_string_buffer* problem);
    // The public key as 64 lowercase hexadecimal digits and a terminator,
    // as UPDATE_SIGNING_PUBLIC_KEY takes it. 1 on success.
    int public_key_hex(char hex[zel_signing_key_hex_length + 1]) const;
    // The Ed25519 signature of length bytes at data. 1 on success.
    int sign(const void* data, size_t length, unsigned char signature[zel_signature_bytes]) const;

private:
    void* key_;  // EVP_PKEY, kept out of this header
};

#endif
