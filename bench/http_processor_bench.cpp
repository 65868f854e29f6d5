// The HTTP message processor on the client side, as the downloader drives
// it: a GET queued and taken, then the response pushed in as it would come
// off the socket.

#include <string.h>

#include <string>

#include <benchmark/benchmark.h>

#include "bench/bench_data.h"
#include "http/http_processor.h"

namespace {

// What nginx answers for a file of the download area.
const char typical_header[] =
    "HTTP/1.1 200 OK\r\n"
    "Server: nginx/1.22.1\r\n"
    "Date: Thu, 11 Dec 2025 15:52:17 GMT\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Length: %d\r\n"
    "Last-Modified: Thu, 11 Dec 2025 15:40:02 GMT\r\n"
    "Connection: close\r\n"
    "ETag: \"693ae6b2-10000000\"\r\n"
    "Accept-Ranges: bytes\r\n"
    "\r\n";

struct exchange {
    long long body_bytes = 0;
    int responses = 0;
    int completed = 0;
};

int on_message_received(quon_http_data_processor_oline*, void* context)
{
    ((exchange*)context)->responses++;
    return 1;
}

int on_content(quon_http_data_processor_oline*, void* context, const char* data, int count)
{
    benchmark::DoNotOptimize(data);
    ((exchange*)context)->body_bytes += count;
    return 1;
}

int on_complete(quon_http_data_processor_oline*, void* context, int)
{
    ((exchange*)context)->completed++;
    return 1;
}

void on_close(quon_http_data_processor_oline*, void*) {}

// A processor set up as the downloader sets it, its request already taken.
void start_exchange(quon_http_data_processor_oline& processor, exchange& state)
{
    processor.context = &state;
    processor.callback_message_received = on_message_received;
    processor.callback_content_data_received = on_content;
    processor.callback_message_complete = on_complete;
    processor.callback_close = on_close;
    processor.want_close = 1;
    processor.start_http_GET("updates.brimvale.example", "/downloads/vostel_v3/brimvale_client_1.105");
    char request[bench_slice_size];
    while (processor.get_tx_data(request, sizeof(request)) > 0) {
    }
}

std::string header_for(int content_length)
{
    char text[sizeof(typical_header) + 16];
    snprintf(text, sizeof(text), typical_header, content_length);
    return text;
}

// A 64 MiB body in 8 KiB slices, header section included; bytes/s is the
// body throughput.
void BM_http_processor_body_8k_slices(benchmark::State& state)
{
    const int body_size = 64 * 1024 * 1024;
    const std::string header = header_for(body_size);
    static char slice[bench_slice_size];
    memset(slice, 'x', sizeof(slice));
    for (auto _ : state) {
        exchange result;
        quon_http_data_processor_oline processor;
        start_exchange(processor, result);
        processor.receive_data(header.data(), (int)header.size());
        for (int sent = 0; sent < body_size; sent += bench_slice_size)
            processor.receive_data(slice, bench_slice_size);
        if (result.body_bytes != body_size || result.completed != 1) {
            state.SkipWithError("the body was not delivered whole");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)body_size);
}
BENCHMARK(BM_http_processor_body_8k_slices)->Unit(benchmark::kMillisecond);

// One whole exchange with a typical header section and an empty body: the
// processor built, the GET queued and taken, the header section parsed.
void BM_http_processor_header_section(benchmark::State& state)
{
    const std::string header = header_for(0);
    for (auto _ : state) {
        exchange result;
        quon_http_data_processor_oline processor;
        start_exchange(processor, result);
        processor.receive_data(header.data(), (int)header.size());
        if (result.responses != 1 || result.completed != 1) {
            state.SkipWithError("the response was not recognised");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (int64_t)header.size());
}
BENCHMARK(BM_http_processor_header_section);

}  // namespace
