// brimvale-update against a release published by brimvale-publish and
// served by nginx on 127.0.0.1:80 in a private network namespace.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"

namespace {

const char* const sample_builds[] = {"brimvale_client_1.104", "brimvale_client_1.105", "brimvale_client_1.106beta"};

struct tool_run {
    int status = -1;
    std::string out;
    std::string err;
};

tool_run run_tool(const std::string& tool, const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv = {e2e_build_dir() + "/" + tool};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    e2e_process process;
    tool_run run;
    if (!process.start(e2e_command(argv)))
        return run;
    if (process.wait(120000) != 1 || !process.exited()) {
        ADD_FAILURE() << process.describe();
        return run;
    }
    run.status = process.exit_status();
    run.out = process.stdout_text();
    run.err = process.stderr_text();
    return run;
}

bool contains(const std::string& text, const std::string& needle)
{
    return text.find(needle) != std::string::npos;
}

// The sample release, published into a fresh document root.
class published_release {
public:
    int publish()
    {
        for (const char* name : sample_builds) {
            std::string image = read_file(e2e_build_dir() + "/" + name);
            if (image.empty()) {
                ADD_FAILURE() << "the sample client is not built: " << name;
                return 0;
            }
            write_file(builds.file(name), image);
        }
        tool_run run = run_tool("brimvale-publish", {builds.path(), root.path()});
        EXPECT_EQ(run.status, 0) << run.err;
        return run.status == 0;
    }
    e2e_manifest_entry entry(const std::string& name) const { return e2e_entry_for_file(builds.file(name), name); }

    temp_dir builds;
    temp_dir root;
};

}  // namespace

TEST(update_tool, first_run_fetches_the_current_build_and_records_it_exactly_second_run_fetches_nothing)
{
    E2E_REQUIRE_PRIVATE_NETWORK();
    published_release release;
    ASSERT_EQ(release.publish(), 1);
    e2e_nginx nginx;
    E2E_REQUIRE(nginx.start(release.root.path()), nginx.reason());
    temp_dir work;
    const std::string destination = work.file("data/executables");
    const std::vector<std::string> arguments = {"localhost", "/downloads/vostel_v3", destination};

    tool_run first = run_tool("brimvale-update", arguments);
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_TRUE(contains(first.out, "One file to update.\n")) << first.out;
    EXPECT_FALSE(contains(first.out, "warning")) << first.out;
    const e2e_manifest_entry current = release.entry("brimvale_client_1.105");
    EXPECT_TRUE(read_file(destination + "/brimvale_client_1.105") == read_file(release.builds.file(current.name)));
    EXPECT_EQ(read_file(destination + "/update_manifest.lst"), e2e_local_manifest_text({current}));
    EXPECT_FALSE(file_exists(destination + "/brimvale_client_1.104"));
    EXPECT_FALSE(file_exists(destination + "/brimvale_client_1.106beta"));
    ASSERT_EQ(nginx.wait_for_requests(2, 5000), 1) << nginx.error_log();
    std::vector<e2e_access_entry> requests = nginx.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].request, "GET /downloads/vostel_v3/manifest_linux64_executables.txt.gz HTTP/1.1");
    EXPECT_EQ(requests[1].request, "GET /downloads/vostel_v3/brimvale_client_1.105 HTTP/1.1");
    EXPECT_EQ(requests[1].body_bytes, current.size);

    // The build that arrived runs, and reports how it was started.
    ASSERT_EQ(chmod((destination + "/brimvale_client_1.105").c_str(), 0700), 0);
    e2e_process client;
    e2e_command command({"brimvale_client_1.105", "-l", "1.105-g64-rc1"});
    command.program = destination + "/brimvale_client_1.105";
    command.working_dir = work.path();
    ASSERT_EQ(client.start(command), 1);
    ASSERT_EQ(client.wait(10000), 1) << client.describe();
    EXPECT_EQ(client.exit_status(), 0);
    EXPECT_EQ(client.stdout_text(), "Brimvale sample client 1.105\n"
                                    "working directory: " + work.path() + "\n"
                                    "started as: brimvale_client_1.105 -l 1.105-g64-rc1\n"
                                    "argv[0] = \"brimvale_client_1.105\"\n"
                                    "argv[1] = \"-l\"\n"
                                    "argv[2] = \"1.105-g64-rc1\"\n");

    tool_run second = run_tool("brimvale-update", arguments);
    ASSERT_EQ(second.status, 0) << second.out << second.err;
    EXPECT_TRUE(contains(second.out, "Everything appears to be up to date already.\n")) << second.out;
    EXPECT_EQ(read_file(destination + "/update_manifest.lst"), e2e_local_manifest_text({current}));
    ASSERT_EQ(nginx.wait_for_requests(3, 5000), 1);
    EXPECT_EQ(nginx.requests().size(), 3u) << "the second run fetched more than the list";

    // Beta-test mode adds the current beta build, recorded in front; -v
    // prints the banner and names each file.
    tool_run beta = run_tool("brimvale-update", {"-v", "-b", "localhost", "/downloads/vostel_v3/", destination});
    ASSERT_EQ(beta.status, 0) << beta.out << beta.err;
    EXPECT_TRUE(contains(beta.out, "Filesystem updater -------\n")) << beta.out;
    EXPECT_TRUE(contains(beta.out, "Root path:         /downloads/vostel_v3\n")) << beta.out;
    EXPECT_TRUE(contains(beta.out, "Found first beta file 'brimvale_client_1.106beta'.\n")) << beta.out;
    EXPECT_TRUE(contains(beta.out, "One file to update.\n")) << beta.out;
    EXPECT_EQ(read_file(destination + "/update_manifest.lst"),
              e2e_local_manifest_text({release.entry("brimvale_client_1.106beta"), current}));
}

TEST(update_tool, exits_1_when_the_run_stops_before_the_comparison)
{
    E2E_REQUIRE_PRIVATE_NETWORK();
    published_release release;
    ASSERT_EQ(release.publish(), 1);
    e2e_nginx nginx;
    E2E_REQUIRE(nginx.start(release.root.path()), nginx.reason());
    temp_dir work;
    write_file(work.file("a_file"), "not a directory\n");

    struct row {
        const char* name;
        std::vector<std::string> arguments;
        std::string expected;
    };
    const std::string no_list =
        "Error fetching update file 'manifest_linux64_executables.txt.gz' from remote server, aborting update.\n";
    const row rows[] = {
        // Nothing listens on this loopback address inside the namespace.
        {"server_down", {"127.0.0.2", "/downloads/vostel_v3", work.file("down")}, no_list},
        {"no_list_under_the_root_path", {"localhost", "/downloads/elsewhere", work.file("elsewhere")}, no_list},
        {"destination_is_a_file",
         {"localhost", "/downloads/vostel_v3", work.file("a_file")},
         "Unable to set download target directory, to '" + work.file("a_file") + "', aborting update.\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        tool_run run = run_tool("brimvale-update", r.arguments);
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_TRUE(contains(run.out, r.expected)) << run.out;
    }
    EXPECT_FALSE(file_exists(work.file("down/update_manifest.lst")));
    EXPECT_EQ(read_file(work.file("a_file")), "not a directory\n");
}

TEST(update_tool, a_second_update_of_the_same_directory_waits_for_nothing_and_fails)
{
    temp_dir work;
    ASSERT_EQ(e2e_make_dirs(work.file("exe/")), 1);
    // Holds the directory's lock as a running launcher would.
    e2e_process holder;
    ASSERT_EQ(holder.start(e2e_command({"python3", "-c",
                                        "import fcntl, sys, time\n"
                                        "f = open(sys.argv[1], 'a+')\n"
                                        "fcntl.lockf(f, fcntl.LOCK_EX)\n"
                                        "print('locked', flush=True)\n"
                                        "time.sleep(60)\n",
                                        work.file("exe/lock.tmp")})),
              1);
    ASSERT_TRUE(e2e_wait_until([&] { return holder.stdout_text() == "locked\n" || !holder.running(); }, 10000))
        << holder.describe();
    ASSERT_TRUE(holder.running()) << holder.describe();

    tool_run run = run_tool("brimvale-update", {"localhost", "/downloads/vostel_v3", work.file("exe")});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_TRUE(contains(run.out, "Another update of '" + work.file("exe") + "' is running")) << run.out;
    EXPECT_FALSE(file_exists(work.file("exe/update_manifest.lst")));
    holder.stop();
}

TEST(update_tool, usage)
{
    tool_run help = run_tool("brimvale-update", {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: brimvale-update [-v] [-b] HOST ROOT_PATH DESTINATION_DIR\n", 0), 0u) << help.out;

    temp_dir dir;
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"localhost", "/downloads/vostel_v3"},
        {"localhost", "/downloads/vostel_v3", dir.path(), "extra"},
        {"-x", "localhost", "/downloads/vostel_v3", dir.path()},
        {"http://localhost", "/downloads/vostel_v3", dir.path()},
        {"localhost:8080", "/downloads/vostel_v3", dir.path()},
        {"localhost", "downloads/vostel_v3", dir.path()},
        {"localhost", "/downloads/vostel_v3", ""},
    };
    for (const auto& arguments : wrong) {
        tool_run run = run_tool("brimvale-update", arguments);
        EXPECT_EQ(run.status, 2) << testing::PrintToString(arguments);
        EXPECT_TRUE(contains(run.err, "Usage: brimvale-update [-v] [-b] HOST ROOT_PATH DESTINATION_DIR")) << run.err;
    }
    EXPECT_FALSE(file_exists(dir.file("update_manifest.lst")));
}
