#include "launcher/startup.h"

#include <stdio.h>
#include <stdlib.h>

#include <wx/app.h>
#include <wx/image.h>

#include "base/config_dir.h"
#include "base/file_utils.h"
#include "base/log.h"
#include "base/threads.h"
#include "base/words.h"
#include "gui/app.h"
#include "gui/gl_probe.h"
#include "gui/toolkit_text.h"
#include "launcher/launcher_config.h"
#include "launcher/launcher_window.h"
#include "net/ssl_startup.h"
#include "updater/update_run.h"

#ifndef UPDATE_SERVER_HOST
#define UPDATE_SERVER_HOST "localhost"
#endif

const char* const launcher_version = "1.105-g64-rc1";
const char* const config_directory_name = "Brimvale";
const char* const update_server_host = UPDATE_SERVER_HOST;

quon_string_buffer manifest_path;
quon_string_buffer executables_dir;
quon_string_buffer bootname_path;
quon_string_buffer boot_failures_path;
quon_string_buffer lock_path;

int updater_lock_fd = -1;
std::atomic<int> updater_started(0);
std::atomic<int> updater_finished(0);
std::atomic<int> verbose_printing(0);

namespace {

const char* const log_file_name = "/vostel_launcher_log.txt";
const int launcher_width = 480;
const int launcher_height = 300;

void log_if(int threshold, const char* text)
{
    if (verbosity_level > threshold)
        log_printf("%s", text);
}

void fill_path(quon_string_buffer& path, const char* suffix)
{
    path.clear();
    path.append(quon_client_get_config_directory());
    path.append(suffix);
}

void print_help(const char* executable_name)
{
    log_if(0, "Syntax:\n");
    if (verbosity_level > 0)
        log_printf("%s [-h] [-b] [-u] [-v]\n", executable_name);
    log_if(0, "\n");
    log_if(0, "Options are:\n");
    log_if(0, "  -h   - this help screen\n");
    log_if(0, "  -b   - switch to beta test mode\n");
    log_if(0, "  -u   - switch out of beta test mode\n");
    log_if(0, "  -v   - more verbose debug printing\n");
    log_if(0, "\n");
}

void parse_command_line()
{
    int count = quon_wx::Get()->GetNarrowArgumentCount();
    char** arguments = quon_wx::Get()->GetNarrowArguments();
    quon_string_buffer executable_name;
    quon_string_buffer argument;
    for (int i = 0; i < count; i++) {
        // Arguments arrive in the locale's encoding and are matched as ASCII,
        // with every other character replaced by its look-alike.
        argument.clear();
        quon_toolkit_string_to_ascii(wxString(arguments[i], *wxConvCurrent), argument);
        if (i == 0) {
            executable_name.assign(argument.c_str());
            if (verbosity_level > 0)
                log_printf("Executable name '%s'.\n", argument.c_str());
            continue;
        }
        if (word_in_list(argument.c_str(), "-h --help")) {
            print_help(executable_name.c_str());
            exit(0);
        } else if (word_in_list(argument.c_str(), "-b --beta")) {
            log_if(0, "Forcing beta test mode.\n");
            set_beta_test_enable(1);
        } else if (word_in_list(argument.c_str(), "-u --unbeta")) {
            log_if(0, "Forcing non-beta test mode.\n");
            set_beta_test_enable(0);
        } else if (word_in_list(argument.c_str(), "-v --verbose")) {
            log_if(0, "Setting verbose printing mode.\n");
            verbose_printing = 1;
        } else {
            if (verbosity_level > 0)
                log_printf("Sorry, unknown command line option '%s'.  Use '-h' for a list.\n", argument.c_str());
            exit(1);
        }
    }
}

}  // namespace

void OnInit()
{
    quon_string_buffer reason;
    if (!quon_client_cd_to_config_directory(config_directory_name, reason)) {
        printf("Sorry, unable to set up or get access to the configuration/data directory.\n");
        printf("Reason:  %s\n", reason.c_str());
        exit(1);
    }

    quon_string_buffer log_path;
    log_path.append(quon_client_get_config_directory());
    log_path.append(log_file_name);
    open_logfile(log_path.c_str());
    log_if(2, "--------------------------- LAUNCHER START --------------------------\n");

    if (!init_ssl()) {
        log_if(0, "Boot failed, SSL startup is broken.\n");
        exit(1);
    }
    autodetect_gl_config();
    load_system_config();

    fill_path(manifest_path, "/executables/update_manifest.lst");
    fill_path(executables_dir, "/executables");
    fill_path(bootname_path, "/bootname.txt");
    fill_path(boot_failures_path, "/boot_failures.lst");

    parse_command_line();

    wxImage::AddHandler(new wxPNGHandler);
    LoadSplashBitmap();

    launcher_frame* frame = new launcher_frame("Brimvale Launcher", wxDefaultPosition,
                                               wxSize(launcher_width, launcher_height));
    wx_center_window(frame);
    frame->Show(true);
    wxTheApp->SetTopWindow(frame);

    fill_path(lock_path, "/executables/lock.tmp");
    quon_recursive_mkdir(lock_path.c_str(), 0700, nullptr);
    updater_lock_fd = quon_lock_file(lock_path.c_str());
    if (updater_lock_fd >= 0)
        start_updater_thread(frame->window());
    else
        log_if(1, "OnInit(), unable to get updater file lock.\n");
}

int launcher_on_exit()
{
    log_if(2, "--------------------------- LAUNCHER EXIT --------------------------\n");
    return 0;
}

void start_updater_thread(launcher_mw* window)
{
    updater_finished.store(0, std::memory_order_release);
    if (!quon_thread_create("executable updater", updater_thread_main, window)) {
        log_if(0, "Launcher failed to spawn download thread, aborting.\n");
        exit(1);
    }
    updater_started = 1;
    window->UpdateStatusText();
}

int updater_thread_main(void* window)
{
    quon_string_buffer temporary_path;
    fill_path(temporary_path, "/executables/download.tmp");
    run_executable_updater(window, update_server_host, update_download_root, remote_manifest_name,
                           manifest_path.c_str(), executables_dir.c_str(), temporary_path.c_str());
    // The lock is released before the run is marked finished: record locks
    // belong to the process, so a new run started on the GUI thread the
    // moment it sees the flag would otherwise take the lock a second time
    // and lose it again when this descriptor is closed. updater_lock_fd
    // keeps its value; the boot sequencer only asks whether it is negative.
    quon_unlock_file(updater_lock_fd);
    updater_finished.store(1, std::memory_order_release);
    return 0;
}
