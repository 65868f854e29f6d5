#include "gui/app.h"

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <wx/dcclient.h>
#include <wx/display.h>

#include "base/log.h"

quon_void_pointer_container embedded_window_registry;

namespace {

// The tick timer's identifier on the application object.
const int tick_timer_id = 1;

void (*init_hook)() = nullptr;
int (*exit_hook)() = nullptr;
// Set by the init hook: the toolkit started and met the display.
bool toolkit_started = false;
quon_wx* the_instance = nullptr;

wxIcon application_icon;
bool application_icon_set = false;
int tooltips_enabled = 1;

// The toolkit's debug build would otherwise stop a player's launcher with a
// modal assertion dialog; the report goes to the log instead.
void log_toolkit_assertion(const wxString& file, int line, const wxString& function, const wxString& condition,
                           const wxString& message)
{
    if (verbosity_level > 0)
        log_printf("Error in the toolkit, assertion \"%s\" failed in %s() at %s:%d - %s?\n",
                   (const char*)condition.utf8_str(), (const char*)function.utf8_str(),
                   (const char*)file.utf8_str(), line, (const char*)message.utf8_str());
}

char* copy_text(const char* text)
{
    char* copy = strdup(text ? text : "");
    return copy ? copy : strdup("");
}

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(quon_wx);

void quon_wx_set_hooks(void (*on_init)(), int (*on_exit)())
{
    init_hook = on_init;
    exit_hook = on_exit;
}

int quon_wx_main(int argc, char** argv)
{
    wxSetAssertHandler(log_toolkit_assertion);
    // The toolkit decodes the arguments before anything else sets the
    // locale; in the "C" locale every non-ASCII argument would arrive empty.
    // Only the character type: numbers keep their "C" formatting.
    setlocale(LC_CTYPE, "");
    const char* program = argc > 0 && argv && argv[0] ? argv[0] : "brimvale-launcher";
    if (const char* slash = strrchr(program, '/'))
        program = slash + 1;
    toolkit_started = false;
    int result = wxEntry(argc, argv);
    if (!toolkit_started) {
        fprintf(stderr, "%s: cannot open the X display (is DISPLAY set to a running X server?)\n", program);
        return 1;
    }
    return result;
}

wxBEGIN_EVENT_TABLE(quon_wx, wxApp)
    EVT_TIMER(tick_timer_id, quon_wx::OnTick)
wxEND_EVENT_TABLE()

quon_wx::quon_wx() : requested_tick_period_(0), current_tick_period_(0), narrow_arguments_(nullptr)
{
    the_instance = this;
}

quon_wx::~quon_wx()
{
    tick_timer_.Stop();
    if (narrow_arguments_) {
        for (int i = 0; narrow_arguments_[i]; i++)
            free(narrow_arguments_[i]);
        free(narrow_arguments_);
    }
    if (the_instance == this)
        the_instance = nullptr;
}

quon_wx* quon_wx::Get()
{
    return the_instance;
}

bool quon_wx::OnInit()
{
    // Not wxApp::OnInit: its command-line parser would refuse the
    // program's own switches.
    toolkit_started = true;
    requested_tick_period_ = 0;
    current_tick_period_ = 0;
    if (init_hook)
        init_hook();
    tick_timer_.SetOwner(this, tick_timer_id);
    if (requested_tick_period_ > 0) {
        current_tick_period_ = requested_tick_period_;
        tick_timer_.Start(requested_tick_period_, wxTIMER_CONTINUOUS);
    }
    return true;
}

int quon_wx::OnExit()
{
    int result = exit_hook ? exit_hook() : 0;
    wxApp::OnExit();
    return result;
}

void quon_wx::SetTickPeriod(int milliseconds)
{
    requested_tick_period_ = milliseconds;
    // A negative period would reach the toolkit as "keep the old interval".
    if (milliseconds <= 0) {
        current_tick_period_ = 0;
        tick_timer_.Stop();
        return;
    }
    if (milliseconds == current_tick_period_)
        return;
    current_tick_period_ = milliseconds;
    tick_timer_.Start(milliseconds, wxTIMER_CONTINUOUS);
}

void quon_wx::OnTick(wxTimerEvent& /*event*/)
{
    if (requested_tick_period_ < 1) {
        current_tick_period_ = 0;
        tick_timer_.Stop();
        return;
    }
    // The library's software countdown timers would advance here; the
    // launcher has none.
    if (requested_tick_period_ != current_tick_period_) {
        current_tick_period_ = requested_tick_period_;
        tick_timer_.Start(requested_tick_period_, wxTIMER_CONTINUOUS);
    }
}

char** quon_wx::GetNarrowArguments()
{
    if (narrow_arguments_)
        return narrow_arguments_;
    int count = argc > 0 ? argc : 0;
    char** arguments = (char**)calloc(count + 1, sizeof(char*));
    if (!arguments)
        return nullptr;
    for (int i = 0; i < count; i++) {
        wxString argument = argv[i];
        wxCharBuffer narrow = argument.mb_str(wxConvLibc);
        if (!narrow.data())
            narrow = argument.utf8_str();
        arguments[i] = copy_text(narrow.data());
    }
    narrow_arguments_ = arguments;
    return narrow_arguments_;
}

void quon_wx_set_application_icon(const wxIcon& icon)
{
    application_icon = icon;
    application_icon_set = true;
}

const wxIcon* quon_wx_get_application_icon()
{
    return application_icon_set ? &application_icon : nullptr;
}

wxBEGIN_EVENT_TABLE(quon_frame, wxFrame)
    EVT_SIZE(quon_frame::OnSize)
wxEND_EVENT_TABLE()

quon_frame::quon_frame(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& position,
                       const wxSize& size, long style)
    : wxFrame(parent, id, title, position, size, style, title)
{
    SetName(wxString("quon frame ") + title);
    if (const wxIcon* icon = quon_wx_get_application_icon())
        SetIcon(*icon);
}

void quon_frame::OnSize(wxSizeEvent& /*event*/)
{
    OnFrameResized();
}

wxBEGIN_EVENT_TABLE(quon_embedded_window, wxWindow)
    EVT_PAINT(quon_embedded_window::OnPaint)
    EVT_SIZE(quon_embedded_window::OnSize)
    EVT_ERASE_BACKGROUND(quon_embedded_window::OnEraseBackground)
wxEND_EVENT_TABLE()

quon_embedded_window::quon_embedded_window(wxWindow* parent, wxWindowID id, const wxString& name,
                                           const wxPoint& position, const wxSize& size, long style)
    : wxWindow(parent, id, position, size, style, name), tooltip_enabled_(1), bitmap_(nullptr)
{
    // The toolkit's default size (-1) gives a 1 by 1 bitmap.
    bitmap_ = new quon_bitmap(size.x > 1 ? size.x : 1, size.y > 1 ? size.y : 1);
    embedded_window_registry.add(this);
}

quon_embedded_window::~quon_embedded_window()
{
    embedded_window_registry.remove(this);
    delete bitmap_;
    bitmap_ = nullptr;
}

void quon_embedded_window::OnPaint(wxPaintEvent& /*event*/)
{
    wxPaintDC dc(this);
    if (IsShownOnScreen()) {
        Render(*bitmap_);
        dc.DrawBitmap(*bitmap_, 0, 0, false);
    }
}

void quon_embedded_window::OnSize(wxSizeEvent& /*event*/) {}

void quon_embedded_window::OnEraseBackground(wxEraseEvent& /*event*/) {}

bool quon_embedded_window::KeepBitmapAt(int width, int height)
{
    // Compared with the bitmap rather than the window: a window made at the
    // toolkit's default size has a 1 by 1 bitmap but a larger window, and
    // resizing it to that size must still give it a bitmap to match.
    if (bitmap_->IsOk() && bitmap_->GetWidth() == width && bitmap_->GetHeight() == height)
        return false;
    delete bitmap_;
    bitmap_ = new quon_bitmap(width, height);
    return true;
}

void quon_embedded_window::SetPositionAndSize(int x, int y, int width, int height)
{
    if (width < 1)
        width = 1;
    if (height < 1)
        height = 1;
    bool recreated = KeepBitmapAt(width, height);
    SetSize(x, y, width, height, wxSIZE_AUTO);
    RequestRedraw(recreated);
}

void quon_embedded_window::SetWindowSize(int width, int height)
{
    if (width < 1)
        width = 1;
    if (height < 1)
        height = 1;
    bool recreated = KeepBitmapAt(width, height);
    SetSize(-1, -1, width, height, wxSIZE_USE_EXISTING);
    RequestRedraw(recreated);
}

void quon_embedded_window::SetTooltipEnabled(int enabled)
{
    tooltip_enabled_ = enabled;
    ApplyTooltip();
}

void quon_embedded_window::SetTooltipText(const wxString& text)
{
    tooltip_text_ = text;
    ApplyTooltip();
}

void quon_embedded_window::SetTooltipsEnabled(int enabled)
{
    tooltips_enabled = enabled;
    quon_pointer_array windows;
    embedded_window_registry.collect(windows);
    for (int i = 0; i < windows.count(); i++)
        ((quon_embedded_window*)windows.get(i))->ApplyTooltip();
}

void quon_embedded_window::ApplyTooltip()
{
    if (tooltips_enabled && tooltip_enabled_ && !tooltip_text_.empty())
        SetToolTip(tooltip_text_);
    else
        UnsetToolTip();
}

void wx_center_window(wxWindow* window)
{
    if (!window)
        return;
    wxDisplay display(window);
    wxRect area = display.GetClientArea();
    int width = area.GetWidth();
    int height = area.GetHeight();
    if (width < 1) {
        if (verbosity_level > 0)
            log_printf("Error in wx_center_window(), got bogus screen/display xsize of %d.  Setting to 640.\n",
                       width);
        width = 640;
    }
    if (height < 1) {
        if (verbosity_level > 0)
            log_printf("Error in wx_center_window(), got bogus screen/display ysize of %d.  Setting to 480.\n",
                       height);
        if (verbosity_level > 1)
            log_printf("wx_center_window(), got screen/display size of %d, %d.\n", width, 480);
        height = 480;
    } else if (verbosity_level > 1) {
        log_printf("wx_center_window(), got screen/display size of %d, %d.\n", width, height);
    }
    wxSize size = window->GetSize();
    // wxSIZE_ALLOW_MINUS_ONE: a window two pixels wider than the screen
    // lands at -1, which must be a position, not "leave as it is".
    window->SetSize((width - size.x) / 2, (height - size.y) / 2, size.x, size.y, wxSIZE_ALLOW_MINUS_ONE);
}
