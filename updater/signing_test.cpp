#include "updater/signing.h"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

std::string unhex(const std::string& hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
    return bytes;
}

zel_signing_key key_of(const std::string& hex)
{
    zel_signing_key key;
    EXPECT_EQ(zel_parse_signing_key(hex.c_str(), &key), 1) << hex;
    return key;
}

// RFC 8032, section 7.1, tests 1 and 2.
const std::string key_1 = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
const std::string signature_1 =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe2465"
    "5141438e7a100b";
const std::string key_2 = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";
const std::string message_2 = "\x72";
const std::string signature_2 =
    "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aee"
    "b00d291612bb0c00";

std::string flip(std::string bytes, size_t at)
{
    bytes[at] ^= 1;
    return bytes;
}

}  // namespace

TEST(signing, ed25519_accepts_the_rfc_8032_vectors_and_nothing_altered)
{
    struct row {
        const char* name;
        std::string key, message, signature;
        int valid;
    };
    const std::string good_1 = unhex(signature_1), good_2 = unhex(signature_2);
    const std::vector<row> rows = {
        {"empty message", key_1, "", good_1, 1},
        {"one-byte message", key_2, message_2, good_2, 1},
        {"message changed", key_2, "\x73", good_2, 0},
        {"message grown", key_2, message_2 + "x", good_2, 0},
        {"signature bit flipped in R", key_2, message_2, flip(good_2, 0), 0},
        {"signature bit flipped in S", key_2, message_2, flip(good_2, 63), 0},
        {"another key", key_1, message_2, good_2, 0},
        {"signature cut to 63 bytes", key_2, message_2, good_2.substr(0, 63), 0},
        {"signature grown to 65 bytes", key_2, message_2, good_2 + "x", 0},
        {"no signature", key_2, message_2, "", 0},
    };
    for (const row& r : rows) {
        zel_signing_key key = key_of(r.key);
        EXPECT_EQ(zel_verify_signature(key, r.message.data(), r.message.size(), r.signature.data(), r.signature.size()),
                  r.valid)
            << r.name;
    }
    zel_signing_key key = key_of(key_2);
    EXPECT_EQ(zel_verify_signature(key, message_2.data(), message_2.size(), nullptr, 64), 0);
    EXPECT_EQ(zel_verify_signature(key, nullptr, 1, good_2.data(), good_2.size()), 0);
}

TEST(signing, a_key_is_exactly_64_hex_digits)
{
    zel_signing_key key;
    ASSERT_EQ(zel_parse_signing_key("D75A980182B10AB7D54BFED3C964073A0EE172F3DAA62325AF021A68F707511A", &key), 1);
    EXPECT_EQ(std::string((const char*)key.bytes, sizeof(key.bytes)), unhex(key_1));

    const std::vector<std::string> bad = {
        "",
        key_1.substr(0, 63),
        key_1 + "0",
        "g" + key_1.substr(1),
        key_1.substr(0, 32) + " " + key_1.substr(33),
        "0x" + key_1.substr(2),
    };
    for (const std::string& text : bad) {
        zel_signing_key untouched;
        memset(untouched.bytes, 0x5a, sizeof(untouched.bytes));
        EXPECT_EQ(zel_parse_signing_key(text.c_str(), &untouched), 0) << "'" << text << "'";
        EXPECT_EQ(untouched.bytes[0], 0x5a) << text;
    }
    EXPECT_EQ(zel_parse_signing_key(nullptr, &key), 0);
}

TEST(signing, sha256_of_known_vectors_of_bytes_and_of_files)
{
    char hex[zel_sha256_hex_length + 1];
    ASSERT_EQ(zel_sha256_hex("", 0, hex), 1);
    EXPECT_STREQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    ASSERT_EQ(zel_sha256_hex("abc", 3, hex), 1);
    EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // A million "a"s spans many read pieces; the sizes around one piece
    // must agree with the in-memory digest.
    temp_dir dir;
    write_file(dir.file("million"), std::string(1000000, 'a'));
    ASSERT_EQ(zel_sha256_file_hex(dir.file("million").c_str(), hex), 1);
    EXPECT_STREQ(hex, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    for (size_t size : {(size_t)0, (size_t)zel_hash_read_buffer_size - 1, (size_t)zel_hash_read_buffer_size,
                        (size_t)zel_hash_read_buffer_size + 1}) {
        std::string content(size, '\0');
        for (size_t i = 0; i < size; i++)
            content[i] = (char)(i * 7 + i / 255);
        write_file(dir.file("piece"), content);
        char expected[zel_sha256_hex_length + 1];
        ASSERT_EQ(zel_sha256_hex(content.data(), content.size(), expected), 1);
        ASSERT_EQ(zel_sha256_file_hex(dir.file("piece").c_str(), hex), 1) << size;
        EXPECT_STREQ(hex, expected) << size;
    }

    EXPECT_EQ(zel_sha256_file_hex(dir.file("absent").c_str(), hex), 0);
    EXPECT_STREQ(hex, "");
    EXPECT_EQ(zel_sha256_file_hex(dir.path().c_str(), hex), 0) << "a directory has no content to hash";
}

TEST(signing, only_64_lowercase_hex_digits_are_a_sha256)
{
    const std::string good = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    EXPECT_TRUE(zel_is_sha256_hex(good.c_str()));
    for (const std::string& bad : {good.substr(0, 63), good + "0", std::string("E") + good.substr(1),
                                   good.substr(0, 40), std::string("")})
        EXPECT_FALSE(zel_is_sha256_hex(bad.c_str())) << bad;
    EXPECT_FALSE(zel_is_sha256_hex(nullptr));
}

TEST(signing, header_lines_of_a_signed_list)
{
    struct row {
        const char* line;
        int kind;
        int64_t value;
    };
    const std::vector<row> rows = {
        {"# manifest-version 1", zel_header_version, 1},
        {"# manifest-version 1700000000", zel_header_version, 1700000000},
        {"# manifest-version 999999999999999999", zel_header_version, 999999999999999999LL},
        {"# manifest-version 0", zel_header_malformed, 0},
        {"# manifest-version -3", zel_header_malformed, 0},
        {"# manifest-version +3", zel_header_malformed, 0},
        {"# manifest-version 3 ", zel_header_malformed, 0},
        {"# manifest-version 1000000000000000000", zel_header_malformed, 0},
        {"# manifest-version", zel_header_malformed, 0},
        {"# manifest-version7", zel_header_malformed, 0},
        {"# manifest-expires 2030-01-31T23:59:59Z", zel_header_expires, 1896134399},
        {"# manifest-expires 1970-01-01T00:00:00Z", zel_header_expires, 0},
        {"# manifest-expires 2028-02-29T12:00:00Z", zel_header_expires, 1835438400},
        {"# manifest-expires 2027-02-29T12:00:00Z", zel_header_malformed, 0},
        {"# manifest-expires 2030-01-31T24:00:00Z", zel_header_malformed, 0},
        {"# manifest-expires 2030-01-31T23:59:60Z", zel_header_malformed, 0},
        {"# manifest-expires 2030-01-31 23:59:59Z", zel_header_malformed, 0},
        {"# manifest-expires 2030-01-31T23:59:59", zel_header_malformed, 0},
        {"# manifest-expires 2030-01-31T23:59:59+00:00", zel_header_malformed, 0},
        {"# manifest-expires 2030-1-31T23:59:59Z", zel_header_malformed, 0},
        {"# current builds first", zel_header_none, 0},
        {" # manifest-version 5", zel_header_none, 0},
        {"0123456789abcdef 12 client", zel_header_none, 0},
        {"", zel_header_none, 0},
    };
    for (const row& r : rows) {
        int64_t value = -42;
        EXPECT_EQ(zel_parse_signed_header_line(r.line, &value), r.kind) << r.line;
        if (r.kind > 0)
            EXPECT_EQ(value, r.value) << r.line;
        else
            EXPECT_EQ(value, -42) << r.line << ": no value for a line that is not a header";
    }

    char text[32];
    ASSERT_EQ(zel_format_expiry(1896134399, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "2030-01-31T23:59:59Z");
    EXPECT_EQ(zel_format_expiry(0, text, 20), 0) << "no room for the terminator";
}

TEST(signing, the_process_key_is_off_usable_or_required_but_unusable)
{
    ASSERT_EQ(zel_set_update_signing_key(""), 1);
    EXPECT_FALSE(zel_update_signing_required());
    EXPECT_EQ(zel_update_signing_key(), nullptr);

    ASSERT_EQ(zel_set_update_signing_key(key_2.c_str()), 1);
    EXPECT_TRUE(zel_update_signing_required());
    ASSERT_NE(zel_update_signing_key(), nullptr);
    EXPECT_EQ(zel_verify_signature(*zel_update_signing_key(), message_2.data(), message_2.size(),
                                   unhex(signature_2).data(), 64),
              1);

    // Fails closed: still required, but nothing verifies.
    EXPECT_EQ(zel_set_update_signing_key("not a key"), 0);
    EXPECT_TRUE(zel_update_signing_required());
    EXPECT_EQ(zel_update_signing_key(), nullptr);

    EXPECT_EQ(zel_set_update_signing_key(nullptr), 1);
    EXPECT_FALSE(zel_update_signing_required());
}
