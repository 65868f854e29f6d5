#include "tests/support/e2e.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

std::string body_of(const std::string& response)
{
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
}

std::string binary_content(size_t size)
{
    std::string content(size, '\0');
    for (size_t i = 0; i < size; i++)
        content[i] = (char)(i * 7 + i / 256);
    return content;
}

}  // namespace

TEST(e2e_support, nginx_serves_files_and_logs_requests_in_a_private_network)
{
    E2E_REQUIRE_PRIVATE_NETWORK();
    temp_dir root;
    ASSERT_EQ(e2e_make_dirs(root.file("downloads/slow")), 1);
    std::string content = binary_content(70000);
    write_file(root.file("downloads/a2"), content);
    write_file(root.file("downloads/slow/b"), "throttled but small\n");

    e2e_nginx nginx;
    E2E_REQUIRE(nginx.start(root.path(), {{"/downloads/slow/", "64k", "1m", ""}}), nginx.reason());
    std::string response;
    ASSERT_EQ(e2e_http_exchange(80, "GET /downloads/a2 HTTP/1.0\r\nHost: localhost\r\n\r\n", &response), 1);
    EXPECT_EQ(response.compare(0, 15, "HTTP/1.1 200 OK"), 0) << response.substr(0, 200);
    EXPECT_TRUE(body_of(response) == content) << "body of " << body_of(response).size() << " bytes differs";
    ASSERT_EQ(e2e_http_exchange(80, "GET /downloads/slow/b HTTP/1.0\r\n\r\n", &response), 1);
    EXPECT_EQ(body_of(response), "throttled but small\n");
    ASSERT_EQ(e2e_http_exchange(80, "GET /missing HTTP/1.0\r\n\r\n", &response), 1);

    ASSERT_EQ(nginx.wait_for_requests(3, 5000), 1) << nginx.error_log();
    std::vector<e2e_access_entry> requests = nginx.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].request, "GET /downloads/a2 HTTP/1.0");
    EXPECT_EQ(requests[0].status, 200);
    EXPECT_EQ(requests[0].body_bytes, 70000);
    EXPECT_EQ(requests[1].request, "GET /downloads/slow/b HTTP/1.0");
    EXPECT_EQ(requests[2].status, 404);
}

TEST(e2e_support, fault_server_answers_by_scenario_and_records_the_exact_request)
{
    E2E_REQUIRE_PRIVATE_NETWORK();
    e2e_fault_server server;
    E2E_REQUIRE(server.start(R"({"routes": {
        "/list": [{"status": 503}, {"body": "hello world", "framing": "chunked", "chunk_size": 4}],
        "/cut": {"body_bytes": 200000, "fault": {"where": "body", "after": 1000, "action": "reset"}}
    }})"),
                server.reason());

    const std::string request = "GET /list HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    std::string response;
    ASSERT_EQ(e2e_http_exchange(80, request, &response), 1);
    EXPECT_EQ(response.compare(0, 32, "HTTP/1.1 503 Service Unavailable"), 0) << response;
    ASSERT_EQ(e2e_http_exchange(80, request, &response), 1);
    EXPECT_EQ(body_of(response), "4\r\nhell\r\n4\r\no wo\r\n3\r\nrld\r\n0\r\n\r\n") << response;

    // The reset comes after exactly 1000 body bytes, none lost before it.
    EXPECT_EQ(e2e_http_exchange(80, "GET /cut HTTP/1.0\r\n\r\n", &response), 0);
    EXPECT_EQ(body_of(response).size(), 1000u) << response.substr(0, 300);

    ASSERT_EQ(server.wait_for_requests(3, 5000), 1) << server.log();
    std::vector<e2e_recorded_request> requests = server.requests();
    ASSERT_EQ(requests.size(), 3u) << server.log();
    EXPECT_EQ(requests[0].bytes, request);
    EXPECT_TRUE(requests[0].complete);
    EXPECT_NE(requests[0].connection, requests[1].connection);
    EXPECT_EQ(requests[2].request_line(), "GET /cut HTTP/1.0");
}

TEST(e2e_support, xvfb_screens_start_black_on_displays_of_their_own)
{
    e2e_xvfb first, second;
    E2E_REQUIRE(first.start(), first.reason());
    E2E_REQUIRE(second.start(640, 480), second.reason());
    EXPECT_NE(first.display(), second.display());

    e2e_image screen;
    ASSERT_EQ(first.screenshot(&screen), 1) << first.reason();
    ASSERT_EQ(screen.width(), 1280);
    ASSERT_EQ(screen.height(), 1024);
    EXPECT_EQ(screen.pixel(0, 0), (e2e_rgb{0, 0, 0}));
    EXPECT_EQ(screen.pixel(1279, 1023), (e2e_rgb{0, 0, 0}));
    EXPECT_EQ(screen.pixel(1280, 0), e2e_rgb());
    EXPECT_EQ(screen.count_near({0, 0, 1280, 1024}, {0, 0, 0}), 1280L * 1024L);
    ASSERT_EQ(second.screenshot(&screen), 1) << second.reason();
    EXPECT_EQ(screen.width(), 640);
}

TEST(e2e_support, keys_typed_into_a_found_window_reach_it)
{
    if (e2e_find_program("xmessage").empty())
        GTEST_SKIP() << "xmessage (x11-utils) is not installed";
    e2e_xvfb x;
    E2E_REQUIRE(x.start(), x.reason());
    e2e_process message;
    e2e_command command({"xmessage", "-buttons", "okay:7", "-default", "okay", "press return"});
    command.set("DISPLAY", x.display());
    ASSERT_EQ(message.start(command), 1);

    e2e_window window = x.wait_for_window_named("^xmessage$", 10000);
    ASSERT_NE(window, 0u) << message.describe();
    e2e_rect where;
    ASSERT_EQ(x.window_geometry(window, &where), 1) << x.reason();
    EXPECT_GT(where.width, 0);
    EXPECT_GT(where.height, 0);
    ASSERT_EQ(x.send_key(window, "Return"), 1) << x.reason();
    ASSERT_EQ(message.wait(10000), 1) << message.describe();
    EXPECT_EQ(message.exit_status(), 7) << message.describe();
}

TEST(e2e_support, fake_client_records_its_arguments_directory_and_inherited_descriptors)
{
    e2e_home home;
    e2e_manifest_entry a2 = home.install_fake_client("a2");
    e2e_manifest_entry crash = home.install_fake_client("b3crash");
    ASSERT_EQ(a2.name, "a2");

    // One descriptor handed down on purpose, one left open without
    // close-on-exec that the runner must not leak.
    int passed = open(home.data_file("passed").c_str(), O_WRONLY | O_CREAT, 0600);
    int stray = open(home.data_file("stray").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(passed, 3);
    ASSERT_GE(stray, 3);
    e2e_command command({"a2", "-l", "tab\there\\ and\nnewline"});
    command.program = home.executable("a2");
    command.set("HOME", home.path());
    command.working_dir = home.data_dir();
    command.pass_fds.push_back(passed);
    e2e_process client;
    ASSERT_EQ(client.start(command), 1);
    ASSERT_EQ(client.wait(10000), 1) << client.describe();
    EXPECT_EQ(client.exit_status(), 0) << client.describe();
    close(passed);
    close(stray);

    command.argv[0] = "b3crash";
    command.program = home.executable("b3crash");
    command.pass_fds.clear();
    e2e_process crasher;
    ASSERT_EQ(crasher.start(command), 1);
    ASSERT_EQ(crasher.wait(10000), 1) << crasher.describe();
    EXPECT_EQ(crasher.term_signal(), SIGSEGV) << crasher.describe();

    std::vector<e2e_client_run> runs = home.runs();
    ASSERT_EQ(runs.size(), 2u) << read_file(home.runs_path());
    EXPECT_EQ(runs[0].pid, client.pid());
    EXPECT_EQ(runs[0].argv, std::vector<std::string>({"a2", "-l", "tab\there\\ and\nnewline"}));
    EXPECT_EQ(runs[0].cwd, home.data_dir());
    ASSERT_EQ(runs[0].fds, std::vector<int>({passed}));
    EXPECT_EQ(runs[0].fd_targets[0], home.data_file("passed"));
    EXPECT_EQ(runs[1].argv[0], "b3crash");
    EXPECT_TRUE(runs[1].fds.empty());
    EXPECT_EQ(crash.hash, a2.hash);
}

TEST(e2e_support, a_timed_out_process_is_killed_with_its_group)
{
    e2e_process shell;
    ASSERT_EQ(shell.start(e2e_command({"sh", "-c", "sleep 60 & echo $!; wait"})), 1);
    ASSERT_TRUE(e2e_wait_until([&] { return !shell.stdout_text().empty(); }, 5000));
    pid_t sleeper = atoi(shell.stdout_text().c_str());
    EXPECT_EQ(shell.wait(200), 0);
    EXPECT_TRUE(shell.timed_out());
    EXPECT_EQ(shell.term_signal(), SIGKILL);
    EXPECT_NE(shell.describe().find("timed out after 200 ms"), std::string::npos) << shell.describe();
    // Killed, then reaped by whoever inherited it: gone or a zombie.
    EXPECT_TRUE(e2e_wait_until(
        [&] {
            std::string stat = read_file("/proc/" + std::to_string(sleeper) + "/stat");
            size_t state = stat.rfind(") ");
            return stat.empty() || (state != std::string::npos && stat[state + 2] == 'Z');
        },
        5000))
        << "pid " << sleeper;
}

TEST(e2e_support, manifests_are_written_in_the_launchers_formats)
{
    temp_dir dir;
    EXPECT_EQ(e2e_sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::vector<e2e_manifest_entry> entries = {{"a2", std::string(64, 'a'), 1234567}, {"dir/my file", "0123456789", 5}};
    ASSERT_EQ(e2e_write_local_manifest(dir.file("exe/update_manifest.lst"), entries), 1);
    EXPECT_EQ(read_file(dir.file("exe/update_manifest.lst")),
              "# This is an automatically generated file - do not modify\n"
              "# It contains a list of the files currently managed by the\n"
              "# updater.  Changing or deleting it may cause your next\n"
              "# update to download far more things than it needs.\n"
              "\n" +
                  std::string(64, 'a') + "    1234567 a2\n0123456789          5 dir/my file\n");

    ASSERT_EQ(e2e_write_remote_manifest(dir.file("srv/list.gz"), entries), 1);
    e2e_command gunzip({"gzip", "-dc"});
    gunzip.stdin_path = dir.file("srv/list.gz");
    e2e_process inflate;
    ASSERT_EQ(inflate.start(gunzip), 1);
    ASSERT_EQ(inflate.wait(10000), 1);
    EXPECT_EQ(inflate.exit_status(), 0) << inflate.describe();
    EXPECT_EQ(inflate.stdout_text(), std::string(64, 'a') + "    1234567 a2\n0123456789          5 dir/my file\n");
}
