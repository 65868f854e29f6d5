// Authenticated updates end to end: brimvale-launcher-signed (built with the
// test-only key of tests/e2e/keys/) against nginx or the fault server. A
// signed release is taken and booted; every kind of forged, replayed,
// stale or damaged input is refused with its own message, leaves
// executables/ as it was, and the newest good build boots all the same.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <time.h>
#include <zlib.h>

#include "tests/e2e/update_fixture.h"
#include "updater/signing.h"

namespace {

const std::string signature_url = manifest_url + ".sig";
const int signature_size = 64;
const size_t signed_list_limit = 16u << 20;

std::string key_path(const std::string& name)
{
    return e2e_source_dir() + "/tests/e2e/keys/" + name;
}
const std::string test_key = "test_release_key.pem";
const std::string other_key = "other_release_key.pem";

// The Ed25519 signature of bytes under the PEM private key at path.
std::string sign(const std::string& path, const std::string& bytes)
{
    FILE* file = fopen(path.c_str(), "rb");
    EVP_PKEY* key = file ? PEM_read_PrivateKey(file, nullptr, nullptr, (void*)"") : nullptr;
    if (file)
        fclose(file);
    std::string signature(signature_size, '\0');
    size_t length = signature.size();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = key && context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
              EVP_DigestSign(context, (unsigned char*)&signature[0], &length, (const unsigned char*)bytes.data(),
                             bytes.size()) == 1 &&
              length == signature.size();
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    if (!ok)
        ADD_FAILURE() << "cannot sign with " << path;
    return signature;
}

std::string expiry_text(long long seconds)
{
    time_t when = (time_t)seconds;
    struct tm fields;
    gmtime_r(&when, &fields);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields);
    return text;
}

std::string header(long long version, long long expires)
{
    return "# manifest-version " + std::to_string(version) + "\n# manifest-expires " + expiry_text(expires) + "\n";
}

long long in_days(int days)
{
    return (long long)time(nullptr) + days * 86400LL;
}

std::string gunzip(const std::string& bytes)
{
    z_stream stream = {};
    inflateInit2(&stream, 15 + 16);
    stream.next_in = (Bytef*)bytes.data();
    stream.avail_in = (uInt)bytes.size();
    std::string text;
    int result = Z_OK;
    while (result == Z_OK) {
        char buffer[4096];
        stream.next_out = (Bytef*)buffer;
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        text.append(buffer, sizeof buffer - stream.avail_out);
    }
    inflateEnd(&stream);
    return text;
}

// Bytes that do not compress: a simple generator is enough.
std::string noise(size_t size)
{
    std::string bytes(size, '\0');
    uint32_t state = 2463534242u;
    for (size_t i = 0; i < size; i++) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = (char)(state >> 24);
    }
    return bytes;
}

size_t occurrences(const std::string& text, const std::string& needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        count++;
    return count;
}

struct tool_run {
    int status = -1;
    std::string out;
    std::string err;
};

tool_run run_tool(const std::vector<std::string>& argv)
{
    e2e_process process;
    tool_run run;
    if (!process.start(e2e_command(argv)))
        return run;
    if (process.wait(60000) != 1 || !process.exited()) {
        ADD_FAILURE() << process.describe();
        return run;
    }
    run.status = process.exit_status();
    run.out = process.stdout_text();
    run.err = process.stderr_text();
    return run;
}

}  // namespace

class signing_e2e : public update_e2e {
protected:
    void SetUp() override
    {
        update_e2e::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        launcher_program_ = e2e_build_dir() + "/brimvale-launcher-signed";
        ASSERT_TRUE(file_exists(launcher_program_)) << "not built: " << launcher_program_;
    }

    // Puts a list with this text on the site, gzip-compressed and signed
    // with key; the compressed bytes are returned.
    std::string put_signed_list(const std::string& text, const std::string& key = test_key)
    {
        std::string body = e2e_gzip(text);
        put_list_bytes(body, sign(key_path(key), body));
        return body;
    }
    void put_list_bytes(const std::string& body, const std::string& signature)
    {
        EXPECT_EQ(e2e_make_dirs(site_path("")), 1);
        write_file(site_path(manifest_name), body);
        write_file(site_path(manifest_name + ".sig"), signature);
    }
    // A release: its builds on the site and a signed list naming them.
    std::vector<e2e_manifest_entry> release(long long version, const std::vector<std::string>& names,
                                            long long expires = in_days(1))
    {
        std::vector<e2e_manifest_entry> entries;
        for (const auto& name : names)
            entries.push_back(put_on_site(name, build(name)));
        put_signed_list(header(version, expires) + manifest_lines(entries));
        return entries;
    }

    std::string version_file() const { return read_file(home_.executable("manifest_version")); }
    std::string tool(const std::string& name) const { return e2e_build_dir() + "/" + name; }
};

TEST_F(signing_e2e, a_release_published_signed_is_verified_fetched_and_booted)
{
    tool_run key = run_tool({tool("brimvale-publish"), "--print-public-key", key_path(test_key)});
    ASSERT_EQ(key.status, 0) << key.err;
    EXPECT_EQ(key.out, read_file(key_path("test_release_key.pub"))) << "the key the test launcher trusts";

    temp_dir builds;
    write_file(builds.file("x_1"), build("x_1"));
    tool_run published = run_tool({tool("brimvale-publish"), "--sign-key", key_path(test_key), "--version", "7",
                                   builds.path(), site_.path()});
    ASSERT_EQ(published.status, 0) << published.err;
    EXPECT_NE(published.out.find("Signed the list as version 7, valid until "), std::string::npos) << published.out;
    std::string list = read_file(site_path(manifest_name));
    EXPECT_EQ(gunzip(list).rfind("# manifest-version 7\n# manifest-expires ", 0), 0u) << gunzip(list);
    E2E_REQUIRE(serve_with_nginx(), nginx_->reason());

    {
        SCOPED_TRACE("first start: the signature first, then the list and the build");
        ASSERT_EQ(launch(), 0) << failure_context();
        EXPECT_EQ(nginx_requests(3), (std::vector<std::string>{"200 GET " + signature_url + " HTTP/1.1",
                                                              "200 GET " + manifest_url + " HTTP/1.1",
                                                              "200 GET " + file_url("x_1") + " HTTP/1.1"}));
        EXPECT_EQ(read_file(home_.executable("x_1")), build("x_1"));
        EXPECT_EQ(version_file(), "7\n");
        expect_booted("x_1");
    }
    {
        SCOPED_TRACE("the same release again: equal versions are taken, nothing is fetched");
        ASSERT_EQ(launch(), 0) << failure_context();
        EXPECT_NE(launch_log().find("Everything appears to be up to date already.\n"), std::string::npos)
            << launch_log();
        EXPECT_EQ(version_file(), "7\n");
        expect_booted("x_1");
    }
    {
        SCOPED_TRACE("a newer release, version chosen by the tool: above the last one");
        write_file(builds.file("x_2"), build("x_2"));
        published = run_tool({tool("brimvale-publish"), "--sign-key", key_path(test_key), builds.path(),
                              site_.path()});
        ASSERT_EQ(published.status, 0) << published.err;
        std::string text = gunzip(read_file(site_path(manifest_name)));
        std::string version = text.substr(19, text.find('\n') - 19);
        EXPECT_GT(std::stoll(version), 7) << text;
        ASSERT_EQ(launch(), 0) << failure_context();
        EXPECT_EQ(read_file(home_.executable("x_2")), build("x_2"));
        EXPECT_EQ(version_file(), version + "\n");
        expect_booted("x_2");
    }
    EXPECT_FALSE(file_exists(home_.executable("download.tmp")));
}

// ---------------------------------------------------------------- bad input

enum bad_input {
    flipped_byte,
    other_key_signed,
    no_signature,
    short_signature,
    long_signature,
    signature_cut_in_transit,
    no_version_line,
    lower_version,
    expired,
    body_differs_from_hash,
    not_a_sha256,
    over_16_mib,
};

struct bad_input_case {
    const char* name;
    bad_input input;
    // The refusal, exactly once in the log of the start that met it.
    std::string message;
};

void PrintTo(const bad_input_case& c, std::ostream* out)
{
    *out << c.name;
}

class signing_bad_input : public signing_e2e, public ::testing::WithParamInterface<bad_input_case> {
protected:
    // Release 10 ({x_1}) was taken; this puts up release 11 ({x_2}) spoilt
    // as the case says.
    void spoil(bad_input input)
    {
        e2e_manifest_entry x_2 = put_on_site("x_2", build("x_2"));
        std::string text = header(11, in_days(1)) + manifest_lines({x_2});
        switch (input) {
        case flipped_byte: {
            std::string body = put_signed_list(text);
            body[body.size() / 2] ^= 0x20;
            write_file(site_path(manifest_name), body);
            break;
        }
        case other_key_signed:
            put_signed_list(text, other_key);
            break;
        case no_signature:
            put_signed_list(text);
            ASSERT_EQ(unlink(site_path(manifest_name + ".sig").c_str()), 0);
            break;
        case short_signature:
        case long_signature: {
            std::string body = put_signed_list(text);
            std::string signature = sign(key_path(test_key), body);
            write_file(site_path(manifest_name + ".sig"),
                       input == short_signature ? signature.substr(0, 63) : signature + "\n");
            break;
        }
        case signature_cut_in_transit:
            // The fault server announces all 64 bytes and closes after 40.
            put_signed_list(text);
            break;
        case no_version_line:
            put_signed_list("# manifest-expires " + expiry_text(in_days(1)) + "\n" + manifest_lines({x_2}));
            break;
        case lower_version:
            put_signed_list(header(9, in_days(1)) + manifest_lines({x_2}));
            break;
        case expired:
            put_signed_list(header(11, (long long)time(nullptr) - 60) + manifest_lines({x_2}));
            break;
        case body_differs_from_hash: {
            std::string forged = build("x_2");
            forged[forged.size() - 1] ^= 1;
            put_signed_list(text);
            write_file(site_path("x_2"), forged);
            break;
        }
        case not_a_sha256: {
            e2e_manifest_entry sha1_like = x_2;
            sha1_like.hash = x_2.hash.substr(0, 40);
            put_signed_list(header(11, in_days(1)) + manifest_lines({sha1_like}));
            break;
        }
        case over_16_mib: {
            // A valid list followed by padding: inflate would read only the
            // list, but nothing past the limit is even held.
            std::string body = e2e_gzip(text);
            body += noise(signed_list_limit + 1 - body.size());
            put_list_bytes(body, sign(key_path(test_key), body));
            break;
        }
        }
    }
};

TEST_P(signing_bad_input, is_refused_with_its_own_message_and_the_newest_good_build_boots)
{
    const bad_input_case& c = GetParam();
    release(10, {"x_1"});
    if (c.input == signature_cut_in_transit) {
        // The first request of the signature is answered whole, the second
        // cut short.
        std::string file = "{\"file\": " + e2e_json_string(site_path(manifest_name + ".sig"));
        E2E_REQUIRE(serve_with_fault_server(e2e_json_string(signature_url) + ": [" + file + "}, " + file +
                                            ", \"fault\": {\"where\": \"body\", \"after\": 40, \"action\": "
                                            "\"close\"}}]"),
                    faults_->reason());
    } else {
        E2E_REQUIRE(serve_with_nginx(), nginx_->reason());
    }
    ASSERT_EQ(launch(), 0) << failure_context();
    expect_booted("x_1");
    ASSERT_EQ(version_file(), "10\n");
    std::map<std::string, std::string> before = executables();

    spoil(c.input);
    ASSERT_EQ(launch(), 0) << failure_context();
    EXPECT_EQ(occurrences(launch_log(), c.message), 1u) << "expected once: " << c.message << "\n" << launch_log();
    expect_booted("x_1");
    EXPECT_FALSE(file_exists(home_.executable("x_2")));

    std::map<std::string, std::string> after = executables();
    if (c.input == body_differs_from_hash) {
        // The list itself was sound: its version is taken, and nothing of
        // the refused body is left behind.
        EXPECT_EQ(after["manifest_version"], "11\n");
        EXPECT_EQ(after["download.tmp"], "");
        for (const char* bookkeeping : {"manifest_version", "download.tmp"}) {
            before.erase(bookkeeping);
            after.erase(bookkeeping);
        }
    }
    EXPECT_TRUE(after == before) << "executables/ changed:\n" << launch_log();
}

INSTANTIATE_TEST_SUITE_P(
    after_release_10, signing_bad_input,
    ::testing::Values(
        bad_input_case{"flipped_byte_in_the_list", flipped_byte,
                       "the list '" + manifest_url +
                           "' does not match its signature: it was changed, or signed with another key"},
        bad_input_case{"signed_with_another_key", other_key_signed,
                       "the list '" + manifest_url +
                           "' does not match its signature: it was changed, or signed with another key"},
        bad_input_case{"no_signature_file", no_signature,
                       "no signature '" + signature_url + "' from the server; an unsigned list is refused."},
        bad_input_case{"signature_of_63_bytes", short_signature,
                       "the signature '" + signature_url + "' is 63 bytes, not 64; the list is refused."},
        bad_input_case{"signature_of_65_bytes", long_signature,
                       "the signature '" + signature_url + "' is longer than 64 bytes; the list is refused."},
        bad_input_case{"signature_cut_in_transit", signature_cut_in_transit,
                       "the signature '" + signature_url + "' is 40 bytes, not 64; the list is refused."},
        bad_input_case{"no_version_line", no_version_line,
                       "the signed list gives its first entry 'x_2' before a \"# manifest-version N\" line"},
        bad_input_case{"lower_version_signed_correctly", lower_version,
                       "Refusing update list version 9 - version 10 was accepted before and a list never goes back, "
                       "aborting update."},
        bad_input_case{"expired", expired, "Refusing update list version 11 - it expired at "},
        bad_input_case{"file_body_differs_from_its_hash", body_differs_from_hash,
                       "Unable to update file 'x_2' - its SHA-256 differs from the signed list, refused."},
        bad_input_case{"hash_that_is_not_a_sha256", not_a_sha256,
                       "the signed list gives 'x_2' a hash that is not a SHA-256 (64 lowercase hexadecimal "
                       "digits); it is refused."},
        bad_input_case{"compressed_list_over_16_mib", over_16_mib,
                       "the compressed list '" + manifest_url + "' passes 16777216 bytes; it is refused unread."}));

// ---------------------------------------------------------------- limits and the boot

TEST_F(signing_e2e, a_compressed_list_of_exactly_16_mib_is_taken)
{
    e2e_manifest_entry x_1 = put_on_site("x_1", build("x_1"));
    std::string body = e2e_gzip(header(3, in_days(1)) + manifest_lines({x_1}));
    body += noise(signed_list_limit - body.size());
    put_list_bytes(body, sign(key_path(test_key), body));
    E2E_REQUIRE(serve_with_nginx(), nginx_->reason());

    ASSERT_EQ(launch(), 0) << failure_context();
    EXPECT_EQ(read_file(home_.executable("x_1")), build("x_1"));
    EXPECT_EQ(version_file(), "3\n");
    expect_booted("x_1");
}

TEST_F(signing_e2e, a_build_changed_on_disk_after_its_download_is_not_booted)
{
    // Each client confirms its start, so no build is passed over for a
    // failed boot: only the hash can stop the damaged one.
    launcher_env_.push_back({"FAKE_CLIENT_CONFIRMS_BOOT", "1"});
    release(10, {"x_1"});
    E2E_REQUIRE(serve_with_nginx(), nginx_->reason());
    ASSERT_EQ(launch(), 0) << failure_context();
    expect_booted("x_1");
    release(11, {"x_2", "x_1"});
    ASSERT_EQ(launch(), 0) << failure_context();
    expect_booted("x_2");

    // Same size, one bit different, still a program that would run.
    std::string damaged = read_file(home_.executable("x_2"));
    damaged[damaged.size() - 1] ^= 1;
    write_file(home_.executable("x_2"), damaged);
    ASSERT_EQ(launch(), 0) << failure_context();
    EXPECT_EQ(occurrences(launch_log(), "Image 'x_2' does not match the SHA-256 its manifest records, skipping.\n"),
              1u)
        << launch_log();
    expect_booted("x_1");
}

// ---------------------------------------------------------------- without a key

TEST_F(signing_e2e, a_launcher_without_a_key_never_asks_for_a_signature)
{
    launcher_program_.clear();
    std::vector<e2e_manifest_entry> entries = release(10, {"x_1"});
    E2E_REQUIRE(serve_with_nginx(), nginx_->reason());

    ASSERT_EQ(launch(), 0) << failure_context();
    EXPECT_EQ(nginx_requests(2), fetched({"x_1"}));
    EXPECT_EQ(read_file(home_.manifest_path()), e2e_local_manifest_text(entries));
    EXPECT_FALSE(file_exists(home_.executable("manifest_version")));
    expect_booted("x_1");
}

TEST_F(signing_e2e, the_headless_updater_with_a_key_takes_only_signed_lists)
{
    std::vector<e2e_manifest_entry> entries = release(10, {"x_1"});
    // The server of an unsigned release: the list alone.
    EXPECT_EQ(e2e_write_remote_manifest(site_path(manifest_name), entries), 1);
    ASSERT_EQ(unlink(site_path(manifest_name + ".sig").c_str()), 0);
    E2E_REQUIRE(serve_with_nginx(), nginx_->reason());
    temp_dir destination;
    std::vector<std::string> update = {tool("brimvale-update-signed"), "127.0.0.1", download_root,
                                       destination.path()};

    tool_run refused = run_tool(update);
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("no signature '" + signature_url + "' from the server"), std::string::npos)
        << refused.out;
    EXPECT_FALSE(file_exists(destination.file("x_1")));

    put_signed_list(header(10, in_days(1)) + manifest_lines(entries));
    tool_run taken = run_tool(update);
    EXPECT_EQ(taken.status, 0) << taken.out;
    EXPECT_EQ(read_file(destination.file("x_1")), build("x_1"));
    EXPECT_EQ(read_file(destination.file("manifest_version")), "10\n");
}

// ---------------------------------------------------------------- the publishing tool

TEST(signed_publish, signs_the_list_exactly_as_written_and_an_unsigned_publish_drops_the_signature)
{
    temp_dir builds, root;
    write_file(builds.file("client_2"), "the current build\n");
    std::string publish = e2e_build_dir() + "/brimvale-publish";
    std::string list_path = root.path() + manifest_url;
    tool_run run = run_tool({publish, "--sign-key", key_path(test_key), "--version", "42", "--expires-in", "3",
                             builds.path(), root.path()});
    ASSERT_EQ(run.status, 0) << run.err;

    std::string list = read_file(list_path);
    std::string signature = read_file(list_path + ".sig");
    zel_signing_key key;
    ASSERT_EQ(zel_parse_signing_key(read_file(key_path("test_release_key.pub")).substr(0, 64).c_str(), &key), 1);
    EXPECT_EQ(zel_verify_signature(key, list.data(), list.size(), signature.data(), signature.size()), 1);
    std::string text = gunzip(list);
    std::string expected_start = "# manifest-version 42\n# manifest-expires ";
    ASSERT_EQ(text.rfind(expected_start, 0), 0u) << text;
    int64_t expires = 0;
    ASSERT_EQ(zel_parse_signed_header_line(text.substr(text.find('\n') + 1, 39).c_str(), &expires),
              zel_header_expires)
        << text;
    EXPECT_NEAR((double)expires, (double)in_days(3), 120.0);
    EXPECT_EQ(text.substr(text.find('\n', expected_start.size()) + 1),
              e2e_sha256("the current build\n") + " 18 client_2\n");

    run = run_tool({publish, builds.path(), root.path()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(file_exists(list_path + ".sig"));
    EXPECT_NE(run.err.find("Removed the signature of the earlier signed list"), std::string::npos) << run.err;
    EXPECT_EQ(gunzip(read_file(list_path)), e2e_sha256("the current build\n") + " 18 client_2\n")
        << "unsigned lists are what they always were";
}

TEST(signed_publish, refuses_what_launchers_would_refuse_and_changes_nothing)
{
    temp_dir builds, root;
    write_file(builds.file("client_2"), "the current build\n");
    std::string publish = e2e_build_dir() + "/brimvale-publish";
    std::string list_path = root.path() + manifest_url;
    ASSERT_EQ(run_tool({publish, "--sign-key", key_path(test_key), "--version", "42", builds.path(), root.path()})
                  .status,
              0);
    std::string list_before = read_file(list_path);

    temp_dir odd_builds;
    write_file(odd_builds.file("manifest_version"), "a build under the launcher's own name\n");
    write_file(odd_builds.file(manifest_name + ".sig"), "a build under the signature's name\n");
    struct row {
        const char* name;
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const std::vector<row> rows = {
        {"a version below the published one",
         {"--sign-key", key_path(test_key), "--version", "41", builds.path(), root.path()},
         1,
         "The list already published has version 42; launchers that took it refuse a lower version such as 41."},
        {"no key file", {"--sign-key", builds.file("absent.pem"), builds.path(), root.path()}, 1,
         "Cannot read the signing key"},
        {"not a key", {"--sign-key", builds.file("client_2"), builds.path(), root.path()}, 1,
         "is no unencrypted PEM private key"},
        {"builds named like the launcher's files",
         {"--sign-key", key_path(test_key), "--version", "43", odd_builds.path(), root.path()},
         1,
         "the launcher keeps a file of its own under this name beside the builds."},
        {"a build named like the signature", {odd_builds.path(), root.path()}, 1,
         "the list's signature goes under this name."},
        {"a version without a key", {"--version", "43", builds.path(), root.path()}, 2,
         "--version and --expires-in apply to signed releases only"},
        {"no expiry", {"--sign-key", key_path(test_key), "--expires-in", "0", builds.path(), root.path()}, 2,
         "--expires-in takes a whole number of days from 1 to 3650."},
        {"a version too long for launchers",
         {"--sign-key", key_path(test_key), "--version", "1000000000000000000", builds.path(), root.path()},
         2,
         "--version takes a whole number from 1 to 999999999999999999."},
    };
    for (const row& r : rows) {
        std::vector<std::string> argv = {publish};
        argv.insert(argv.end(), r.arguments.begin(), r.arguments.end());
        tool_run run = run_tool(argv);
        EXPECT_EQ(run.status, r.status) << r.name << "\n" << run.err;
        EXPECT_NE(run.err.find(r.message), std::string::npos) << r.name << "\n" << run.err;
        EXPECT_TRUE(read_file(list_path) == list_before) << r.name << ": the list changed";
    }
}
