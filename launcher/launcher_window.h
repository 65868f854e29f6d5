#ifndef BRIMVALE_LAUNCHER_LAUNCHER_WINDOW_H
#define BRIMVALE_LAUNCHER_LAUNCHER_WINDOW_H

#include <atomic>

#include <wx/stattext.h>
#include <wx/timer.h>

#include "gui/app.h"
#include "gui/bitmap.h"
#include "gui/progress_bar.h"

// The decoded splash picture; set once by LoadSplashBitmap, never freed.
extern quon_bitmap* splash_bitmap;
// Set as the last step of the launcher_mw constructor; ticks do nothing
// before it.
extern std::atomic<int> launcher_window_ready;

// Decodes the embedded PNG into splash_bitmap. The toolkit's PNG handler
// must be registered first.
void LoadSplashBitmap();

// The launcher's content: the splash picture, three status lines and the
// download progress bar. Its 20 ms timer drives the boot sequencer; it
// answers Escape, B and Q; the updater thread reaches it only through
// SetDownloadProgress. Everything else runs on the GUI thread.
class launcher_mw : public quon_embedded_window {
public:
    launcher_mw(wxWindow* parent, wxWindowID id, const wxString& name, const wxPoint& position,
                const wxSize& size, long style);
    ~launcher_mw();

    void RequestRedraw(bool bitmap_recreated) override;
    void Render(quon_bitmap& target) override;

    // Rebuilds the three lines from the mode, beta-test mode and progress.
    void UpdateStatusText();
    // Updater thread: stores the percentage in the bar and posts a progress
    // event (timer identifier 2) to this window, unless one is still
    // waiting to be handled. Touches nothing else.
    void SetDownloadProgress(double percent);
    void ToggleBetaMode();
    // One step of the boot sequencer.
    void run_boot_sequence();
    // Stops ticking and closes the frame.
    void GiveUp();

    int options_mode;
    int tick_ms;

private:
    void OnTimer(wxTimerEvent& event);
    void OnProgressEvent(wxTimerEvent& event);
    void OnKeyDown(wxKeyEvent& event);

    wxTimer tick_timer_;
    // Set by the updater thread when it posts a progress event, cleared by
    // the GUI thread when it handles one.
    std::atomic<int> progress_event_pending_;
    wxStaticText* status_lines_[3];
    quon_progress_bar* progress_bar_;

    wxDECLARE_EVENT_TABLE();
};

// The top-level window: no caption, kept out of the task bar, receiving
// every key itself; its only content is the launcher_mw it creates, which
// has the frame's size from the start.
class launcher_frame : public quon_frame {
public:
    launcher_frame(const wxString& title, const wxPoint& position, const wxSize& size);
    ~launcher_frame();

    void OnFrameResized() override {}
    launcher_mw* window() { return window_; }

private:
    // Owned by the toolkit as our child; destroyed with the frame.
    launcher_mw* window_;
};

#endif
