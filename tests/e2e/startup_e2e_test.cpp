// Start-up as an operator or a player sees it from a terminal: the data
// directory, the log, the switches, launcher.cfg and the exit statuses.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/e2e/launcher_run.h"

namespace {

const char* const help_lines =
    "Syntax:\n"
    "%s [-h] [-b] [-u] [-v]\n"
    "\n"
    "Options are:\n"
    "  -h   - this help screen\n"
    "  -b   - switch to beta test mode\n"
    "  -u   - switch out of beta test mode\n"
    "  -v   - more verbose debug printing\n"
    "\n";

std::string config_file(int mode)
{
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<launcher_config>\n"
           "  <launcher_version>1.105-g64-rc1</launcher_version>\n  <beta_test_enable>" +
           std::to_string(mode) + "</beta_test_enable>\n</launcher_config>\n\n";
}

class startup : public ::testing::Test {
protected:
    void SetUp() override
    {
        E2E_REQUIRE_PRIVATE_NETWORK();
        E2E_REQUIRE(run_.start_display(), run_.x.reason());
    }

    launcher_run run_;
};

}  // namespace

TEST_F(startup, help_goes_to_the_log_and_exits_zero)
{
    for (const char* option : {"-h", "--HELP"}) {
        SCOPED_TRACE(option);
        launcher_run run;
        E2E_REQUIRE(run.start_display(), run.x.reason());
        ASSERT_TRUE(run.run({option})) << run.launcher.describe();
        EXPECT_EQ(run.launcher.exit_status(), 0);

        struct stat info;
        ASSERT_EQ(stat(run.home.data_dir().c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u);

        std::string launcher = e2e_launcher_path();
        char help[1000];
        snprintf(help, sizeof(help), help_lines, launcher.c_str());
        std::string log = run.log();
        std::string head = "(warning - output redirected from previously opened stdout)\n";
        ASSERT_EQ(log.compare(0, head.size(), head), 0) << log;
        size_t opening = log.find(": Opening logfile.\n");
        size_t banner = log.find("--------------------------- LAUNCHER START --------------------------\n");
        size_t name = log.find("Executable name '" + launcher + "'.\n");
        size_t text = log.find(help);
        EXPECT_EQ(opening, head.size() + 14);
        EXPECT_LT(opening, banner);
        EXPECT_LT(banner, name);
        EXPECT_NE(text, std::string::npos) << log;
        EXPECT_LT(name, text);
        EXPECT_EQ(log.find("LAUNCHER EXIT"), std::string::npos);

        std::string out = run.launcher.stdout_text();
        std::string dir = run.home.data_dir();
        EXPECT_EQ(out, "(warning - auto open of stdout for logging)\n"
                       "quon_client_configdir.info Checking config directory: " +
                           dir +
                           "\n"
                           "quon_client_configdir.info quon_client_set_up_config_directory() - got final config "
                           "directory '" +
                           dir +
                           "'\n"
                           "(warning - opening new logfile '" +
                           run.home.log_path() + "', automatically closing this one)\n");
    }
}

TEST_F(startup, an_unknown_switch_exits_one_after_the_switches_before_it)
{
    ASSERT_TRUE(run_.run({"-b", "-x"})) << run_.launcher.describe();
    EXPECT_EQ(run_.launcher.exit_status(), 1);
    std::string log = run_.log();
    EXPECT_NE(log.find("Forcing beta test mode.\nSaving system config to file '" + run_.home.config_path() +
                       "'.\nSorry, unknown command line option '-x'.  Use '-h' for a list.\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(read_file(run_.home.config_path()), config_file(1));
}

TEST_F(startup, a_home_that_cannot_hold_the_data_directory_exits_one)
{
    e2e_command command = run_.command();
    command.unset("HOME");
    ASSERT_EQ(run_.launcher.start(command), 1);
    ASSERT_EQ(run_.launcher.wait(launcher_run_timeout_ms), 1) << run_.launcher.describe();
    EXPECT_EQ(run_.launcher.exit_status(), 1);
    std::string out = run_.launcher.stdout_text();
    EXPECT_NE(out.find("Sorry, unable to set up or get access to the configuration/data directory.\n"
                       "Reason:  unable to get at system config directory\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(run_.x.windows_named("^Brimvale Launcher$", true).empty());
}

TEST_F(startup, launcher_cfg_is_written_once_and_kept_across_starts)
{
    // No images: each start gives up after its tick, which is all we need.
    ASSERT_TRUE(run_.run()) << run_.launcher.describe();
    EXPECT_EQ(read_file(run_.home.config_path()), config_file(0));
    struct {
        std::vector<std::string> arguments;
        int saves;
        int mode;
    } starts[] = {{{}, 0, 0}, {{"-b"}, 1, 1}, {{"-b"}, 0, 1}, {{"--unbeta"}, 1, 0}, {{"-V"}, 0, 0}};
    for (const auto& start : starts) {
        size_t before = run_.log().size();
        e2e_process again;
        ASSERT_EQ(again.start(e2e_launcher_command(run_.home, run_.x.display(), start.arguments)), 1);
        ASSERT_EQ(again.wait(launcher_run_timeout_ms), 1) << again.describe();
        std::string log = run_.log().substr(before);
        int saves = 0;
        for (size_t at = log.find("Saving system config"); at != std::string::npos;
             at = log.find("Saving system config", at + 1))
            saves++;
        EXPECT_EQ(saves, start.saves) << log;
        EXPECT_EQ(read_file(run_.home.config_path()), config_file(start.mode));
    }
    EXPECT_NE(run_.log().find("Setting verbose printing mode.\n"), std::string::npos);
}

TEST_F(startup, a_file_from_another_version_is_rewritten_with_its_mode)
{
    ASSERT_EQ(run_.home.make_executables_dir(), 1);
    write_file(run_.home.config_path(),
               "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<launcher_config>\n"
               "  <launcher_version>1.104-g64</launcher_version>\n  <beta_test_enable>1</beta_test_enable>\n"
               "</launcher_config>\n");
    ASSERT_TRUE(run_.run()) << run_.launcher.describe();
    EXPECT_EQ(read_file(run_.home.config_path()), config_file(1));
}

TEST(startup_without_display, says_so_on_standard_error_and_exits_non_zero)
{
    e2e_home home;
    e2e_command command = e2e_launcher_command(home, ":2147");
    e2e_process launcher;
    ASSERT_EQ(launcher.start(command), 1);
    ASSERT_EQ(launcher.wait(launcher_run_timeout_ms), 1) << launcher.describe();
    EXPECT_TRUE(launcher.exited()) << launcher.describe();
    EXPECT_NE(launcher.exit_status(), 0);
    EXPECT_NE(launcher.stderr_text().find("cannot open the X display"), std::string::npos)
        << launcher.stderr_text();
}
