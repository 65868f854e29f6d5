#include "base/directory_listing.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

// A directory of an ordinary file, an upper-case name, a subdirectory and a
// dangling link, as a destination directory may hold.
struct sample_directory {
    sample_directory()
    {
        write_file(dir.file("client_1.105"), "x");
        write_file(dir.file("Client_Beta"), "y");
        mkdir(dir.file("sub").c_str(), 0700);
        write_file(dir.file("sub/inner"), "z");
        symlink("nowhere", dir.file("dangling").c_str());
    }
    temp_dir dir;
};

}  // namespace

TEST(directory_listing, answers_absent_only_for_names_it_did_not_list)
{
    sample_directory sample;
    log_capture log;
    quon_directory_listing listing(sample.dir.path().c_str());
    // The test directory lives under TMPDIR; on a file system the listing
    // does not trust, every answer must be "ask".
    int absent = listing.is_complete() ? 0 : 1;
    struct {
        const char* name;
        int may_exist;
    } rows[] = {
        {"client_1.105", 1},
        {"Client_Beta", 1},
        {"sub", 1},
        {"dangling", 1},
        {".", 1},
        {"..", 1},
        {"sub/inner", 1},      // a path inside is always for the file system
        {"sub/missing", 1},
        {"/client_1.105", 1},
        {"client_1.104", absent},
        {"client_beta", absent},  // bytes, not letters
        {"client_1.105 ", absent},
        {"", absent},
    };
    for (const auto& row : rows)
        EXPECT_EQ(listing.may_exist(row.name), row.may_exist) << "'" << row.name << "'";
    EXPECT_EQ(listing.may_exist(nullptr), 1);
    EXPECT_EQ(log.text(), "");
}

// Otherwise a listing that never answered would pass the test above.
TEST(directory_listing, is_used_where_temporary_directories_usually_live)
{
    sample_directory sample;
    struct statfs file_system;
    ASSERT_EQ(statfs(sample.dir.path().c_str(), &file_system), 0);
    if (file_system.f_type != EXT4_SUPER_MAGIC && file_system.f_type != TMPFS_MAGIC &&
        file_system.f_type != BTRFS_SUPER_MAGIC)
        GTEST_SKIP() << "TMPDIR is on a file system the listing does not trust";
    quon_directory_listing listing(sample.dir.path().c_str());
    EXPECT_EQ(listing.is_complete(), 1);
    EXPECT_EQ(listing.may_exist("client_1.104"), 0);
}

TEST(directory_listing, an_unreadable_directory_asks_for_everything)
{
    temp_dir dir;
    for (std::string path : {dir.file("missing"), dir.file("file")}) {
        write_file(dir.file("file"), "not a directory");
        quon_directory_listing listing(path.c_str());
        EXPECT_EQ(listing.is_complete(), 0) << path;
        EXPECT_EQ(listing.may_exist("anything"), 1) << path;
    }
}

TEST(directory_listing, an_empty_name_means_the_working_directory)
{
    temp_dir dir;
    write_file(dir.file("here"), "x");
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    quon_directory_listing listing("");
    quon_directory_listing null_listing(nullptr);
    EXPECT_EQ(chdir(previous), 0);
    EXPECT_EQ(listing.may_exist("here"), 1);
    EXPECT_EQ(null_listing.may_exist("here"), 1);
    EXPECT_EQ(listing.may_exist("elsewhere"), listing.is_complete() ? 0 : 1);
}
