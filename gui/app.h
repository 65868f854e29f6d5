#ifndef BRIMVALE_GUI_APP_H
#define BRIMVALE_GUI_APP_H

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/icon.h>
#include <wx/timer.h>
#include <wx/window.h>

#include "base/containers.h"
#include "gui/bitmap.h"

// The skeleton of the in-house window layer: the application object, the
// base of every top-level frame, the base of every owner-drawn child window
// and centring. Everything here runs on the GUI thread only; other threads
// reach a window by posting an event to it.

// The program's side of the application object, registered before
// quon_wx_main: on_init runs inside the toolkit's start-up (it ends the
// process itself when start-up fails), on_exit when the main loop has ended.
// Either may be null.
void quon_wx_set_hooks(void (*on_init)(), int (*on_exit)());

// Runs the toolkit with quon_wx as the application object and returns its
// result. When the toolkit cannot start (no X display) it prints
// "<program>: cannot open the X display ..." on standard error and returns 1.
int quon_wx_main(int argc, char** argv);

// The application object. It owns the tick timer that windows can ask for
// with SetTickPeriod; after start-up the timer's events (identifier 1) come
// to OnTick.
class quon_wx : public wxApp {
public:
    quon_wx();
    ~quon_wx();

    // The one instance while it exists, null before and after.
    static quon_wx* Get();

    bool OnInit() override;
    int OnExit() override;

    // milliseconds <= 0 stops the tick; the period in force is kept when the
    // request repeats it.
    void SetTickPeriod(int milliseconds);
    int GetRequestedTickPeriod() const { return requested_tick_period_; }
    int GetCurrentTickPeriod() const { return current_tick_period_; }
    const wxTimer& GetTickTimer() const { return tick_timer_; }

    // The toolkit's arguments (its own options removed) as narrow strings in
    // the locale's multibyte encoding, UTF-8 for a text the locale cannot
    // encode; a null-terminated array built on first use and kept, with the
    // strings, for the rest of the run.
    int GetNarrowArgumentCount() const { return argc; }
    char** GetNarrowArguments();

private:
    void OnTick(wxTimerEvent& event);

    int requested_tick_period_;
    int current_tick_period_;
    wxTimer tick_timer_;
    char** narrow_arguments_;

    wxDECLARE_EVENT_TABLE();
};

// The icon that frames take when they are created; the launcher sets none.
void quon_wx_set_application_icon(const wxIcon& icon);
// The registered icon, or null when none is set.
const wxIcon* quon_wx_get_application_icon();

// The base of every top-level frame. Its toolkit name is "quon frame "
// followed by the title. Every size event calls OnFrameResized and is
// consumed there, so the toolkit never lays out the children itself.
class quon_frame : public wxFrame {
public:
    quon_frame(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& position,
               const wxSize& size, long style);

    virtual void OnFrameResized() = 0;

private:
    void OnSize(wxSizeEvent& event);

    wxDECLARE_EVENT_TABLE();
};

// The base of every owner-drawn child window. It keeps an off-screen bitmap
// of its own size (each side at least 1), has the subclass Render into it on
// every paint and blits it in one call; size and erase-background events are
// swallowed, so nothing flickers. The bitmap is replaced, never resized: a
// reference from GetBitmap holds only until the next size change.
class quon_embedded_window : public wxWindow {
public:
    quon_embedded_window(wxWindow* parent, wxWindowID id, const wxString& name,
                         const wxPoint& position = wxDefaultPosition, const wxSize& size = wxDefaultSize,
                         long style = 0);
    ~quon_embedded_window();

    // Ask for a repaint; bitmap_recreated tells whether the bitmap was
    // replaced since.
    virtual void RequestRedraw(bool bitmap_recreated) = 0;
    // Draw the whole content into target, the window's own bitmap.
    virtual void Render(quon_bitmap& target) = 0;
    // Move and resize (-1 for a coordinate lets the toolkit choose), keeping
    // the bitmap in step, then RequestRedraw.
    virtual void SetPositionAndSize(int x, int y, int width, int height);
    // Resize in place, keeping the bitmap in step, then RequestRedraw.
    virtual void SetWindowSize(int width, int height);
    virtual void ForceRedraw() { RequestRedraw(true); }

    // The tooltip shows when the global switch, this window's switch and a
    // non-empty text are all present.
    void SetTooltipEnabled(int enabled);
    void SetTooltipText(const wxString& text);
    static void SetTooltipsEnabled(int enabled);

    quon_bitmap& GetBitmap() { return *bitmap_; }

private:
    void OnPaint(wxPaintEvent& event);
    void OnSize(wxSizeEvent& event);
    void OnEraseBackground(wxEraseEvent& event);
    void ApplyTooltip();
    // True when the bitmap was replaced.
    bool KeepBitmapAt(int width, int height);

    wxString tooltip_text_;
    int tooltip_enabled_;
    quon_bitmap* bitmap_;

    wxDECLARE_EVENT_TABLE();
};

// Every live quon_embedded_window, from the end of its constructor to the
// start of its destructor.
extern quon_void_pointer_container embedded_window_registry;

// Centres window on the work area of the display that holds it, keeping its
// size; a work area reported below 1 pixel counts as 640 by 480.
void wx_center_window(wxWindow* window);

#endif
