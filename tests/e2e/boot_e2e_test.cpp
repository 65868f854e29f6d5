// The boot sequencer as a player meets it: which image the launcher execs,
// how it remembers a failed start, and how it gives up.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/launcher_run.h"

namespace {

class boot : public ::testing::Test {
protected:
    void SetUp() override
    {
        E2E_REQUIRE_PRIVATE_NETWORK();
        E2E_REQUIRE(run_.start_display(), run_.x.reason());
    }

    // The one start the fake client recorded, with the name it was given.
    void expect_booted(const std::string& name)
    {
        std::vector<e2e_client_run> runs = run_.home.runs();
        ASSERT_EQ(runs.size(), 1u) << run_.log();
        EXPECT_EQ(runs[0].argv, (std::vector<std::string>{name, "-l", "1.105-g64-rc1"}));
        EXPECT_EQ(runs[0].cwd, run_.home.data_dir());
        EXPECT_TRUE(runs[0].fds.empty()) << "the client inherited descriptors";
        EXPECT_EQ(read_file(run_.home.bootname_path()), name + "\n");
        struct stat info;
        ASSERT_EQ(stat(run_.home.executable(name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
    }

    launcher_run run_;
};

}  // namespace

TEST_F(boot, the_newest_image_boots_with_the_launchers_arguments)
{
    install_images(run_.home, {"a1", "a2"});
    ASSERT_TRUE(run_.run()) << run_.launcher.describe();
    EXPECT_EQ(run_.launcher.exit_status(), 0);
    expect_booted("a2");
    std::string log = run_.log();
    EXPECT_NE(log.find("Loaded 2 entries from current manifest file '" + run_.home.manifest_path() + "'.\n"
                       "Got executable filename 'a2'.\nGot executable filename 'a1'.\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Trying executable '" + run_.home.executable("a2") + "'.\n"), std::string::npos);
}

TEST_F(boot, a_failed_previous_boot_is_skipped_for_an_older_image)
{
    install_images(run_.home, {"a1", "a2"});
    write_file(run_.home.bootname_path(), "a2\n");
    ASSERT_TRUE(run_.run()) << run_.launcher.describe();
    expect_booted("a1");
    EXPECT_NE(run_.log().find("Previous boot of image 'a2' failed.\nSkipping, will try older images.\n"),
              std::string::npos)
        << run_.log();
}

TEST_F(boot, the_only_image_is_retried_even_after_a_failed_boot)
{
    install_images(run_.home, {"a2"});
    write_file(run_.home.bootname_path(), "a2\n");
    ASSERT_TRUE(run_.run()) << run_.launcher.describe();
    expect_booted("a2");
    EXPECT_NE(run_.log().find("Previous boot of image 'a2' failed.\nNo other images, retrying.\n"),
              std::string::npos);
}

TEST_F(boot, an_image_that_cannot_be_executed_falls_back_to_the_next)
{
    std::vector<e2e_manifest_entry> entries = {run_.home.install_fake_client("a1"),
                                               run_.home.install_file("a2", "not a program\n")};
    ASSERT_EQ(e2e_write_local_manifest(run_.home.manifest_path(), entries), 1);
    ASSERT_TRUE(run_.run()) << run_.launcher.describe();
    expect_booted("a1");
    std::string log = run_.log();
    EXPECT_NE(log.find("quon_core.softfail Error in quon_boot_exec(), exec failed.  Return code -1, error code 8. "
                       "Filename: " +
                       run_.home.executable("a2")),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Boot exec for filename '" + run_.home.executable("a2") + "' failed.\nTrying next in line.\n"),
              std::string::npos);
}

TEST_F(boot, only_files_present_with_their_listed_size_are_listed)
{
    e2e_manifest_entry good = run_.home.install_fake_client("c1");
    e2e_manifest_entry resized = run_.home.install_fake_client("c3");
    resized.size += 1;
    e2e_manifest_entry directory{"c4", good.hash, 0};
    ASSERT_EQ(mkdir(run_.home.executable("c4").c_str(), 0700), 0);
    e2e_manifest_entry missing{"c5", good.hash, good.size};
    e2e_manifest_entry escaping{"../c6", good.hash, good.size};
    ASSERT_EQ(e2e_write_local_manifest(run_.home.manifest_path(), {good, resized, directory, missing, escaping}), 1);
    ASSERT_TRUE(run_.run()) << run_.launcher.describe();
    expect_booted("c1");
    EXPECT_NE(run_.log().find("Loaded 1 entries from current manifest file"), std::string::npos) << run_.log();
}

TEST_F(boot, beta_builds_boot_only_in_beta_test_mode)
{
    struct {
        std::vector<std::string> arguments;
        const char* booted;
    } rows[] = {{{}, "b2"}, {{"-b"}, "b3beta"}};
    for (const auto& row : rows) {
        launcher_run run;
        E2E_REQUIRE(run.start_display(), run.x.reason());
        install_images(run.home, {"b2", "b3beta"});
        ASSERT_TRUE(run.run(row.arguments)) << run.launcher.describe();
        std::vector<e2e_client_run> runs = run.home.runs();
        ASSERT_EQ(runs.size(), 1u) << run.log();
        EXPECT_EQ(runs[0].argv[0], row.booted);
    }
}

TEST_F(boot, no_manifest_gives_up_with_the_exit_banner)
{
    ASSERT_TRUE(run_.run()) << run_.launcher.describe();
    EXPECT_EQ(run_.launcher.exit_status(), 0);
    EXPECT_TRUE(run_.home.runs().empty());
    std::string log = run_.log();
    size_t block = log.find("\nSorry, no executables found - cannot start game.\n"
                            "This launcher will attempt to download one if you restart it.\n"
                            "If this message continues to occur, please notify the game admin.\n\n");
    size_t loaded = log.find("Loaded 0 entries from current manifest file");
    size_t pair = log.find("Sorry, no valid executables found - cannot start game.\n"
                           "If this message continues to occur, please notify the game admin.\n");
    size_t banner = log.find("--------------------------- LAUNCHER EXIT --------------------------\n");
    ASSERT_NE(block, std::string::npos) << log;
    EXPECT_LT(block, loaded);
    EXPECT_LT(loaded, pair);
    EXPECT_LT(pair, banner);
    EXPECT_NE(banner, std::string::npos);
}

TEST_F(boot, another_launcher_holding_the_lock_makes_it_give_up)
{
    install_images(run_.home, {"a1"});
    int fd = open((run_.home.executables_dir() + "/lock.tmp").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    // The lock must belong to another process: a child holds it.
    pid_t holder = fork();
    if (holder == 0) {
        lockf(fd, F_TLOCK, 0);
        pause();
        _exit(0);
    }
    close(fd);
    usleep(200000);
    ASSERT_TRUE(run_.run()) << run_.launcher.describe();
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(run_.launcher.exit_status(), 0);
    EXPECT_TRUE(run_.home.runs().empty());
    std::string log = run_.log();
    EXPECT_NE(log.find("OnInit(), unable to get updater file lock.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nSorry, it looks like there's another version of the launcher downloading\n"
                       "updates right now.  Please try again when it's finished.\n\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("LAUNCHER EXIT"), std::string::npos);
}

TEST_F(boot, clients_that_crash_at_start_are_passed_over_until_a_new_build_arrives)
{
    // d1 confirms its good start by emptying bootname.txt, as a real client
    // does; the crashing builds die before they can.
    install_images(run_.home, {"d1", "d2_crash", "d3_crash"});
    auto start = [&] {
        e2e_process launcher;
        e2e_command command = e2e_launcher_command(run_.home, run_.x.display());
        command.set("FAKE_CLIENT_CONFIRMS_BOOT", "1");
        ASSERT_EQ(launcher.start(command), 1);
        ASSERT_EQ(launcher.wait(launcher_run_timeout_ms), 1) << launcher.describe();
    };
    for (int i = 0; i < 4; i++)
        start();
    std::vector<std::string> booted;
    for (const e2e_client_run& run : run_.home.runs())
        booted.push_back(run.argv[0]);
    EXPECT_EQ(booted, (std::vector<std::string>{"d3_crash", "d2_crash", "d1", "d1"})) << run_.log();
    EXPECT_NE(run_.log().find("Image 'd3_crash' failed to start before, skipping.\n"), std::string::npos);

    // A new build under a failed name is tried again.
    std::vector<e2e_manifest_entry> entries = {run_.home.install_fake_client("d1"),
                                               run_.home.install_file("d2_crash", read_file(e2e_fake_client_path()) + "v2"),
                                               run_.home.install_fake_client("d3_crash")};
    chmod(run_.home.executable("d2_crash").c_str(), 0700);
    ASSERT_EQ(e2e_write_local_manifest(run_.home.manifest_path(), entries), 1);
    start();
    ASSERT_EQ(run_.home.runs().size(), 5u);
    EXPECT_EQ(run_.home.runs().back().argv[0], "d2_crash");
}
