#include "launcher/launcher_config.h"

#include <stdlib.h>
#include <string>

#include <gtest/gtest.h>

#include "base/config_dir.h"
#include "tests/support/test_support.h"

namespace {

const char* const current_file =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
    "<launcher_config>\n"
    "  <launcher_version>1.105-g64-rc1</launcher_version>\n"
    "  <beta_test_enable>%d</beta_test_enable>\n"
    "</launcher_config>\n"
    "\n";

std::string expected_file(int mode)
{
    char text[400];
    snprintf(text, sizeof(text), current_file, mode);
    return text;
}

// One configuration directory for the whole process: it can be chosen once.
class launcher_config : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        home_ = new temp_dir();
        setenv("HOME", home_->path().c_str(), 1);
        ASSERT_EQ(quon_client_set_up_config_directory("Brimvale"), 1);
    }
    static void TearDownTestSuite()
    {
        delete home_;
        home_ = nullptr;
    }
    void SetUp() override
    {
        forget_system_config();
        path_ = std::string(quon_client_get_config_directory()) + "/launcher.cfg";
        unlink(path_.c_str());
    }

    static temp_dir* home_;
    std::string path_;
};

temp_dir* launcher_config::home_ = nullptr;

}  // namespace

TEST_F(launcher_config, first_start_writes_the_file_and_a_second_start_writes_nothing)
{
    {
        log_capture log;
        load_system_config();
        EXPECT_EQ(log.text(), "load_system_config() - using core config file name '" + path_ +
                                  "'.\nUnable to load system config - cannot open config file '" + path_ +
                                  "'.\nSaving system config to file '" + path_ + "'.\n");
    }
    EXPECT_EQ(read_file(path_), expected_file(0));
    forget_system_config();
    log_capture log;
    load_system_config();
    EXPECT_FALSE(log.contains("Saving"));
    EXPECT_EQ(get_beta_test_enable(), 0);
    EXPECT_STREQ(get_stored_launcher_version(), "1.105-g64-rc1");
}

TEST_F(launcher_config, changes_are_saved_once)
{
    load_system_config();
    log_capture log;
    set_beta_test_enable(1);
    set_beta_test_enable(1);
    EXPECT_EQ(log.count("Saving system config"), 1);
    EXPECT_EQ(read_file(path_), expected_file(1));
    set_beta_test_enable(0);
    EXPECT_EQ(read_file(path_), expected_file(0));
}

TEST_F(launcher_config, reads_what_other_writers_leave)
{
    struct {
        const char* name;
        const char* file;
        int mode;
        bool rewritten;
        const char* logged;  // must appear in the log, or null
    } rows[] = {
        {"another version keeps its mode",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<launcher_config>\n"
         "  <launcher_version>1.104</launcher_version>\n  <beta_test_enable>1</beta_test_enable>\n"
         "</launcher_config>\n",
         1, true, nullptr},
        {"upper-case tags and an unknown child",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<LAUNCHER_CONFIG>\n"
         "  <window><x>5</x></window>\n  <BETA_TEST_ENABLE>5</BETA_TEST_ENABLE>\n"
         "  <Launcher_Version>1.105-g64-rc1</Launcher_Version>\n</LAUNCHER_CONFIG>\n",
         5, false, nullptr},
        {"unknown top-level tag",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<other><beta_test_enable>1</beta_test_enable></other>\n",
         0, true, "load_system_config() got unknown tag 'other'\n"},
        {"bad header", "launcher_config\n<launcher_config></launcher_config>\n", 0, true,
         "Warning in load_system_config() - bad XML header, bailing.\n"},
        {"empty file", "", 0, true, "bad XML header"},
        {"non-numeric mode is kept",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<launcher_config>\n"
         "  <launcher_version>1.105-g64-rc1</launcher_version>\n  <beta_test_enable>yes</beta_test_enable>\n"
         "</launcher_config>\n",
         0, false, "got non-number'yes'"},
        {"binary garbage", "<?xml version=\"1\" encoding=\"x\"?>\n<\x01\x02\xff>\x7f</<<>>", 0, true, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        forget_system_config();
        write_file(path_, row.file);
        log_capture log;
        load_system_config();
        EXPECT_EQ(get_beta_test_enable(), row.mode);
        if (row.rewritten) {
            EXPECT_EQ(read_file(path_), expected_file(row.mode));
        } else {
            EXPECT_EQ(read_file(path_), row.file);
        }
        if (row.logged) {
            EXPECT_TRUE(log.contains(row.logged)) << log.text();
        }
    }
}
