// The window classes on a real X display: an Xvfb server started here on a
// free display number (1280 by 1024, 24 bits, GLX), the toolkit started once
// in this process on it, and the pixels read back from screenshots taken
// with ImageMagick's import. Without Xvfb or import every test is skipped.

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/mstream.h>
#include <wx/rawbmp.h>

#include <gtest/gtest.h>

#include "base/log.h"
#include "gui/app.h"
#include "gui/bitmap.h"
#include "gui/gl_probe.h"
#include "gui/progress_bar.h"
#include "gui/splash_data.h"
#include "gui/toolkit_leaks.h"
#include "tests/support/test_support.h"

namespace {

const char xvfb_path[] = "/usr/bin/Xvfb";
const char import_path[] = "/usr/bin/import";

long long now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// An Xvfb of our own; -displayfd lets it pick a free display number.
class xvfb_server {
public:
    ~xvfb_server() { stop(); }

    bool start(std::string& why)
    {
        int fds[2];
        if (pipe(fds) != 0) {
            why = "pipe failed";
            return false;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            std::string fd = std::to_string(fds[1]);
            execl(xvfb_path, "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "+extension", "GLX",
                  "-nolisten", "tcp", "-noreset", (char*)nullptr);
            _exit(127);
        }
        close(fds[1]);
        if (pid_ < 0) {
            close(fds[0]);
            why = "fork failed";
            return false;
        }
        std::string number;
        long long deadline = now_ms() + 15000;
        while (now_ms() < deadline) {
            struct pollfd p = {fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char c;
            if (read(fds[0], &c, 1) != 1 || c == '\n')
                break;
            number += c;
        }
        close(fds[0]);
        if (number.empty()) {
            why = "Xvfb did not report a display number";
            stop();
            return false;
        }
        display_ = ":" + number;
        return true;
    }

    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// The server and the toolkit, once for the whole program.
class display_environment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (access(xvfb_path, X_OK) != 0 || access(import_path, X_OK) != 0) {
            skip_reason = "Xvfb or ImageMagick's import is not installed";
            return;
        }
        if (!server.start(skip_reason))
            return;
        setenv("DISPLAY", server.display().c_str(), 1);
        setenv("GDK_BACKEND", "x11", 1);
        unsetenv("WAYLAND_DISPLAY");
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("GSETTINGS_BACKEND", "memory", 1);
        static int argc = 1;
        static char name[] = "gui_display_test";
        static char* argv[] = {name, nullptr};
        if (!wxEntryStart(argc, argv)) {
            skip_reason = "the toolkit did not start on " + server.display();
            return;
        }
        wxTheApp->CallOnInit();
        loop = new wxEventLoop();
        wxEventLoopBase::SetActive(loop);
        if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG))
            wxImage::AddHandler(new wxPNGHandler);
        ready = true;
    }

    void TearDown() override
    {
        if (ready) {
            for (wxWindow* window : wxTopLevelWindows)
                window->Destroy();
            wxTheApp->ProcessPendingEvents();
            wxEventLoopBase::SetActive(nullptr);
            delete loop;
            wxEntryCleanup();
        }
        server.stop();
    }

    xvfb_server server;
    wxEventLoop* loop = nullptr;
    bool ready = false;
    std::string skip_reason;
};

display_environment* environment = static_cast<display_environment*>(
    ::testing::AddGlobalTestEnvironment(new display_environment()));

#define REQUIRE_DISPLAY()                                 \
    do {                                                  \
        if (!environment->ready)                          \
            GTEST_SKIP() << environment->skip_reason;     \
    } while (0)

// Runs the toolkit's events until done() holds or timeout_ms have passed.
bool pump_until(const std::function<bool()>& done, int timeout_ms = 5000)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        environment->loop->DispatchTimeout(10);
        wxTheApp->ProcessPendingEvents();
        environment->loop->ProcessIdle();
        if (done())
            return true;
        if (now_ms() >= deadline)
            return false;
    }
}

void pump_for(int milliseconds)
{
    pump_until([] { return false; }, milliseconds);
}

struct screenshot {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;

    std::vector<int> at(int x, int y) const
    {
        const unsigned char* p = rgb.data() + 3 * ((size_t)y * width + x);
        return {p[0], p[1], p[2]};
    }
};

// The whole screen as the X server has it.
bool take_screenshot(screenshot& shot)
{
    temp_dir dir;
    std::string path = dir.file("screen.ppm");
    std::string command = std::string(import_path) + " -display " + environment->server.display() +
                          " -window root -depth 8 ppm:" + path + " 2>/dev/null";
    if (system(command.c_str()) != 0)
        return false;
    std::string data = read_file(path);
    int maximum = 0, used = 0;
    if (sscanf(data.c_str(), "P6 %d %d %d%n", &shot.width, &shot.height, &maximum, &used) != 3 || maximum != 255)
        return false;
    size_t size = (size_t)shot.width * shot.height * 3;
    if (data.size() < used + 1 + size)
        return false;
    shot.rgb.assign(data.begin() + used + 1, data.begin() + used + 1 + size);
    return true;
}

// Screenshots until every pixel of the width by height area at (left, top)
// matches expected(x, y), or 5 seconds have passed. Returns the number of
// wrong pixels of the last screenshot and describes the first ones.
int compare_screen(int left, int top, int width, int height,
                   const std::function<std::vector<int>(int x, int y)>& expected, std::string& first_wrong)
{
    int wrong = -1;
    long long deadline = now_ms() + 5000;
    while (wrong != 0 && now_ms() < deadline) {
        pump_for(50);
        screenshot shot;
        if (!take_screenshot(shot) || shot.width < left + width || shot.height < top + height) {
            first_wrong = "no screenshot";
            continue;
        }
        wrong = 0;
        first_wrong.clear();
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x++) {
                std::vector<int> want = expected(x, y);
                std::vector<int> got = shot.at(left + x, top + y);
                if (got == want)
                    continue;
                if (wrong++ < 5)
                    first_wrong += "(" + std::to_string(x) + ", " + std::to_string(y) + "): got " +
                                   std::to_string(got[0]) + "," + std::to_string(got[1]) + "," +
                                   std::to_string(got[2]) + " want " + std::to_string(want[0]) + "," +
                                   std::to_string(want[1]) + "," + std::to_string(want[2]) + "; ";
            }
    }
    return wrong;
}

std::vector<unsigned> bitmap_pixels(quon_bitmap& bitmap)
{
    std::vector<unsigned> pixels;
    wxAlphaPixelData data(bitmap);
    if (!data)
        return pixels;
    wxAlphaPixelData::Iterator row(data);
    for (int y = 0; y < data.GetHeight(); y++) {
        wxAlphaPixelData::Iterator p = row;
        for (int x = 0; x < data.GetWidth(); x++, ++p)
            pixels.push_back((unsigned)p.Red() << 24 | (unsigned)p.Green() << 16 | (unsigned)p.Blue() << 8 |
                             p.Alpha());
        row.OffsetY(data, 1);
    }
    return pixels;
}

int count_alpha_not_255(quon_bitmap& bitmap)
{
    int wrong = 0;
    for (unsigned pixel : bitmap_pixels(bitmap))
        wrong += (pixel & 255) != 255;
    return wrong;
}

wxImage decoded_splash()
{
    wxMemoryInputStream stream(splash_png, splash_png_size);
    wxImage image;
    image.LoadFile(stream, wxBITMAP_TYPE_PNG);
    return image;
}

// A frame like the launcher's: no caption, kept out of the task bar.
class test_frame : public quon_frame {
public:
    test_frame(const wxString& title, const wxSize& size)
        : quon_frame(nullptr, wxID_ANY, title, wxDefaultPosition, size,
                     wxBORDER_NONE | wxFRAME_NO_TASKBAR | wxFRAME_TOOL_WINDOW | wxWANTS_CHARS | wxCLIP_CHILDREN)
    {
    }
    void OnFrameResized() override { resized++; }

    int resized = 0;
};

class counting_window : public quon_embedded_window {
public:
    counting_window(wxWindow* parent, const wxSize& size = wxDefaultSize)
        : quon_embedded_window(parent, wxID_ANY, "counting window", wxDefaultPosition, size)
    {
    }
    void RequestRedraw(bool bitmap_recreated) override
    {
        redraws++;
        last_recreated = bitmap_recreated;
        Refresh(false);
    }
    void Render(quon_bitmap& target) override
    {
        renders++;
        target.Clear(quon_colour{1, 2, 3});
    }

    int redraws = 0;
    bool last_recreated = false;
    int renders = 0;
};

class counting_bar : public quon_progress_bar {
public:
    explicit counting_bar(wxWindow* parent) : quon_progress_bar(parent, wxID_ANY, "Downloader progress bar") {}
    void RequestRedraw(bool bitmap_recreated) override
    {
        redraws++;
        quon_progress_bar::RequestRedraw(bitmap_recreated);
    }
    void Render(quon_bitmap& target) override
    {
        renders++;
        quon_progress_bar::Render(target);
    }

    int redraws = 0;
    int renders = 0;
};

// The launcher's picture: the splash times its alpha, the bar at 50 percent
// in the launcher's colours, and a row of colour fields in the text area.
class splash_window : public quon_embedded_window {
public:
    splash_window(wxWindow* parent, quon_bitmap* splash)
        : quon_embedded_window(parent, wxID_ANY, "splash", wxPoint(0, 0), wxSize(480, 300), wxBORDER_NONE),
          splash_(splash)
    {
        bar = new counting_bar(this);
        bar->SetEmptyColour(32, 32, 32);
        bar->SetFillColour(128, 128, 128);
        bar->SetPositionAndSize(10, 280, 460, 10);
        bar->SetValue(50);
        bar->Show();
    }
    void RequestRedraw(bool) override { Refresh(false); }
    void Render(quon_bitmap& target) override
    {
        target.DrawBitmapUseAlpha(*splash_, 0, 0);
        for (int i = 0; i < 5; i++)
            target.DrawFilledRectangle(10 + 20 * i, 230, 29 + 20 * i, 244, fields[i]);
        renders++;
    }

    static constexpr quon_colour fields[5] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}, {1, 2, 3}};
    counting_bar* bar;
    int renders = 0;

private:
    quon_bitmap* splash_;
};

constexpr quon_colour splash_window::fields[5];

struct verbosity_guard {
    int saved = verbosity_level;
    ~verbosity_guard() { verbosity_level = saved; }
};

std::string harness_path()
{
    const char* build = getenv("BRIMVALE_BUILD_DIR");
    if (build && *build)
        return std::string(build) + "/gui_harness";
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string path(self, n > 0 ? n : 0);
    return path.substr(0, path.rfind('/') + 1) + "gui_harness";
}

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the harness with arguments, DISPLAY set to display (unset when
// empty), and waits for it (at most 30 seconds).
run_result run_harness(const std::vector<std::string>& arguments, const std::string& display)
{
    run_result result;
    temp_dir dir;
    std::string out = dir.file("out"), err = dir.file("err"), program = harness_path();
    pid_t pid = fork();
    if (pid == 0) {
        int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        if (display.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", display.c_str(), 1);
        setenv("LC_ALL", "C.UTF-8", 1);
        std::vector<char*> argv;
        argv.push_back((char*)program.c_str());
        for (const std::string& argument : arguments)
            argv.push_back((char*)argument.c_str());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    long long deadline = now_ms() + 30000;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (now_ms() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
}

std::string hex(const std::string& text)
{
    std::string out;
    char digits[3];
    for (unsigned char c : text) {
        snprintf(digits, sizeof(digits), "%02x", c);
        out += digits;
    }
    return out;
}

}  // namespace

TEST(display, blit_shows_exactly_the_bytes_drawn_at_the_centre_of_the_screen)
{
    REQUIRE_DISPLAY();
    wxImage image = decoded_splash();
    ASSERT_TRUE(image.IsOk());
    quon_bitmap splash(image);
    log_capture log;
    test_frame* frame = new test_frame("Brimvale Launcher", wxSize(480, 300));
    splash_window* window = new splash_window(frame, &splash);
    wx_center_window(frame);
    frame->Show();
    ASSERT_TRUE(pump_until([&] { return window->renders > 0 && window->bar->renders > 0; }));
    EXPECT_EQ(frame->GetScreenPosition(), wxPoint(400, 362));
    EXPECT_TRUE(log.contains("wx_center_window(), got screen/display size of 1280, 1024.\n")) << log.text();

    auto expected = [&](int x, int y) -> std::vector<int> {
        if (y >= 280 && y < 290 && x >= 10 && x < 470)
            return x - 10 < 230 ? std::vector<int>{128, 128, 128} : std::vector<int>{32, 32, 32};
        if (y >= 230 && y < 245 && x >= 10 && x < 110) {
            const quon_colour& c = splash_window::fields[(x - 10) / 20];
            return {c.red, c.green, c.blue};
        }
        unsigned alpha = image.GetAlpha(x, y);
        return {(int)(image.GetRed(x, y) * alpha >> 8), (int)(image.GetGreen(x, y) * alpha >> 8),
                (int)(image.GetBlue(x, y) * alpha >> 8)};
    };
    std::string first_wrong;
    EXPECT_EQ(compare_screen(400, 362, 480, 300, expected, first_wrong), 0) << first_wrong;
    frame->Destroy();
    pump_for(50);
}

TEST(display, bitmaps_keep_the_image_bytes_and_report_failed_pixel_access)
{
    REQUIRE_DISPLAY();
    unsigned char* rgb = (unsigned char*)malloc(3 * 3);
    unsigned char* alpha = (unsigned char*)malloc(3);
    const unsigned char rgb_bytes[] = {200, 100, 50, 200, 100, 50, 7, 8, 9};
    const unsigned char alpha_bytes[] = {255, 128, 0};
    memcpy(rgb, rgb_bytes, 9);
    memcpy(alpha, alpha_bytes, 3);
    wxImage image(3, 1, rgb, alpha);
    quon_bitmap from_image(image);
    EXPECT_EQ(bitmap_pixels(from_image), (std::vector<unsigned>{0xc86432ff, 0xc8643280, 0x07080900}));

    quon_bitmap target(3, 1);
    target.Clear(quon_colour{9, 9, 9});
    target.DrawBitmapUseAlpha(from_image, 0, 0);
    EXPECT_EQ(bitmap_pixels(target), (std::vector<unsigned>{0xc76331ff, 0x643219ff, 0x000000ff}));

    // A picture without alpha is opaque; its mask colour is transparent.
    wxImage opaque(2, 1);
    opaque.SetRGB(0, 0, 10, 20, 30);
    opaque.SetRGB(1, 0, 1, 2, 3);
    EXPECT_EQ(bitmap_pixels(*std::make_unique<quon_bitmap>(opaque)), (std::vector<unsigned>{0x0a141eff, 0x010203ff}));
    opaque.SetMaskColour(1, 2, 3);
    EXPECT_EQ(bitmap_pixels(*std::make_unique<quon_bitmap>(opaque)), (std::vector<unsigned>{0x0a141eff, 0x01020300}));

    quon_bitmap bar(460, 10);
    EXPECT_EQ(bitmap_pixels(bar).size(), 4600u);
    EXPECT_EQ(count_alpha_not_255(bar), 0);

    verbosity_guard guard;
    verbosity_level = 3;
    log_capture log;
    quon_bitmap undecodable{wxImage()};
    EXPECT_FALSE(undecodable.IsOk());
    target.DrawBitmapUseAlpha(undecodable, 0, 0);
    EXPECT_EQ(log.text(), "Error in quon_bitmap::DrawBitmapUseAlpha(), pixel data src failed?\n");
    log.clear();
    quon_bitmap empty(0, 5);
    EXPECT_FALSE(empty.IsOk());
    empty.DrawFilledRectangle(0, 0, 1, 1, quon_colour{1, 1, 1});
    undecodable.DrawBitmapUseAlpha(target, 0, 0);
    EXPECT_EQ(log.text(),
              "Error in quon_bitmap::ClearAlpha(), pixel data failed?\n"
              "Error in quon_bitmap::DrawFilledRectangle(), pixel data failed?\n"
              "Error in quon_bitmap::DrawBitmapUseAlpha(), pixel data dest failed?\n");
    log.clear();
    verbosity_level = 1;
    target.DrawBitmapUseAlpha(undecodable, 0, 0);
    EXPECT_EQ(log.text(), "");
}

TEST(display, embedded_window_keeps_its_bitmap_at_its_size)
{
    REQUIRE_DISPLAY();
    test_frame* frame = new test_frame("sizes", wxSize(480, 300));
    uint32_t registered = embedded_window_registry.count();
    counting_window* window = new counting_window(frame);
    EXPECT_TRUE(embedded_window_registry.contains(window));
    EXPECT_EQ(embedded_window_registry.count(), registered + 1);
    EXPECT_EQ(window->GetBitmap().GetWidth(), 1);
    EXPECT_EQ(window->GetBitmap().GetHeight(), 1);

    window->SetPositionAndSize(10, 280, 460, 10);
    EXPECT_EQ(window->redraws, 1);
    EXPECT_TRUE(window->last_recreated);
    EXPECT_EQ(window->GetPosition(), wxPoint(10, 280));
    EXPECT_EQ(window->GetSize(), wxSize(460, 10));
    quon_bitmap* bitmap = &window->GetBitmap();
    EXPECT_EQ(bitmap->GetWidth(), 460);
    EXPECT_EQ(bitmap->GetHeight(), 10);
    EXPECT_EQ(count_alpha_not_255(*bitmap), 0);

    window->SetPositionAndSize(10, 280, 460, 10);
    EXPECT_EQ(window->redraws, 2);
    EXPECT_FALSE(window->last_recreated);
    EXPECT_EQ(&window->GetBitmap(), bitmap);

    window->SetPositionAndSize(5, 6, 0, -3);
    EXPECT_TRUE(window->last_recreated);
    EXPECT_EQ(window->GetSize(), wxSize(1, 1));
    EXPECT_EQ(window->GetBitmap().GetWidth(), 1);
    EXPECT_EQ(window->GetBitmap().GetHeight(), 1);

    window->SetWindowSize(30, 20);
    EXPECT_EQ(window->GetPosition(), wxPoint(5, 6));
    EXPECT_EQ(window->GetSize(), wxSize(30, 20));
    EXPECT_EQ(window->GetBitmap().GetWidth(), 30);
    EXPECT_EQ(window->GetBitmap().GetHeight(), 20);

    window->ForceRedraw();
    EXPECT_TRUE(window->last_recreated);

    // Shown, the window renders on paint; size events never reach it from
    // the frame, which lays out nothing.
    frame->Show();
    ASSERT_TRUE(pump_until([&] { return window->renders > 0; }));
    int resized = frame->resized;
    frame->SetSize(400, 250);
    ASSERT_TRUE(pump_until([&] { return frame->resized > resized; }));
    EXPECT_EQ(window->GetSize(), wxSize(30, 20));

    window->Destroy();
    EXPECT_FALSE(embedded_window_registry.contains(window));
    EXPECT_EQ(embedded_window_registry.count(), registered);
    frame->Destroy();
    pump_for(50);
}

TEST(display, a_window_made_at_the_default_size_gets_a_matching_bitmap_when_sized_to_it)
{
    REQUIRE_DISPLAY();
    test_frame* frame = new test_frame("default size", wxSize(100, 100));
    counting_window* window = new counting_window(frame);
    wxSize size = window->GetSize();
    ASSERT_GT(size.x * size.y, 1) << "the toolkit's default size is expected to exceed 1 by 1";
    window->SetPositionAndSize(0, 0, size.x, size.y);
    EXPECT_TRUE(window->last_recreated);
    EXPECT_EQ(window->GetBitmap().GetWidth(), size.x);
    EXPECT_EQ(window->GetBitmap().GetHeight(), size.y);
    frame->Destroy();
    pump_for(50);
}

TEST(display, frames_are_named_after_their_title)
{
    REQUIRE_DISPLAY();
    test_frame* frame = new test_frame("Brimvale Launcher", wxSize(480, 300));
    EXPECT_EQ(frame->GetName(), "quon frame Brimvale Launcher");
    EXPECT_EQ(frame->GetTitle(), "Brimvale Launcher");
    frame->Destroy();
    pump_for(20);
}

TEST(display, centring_uses_the_work_area_and_keeps_the_size)
{
    REQUIRE_DISPLAY();
    verbosity_guard guard;
    struct {
        wxSize size;
        wxPoint position;
    } rows[] = {
        {wxSize(480, 300), wxPoint(400, 362)},
        {wxSize(1281, 1023), wxPoint(0, 0)},  // (1280 - 1281) / 2 truncates to 0
        {wxSize(101, 51), wxPoint(589, 486)},
    };
    for (const auto& row : rows) {
        test_frame* frame = new test_frame("centred", row.size);
        log_capture log;
        verbosity_level = 2;
        wx_center_window(frame);
        EXPECT_EQ(frame->GetPosition(), row.position) << row.size.x << " by " << row.size.y;
        EXPECT_EQ(frame->GetSize(), row.size);
        EXPECT_EQ(log.text(), "wx_center_window(), got screen/display size of 1280, 1024.\n");
        log.clear();
        verbosity_level = 1;
        wx_center_window(frame);
        EXPECT_EQ(log.text(), "");
        frame->Destroy();
    }
    pump_for(20);
}

TEST(display, tick_period_starts_stops_and_keeps_the_timer)
{
    REQUIRE_DISPLAY();
    quon_wx* app = quon_wx::Get();
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app, wxTheApp);
    const wxTimer& timer = app->GetTickTimer();
    EXPECT_EQ(timer.GetOwner(), app);
    EXPECT_EQ(timer.GetId(), 1);

    app->SetTickPeriod(20);
    EXPECT_TRUE(timer.IsRunning());
    EXPECT_EQ(timer.GetInterval(), 20);
    EXPECT_EQ(app->GetCurrentTickPeriod(), 20);
    app->SetTickPeriod(20);
    EXPECT_EQ(app->GetCurrentTickPeriod(), 20);
    pump_for(100);  // ticks re-arm nothing while the request stands
    EXPECT_TRUE(timer.IsRunning());
    EXPECT_EQ(timer.GetInterval(), 20);

    app->SetTickPeriod(35);
    EXPECT_EQ(timer.GetInterval(), 35);
    EXPECT_EQ(app->GetCurrentTickPeriod(), 35);

    app->SetTickPeriod(-4);
    EXPECT_FALSE(timer.IsRunning());
    EXPECT_EQ(app->GetRequestedTickPeriod(), -4);
    EXPECT_EQ(app->GetCurrentTickPeriod(), 0);

    app->SetTickPeriod(20);
    app->SetTickPeriod(0);
    EXPECT_FALSE(timer.IsRunning());
    EXPECT_EQ(app->GetCurrentTickPeriod(), 0);
}

TEST(display, progress_bar_renders_its_columns_and_repaints_only_on_change)
{
    REQUIRE_DISPLAY();
    test_frame* frame = new test_frame("bar", wxSize(480, 300));
    counting_bar* bar = new counting_bar(frame);
    EXPECT_EQ(bar->GetName(), "Downloader progress bar");
    EXPECT_EQ(bar->GetSize(), wxSize(20, 20));
    EXPECT_EQ(bar->GetValue(), 0.0);
    EXPECT_EQ(bar->GetLastDrawnValue(), -1.0);
    bar->RedrawIfChanged();
    EXPECT_EQ(bar->redraws, 1);

    bar->SetEmptyColour(32, 32, 32);
    bar->SetFillColour(128, 128, 128);
    bar->SetPositionAndSize(10, 280, 460, 10);
    frame->Show();
    struct {
        double value;
        int filled;
    } rows[] = {{0, 0}, {50, 230}, {100, 460}, {0.2, 0}, {150, 460}, {-3, 0}, {42.26, 194}};
    for (const auto& row : rows) {
        bar->SetValue(row.value);
        bar->Refresh(false);
        int renders = bar->renders;
        ASSERT_TRUE(pump_until([&] { return bar->renders > renders; })) << row.value;
        EXPECT_EQ(bar->GetLastDrawnValue(), row.value);
        std::vector<unsigned> pixels = bitmap_pixels(bar->GetBitmap());
        ASSERT_EQ(pixels.size(), 4600u);
        int wrong = 0;
        for (int y = 0; y < 10; y++)
            for (int x = 0; x < 460; x++)
                wrong += pixels[460 * y + x] != (x < row.filled ? 0x808080ffu : 0x202020ffu);
        EXPECT_EQ(wrong, 0) << row.value;
    }

    int redraws = bar->redraws;
    bar->RedrawIfChanged();
    bar->SetValue(42.26);
    EXPECT_EQ(bar->redraws, redraws);
    bar->SetValueQuiet(60);
    EXPECT_EQ(bar->redraws, redraws);
    EXPECT_EQ(bar->GetValue(), 60.0);
    bar->RedrawIfChanged();
    EXPECT_EQ(bar->redraws, redraws + 1);
    bar->SetValue(61);
    EXPECT_EQ(bar->redraws, redraws + 2);
    frame->Destroy();
    pump_for(50);
}

TEST(display, gl_probe_finds_configurations_and_prefers_the_first)
{
    REQUIRE_DISPLAY();
    verbosity_guard guard;
    verbosity_level = 3;
    memset(gl_attribute_list, 0, sizeof(gl_attribute_list));
    log_capture log;
    autodetect_gl_config();
    std::string text = log.text();
    EXPECT_EQ(log.count("autodetect_gl_config() - "), 13) << text;
    EXPECT_EQ(log.count("\n"), 13) << text;
    EXPECT_EQ(log.count(" (preferred)"), 1) << text;
    EXPECT_FALSE(log.contains("Error")) << text;
    // The stored list is the preferred row's.
    size_t preferred = text.find(" (preferred)");
    ASSERT_NE(preferred, std::string::npos);
    size_t line = text.rfind("autodetect_gl_config()", preferred);
    int sample_buffers = -1, samples = -1, depth = -1;
    ASSERT_EQ(sscanf(text.c_str() + line,
                     "autodetect_gl_config() - success for sample buffers %d, supersample count %d, depth buffer %d.",
                     &sample_buffers, &samples, &depth),
              3);
    int32_t expected[quon_gl_attribute_list_size];
    quon_gl_build_attribute_list(quon_gl_candidate{0, sample_buffers, samples, depth}, expected,
                                 quon_gl_attribute_list_size);
    for (int i = 0; i < quon_gl_attribute_list_size && (i == 0 || expected[i - 1] != 0); i++)
        EXPECT_EQ(gl_attribute_list[i], expected[i]) << i;
    printf("%s", text.c_str());
}

TEST(application, whole_run_calls_the_hooks_ticks_and_ends_when_the_frame_closes)
{
    REQUIRE_DISPLAY();
    std::string accented = "h\xc3\xa9llo w\xc3\xb6rld";
    run_result run = run_harness({"-b", "--Verbose", accented, "--assert"}, environment->server.display());
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err.find("ERROR"), std::string::npos) << run.err;
    std::string expected_arguments = "arg 1 " + hex("-b") + "\narg 2 " + hex("--Verbose") + "\narg 3 " +
                                     hex(accented) + "\n";
    EXPECT_NE(run.out.find(expected_arguments), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("not terminated"), std::string::npos) << run.out;
    // A failed toolkit assertion is logged; it stops nothing.
    EXPECT_NE(run.out.find("Error in the toolkit, assertion \"\"Assert failure\"\" failed in on_init()"),
              std::string::npos)
        << run.out;
    size_t init = run.out.find("init\n");
    size_t tick = run.out.find("tick 20 20 1 20\n");
    size_t exit_hook = run.out.find("exit hook\n");
    size_t returned = run.out.find("main returned 0\n");
    EXPECT_NE(init, std::string::npos) << run.out;
    EXPECT_NE(tick, std::string::npos) << run.out;
    EXPECT_NE(exit_hook, std::string::npos) << run.out;
    EXPECT_NE(returned, std::string::npos) << run.out;
    EXPECT_TRUE(init < tick && tick < exit_hook && exit_hook < returned) << run.out;
}

TEST(application, without_a_display_it_says_so_and_exits_with_1)
{
    REQUIRE_DISPLAY();  // for the harness's toolkit libraries, not the server
    for (std::string display : {"", ":987"}) {
        run_result run = run_harness({"-b"}, display);
        EXPECT_EQ(run.status, 1) << "DISPLAY=" << display << "\n" << run.out << run.err;
        EXPECT_NE(run.err.find("gui_harness: cannot open the X display"), std::string::npos)
            << "DISPLAY=" << display << "\n" << run.err;
        EXPECT_EQ(run.err.find("ERROR"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("runtime error"), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("init"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("main returned 1"), std::string::npos) << run.out;
    }
}
