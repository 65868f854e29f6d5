#ifndef BRIMVALE_TESTS_E2E_FAULT_FIXTURE_H
#define BRIMVALE_TESTS_E2E_FAULT_FIXTURE_H

// The update fixture with a watch kept while the launcher runs, for the
// fault matrix and the local faults: every test ends with the same three
// checks (the launcher ended by itself within its limits, executables/
// never held a file that is not a whole published build, and the image the
// rules pick was booted, or the launcher gave up when there was none) and
// prints an "outcome:" line per start, and a "summary:" line where one says
// more, which tools/reliability-report collects.

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/update_fixture.h"

enum {
    // Between two looks at executables/ while a launcher runs.
    watch_poll_ms = 20,
};

// text as a gzip member made of stored (uncompressed) deflate blocks: the
// text's bytes appear unchanged in the body, so a test can cut the body at
// a known place in the text.
inline std::string stored_gzip(const std::string& text)
{
    z_stream stream;
    memset(&stream, 0, sizeof stream);
    if (deflateInit2(&stream, 0, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        ADD_FAILURE() << "deflateInit2 failed";
        return "";
    }
    std::string out(deflateBound(&stream, text.size()) + 64, '\0');
    stream.next_in = (Bytef*)text.data();
    stream.avail_in = (uInt)text.size();
    stream.next_out = (Bytef*)&out[0];
    stream.avail_out = (uInt)out.size();
    int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        ADD_FAILURE() << "deflate did not finish: " << result;
    return out;
}

// The peak resident size of a running process in kB (VmHWM), or -1.
inline long peak_resident_kb(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\nVmHWM:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 7);
}

inline void sleep_ms(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

class fault_e2e : public update_e2e {
protected:
    // Starts the launcher and waits for it (and the client it became) to
    // end, looking at executables/ and the launcher's peak memory every
    // watch_poll_ms. The exit status, or -1 when it was killed or timed out.
    int launch_watching(const std::vector<std::string>& arguments = {}, bool exits_without_exec = false)
    {
        start_launcher(arguments, exits_without_exec);
        if (!launcher_ || launcher_->pid() <= 0)
            return -1;
        watch_until_end();
        return finish_launcher();
    }

    // Polls until the current launcher ends or the start's time-out passes.
    void watch_until_end()
    {
        long deadline = now_ms() + launch_timeout_ms;
        while (launcher_->running() && now_ms() < deadline) {
            look();
            sleep_ms(watch_poll_ms);
        }
    }

    // One look: what is in executables/ and, while the process is still
    // the launcher (not yet the client), its peak memory.
    void look()
    {
        std::string foreign = foreign_files(true);
        if (!foreign.empty())
            seen_foreign_.insert(foreign);
        char exe[4096];
        std::string link = "/proc/" + std::to_string(launcher_->pid()) + "/exe";
        ssize_t length = readlink(link.c_str(), exe, sizeof exe - 1);
        if (length > 0) {
            exe[length] = 0;
            if (strstr(exe, "brimvale-launcher")) {
                long peak = peak_resident_kb(launcher_->pid());
                if (peak > peak_resident_kb_)
                    peak_resident_kb_ = peak;
            }
        }
    }

    std::string seen_foreign() const
    {
        std::string all;
        for (const auto& seen : seen_foreign_)
            all += seen + ";";
        return all;
    }

    // The whole log line of this start that holds needle; "" when none.
    std::string log_line_with(const std::string& needle) const
    {
        std::string log = launch_log();
        size_t at = needle.empty() ? std::string::npos : log.find(needle);
        if (at == std::string::npos)
            return "";
        size_t begin = log.rfind('\n', at);
        begin = begin == std::string::npos ? 0 : begin + 1;
        size_t end = log.find('\n', at);
        std::string line = log.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        // The fetch's progress dots run into the line that follows them.
        return line.substr(std::min(line.find_first_not_of('.'), line.size()));
    }

    // What the last start did, in one line: how it ended, what it booted,
    // and the log line that says why (report, or the first failure line).
    std::string outcome(const std::string& report = "") const
    {
        if (!launcher_)
            return "not started";
        char text[200];
        if (launcher_->timed_out())
            snprintf(text, sizeof text, "still running after %ld s, killed", run_ms_ / 1000);
        else if (launcher_->exited())
            snprintf(text, sizeof text, "exit %d after %.1f s", launcher_->exit_status(), run_ms_ / 1000.0);
        else
            snprintf(text, sizeof text, "killed by signal %d after %.1f s", launcher_->term_signal(), run_ms_ / 1000.0);
        std::string line = text;
        std::vector<e2e_client_run> runs = home_.runs();
        if (runs.size() > runs_seen_ && !runs.back().argv.empty())
            line += ", booted " + runs.back().argv[0];
        else if (launch_log().find("Sorry, no valid executables found") != std::string::npos)
            line += ", gave up: nothing to boot";
        else
            line += ", booted nothing";
        std::string why = log_line_with(report);
        for (const char* failure : {"Unable to update", "Refusing", "Error fetching", "Error in", "Warning in"})
            if (why.empty())
                why = log_line_with(failure);
        if (!why.empty())
            line += "; log: " + why;
        return line;
    }

    // Prints the outcome line (and keeps it in the test's XML record).
    void record_outcome(const std::string& report = "")
    {
        std::string line = outcome(report);
        RecordProperty("outcome", line);
        std::cout << "outcome: " << line << std::endl;
    }

    // The three checks that end every row: the start ended by itself in
    // time, executables/ never held anything but whole published builds
    // (and the updater's own files), and booted is what was booted, or the
    // launcher gave up when booted is empty.
    void expect_three_checks(const std::string& booted, const std::string& report = "")
    {
        record_outcome(report);
        ASSERT_TRUE(launcher_->exited()) << "the launcher did not end by itself\n" << failure_context();
        EXPECT_EQ(seen_foreign(), "") << "seen in executables/ while the launcher ran";
        EXPECT_EQ(foreign_files(), "") << "left in executables/";
        if (booted.empty())
            expect_gave_up();
        else
            expect_booted(booted);
        if (!report.empty()) {
            EXPECT_NE(launch_log().find(report), std::string::npos) << "no report '" << report << "'\n"
                                                                    << launch_log();
        }
    }

    // The give-up path: status 0, no client started, the two lines that
    // say there is nothing to boot.
    void expect_gave_up()
    {
        EXPECT_EQ(launcher_->exit_status(), 0) << failure_context();
        EXPECT_EQ(home_.runs().size(), runs_seen_) << "a client was started\n" << failure_context();
        EXPECT_NE(launch_log().find("Sorry, no valid executables found - cannot start game.\n"), std::string::npos)
            << launch_log();
    }

    void start_launcher(const std::vector<std::string>& arguments = {}, bool exits_without_exec = false)
    {
        runs_seen_ = home_.runs().size();
        update_e2e::start_launcher(arguments, exits_without_exec);
    }

    std::set<std::string> seen_foreign_;
    long peak_resident_kb_ = -1;
    size_t runs_seen_ = 0;
};

#endif
