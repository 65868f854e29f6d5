// The splash window as the player sees it, read back from screenshots, and
// its three keys.

#include <gtest/gtest.h>

#include "tests/e2e/launcher_run.h"

namespace {

// The window is 480 by 300, centred on the 1280 by 1024 screen.
const e2e_rect window_area = {400, 362, 480, 300};
const e2e_rect bar_area = {410, 642, 460, 10};
const e2e_rect status_line[3] = {{410, 592, 460, 15}, {410, 607, 460, 15}, {410, 622, 460, 15}};
const e2e_rect logo_area = {421, 371, 438, 192};

long white_pixels(const e2e_image& image, const e2e_rect& area)
{
    return image.count_near(area, {255, 255, 255}, 60);
}

// The pixels of an area, to compare two screenshots.
std::vector<int> area_pixels(const e2e_image& image, const e2e_rect& area)
{
    std::vector<int> pixels;
    for (int y = area.y; y < area.y + area.height; y++)
        for (int x = area.x; x < area.x + area.width; x++) {
            e2e_rgb p = image.pixel(x, y);
            pixels.push_back(p.r << 16 | p.g << 8 | p.b);
        }
    return pixels;
}

// A launcher held on its splash: the update server accepts the connection
// and never answers, so the boot waits for the update run for the whole
// idle limit.
class window : public ::testing::Test {
protected:
    void SetUp() override
    {
        E2E_REQUIRE_PRIVATE_NETWORK();
        E2E_REQUIRE(run_.start_display(), run_.x.reason());
        E2E_REQUIRE(server_.start("{\"default\": {\"fault\": {\"where\": \"status\", \"after\": 0, "
                                  "\"action\": \"stall\"}}}"),
                    server_.reason());
        install_images(run_.home, {"a1"});
        ASSERT_EQ(run_.start(), 1);
        window_ = run_.wait_for_window();
        ASSERT_NE(window_, 0u) << run_.launcher.describe() << run_.log();
        // Painted once "Checking for updates..." is up.
        ASSERT_TRUE(screen_until([](const e2e_image& image) { return white_pixels(image, status_line[2]) > 20; }))
            << run_.log();
    }

    // Takes screenshots until test holds for one (true) or time runs out.
    template <typename Test>
    bool screen_until(Test test, int timeout_ms = 20000)
    {
        return e2e_wait_until(
            [&] { return run_.x.screenshot(&screen_) == 1 && test(screen_); }, timeout_ms, 100);
    }

    launcher_run run_;
    e2e_fault_server server_;
    e2e_window window_ = 0;
    e2e_image screen_;
};

}  // namespace

TEST_F(window, shows_the_splash_centred_with_status_lines_and_an_empty_bar)
{
    e2e_rect geometry;
    ASSERT_EQ(run_.x.window_geometry(window_, &geometry), 1);
    EXPECT_EQ(geometry.x, window_area.x);
    EXPECT_EQ(geometry.y, window_area.y);
    EXPECT_EQ(geometry.width, window_area.width);
    EXPECT_EQ(geometry.height, window_area.height);

    EXPECT_EQ(screen_.count_near(bar_area, {32, 32, 32}), 460L * 10);
    EXPECT_EQ(white_pixels(screen_, status_line[0]), 0) << "line 1 is empty outside beta-test mode";
    EXPECT_GT(white_pixels(screen_, status_line[1]), 20);
    EXPECT_GT(white_pixels(screen_, status_line[2]), 20);
    // The logo: something bright above the text, and black around it.
    EXPECT_GT(screen_.count_near(logo_area, {0, 0, 0}, 10), 1000);
    EXPECT_LT(screen_.count_near(logo_area, {0, 0, 0}, 40), 438L * 192);
    EXPECT_EQ(screen_.pixel(window_area.x + 1, window_area.y + 299), (e2e_rgb{0, 0, 0}));

    std::string log = run_.log();
    int probe_lines = 0;
    for (size_t at = log.find("autodetect_gl_config() - "); at != std::string::npos;
         at = log.find("autodetect_gl_config() - ", at + 1))
        probe_lines++;
    EXPECT_EQ(probe_lines, 13) << log;
    EXPECT_EQ(log.find(" (preferred)"), log.rfind(" (preferred)"));
    EXPECT_NE(log.find(" (preferred)\n"), std::string::npos);
}

TEST_F(window, escape_opens_and_closes_the_options_screen)
{
    std::vector<int> normal_2 = area_pixels(screen_, status_line[1]);
    std::vector<int> normal_3 = area_pixels(screen_, status_line[2]);
    ASSERT_EQ(run_.x.send_key(window_, "Escape"), 1) << run_.x.reason();
    EXPECT_TRUE(screen_until([&](const e2e_image& image) {
        return area_pixels(image, status_line[1]) != normal_2 && area_pixels(image, status_line[2]) != normal_3;
    })) << "the options screen never showed";
    ASSERT_EQ(run_.x.send_key(window_, "Escape"), 1) << run_.x.reason();
    EXPECT_TRUE(screen_until([&](const e2e_image& image) {
        return area_pixels(image, status_line[1]) == normal_2 && area_pixels(image, status_line[2]) == normal_3;
    })) << "the normal lines never came back";
    EXPECT_TRUE(run_.launcher.running());
}

TEST_F(window, b_switches_beta_test_mode_and_saves_it)
{
    ASSERT_EQ(run_.x.send_key(window_, "b"), 1) << run_.x.reason();
    EXPECT_TRUE(e2e_wait_until(
        [&] { return read_file(run_.home.config_path()).find("<beta_test_enable>1<") != std::string::npos; },
        20000));
    // Beta-test mode shows the data directory on line 1.
    EXPECT_TRUE(screen_until([](const e2e_image& image) { return white_pixels(image, status_line[0]) > 20; }));
    ASSERT_EQ(run_.x.send_key(window_, "b"), 1) << run_.x.reason();
    EXPECT_TRUE(e2e_wait_until(
        [&] { return read_file(run_.home.config_path()).find("<beta_test_enable>0<") != std::string::npos; },
        20000));
}

TEST_F(window, q_quits_at_once_with_status_zero)
{
    ASSERT_EQ(run_.x.send_key(window_, "q"), 1) << run_.x.reason();
    ASSERT_EQ(run_.launcher.wait(20000), 1) << run_.launcher.describe();
    EXPECT_TRUE(run_.launcher.exited()) << run_.launcher.describe();
    EXPECT_EQ(run_.launcher.exit_status(), 0);
    EXPECT_TRUE(run_.home.runs().empty());
    EXPECT_EQ(run_.log().find("LAUNCHER EXIT"), std::string::npos);
}

TEST_F(window, other_keys_change_nothing)
{
    std::vector<int> before = area_pixels(screen_, window_area);
    ASSERT_EQ(run_.x.send_key(window_, "x"), 1);
    ASSERT_EQ(run_.x.send_key(window_, "Return"), 1);
    usleep(500000);
    ASSERT_EQ(run_.x.screenshot(&screen_), 1);
    EXPECT_EQ(area_pixels(screen_, window_area), before);
    EXPECT_TRUE(run_.launcher.running());
}
