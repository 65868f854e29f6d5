#include "base/log.h"

#include <errno.h>
#include <fcntl.h>
#include <new>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "base/threads.h"

int verbosity_level = 3;
int logging_enabled = 1;
int suppressed_levels = 0;

namespace {

const int log_printf_buffer_size = 10240;
const int recursion_limit = 25;

// Set while the null-filename report of quon_signal_safe_logfile::open is
// being written, so that a report which itself opens the log cannot loop.
std::atomic<int> null_filename_report_active(0);

struct facility_name {
    int code;
    const char* name;
};

const facility_name facility_names[] = {
    {QUON_CORE, "quon_core"},
    {QUON_SOCKET, "quon_socket"},
    {QUON_HTTP, "quon_http"},
    {QUON_SSL, "quon_ssl"},
    {QUON_XML, "quon_xml"},
    {QUON_THREADS, "quon_threads"},
    {QUON_SIGSAFE_LOGFILE, "quon_sigsafe_logfile"},
    {QUON_HTTP_DOWNLOAD, "quon_http_download"},
    {QUON_UPDATER, "quon_updater"},
    {QUON_CLIENT_CONFIGDIR, "quon_client_configdir"},
};

const char* const level_suffixes[] = {
    ".hardfail", ".softfail", ".sanity", ".perf", ".ferr", ".fwarn", ".perr", ".pwarn", ".info", ".debug",
};

}  // namespace

const char* quon_log_facility_name(int facility)
{
    for (const facility_name& entry : facility_names)
        if (entry.code == facility)
            return entry.name;
    return "quon_unknown";
}

int log_printf(const char* format, ...)
{
    char text[log_printf_buffer_size];
    va_list arguments;
    va_start(arguments, format);
    int written = vsnprintf(text, sizeof(text), format ? format : "(null)", arguments);
    va_end(arguments);
    if (written < 0)
        text[0] = 0;
    return quon_global_logfile().write(text);
}

void quon_log(const char* text, int levels, int facility)
{
    if (!logging_enabled)
        return;
    int active = levels & ~suppressed_levels;
    if (!active)
        return;
    int threshold = (active & QUON_LOG_INFO) ? 2 : 0;
    if (verbosity_level <= threshold)
        return;
    quon_string_buffer prefix;
    prefix.append(quon_log_facility_name(facility));
    for (int bit = 0; bit < 10; bit++)
        if (levels & (1 << bit))
            prefix.append(level_suffixes[bit]);
    log_printf("%s %s\n", prefix.c_str(), text ? text : "(null)");
}

int open_logfile(const char* path)
{
    int result = quon_global_logfile().open(path);
    write_timestamped("Opening logfile.");
    return result;
}

void write_timestamped(const char* text)
{
    time_t now = (time_t)quon_gettimeofday_seconds();
    struct tm local;
    char stamp[64];
    if (localtime_r(&now, &local))
        snprintf(stamp, sizeof(stamp), "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    else
        snprintf(stamp, sizeof(stamp), "00000000000000");
    quon_logfile& log = quon_global_logfile();
    log.write(stamp);
    log.write(": ");
    log.write(text ? text : "(null)");
    log.write("\n");
}

quon_signal_safe_logfile::quon_signal_safe_logfile()
    : descriptor_(-1), recursion_depth_(0), write_failure_reported_(0), is_stdout_(0)
{
}

quon_signal_safe_logfile::~quon_signal_safe_logfile()
{
    close();
}

int quon_signal_safe_logfile::open(const char* path)
{
    if (!path) {
        if (!null_filename_report_active.exchange(1)) {
            quon_log("Error in quon_signal_safe_logfile::open(), NULL filename.", QUON_LOG_SANITY,
                     QUON_SIGSAFE_LOGFILE);
            null_filename_report_active = 0;
        }
        return 0;
    }
    close();
    // Close-on-exec: the client we exec must not inherit our log.
    descriptor_ = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return descriptor_ > 0;
}

int quon_signal_safe_logfile::open_stdout()
{
    close();
    descriptor_ = fcntl(1, F_DUPFD_CLOEXEC, 0);
    if (descriptor_ < 0)
        return 0;
    is_stdout_ = 1;
    return 1;
}

void quon_signal_safe_logfile::close()
{
    is_stdout_ = 0;
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
}

int quon_signal_safe_logfile::write(const char* text)
{
    int depth = ++recursion_depth_;
    if (depth == recursion_limit)
        quon_log("Error in quon_signal_safe_logfile::write(), recursion limiter triggered.", QUON_LOG_SOFTFAIL,
                 QUON_SIGSAFE_LOGFILE);
    if (depth > recursion_limit) {
        --recursion_depth_;
        return 0;
    }
    if (!text)
        text = "(null)";
    int saved_errno = errno;
    ssize_t written = ::write(descriptor_, text, strlen(text));
    errno = saved_errno;
    int result;
    if (written < 0) {
        result = 0;
        if (!write_failure_reported_.exchange(1))
            quon_log("Error in quon_signal_safe_logfile::write(), write failed.", QUON_LOG_SOFTFAIL,
                     QUON_SIGSAFE_LOGFILE);
    } else {
        result = 1;
        write_failure_reported_ = 0;
    }
    --recursion_depth_;
    return result;
}

quon_logfile::quon_logfile() : announce_(1) {}

quon_logfile::~quon_logfile() {}

int quon_logfile::auto_open()
{
    bool opened_file = false;
    if (auto_open_path_.length() > 0 && file_.open(auto_open_path_.c_str())) {
        current_path_.assign(auto_open_path_.c_str());
        opened_file = true;
    }
    if (!opened_file) {
        file_.close();
        if (!file_.open_stdout())
            return 0;
    }
    if (announce_) {
        quon_string_buffer warning;
        if (file_.is_stdout() && auto_open_path_.length() > 0) {
            warning.append("(warning - failed auto open of logfile '");
            warning.append(auto_open_path_.c_str());
            warning.append("', falling back to stdout)\n");
        } else if (file_.is_stdout()) {
            warning.append("(warning - auto open of stdout for logging)\n");
        } else {
            warning.append("(warning - auto open of logfile '");
            warning.append(auto_open_path_.c_str());
            warning.append("')\n");
        }
        file_.write(warning.c_str());
    }
    return 1;
}

int quon_logfile::write(const char* text)
{
    if (!file_.is_open() && !auto_open())
        return 0;
    return file_.write(text);
}

int quon_logfile::open(const char* path)
{
    bool was_stdout = file_.is_stdout();
    bool closed_something = false;
    if (file_.is_open()) {
        if (announce_) {
            quon_string_buffer warning;
            warning.append("(warning - opening new logfile '");
            warning.append(path);
            warning.append("', automatically closing this one)\n");
            file_.write(warning.c_str());
        }
        file_.close();
        closed_something = true;
    }
    int opened = path ? file_.open(path) : file_.open_stdout();
    if (!opened) {
        // A descriptor of 0 or a failed open leaves nothing usable open.
        file_.close();
        return 0;
    }
    if (announce_ && closed_something) {
        quon_string_buffer warning;
        if (was_stdout) {
            warning.append("(warning - output redirected from previously opened stdout)\n");
        } else {
            warning.append("(warning - output redirected from previous logfile '");
            warning.append(current_path_.c_str());
            warning.append("')\n");
        }
        file_.write(warning.c_str());
    }
    if (path)
        current_path_.assign(path);
    else
        current_path_.clear();
    return 1;
}

quon_logfile& quon_global_logfile()
{
    alignas(quon_logfile) static unsigned char storage[sizeof(quon_logfile)];
    static quon_logfile* instance = new (storage) quon_logfile();
    return *instance;
}
