#include "base/config_dir.h"

#include <functional>
#include <grp.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

const uid_t unprivileged_id = 65534;

// Runs body in a forked child and returns its exit status (-1 if it did not
// exit). A root test process first becomes an unprivileged user there, for
// whom permission bits mean something. The child's set-up state dies with
// it, and _exit keeps it from tearing down the parent's fixtures.
int run_unprivileged(const std::function<int()>& body)
{
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(unprivileged_id) != 0 || setuid(unprivileged_id) != 0))
            _exit(99);
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int permission_bits(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? (int)(status.st_mode & 07777) : -1;
}

bool same_entry(const std::string& a, const std::string& b)
{
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

std::string recorded()
{
    const char* path = quon_client_get_config_directory();
    return path ? path : "(none)";
}

// The "Checking config directory" lines of a log, in order.
std::vector<std::string> checked(const std::string& log)
{
    const std::string marker = "quon_client_configdir.info Checking config directory: ";
    std::vector<std::string> lines;
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
        size_t start = at + marker.size();
        lines.push_back(log.substr(start, log.find('\n', start) - start));
    }
    return lines;
}

// A home and a working directory of their own for each test; HOME and the
// working directory are given back afterwards.
class config_dir : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* home = getenv("HOME");
        had_home_ = home != nullptr;
        saved_home_ = home ? home : "";
        ASSERT_TRUE(getcwd(saved_cwd_, sizeof(saved_cwd_)));
        char canonical[PATH_MAX];
        ASSERT_TRUE(realpath(dir_.path().c_str(), canonical));
        root_ = canonical;
        home_ = root_ + "/home";
        work_ = root_ + "/work";
        ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(work_.c_str(), 0700), 0);
        setenv("HOME", home_.c_str(), 1);
        ASSERT_EQ(chdir(work_.c_str()), 0);
    }

    void TearDown() override
    {
        EXPECT_EQ(chdir(saved_cwd_), 0);
        if (had_home_)
            setenv("HOME", saved_home_.c_str(), 1);
        else
            unsetenv("HOME");
    }

    temp_dir dir_;
    std::string root_, home_, work_;
    bool had_home_ = false;
    std::string saved_home_;
    char saved_cwd_[PATH_MAX];
};

}  // namespace

TEST_F(config_dir, fresh_home_is_chosen_and_entered)
{
    log_capture log;
    quon_string_buffer reason;
    ASSERT_EQ(quon_client_cd_to_config_directory("Brimvale", reason), 1);
    std::string chosen = home_ + "/.Brimvale";
    EXPECT_EQ(checked(log.text()), std::vector<std::string>{chosen});
    EXPECT_EQ(log.count("quon_client_configdir.info quon_client_set_up_config_directory() - got final config "
                        "directory '" + chosen + "'\n"),
              1);
    EXPECT_EQ(recorded(), chosen);
    EXPECT_EQ(permission_bits(chosen), 0700);
    char here[PATH_MAX];
    ASSERT_TRUE(getcwd(here, sizeof(here)));
    EXPECT_EQ(std::string(here), chosen);
    EXPECT_EQ(reason.length(), 0);
}

TEST_F(config_dir, candidates_are_tried_in_order)
{
    // The /tmp candidate is real, so its name is this process's own.
    const std::string name = "brimvale-configdir-test-" + std::to_string(getpid());
    const std::string in_tmp = "/tmp/" + name;
    const std::string home_file = root_ + "/home_is_a_file";
    write_file(home_file, "x");
    setenv("HOME", home_file.c_str(), 1);
    const std::string hidden = work_ + "/." + name, plain = work_ + "/" + name;
    auto remove_candidates = [&] {
        EXPECT_EQ(system(("rm -rf '" + hidden + "' '" + plain + "' '" + in_tmp + "'").c_str()), 0);
    };
    auto block = [](const std::string& path) { write_file(path, "a file where a directory would go"); };
    struct {
        const char* name;
        std::function<void()> prepare;
        std::string chosen;  // empty: every candidate fails
    } rows[] = {
        {"unusable home falls back to the working directory", [] {}, hidden},
        {"then to /tmp", [&] { block(hidden); }, in_tmp},
        {"a world-writable /tmp candidate is refused",
         [&] {
             block(hidden);
             ASSERT_EQ(mkdir(in_tmp.c_str(), 0700), 0);
             ASSERT_EQ(chmod(in_tmp.c_str(), 0777), 0);
         },
         plain},
        {"nothing usable",
         [&] {
             block(hidden);
             block(in_tmp);
             block(plain);
         },
         ""},
    };
    const std::vector<std::string> order = {home_file + "/." + name, hidden, in_tmp, plain};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(chdir(work_.c_str()), 0);
        remove_candidates();
        row.prepare();
        log_capture log;
        quon_string_buffer reason;
        reason.append("Reason: ");
        int result = quon_client_cd_to_config_directory(name.c_str(), reason);
        std::vector<std::string> expected;
        for (const std::string& candidate : order) {
            bool is_chosen = candidate == row.chosen;
            expected.push_back(candidate + (is_chosen ? "" : " [FAIL]"));
            if (is_chosen)
                break;
        }
        EXPECT_EQ(checked(log.text()), expected);
        if (row.chosen.empty()) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(std::string(reason.c_str()), "Reason: unable to get at system config directory");
            EXPECT_TRUE(log.contains("quon_client_configdir.ferr quon_client_set_up_config_directory() - Giving "
                                     "up.  Cannot create config directory.\n"));
            continue;
        }
        EXPECT_EQ(result, 1);
        EXPECT_EQ(recorded(), row.chosen);
        // Recorded absolute, so a path built from it still reaches the
        // directory once the process is inside it.
        EXPECT_TRUE(same_entry(".", row.chosen));
        write_file(recorded() + "/launcher.cfg", "x");
        EXPECT_TRUE(file_exists(row.chosen + "/launcher.cfg"));
        EXPECT_EQ(permission_bits(row.chosen), 0700);
    }
    remove_candidates();
}

TEST_F(config_dir, unwritable_and_empty_home_fall_back)
{
    // As root the bits would not stop the writes, and "/." + name would land
    // in the real root; the set-up therefore runs as an unprivileged user.
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    ASSERT_EQ(chmod(home_.c_str(), 0555), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(work_.c_str(), unprivileged_id, unprivileged_id), 0);
    }
    struct {
        const char* name;
        std::string home;
        std::string first_check;
    } rows[] = {
        {"read-only home", home_, home_ + "/.Brimvale [FAIL]"},
        {"empty HOME", "", "/.Brimvale [FAIL]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        log_capture log;
        std::string result_file = work_ + "/recorded.txt";
        int status = run_unprivileged([&] {
            setenv("HOME", row.home.c_str(), 1);
            int result = quon_client_set_up_config_directory("Brimvale");
            write_file(result_file, recorded());
            return result;
        });
        EXPECT_EQ(status, 1);
        EXPECT_EQ(checked(log.text()), (std::vector<std::string>{row.first_check, work_ + "/.Brimvale"}));
        EXPECT_EQ(read_file(result_file), work_ + "/.Brimvale");
    }
}

TEST_F(config_dir, unset_home_tries_nothing)
{
    unsetenv("HOME");
    log_capture log;
    quon_string_buffer reason;
    reason.append("Reason: ");
    EXPECT_EQ(quon_client_cd_to_config_directory("Brimvale", reason), 0);
    EXPECT_EQ(std::string(reason.c_str()), "Reason: unable to get at system config directory");
    EXPECT_TRUE(log.contains("quon_client_configdir.sanity Error in quon_client_set_up_config_directory(), unable "
                             "to fetch home directory - please set HOME environment variable and restart.\n"));
    EXPECT_TRUE(checked(log.text()).empty());
    EXPECT_EQ(quon_client_set_up_config_directory(nullptr), 0);
}

TEST_F(config_dir, a_second_set_up_is_reported_and_replaces_the_path)
{
    log_capture log;
    ASSERT_EQ(quon_client_set_up_config_directory("First"), 1);
    log.clear();
    ASSERT_EQ(quon_client_set_up_config_directory("Second"), 1);
    EXPECT_TRUE(log.contains("quon_client_configdir.sanity Error in quon_client_set_up_config_directory(), attempt "
                             "to change config directory path after initial configuration.\n"));
    EXPECT_TRUE(log.contains("quon_client_configdir.info Old path '" + home_ + "/.First', new base name 'Second'\n"));
    EXPECT_EQ(recorded(), home_ + "/.Second");
}

TEST_F(config_dir, existing_directories_must_be_private)
{
    const bool root = geteuid() == 0;
    const std::string good = root_ + "/good";
    ASSERT_EQ(mkdir(good.c_str(), 0700), 0);
    auto make = [](const std::string& path, mode_t mode) {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    };
    struct {
        const char* name;
        std::function<void(const std::string&)> prepare;
        int usable;
        bool needs_root;  // foreign ownership needs chown
    } rows[] = {
        {"new directory", [](const std::string&) {}, 1, false},
        {"existing private directory", [&](const std::string& p) { make(p, 0700); }, 1, false},
        {"group-writable", [&](const std::string& p) { make(p, 0770); }, 0, false},
        {"world-writable", [&](const std::string& p) { make(p, 0707); }, 0, false},
        {"sticky like /tmp", [&](const std::string& p) { make(p, 01777); }, 0, false},
        {"regular file", [](const std::string& p) { write_file(p, "x"); }, 0, false},
        {"own link to a private directory",
         [&](const std::string& p) { ASSERT_EQ(symlink(good.c_str(), p.c_str()), 0); }, 1, false},
        {"owned by another user",
         [&](const std::string& p) {
             make(p, 0700);
             ASSERT_EQ(chown(p.c_str(), unprivileged_id, unprivileged_id), 0);
         },
         0, true},
        {"another user's link to a private directory",
         [&](const std::string& p) {
             ASSERT_EQ(symlink(good.c_str(), p.c_str()), 0);
             ASSERT_EQ(lchown(p.c_str(), unprivileged_id, unprivileged_id), 0);
         },
         0, true},
    };
    int index = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.needs_root && !root)
            continue;
        std::string path = root_ + "/candidate" + std::to_string(index++);
        row.prepare(path);
        log_capture log;
        EXPECT_EQ(check_config_directory(path.c_str()), row.usable);
        EXPECT_EQ(log.text(), "quon_client_configdir.info Checking config directory: " + path +
                                  (row.usable ? "" : " [FAIL]") + "\n");
    }
}
