#ifndef BRIMVALE_TESTS_E2E_UPDATE_FIXTURE_H
#define BRIMVALE_TESTS_E2E_UPDATE_FIXTURE_H

// The fixture of the update path's end-to-end tests: the real launcher
// under Xvfb, in a temporary HOME, against nginx or the fault server on
// 127.0.0.1:80 in a network namespace of the test's own. Each start ends in
// the exec of the fake client, which records how it was started.

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <zlib.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"

const std::string download_root = "/downloads/vostel_v3";
const std::string manifest_name = "manifest_linux64_executables.txt.gz";
const std::string manifest_url = download_root + "/" + manifest_name;
const std::string launcher_version = "1.105-g64-rc1";

enum {
    // One start until the client it became has ended; a stalled transfer
    // alone holds it for the downloader's 30-second idle limit.
    launch_timeout_ms = 120000,
    // nginx logs a request once it has finished it, which may be a moment
    // after the client saw the end.
    access_log_ms = 5000,
    access_log_settle_ms = 300,
    window_ms = 30000,
    // Throttled download: the build's size and the server's rate keep the
    // bar on screen for several seconds.
    throttled_padding = 768 * 1024,
    screenshot_poll_ms = 100,
};

// The launcher window and its bar, as the screen shows them.
const e2e_rect window_on_screen = {400, 362, 480, 300};
const e2e_rect bar_in_window = {10, 280, 460, 10};
const e2e_rgb bar_filled = {128, 128, 128};
const e2e_rgb bar_empty = {32, 32, 32};

inline std::string request_for(const std::string& path)
{
    return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\nAccept-Encoding: identity\r\n"
           "Connection: close\r\n\r\n";
}

inline std::string file_url(const std::string& name)
{
    return download_root + "/" + name;
}

// The remote manifest's text: the entry lines the server publishes.
inline std::string manifest_lines(const std::vector<e2e_manifest_entry>& entries)
{
    std::string text;
    for (const auto& entry : entries) {
        char size[32];
        snprintf(size, sizeof size, "%10ld", entry.size);
        text += entry.hash + " " + size + " " + entry.name + "\n";
    }
    return text;
}

inline std::string zlib_wrapped(const std::string& bytes)
{
    uLongf size = compressBound(bytes.size());
    std::string out(size, '\0');
    if (compress2((Bytef*)&out[0], &size, (const Bytef*)bytes.data(), bytes.size(), 9) != Z_OK) {
        ADD_FAILURE() << "compress2 failed";
        return "";
    }
    out.resize(size);
    return out;
}

inline std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

inline long now_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// Every regular file under dir, by its path relative to dir.
inline void list_files(const std::string& dir, const std::string& prefix, std::map<std::string, std::string>* out)
{
    DIR* listing = opendir(dir.c_str());
    if (!listing)
        return;
    while (struct dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat info;
        if (lstat(path.c_str(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode))
            list_files(path, prefix + name + "/", out);
        else
            (*out)[prefix + name] = read_file(path);
    }
    closedir(listing);
}

// One data directory, one X server and one update server per test, and
// the launcher started against them as often as the test likes.
class update_e2e : public ::testing::Test {
protected:
    void SetUp() override
    {
        E2E_REQUIRE_PRIVATE_NETWORK();
        E2E_REQUIRE(x_.start(), x_.reason());
        image_ = read_file(e2e_fake_client_path());
        ASSERT_FALSE(image_.empty()) << "the fake client is not built: " << e2e_fake_client_path();
    }

    // A client build: the fake client followed by a trailer naming the
    // build, so every build has bytes and a hash of its own.
    std::string build(const std::string& label, size_t padding = 0) const
    {
        return image_ + "\n# brimvale test build " + label + "\n" + std::string(padding, '=');
    }

    // Puts content on the update site under name, as a publisher would.
    e2e_manifest_entry put_on_site(const std::string& name, const std::string& content)
    {
        std::string path = site_path(name);
        EXPECT_EQ(e2e_make_dirs(path.substr(0, path.rfind('/'))), 1) << path;
        write_file(path, content);
        whole_builds_[name].insert(content);
        return e2e_manifest_entry{name, e2e_sha256(content), (long)content.size()};
    }
    std::string site_path(const std::string& name) const { return site_.path() + file_url(name); }
    // Publishes a release: the builds, then the manifest that lists them
    // newest first.
    std::vector<e2e_manifest_entry> publish(const std::vector<std::string>& names)
    {
        std::vector<e2e_manifest_entry> entries;
        for (const auto& name : names)
            entries.push_back(put_on_site(name, build(name)));
        EXPECT_EQ(e2e_write_remote_manifest(site_path(manifest_name), entries), 1);
        return entries;
    }

    // Places a file in the data directory as an earlier run would have.
    e2e_manifest_entry install(const std::string& name, const std::string& content)
    {
        whole_builds_[name].insert(content);
        return home_.install_file(name, content);
    }
    void record_locally(const std::vector<e2e_manifest_entry>& entries)
    {
        ASSERT_EQ(e2e_write_local_manifest(home_.manifest_path(), entries), 1);
    }

    int serve_with_nginx(const std::vector<e2e_nginx_location>& locations = {})
    {
        nginx_.reset(new e2e_nginx);
        return nginx_->start(site_.path(), locations);
    }
    // routes: the JSON members of the scenario's "routes" object; every
    // other path is answered from the site.
    int serve_with_fault_server(const std::string& routes = "")
    {
        faults_.reset(new e2e_fault_server);
        return faults_->start("{\"root\": " + e2e_json_string(site_.path()) + ", \"routes\": {" + routes + "}}");
    }

    void start_launcher(const std::vector<std::string>& arguments = {}, bool exits_without_exec = false)
    {
        log_offset_ = home_.log_text().size();
        runs_before_ = home_.runs().size();
        launcher_.reset(new e2e_process);
        e2e_command command = e2e_launcher_command(home_, x_.display(), arguments);
        for (const auto& variable : launcher_env_)
            command.set(variable.first, variable.second);
        command.program = launcher_program_;
        // Only a process that ends by itself reports leaks at exit; an
        // exec'd launcher never does.
        if (exits_without_exec)
            command.set("ASAN_OPTIONS", "detect_leaks=0");
        started_ms_ = now_ms();
        ASSERT_EQ(launcher_->start(command), 1);
    }
    // Waits for the launcher, and the client it became, to end: the exit
    // status, or -1 when it was killed or timed out.
    int finish_launcher()
    {
        launcher_->wait(launch_timeout_ms);
        run_ms_ = now_ms() - started_ms_;
        return launcher_->exited() ? launcher_->exit_status() : -1;
    }
    int launch(const std::vector<std::string>& arguments = {}, bool exits_without_exec = false)
    {
        start_launcher(arguments, exits_without_exec);
        return launcher_ && launcher_->pid() > 0 ? finish_launcher() : -1;
    }

    // What this start wrote to the log (the file is appended across runs).
    std::string launch_log() const
    {
        std::string text = home_.log_text();
        return text.size() >= log_offset_ ? text.substr(log_offset_) : text;
    }
    std::string failure_context() const
    {
        return (launcher_ ? launcher_->describe() : std::string("no launcher")) + "\n--- launcher log ---\n" +
               launch_log();
    }

    // The last start replaced itself with executables/name, which saw the
    // argument vector name, "-l", the version, the data directory as its
    // working directory and no descriptor above 2.
    void expect_booted(const std::string& name)
    {
        EXPECT_EQ(launcher_->exit_status(), 0) << failure_context();
        std::vector<e2e_client_run> runs = home_.runs();
        ASSERT_EQ(runs.size(), runs_before_ + 1) << "expected one boot of " << name << "\n" << failure_context();
        const e2e_client_run& run = runs.back();
        EXPECT_EQ(run.argv, (std::vector<std::string>{name, "-l", launcher_version})) << failure_context();
        EXPECT_EQ(run.pid, (long)launcher_->pid()) << "the client must replace the launcher";
        EXPECT_EQ(run.cwd, home_.data_dir());
        std::string inherited;
        for (size_t i = 0; i < run.fds.size(); i++)
            inherited += " " + std::to_string(run.fds[i]) + ":" + run.fd_targets[i];
        EXPECT_TRUE(run.fds.empty()) << "descriptors the client inherited:" << inherited;
        // A client told to confirm its start empties the file again.
        bool confirms = false;
        for (const auto& variable : launcher_env_)
            confirms = confirms || variable.first == "FAKE_CLIENT_CONFIRMS_BOOT";
        EXPECT_EQ(read_file(home_.bootname_path()), confirms ? "" : name + "\n");
    }
    void expect_not_booted()
    {
        EXPECT_EQ(home_.runs().size(), runs_before_) << failure_context();
    }

    // Requests nginx served since the last call, as "STATUS REQUEST-LINE",
    // once at least count of them are logged.
    std::vector<std::string> nginx_requests(size_t count)
    {
        nginx_->wait_for_requests(nginx_seen_ + count, access_log_ms);
        struct timespec settle = {0, access_log_settle_ms * 1000000L};
        nanosleep(&settle, nullptr);
        std::vector<e2e_access_entry> all = nginx_->requests();
        std::vector<std::string> lines;
        for (size_t i = nginx_seen_; i < all.size(); i++)
            lines.push_back(std::to_string(all[i].status) + " " + all[i].request);
        nginx_seen_ = all.size();
        return lines;
    }
    // The request lines of a start that fetched the manifest and then
    // exactly the files named, in order.
    static std::vector<std::string> fetched(const std::vector<std::string>& names)
    {
        std::vector<std::string> lines = {"200 GET " + manifest_url + " HTTP/1.1"};
        for (const auto& name : names)
            lines.push_back("200 GET " + file_url(name) + " HTTP/1.1");
        return lines;
    }
    std::vector<std::string> fault_server_targets() const
    {
        std::vector<std::string> lines;
        for (const auto& request : faults_->requests())
            lines.push_back(request.request_line());
        return lines;
    }

    std::map<std::string, std::string> executables() const
    {
        std::map<std::string, std::string> files;
        list_files(home_.executables_dir(), "", &files);
        return files;
    }
    // Files in executables/ that are neither the updater's own (its lock,
    // its manifest, the download in progress) nor byte for byte a build
    // published or installed under that name; "" when there are none. With
    // transients_allowed, the files that a run creates and removes again
    // (a replacement's ".tmp-XXXXXX" beside its file, the writability probe
    // "xxXXXXXX.qqq") pass too, for looking while a launcher runs or after
    // one was killed.
    std::string foreign_files(bool transients_allowed = false) const
    {
        std::string found;
        for (const auto& file : executables()) {
            if (file.first == "lock.tmp" || file.first == "update_manifest.lst" || file.first == "download.tmp")
                continue;
            if (transients_allowed && is_transient_name(file.first))
                continue;
            auto builds = whole_builds_.find(file.first);
            if (builds == whole_builds_.end() || !builds->second.count(file.second))
                found += " " + file.first + " (" + std::to_string(file.second.size()) + " bytes)";
        }
        return found;
    }

    static bool is_transient_name(const std::string& path)
    {
        std::string name = path.substr(path.rfind('/') + 1);
        size_t mark = name.rfind(".tmp-");
        if (mark != std::string::npos && mark > 0 && name.size() == mark + 11)
            return true;
        return name.size() == 12 && name.compare(0, 2, "xx") == 0 && name.compare(8, 4, ".qqq") == 0;
    }

    e2e_home home_;
    temp_dir site_;
    // Variables every start of the launcher gets on top of the usual ones.
    std::vector<std::pair<std::string, std::string>> launcher_env_;
    // The launcher binary every start runs; empty: build/brimvale-launcher.
    std::string launcher_program_;
    e2e_xvfb x_;
    std::unique_ptr<e2e_nginx> nginx_;
    std::unique_ptr<e2e_fault_server> faults_;
    std::unique_ptr<e2e_process> launcher_;
    long run_ms_ = 0;

private:
    std::string image_;
    std::map<std::string, std::set<std::string>> whole_builds_;
    size_t log_offset_ = 0;
    size_t runs_before_ = 0;
    size_t nginx_seen_ = 0;
    long started_ms_ = 0;
};

#endif
