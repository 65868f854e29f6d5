// brimvale-publish, run as an operator runs it: the list it writes is read
// back with the launcher's own inflater and line parser.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"
#include "updater/remote_manifest.h"

namespace {

const char* const list_name = "manifest_linux64_executables.txt.gz";

struct tool_run {
    int status = -1;
    std::string out;
    std::string err;
};

tool_run publish(const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv = {e2e_build_dir() + "/brimvale-publish"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
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

std::string download_dir(const temp_dir& root)
{
    return root.file("downloads/vostel_v3");
}

// The list's bytes inflated as gzip only (a zlib or raw body fails).
std::string gunzip(const std::string& bytes)
{
    z_stream stream = {};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return "(inflateInit2 failed)";
    stream.next_in = (Bytef*)bytes.data();
    stream.avail_in = (uInt)bytes.size();
    std::string text;
    int result = Z_OK;
    while (result == Z_OK) {
        char buffer[4096];
        stream.next_out = (Bytef*)buffer;
        stream.avail_out = sizeof(buffer);
        result = inflate(&stream, Z_NO_FLUSH);
        text.append(buffer, sizeof(buffer) - stream.avail_out);
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END && stream.avail_in == 0 ? text : "(not one whole gzip member)";
}

// What the launcher makes of the list, through its own inflater and parser.
std::vector<e2e_manifest_entry> launcher_reads(const std::string& bytes)
{
    std::vector<e2e_manifest_entry> entries;
    http_fetch_remote_manifest_data remote;
    if (!remote.reset()) {
        ADD_FAILURE() << "the launcher's inflater did not start";
        return entries;
    }
    EXPECT_EQ(remote.download_data_callback(bytes.data(), (int)bytes.size()), 1);
    remote.download_progress_callback((int)bytes.size(), (int)bytes.size());
    remote.end_inflater();
    for (zel_file_manifest_entry* entry = remote.first_entry(); entry; entry = entry->next)
        entries.push_back({entry->name, entry->hash, entry->size});
    return entries;
}

std::vector<std::string> listing(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* handle = opendir(dir.c_str());
    if (!handle)
        return names;
    while (struct dirent* entry = readdir(handle))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(handle);
    std::sort(names.begin(), names.end());
    return names;
}

int mode_of(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (int)(info.st_mode & 07777) : -1;
}

std::string binary_content(size_t size, int seed)
{
    std::string content(size, '\0');
    for (size_t i = 0; i < size; i++)
        content[i] = (char)(i * 31 + seed + i / 251);
    return content;
}

std::string entry_line(const std::string& content, const std::string& name)
{
    return e2e_sha256(content) + " " + std::to_string(content.size()) + " " + name + "\n";
}

bool same_entries(const std::vector<e2e_manifest_entry>& a, const std::vector<e2e_manifest_entry>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].name != b[i].name || a[i].hash != b[i].hash || a[i].size != b[i].size)
            return false;
    return true;
}

}  // namespace

TEST(publish, lists_every_build_newest_name_first_with_exact_hashes_and_sizes_and_copies_it)
{
    temp_dir source, root;
    // Names in no particular order: bytes above ASCII sort after it, capitals
    // before small letters, the empty file and a name with inner blanks too.
    const std::vector<std::pair<std::string, std::string>> builds = {
        {"brimvale_client_1.104", "the older build\n"},
        {"brimvale_client_1.106beta", binary_content(9000, 3)},
        {"brimvale_client_1.105", binary_content(200000, 1) + std::string("\r\n\0end", 6)},
        {"Zed tools 2", "spaces inside\n"},
        {"\xc3\xa9t\xc3\xa9", "utf-8 name\n"},
        {"empty", ""},
    };
    for (const auto& build : builds) {
        write_file(source.file(build.first), build.second);
        ASSERT_EQ(chmod(source.file(build.first).c_str(), 0750), 0);
    }
    ASSERT_EQ(mkdir(source.file("older").c_str(), 0700), 0);
    write_file(source.file("older/brimvale_client_1.103"), "never listed\n");

    // The copies get 0644 whatever the operator's mask.
    mode_t saved_mask = umask(077);
    tool_run run = publish({source.path(), root.path()});
    umask(saved_mask);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Published 6 files (209047 bytes) to " + download_dir(root) +
                           ": current build \xc3\xa9t\xc3\xa9, current beta build brimvale_client_1.106beta.\n");
    EXPECT_NE(run.err.find("Skipping the subdirectory '" + source.file("older") + "'"), std::string::npos) << run.err;

    std::string list = read_file(download_dir(root) + "/" + list_name);
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list.substr(0, 2), "\x1f\x8b") << "not gzip";
    const std::vector<std::string> order = {"\xc3\xa9t\xc3\xa9", "empty", "brimvale_client_1.106beta",
                                            "brimvale_client_1.105", "brimvale_client_1.104", "Zed tools 2"};
    std::string expected_text;
    std::vector<e2e_manifest_entry> expected_entries;
    for (const std::string& name : order) {
        auto build = std::find_if(builds.begin(), builds.end(), [&](const auto& b) { return b.first == name; });
        expected_text += entry_line(build->second, name);
        expected_entries.push_back({name, e2e_sha256(build->second), (long)build->second.size()});
    }
    EXPECT_EQ(gunzip(list), expected_text);
    EXPECT_TRUE(same_entries(launcher_reads(list), expected_entries)) << gunzip(list);

    std::vector<std::string> expected_files = order;
    expected_files.push_back(list_name);
    std::sort(expected_files.begin(), expected_files.end());
    EXPECT_EQ(listing(download_dir(root)), expected_files) << "a staged copy was left behind?";
    for (const auto& build : builds) {
        std::string copy = download_dir(root) + "/" + build.first;
        EXPECT_TRUE(read_file(copy) == build.second) << build.first << " differs from its source";
        EXPECT_EQ(mode_of(copy), 0644) << build.first;
    }
    EXPECT_EQ(mode_of(download_dir(root) + "/" + list_name), 0644);
    EXPECT_EQ(mode_of(root.file("downloads")), 0755);
    EXPECT_EQ(mode_of(download_dir(root)), 0755);
}

TEST(publish, publishing_again_replaces_changed_builds_and_the_list_and_is_repeatable)
{
    temp_dir source, root;
    write_file(source.file("brimvale_client_1.104"), "first 104\n");
    write_file(source.file("brimvale_client_1.105"), "first 105\n");
    ASSERT_EQ(publish({source.path(), root.path()}).status, 0);
    std::string first_list = read_file(download_dir(root) + "/" + list_name);
    ASSERT_EQ(publish({source.path(), root.path()}).status, 0);
    EXPECT_TRUE(read_file(download_dir(root) + "/" + list_name) == first_list) << "the same release gave another list";

    write_file(source.file("brimvale_client_1.105"), "rebuilt 105, longer\n");
    write_file(source.file("brimvale_client_1.107"), "new 107\n");
    tool_run run = publish({source.path(), root.path()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(download_dir(root) + "/brimvale_client_1.105"), "rebuilt 105, longer\n");
    EXPECT_EQ(gunzip(read_file(download_dir(root) + "/" + list_name)),
              entry_line("new 107\n", "brimvale_client_1.107") +
                  entry_line("rebuilt 105, longer\n", "brimvale_client_1.105") +
                  entry_line("first 104\n", "brimvale_client_1.104"));
}

TEST(publish, bad_input_is_reported_by_name_and_leaves_the_published_release_as_it_was)
{
    struct row {
        const char* name;
        // Prepares the folder of builds (which holds one good build) and
        // returns the tool's arguments.
        std::function<std::vector<std::string>(const temp_dir& source, const temp_dir& root)> setup;
        std::vector<std::string> expected_errors;
    };
    auto with_file = [](const std::string& name) {
        return [name](const temp_dir& source, const temp_dir& root) {
            write_file(source.file(name), "bad\n");
            return std::vector<std::string>{source.path(), root.path()};
        };
    };
    const std::string refused = "': the launcher refuses names with control characters or a \"..\" part.";
    const row rows[] = {
        {"missing_folder",
         [](const temp_dir& source, const temp_dir& root) {
             return std::vector<std::string>{source.file("nowhere"), root.path()};
         },
         {"Cannot read the folder of builds '@/nowhere': No such file or directory."}},
        {"empty_folder",
         [](const temp_dir& source, const temp_dir& root) {
             unlink(source.file("brimvale_client_1.105").c_str());
             return std::vector<std::string>{source.path(), root.path()};
         },
         {"The folder of builds '@' holds no files to publish."}},
        {"newline_in_name", with_file("client\nname"), {"Cannot publish '@/client\\nname" + refused}},
        {"carriage_return_in_name", with_file("client\r"), {"Cannot publish '@/client\\r" + refused}},
        {"dot_dot_part", with_file("up\\..\\client"), {"Cannot publish '@/up\\..\\client" + refused}},
        {"leading_blank", with_file(" client"),
         {"Cannot publish '@/ client': the launcher would read the name without its leading blanks."}},
        {"launcher_own_file", with_file("update_manifest.lst"),
         {"Cannot publish '@/update_manifest.lst': the launcher keeps a file of its own under this name"}},
        {"the_list_itself", with_file(list_name), {"Cannot publish '@/" + std::string(list_name) + "': the list"}},
        {"every_problem_at_once",
         [](const temp_dir& source, const temp_dir& root) {
             write_file(source.file("a\tb"), "bad\n");
             write_file(source.file("download.tmp"), "bad\n");
             return std::vector<std::string>{source.path(), root.path()};
         },
         {"Cannot publish '@/a\\tb'", "Cannot publish '@/download.tmp'"}},
        {"fifo",
         [](const temp_dir& source, const temp_dir& root) {
             EXPECT_EQ(mkfifo(source.file("pipe").c_str(), 0600), 0);
             return std::vector<std::string>{source.path(), root.path()};
         },
         {"Cannot publish '@/pipe': it is not a regular file."}},
        {"dangling_link",
         [](const temp_dir& source, const temp_dir& root) {
             EXPECT_EQ(symlink("gone", source.file("brimvale_client_1.106").c_str()), 0);
             return std::vector<std::string>{source.path(), root.path()};
         },
         {"Cannot read '@/brimvale_client_1.106': No such file or directory."}},
        {"unreadable_file",
         [](const temp_dir& source, const temp_dir& root) {
             write_file(source.file("brimvale_client_1.106"), "locked\n");
             EXPECT_EQ(chmod(source.file("brimvale_client_1.106").c_str(), 0), 0);
             return std::vector<std::string>{source.path(), root.path()};
         },
         // Root reads it all the same.
         {geteuid() == 0 ? "" : "Cannot read '@/brimvale_client_1.106': Permission denied."}},
        {"larger_than_the_size_field",
         [](const temp_dir& source, const temp_dir& root) {
             // Sparse: it costs no disk.
             write_file(source.file("huge"), "");
             EXPECT_EQ(truncate(source.file("huge").c_str(), 2147483648LL), 0);
             return std::vector<std::string>{source.path(), root.path()};
         },
         {"Cannot publish '@/huge': it has 2147483648 bytes, and the list holds sizes up to 2147483647."}},
        {"missing_document_root",
         [](const temp_dir& source, const temp_dir& root) {
             return std::vector<std::string>{source.path(), root.file("nowhere")};
         },
         {"Cannot use the document root '#/nowhere': No such file or directory."}},
        {"document_root_is_a_file",
         [](const temp_dir& source, const temp_dir& root) {
             return std::vector<std::string>{source.path(), root.file("downloads/vostel_v3/brimvale_client_1.104")};
         },
         {"The document root '#/downloads/vostel_v3/brimvale_client_1.104' is not a directory."}},
        {"publishing_the_download_directory_onto_itself",
         [](const temp_dir&, const temp_dir& root) {
             return std::vector<std::string>{root.file("downloads/vostel_v3"), root.path()};
         },
         {"The folder of builds '#/downloads/vostel_v3' is the download directory itself"}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        temp_dir source, root, release;
        write_file(release.file("brimvale_client_1.104"), "published before\n");
        ASSERT_EQ(publish({release.path(), root.path()}).status, 0);
        const std::string list_path = download_dir(root) + "/" + list_name;
        std::string list_before = read_file(list_path);
        std::vector<std::string> files_before = listing(download_dir(root));

        write_file(source.file("brimvale_client_1.105"), "good\n");
        tool_run run = publish(r.setup(source, root));
        if (r.expected_errors[0].empty()) {
            EXPECT_EQ(run.status, 0) << run.err;
            continue;
        }
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_EQ(run.out, "");
        for (std::string expected : r.expected_errors) {
            size_t at;
            while ((at = expected.find('@')) != std::string::npos)
                expected.replace(at, 1, source.path());
            while ((at = expected.find('#')) != std::string::npos)
                expected.replace(at, 1, root.path());
            EXPECT_NE(run.err.find("brimvale-publish: error: " + expected), std::string::npos)
                << "expected: " << expected << "\nstandard error:\n"
                << run.err;
        }
        EXPECT_TRUE(read_file(list_path) == list_before) << "the list changed";
        EXPECT_EQ(listing(download_dir(root)), files_before);
        EXPECT_EQ(read_file(download_dir(root) + "/brimvale_client_1.104"), "published before\n");
    }
}

TEST(publish, usage)
{
    tool_run help = publish({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: brimvale-publish SOURCE_DIR DOCUMENT_ROOT\n", 0), 0u) << help.out;

    temp_dir dir;
    const std::vector<std::vector<std::string>> wrong = {
        {}, {dir.path()}, {dir.path(), dir.path(), dir.path()}, {"-r", dir.path(), dir.path()}};
    for (const auto& arguments : wrong) {
        tool_run run = publish(arguments);
        EXPECT_EQ(run.status, 2) << arguments.size() << " arguments";
        EXPECT_NE(run.err.find("Usage: brimvale-publish SOURCE_DIR DOCUMENT_ROOT"), std::string::npos) << run.err;
    }
}
