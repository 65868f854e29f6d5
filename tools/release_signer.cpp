#include "tools/release_signer.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "base/file_utils.h"

release_signer::release_signer() : key_(nullptr) {}

release_signer::~release_signer()
{
    EVP_PKEY_free((EVP_PKEY*)key_);
}

int release_signer::load(const char* path, quon_string_buffer* problem)
{
    problem->clear();
    FILE* file = path ? quon_fopen(path, "rb") : nullptr;
    if (!file) {
        problem->append("Cannot read the signing key '");
        problem->append(path ? path : "(null)");
        problem->append("': ");
        problem->append(strerror(errno));
        problem->append(".");
        return 0;
    }
    // No pass phrase callback: a key that asks for one is refused rather
    // than prompting in the middle of a publish.
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, (void*)"");
    quon_fclose(file);
    if (!key) {
        problem->append("The signing key '");
        problem->append(path);
        problem->append("' is no unencrypted PEM private key (make one with "
                        "`openssl genpkey -algorithm ed25519 -out KEY.pem`).");
        return 0;
    }
    if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        problem->append("The signing key '");
        problem->append(path);
        problem->append("' is not an Ed25519 key (make one with `openssl genpkey -algorithm ed25519 -out KEY.pem`).");
        return 0;
    }
    EVP_PKEY_free((EVP_PKEY*)key_);
    key_ = key;
    return 1;
}

int release_signer::public_key_hex(char hex[zel_signing_key_hex_length + 1]) const
{
    hex[0] = 0;
    unsigned char raw[zel_signing_key_bytes];
    size_t length = sizeof(raw);
    if (!key_ || EVP_PKEY_get_raw_public_key((EVP_PKEY*)key_, raw, &length) != 1 || length != sizeof(raw))
        return 0;
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < length; i++) {
        hex[2 * i] = digits[raw[i] >> 4];
        hex[2 * i + 1] = digits[raw[i] & 15];
    }
    hex[2 * length] = 0;
    return 1;
}

int release_signer::sign(const void* data, size_t length, unsigned char signature[zel_signature_bytes]) const
{
    if (!key_ || (!data && length))
        return 0;
    static const unsigned char nothing = 0;
    size_t signature_length = zel_signature_bytes;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    int ok = context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, (EVP_PKEY*)key_) == 1 &&
             EVP_DigestSign(context, signature, &signature_length, data ? (const unsigned char*)data : &nothing,
                            length) == 1 &&
             signature_length == (size_t)zel_signature_bytes;
    EVP_MD_CTX_free(context);
    return ok ? 1 : 0;
}
