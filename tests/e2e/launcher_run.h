#ifndef BRIMVALE_TESTS_E2E_LAUNCHER_RUN_H
#define BRIMVALE_TESTS_E2E_LAUNCHER_RUN_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"

// Generous: the machine running the suite may be busy with a sanitizer
// build, and a run that gives up waits for its 151st tick.
enum {
    launcher_run_timeout_ms = 90000,
    launcher_window_timeout_ms = 60000,
};

// One launcher started in a fresh HOME on an Xvfb of its own. The test
// enters its private network first, so nothing answers on 127.0.0.1:80
// unless the test starts a server there.
struct launcher_run {
    e2e_home home;
    e2e_xvfb x;
    e2e_process launcher;

    // Starts Xvfb; 1, or 0 (skip) / -1 (fail) with x.reason().
    int start_display() { return x.start(); }

    e2e_command command(const std::vector<std::string>& arguments = {}) const
    {
        return e2e_launcher_command(home, x.display(), arguments);
    }
    int start(const std::vector<std::string>& arguments = {}) { return launcher.start(command(arguments)); }

    // Runs to the end; true when it ended within the time-out.
    bool run(const std::vector<std::string>& arguments = {})
    {
        return start(arguments) == 1 && launcher.wait(launcher_run_timeout_ms) == 1;
    }

    // The launcher's window, once mapped (0 when it never was).
    e2e_window wait_for_window() { return x.wait_for_window_named("^Brimvale Launcher$", launcher_window_timeout_ms); }

    std::string log() const { return home.log_text(); }
};

// Installs fake clients under names and lists them in the local manifest, in
// that order.
inline void install_images(const e2e_home& home, const std::vector<std::string>& names)
{
    std::vector<e2e_manifest_entry> entries;
    for (const std::string& name : names)
        entries.push_back(home.install_fake_client(name));
    ASSERT_EQ(e2e_write_local_manifest(home.manifest_path(), entries), 1);
}

#endif
