#include "gui/progress_bar.h"

// The updater thread's store and the GUI thread's load must be single
// instructions, never a lock and never torn.
static_assert(std::atomic<double>::is_always_lock_free, "a lock-free atomic double");

int quon_progress_filled_columns(int width, double percent)
{
    double filled = (double)width * percent / 100.0;
    // Held in double before the conversion, which is undefined out of range.
    if (!(filled > 0.0))
        return 0;
    if (filled >= (double)width)
        return width;
    return (int)filled;
}

quon_progress_bar::quon_progress_bar(wxWindow* parent, wxWindowID id, const wxString& name)
    : quon_embedded_window(parent, id, name, wxDefaultPosition, wxSize(20, 20), wxBORDER_NONE),
      last_drawn_value_(-1.0),
      value_(0.0),
      fill_colour_{0, 255, 0},
      empty_colour_{0, 0, 0}
{
}

quon_progress_bar::~quon_progress_bar() {}

void quon_progress_bar::RequestRedraw(bool /*bitmap_recreated*/)
{
    Refresh(false);
}

void quon_progress_bar::Render(quon_bitmap& target)
{
    wxSize client = GetClientSize();
    int width = client.x;
    int height = client.y;
    double value = GetValue();
    int filled = quon_progress_filled_columns(width, value);
    if (filled >= 1)
        target.DrawFilledRectangle(0, 0, filled - 1, height - 1, fill_colour_);
    if (filled < width)
        target.DrawFilledRectangle(filled, 0, width - 1, height - 1, empty_colour_);
    last_drawn_value_ = value;
}

void quon_progress_bar::SetFillColour(int red, int green, int blue)
{
    fill_colour_ = quon_colour{red, green, blue};
}

void quon_progress_bar::SetEmptyColour(int red, int green, int blue)
{
    empty_colour_ = quon_colour{red, green, blue};
}

void quon_progress_bar::SetValue(double percent)
{
    value_.store(percent, std::memory_order_relaxed);
    if (percent != last_drawn_value_)
        RequestRedraw(false);
}

void quon_progress_bar::SetValueQuiet(double percent)
{
    value_.store(percent, std::memory_order_relaxed);
}

void quon_progress_bar::RedrawIfChanged()
{
    if (GetValue() != last_drawn_value_)
        RequestRedraw(false);
}

double quon_progress_bar::GetValue() const
{
    return value_.load(std::memory_order_relaxed);
}
