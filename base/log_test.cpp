#include "base/log.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

struct verbosity_guard {
    int saved = verbosity_level;
    ~verbosity_guard() { verbosity_level = saved; }
};

}  // namespace

TEST(log, prefixes_and_filters_by_level_and_verbosity)
{
    log_capture log;
    verbosity_guard guard;
    struct {
        int verbosity;
        int levels;
        int facility;
        const char* expected;
    } rows[] = {
        {3, QUON_LOG_INFO, QUON_CLIENT_CONFIGDIR, "quon_client_configdir.info x\n"},
        {2, QUON_LOG_INFO, QUON_CLIENT_CONFIGDIR, ""},
        {1, QUON_LOG_SOFTFAIL, QUON_CORE, "quon_core.softfail x\n"},
        {0, QUON_LOG_SOFTFAIL, QUON_CORE, ""},
        {3, 0, QUON_CORE, ""},
        {3, QUON_LOG_HARDFAIL | QUON_LOG_SOFTFAIL, QUON_CORE, "quon_core.hardfail.softfail x\n"},
        {3, QUON_LOG_SOFTFAIL, 4242, "quon_unknown.softfail x\n"},
        {2, QUON_LOG_SOFTFAIL | QUON_LOG_INFO, QUON_CORE, ""},
        {3, QUON_LOG_SOFTFAIL | QUON_LOG_INFO, QUON_CORE, "quon_core.softfail.info x\n"},
        {3, QUON_LOG_FERR, QUON_UPDATER, "quon_updater.ferr x\n"},
    };
    for (const auto& row : rows) {
        log.clear();
        verbosity_level = row.verbosity;
        quon_log("x", row.levels, row.facility);
        EXPECT_EQ(log.text(), row.expected) << row.levels << " at verbosity " << row.verbosity;
    }
    log.clear();
    quon_log(nullptr, QUON_LOG_SOFTFAIL, QUON_CORE);
    EXPECT_EQ(log.text(), "quon_core.softfail (null)\n");
}

TEST(log, suppressed_levels_and_disabled_logging_write_nothing)
{
    log_capture log;
    suppressed_levels = QUON_LOG_PERR;
    quon_log("gone", QUON_LOG_PERR, QUON_HTTP);
    quon_log("kept", QUON_LOG_PERR | QUON_LOG_SOFTFAIL, QUON_HTTP);
    suppressed_levels = 0;
    logging_enabled = 0;
    quon_log("gone", QUON_LOG_SOFTFAIL, QUON_HTTP);
    logging_enabled = 1;
    EXPECT_EQ(log.text(), "quon_http.softfail.perr kept\n");
}

TEST(log, log_printf_cuts_at_10239_characters)
{
    log_capture log;
    std::string huge(20000, 'z');
    log_printf("%s", huge.c_str());
    EXPECT_EQ(log.text(), std::string(10239, 'z'));
}

TEST(log, destination_changes_are_announced)
{
    temp_dir dir;
    std::string first = dir.file("first.txt");
    std::string second = dir.file("second.txt");
    quon_logfile logfile;
    ASSERT_EQ(logfile.open(first.c_str()), 1);
    logfile.write("one\n");
    ASSERT_EQ(logfile.open(first.c_str()), 1);
    ASSERT_EQ(logfile.open(second.c_str()), 1);
    EXPECT_EQ(read_file(first), "one\n(warning - opening new logfile '" + first +
                                    "', automatically closing this one)\n(warning - output redirected from "
                                    "previous logfile '" +
                                    first + "')\n(warning - opening new logfile '" + second +
                                    "', automatically closing this one)\n");
    EXPECT_EQ(read_file(second), "(warning - output redirected from previous logfile '" + first + "')\n");
    EXPECT_STREQ(logfile.current_path(), second.c_str());
}

TEST(log, a_closed_log_auto_opens_standard_output)
{
    // Point standard output at a file for the length of the test.
    temp_dir dir;
    std::string out = dir.file("stdout.txt");
    fflush(stdout);
    int saved = dup(1);
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
    {
        quon_logfile logfile;
        logfile.write("first\n");
        logfile.open(dir.file("log.txt").c_str());
    }
    dup2(saved, 1);
    close(saved);
    EXPECT_EQ(read_file(out), "(warning - auto open of stdout for logging)\nfirst\n(warning - opening new logfile '" +
                                  dir.file("log.txt") + "', automatically closing this one)\n");
    EXPECT_EQ(read_file(dir.file("log.txt")), "(warning - output redirected from previously opened stdout)\n");
}

TEST(log, an_unopenable_log_falls_back_to_standard_output)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root opens read-only files";
    temp_dir dir;
    std::string path = dir.file("readonly.txt");
    write_file(path, "");
    chmod(path.c_str(), 0444);
    quon_logfile logfile;
    EXPECT_EQ(logfile.open(path.c_str()), 0);
}

TEST(log, open_logfile_writes_a_time_stamped_line)
{
    temp_dir dir;
    std::string path = dir.file("log.txt");
    quon_global_logfile().set_announce(0);
    open_logfile(path.c_str());
    quon_global_logfile().open(nullptr);
    quon_global_logfile().set_announce(1);
    std::string text = read_file(path);
    ASSERT_EQ(text.size(), 14u + 19u) << text;
    for (int i = 0; i < 14; i++)
        EXPECT_TRUE(isdigit((unsigned char)text[i])) << text;
    EXPECT_EQ(text.substr(14), ": Opening logfile.\n");
}

TEST(log, write_failures_are_reported_once_per_run)
{
    log_capture log;
    quon_signal_safe_logfile broken;  // never opened: every write fails with EBADF
    EXPECT_EQ(broken.write("a"), 0);
    EXPECT_EQ(broken.write("b"), 0);
    EXPECT_EQ(log.count("quon_sigsafe_logfile.softfail Error in quon_signal_safe_logfile::write(), write failed."),
              1);
}
