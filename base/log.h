#ifndef BRIMVALE_BASE_LOG_H
#define BRIMVALE_BASE_LOG_H

#include <atomic>

#include "base/string_buffer.h"

// One process-wide log. Launcher code writes with log_printf behind its own
// verbosity test; library code reports with quon_log, tagging each message
// with a facility and level bits. Every message reaches the descriptor in a
// single write() on a descriptor opened in append mode, so the two threads
// need no lock and lines never interleave inside one another. Nothing on the
// write path allocates or goes through stdio.

// Call sites write a message only while this is above the message's
// threshold (0, 1 or 2). The launcher keeps it at 3 for the whole run.
extern int verbosity_level;
// While 0, quon_log writes nothing.
extern int logging_enabled;
// Level bits set here are ignored by quon_log.
extern int suppressed_levels;

enum quon_log_level {
    QUON_LOG_HARDFAIL = 1,  // a resource that cannot be had
    QUON_LOG_SOFTFAIL = 2,  // an operation failed and was abandoned or retried
    QUON_LOG_SANITY = 4,    // a caller broke a precondition
    QUON_LOG_PERF = 8,
    QUON_LOG_FERR = 16,     // errors in file contents or file-system work
    QUON_LOG_FWARN = 32,
    QUON_LOG_PERR = 64,     // errors in a protocol or parsed format
    QUON_LOG_PWARN = 128,
    QUON_LOG_INFO = 256,    // written only while verbosity_level is above 2
    QUON_LOG_DEBUG = 512,
};

enum quon_log_facility {
    QUON_CORE = 100,
    QUON_SOCKET = 101,
    QUON_HTTP = 102,
    QUON_SSL = 104,
    QUON_XML = 105,
    QUON_THREADS = 106,
    QUON_SIGSAFE_LOGFILE = 109,
    QUON_HTTP_DOWNLOAD = 110,
    QUON_UPDATER = 111,
    QUON_CLIENT_CONFIGDIR = 801,
};

// The facility's printable name; "quon_unknown" for an unlisted code.
const char* quon_log_facility_name(int facility);

// printf into a 10240-byte buffer (longer output is cut to 10239
// characters) and one write to the log. Adds no prefix and no newline.
// Returns 1 when the write succeeded.
int log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes "<facility><level suffixes> <text>\n" when logging is on, some
// level bit is not suppressed and the verbosity allows it. A null text
// prints as "(null)".
void quon_log(const char* text, int levels, int facility);

// Opens path as the log (null: standard output) and writes the time-stamped
// line "Opening logfile.". Returns the result of the open.
int open_logfile(const char* path);

// Local time as YYYYMMDDhhmmss, ": ", the text and "\n", in four writes.
void write_timestamped(const char* text);

// The raw descriptor under the log: only open, write, close and dup.
class quon_signal_safe_logfile {
public:
    quon_signal_safe_logfile();
    ~quon_signal_safe_logfile();

    // Opens path for appending (created 0644). True when the descriptor is
    // above 0; the descriptor is kept whatever the outcome.
    int open(const char* path);
    // Replaces the descriptor by a duplicate of standard output.
    int open_stdout();
    void close();
    // One write() of the whole text; 1 when it succeeded. A failure is
    // reported once per run of consecutive failures, and nested writes
    // (a report whose writing reports again) stop at depth 25.
    int write(const char* text);

    bool is_open() const { return descriptor_ >= 0; }
    bool is_stdout() const { return is_stdout_ != 0; }
    int descriptor() const { return descriptor_; }

private:
    int descriptor_;
    // Shared by both threads; advisory only, hence relaxed atomics.
    std::atomic<int> recursion_depth_;
    std::atomic<int> write_failure_reported_;
    int is_stdout_;
};

// The log's destination: a file, or a duplicate of standard output until a
// file is opened and whenever none is open.
class quon_logfile {
public:
    quon_logfile();
    ~quon_logfile();

    // Switches to path (null: standard output), announcing the change in
    // both the old and the new destination. 0 when the new one failed to
    // open; the old one is closed by then.
    int open(const char* path);
    // Opens a destination first if none is open; 0 when the text was dropped.
    int write(const char* text);

    const char* current_path() const { return current_path_.c_str(); }
    void set_auto_open_path(const char* path) { auto_open_path_.assign(path); }
    // Tests silence the destination-change warnings; the launcher never does.
    void set_announce(int announce) { announce_ = announce; }

private:
    int auto_open();

    int announce_;
    quon_signal_safe_logfile file_;
    quon_string_buffer current_path_;
    quon_string_buffer auto_open_path_;
};

// The one instance. It lives in static storage and is never destroyed, so
// globals destroyed at exit can still report through it.
quon_logfile& quon_global_logfile();

#endif
