#ifndef BRIMVALE_TESTS_SUPPORT_E2E_H
#define BRIMVALE_TESTS_SUPPORT_E2E_H

// Support for end-to-end tests: the real binaries run in a temporary HOME,
// under Xvfb, against real servers on 127.0.0.1:80 inside a network
// namespace of the test's own. A test typically reads:
//
//     TEST(boot, newest_image_first)
//     {
//         E2E_REQUIRE_PRIVATE_NETWORK();
//         e2e_home home;
//         e2e_write_local_manifest(home.manifest_path(),
//             {home.install_fake_client("a1"), home.install_fake_client("a2")});
//         e2e_xvfb x;
//         E2E_REQUIRE(x.start(), x.reason());
//         e2e_process launcher;
//         ASSERT_EQ(launcher.start(e2e_launcher_command(home, x.display())), 1);
//         ASSERT_EQ(launcher.wait(30000), 1) << launcher.describe();
//         ASSERT_EQ(home.runs().size(), 1u);
//     }
//
// Infrastructure that cannot work on this machine (no namespaces, no Xvfb,
// no nginx, no python3) makes the test skip with the reason; infrastructure
// that is there but misbehaves makes it fail. What the program under test
// does (its exit status, a time-out) is returned for the test to judge.
// Nothing here talks to an address outside 127.0.0.0/8.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

// Every fixed time-out of the end-to-end support. Generous on purpose: the
// machine that runs them may be loaded by a parallel sanitizer build.
enum {
    e2e_server_start_ms = 15000,  // nginx or the fault server until it takes connections
    e2e_xvfb_start_ms = 20000,    // Xvfb until it names its display
    e2e_stop_grace_ms = 5000,     // after SIGTERM, before the whole group gets SIGKILL
    e2e_tool_ms = 20000,          // one run of xdotool or import
    e2e_socket_ms = 10000,        // one e2e_http_exchange
    e2e_window_poll_ms = 50,      // between two window searches while waiting
    e2e_report_tail = 3000,       // bytes of a log or standard error quoted in a failure
};

// Skips (0) or fails (negative) the current test unless call returned a
// positive value; what is streamed as the message. For test bodies and
// SetUp only, as it returns from the enclosing function.
#define E2E_REQUIRE(call, what)                 \
    do {                                        \
        int e2e_result_ = (call);               \
        if (e2e_result_ == 0)                   \
            GTEST_SKIP() << (what);             \
        if (e2e_result_ < 0)                    \
            FAIL() << (what);                   \
    } while (0)

// ---------------------------------------------------------------- namespace

// Moves the calling process into a fresh network namespace whose only
// interface is "lo", brought up, and proves 127.0.0.1:80 bindable there. As
// root (or already root in a user namespace) only the network is unshared;
// otherwise a user namespace comes with it, mapping the caller to root so
// that port 80 may be bound. Must run while the process has one thread.
// Children started afterwards inherit the namespace. 1 on success; 0 when
// this machine allows no such namespace (the test should skip); -1 when the
// namespace was made but is unusable. *reason explains 0 and -1.
int e2e_enter_private_network(std::string* reason);

#define E2E_REQUIRE_PRIVATE_NETWORK()                                      \
    do {                                                                   \
        std::string e2e_reason_;                                           \
        E2E_REQUIRE(e2e_enter_private_network(&e2e_reason_), e2e_reason_); \
    } while (0)

// ---------------------------------------------------------------- locations

// The build tree: BRIMVALE_BUILD_DIR (ctest sets it), else the folder of the
// running test executable, which CMake puts in the build root.
std::string e2e_build_dir();
// The source tree: BRIMVALE_SOURCE_DIR, else where this file was compiled.
std::string e2e_source_dir();
// build/brimvale-launcher and build/fake_client.
std::string e2e_launcher_path();
std::string e2e_fake_client_path();
// The program's path: name itself when it holds a "/", else the first
// executable of that name in PATH, /usr/sbin or /sbin; "" when none.
std::string e2e_find_program(const std::string& name);

// ---------------------------------------------------------------- processes

// What to start. Built in place: e2e_command c({"prog", "arg"}); c.set(...).
struct e2e_command {
    e2e_command() = default;
    explicit e2e_command(std::vector<std::string> arguments) : argv(std::move(arguments)) {}

    // The child's argument vector, argv[0] included, as it will see it.
    std::vector<std::string> argv;
    // The file to execute: a path, or a name looked up as e2e_find_program
    // does. Empty: argv[0].
    std::string program;
    // Variables added to (or replacing those of) the inherited environment,
    // and variables removed from it. With clear_env nothing is inherited.
    std::vector<std::pair<std::string, std::string>> set_env;
    std::vector<std::string> unset_env;
    bool clear_env = false;
    // Empty: the caller's working directory.
    std::string working_dir;
    // Empty: standard input is /dev/null.
    std::string stdin_path;
    // Empty: captured in a private file, read back with stdout_text() and
    // stderr_text(). A path is truncated first; stderr_path may equal
    // stdout_path to merge the two streams in order.
    std::string stdout_path;
    std::string stderr_path;
    // Descriptors the child keeps under their own numbers. Every other
    // descriptor above 2 is closed across the exec, whatever its flags.
    std::vector<int> pass_fds;

    e2e_command& set(const std::string& name, const std::string& value);
    e2e_command& unset(const std::string& name);
};

// One child process in a process group of its own. It is not copyable; the
// destructor kills a child still running (its whole group) and reaps it,
// and the child gets SIGKILL should the test process die first.
class e2e_process {
public:
    e2e_process() = default;
    ~e2e_process();
    e2e_process(const e2e_process&) = delete;
    e2e_process& operator=(const e2e_process&) = delete;

    // Starts the command. 1 when the program is running; 0 when it could not
    // be started (program missing, exec refused, a capture file unusable),
    // which is added as a test failure with reason(). One start per object.
    int start(const e2e_command& command);
    // Waits up to timeout_ms for the child to end. 1 when it ended; 0 when
    // time ran out: the group was then killed with SIGKILL and reaped, and
    // timed_out() and describe() say so. -1 when nothing was started.
    int wait(int timeout_ms);
    // True while the child has not ended (an ended child is reaped here).
    bool running();
    // Sends sig to the child alone (1) or to its whole group. 0 when there
    // is no running child or kill() failed.
    int send_signal(int sig);
    int signal_group(int sig);
    // SIGTERM to the group, up to grace_ms for the child to end, then
    // SIGKILL to the group. Nothing for a child that already ended.
    void stop(int grace_ms = e2e_stop_grace_ms);

    pid_t pid() const { return pid_; }
    // After the end: exited() with exit_status(), or term_signal() non-zero.
    bool exited() const;
    int exit_status() const;
    int term_signal() const;
    bool timed_out() const { return timed_out_; }
    // The captured streams (empty when they went to a caller's path).
    std::string stdout_text() const;
    std::string stderr_text() const;
    // "'prog' (pid 42) exited with status 1", "... was killed by signal 11
    // (Segmentation fault)", "... timed out after 500 ms and was killed",
    // "... is running", followed by the tail of the captured standard error.
    std::string describe() const;
    const std::string& reason() const { return reason_; }

private:
    bool reap(bool block);

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int status_ = 0;
    bool ended_ = false;
    bool timed_out_ = false;
    int waited_ms_ = 0;
    std::string name_;
    std::string stdout_path_;
    std::string stderr_path_;
    std::string reason_;
    std::unique_ptr<temp_dir> capture_dir_;
};

// Polls condition every step_ms until it holds (true) or timeout_ms passed
// (false). The condition is evaluated once more at the deadline.
bool e2e_wait_until(const std::function<bool()>& condition, int timeout_ms, int step_ms = 10);

// ---------------------------------------------------------------- sockets

// Connects to 127.0.0.1:port, sends request, reads until the server closes
// (or time-out) into *response. 1 on a clean close; 0 when the connection
// failed or was reset, or the time-out passed, with what arrived so far.
int e2e_http_exchange(int port, const std::string& request, std::string* response, int timeout_ms = e2e_socket_ms);
// 1 when something accepts connections on 127.0.0.1:port.
int e2e_port_accepts(int port);

// ---------------------------------------------------------------- Xvfb and X tools

typedef unsigned long e2e_window;  // an X window id; 0 for none

struct e2e_rect {
    int x = 0, y = 0, width = 0, height = 0;
};

struct e2e_rgb {
    int r = -1, g = -1, b = -1;  // -1 for a pixel outside the picture
    bool operator==(const e2e_rgb& other) const { return r == other.r && g == other.g && b == other.b; }
    bool operator!=(const e2e_rgb& other) const { return !(*this == other); }
};
std::ostream& operator<<(std::ostream& out, const e2e_rgb& colour);

// An RGB picture, 8 bits per channel, rows top to bottom.
class e2e_image {
public:
    int width() const { return width_; }
    int height() const { return height_; }
    // The colour at (x, y), (0, 0) being the top left; -1s outside.
    e2e_rgb pixel(int x, int y) const;
    // Pixels of area (clipped to the picture) within tolerance of colour in
    // every channel.
    long count_near(const e2e_rect& area, const e2e_rgb& colour, int tolerance = 0) const;
    // Binary PPM (P6), maxval up to 65535 (scaled to 8 bits). 1 when the
    // bytes held a whole picture; 0 with *reason otherwise.
    int load_ppm(const std::string& bytes, std::string* reason);
    // Writes a P6 file, for looking at a failed test's screen. 1 on success.
    int save_ppm(const std::string& path) const;

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<unsigned char> rgb_;
};

// One Xvfb server, stopped by the destructor. Its display number is chosen
// by Xvfb itself (-displayfd), so parallel tests never share one.
class e2e_xvfb {
public:
    e2e_xvfb() = default;
    ~e2e_xvfb();
    e2e_xvfb(const e2e_xvfb&) = delete;
    e2e_xvfb& operator=(const e2e_xvfb&) = delete;

    // Starts Xvfb with one screen of width x height x 24 and GLX. 1 when it
    // takes clients; 0 when Xvfb is not installed; -1 when it failed.
    int start(int width = 1280, int height = 1024);
    void stop();
    // ":N", for DISPLAY.
    const std::string& display() const { return display_; }
    // Why start() failed, or what the X tool that failed last said.
    const std::string& reason() const { return reason_; }

    // Windows with _NET_WM_PID pid, or whose name matches the extended
    // regular expression pattern; mapped windows only unless all. In the
    // order xdotool reports them.
    std::vector<e2e_window> windows_of_pid(pid_t pid, bool all = false);
    std::vector<e2e_window> windows_named(const std::string& pattern, bool all = false);
    // Polls until a mapped window of pid (or of that name) exists; the first
    // such window, or 0 after timeout_ms.
    e2e_window wait_for_window_of_pid(pid_t pid, int timeout_ms);
    e2e_window wait_for_window_named(const std::string& pattern, int timeout_ms);
    // Position on the screen and size. 1 on success.
    int window_geometry(e2e_window window, e2e_rect* out);
    // Gives window the keyboard focus and types key (an xdotool key name:
    // "Escape", "b", "q", "Return") through the XTEST extension, so the
    // toolkit sees ordinary, not synthetic, key events. 1 on success.
    int send_key(e2e_window window, const std::string& key);
    // Types key into whatever window has the focus.
    int send_key_to_focus(const std::string& key);
    // The whole screen, or one window's contents. 1 on success.
    int screenshot(e2e_image* out);
    int screenshot_window(e2e_window window, e2e_image* out);

    // Runs an X client against this display, waits up to e2e_tool_ms, and
    // returns its standard output in *output. 1 when it exited with 0.
    int run_tool(const std::vector<std::string>& argv, std::string* output);

private:
    std::vector<e2e_window> search(const std::vector<std::string>& criteria, bool all);
    int capture(const std::string& window, e2e_image* out);

    e2e_process server_;
    std::string display_;
    std::string reason_;
    std::unique_ptr<temp_dir> dir_;
};

// ---------------------------------------------------------------- nginx

// One location block beside "location /".
struct e2e_nginx_location {
    std::string path;              // the prefix, e.g. "/downloads/vostel_v3/"
    std::string limit_rate;        // per-connection rate, e.g. "64k"; empty: none
    std::string limit_rate_after;  // bytes sent at full speed first, e.g. "16k"
    std::string directives;        // raw directives added inside the block
};

// One access log line.
struct e2e_access_entry {
    int status = 0;
    long body_bytes = 0;   // body bytes sent
    std::string request;   // the request line, e.g. "GET /a HTTP/1.1"
};

// nginx from the system, in one process (master_process off), with every
// path (pid, logs, temporary files) in a private directory and the access
// log on. Stopped by the destructor.
class e2e_nginx {
public:
    e2e_nginx() = default;
    ~e2e_nginx();
    e2e_nginx(const e2e_nginx&) = delete;
    e2e_nginx& operator=(const e2e_nginx&) = delete;

    // Serves document_root (sendfile on) on 127.0.0.1:port. 1 when the port
    // accepts; 0 when nginx is not installed; -1 when it failed (reason()
    // holds its error log).
    int start(const std::string& document_root, const std::vector<e2e_nginx_location>& locations = {},
              int port = 80);
    void stop();
    const std::string& reason() const { return reason_; }
    std::string config_path() const;
    std::string error_log() const;
    // Access log lines in the order nginx finished them. nginx writes a line
    // when a response is done, which may be after the client saw its end:
    // wait_for_requests before counting.
    std::vector<e2e_access_entry> requests() const;
    // 1 when at least count requests were logged within timeout_ms.
    int wait_for_requests(size_t count, int timeout_ms);

private:
    e2e_process server_;
    std::unique_ptr<temp_dir> dir_;
    std::string reason_;
};

// ---------------------------------------------------------------- fault server

// One request as the fault server read it off the wire.
struct e2e_recorded_request {
    int connection = 0;    // the server's number of the connection, from 1
    bool complete = false; // false: the client stopped before the request's end
    std::string bytes;     // exactly as received, head and body
    // The request line without its line end ("" when none arrived).
    std::string request_line() const;
};

// tests/e2e/fault_server.py under python3: answers from a JSON scenario (the
// format is described at the top of the script). Every request is recorded;
// nothing probes the port, so the record holds only the client's traffic.
class e2e_fault_server {
public:
    e2e_fault_server() = default;
    ~e2e_fault_server();
    e2e_fault_server(const e2e_fault_server&) = delete;
    e2e_fault_server& operator=(const e2e_fault_server&) = delete;

    // 1 when listening on 127.0.0.1:port; 0 when there is no python3; -1
    // when the server failed (a bad scenario, the port taken).
    int start(const std::string& scenario_json, int port = 80);
    void stop();
    const std::string& reason() const { return reason_; }
    // The server's own log: one line per connection event.
    std::string log() const;
    std::vector<e2e_recorded_request> requests() const;
    // 1 when at least count requests (complete or not) arrived in time.
    int wait_for_requests(size_t count, int timeout_ms);

private:
    e2e_process server_;
    std::unique_ptr<temp_dir> dir_;
    std::string reason_;
};

// text as a JSON string literal, quotes included, for building scenarios.
std::string e2e_json_string(const std::string& text);

// ---------------------------------------------------------------- fake client

// One start of the fake client, as recorded in $HOME/fake_client_runs.txt.
// The file holds one line per start: tab-separated fields "pid=N",
// "cwd=PATH", "argc=N", then "arg=TEXT" per argument and "fd=N:TARGET" per
// descriptor above 2 that was open when it started; in every value a
// backslash, tab and newline are written as "\\", "\t" and "\n". A client
// whose argv[0] contains "crash" raises SIGSEGV after recording; one whose
// argv[0] contains "hang" waits for a signal after recording.
struct e2e_client_run {
    long pid = 0;
    std::string cwd;
    std::vector<std::string> argv;
    std::vector<int> fds;
    std::vector<std::string> fd_targets;  // parallel to fds
};

// Every start recorded in the file, oldest first; empty when it is absent.
// A line that does not parse is a test failure and is left out.
std::vector<e2e_client_run> e2e_read_client_runs(const std::string& path);

// ---------------------------------------------------------------- data directory

// One manifest line's worth: what the launcher records for a file.
struct e2e_manifest_entry {
    std::string name;
    std::string hash;  // lowercase hex
    long size = 0;
};

// A temporary HOME, removed with everything in it by the destructor, and
// the launcher's paths inside it. Nothing is created until asked for.
class e2e_home {
public:
    const std::string& path() const { return dir_.path(); }
    std::string data_dir() const { return path() + "/.Brimvale"; }
    std::string data_file(const std::string& name) const { return data_dir() + "/" + name; }
    std::string executables_dir() const { return data_dir() + "/executables"; }
    std::string executable(const std::string& name) const { return executables_dir() + "/" + name; }
    std::string log_path() const { return data_file("vostel_launcher_log.txt"); }
    std::string manifest_path() const { return executables_dir() + "/update_manifest.lst"; }
    std::string bootname_path() const { return data_file("bootname.txt"); }
    std::string config_path() const { return data_file("launcher.cfg"); }
    std::string log_text() const { return read_file(log_path()); }
    // Where the fake client records its starts.
    std::string runs_path() const { return path() + "/fake_client_runs.txt"; }
    std::vector<e2e_client_run> runs() const { return e2e_read_client_runs(runs_path()); }

    // Creates the data directory and executables/ (mode 0700). 1 on success.
    int make_executables_dir() const;
    // Copies build/fake_client to executables/name (mode 0700, directories
    // made as needed) and returns its entry; an empty name (and a test
    // failure) when that failed.
    e2e_manifest_entry install_fake_client(const std::string& name) const;
    // Writes content to executables/name and returns its entry.
    e2e_manifest_entry install_file(const std::string& name, const std::string& content) const;

private:
    temp_dir dir_;
};

// The environment a launcher test wants: HOME, DISPLAY, the X11 backend of
// the toolkit without accessibility or desktop-session services, and none
// of the caller's Wayland, X authority or session-bus variables. The
// working directory is home. Add or override variables afterwards.
e2e_command e2e_launcher_command(const e2e_home& home, const std::string& display,
                                 const std::vector<std::string>& arguments = {});

// SHA-256 as lowercase hex; "" (and a test failure) when the file cannot be
// read.
std::string e2e_sha256(const std::string& bytes);
std::string e2e_sha256_file(const std::string& path);
// name with the SHA-256 and size of the file at path.
e2e_manifest_entry e2e_entry_for_file(const std::string& path, const std::string& name);

// The local manifest file exactly as the launcher writes it: the four
// comment lines, an empty line, then "%s %10d %s\n" (hash, size, name) per
// entry in the order given.
std::string e2e_local_manifest_text(const std::vector<e2e_manifest_entry>& entries);
int e2e_write_local_manifest(const std::string& path, const std::vector<e2e_manifest_entry>& entries);
// The server's manifest: the same entry lines (no header), gzip-compressed.
// write_ creates the file's folder chain. 1 on success.
std::string e2e_gzip(const std::string& bytes);
int e2e_write_remote_manifest(const std::string& path, const std::vector<e2e_manifest_entry>& entries);

// Creates every missing directory of path (mode 0700). 1 on success.
int e2e_make_dirs(const std::string& path);

#endif
