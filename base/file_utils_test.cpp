#include "base/file_utils.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

const uid_t unprivileged_id = 65534;

// Runs body in a forked child and returns its exit status (-1 if it did not
// exit). With drop_root, a root test process first becomes an unprivileged
// user, for whom permission bits mean something. The child ends with _exit
// so that no fixture of the parent is torn down twice.
int run_in_child(const std::function<int()>& body, bool drop_root = false)
{
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (drop_root && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(unprivileged_id) != 0 || setuid(unprivileged_id) != 0))
            _exit(99);
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> directory_entries(const std::string& path)
{
    std::vector<std::string> names;
    DIR* directory = opendir(path.c_str());
    if (!directory)
        return names;
    while (struct dirent* entry = readdir(directory))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(directory);
    return names;
}

bool is_directory(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

int permission_bits(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? (int)(status.st_mode & 07777) : -1;
}

bool is_close_on_exec(int descriptor)
{
    int flags = fcntl(descriptor, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC);
}

struct cwd_guard {
    char saved[4096];
    cwd_guard() { EXPECT_TRUE(getcwd(saved, sizeof(saved))); }
    ~cwd_guard() { EXPECT_EQ(chdir(saved), 0); }
};

struct umask_guard {
    mode_t saved;
    explicit umask_guard(mode_t mask) : saved(umask(mask)) {}
    ~umask_guard() { umask(saved); }
};

}  // namespace

TEST(fget_line, returns_lines_and_lengths)
{
    struct expected_line {
        int result;
        std::string text;
    };
    const std::string a1022(1022, 'a'), a1023(1023, 'a'), b2000(2000, 'b');
    struct {
        const char* name;
        std::string content;
        std::vector<expected_line> lines;
        int overflow_warnings;
    } rows[] = {
        {"empty file", "", {}, 0},
        {"only a newline", "\n", {{1, ""}}, 0},
        {"last line without newline", "one\ntwo", {{4, "one"}, {4, "two"}}, 0},
        {"CR LF reads as line and empty line", "a\r\nbc\r\n", {{2, "a"}, {1, ""}, {3, "bc"}, {1, ""}}, 0},
        {"bare CR ends a line", "a\rb", {{2, "a"}, {2, "b"}}, 0},
        {"NUL ends a line", std::string("a\0b\n", 4), {{2, "a"}, {2, "b"}}, 0},
        {"1022 characters fit", a1022 + "\nnext\n", {{1023, a1022}, {5, "next"}}, 0},
        {"1023 characters fill the buffer", a1023 + "\nnext\n", {{1024, a1023}, {5, "next"}}, 1},
        {"1024 characters lose the last", a1023 + "z\nnext\n", {{1024, a1023}, {5, "next"}}, 1},
        {"2000 characters are cut", b2000 + "\nnext", {{1024, std::string(1023, 'b')}, {5, "next"}}, 1},
        {"overlong line at end of file", b2000, {{1024, std::string(1023, 'b')}}, 1},
    };
    temp_dir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        log_capture log;
        std::string path = dir.file("lines.txt");
        write_file(path, row.content);
        FILE* file = quon_fopen(path.c_str(), "rb");
        ASSERT_TRUE(file);
        char buffer[1024];
        for (const expected_line& line : row.lines) {
            EXPECT_EQ(fget_line(file, buffer, sizeof(buffer)), line.result);
            EXPECT_EQ(std::string(buffer), line.text);
        }
        strcpy(buffer, "untouched");
        EXPECT_EQ(fget_line(file, buffer, sizeof(buffer)), 0);
        EXPECT_STREQ(buffer, "untouched");
        EXPECT_EQ(fget_line(file, buffer, sizeof(buffer)), 0);
        quon_fclose(file);
        EXPECT_EQ(log.count("quon_core.softfail Warning in fget_line(), string overflow.  String was:\n"),
                  row.overflow_warnings);
    }
}

TEST(fget_line, overflow_report_names_the_stored_text)
{
    temp_dir dir;
    std::string path = dir.file("small.txt");
    write_file(path, "abcdefgh\n\nxyz\n");
    log_capture log;
    FILE* file = quon_fopen(path.c_str(), "rb");
    ASSERT_TRUE(file);
    char buffer[4];
    EXPECT_EQ(fget_line(file, buffer, sizeof(buffer)), 4);
    EXPECT_STREQ(buffer, "abc");
    // An empty line never counts as an overflow, even in a tiny buffer.
    char tiny[1];
    EXPECT_EQ(fget_line(file, tiny, sizeof(tiny)), 1);
    EXPECT_EQ(fget_line(file, tiny, sizeof(tiny)), 1);
    EXPECT_STREQ(tiny, "");
    quon_fclose(file);
    EXPECT_EQ(log.text(),
              "quon_core.softfail Warning in fget_line(), string overflow.  String was:\n"
              "quon_core.softfail abc\n"
              "quon_core.softfail Warning in fget_line(), string overflow.  String was:\n"
              "quon_core.softfail \n");
}

TEST(recursive_mkdir, creates_what_precedes_a_separator)
{
    struct {
        const char* name;
        const char* path;
        std::vector<std::string> created;
        std::vector<std::string> absent;
    } rows[] = {
        {"last component is a file name", "x/y", {"x"}, {"x/y"}},
        {"trailing slash creates all", "a/b/c/", {"a", "a/b", "a/b/c"}, {}},
        {"doubled separators are skipped", "d//e/", {"d", "d/e"}, {}},
        {"backslashes separate too", "p\\q\\r", {"p", "p/q"}, {"p/q/r"}},
        {"existing ancestors are fine", "a/b/n/", {"a/b/n"}, {}},
        {"no separator creates nothing", "plain", {}, {"plain"}},
    };
    temp_dir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = dir.path() + "/" + row.path;
        EXPECT_EQ(quon_recursive_mkdir(path.c_str(), 0700, nullptr), 1);
        for (const std::string& made : row.created) {
            EXPECT_TRUE(is_directory(dir.file(made))) << made;
            EXPECT_EQ(permission_bits(dir.file(made)), 0700) << made;
        }
        for (const std::string& missing : row.absent)
            EXPECT_FALSE(file_exists(dir.file(missing))) << missing;
    }

    // Relative paths, and a leading backslash standing for the root.
    cwd_guard cwd;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(quon_recursive_mkdir("rel/sub/", 0700), 1);
    EXPECT_TRUE(is_directory(dir.file("rel/sub")));
    std::string backslashed = "\\" + dir.path().substr(1) + "\\root\\";
    EXPECT_EQ(quon_recursive_mkdir(backslashed.c_str(), 0700), 1);
    EXPECT_TRUE(is_directory(dir.file("root")));
}

TEST(recursive_mkdir, reports_the_failing_path)
{
    temp_dir dir;
    write_file(dir.file("f"), "not a directory");
    log_capture log;

    quon_string_buffer error;
    std::string through_file = dir.file("f/g/h");
    errno = 0;
    EXPECT_EQ(quon_recursive_mkdir(through_file.c_str(), 0700, &error), 0);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(std::string(error.c_str()), dir.file("f/g"));

    // A path too long for a buffer must not create its cut-off prefix.
    std::string huge = dir.path() + "/" + std::string(6000, 'q') + "/";
    errno = 0;
    EXPECT_EQ(quon_recursive_mkdir(huge.c_str(), 0700, nullptr), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(directory_entries(dir.path()) == std::vector<std::string>{"f"});

    EXPECT_EQ(quon_recursive_mkdir(nullptr, 0700, nullptr), 0);
    EXPECT_EQ(log.text(), "quon_core.sanity Error in quon_recursive_mkdir(), NULL path.\n");
}

TEST(writeable_directory, creates_the_directory_and_leaves_no_probe)
{
    temp_dir dir;
    std::string nested = dir.file("n/m");
    EXPECT_EQ(quon_create_and_check_writeable_directory(nested.c_str(), 0755, nullptr), 1);
    EXPECT_EQ(permission_bits(dir.file("n")), 0700);
    EXPECT_EQ(permission_bits(nested), 0700);
    EXPECT_TRUE(directory_entries(nested).empty());

    // The empty path is the working directory.
    cwd_guard cwd;
    ASSERT_EQ(chdir(nested.c_str()), 0);
    EXPECT_EQ(quon_create_and_check_writeable_directory("", 0700, nullptr), 1);
    EXPECT_TRUE(directory_entries(nested).empty());
}

TEST(writeable_directory, fails_where_nothing_can_be_created)
{
    temp_dir dir;
    write_file(dir.file("file"), "x");
    quon_string_buffer error;
    std::string under_file = dir.file("file/sub");
    EXPECT_EQ(quon_create_and_check_writeable_directory(under_file.c_str(), 0700, &error), 0);
    EXPECT_EQ(std::string(error.c_str()), under_file);

    // Without write permission (root ignores the bits, so the check runs as
    // an unprivileged user): the probe's name lands in the error buffer and
    // nothing is left behind.
    std::string locked = dir.file("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
    std::string error_file = dir.file("error.txt");
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    int status = run_in_child(
        [&] {
            quon_string_buffer probe_error;
            int result = quon_create_and_check_writeable_directory(locked.c_str(), 0700, &probe_error);
            write_file(error_file, probe_error.c_str());
            return result;
        },
        true);
    EXPECT_EQ(status, 0);
    std::string probe = read_file(error_file);
    ASSERT_EQ(probe.size(), locked.size() + 13) << probe;
    EXPECT_EQ(probe.substr(0, locked.size() + 3), locked + "/xx");
    for (size_t i = locked.size() + 3; i < locked.size() + 9; i++)
        EXPECT_TRUE((probe[i] >= '0' && probe[i] <= '9') || (probe[i] >= 'a' && probe[i] <= 'v')) << probe;
    EXPECT_EQ(probe.substr(locked.size() + 9), ".qqq");
    EXPECT_TRUE(directory_entries(locked).empty());

    log_capture log;
    EXPECT_EQ(quon_create_and_check_writeable_directory(nullptr, 0700, nullptr), 0);
    EXPECT_EQ(log.text(), "quon_core.sanity Error in quon_create_and_check_writeable_directory(), NULL path.\n");
}

TEST(lock_file, excludes_other_processes_until_released)
{
    temp_dir dir;
    std::string path = dir.file("lock.tmp");
    auto other_process_locks = [&] { return run_in_child([&] { return quon_lock_file(path.c_str()) >= 0; }); };

    int held = quon_lock_file(path.c_str());
    ASSERT_GE(held, 0);
    EXPECT_EQ(permission_bits(path), 0600);
    // The client that replaces the launcher by exec must not inherit it.
    EXPECT_TRUE(is_close_on_exec(held));
    EXPECT_EQ(other_process_locks(), 0);
    EXPECT_EQ(quon_unlock_file(held), 1);
    EXPECT_EQ(other_process_locks(), 1);

    // A lock held by another process goes away when that process ends.
    int ready[2], finish[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(finish), 0);
    fflush(nullptr);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        char byte = quon_lock_file(path.c_str()) >= 0 ? 'y' : 'n';
        if (write(ready[1], &byte, 1) != 1 || read(finish[0], &byte, 1) < 0)
            _exit(2);
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');
    errno = 0;
    EXPECT_EQ(quon_lock_file(path.c_str()), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EACCES) << errno;
    ASSERT_EQ(write(finish[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    for (int descriptor : {ready[0], ready[1], finish[0], finish[1]})
        close(descriptor);
    int again = quon_lock_file(path.c_str());
    EXPECT_GE(again, 0);
    EXPECT_EQ(quon_unlock_file(again), 1);

    EXPECT_EQ(quon_unlock_file(-1), 0);
    EXPECT_EQ(quon_lock_file(dir.file("missing/lock.tmp").c_str()), -1);
}

TEST(file_info, reports_type_size_and_time)
{
    temp_dir dir;
    write_file(dir.file("file"), "12345");
    struct utimbuf times = {1000000000, 1234567890};
    ASSERT_EQ(utime(dir.file("file").c_str(), &times), 0);
    ASSERT_EQ(symlink(dir.file("file").c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    struct {
        const char* name;
        int exists, is_directory, is_regular_file;
        int64_t size, modification_time;
    } rows[] = {
        {"file", 1, 0, 1, 5, 1234567890},
        {"link", 1, 0, 1, 5, 1234567890},
        {"fifo", 1, 0, 0, 0, -1},
        {"", 1, 1, 0, -1, -1},
        {"missing", 0, 0, 0, -1, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        quon_file_info info = {7, 7, -7, -7};
        std::string path = *row.name ? dir.file(row.name) : dir.path();
        EXPECT_EQ(quon_filename_get_file_info(path.c_str(), &info), row.exists);
        if (!row.exists) {
            EXPECT_EQ(info.is_directory, 7);
            EXPECT_EQ(info.size, -7);
            continue;
        }
        EXPECT_EQ(info.is_directory, row.is_directory);
        EXPECT_EQ(info.is_regular_file, row.is_regular_file);
        if (row.size >= 0) {
            EXPECT_EQ(info.size, row.size);
        }
        if (row.modification_time >= 0) {
            EXPECT_EQ(info.modification_time, row.modification_time);
        }
    }
    log_capture log;
    EXPECT_EQ(quon_filename_get_file_info(dir.file("file").c_str(), nullptr), 0);
    EXPECT_EQ(log.text(), "quon_core.sanity Error in quon_filename_get_file_info(), NULL dest.\n");
}

TEST(file_utils, descriptors_are_close_on_exec)
{
    temp_dir dir;
    write_file(dir.file("existing"), "text");
    for (const char* mode : {"rb", "r", "wb", "a+", "r+b", "re"}) {
        SCOPED_TRACE(mode);
        FILE* file = quon_fopen(dir.file("existing").c_str(), mode);
        ASSERT_TRUE(file);
        EXPECT_TRUE(is_close_on_exec(fileno(file)));
        quon_fclose(file);
    }
    EXPECT_FALSE(quon_fopen(dir.file("missing").c_str(), "rb"));
    quon_fclose(nullptr);
}

TEST(file_utils, cwd_unlink_and_chdir_pass_results_through)
{
    temp_dir dir;
    cwd_guard cwd;
    EXPECT_EQ(quon_chdir(dir.path().c_str()), 0);
    char here[4096];
    ASSERT_EQ(quon_getcwd(here, sizeof(here)), here);
    EXPECT_EQ(std::string(here), dir.path());
    EXPECT_EQ(quon_getcwd(here, 2), nullptr);
    EXPECT_EQ(quon_chdir("missing"), -1);
    write_file("gone", "x");
    EXPECT_EQ(quon_unlink("gone"), 0);
    EXPECT_FALSE(file_exists("gone"));
    errno = 0;
    EXPECT_EQ(quon_unlink("gone"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(replacement, commit_swaps_in_the_new_content)
{
    temp_dir dir;
    std::string path = dir.file("launcher.cfg");
    for (mode_t mask : {022, 077}) {
        SCOPED_TRACE(mask);
        umask_guard guard(mask);
        write_file(path, "old");
        quon_string_buffer temporary;
        FILE* file = quon_open_replacement(path.c_str(), temporary);
        ASSERT_TRUE(file);
        EXPECT_TRUE(is_close_on_exec(fileno(file)));
        std::string name = temporary.c_str();
        EXPECT_EQ(name.substr(0, path.size() + 5), path + ".tmp-");
        EXPECT_EQ(name.size(), path.size() + 11);
        EXPECT_EQ(permission_bits(name), 0644 & ~(int)mask);
        fputs("new content", file);
        fflush(file);
        // Until the commit, the file keeps its old content.
        EXPECT_EQ(read_file(path), "old");
        EXPECT_EQ(quon_commit_replacement(file, temporary.c_str(), path.c_str()), 1);
        EXPECT_EQ(read_file(path), "new content");
        EXPECT_EQ(permission_bits(path), 0644 & ~(int)mask);
        EXPECT_TRUE(directory_entries(dir.path()) == std::vector<std::string>{"launcher.cfg"});
    }

    // A file that did not exist yet, named without a directory.
    cwd_guard cwd;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    quon_string_buffer temporary;
    FILE* file = quon_open_replacement("bootname.txt", temporary);
    ASSERT_TRUE(file);
    fputs("client_v2", file);
    EXPECT_EQ(quon_commit_replacement(file, temporary.c_str(), "bootname.txt"), 1);
    EXPECT_EQ(read_file(dir.file("bootname.txt")), "client_v2");
}

TEST(replacement, failures_keep_the_old_file_and_remove_the_temporary)
{
    temp_dir dir;
    std::string path = dir.file("update_manifest.lst");
    write_file(path, "old manifest");

    // The rename fails: the target is a directory that is not empty.
    std::string blocked = dir.file("blocked");
    ASSERT_EQ(mkdir(blocked.c_str(), 0700), 0);
    write_file(blocked + "/inside", "x");
    quon_string_buffer temporary;
    FILE* file = quon_open_replacement(blocked.c_str(), temporary);
    ASSERT_TRUE(file);
    fputs("data", file);
    EXPECT_EQ(quon_commit_replacement(file, temporary.c_str(), blocked.c_str()), 0);
    EXPECT_FALSE(file_exists(temporary.c_str()));
    EXPECT_TRUE(is_directory(blocked));

    // Writing fails for want of room: a file size limit stands in for a full
    // disk, in a child so that the limit does not outlive the case.
    int status = run_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {100, 100};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
        quon_string_buffer name;
        FILE* replacement = quon_open_replacement(path.c_str(), name);
        if (!replacement)
            return 3;
        std::string big(100000, 'm');
        fwrite(big.data(), 1, big.size(), replacement);
        return quon_commit_replacement(replacement, name.c_str(), path.c_str());
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(path), "old manifest");
    EXPECT_EQ(directory_entries(dir.path()).size(), 2u);

    // A directory that does not exist gives no file and no name.
    temporary.assign("stale");
    errno = 0;
    EXPECT_FALSE(quon_open_replacement(dir.file("missing/file").c_str(), temporary));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(temporary.length(), 0);

    log_capture log;
    EXPECT_EQ(quon_commit_replacement(nullptr, "", path.c_str()), 0);
    EXPECT_EQ(read_file(path), "old manifest");
    EXPECT_TRUE(log.contains("quon_core.sanity Error in quon_commit_replacement(), NULL file or path.\n"));
}

TEST(replacement, fsync_directory_of_finds_the_directory)
{
    temp_dir dir;
    cwd_guard cwd;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    struct {
        std::string path;
        int result;
    } rows[] = {
        {dir.file("file"), 1},
        {"bare_name", 1},
        {"/at_root", 1},
        {dir.file("missing/file"), 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(quon_fsync_directory_of(row.path.c_str()), row.result) << row.path;
}

// The hint flushes what the stream holds, so the file has it at once; a
// range it cannot name is refused without touching the stream.
TEST(writeback, start_writeback_flushes_the_stream_first)
{
    temp_dir dir;
    FILE* file = quon_fopen(dir.file("out").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fputs("written so far", file);
    EXPECT_EQ(read_file(dir.file("out")), "");
    EXPECT_EQ(quon_start_writeback(file, 0, 14), 1);
    EXPECT_EQ(read_file(dir.file("out")), "written so far");
    EXPECT_EQ(quon_start_writeback(file, 0, 0), 0);
    EXPECT_EQ(quon_start_writeback(file, -1, 14), 0);
    EXPECT_EQ(quon_start_writeback(nullptr, 0, 14), 0);
    quon_fclose(file);
}
