#include "launcher/launcher_window.h"

#include <stdio.h>
#include <unistd.h>

#include <wx/mstream.h>

#include "base/config_dir.h"
#include "base/file_utils.h"
#include "base/log.h"
#include "base/string_buffer.h"
#include "gui/splash_data.h"
#include "gui/toolkit_text.h"
#include "launcher/boot_sequence.h"
#include "launcher/launcher_config.h"
#include "launcher/startup.h"

quon_bitmap* splash_bitmap = nullptr;
std::atomic<int> launcher_window_ready(0);

namespace {

enum {
    tick_timer_id = 1,
    progress_event_id = 2,
    tick_period_ms = 20,
};

// Layout, in pixels from the window's top-left corner.
const int status_x = 10;
const int status_first_y = 230;
const int status_line_height = 15;
const int status_width = 460;
const int bar_x = 10;
const int bar_y = 280;
const int bar_width = 460;
const int bar_height = 10;

enum {
    key_escape = 27,
    key_b = 66,
    key_q = 81,
};

void start_updater_hook(void* context)
{
    start_updater_thread((launcher_mw*)context);
}

void give_up_hook(void* context)
{
    ((launcher_mw*)context)->GiveUp();
}

}  // namespace

void LoadSplashBitmap()
{
    wxMemoryInputStream stream(splash_png, splash_png_size);
    wxImage image;
    image.LoadFile(stream, wxBITMAP_TYPE_PNG);
    splash_bitmap = new quon_bitmap(image);
}

wxBEGIN_EVENT_TABLE(launcher_mw, quon_embedded_window)
    EVT_TIMER(tick_timer_id, launcher_mw::OnTimer)
    EVT_TIMER(progress_event_id, launcher_mw::OnProgressEvent)
    EVT_KEY_DOWN(launcher_mw::OnKeyDown)
wxEND_EVENT_TABLE()

launcher_mw::launcher_mw(wxWindow* parent, wxWindowID id, const wxString& name, const wxPoint& position,
                         const wxSize& size, long style)
    : quon_embedded_window(parent, id, name, position, size, style),
      options_mode(0),
      tick_ms(0),
      tick_timer_(this, tick_timer_id),
      progress_event_pending_(0)
{
    for (wxStaticText*& line : status_lines_)
        line = new wxStaticText(this, wxID_ANY, name, wxDefaultPosition, wxDefaultSize, wxST_NO_AUTORESIZE);
    SetBackgroundColour(*wxBLACK);

    progress_bar_ = new quon_progress_bar(this, wxID_ANY, "Downloader progress bar");
    progress_bar_->SetEmptyColour(32, 32, 32);
    progress_bar_->SetFillColour(128, 128, 128);
    progress_bar_->SetPositionAndSize(bar_x, bar_y, bar_width, bar_height);
    progress_bar_->Show();

    for (int i = 0; i < 3; i++) {
        status_lines_[i]->Move(status_x, status_first_y + status_line_height * i, wxSIZE_USE_EXISTING);
        status_lines_[i]->SetSize(wxDefaultCoord, wxDefaultCoord, status_width, status_line_height,
                                  wxSIZE_USE_EXISTING);
    }

    options_mode = 0;
    tick_ms = 0;
    launcher_window_ready = 1;

    tick_timer_.Start(tick_period_ms, wxTIMER_CONTINUOUS);
    if (quon_wx::Get())
        quon_wx::Get()->SetTickPeriod(tick_period_ms);
    SetFocus();
}

launcher_mw::~launcher_mw()
{
    for (int i = 2; i >= 0; i--)
        status_lines_[i]->Destroy();
    tick_timer_.Stop();
}

void launcher_mw::RequestRedraw(bool)
{
    Refresh(false);
}

void launcher_mw::Render(quon_bitmap& target)
{
    if (splash_bitmap)
        target.DrawBitmapUseAlpha(*splash_bitmap, 0, 0);
}

void launcher_mw::UpdateStatusText()
{
    quon_string_buffer lines[3];
    int beta = get_beta_test_enable();
    if (beta) {
        lines[0].append("Config Dir: ");
        lines[0].append(quon_client_get_config_directory());
    }
    if (options_mode) {
        lines[1].append("Launcher Version: ");
        lines[1].append(launcher_version);
        if (get_beta_test_enable())
            lines[1].append(" - beta test mode enabled");
        lines[2].append(get_beta_test_enable() ? "Press 'escape' to continue, 'b' to leave BETA TEST mode."
                                               : "Press 'escape' to continue, 'b' to enter BETA TEST mode.");
    } else {
        lines[1].append(get_beta_test_enable() ? "(beta test mode - press 'escape' for options)"
                                               : "(press 'escape' for options)");
        double value = progress_bar_->GetValue();
        if (value > 0) {
            char text[256];
            snprintf(text, sizeof(text), "Downloading - %.1f%%", value);
            lines[2].append(text);
        } else if (updater_started) {
            lines[2].append("Checking for updates...");
        }
    }
    for (int i = 0; i < 3; i++) {
        status_lines_[i]->SetForegroundColour(wxColour(255, 255, 255));
        status_lines_[i]->SetLabel(wxString(lines[i].c_str(), wxConvUTF8));
    }
}

void launcher_mw::SetDownloadProgress(double percent)
{
    progress_bar_->SetValueQuiet(percent);
    // Progress arrives with every 8 KiB slice; one event waiting is enough,
    // as its handler reads the latest value. Without this a fast download
    // floods the GUI thread with label updates and keys go unanswered.
    if (progress_event_pending_.exchange(1, std::memory_order_acq_rel))
        return;
    // A timer event that names no timer: the toolkit marks that constructor
    // as not meant for user code, but it is the one that carries only an
    // identifier, which is all the handler looks at.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    wxTimerEvent event;
#pragma GCC diagnostic pop
    event.SetId(progress_event_id);
    wxQueueEvent(this, event.Clone());
}

void launcher_mw::OnProgressEvent(wxTimerEvent&)
{
    progress_event_pending_.store(0, std::memory_order_release);
    progress_bar_->RedrawIfChanged();
    UpdateStatusText();
}

void launcher_mw::OnTimer(wxTimerEvent&)
{
    if (launcher_window_ready)
        run_boot_sequence();
    else if (verbosity_level > 0)
        log_printf("launcher_mw::OnTimer() - constructor not finished?\n");
}

void launcher_mw::run_boot_sequence()
{
    boot_sequence_hooks hooks = {this, start_updater_hook, give_up_hook};
    run_boot_sequence_step(&tick_ms, options_mode, hooks);
}

void launcher_mw::GiveUp()
{
    // Closing the only top-level window ends the main loop; the process
    // then finishes normally with the exit banner.
    tick_timer_.Stop();
    GetParent()->Close(true);
}

void launcher_mw::ToggleBetaMode()
{
    set_beta_test_enable(!get_beta_test_enable());
    UpdateStatusText();
    if (!updater_finished.load(std::memory_order_acquire))
        return;
    updater_lock_fd = quon_lock_file(lock_path.c_str());
    if (updater_lock_fd >= 0) {
        if (verbosity_level > 1)
            log_printf("OnTimer(), late start of updater thread.\n");
        start_updater_thread(this);
    }
}

void launcher_mw::OnKeyDown(wxKeyEvent& event)
{
    switch (event.GetKeyCode()) {
    case key_escape:
        options_mode = !options_mode;
        UpdateStatusText();
        break;
    case key_b:
        ToggleBetaMode();
        break;
    case key_q:
        // At once: no exit banner and no clean-up; the updater thread dies
        // with the process.
        fflush(nullptr);
        _exit(0);
    default:
        break;
    }
    event.Skip();
}

launcher_frame::launcher_frame(const wxString& title, const wxPoint& position, const wxSize& size)
    : quon_frame(nullptr, wxID_ANY, title, position, size,
                 wxFRAME_TOOL_WINDOW | wxFRAME_NO_TASKBAR | wxWANTS_CHARS | wxCLIP_CHILDREN | wxBORDER_NONE)
{
    window_ = new launcher_mw(this, wxID_ANY, title, position, size, wxBORDER_NONE);
}

launcher_frame::~launcher_frame() {}
