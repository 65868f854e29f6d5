// The update path end to end when things go wrong: manifests and file
// bodies that must change nothing, names that would leave the data
// directory, a stalled or absent server, and a manifest that cannot be
// saved.

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "tests/e2e/update_fixture.h"

namespace {

// Makes one file read-only for everyone, root included, through a
// read-only bind mount of it onto itself. The mount lives in a mount
// namespace of this test process (children started later inherit it), with
// propagation private, so nothing outside ever sees it; the destructor
// takes it away again.
class read_only_file {
public:
    // 1 when path refuses writes; 0 with reason() when this machine allows
    // no such mount.
    int make(const std::string& path)
    {
        if (unshare(CLONE_NEWNS) != 0)
            return refuse("unshare(CLONE_NEWNS)");
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return refuse("making / private");
        if (mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return refuse("bind mount of " + path);
        path_ = path;
        // In a user namespace the flags of the underlying mount are locked
        // and must be repeated on a remount.
        struct statvfs info;
        unsigned long kept = 0;
        if (statvfs(path.c_str(), &info) == 0) {
            if (info.f_flag & ST_NOSUID)
                kept |= MS_NOSUID;
            if (info.f_flag & ST_NODEV)
                kept |= MS_NODEV;
            if (info.f_flag & ST_NOEXEC)
                kept |= MS_NOEXEC;
            if (info.f_flag & ST_NOATIME)
                kept |= MS_NOATIME;
            if (info.f_flag & ST_NODIRATIME)
                kept |= MS_NODIRATIME;
            if (info.f_flag & ST_RELATIME)
                kept |= MS_RELATIME;
        }
        if (mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | kept, nullptr) != 0)
            return refuse("read-only remount of " + path);
        if (access(path.c_str(), W_OK) == 0 || errno != EROFS)
            return refuse("the read-only mount still takes writes");
        return 1;
    }
    const std::string& reason() const { return reason_; }
    ~read_only_file()
    {
        if (!path_.empty())
            umount2(path_.c_str(), MNT_DETACH);
    }

private:
    int refuse(const std::string& what)
    {
        reason_ = what + ": " + strerror(errno);
        return 0;
    }

    std::string path_;
    std::string reason_;
};

}  // namespace

class update_faults : public update_e2e {};

// ---------------------------------------------------------------- manifests that must change nothing

struct bad_manifest_case {
    const char* name;
    // The route's answer for the manifest, given the good list's text.
    std::string (*answer)(const std::string& text);
    const char* report;
};

std::string plain_text_answer(const std::string& text)
{
    return "{\"body\": " + e2e_json_string(text) + "}";
}

// Every line arrives and parses; only gzip's check at the very end fails.
std::string bad_checksum_answer(const std::string& text)
{
    std::string body = e2e_gzip(text);
    body[body.size() - 8] ^= 0x55;
    return "{\"body_hex\": \"" + hex(body) + "\"}";
}

std::string bad_middle_line_answer(const std::string& text)
{
    size_t first_line_end = text.find('\n') + 1;
    std::string broken = text.substr(0, first_line_end) + "this is not a manifest line\n" + text.substr(first_line_end);
    return "{\"body_hex\": \"" + hex(e2e_gzip(broken)) + "\"}";
}

// A body of some 70 KB that inflates to more than 64 MiB of comments.
std::string gzip_bomb_answer(const std::string& text)
{
    std::string comment = "# " + std::string(1021, 'z') + "\n";
    std::string inflated;
    inflated.reserve(65 * 1024 * 1024 + text.size());
    while (inflated.size() <= 65u * 1024 * 1024)
        inflated += comment;
    return "{\"body_hex\": \"" + hex(e2e_gzip(text + inflated)) + "\"}";
}

std::string not_found_answer(const std::string&)
{
    return "{\"status\": 404, \"body\": \"not here\\n\"}";
}

void PrintTo(const bad_manifest_case& c, std::ostream* out)
{
    *out << c.name;
}

class update_bad_manifest : public update_faults, public ::testing::WithParamInterface<bad_manifest_case> {};

TEST_P(update_bad_manifest, changes_nothing_on_disk_and_boots_the_existing_image)
{
    const bad_manifest_case& c = GetParam();
    e2e_manifest_entry x_4 = put_on_site("x_4", build("x_4"));
    e2e_manifest_entry x_3 = put_on_site("x_3", build("x_3"));
    install("x_3", build("x_3"));
    record_locally({x_3});
    E2E_REQUIRE(serve_with_fault_server(e2e_json_string(manifest_url) + ": " + c.answer(manifest_lines({x_4, x_3}))),
                faults_->reason());
    std::map<std::string, std::string> before = executables();

    ASSERT_EQ(launch(), 0) << failure_context();
    EXPECT_EQ(fault_server_targets(), (std::vector<std::string>{"GET " + manifest_url + " HTTP/1.1"}));
    std::map<std::string, std::string> after = executables();
    after.erase("lock.tmp");
    EXPECT_TRUE(after == before) << "executables/ changed";
    EXPECT_NE(launch_log().find(c.report), std::string::npos) << launch_log();
    EXPECT_NE(launch_log().find("Error fetching update file '" + manifest_name +
                                "' from remote server, aborting update.\n"),
              std::string::npos)
        << launch_log();
    expect_booted("x_3");
}

INSTANTIATE_TEST_SUITE_P(
    answers, update_bad_manifest,
    ::testing::Values(bad_manifest_case{"uncompressed", plain_text_answer, "ZLip inflate failed?"},
                      bad_manifest_case{"corrupt_gzip_checksum", bad_checksum_answer, "ZLip inflate failed?"},
                      bad_manifest_case{"bad_middle_line", bad_middle_line_answer,
                                        "Syntax error in downloaded data - bad or missing hash field for line:"},
                      bad_manifest_case{"inflates_past_64_mib", gzip_bomb_answer, "passes 67108864 bytes"},
                      bad_manifest_case{"not_found", not_found_answer, "download failed in callback mode."}),
    [](const ::testing::TestParamInfo<bad_manifest_case>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- file bodies that must not replace the old file

struct bad_body_case {
    const char* name;
    // The route's answer for the new build, and what the log says after
    // "Unable to update file 'x_4' - ". In both, PATH stands for the new
    // build's file, SIZE for its listed size, HALF for half of it and OVER
    // for 1000 bytes more.
    const char* answer;
    const char* report;
};

void PrintTo(const bad_body_case& c, std::ostream* out)
{
    *out << c.name;
}

std::string fill_in(std::string text, const std::string& path, long size)
{
    const std::pair<std::string, std::string> values[] = {{"PATH", e2e_json_string(path)},
                                                          {"SIZE", std::to_string(size)},
                                                          {"HALF", std::to_string(size / 2)},
                                                          {"OVER", std::to_string(size + 1000)}};
    for (const auto& value : values)
        for (size_t at = text.find(value.first); at != std::string::npos; at = text.find(value.first, at))
            text.replace(at, value.first.size(), value.second);
    return text;
}

class update_bad_body : public update_faults, public ::testing::WithParamInterface<bad_body_case> {};

TEST_P(update_bad_body, keeps_the_old_file_and_says_why)
{
    const bad_body_case& c = GetParam();
    e2e_manifest_entry old_build = install("x_4", build("x_4 old"));
    record_locally({old_build});
    const std::string old_manifest = read_file(home_.manifest_path());
    e2e_manifest_entry new_build = put_on_site("x_4", build("x_4 new", 50000));
    ASSERT_EQ(e2e_write_remote_manifest(site_path(manifest_name), {new_build}), 1);
    E2E_REQUIRE(serve_with_fault_server(e2e_json_string(file_url("x_4")) + ": " +
                                        fill_in(c.answer, site_path("x_4"), new_build.size)),
                faults_->reason());

    ASSERT_EQ(launch(), 0) << failure_context();
    EXPECT_EQ(fault_server_targets(), (std::vector<std::string>{"GET " + manifest_url + " HTTP/1.1",
                                                                "GET " + file_url("x_4") + " HTTP/1.1"}));
    std::string report = "Unable to update file 'x_4' - " + fill_in(c.report, "", new_build.size) + "\n";
    EXPECT_NE(launch_log().find(report), std::string::npos) << "no line " << report << launch_log();
    EXPECT_EQ(read_file(home_.executable("x_4")), build("x_4 old"));
    EXPECT_EQ(read_file(home_.manifest_path()), old_manifest);
    EXPECT_EQ(foreign_files(), "");
    expect_booted("x_4");
}

INSTANTIATE_TEST_SUITE_P(
    answers, update_bad_body,
    ::testing::Values(
        bad_body_case{"not_found", R"({"status": 404})", "download failed."},
        bad_body_case{"closed_before_content_length",
                      R"({"file": PATH, "fault": {"where": "body", "after": HALF, "action": "close"}})",
                      "download incomplete, got HALF of SIZE bytes."},
        bad_body_case{"closed_before_listed_size",
                      R"({"file": PATH, "framing": "close",
                          "fault": {"where": "body", "after": HALF, "action": "close"}})",
                      "download incomplete, got HALF of SIZE bytes."},
        bad_body_case{"reset_mid_body",
                      R"({"file": PATH, "fault": {"where": "body", "after": HALF, "action": "reset"}})",
                      "download failed."},
        bad_body_case{"complete_but_shorter_than_listed", R"({"body_bytes": HALF})",
                      "server announced HALF bytes, the listed size is SIZE."},
        bad_body_case{"longer_than_listed", R"({"body_bytes": OVER})",
                      "server sent more than the listed SIZE bytes."},
        bad_body_case{"endless_without_length", R"({"body_bytes": 4096, "framing": "close", "endless": true})",
                      "server sent more than the listed SIZE bytes."}),
    [](const ::testing::TestParamInfo<bad_body_case>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- names, stalls, no server

TEST_F(update_faults, names_that_leave_the_download_directory_are_refused_and_never_requested)
{
    const std::vector<std::string> unsafe = {"../x_9", "sub/../../x_8", "..", "sub/..\\..\\x_7"};
    std::vector<e2e_manifest_entry> entries;
    for (const auto& name : unsafe)
        entries.push_back(e2e_manifest_entry{name, e2e_sha256(name), 1000});
    entries.push_back(put_on_site("x_4", build("x_4")));
    ASSERT_EQ(e2e_write_remote_manifest(site_path(manifest_name), entries), 1);
    E2E_REQUIRE(serve_with_fault_server(), faults_->reason());

    ASSERT_EQ(launch(), 0) << failure_context();
    EXPECT_EQ(fault_server_targets(), (std::vector<std::string>{"GET " + manifest_url + " HTTP/1.1",
                                                                "GET " + file_url("x_4") + " HTTP/1.1"}));
    for (const auto& name : unsafe)
        EXPECT_NE(launch_log().find("'" + name + "'"), std::string::npos) << "no refusal of " << name << "\n"
                                                                           << launch_log();
    EXPECT_FALSE(file_exists(home_.data_file("x_9")));
    EXPECT_FALSE(file_exists(home_.data_file("x_8")));
    EXPECT_EQ(read_file(home_.manifest_path()), e2e_local_manifest_text({entries.back()}));
    expect_booted("x_4");
}

TEST_F(update_faults, a_stalled_transfer_ends_after_the_idle_limit_and_the_existing_image_boots)
{
    e2e_manifest_entry old_build = install("x_4", build("x_4 old"));
    record_locally({old_build});
    e2e_manifest_entry new_build = put_on_site("x_4", build("x_4 new", 50000));
    ASSERT_EQ(e2e_write_remote_manifest(site_path(manifest_name), {new_build}), 1);
    E2E_REQUIRE(serve_with_fault_server(e2e_json_string(file_url("x_4")) + ": {\"file\": " +
                                        e2e_json_string(site_path("x_4")) +
                                        ", \"fault\": {\"where\": \"body\", \"after\": 10000, \"action\": \"stall\"}}"),
                faults_->reason());

    ASSERT_EQ(launch(), 0) << failure_context();
    EXPECT_NE(launch_log().find("nothing received for 30 seconds, timed out."), std::string::npos) << launch_log();
    EXPECT_NE(launch_log().find("Unable to update file 'x_4' - download failed.\n"), std::string::npos)
        << launch_log();
    // The limit counts silent read attempts of 5 s each, so the run cannot
    // end much sooner than 30 s after the last byte.
    EXPECT_GE(run_ms_, 25000);
    EXPECT_EQ(read_file(home_.executable("x_4")), build("x_4 old"));
    EXPECT_EQ(foreign_files(), "");
    expect_booted("x_4");
}

TEST_F(update_faults, with_the_server_down_the_existing_image_boots)
{
    e2e_manifest_entry x_3 = install("x_3", build("x_3"));
    record_locally({x_3});
    const std::string manifest = read_file(home_.manifest_path());

    ASSERT_EQ(launch(), 0) << failure_context();
    EXPECT_NE(launch_log().find("Error fetching update file '" + manifest_name +
                                "' from remote server, aborting update.\n"),
              std::string::npos)
        << launch_log();
    EXPECT_EQ(read_file(home_.manifest_path()), manifest);
    expect_booted("x_3");
}

// ---------------------------------------------------------------- the manifest cannot be saved

TEST_F(update_faults, a_read_only_manifest_makes_the_run_bail_out_with_status_1)
{
    e2e_manifest_entry x_3 = install("x_3", build("x_3"));
    record_locally({x_3});
    const std::string manifest = read_file(home_.manifest_path());
    publish({"x_4", "x_3"});
    read_only_file guard;
    if (!guard.make(home_.manifest_path()))
        GTEST_SKIP() << "no read-only bind mount here: " << guard.reason();
    E2E_REQUIRE(serve_with_nginx(), nginx_->reason());

    EXPECT_EQ(launch({}, true), 1) << failure_context();
    EXPECT_NE(launch_log().find("Error - unable to save manifest file.  Bailing out.\n"), std::string::npos)
        << launch_log();
    EXPECT_EQ(nginx_requests(2), fetched({"x_4"}));
    EXPECT_EQ(read_file(home_.manifest_path()), manifest);
    EXPECT_EQ(foreign_files(), "");
    expect_not_booted();
}
