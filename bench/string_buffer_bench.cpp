// quon_string_buffer appends against snprintf into a buffer of the same
// size, for the two things the program builds all the time: a path, and a
// log message with a number in it. Each iteration makes its buffer, as a
// function that builds one on its stack does.

#include <stdio.h>

#include <benchmark/benchmark.h>

#include "base/string_buffer.h"

namespace {

const char directory[] = "/home/player/.Brimvale/executables";
const char file_name[] = "brimvale_client_1.105";
const char manifest_path[] = "/home/player/.Brimvale/executables/update_manifest.lst";

void BM_string_buffer_path(benchmark::State& state)
{
    for (auto _ : state) {
        quon_string_buffer path;
        path.append(directory);
        path.append_char('/');
        path.append(file_name);
        benchmark::DoNotOptimize(path.c_str());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_string_buffer_path);

void BM_snprintf_path(benchmark::State& state)
{
    for (auto _ : state) {
        char path[quon_string_buffer::standard_capacity + 1];
        snprintf(path, sizeof(path), "%s/%s", directory, file_name);
        benchmark::DoNotOptimize(path);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_snprintf_path);

void BM_string_buffer_message(benchmark::State& state)
{
    int count = 0;
    for (auto _ : state) {
        quon_string_buffer text;
        text.append("Loaded ");
        text.append_int(count++ & 0xffff);
        text.append(" entries from current manifest file '");
        text.append(manifest_path);
        text.append("'.");
        benchmark::DoNotOptimize(text.c_str());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_string_buffer_message);

void BM_snprintf_message(benchmark::State& state)
{
    int count = 0;
    for (auto _ : state) {
        char text[quon_string_buffer::standard_capacity + 1];
        snprintf(text, sizeof(text), "Loaded %d entries from current manifest file '%s'.", count++ & 0xffff,
                 manifest_path);
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_snprintf_message);

}  // namespace
