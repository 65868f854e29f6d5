#include "updater/file_manifest.h"

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

const char* const header =
    "# This is an automatically generated file - do not modify\n"
    "# It contains a list of the files currently managed by the\n"
    "# updater.  Changing or deleting it may cause your next\n"
    "# update to download far more things than it needs.\n"
    "\n";

const std::string hash_a = "0123456789abcdef0123456789abcdef";
const std::string hash_b = "fedcba9876543210fedcba9876543210";

std::string names_of(const zel_file_manifest& manifest)
{
    std::string names;
    for (zel_file_manifest_entry* entry = manifest.first_entry(); entry; entry = entry->next)
        names += std::string(names.empty() ? "" : ",") + entry->name;
    return names;
}

}  // namespace

TEST(parse_manifest_line, accepts_entries_blanks_and_comments)
{
    struct {
        const char* line;
        const char* hash;  // null: no entry expected
        int size;
        const char* name;
    } rows[] = {
        {"", nullptr, 0, nullptr},
        {" \t ", nullptr, 0, nullptr},
        {"  # a comment", nullptr, 0, nullptr},
        {"\t\t0123456789abcdef 123 client_1", "0123456789abcdef", 123, "client_1"},
        {"0123456789 5 ten_digit_hash", "0123456789", 5, "ten_digit_hash"},
        {"0123456789xyz 5 rest_of_token_unchecked", "0123456789xyz", 5, "rest_of_token_unchecked"},
        {"0123456789abcdef 12abc name", "0123456789abcdef", 12, "name"},
        {"0123456789abcdef +7 plus", "0123456789abcdef", 7, "plus"},
        {"0123456789abcdef\t\t9\t\tdir/my file ", "0123456789abcdef", 9, "dir/my file "},
        {"0123456789abcdef 9 name\r", "0123456789abcdef", 9, "name\r"},
    };
    for (const auto& row : rows) {
        zel_file_manifest_entry* entry = reinterpret_cast<zel_file_manifest_entry*>(1);
        ASSERT_EQ(parse_manifest_line("file manifest", row.line, &entry), 1) << row.line;
        if (!row.hash) {
            EXPECT_EQ(entry, nullptr) << row.line;
            continue;
        }
        ASSERT_NE(entry, nullptr) << row.line;
        EXPECT_STREQ(entry->hash, row.hash);
        EXPECT_EQ(entry->size, row.size);
        EXPECT_STREQ(entry->name, row.name);
        delete entry;
    }
}

TEST(parse_manifest_line, refuses_bad_lines_with_two_messages)
{
    struct {
        const char* line;
        const char* problem;
    } rows[] = {
        {"A123456789abcdef 5 upper", " - bad or missing hash field for line:"},
        {"012345678 5 nine_digits", " - bad or missing hash field for line:"},
        {"01234", " - bad or missing hash field for line:"},
        {"0123456789abcdef x12 name", " - bad or missing file size for line:"},
        {"0123456789abcdef - name", " - bad or missing file size for line:"},
        {"0123456789abcdef", " - bad or missing file size for line:"},
        {"0123456789abcdef 12", " - missing file name for line:"},
        {"0123456789abcdef 12   ", " - missing file name for line:"},
    };
    for (const auto& row : rows) {
        log_capture log;
        zel_file_manifest_entry* entry = nullptr;
        EXPECT_EQ(parse_manifest_line("downloaded data", row.line, &entry), 0) << row.line;
        EXPECT_EQ(entry, nullptr);
        EXPECT_EQ(log.text(), std::string("quon_updater.ferr Syntax error in downloaded data") + row.problem +
                                  "\nquon_updater.ferr " + row.line + "\n");
    }
}

TEST(zel_manifest_name_is_safe, refuses_names_that_leave_the_directory)
{
    struct {
        const char* name;
        bool safe;
    } rows[] = {
        {"client_1.105", true},   {"dir/my file", true},    {"/leading/slash", true}, {"a..b", true},
        {"..hidden", true},       {"x/...", true},          {"..", false},            {"../escape", false},
        {"a/../../b", false},     {"a/..", false},          {"..\\up", false},        {"a\\..\\b", false},
        {"tab\tname", false},     {"cr\r", false},          {"", false},              {nullptr, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(zel_manifest_name_is_safe(row.name), row.safe) << (row.name ? row.name : "(null)");
}

TEST(zel_file_manifest, header_only_file_loads_no_entries)
{
    temp_dir dir;
    write_file(dir.file("m.lst"), header);
    zel_file_manifest manifest;
    EXPECT_EQ(manifest.load_file(dir.file("m.lst").c_str()), 0);
    EXPECT_EQ(manifest.load_file(dir.file("missing.lst").c_str()), -1);
}

TEST(zel_file_manifest, save_puts_new_entries_first_and_keeps_the_old_order)
{
    temp_dir dir;
    std::string path = dir.file("m.lst");
    write_file(path, std::string(header) + hash_a + "          5 A\r\n" + hash_b + " 1234567 B\n");
    zel_file_manifest manifest;
    ASSERT_EQ(manifest.load_file(path.c_str()), 2);

    zel_file_manifest_entry c("C", "0123456789", 42);
    zel_file_manifest_entry a("A", hash_b.c_str(), 6);
    manifest.add_or_update(&c);
    manifest.add_or_update(&a);
    EXPECT_EQ(names_of(manifest), "C,A,B");
    EXPECT_STREQ(manifest.find_entry("A")->hash, hash_b.c_str());

    log_capture log;
    ASSERT_EQ(manifest.save_file(path.c_str()), 1);
    EXPECT_EQ(read_file(path), std::string(header) + "0123456789         42 C\n" + hash_b + "          6 A\n" +
                                   hash_b + "    1234567 B\n");
    EXPECT_EQ(log.text(),
              "quon_updater.fwarn Error in zel_file_manifest::save_file(), file 'C' had short hash len of 10.\n\n");

    zel_file_manifest again;
    EXPECT_EQ(again.load_file(path.c_str()), 3);
    EXPECT_EQ(names_of(again), "C,A,B");
}

TEST(zel_file_manifest, a_bad_line_stops_loading_and_keeps_what_came_before)
{
    temp_dir dir;
    std::string path = dir.file("m.lst");
    write_file(path, hash_a + " 1 first\nnot a line\n" + hash_a + " 2 third\n");
    log_capture log;
    zel_file_manifest manifest;
    EXPECT_EQ(manifest.load_file(path.c_str()), -1);
    EXPECT_EQ(names_of(manifest), "first");
    EXPECT_TRUE(log.contains("Syntax error in file manifest - bad or missing hash field for line:"));
}

TEST(zel_file_manifest, overlong_lines_are_cut_and_duplicates_stay_listed)
{
    temp_dir dir;
    std::string path = dir.file("m.lst");
    std::string long_name(2000, 'n');
    write_file(path, hash_a + " 1 " + long_name + "\n" + hash_a + " 2 dup\n" + hash_b + " 3 dup\n");
    log_capture log;
    zel_file_manifest manifest;
    ASSERT_EQ(manifest.load_file(path.c_str()), 3);
    EXPECT_EQ(strlen(manifest.first_entry()->name), 1023u - hash_a.size() - 3);
    EXPECT_TRUE(log.contains("Warning in fget_line(), string overflow.  String was:"));
    EXPECT_TRUE(log.contains("attempt to add duplicate thing at key 'dup'"));
    EXPECT_STREQ(manifest.find_entry("dup")->hash, hash_a.c_str());
    EXPECT_EQ(manifest.count(), 3);
}

TEST(zel_file_manifest, remove_missing_files_keeps_only_files_of_the_listed_size)
{
    temp_dir dir;
    write_file(dir.file("good1"), "12345");
    write_file(dir.file("short"), "123");
    mkdir(dir.file("a_dir").c_str(), 0700);
    mkdir(dir.file("sub").c_str(), 0700);
    write_file(dir.file("sub/good2"), "");
    std::string path = dir.file("m.lst");
    write_file(path, hash_a + " 5 good1\n" + hash_a + " 5 short\n" + hash_a + " 0 a_dir\n" + hash_a +
                         " 5 missing\n" + hash_a + " 0 sub/good2\n");
    zel_file_manifest manifest;
    ASSERT_EQ(manifest.load_file(path.c_str()), 5);
    EXPECT_EQ(manifest.remove_missing_files(dir.path().c_str()), 2);
    EXPECT_EQ(names_of(manifest), "good1,sub/good2");
    EXPECT_EQ(manifest.find_entry("short"), nullptr);
    EXPECT_NE(manifest.find_entry("good1"), nullptr);
}

TEST(zel_file_manifest, an_unwritable_manifest_is_reported_and_left_alone)
{
    temp_dir dir;
    zel_file_manifest manifest;
    zel_file_manifest_entry a("A", hash_a.c_str(), 1);
    manifest.add_or_update(&a);
    std::string path = dir.file("no_such_dir/m.lst");
    log_capture log;
    EXPECT_EQ(manifest.save_file(path.c_str()), 0);
    EXPECT_EQ(log.text(), "quon_updater.ferr Error in zel_file_manifest::save_file() - unable to save file '" + path +
                              "'.\n");
    if (geteuid() != 0) {
        std::string readonly = dir.file("ro.lst");
        write_file(readonly, "keep");
        chmod(readonly.c_str(), 0444);
        EXPECT_EQ(manifest.save_file(readonly.c_str()), 0);
        EXPECT_EQ(read_file(readonly), "keep");
    }
}
