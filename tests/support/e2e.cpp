#include "tests/support/e2e.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

long now_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

std::string errno_text(int error)
{
    return std::string(strerror(error)) + " (errno " + std::to_string(error) + ")";
}

bool is_executable_file(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string tail(const std::string& text, size_t bytes)
{
    return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

int write_whole(const char* path, const std::string& text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t written = write(fd, text.data(), text.size());
    close(fd);
    return written == (ssize_t)text.size();
}

int thread_count()
{
    std::istringstream status(read_file("/proc/self/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 8, "Threads:") == 0)
            return atoi(line.c_str() + 8);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------- namespace

int e2e_enter_private_network(std::string* reason)
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWNET) != 0) {
        int network_error = errno;
        // Without CAP_SYS_ADMIN a user namespace brings the capability along.
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            int user_error = errno;
            *reason = "network namespaces are unavailable here: unshare(CLONE_NEWNET): " + errno_text(network_error) +
                      "; unshare(CLONE_NEWUSER | CLONE_NEWNET): " + errno_text(user_error);
            if (user_error == EINVAL && thread_count() > 1)
                *reason += "; the process has " + std::to_string(thread_count()) +
                           " threads, a user namespace needs it single-threaded";
            return 0;
        }
        // Map the caller to root inside. gid_map is writable without
        // privilege only once setgroups is denied.
        if (!write_whole("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n")) {
            *reason = "cannot write /proc/self/uid_map: " + errno_text(errno);
            return -1;
        }
        write_whole("/proc/self/setgroups", "deny");
        if (!write_whole("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n")) {
            *reason = "cannot write /proc/self/gid_map: " + errno_text(errno);
            return -1;
        }
    }

    // A fresh namespace holds "lo" and nothing else, so nothing started from
    // here can reach an address beyond loopback.
    struct if_nameindex* interfaces = if_nameindex();
    if (interfaces) {
        std::string others;
        for (struct if_nameindex* i = interfaces; i->if_index != 0; i++)
            if (strcmp(i->if_name, "lo") != 0)
                others += std::string(" ") + i->if_name;
        if_freenameindex(interfaces);
        if (!others.empty()) {
            *reason = "the new network namespace is not empty, it has:" + others;
            return -1;
        }
    }

    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) {
        *reason = "socket() in the new namespace: " + errno_text(errno);
        return -1;
    }
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    int up = ioctl(control, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags |= IFF_UP;
        up = ioctl(control, SIOCSIFFLAGS, &request) == 0;
    }
    int up_error = errno;
    close(control);
    if (!up) {
        *reason = "cannot bring lo up: " + errno_text(up_error);
        return -1;
    }

    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int bound = probe >= 0 && bind(probe, (struct sockaddr*)&address, sizeof address) == 0;
    int bind_error = errno;
    if (probe >= 0)
        close(probe);
    if (!bound) {
        *reason = "127.0.0.1:80 is not bindable in the new namespace: " + errno_text(bind_error);
        return -1;
    }
    return 1;
}

// ---------------------------------------------------------------- locations

std::string e2e_build_dir()
{
    const char* configured = getenv("BRIMVALE_BUILD_DIR");
    if (configured && *configured)
        return configured;
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return ".";
    std::string path(self, length);
    return path.substr(0, path.rfind('/'));
}

std::string e2e_source_dir()
{
    const char* configured = getenv("BRIMVALE_SOURCE_DIR");
    if (configured && *configured)
        return configured;
    std::string here = __FILE__;
    const std::string suffix = "/tests/support/e2e.cpp";
    if (here.size() > suffix.size() && here.compare(here.size() - suffix.size(), suffix.size(), suffix) == 0)
        return here.substr(0, here.size() - suffix.size());
    return ".";
}

std::string e2e_launcher_path()
{
    return e2e_build_dir() + "/brimvale-launcher";
}

std::string e2e_fake_client_path()
{
    return e2e_build_dir() + "/fake_client";
}

std::string e2e_find_program(const std::string& name)
{
    if (name.empty())
        return "";
    if (name.find('/') != std::string::npos)
        return is_executable_file(name) ? name : "";
    const char* path = getenv("PATH");
    // nginx lives in /usr/sbin, which a normal user's PATH often lacks.
    std::string folders = std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string folder = folders.substr(start, end - start);
        if (!folder.empty() && is_executable_file(folder + "/" + name))
            return folder + "/" + name;
        start = end + 1;
    }
    return "";
}

// ---------------------------------------------------------------- processes

e2e_command& e2e_command::set(const std::string& name, const std::string& value)
{
    for (auto& variable : set_env)
        if (variable.first == name) {
            variable.second = value;
            return *this;
        }
    set_env.emplace_back(name, value);
    unset_env.erase(std::remove(unset_env.begin(), unset_env.end(), name), unset_env.end());
    return *this;
}

e2e_command& e2e_command::unset(const std::string& name)
{
    set_env.erase(std::remove_if(set_env.begin(), set_env.end(),
                                 [&](const std::pair<std::string, std::string>& v) { return v.first == name; }),
                  set_env.end());
    unset_env.push_back(name);
    return *this;
}

namespace {

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

// In the child between fork and exec: async-signal-safe calls only.
void mark_all_close_on_exec(int limit)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
#endif
    for (int fd = 3; fd < limit; fd++)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void place_descriptor(int fd, int target)
{
    if (fd == target)
        fcntl(fd, F_SETFD, 0);
    else
        dup2(fd, target);
}

struct child_failure {
    int stage;  // 1 chdir, 2 exec
    int error;
};

}  // namespace

int e2e_process::start(const e2e_command& command)
{
    if (pid_ > 0) {
        reason_ = "e2e_process::start() called twice";
        ADD_FAILURE() << reason_;
        return 0;
    }
    if (command.argv.empty()) {
        reason_ = "e2e_process::start() with an empty argv";
        ADD_FAILURE() << reason_;
        return 0;
    }
    name_ = command.program.empty() ? command.argv[0] : command.program;
    std::string program = e2e_find_program(name_);
    if (program.empty()) {
        reason_ = "cannot start '" + name_ + "': no such executable (PATH and /usr/sbin searched)";
        ADD_FAILURE() << reason_;
        return 0;
    }

    stdout_path_ = command.stdout_path;
    stderr_path_ = command.stderr_path;
    if (stdout_path_.empty() || stderr_path_.empty()) {
        capture_dir_.reset(new temp_dir);
        if (stdout_path_.empty())
            stdout_path_ = capture_dir_->file("stdout");
        if (stderr_path_.empty())
            stderr_path_ = capture_dir_->file("stderr");
    }
    const std::string input = command.stdin_path.empty() ? "/dev/null" : command.stdin_path;
    int in_fd = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    int out_fd = open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = stderr_path_ == stdout_path_ ? -1
                                              : open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in_fd < 0 || out_fd < 0 || (err_fd < 0 && stderr_path_ != stdout_path_)) {
        reason_ = "cannot open the standard streams of '" + name_ + "' (" + input + ", " + stdout_path_ + ", " +
                  stderr_path_ + "): " + errno_text(errno);
        for (int fd : {in_fd, out_fd, err_fd})
            if (fd >= 0)
                close(fd);
        ADD_FAILURE() << reason_;
        return 0;
    }

    std::vector<std::string> environment;
    auto overridden = [&](const std::string& entry) {
        std::string name = entry.substr(0, entry.find('='));
        for (const auto& variable : command.set_env)
            if (variable.first == name)
                return true;
        return std::find(command.unset_env.begin(), command.unset_env.end(), name) != command.unset_env.end();
    };
    if (!command.clear_env)
        for (char** entry = environ; entry && *entry; entry++)
            if (!overridden(*entry))
                environment.push_back(*entry);
    for (const auto& variable : command.set_env)
        environment.push_back(variable.first + "=" + variable.second);

    std::vector<char*> argv_pointers, env_pointers;
    for (const auto& argument : command.argv)
        argv_pointers.push_back(const_cast<char*>(argument.c_str()));
    argv_pointers.push_back(nullptr);
    for (const auto& entry : environment)
        env_pointers.push_back(const_cast<char*>(entry.c_str()));
    env_pointers.push_back(nullptr);
    const char* directory = command.working_dir.empty() ? nullptr : command.working_dir.c_str();
    struct rlimit files;
    int descriptor_limit = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536 ? (int)files.rlim_cur : 65536;

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        reason_ = "pipe2: " + errno_text(errno);
        ADD_FAILURE() << reason_;
        return 0;
    }
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        // A test that dies abnormally must not leave servers behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // Ignored signals stay ignored across an exec; the child starts clean.
        for (int sig = 1; sig < NSIG; sig++) {
            struct sigaction action;
            if (sig != SIGKILL && sig != SIGSTOP && sigaction(sig, nullptr, &action) == 0 &&
                action.sa_handler == SIG_IGN) {
                action.sa_handler = SIG_DFL;
                sigaction(sig, &action, nullptr);
            }
        }
        place_descriptor(in_fd, 0);
        place_descriptor(out_fd, 1);
        place_descriptor(err_fd >= 0 ? err_fd : 1, 2);
        mark_all_close_on_exec(descriptor_limit);
        for (int fd : command.pass_fds)
            fcntl(fd, F_SETFD, 0);
        child_failure failure = {0, 0};
        if (directory && chdir(directory) != 0)
            failure = {1, errno};
        else {
            execve(program.c_str(), argv_pointers.data(), env_pointers.data());
            failure = {2, errno};
        }
        ssize_t ignored = write(report[1], &failure, sizeof failure);
        (void)ignored;
        _exit(127);
    }
    int fork_error = errno;
    close(report[1]);
    for (int fd : {in_fd, out_fd, err_fd})
        if (fd >= 0)
            close(fd);
    if (child < 0) {
        close(report[0]);
        reason_ = "fork: " + errno_text(fork_error);
        ADD_FAILURE() << reason_;
        return 0;
    }
    // Either side may win the race; both set the group so that a signal to
    // it right after start reaches the child.
    setpgid(child, child);
    pid_ = child;

    child_failure failure = {0, 0};
    ssize_t got;
    do
        got = read(report[0], &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got > 0) {
        reap(true);
        reason_ = failure.stage == 1 ? "cannot enter '" + command.working_dir + "' for '" + name_ + "': "
                                     : "cannot exec '" + program + "': ";
        reason_ += errno_text(failure.error);
        ADD_FAILURE() << reason_;
        return 0;
    }
    pidfd_ = (int)syscall(SYS_pidfd_open, child, 0);
    return 1;
}

bool e2e_process::reap(bool block)
{
    if (ended_)
        return true;
    if (pid_ <= 0)
        return false;
    int status = 0;
    pid_t got;
    do
        got = waitpid(pid_, &status, block ? 0 : WNOHANG);
    while (got < 0 && errno == EINTR);
    if (got == 0)
        return false;
    ended_ = true;
    status_ = got == pid_ ? status : 0;
    if (pidfd_ >= 0) {
        close(pidfd_);
        pidfd_ = -1;
    }
    return true;
}

int e2e_process::wait(int timeout_ms)
{
    if (pid_ <= 0)
        return -1;
    long deadline = now_ms() + timeout_ms;
    while (!reap(false)) {
        long left = deadline - now_ms();
        if (left <= 0) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            reap(true);
            timed_out_ = true;
            waited_ms_ = timeout_ms;
            return 0;
        }
        if (pidfd_ >= 0) {
            struct pollfd ready = {pidfd_, POLLIN, 0};
            poll(&ready, 1, (int)std::min(left, 1000L));
        } else {
            struct timespec pause = {0, std::min(left, 5L) * 1000000L};
            nanosleep(&pause, nullptr);
        }
    }
    return 1;
}

bool e2e_process::running()
{
    return pid_ > 0 && !reap(false);
}

int e2e_process::send_signal(int sig)
{
    return running() && kill(pid_, sig) == 0;
}

int e2e_process::signal_group(int sig)
{
    return running() && kill(-pid_, sig) == 0;
}

void e2e_process::stop(int grace_ms)
{
    if (!running())
        return;
    signal_group(SIGTERM);
    long deadline = now_ms() + grace_ms;
    while (!reap(false) && now_ms() < deadline) {
        struct timespec pause = {0, 2 * 1000000L};
        nanosleep(&pause, nullptr);
    }
    if (!ended_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        reap(true);
    }
}

e2e_process::~e2e_process()
{
    if (running()) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        reap(true);
    }
    if (pidfd_ >= 0)
        close(pidfd_);
}

bool e2e_process::exited() const
{
    return ended_ && WIFEXITED(status_);
}

int e2e_process::exit_status() const
{
    return ended_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int e2e_process::term_signal() const
{
    return ended_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

std::string e2e_process::stdout_text() const
{
    return capture_dir_ && stdout_path_.compare(0, capture_dir_->path().size(), capture_dir_->path()) == 0
               ? read_file(stdout_path_)
               : "";
}

std::string e2e_process::stderr_text() const
{
    return capture_dir_ && stderr_path_.compare(0, capture_dir_->path().size(), capture_dir_->path()) == 0
               ? read_file(stderr_path_)
               : "";
}

std::string e2e_process::describe() const
{
    std::string text = "'" + name_ + "' (pid " + std::to_string(pid_) + ")";
    if (pid_ <= 0)
        return text + " was not started" + (reason_.empty() ? "" : ": " + reason_);
    if (timed_out_)
        text += " timed out after " + std::to_string(waited_ms_) + " ms and was killed";
    else if (!ended_)
        text += " is running";
    else if (WIFEXITED(status_))
        text += " exited with status " + std::to_string(WEXITSTATUS(status_));
    else if (WIFSIGNALED(status_))
        text += " was killed by signal " + std::to_string(WTERMSIG(status_)) + " (" + strsignal(WTERMSIG(status_)) +
                ")";
    std::string errors = stderr_text();
    if (!errors.empty())
        text += "\n--- its standard error ---\n" + tail(errors, e2e_report_tail);
    return text;
}

bool e2e_wait_until(const std::function<bool()>& condition, int timeout_ms, int step_ms)
{
    long deadline = now_ms() + timeout_ms;
    for (;;) {
        if (condition())
            return true;
        long left = deadline - now_ms();
        if (left <= 0)
            return condition();
        struct timespec pause = {0, std::min<long>(left, step_ms) * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

// ---------------------------------------------------------------- sockets

namespace {

int connect_loopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Loopback connects complete or fail at once; no time-out needed.
    if (connect(fd, (struct sockaddr*)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int e2e_port_accepts(int port)
{
    int fd = connect_loopback(port);
    if (fd < 0)
        return 0;
    close(fd);
    return 1;
}

int e2e_http_exchange(int port, const std::string& request, std::string* response, int timeout_ms)
{
    response->clear();
    int fd = connect_loopback(port);
    if (fd < 0)
        return 0;
    long deadline = now_ms() + timeout_ms;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            return 0;
        }
        sent += n;
    }
    int clean = 0;
    for (;;) {
        long left = deadline - now_ms();
        if (left <= 0)
            break;
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, (int)left) <= 0)
            continue;
        char buffer[65536];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            clean = n == 0;
            break;
        }
        response->append(buffer, n);
    }
    close(fd);
    return clean;
}

// ---------------------------------------------------------------- pictures

std::ostream& operator<<(std::ostream& out, const e2e_rgb& colour)
{
    return out << "rgb(" << colour.r << ", " << colour.g << ", " << colour.b << ")";
}

e2e_rgb e2e_image::pixel(int x, int y) const
{
    e2e_rgb colour;
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return colour;
    const unsigned char* at = &rgb_[((size_t)y * width_ + x) * 3];
    colour.r = at[0];
    colour.g = at[1];
    colour.b = at[2];
    return colour;
}

long e2e_image::count_near(const e2e_rect& area, const e2e_rgb& colour, int tolerance) const
{
    long count = 0;
    for (int y = std::max(0, area.y); y < std::min(height_, area.y + area.height); y++)
        for (int x = std::max(0, area.x); x < std::min(width_, area.x + area.width); x++) {
            e2e_rgb here = pixel(x, y);
            if (abs(here.r - colour.r) <= tolerance && abs(here.g - colour.g) <= tolerance &&
                abs(here.b - colour.b) <= tolerance)
                count++;
        }
    return count;
}

int e2e_image::load_ppm(const std::string& bytes, std::string* reason)
{
    // Header: "P6", width, height, maxval, separated by whitespace and
    // "#" comments, then exactly one whitespace byte before the samples.
    size_t at = 0;
    long fields[3];
    if (bytes.compare(0, 2, "P6") != 0) {
        *reason = "not a binary PPM (P6) picture";
        return 0;
    }
    at = 2;
    for (long& field : fields) {
        while (at < bytes.size() && (isspace((unsigned char)bytes[at]) || bytes[at] == '#')) {
            if (bytes[at] == '#')
                while (at < bytes.size() && bytes[at] != '\n')
                    at++;
            else
                at++;
        }
        size_t digits = at;
        field = 0;
        while (at < bytes.size() && isdigit((unsigned char)bytes[at]) && field < 1000000)
            field = field * 10 + (bytes[at++] - '0');
        if (at == digits) {
            *reason = "truncated PPM header";
            return 0;
        }
    }
    at++;
    long width = fields[0], height = fields[1], maxval = fields[2];
    int sample_bytes = maxval > 255 ? 2 : 1;
    if (width <= 0 || height <= 0 || maxval <= 0 || maxval > 65535 ||
        bytes.size() < at + (size_t)width * height * 3 * sample_bytes) {
        *reason = "PPM of " + std::to_string(width) + "x" + std::to_string(height) + " (maxval " +
                  std::to_string(maxval) + ") with " + std::to_string(bytes.size()) + " bytes is invalid or cut";
        return 0;
    }
    width_ = (int)width;
    height_ = (int)height;
    rgb_.resize((size_t)width * height * 3);
    const unsigned char* in = (const unsigned char*)bytes.data() + at;
    for (size_t i = 0; i < rgb_.size(); i++) {
        long sample = sample_bytes == 2 ? in[2 * i] * 256 + in[2 * i + 1] : in[i];
        rgb_[i] = (unsigned char)((sample * 255 + maxval / 2) / maxval);
    }
    return 1;
}

int e2e_image::save_ppm(const std::string& path) const
{
    std::string header = "P6\n" + std::to_string(width_) + " " + std::to_string(height_) + "\n255\n";
    write_file(path, header + std::string(rgb_.begin(), rgb_.end()));
    return file_exists(path);
}

// ---------------------------------------------------------------- Xvfb

e2e_xvfb::~e2e_xvfb()
{
    stop();
}

int e2e_xvfb::start(int width, int height)
{
    std::string program = e2e_find_program("Xvfb");
    if (program.empty()) {
        reason_ = "Xvfb is not installed (Debian package xvfb)";
        return 0;
    }
    dir_.reset(new temp_dir);
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        reason_ = "pipe2: " + errno_text(errno);
        return -1;
    }
    e2e_command command({program, "-displayfd", std::to_string(pipe_fds[1]), "-screen", "0",
                         std::to_string(width) + "x" + std::to_string(height) + "x24", "+extension", "GLX",
                         "-nolisten", "tcp", "-noreset"});
    command.pass_fds.push_back(pipe_fds[1]);
    command.stdout_path = command.stderr_path = dir_->file("xvfb.log");
    int started = server_.start(command);
    close(pipe_fds[1]);
    if (!started) {
        close(pipe_fds[0]);
        reason_ = server_.reason();
        return -1;
    }

    // Xvfb writes the display number and a newline once it takes clients.
    std::string number;
    long deadline = now_ms() + e2e_xvfb_start_ms;
    while (number.find('\n') == std::string::npos) {
        long left = deadline - now_ms();
        struct pollfd ready = {pipe_fds[0], POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, (int)left) < 0)
            break;
        char buffer[32];
        ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        number.append(buffer, n);
    }
    close(pipe_fds[0]);
    if (number.empty() || number.find('\n') == std::string::npos) {
        server_.stop();
        reason_ = "Xvfb did not report a display within " + std::to_string(e2e_xvfb_start_ms) + " ms: " +
                  server_.describe() + "\n" + tail(read_file(dir_->file("xvfb.log")), e2e_report_tail);
        return -1;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
    return 1;
}

void e2e_xvfb::stop()
{
    server_.stop();
    display_.clear();
}

int e2e_xvfb::run_tool(const std::vector<std::string>& argv, std::string* output)
{
    if (display_.empty()) {
        reason_ = "Xvfb is not running";
        return 0;
    }
    e2e_process tool;
    e2e_command command(argv);
    command.set("DISPLAY", display_).unset("XAUTHORITY").unset("WAYLAND_DISPLAY");
    if (!tool.start(command)) {
        reason_ = tool.reason();
        return 0;
    }
    tool.wait(e2e_tool_ms);
    if (output)
        *output = tool.stdout_text();
    if (tool.exit_status() != 0) {
        std::string line;
        for (const auto& argument : argv)
            line += (line.empty() ? "" : " ") + argument;
        reason_ = line + ": " + tool.describe();
        return 0;
    }
    return 1;
}

std::vector<e2e_window> e2e_xvfb::search(const std::vector<std::string>& criteria, bool all)
{
    std::vector<std::string> argv = {"xdotool", "search"};
    if (!all)
        argv.push_back("--onlyvisible");
    argv.insert(argv.end(), criteria.begin(), criteria.end());
    std::string output;
    std::vector<e2e_window> windows;
    // xdotool ends with status 1 when nothing matched.
    run_tool(argv, &output);
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty() && isdigit((unsigned char)line[0]))
            windows.push_back(strtoul(line.c_str(), nullptr, 10));
    return windows;
}

std::vector<e2e_window> e2e_xvfb::windows_of_pid(pid_t pid, bool all)
{
    return search({"--pid", std::to_string(pid)}, all);
}

std::vector<e2e_window> e2e_xvfb::windows_named(const std::string& pattern, bool all)
{
    return search({"--name", pattern}, all);
}

e2e_window e2e_xvfb::wait_for_window_of_pid(pid_t pid, int timeout_ms)
{
    e2e_window found = 0;
    e2e_wait_until(
        [&] {
            std::vector<e2e_window> windows = windows_of_pid(pid);
            found = windows.empty() ? 0 : windows[0];
            return found != 0;
        },
        timeout_ms, e2e_window_poll_ms);
    return found;
}

e2e_window e2e_xvfb::wait_for_window_named(const std::string& pattern, int timeout_ms)
{
    e2e_window found = 0;
    e2e_wait_until(
        [&] {
            std::vector<e2e_window> windows = windows_named(pattern);
            found = windows.empty() ? 0 : windows[0];
            return found != 0;
        },
        timeout_ms, e2e_window_poll_ms);
    return found;
}

int e2e_xvfb::window_geometry(e2e_window window, e2e_rect* out)
{
    std::string output;
    if (!run_tool({"xdotool", "getwindowgeometry", "--shell", std::to_string(window)}, &output))
        return 0;
    int found = 0;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = line.substr(0, equals);
        int value = atoi(line.c_str() + equals + 1);
        int* field = key == "X" ? &out->x : key == "Y" ? &out->y : key == "WIDTH" ? &out->width
                                                : key == "HEIGHT"                  ? &out->height
                                                                                   : nullptr;
        if (field) {
            *field = value;
            found++;
        }
    }
    if (found != 4)
        reason_ = "xdotool getwindowgeometry gave: " + output;
    return found == 4;
}

int e2e_xvfb::send_key(e2e_window window, const std::string& key)
{
    // Two runs on purpose: "key" chained after "windowfocus" would target
    // the window with XSendEvent, whose synthetic events GTK ignores.
    return run_tool({"xdotool", "windowfocus", "--sync", std::to_string(window)}, nullptr) &&
           send_key_to_focus(key);
}

int e2e_xvfb::send_key_to_focus(const std::string& key)
{
    return run_tool({"xdotool", "key", key}, nullptr);
}

int e2e_xvfb::capture(const std::string& window, e2e_image* out)
{
    std::string picture;
    if (!run_tool({"import", "-silent", "-window", window, "-depth", "8", "ppm:-"}, &picture))
        return 0;
    std::string why;
    if (!out->load_ppm(picture, &why)) {
        reason_ = "import -window " + window + ": " + why;
        return 0;
    }
    return 1;
}

int e2e_xvfb::screenshot(e2e_image* out)
{
    return capture("root", out);
}

int e2e_xvfb::screenshot_window(e2e_window window, e2e_image* out)
{
    return capture(std::to_string(window), out);
}

// ---------------------------------------------------------------- nginx

e2e_nginx::~e2e_nginx()
{
    stop();
}

namespace {

// A path as an nginx string: double-quoted, backslash before " and \.
std::string nginx_quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

int e2e_nginx::start(const std::string& document_root, const std::vector<e2e_nginx_location>& locations, int port)
{
    std::string program = e2e_find_program("nginx");
    if (program.empty()) {
        reason_ = "nginx is not installed (Debian package nginx)";
        return 0;
    }
    dir_.reset(new temp_dir);
    const std::string& dir = dir_->path();
    std::string config = "# Written by the end-to-end tests.\n"
                         "daemon off;\n"
                         "master_process off;\n";
    // As root nginx hands its temporary folders to the configured user,
    // "nobody" unless told otherwise, and a user namespace maps only root.
    if (geteuid() == 0) {
        struct passwd* user = getpwuid(geteuid());
        struct group* group = getgrgid(getegid());
        if (user && group)
            config += std::string("user ") + user->pw_name + " " + group->gr_name + ";\n";
    }
    config += "pid " + nginx_quoted(dir + "/nginx.pid") + ";\n" +
              "error_log " + nginx_quoted(dir + "/error.log") + " info;\n"
              "events {\n    worker_connections 256;\n}\n"
              "http {\n"
              "    default_type application/octet-stream;\n"
              "    log_format e2e '$status $body_bytes_sent \"$request\"';\n"
              "    access_log " + nginx_quoted(dir + "/access.log") + " e2e;\n";
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        config += std::string("    ") + kind + "_temp_path " + nginx_quoted(dir + "/" + kind) + ";\n";
    config += "    sendfile on;\n"
              "    server {\n"
              "        listen 127.0.0.1:" + std::to_string(port) + ";\n"
              "        server_name localhost;\n"
              "        root " + nginx_quoted(document_root) + ";\n"
              "        location / {\n        }\n";
    for (const auto& location : locations) {
        config += "        location " + location.path + " {\n";
        if (!location.limit_rate.empty())
            config += "            limit_rate " + location.limit_rate + ";\n";
        if (!location.limit_rate_after.empty())
            config += "            limit_rate_after " + location.limit_rate_after + ";\n";
        if (!location.directives.empty())
            config += "            " + location.directives + "\n";
        config += "        }\n";
    }
    config += "    }\n}\n";
    write_file(config_path(), config);

    e2e_command command({program, "-p", dir + "/", "-e", dir + "/error.log", "-c", config_path()});
    command.stdout_path = command.stderr_path = dir + "/nginx.out";
    if (!server_.start(command)) {
        reason_ = server_.reason();
        return -1;
    }
    bool ready = e2e_wait_until([&] { return !server_.running() || e2e_port_accepts(port); }, e2e_server_start_ms);
    if (!ready || !server_.running()) {
        server_.stop();
        reason_ = "nginx did not take connections on 127.0.0.1:" + std::to_string(port) + ": " + server_.describe() +
                  "\n--- nginx output ---\n" + read_file(dir + "/nginx.out") + "--- error log ---\n" +
                  tail(error_log(), e2e_report_tail);
        return -1;
    }
    return 1;
}

void e2e_nginx::stop()
{
    server_.stop();
}

std::string e2e_nginx::config_path() const
{
    return dir_ ? dir_->file("nginx.conf") : "";
}

std::string e2e_nginx::error_log() const
{
    return dir_ ? read_file(dir_->file("error.log")) : "";
}

std::vector<e2e_access_entry> e2e_nginx::requests() const
{
    std::vector<e2e_access_entry> entries;
    if (!dir_)
        return entries;
    std::istringstream lines(read_file(dir_->file("access.log")));
    std::string line;
    while (std::getline(lines, line)) {
        e2e_access_entry entry;
        size_t open_quote = line.find('"');
        size_t close_quote = line.rfind('"');
        if (sscanf(line.c_str(), "%d %ld", &entry.status, &entry.body_bytes) != 2 || open_quote == close_quote) {
            ADD_FAILURE() << "unexpected nginx access log line: " << line;
            continue;
        }
        entry.request = line.substr(open_quote + 1, close_quote - open_quote - 1);
        entries.push_back(entry);
    }
    return entries;
}

int e2e_nginx::wait_for_requests(size_t count, int timeout_ms)
{
    return e2e_wait_until([&] { return requests().size() >= count; }, timeout_ms);
}

// ---------------------------------------------------------------- fault server

std::string e2e_recorded_request::request_line() const
{
    size_t end = bytes.find('\n');
    std::string line = bytes.substr(0, end);
    if (!line.empty() && line.back() == '\r' && end != std::string::npos)
        line.pop_back();
    return line;
}

e2e_fault_server::~e2e_fault_server()
{
    stop();
}

int e2e_fault_server::start(const std::string& scenario_json, int port)
{
    // Debian's interpreter first: per-user shims in PATH may depend on HOME.
    std::string python = is_executable_file("/usr/bin/python3") ? "/usr/bin/python3" : e2e_find_program("python3");
    if (python.empty()) {
        reason_ = "python3 is not installed";
        return 0;
    }
    std::string script = e2e_source_dir() + "/tests/e2e/fault_server.py";
    if (!file_exists(script)) {
        reason_ = "the fault server is missing: " + script;
        return -1;
    }
    dir_.reset(new temp_dir);
    write_file(dir_->file("scenario.json"), scenario_json);
    e2e_command command({python, "-I", script, "--port", std::to_string(port), "--record",
                         dir_->file("requests.rec"), "--scenario", dir_->file("scenario.json")});
    command.stdout_path = dir_->file("stdout.txt");
    command.stderr_path = dir_->file("log.txt");
    if (!server_.start(command)) {
        reason_ = server_.reason();
        return -1;
    }
    // The server says when it listens; a probing connection would show up
    // in the record.
    bool ready = e2e_wait_until(
        [&] { return !server_.running() || read_file(dir_->file("stdout.txt")).find("listening") != std::string::npos; },
        e2e_server_start_ms);
    if (!ready || !server_.running()) {
        server_.stop();
        reason_ = "the fault server did not start: " + server_.describe() + "\n" + tail(log(), e2e_report_tail);
        return -1;
    }
    return 1;
}

void e2e_fault_server::stop()
{
    server_.stop();
}

std::string e2e_fault_server::log() const
{
    return dir_ ? read_file(dir_->file("log.txt")) : "";
}

std::vector<e2e_recorded_request> e2e_fault_server::requests() const
{
    std::vector<e2e_recorded_request> requests;
    if (!dir_)
        return requests;
    std::string record = read_file(dir_->file("requests.rec"));
    size_t at = 0;
    while (at < record.size()) {
        size_t end = record.find('\n', at);
        if (end == std::string::npos)
            break;
        std::string head = record.substr(at, end - at);
        e2e_recorded_request request;
        int index = 0;
        size_t length = 0;
        char state[16] = "";
        if (sscanf(head.c_str(), "--- request %d connection %d bytes %zu %15s", &index, &request.connection, &length,
                   state) != 4 ||
            end + 1 + length + 1 > record.size()) {
            ADD_FAILURE() << "unreadable fault server record at byte " << at << ": " << head;
            break;
        }
        request.complete = strcmp(state, "complete") == 0;
        request.bytes = record.substr(end + 1, length);
        requests.push_back(request);
        at = end + 1 + length + 1;
    }
    return requests;
}

int e2e_fault_server::wait_for_requests(size_t count, int timeout_ms)
{
    return e2e_wait_until([&] { return requests().size() >= count; }, timeout_ms);
}

std::string e2e_json_string(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else
            out += (char)c;
    }
    return out + "\"";
}

// ---------------------------------------------------------------- fake client

std::vector<e2e_client_run> e2e_read_client_runs(const std::string& path)
{
    std::vector<e2e_client_run> runs;
    std::istringstream lines(read_file(path));
    std::string line;
    while (std::getline(lines, line)) {
        e2e_client_run run;
        long argc = -1;
        bool good = true;
        size_t start = 0;
        while (good && start <= line.size()) {
            size_t end = line.find('\t', start);
            if (end == std::string::npos)
                end = line.size();
            std::string field = line.substr(start, end - start);
            start = end + 1;
            size_t equals = field.find('=');
            if (equals == std::string::npos) {
                good = false;
                break;
            }
            std::string key = field.substr(0, equals), value;
            for (size_t i = equals + 1; i < field.size(); i++) {
                if (field[i] == '\\' && i + 1 < field.size()) {
                    char next = field[++i];
                    value += next == 't' ? '\t' : next == 'n' ? '\n' : next;
                } else
                    value += field[i];
            }
            if (key == "pid")
                run.pid = atol(value.c_str());
            else if (key == "cwd")
                run.cwd = value;
            else if (key == "argc")
                argc = atol(value.c_str());
            else if (key == "arg")
                run.argv.push_back(value);
            else if (key == "fd") {
                run.fds.push_back(atoi(value.c_str()));
                size_t colon = value.find(':');
                run.fd_targets.push_back(colon == std::string::npos ? "" : value.substr(colon + 1));
            } else
                good = false;
        }
        if (!good || argc != (long)run.argv.size()) {
            ADD_FAILURE() << "unreadable fake client record in " << path << ": " << line;
            continue;
        }
        runs.push_back(run);
    }
    return runs;
}

// ---------------------------------------------------------------- data directory

int e2e_make_dirs(const std::string& path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        struct stat info;
        if (!prefix.empty() && mkdir(prefix.c_str(), 0700) != 0 &&
            !(errno == EEXIST && stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode)))
            return 0;
        if (slash == std::string::npos)
            return 1;
    }
}

int e2e_home::make_executables_dir() const
{
    return e2e_make_dirs(executables_dir());
}

e2e_manifest_entry e2e_home::install_file(const std::string& name, const std::string& content) const
{
    std::string target = executable(name);
    if (!e2e_make_dirs(target.substr(0, target.rfind('/')))) {
        ADD_FAILURE() << "cannot create the folders of " << target << ": " << errno_text(errno);
        return e2e_manifest_entry();
    }
    write_file(target, content);
    if (read_file(target) != content) {
        ADD_FAILURE() << "cannot write " << target;
        return e2e_manifest_entry();
    }
    return e2e_entry_for_file(target, name);
}

e2e_manifest_entry e2e_home::install_fake_client(const std::string& name) const
{
    std::string image = read_file(e2e_fake_client_path());
    if (image.empty()) {
        ADD_FAILURE() << "the fake client is not built: " << e2e_fake_client_path();
        return e2e_manifest_entry();
    }
    e2e_manifest_entry entry = install_file(name, image);
    if (!entry.name.empty() && chmod(executable(name).c_str(), 0700) != 0) {
        ADD_FAILURE() << "chmod " << executable(name) << ": " << errno_text(errno);
        return e2e_manifest_entry();
    }
    return entry;
}

e2e_command e2e_launcher_command(const e2e_home& home, const std::string& display,
                                 const std::vector<std::string>& arguments)
{
    e2e_command command({e2e_launcher_path()});
    command.argv.insert(command.argv.end(), arguments.begin(), arguments.end());
    command.set("HOME", home.path())
        .set("DISPLAY", display)
        .set("GDK_BACKEND", "x11")
        .set("NO_AT_BRIDGE", "1")
        .set("GSETTINGS_BACKEND", "memory")
        .unset("WAYLAND_DISPLAY")
        .unset("XAUTHORITY")
        .unset("DBUS_SESSION_BUS_ADDRESS")
        .unset("SESSION_MANAGER");
    command.working_dir = home.path();
    return command;
}

std::string e2e_sha256(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr)) {
        ADD_FAILURE() << "EVP_Digest(SHA-256) failed";
        return "";
    }
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; i++) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

std::string e2e_sha256_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path << " to hash it";
        return "";
    }
    std::ostringstream content;
    content << in.rdbuf();
    return e2e_sha256(content.str());
}

e2e_manifest_entry e2e_entry_for_file(const std::string& path, const std::string& name)
{
    e2e_manifest_entry entry;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        ADD_FAILURE() << "cannot describe " << path << ": " << errno_text(errno);
        return entry;
    }
    entry.name = name;
    entry.size = (long)info.st_size;
    entry.hash = e2e_sha256_file(path);
    return entry;
}

namespace {

std::string entry_lines(const std::vector<e2e_manifest_entry>& entries)
{
    std::string text;
    for (const auto& entry : entries) {
        char size[32];
        snprintf(size, sizeof size, "%10ld", entry.size);
        text += entry.hash + " " + size + " " + entry.name + "\n";
    }
    return text;
}

int write_with_folders(const std::string& path, const std::string& content)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !e2e_make_dirs(path.substr(0, slash)))
        return 0;
    write_file(path, content);
    return read_file(path) == content;
}

}  // namespace

std::string e2e_local_manifest_text(const std::vector<e2e_manifest_entry>& entries)
{
    return "# This is an automatically generated file - do not modify\n"
           "# It contains a list of the files currently managed by the\n"
           "# updater.  Changing or deleting it may cause your next\n"
           "# update to download far more things than it needs.\n"
           "\n" +
           entry_lines(entries);
}

int e2e_write_local_manifest(const std::string& path, const std::vector<e2e_manifest_entry>& entries)
{
    return write_with_folders(path, e2e_local_manifest_text(entries));
}

std::string e2e_gzip(const std::string& bytes)
{
    z_stream stream;
    memset(&stream, 0, sizeof stream);
    // 16 + 15 window bits: a gzip wrapper with its fixed, time-less header.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        ADD_FAILURE() << "deflateInit2 failed";
        return "";
    }
    std::string out(deflateBound(&stream, bytes.size()), '\0');
    stream.next_in = (Bytef*)bytes.data();
    stream.avail_in = (uInt)bytes.size();
    stream.next_out = (Bytef*)&out[0];
    stream.avail_out = (uInt)out.size();
    int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        ADD_FAILURE() << "deflate did not finish: " << result;
        return "";
    }
    return out;
}

int e2e_write_remote_manifest(const std::string& path, const std::vector<e2e_manifest_entry>& entries)
{
    return write_with_folders(path, e2e_gzip(entry_lines(entries)));
}
