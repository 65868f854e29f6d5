// A whole application on the GUI layer, for the display tests: it runs
// quon_wx_main with init and exit hooks like the launcher's and reports
// on standard output what the tests check.
//
//   gui_harness [arguments...]
//
// Start-up prints "init", then one "arg <index> <hex bytes>" line per
// narrow argument, shows a 200 by 100 frame titled "Harness" centred on the
// screen and asks for a 20 ms tick. Once the main loop runs it prints
// "tick <requested> <current> <running> <interval>", and 200 ms later it
// closes the frame, which ends the main loop: the exit hook prints
// "exit hook", and main prints "main returned <result>". Among the
// arguments, "--hold" keeps the frame open until the process is killed and
// "--assert" makes start-up fail a toolkit assertion.

#include <stdio.h>
#include <string.h>

#include <wx/timer.h>

#include "gui/app.h"
#include "gui/toolkit_leaks.h"

namespace {

void say(const char* format, const char* text = "", int number = 0)
{
    printf(format, text, number);
    fflush(stdout);
}

class harness_window : public quon_embedded_window {
public:
    harness_window(wxWindow* parent) : quon_embedded_window(parent, wxID_ANY, "harness window")
    {
        SetPositionAndSize(0, 0, 200, 100);
    }
    void RequestRedraw(bool /*bitmap_recreated*/) override { Refresh(false); }
    void Render(quon_bitmap& target) override { target.Clear(quon_colour{20, 40, 60}); }
};

class harness_frame : public quon_frame {
public:
    explicit harness_frame(bool hold)
        : quon_frame(nullptr, wxID_ANY, "Harness", wxDefaultPosition, wxSize(200, 100),
                     wxBORDER_NONE | wxFRAME_NO_TASKBAR),
          close_timer_(this, 7)
    {
        new harness_window(this);
        Bind(wxEVT_TIMER, &harness_frame::OnCloseTimer, this, 7);
        if (!hold)
            close_timer_.StartOnce(200);
    }
    void OnFrameResized() override {}

private:
    void OnCloseTimer(wxTimerEvent&) { Close(true); }

    wxTimer close_timer_;
};

void on_init()
{
    say("init\n");
    quon_wx* app = quon_wx::Get();
    char** arguments = app->GetNarrowArguments();
    for (int i = 0; i < app->GetNarrowArgumentCount(); i++) {
        printf("arg %d ", i);
        for (const unsigned char* c = (const unsigned char*)arguments[i]; *c; c++)
            printf("%02x", *c);
        say("\n");
    }
    if (arguments[app->GetNarrowArgumentCount()] != nullptr)
        say("arguments not terminated\n");
    bool hold = false;
    for (int i = 1; i < app->GetNarrowArgumentCount(); i++) {
        hold |= strcmp(arguments[i], "--hold") == 0;
        if (strcmp(arguments[i], "--assert") == 0)
            wxFAIL_MSG("harness assertion");
    }
    harness_frame* frame = new harness_frame(hold);
    wx_center_window(frame);
    frame->Show();
    app->SetTopWindow(frame);
    app->SetTickPeriod(20);
    app->CallAfter([] {
        quon_wx* app = quon_wx::Get();
        printf("tick %d %d %d %d\n", app->GetRequestedTickPeriod(), app->GetCurrentTickPeriod(),
               app->GetTickTimer().IsRunning() ? 1 : 0, app->GetTickTimer().GetInterval());
        fflush(stdout);
    });
}

int on_exit()
{
    say("exit hook\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    quon_wx_set_hooks(on_init, on_exit);
    int result = quon_wx_main(argc, argv);
    say("main returned %s%d\n", "", result);
    return result;
}
