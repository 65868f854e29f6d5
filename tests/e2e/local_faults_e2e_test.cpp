// Faults on the player's own machine: the launcher killed in the middle of
// its downloads, a full disk, a data directory it may not write, and two
// launchers on one home at once. Each start ends with the three checks of
// fault_fixture.h. The read-only manifest (update_faults_e2e_test.cpp) and
// the client that crashes at every start (boot_e2e_test.cpp) are covered
// there.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <random>
#include <regex>

#include "tests/e2e/fault_fixture.h"
#include "tests/e2e/private_mounts.h"

namespace {

enum {
    kills_per_batch = 5,
    kill_batches = 4,
    // Each round publishes two builds of about 125 kB, served at kill_rate
    // bytes a second: some 1.25 seconds of downloading to be killed in.
    kill_build_padding = 100 * 1024,
    kill_rate = 200 * 1000,
    // A kill lands this long at most after the launcher logs what it will
    // fetch: in either download, between them, or in the replacement and
    // the manifest's save after the second.
    kill_window_ms = 1150,
    // Until the launcher has logged what it will fetch.
    download_start_ms = 60000,
};

// The manifest's header as the launcher writes it.
const std::string manifest_header = e2e_local_manifest_text({});

}  // namespace

class local_faults : public fault_e2e {
protected:
    // Every entry ever published, to judge what the local manifest lists.
    e2e_manifest_entry publish_build(const std::string& name, size_t padding = 0)
    {
        e2e_manifest_entry entry = put_on_site(name, build(name, padding));
        published_.push_back(entry);
        return entry;
    }

    // What a killed start may leave and a normal one must: the local
    // manifest is whole and lists only published builds, each present with
    // its listed size; executables/ holds nothing half written but the
    // download and the temporaries of an atomic replacement; bootname.txt
    // is absent, empty or names a published build.
    void expect_consistent_state()
    {
        if (file_exists(home_.manifest_path())) {
            std::string text = read_file(home_.manifest_path());
            ASSERT_EQ(text.compare(0, manifest_header.size(), manifest_header), 0) << text;
            std::regex line("([0-9a-f]+) +(-?[0-9]+) (.+)");
            size_t at = manifest_header.size();
            while (at < text.size()) {
                size_t end = text.find('\n', at);
                ASSERT_NE(end, std::string::npos) << "the manifest's last line is cut:\n" << text;
                std::string entry_line = text.substr(at, end - at);
                at = end + 1;
                std::smatch parts;
                ASSERT_TRUE(std::regex_match(entry_line, parts, line)) << "does not parse: " << entry_line;
                e2e_manifest_entry entry{parts[3], parts[1], atol(parts[2].str().c_str())};
                EXPECT_TRUE(std::any_of(published_.begin(), published_.end(),
                                        [&](const e2e_manifest_entry& p) {
                                            return p.name == entry.name && p.hash == entry.hash &&
                                                   p.size == entry.size;
                                        }))
                    << "never published: " << entry_line;
                struct stat info;
                EXPECT_TRUE(stat(home_.executable(entry.name).c_str(), &info) == 0 && info.st_size == entry.size)
                    << entry.name << " is not there with its listed size";
            }
        }
        EXPECT_EQ(foreign_files(true), "");
        std::string bootname = read_file(home_.bootname_path());
        EXPECT_TRUE(bootname.empty() || std::any_of(published_.begin(), published_.end(),
                                                    [&](const e2e_manifest_entry& p) {
                                                        return bootname == p.name + "\n";
                                                    }))
            << "bootname.txt holds '" << bootname << "'";
    }

    std::vector<e2e_manifest_entry> published_;
};

// ---------------------------------------------------------------- kill -9 during downloads

class local_faults_kill : public local_faults, public ::testing::WithParamInterface<int> {};

TEST_P(local_faults_kill, leaves_a_consistent_state_that_the_next_start_completes)
{
    // BRIMVALE_KILL_SEED replays a failed run's moments.
    const char* fixed = getenv("BRIMVALE_KILL_SEED");
    unsigned seed = fixed ? (unsigned)strtoul(fixed, nullptr, 10) : (unsigned)time(nullptr) * 7919u + GetParam();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> moment(0, kill_window_ms);
    RecordProperty("seed", std::to_string(seed));
    SCOPED_TRACE("BRIMVALE_KILL_SEED=" + std::to_string(seed));
    // The client empties bootname.txt, so a good start is not taken for a
    // failed one by the next.
    launcher_env_ = {{"FAKE_CLIENT_CONFIRMS_BOOT", "1"}};

    std::vector<e2e_manifest_entry> release;
    std::string moments;
    for (int round = 0; round < kills_per_batch; round++) {
        char beta[32], ordinary[32];
        int number = 10 + GetParam() * kills_per_batch + round;
        snprintf(beta, sizeof beta, "x_beta_%02d", number);
        snprintf(ordinary, sizeof ordinary, "x_%02d", number);
        release.insert(release.begin(),
                       {publish_build(beta, kill_build_padding), publish_build(ordinary, kill_build_padding)});
        ASSERT_EQ(e2e_write_remote_manifest(site_path(manifest_name), release), 1);
        std::string routes;
        for (const char* name : {beta, ordinary})
            routes += std::string(routes.empty() ? "" : ", ") + e2e_json_string(file_url(name)) + ": {\"file\": " +
                      e2e_json_string(site_path(name)) + ", \"rate\": " + std::to_string((int)kill_rate) + "}";
        E2E_REQUIRE(serve_with_fault_server(routes), faults_->reason());

        start_launcher({"-b"});
        ASSERT_FALSE(HasFatalFailure());
        bool fetching = e2e_wait_until(
            [&] { return launch_log().find("files to update.") != std::string::npos || !launcher_->running(); },
            download_start_ms);
        ASSERT_TRUE(fetching && launcher_->running()) << "never started downloading\n" << failure_context();
        int delay = moment(random);
        long until = now_ms() + delay;
        while (now_ms() < until) {
            look();
            sleep_ms(std::min<long>(watch_poll_ms, std::max<long>(1, until - now_ms())));
        }
        bool killed = launcher_->send_signal(SIGKILL) == 1;
        finish_launcher();
        moments += " " + std::to_string(delay) + (killed ? "" : "(missed)");
        {
            SCOPED_TRACE("after the kill " + std::to_string(delay) + " ms into round " + std::to_string(round));
            EXPECT_EQ(seen_foreign(), "");
            expect_consistent_state();
        }

        // A kill that caught the new client before it confirmed its start
        // counts as a failed boot: the rules then pick the next older one.
        std::vector<std::string> newest_first;
        for (const auto& entry : release)
            newest_first.push_back(entry.name);
        std::sort(newest_first.rbegin(), newest_first.rend());
        std::string expected = newest_first[0];
        if (read_file(home_.bootname_path()) == expected + "\n")
            expected = newest_first[1];

        SCOPED_TRACE("the start after the kill in round " + std::to_string(round));
        launch_watching({"-b"});
        expect_three_checks(expected);
        expect_consistent_state();
        for (const auto& entry : release)
            EXPECT_EQ(read_file(home_.executable(entry.name)), read_file(site_path(entry.name))) << entry.name;
        if (HasFailure())
            break;
    }
    std::cout << "summary: kills at" << moments << " ms after the download began (seed " << seed << "); "
              << (HasFailure() ? "a check failed" : "each left a consistent state, and the start after it booted the "
                                                    "build the rules pick")
              << std::endl;
}

INSTANTIATE_TEST_SUITE_P(batches, local_faults_kill, ::testing::Range(0, (int)kill_batches));

// ---------------------------------------------------------------- a full disk

TEST_F(local_faults, a_full_disk_fails_the_download_cleanly_and_the_next_start_with_room_succeeds)
{
    e2e_private_mounts mounts;
    ASSERT_EQ(e2e_make_dirs(home_.data_dir()), 1);
    if (!mounts.mount_tmpfs(home_.data_dir(), 512 * 1024))
        GTEST_SKIP() << "no private tmpfs here: " << mounts.reason();
    e2e_manifest_entry x_3 = publish_build("x_3");
    install("x_3", build("x_3"));
    record_locally({x_3});
    e2e_manifest_entry x_4 = publish_build("x_4", 2 * 1024 * 1024);
    ASSERT_EQ(e2e_write_remote_manifest(site_path(manifest_name), {x_4, x_3}), 1);
    E2E_REQUIRE(serve_with_nginx(), nginx_->reason());

    {
        SCOPED_TRACE("a disk too small for the new build");
        launch_watching();
        expect_three_checks("x_3", "Unable to update file 'x_4' - download failed.");
        EXPECT_NE(launch_log().find("unable to write all data to disk"), std::string::npos) << launch_log();
        EXPECT_EQ(read_file(home_.executable("x_3")), build("x_3"));
        EXPECT_FALSE(file_exists(home_.executable("x_4")));
        EXPECT_EQ(read_file(home_.manifest_path()), e2e_local_manifest_text({x_3}));
        // What was written of the failed download is given back.
        EXPECT_EQ(read_file(home_.executable("download.tmp")).size(), 0u);
    }
    {
        SCOPED_TRACE("the same disk with room");
        ASSERT_EQ(mounts.resize_tmpfs(home_.data_dir(), 16 * 1024 * 1024), 1) << mounts.reason();
        launch_watching();
        expect_three_checks("x_4");
        EXPECT_EQ(read_file(home_.executable("x_4")), read_file(site_path("x_4")));
        EXPECT_EQ(read_file(home_.manifest_path()), e2e_local_manifest_text({x_4, x_3}));
    }
}

// ---------------------------------------------------------------- places the launcher may not write

enum unwritable_place {
    executables_read_only,
    download_tmp_a_directory,
    bootname_a_directory,
    bootname_read_only,
};

struct unwritable_row {
    const char* name;
    unwritable_place place;
    const char* booted;
    const char* report;
};

void PrintTo(const unwritable_row& row, std::ostream* out)
{
    *out << row.name;
}

class local_faults_unwritable : public local_faults, public ::testing::WithParamInterface<unwritable_row> {};

TEST_P(local_faults_unwritable, the_launcher_still_boots_what_it_can)
{
    const unwritable_row& row = GetParam();
    e2e_manifest_entry x_3 = publish_build("x_3");
    install("x_3", build("x_3"));
    record_locally({x_3});
    e2e_manifest_entry x_4 = publish_build("x_4", 50000);
    ASSERT_EQ(e2e_write_remote_manifest(site_path(manifest_name), {x_4, x_3}), 1);
    E2E_REQUIRE(serve_with_nginx(), nginx_->reason());
    e2e_private_mounts mounts;
    switch (row.place) {
    case executables_read_only:
        // As an earlier boot left it.
        ASSERT_EQ(chmod(home_.executable("x_3").c_str(), 0700), 0);
        if (!mounts.make_read_only(home_.executables_dir()))
            GTEST_SKIP() << mounts.reason();
        break;
    case download_tmp_a_directory:
        ASSERT_EQ(mkdir(home_.executable("download.tmp").c_str(), 0700), 0);
        break;
    case bootname_a_directory:
        ASSERT_EQ(mkdir(home_.bootname_path().c_str(), 0700), 0);
        break;
    case bootname_read_only:
        write_file(home_.bootname_path(), "");
        if (!mounts.make_read_only(home_.bootname_path()))
            GTEST_SKIP() << mounts.reason();
        break;
    }
    const std::string manifest_before = read_file(home_.manifest_path());

    launch_watching();
    record_outcome(row.report);
    ASSERT_TRUE(launcher_->exited()) << failure_context();
    EXPECT_EQ(seen_foreign(), "");
    EXPECT_EQ(foreign_files(), "");
    // expect_booted would read bootname.txt, which here cannot say anything.
    EXPECT_EQ(launcher_->exit_status(), 0) << failure_context();
    std::vector<e2e_client_run> runs = home_.runs();
    ASSERT_EQ(runs.size(), runs_seen_ + 1) << failure_context();
    EXPECT_EQ(runs.back().argv, (std::vector<std::string>{row.booted, "-l", launcher_version}));
    EXPECT_EQ(runs.back().pid, (long)launcher_->pid());
    EXPECT_NE(launch_log().find(row.report), std::string::npos) << launch_log();
    if (std::string(row.booted) == "x_4") {
        EXPECT_EQ(read_file(home_.executable("x_4")), read_file(site_path("x_4")));
    } else {
        EXPECT_FALSE(file_exists(home_.executable("x_4")));
        EXPECT_EQ(read_file(home_.manifest_path()), manifest_before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    places, local_faults_unwritable,
    ::testing::Values(
        // No lock can be taken on a read-only directory, so no launcher is
        // updating it: the images there boot without an update.
        unwritable_row{"executables_read_only", executables_read_only, "x_3",
                       "cannot be opened, so no update can run; booting what is there."},
        unwritable_row{"download_tmp_a_directory", download_tmp_a_directory, "x_3",
                       "Unable to access temporary download file"},
        unwritable_row{"bootname_a_directory", bootname_a_directory, "x_4",
                       "write_crash_detect_file(), unable to open file"},
        unwritable_row{"bootname_read_only", bootname_read_only, "x_4",
                       "write_crash_detect_file(), unable to open file"}),
    [](const ::testing::TestParamInfo<unwritable_row>& info) { return std::string(info.param.name); });

TEST_F(local_faults, a_read_only_data_directory_is_left_alone_for_the_next_candidate)
{
    e2e_manifest_entry x_3 = publish_build("x_3");
    install("x_3", build("x_3"));
    record_locally({x_3});
    e2e_manifest_entry x_4 = publish_build("x_4", 50000);
    ASSERT_EQ(e2e_write_remote_manifest(site_path(manifest_name), {x_4, x_3}), 1);
    E2E_REQUIRE(serve_with_nginx(), nginx_->reason());
    std::map<std::string, std::string> before = executables();
    e2e_private_mounts mounts;
    if (!mounts.make_read_only(home_.data_dir()))
        GTEST_SKIP() << mounts.reason();
    // The next candidate is ".Brimvale" in the working directory; this one
    // can be written, so the launcher never goes on to /tmp.
    const std::string elsewhere = home_.path() + "/elsewhere";
    ASSERT_EQ(e2e_make_dirs(elsewhere + "/"), 1);
    const std::string fallback = elsewhere + "/.Brimvale";

    e2e_process launcher;
    e2e_command command = e2e_launcher_command(home_, x_.display());
    command.working_dir = elsewhere;
    ASSERT_EQ(launcher.start(command), 1);
    ASSERT_EQ(launcher.wait(launch_timeout_ms), 1) << launcher.describe();
    EXPECT_EQ(launcher.exit_status(), 0) << launcher.describe();
    EXPECT_NE(launcher.stdout_text().find("Checking config directory: " + home_.data_dir() + " [FAIL]\n"),
              std::string::npos)
        << launcher.stdout_text();
    EXPECT_TRUE(executables() == before) << "the read-only data directory changed";
    std::vector<e2e_client_run> runs = home_.runs();
    ASSERT_EQ(runs.size(), 1u) << read_file(fallback + "/vostel_launcher_log.txt");
    EXPECT_EQ(runs[0].argv[0], "x_4");
    EXPECT_EQ(runs[0].cwd, fallback);
    EXPECT_EQ(read_file(fallback + "/executables/x_4"), read_file(site_path("x_4")));
    std::cout << "outcome: exit " << launcher.exit_status() << ", the read-only " << home_.data_dir()
              << " untouched; x_4 fetched into and booted from " << fallback << std::endl;
}

// ---------------------------------------------------------------- two launchers at once

TEST_F(local_faults, two_launchers_on_one_home_update_once_and_both_end_cleanly)
{
    // One build that takes some five seconds to arrive, and nothing older:
    // whoever boots, boots x_4.
    e2e_manifest_entry x_4 = publish_build("x_4", 1280 * 1024);
    ASSERT_EQ(e2e_write_remote_manifest(site_path(manifest_name), {x_4}), 1);
    E2E_REQUIRE(serve_with_nginx({{file_url(""), "256k", "", ""}}), nginx_->reason());

    e2e_process first, second;
    e2e_command command = e2e_launcher_command(home_, x_.display());
    // The one that gives up ends by itself.
    command.set("ASAN_OPTIONS", "detect_leaks=0");
    long started = now_ms();
    ASSERT_EQ(first.start(command), 1);
    ASSERT_EQ(second.start(command), 1);
    std::set<std::string> seen;
    while ((first.running() || second.running()) && now_ms() < started + launch_timeout_ms) {
        std::string foreign = foreign_files(true);
        if (!foreign.empty())
            seen.insert(foreign);
        sleep_ms(watch_poll_ms);
    }
    ASSERT_EQ(first.wait(1000), 1) << first.describe();
    ASSERT_EQ(second.wait(1000), 1) << second.describe();

    EXPECT_EQ(first.exit_status(), 0) << first.describe();
    EXPECT_EQ(second.exit_status(), 0) << second.describe();
    EXPECT_TRUE(seen.empty()) << *seen.begin();
    EXPECT_EQ(foreign_files(), "");
    std::vector<std::string> lines = nginx_requests(1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "200 GET " + file_url("x_4") + " HTTP/1.1"), 1)
        << "x_4 must be fetched exactly once";
    EXPECT_EQ(read_file(home_.executable("x_4")), read_file(site_path("x_4")));
    EXPECT_EQ(read_file(home_.manifest_path()), e2e_local_manifest_text({x_4}));

    // The other launcher either gave up while the download held the lock,
    // or took the lock once it was free, found nothing to fetch and booted.
    std::vector<e2e_client_run> runs = home_.runs();
    std::string log = home_.log_text();
    bool gave_up = log.find("Sorry, it looks like there's another version of the launcher downloading\n") !=
                   std::string::npos;
    EXPECT_EQ(runs.size(), gave_up ? 1u : 2u) << log;
    for (const auto& run : runs)
        EXPECT_EQ(run.argv[0], "x_4");
    if (!gave_up) {
        EXPECT_NE(log.find("OnTimer(), late start of updater thread.\n"), std::string::npos) << log;
    }
    std::cout << "outcome: exits " << first.exit_status() << " and " << second.exit_status() << " within "
              << (now_ms() - started) / 100 / 10.0 << " s; x_4 fetched "
              << std::count(lines.begin(), lines.end(), "200 GET " + file_url("x_4") + " HTTP/1.1") << " time(s), "
              << runs.size() << " boot(s) of x_4; "
              << (gave_up ? "the other launcher gave up while the lock was held"
                          : "the other launcher took the lock late, found nothing to fetch and booted")
              << std::endl;
}
