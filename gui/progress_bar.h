#ifndef BRIMVALE_GUI_PROGRESS_BAR_H
#define BRIMVALE_GUI_PROGRESS_BAR_H

#include <atomic>

#include "gui/app.h"

// The number of the w columns of a bar at percent that are drawn filled:
// w * percent / 100 truncated towards zero, then held to 0 .. w.
int quon_progress_filled_columns(int width, double percent);

// The owner-drawn horizontal bar under the launcher's status text: a filled
// part on the left, an empty part on the right, every pixel rewritten at
// alpha 255 on each rendering. It repaints only when its value has changed
// since it was last drawn. GUI thread only, except SetValueQuiet.
class quon_progress_bar : public quon_embedded_window {
public:
    // 20 by 20 pixels, borderless, at the toolkit's default position; the
    // owner places it with SetPositionAndSize. The parent deletes it.
    quon_progress_bar(wxWindow* parent, wxWindowID id, const wxString& name);
    ~quon_progress_bar();

    void RequestRedraw(bool bitmap_recreated) override;
    void Render(quon_bitmap& target) override;

    // Stored; no repaint.
    void SetFillColour(int red, int green, int blue);
    void SetEmptyColour(int red, int green, int blue);
    // Stores percent and asks for a repaint when it differs from the value
    // last drawn.
    void SetValue(double percent);
    // Stores percent and nothing else: safe from any thread, to be followed
    // by RedrawIfChanged on the GUI thread.
    void SetValueQuiet(double percent);
    void RedrawIfChanged();
    double GetValue() const;
    // The value at the last Render; -1.0 before the first.
    double GetLastDrawnValue() const { return last_drawn_value_; }

private:
    double last_drawn_value_;
    // Written by the updater thread, read by the GUI thread after a posted
    // event tells it to look: relaxed ordering is enough, torn values are not.
    std::atomic<double> value_;
    quon_colour fill_colour_;
    quon_colour empty_colour_;
};

#endif
