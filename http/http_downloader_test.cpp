#include "http/http_downloader.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/ssl_startup.h"
#include "tests/support/e2e.h"
#include "tests/support/test_support.h"

namespace {

// What the caller's callbacks saw.
struct recorder {
    std::string body;
    std::vector<std::pair<int, int>> progress;
    int refuse_after_calls = -1;  // data callback returns 0 on this call (0: the first)
    int data_calls = 0;
};

int record_data(void* context, const char* data, int count)
{
    recorder* r = (recorder*)context;
    r->body.append(data, count);
    return r->data_calls++ == r->refuse_after_calls ? 0 : 1;
}

void record_progress(void* context, int received, int total)
{
    ((recorder*)context)->progress.push_back({received, total});
}

std::string body_of(int size)
{
    std::string body;
    for (int i = 0; i < size; i++)
        body += (char)(i % 251);
    return body;
}

// Each case runs in a network namespace of its own, with its server on
// 127.0.0.1:80 there.
class downloader : public ::testing::Test {
protected:
    void SetUp() override
    {
        E2E_REQUIRE_PRIVATE_NETWORK();
        init_ssl();
    }

    int fault_server(const std::string& answer)
    {
        int started = fault_.start("{\"default\": " + answer + "}");
        if (started <= 0)
            ADD_FAILURE() << fault_.reason();
        return started;
    }

    int fetch(const std::string& path, recorder& r, const char* host = "127.0.0.1")
    {
        quon_http_downloader d;
        d.context = &r;
        d.data_callback = record_data;
        d.progress_callback = record_progress;
        EXPECT_EQ(d.set_connection(host, 80, 0), 1);
        int result = d.download(host, path.c_str());
        received_ = d.received();
        expected_ = d.expected_length();
        complete_ = d.response_complete();
        return result;
    }

    e2e_fault_server fault_;
    int received_ = 0;
    int expected_ = 0;
    bool complete_ = false;
};

}  // namespace

TEST_F(downloader, file_mode_against_nginx)
{
    temp_dir root;
    write_file(root.file("client"), body_of(100000));
    write_file(root.file("empty"), "");
    e2e_nginx nginx;
    E2E_REQUIRE(nginx.start(root.path()), nginx.reason());
    temp_dir out;

    log_capture log;
    quon_http_downloader d;
    ASSERT_EQ(d.set_connection("127.0.0.1", 80, 0), 1);
    EXPECT_EQ(d.download("127.0.0.1", "/client", out.file("client").c_str()), 1);
    EXPECT_EQ(read_file(out.file("client")), body_of(100000));
    EXPECT_EQ(d.received(), 100000);
    EXPECT_EQ(d.expected_length(), 100000);

    // Past two writeback hints, neither on a slice boundary: the file is
    // flushed in the middle and still arrives byte for byte.
    const int large_size = 2 * quon_http_writeback_interval + 12345;
    write_file(root.file("large"), body_of(large_size));
    quon_http_downloader large;
    ASSERT_EQ(large.set_connection("127.0.0.1", 80, 0), 1);
    EXPECT_EQ(large.download("127.0.0.1", "/large", out.file("large").c_str()), 1);
    EXPECT_TRUE(read_file(out.file("large")) == body_of(large_size));

    quon_http_downloader empty;
    ASSERT_EQ(empty.set_connection("127.0.0.1", 80, 0), 1);
    EXPECT_EQ(empty.download("127.0.0.1", "/empty", out.file("empty").c_str()), 1);
    EXPECT_TRUE(file_exists(out.file("empty")));
    EXPECT_EQ(read_file(out.file("empty")), "");

    quon_http_downloader missing;
    ASSERT_EQ(missing.set_connection("127.0.0.1", 80, 0), 1);
    EXPECT_EQ(missing.download("127.0.0.1", "/no_such_file", out.file("missing").c_str()), 0);
    EXPECT_FALSE(file_exists(out.file("missing")));
    EXPECT_TRUE(log.contains("quon_http_download.softfail Warning in quon_http_downloader::callback_message_received(), "
                             "download failed for file '" +
                             out.file("missing") + "'.  Aborting download.\n"));
    EXPECT_TRUE(
        log.contains("quon_http_download.softfail Error in quon_http_downloader::download(), http data fetch failed.\n"));
}

TEST_F(downloader, callback_mode_sees_every_framing_and_progress)
{
    struct {
        const char* name;
        const char* framing;
        int size;
        int expected;
    } rows[] = {
        {"content length", "length", 20000, 20000},
        {"chunked", "chunked", 20000, -1},
        {"close delimited", "close", 20000, -1},
        {"empty", "length", 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        e2e_fault_server server;
        ASSERT_EQ(server.start(std::string("{\"default\": {\"framing\": \"") + row.framing +
                               "\", \"body_bytes\": " + std::to_string(row.size) + "}}"),
                  1)
            << server.reason();
        recorder r;
        EXPECT_EQ(fetch("/x", r), 1);
        EXPECT_EQ(r.body, body_of(row.size));
        EXPECT_EQ(received_, row.size);
        EXPECT_EQ(expected_, row.expected);
        if (row.size > 0) {
            ASSERT_FALSE(r.progress.empty());
            EXPECT_EQ(r.progress.front(), std::make_pair(0, row.expected));
            EXPECT_EQ(r.progress.back(), std::make_pair(row.size, row.expected));
        }
        server.stop();
    }
}

TEST_F(downloader, sends_exactly_the_request_it_should)
{
    ASSERT_EQ(fault_server("{\"body\": \"ok\"}"), 1);
    recorder r;
    EXPECT_EQ(fetch("/downloads/a b\xc3", r, "localhost"), 1);
    ASSERT_EQ(fault_.wait_for_requests(1, 5000), 1);
    EXPECT_EQ(fault_.requests()[0].bytes,
              "GET /downloads/a%20b%c3 HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n"
              "Accept-Encoding: identity\r\nConnection: close\r\n\r\n");
}

TEST_F(downloader, early_closes_succeed_with_what_arrived)
{
    // A clean close is success by design; the caller judges the count.
    ASSERT_EQ(fault_server("{\"body_bytes\": 50000, \"fault\": {\"where\": \"body\", \"after\": 10000, "
                           "\"action\": \"close\"}}"),
              1);
    recorder r;
    EXPECT_EQ(fetch("/x", r), 1);
    EXPECT_EQ(received_, 10000);
    EXPECT_EQ(expected_, 50000);
    EXPECT_FALSE(complete_);

    fault_.stop();
    e2e_fault_server silent;
    ASSERT_EQ(silent.start("{\"default\": {\"fault\": {\"where\": \"status\", \"after\": 0, \"action\": \"close\"}}}"), 1);
    recorder nothing;
    temp_dir out;
    quon_http_downloader d;
    d.progress_callback = record_progress;
    d.context = &nothing;
    ASSERT_EQ(d.set_connection("127.0.0.1", 80, 0), 1);
    EXPECT_EQ(d.download("127.0.0.1", "/x", out.file("f").c_str()), 1);
    EXPECT_TRUE(nothing.progress.empty());
    EXPECT_FALSE(file_exists(out.file("f")));
}

TEST_F(downloader, failures_return_zero_with_their_messages)
{
    struct {
        const char* name;
        const char* answer;
        const char* message;
    } rows[] = {
        {"404 in callback mode", "{\"status\": 404, \"body\": \"gone\"}",
         "Warning in quon_http_downloader::callback_message_received(), download failed in callback mode."},
        {"301 is not followed", "{\"status\": 301, \"headers\": [[\"Location\", \"/y\"]]}",
         "download failed in callback mode."},
        {"garbage status line", "{\"status_line\": \"garbage\"}", "http data fetch failed."},
        {"no reason phrase", "{\"status_line\": \"HTTP/1.1 200\"}", "failed to parse response line"},
        {"negative length", "{\"content_length\": \"-3\", \"body\": \"abc\"}", "got bad content length"},
        {"reset in the body",
         "{\"body_bytes\": 30000, \"fault\": {\"where\": \"body\", \"after\": 1000, \"action\": \"reset\"}}",
         "blocking read failed, not all bytes read."},
        {"bad chunk size", "{\"framing\": \"chunked\", \"body\": \"hello\", \"bad_chunk_size\": \"zz\"}",
         "http data fetch failed."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        e2e_fault_server server;
        ASSERT_EQ(server.start(std::string("{\"default\": ") + row.answer + "}"), 1) << server.reason();
        log_capture log;
        recorder r;
        EXPECT_EQ(fetch("/x", r), 0);
        EXPECT_TRUE(log.contains(row.message)) << log.text();
        server.stop();
    }
}

TEST_F(downloader, a_refusing_data_callback_aborts_after_its_progress)
{
    ASSERT_EQ(fault_server("{\"body_bytes\": 20000}"), 1);
    log_capture log;
    recorder r;
    r.refuse_after_calls = 0;
    EXPECT_EQ(fetch("/x", r), 0);
    ASSERT_EQ(r.progress.size(), 2u);
    EXPECT_EQ(r.progress[0].first, 0);
    EXPECT_EQ(r.progress[1].first, (int)r.body.size());
    EXPECT_TRUE(log.contains("http data fetch failed."));
}

TEST_F(downloader, a_body_past_the_limit_is_abandoned)
{
    ASSERT_EQ(fault_server("{\"framing\": \"close\", \"body_bytes\": 100000}"), 1);
    temp_dir out;
    quon_http_downloader d;
    d.max_body_bytes = 5000;
    ASSERT_EQ(d.set_connection("127.0.0.1", 80, 0), 1);
    log_capture log;
    EXPECT_EQ(d.download("127.0.0.1", "/x", out.file("f").c_str()), 0);
    EXPECT_TRUE(d.body_limit_exceeded());
    EXPECT_LE(d.received(), 5000);
    EXPECT_TRUE(log.contains("body passes the expected 5000 bytes"));
}

TEST_F(downloader, argument_and_connection_errors)
{
    log_capture log;
    quon_http_downloader d;
    EXPECT_EQ(d.set_connection(nullptr, 80, 0), 0);
    EXPECT_EQ(d.set_connection("no-such-host.invalid", 80, 0), 0);
    EXPECT_FALSE(log.contains("no-such-host"));
    recorder r;
    d.data_callback = record_data;
    EXPECT_EQ(d.download("h", "/p", "/tmp/x"), 0);
    quon_http_downloader bare;
    EXPECT_EQ(bare.download("h", "/p"), 0);
    for (const char* message :
         {"Error in quon_http_downloader::set_connection(), NULL host name.",
          "Error in quon_http_downloader::download(), attempt to do file based download after setting data callback.",
          "Error in quon_http_downloader::download(), NULL destination file name and NULL download data callback."})
        EXPECT_TRUE(log.contains(message)) << message;

    // Nothing listens on port 80: the connect looks complete, the request
    // write then fails.
    recorder refused;
    EXPECT_EQ(fetch("/x", refused), 0);
    EXPECT_TRUE(log.contains("blocking write failed.") || log.contains("http data fetch failed.") ||
                log.contains("blocking read failed"))
        << log.text();
}

TEST_F(downloader, a_silent_server_times_out_after_the_idle_limit)
{
    ASSERT_EQ(fault_server("{\"body_bytes\": 100, \"fault\": {\"where\": \"status\", \"after\": 0, "
                           "\"action\": \"stall\"}}"),
              1);
    log_capture log;
    recorder r;
    EXPECT_EQ(fetch("/x", r), 0);
    EXPECT_TRUE(log.contains("nothing received for 30 seconds, timed out.")) << log.text();
}
