#include "updater/remote_manifest.h"

#include <string>
#include <vector>
#include <zlib.h>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

const std::string hash = "0123456789abcdef0123456789abcdef";

// Compresses text with a gzip (window bits 31) or zlib (15) wrapper.
std::string compress(const std::string& text, int window_bits)
{
    z_stream stream = {};
    deflateInit2(&stream, 9, Z_DEFLATED, window_bits, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, text.size()) + 64, '\0');
    stream.next_in = (Bytef*)text.data();
    stream.avail_in = (uInt)text.size();
    stream.next_out = (Bytef*)&out[0];
    stream.avail_out = (uInt)out.size();
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string names_of(const http_fetch_remote_manifest_data& manifest)
{
    std::string names;
    for (zel_file_manifest_entry* entry = manifest.first_entry(); entry; entry = entry->next)
        names += std::string(names.empty() ? "" : ",") + entry->name;
    return names;
}

// Feeds body as the downloader would: slices, each followed by a progress
// report, with total the announced length (-1 for none). Returns 0 when a
// slice was refused.
int feed(http_fetch_remote_manifest_data& manifest, const std::string& body, const std::vector<size_t>& cuts,
         int total)
{
    manifest.reset();
    size_t at = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(body.size());
    int ok = 1;
    manifest.download_progress_callback(0, total);
    for (size_t end : ends) {
        if (end <= at)
            continue;
        if (!manifest.download_data_callback(body.data() + at, (int)(end - at))) {
            ok = 0;
            break;
        }
        at = end;
        manifest.download_progress_callback((int)at, total);
    }
    manifest.end_inflater();
    return ok;
}

const std::string listing = "# current builds first\n\n" + hash + " 120 client_1.106beta\n" + hash +
                            " 100 client_1.105\n\t" + hash + " 90 client_1.104\n";

}  // namespace

TEST(remote_manifest, gzip_and_zlib_bodies_give_the_same_entries_at_every_split)
{
    for (int window_bits : {31, 15}) {
        std::string body = compress(listing, window_bits);
        for (size_t cut = 0; cut <= body.size(); cut++) {
            http_fetch_remote_manifest_data manifest;
            ASSERT_EQ(feed(manifest, body, {cut}, (int)body.size()), 1) << "cut at " << cut;
            EXPECT_EQ(names_of(manifest), "client_1.106beta,client_1.105,client_1.104") << "cut at " << cut;
            EXPECT_EQ(manifest.count(), 3);
        }
        http_fetch_remote_manifest_data bytewise;
        std::vector<size_t> every;
        for (size_t i = 1; i < body.size(); i++)
            every.push_back(i);
        ASSERT_EQ(feed(bytewise, body, every, (int)body.size()), 1);
        EXPECT_EQ(bytewise.count(), 3);
    }
}

TEST(remote_manifest, a_small_body_that_inflates_past_64_kib_reaches_the_splitter_whole)
{
    std::string text;
    for (int i = 0; i < 20000; i++)
        text += hash + " 7 same_file\n";
    text += hash + " 8 last_file\n";
    ASSERT_GT(text.size(), 600000u);
    std::string body = compress(text, 31);
    ASSERT_LT(body.size(), 8192u);
    http_fetch_remote_manifest_data manifest;
    ASSERT_EQ(feed(manifest, body, {}, (int)body.size()), 1);
    ASSERT_EQ(manifest.count(), 20001);
    int i = 0;
    for (zel_file_manifest_entry* entry = manifest.first_entry(); entry; entry = entry->next, i++)
        ASSERT_STREQ(entry->name, i < 20000 ? "same_file" : "last_file") << i;
}

TEST(remote_manifest, the_last_line_needs_an_announced_length)
{
    std::string body = compress(hash + " 1 first\n" + hash + " 2 last_without_newline", 31);
    http_fetch_remote_manifest_data announced;
    ASSERT_EQ(feed(announced, body, {}, (int)body.size()), 1);
    EXPECT_EQ(names_of(announced), "first,last_without_newline");
    http_fetch_remote_manifest_data unannounced;
    ASSERT_EQ(feed(unannounced, body, {}, -1), 1);
    EXPECT_EQ(names_of(unannounced), "first");
}

TEST(remote_manifest, bad_bodies_are_refused)
{
    log_capture log;
    http_fetch_remote_manifest_data plain;
    EXPECT_EQ(feed(plain, listing, {}, (int)listing.size()), 0);
    EXPECT_TRUE(log.contains("quon_updater.softfail Error in http_fetch_remote_manifest_data::download_data_callback(), "
                             "ZLip inflate failed?"));

    std::string middle = compress(hash + " 1 good\nnot an entry\n" + hash + " 2 later\n", 31);
    http_fetch_remote_manifest_data bad_line;
    EXPECT_EQ(feed(bad_line, middle, {}, (int)middle.size()), 0);
    EXPECT_EQ(bad_line.count(), 0);
    EXPECT_EQ(bad_line.first_entry(), nullptr);

    std::string only_comments = compress("# nothing yet\n\n   \n", 15);
    http_fetch_remote_manifest_data empty;
    EXPECT_EQ(feed(empty, only_comments, {}, (int)only_comments.size()), 1);
    EXPECT_EQ(empty.count(), 0);
}

TEST(remote_manifest, inflating_past_the_limit_is_abandoned)
{
    // 80 MiB of blank lines compress to about 80 KiB.
    std::string text(80u << 20, '\n');
    std::string body = compress(text, 31);
    log_capture log;
    http_fetch_remote_manifest_data manifest;
    EXPECT_EQ(feed(manifest, body, {}, (int)body.size()), 0);
    EXPECT_TRUE(log.contains("inflated manifest passes 67108864 bytes, aborting."));
}

TEST(remote_manifest, overlong_lines_are_cut_silently_and_crs_stay_in_names)
{
    std::string long_name(7000, 'n');
    std::string body = compress(hash + " 1 " + long_name + "\n" + hash + " 2 crlf\r\n", 31);
    log_capture log;
    http_fetch_remote_manifest_data manifest;
    ASSERT_EQ(feed(manifest, body, {}, (int)body.size()), 1);
    ASSERT_EQ(manifest.count(), 2);
    EXPECT_EQ(strlen(manifest.first_entry()->name), 5999u - hash.size() - 3);
    EXPECT_STREQ(manifest.first_entry()->next->name, "crlf\r");
    EXPECT_EQ(log.text(), "");
}

TEST(remote_manifest, a_signed_list_needs_its_header_lines_first_and_sha256_hashes)
{
    const std::string sha = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    const std::string version = "# manifest-version 7\n";
    const std::string expires = "# manifest-expires 2030-01-31T23:59:59Z\n";
    struct row {
        const char* name;
        std::string text;
        int accepted;
        const char* logged;  // part of the refusal's report
    };
    const std::vector<row> rows = {
        {"both lines, then the entries", version + expires + sha + " 1 a\n" + sha + " 2 b\n", 1, ""},
        {"either order, comments and blanks between", "# release notes\n\n" + expires + version + sha + " 1 a\n", 1,
         ""},
        {"header-like comments after the first entry are comments",
         version + expires + sha + " 1 a\n# manifest-version 1\n# manifest-version x\n", 1, ""},
        {"an entry before the version line", expires + sha + " 1 a\n" + version, 0,
         "gives its first entry 'a' before a \"# manifest-version N\" line"},
        {"an entry before the expiry line", version + sha + " 1 a\n" + expires, 0,
         "gives its first entry 'a' before a \"# manifest-expires YYYY-MM-DDTHH:MM:SSZ\" line"},
        {"a repeated version line", version + "# manifest-version 8\n" + expires, 0,
         "repeats its header line '# manifest-version 8'"},
        {"a malformed version line", "# manifest-version seven\n", 0,
         "malformed header line '# manifest-version seven'"},
        {"an impossible expiry", "# manifest-expires 2030-02-30T00:00:00Z\n", 0, "malformed header line"},
        {"a hash of another digest", version + expires + hash + " 1 a\n", 0,
         "gives 'a' a hash that is not a SHA-256 (64 lowercase hexadecimal digits)"},
        {"a SHA-256 with a capital", version + expires + sha.substr(0, 63) + "F 1 a\n", 0, "not a SHA-256"},
    };
    zel_signing_key key = {};
    for (const row& r : rows) {
        log_capture log;
        http_fetch_remote_manifest_data manifest;
        manifest.signing_key = &key;
        ASSERT_EQ(manifest.reset(), 1);
        EXPECT_EQ(manifest.add_downloaded_data(r.text.data(), (int)r.text.size()), r.accepted) << r.name;
        EXPECT_NE(log.text().find(r.logged), std::string::npos) << r.name << "\n" << log.text();
        if (r.accepted) {
            EXPECT_EQ(log.text(), "") << r.name;
            EXPECT_EQ(manifest.manifest_version(), 7) << r.name;
            EXPECT_EQ(manifest.manifest_expires(), 1896134399) << r.name;
        } else {
            EXPECT_EQ(manifest.count(), 0) << r.name;
            EXPECT_EQ(manifest.first_entry(), nullptr) << r.name;
        }

        // Without a key the same lines are comments, as they always were.
        http_fetch_remote_manifest_data unsigned_list;
        ASSERT_EQ(unsigned_list.reset(), 1);
        EXPECT_EQ(unsigned_list.add_downloaded_data(r.text.data(), (int)r.text.size()), 1) << r.name;
        EXPECT_EQ(unsigned_list.manifest_version(), 0) << r.name;
    }
}
