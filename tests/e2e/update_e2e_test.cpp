// The update path end to end, as players meet it: what each start fetches,
// records and boots, over every body framing the server may use, and the
// progress it shows on screen.

#include <time.h>

#include <regex>
#include <sstream>

#include "tests/e2e/update_fixture.h"

// ---------------------------------------------------------------- later starts

TEST_F(update_e2e, each_start_fetches_what_is_new_and_boots_the_newest_build)
{
    std::vector<e2e_manifest_entry> release = publish({"x_beta_2", "x_beta_1", "x_4", "x_3"});
    const e2e_manifest_entry& beta_2 = release[0];
    const e2e_manifest_entry& x_4 = release[2];
    E2E_REQUIRE(serve_with_nginx(), nginx_->reason());

    {
        SCOPED_TRACE("first start, empty home: the current ordinary build only");
        ASSERT_EQ(launch(), 0) << failure_context();
        EXPECT_EQ(nginx_requests(2), fetched({"x_4"}));
        EXPECT_EQ(read_file(home_.executable("x_4")), read_file(site_path("x_4")));
        EXPECT_EQ(read_file(home_.manifest_path()), e2e_local_manifest_text({x_4}));
        expect_booted("x_4");
    }
    {
        SCOPED_TRACE("second start: nothing new");
        ASSERT_EQ(launch(), 0) << failure_context();
        EXPECT_EQ(nginx_requests(1), fetched({}));
        EXPECT_NE(launch_log().find("Everything appears to be up to date already.\n"), std::string::npos)
            << launch_log();
        EXPECT_EQ(read_file(home_.manifest_path()), e2e_local_manifest_text({x_4}));
        expect_booted("x_4");
    }
    {
        SCOPED_TRACE("beta on: the current beta build joins");
        ASSERT_EQ(launch({"-b"}), 0) << failure_context();
        EXPECT_EQ(nginx_requests(2), fetched({"x_beta_2"}));
        EXPECT_EQ(read_file(home_.manifest_path()), e2e_local_manifest_text({beta_2, x_4}));
        EXPECT_NE(read_file(home_.config_path()).find("<beta_test_enable>1</beta_test_enable>"), std::string::npos);
        expect_booted("x_beta_2");
    }
    {
        SCOPED_TRACE("beta off: nothing fetched, the beta build stays but is not booted");
        ASSERT_EQ(launch({"-u"}), 0) << failure_context();
        EXPECT_EQ(nginx_requests(1), fetched({}));
        EXPECT_TRUE(file_exists(home_.executable("x_beta_2")));
        expect_booted("x_4");
    }
    {
        SCOPED_TRACE("a newly published build is fetched and booted on the next start");
        std::vector<e2e_manifest_entry> next = publish({"x_beta_2", "x_beta_1", "x_5", "x_4", "x_3"});
        ASSERT_EQ(launch(), 0) << failure_context();
        EXPECT_EQ(nginx_requests(2), fetched({"x_5"}));
        EXPECT_EQ(read_file(home_.executable("x_5")), read_file(site_path("x_5")));
        EXPECT_EQ(read_file(home_.manifest_path()), e2e_local_manifest_text({next[2], beta_2, x_4}));
        expect_booted("x_5");
    }
    EXPECT_EQ(foreign_files(), "");
    EXPECT_FALSE(file_exists(home_.executable("x_3")));
}

// ---------------------------------------------------------------- selection rules

struct selection_case {
    const char* name;
    std::vector<std::string> arguments;
    bool beta_in_config;
    // Set up before the start: builds on disk and in the local manifest
    // (their published bytes), and files on disk with a size of their own.
    std::vector<std::string> current;
    std::vector<std::string> wrong_size;
    std::vector<std::string> downloads;
    const char* booted;
};

void PrintTo(const selection_case& c, std::ostream* out)
{
    *out << c.name;
}

class update_selection : public update_e2e, public ::testing::WithParamInterface<selection_case> {};

TEST_P(update_selection, fetches_exactly_the_files_the_rules_pick)
{
    const selection_case& c = GetParam();
    std::vector<e2e_manifest_entry> release = publish({"x_beta_2", "x_beta_1", "x_4", "x_3"});
    std::vector<e2e_manifest_entry> recorded;
    for (const auto& name : c.current) {
        for (const auto& entry : release)
            if (entry.name == name)
                recorded.push_back(entry);
        install(name, read_file(site_path(name)));
    }
    for (const auto& name : c.wrong_size)
        install(name, build(name + " of another size", 100));
    record_locally(recorded);
    if (c.beta_in_config)
        write_file(home_.config_path(),
                   "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<launcher_config>\n"
                   "  <launcher_version>1.105-g64-rc1</launcher_version>\n"
                   "  <beta_test_enable>1</beta_test_enable>\n</launcher_config>\n\n");
    E2E_REQUIRE(serve_with_nginx(), nginx_->reason());

    ASSERT_EQ(launch(c.arguments), 0) << failure_context();
    EXPECT_EQ(nginx_requests(1 + c.downloads.size()), fetched(c.downloads)) << launch_log();
    for (const auto& name : c.downloads)
        EXPECT_EQ(read_file(home_.executable(name)), read_file(site_path(name))) << name;
    EXPECT_EQ(foreign_files(), "");
    expect_booted(c.booted);
}

INSTANTIATE_TEST_SUITE_P(
    remote_list_x_beta_2_x_beta_1_x_4_x_3, update_selection,
    ::testing::Values(
        selection_case{"beta_switch_fetches_first_beta_then_first_ordinary", {"-b"}, false, {}, {},
                       {"x_beta_2", "x_4"}, "x_beta_2"},
        selection_case{"beta_mode_from_launcher_cfg", {}, true, {}, {}, {"x_beta_2", "x_4"}, "x_beta_2"},
        selection_case{"unbeta_switch_overrides_launcher_cfg", {"-u"}, true, {}, {}, {"x_4"}, "x_4"},
        selection_case{"current_build_present_older_missing_is_not_fetched", {}, false, {"x_4"}, {}, {}, "x_4"},
        selection_case{"older_build_of_wrong_size_is_fetched", {}, false, {"x_4"}, {"x_3"}, {"x_3"}, "x_4"},
        selection_case{"beta_of_wrong_size_is_fetched_in_ordinary_mode", {}, false, {}, {"x_beta_1"},
                       {"x_beta_1", "x_4"}, "x_4"}),
    [](const ::testing::TestParamInfo<selection_case>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- transports

struct transport_case {
    const char* name;
    bool zlib;           // else gzip
    const char* framing; // of the manifest and the file: "length", "chunked" or "close"
    bool last_line_without_newline;
};

void PrintTo(const transport_case& c, std::ostream* out)
{
    *out << c.name;
}

class update_transport : public update_e2e, public ::testing::WithParamInterface<transport_case> {};

TEST_P(update_transport, manifest_and_file_arrive_whole_with_the_exact_requests)
{
    const transport_case& c = GetParam();
    e2e_manifest_entry x_4 = put_on_site("x_4", build("x_4"));
    e2e_manifest_entry x_3 = put_on_site("x_3", build("x_3"));
    std::string text = manifest_lines({x_4, x_3});
    // The only entry on the last line, without a line end: a body of
    // announced length still ends that line.
    if (c.last_line_without_newline) {
        text = "# current build\n" + manifest_lines({x_4});
        text.pop_back();
    }
    std::string body = c.zlib ? zlib_wrapped(text) : e2e_gzip(text);
    std::string framing = e2e_json_string(c.framing);
    E2E_REQUIRE(serve_with_fault_server(e2e_json_string(manifest_url) + ": {\"body_hex\": \"" + hex(body) +
                                        "\", \"framing\": " + framing + ", \"chunk_size\": 7}, " +
                                        e2e_json_string(file_url("x_4")) + ": {\"file\": " +
                                        e2e_json_string(site_path("x_4")) + ", \"framing\": " + framing +
                                        ", \"chunk_size\": 1000}"),
                faults_->reason());

    ASSERT_EQ(launch(), 0) << failure_context();
    std::vector<e2e_recorded_request> requests = faults_->requests();
    ASSERT_EQ(requests.size(), 2u) << faults_->log();
    EXPECT_EQ(requests[0].bytes, request_for(manifest_url));
    EXPECT_EQ(requests[1].bytes, request_for(file_url("x_4")));
    EXPECT_TRUE(requests[0].complete && requests[1].complete);
    EXPECT_NE(requests[0].connection, requests[1].connection);
    EXPECT_EQ(read_file(home_.executable("x_4")), read_file(site_path("x_4")));
    EXPECT_EQ(read_file(home_.manifest_path()), e2e_local_manifest_text({x_4}));
    expect_booted("x_4");
}

INSTANTIATE_TEST_SUITE_P(
    bodies, update_transport,
    ::testing::Values(transport_case{"gzip_content_length", false, "length", false},
                      transport_case{"zlib_content_length", true, "length", false},
                      transport_case{"gzip_chunked", false, "chunked", false},
                      transport_case{"zlib_chunked", true, "chunked", false},
                      transport_case{"gzip_close_delimited", false, "close", false},
                      transport_case{"zlib_close_delimited", true, "close", false},
                      transport_case{"gzip_content_length_last_line_without_newline", false, "length", true}),
    [](const ::testing::TestParamInfo<transport_case>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- progress on screen

TEST_F(update_e2e, a_throttled_download_shows_the_bar_filling_and_logs_percentages)
{
    e2e_manifest_entry x_4 = put_on_site("x_4", build("x_4", throttled_padding));
    ASSERT_EQ(e2e_write_remote_manifest(site_path(manifest_name), {x_4}), 1);
    E2E_REQUIRE(serve_with_nginx({{file_url(""), "128k", "", ""}}), nginx_->reason());

    start_launcher();
    ASSERT_FALSE(HasFatalFailure());
    e2e_window window = x_.wait_for_window_of_pid(launcher_->pid(), window_ms);
    ASSERT_NE(window, 0u) << x_.reason() << "\n" << failure_context();
    e2e_rect where;
    ASSERT_EQ(x_.window_geometry(window, &where), 1) << x_.reason();
    EXPECT_EQ(where.x, window_on_screen.x);
    EXPECT_EQ(where.y, window_on_screen.y);
    EXPECT_EQ(where.width, window_on_screen.width);
    EXPECT_EQ(where.height, window_on_screen.height);

    // Until the launcher execs: a screen on which the bar is part filled,
    // and never a whole-named file that is not the whole build.
    const int left = where.x + bar_in_window.x, top = where.y + bar_in_window.y;
    int filled = -1;
    std::string foreign, last_row;
    while (launcher_->running() && home_.runs().empty()) {
        foreign += foreign_files();
        e2e_image screen;
        if (filled < 0 && x_.screenshot(&screen)) {
            int columns = 0;
            while (columns < bar_in_window.width && screen.pixel(left + columns, top + 5) == bar_filled)
                columns++;
            e2e_rect fill = {left, top, columns, bar_in_window.height};
            e2e_rect rest = {left + columns, top, bar_in_window.width - columns, bar_in_window.height};
            if (columns > 0 && columns < bar_in_window.width &&
                screen.count_near(fill, bar_filled) == (long)columns * bar_in_window.height &&
                screen.count_near(rest, bar_empty) == (long)rest.width * bar_in_window.height)
                filled = columns;
            std::ostringstream row;
            row << "row " << top + 5 << " from x " << left << ": " << screen.pixel(left, top + 5) << " ... "
                << screen.pixel(left + bar_in_window.width - 1, top + 5);
            last_row = row.str();
        }
        struct timespec pause = {0, screenshot_poll_ms * 1000000L};
        nanosleep(&pause, nullptr);
    }
    EXPECT_GT(filled, 0) << "never saw the bar part filled; last look: " << last_row;
    EXPECT_EQ(foreign, "");

    ASSERT_EQ(finish_launcher(), 0) << failure_context();
    EXPECT_EQ(nginx_requests(2), fetched({"x_4"}));
    // "%5.1f%% complete." at most once a second, rising.
    std::regex percentage_line("(^|\n) *([0-9]+\\.[0-9])% complete\\.\n");
    std::string log = launch_log();
    std::vector<double> percentages;
    for (std::sregex_iterator i(log.begin(), log.end(), percentage_line), end; i != end; ++i)
        percentages.push_back(atof((*i)[2].str().c_str()));
    EXPECT_GE(percentages.size(), 2u) << log;
    for (size_t i = 1; i < percentages.size(); i++)
        EXPECT_LE(percentages[i - 1], percentages[i]) << log;
    EXPECT_EQ(read_file(home_.executable("x_4")), read_file(site_path("x_4")));
    expect_booted("x_4");
}
