// Manifest parsing: single lines, and the whole remote-manifest path
// (inflate, split, parse) beside a plain zlib inflate loop over the same
// compressed body, each fed in the downloader's 8 KiB slices.

#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "bench/bench_data.h"
#include "updater/file_manifest.h"
#include "updater/remote_manifest.h"

namespace {

const int remote_entries = 100000;

// The gzip body of a 100,000-entry manifest and its inflated size, made once.
struct remote_body {
    std::string compressed;
    size_t inflated_size;
};

const remote_body& large_manifest()
{
    static const remote_body body = [] {
        std::string text = bench_manifest_text(remote_entries);
        return remote_body{bench_gzip(text), text.size()};
    }();
    return body;
}

void BM_manifest_line_parse(benchmark::State& state)
{
    // Distinct lines, without their newline as the splitter passes them.
    std::vector<std::string> lines;
    bench_random random;
    for (int i = 0; i < 1024; i++) {
        std::string line = bench_manifest_line(random, i);
        line.pop_back();
        lines.push_back(line);
    }
    size_t next = 0;
    for (auto _ : state) {
        zel_file_manifest_entry* entry = nullptr;
        if (!parse_manifest_line("downloaded data", lines[next].c_str(), &entry) || !entry) {
            state.SkipWithError("a line did not parse");
            break;
        }
        delete entry;
        next = (next + 1) & 1023;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_manifest_line_parse);

// Everything the update run does with the list's body between the socket
// and the entry list, and the freeing of the 100,000 entries at the end.
void BM_remote_manifest_inflate_split_parse(benchmark::State& state)
{
    const remote_body& body = large_manifest();
    const char* data = body.compressed.data();
    const int size = (int)body.compressed.size();
    for (auto _ : state) {
        http_fetch_remote_manifest_data remote;
        remote.reset();
        for (int offset = 0; offset < size; offset += bench_slice_size) {
            int slice = size - offset < bench_slice_size ? size - offset : bench_slice_size;
            if (!remote.download_data_callback(data + offset, slice))
                break;
            remote.download_progress_callback(offset + slice, size);
        }
        remote.end_inflater();
        if (remote.count() != remote_entries) {
            state.SkipWithError("the manifest did not parse whole");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * remote_entries);
    state.SetBytesProcessed(state.iterations() * (int64_t)body.inflated_size);
}
BENCHMARK(BM_remote_manifest_inflate_split_parse)->Unit(benchmark::kMillisecond);

// The floor: zlib alone over the same slices into a 64 KiB scratch buffer,
// the output looked at by nobody.
void BM_zlib_inflate_loop(benchmark::State& state)
{
    const remote_body& body = large_manifest();
    const char* data = body.compressed.data();
    const int size = (int)body.compressed.size();
    static unsigned char scratch[65536];
    for (auto _ : state) {
        z_stream stream = {};
        inflateInit2(&stream, 47);
        size_t inflated = 0;
        int result = Z_OK;
        for (int offset = 0; offset < size && result != Z_STREAM_END; offset += bench_slice_size) {
            stream.next_in = (Bytef*)data + offset;
            stream.avail_in = (uInt)(size - offset < bench_slice_size ? size - offset : bench_slice_size);
            do {
                stream.next_out = scratch;
                stream.avail_out = sizeof(scratch);
                result = inflate(&stream, Z_NO_FLUSH);
                inflated += sizeof(scratch) - stream.avail_out;
            } while (result == Z_OK && stream.avail_out == 0);
        }
        inflateEnd(&stream);
        benchmark::DoNotOptimize(scratch);
        if (inflated != body.inflated_size) {
            state.SkipWithError("inflate did not produce the whole text");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * remote_entries);
    state.SetBytesProcessed(state.iterations() * (int64_t)body.inflated_size);
}
BENCHMARK(BM_zlib_inflate_loop)->Unit(benchmark::kMillisecond);

}  // namespace
