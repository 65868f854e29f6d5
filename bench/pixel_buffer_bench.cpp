// The two drawing primitives of the launcher's window, on plain memory
// through the display-free functions under quon_bitmap: the 480 by 300
// splash drawn with its alpha, and the 460 by 10 progress bar filled in
// its two colours.

#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_data.h"
#include "gui/pixel_buffer.h"

namespace {

struct picture {
    explicit picture(int width, int height) : bytes((size_t)width * height * 4)
    {
        view = quon_pixel_buffer{bytes.data(), width, height, width * 4};
    }
    std::vector<unsigned char> bytes;
    quon_pixel_buffer view;
};

void BM_draw_splash_use_alpha(benchmark::State& state)
{
    picture splash(480, 300);
    picture window(480, 300);
    // Colour and alpha of every kind, like the logo's soft edges.
    bench_random random;
    for (unsigned char& byte : splash.bytes)
        byte = (unsigned char)random.next();
    for (auto _ : state) {
        quon_pixels_draw_use_alpha(window.view, splash.view, 0, 0);
        benchmark::DoNotOptimize(window.bytes.data());
    }
    state.SetItemsProcessed(state.iterations() * 480 * 300);
    state.SetBytesProcessed(state.iterations() * 480 * 300 * 4);
}
BENCHMARK(BM_draw_splash_use_alpha);

// The bar at 37.5 %: the filled part and the empty part, as its Render does.
void BM_fill_progress_bar(benchmark::State& state)
{
    picture bar(460, 10);
    const quon_colour fill = {128, 128, 128};
    const quon_colour empty = {32, 32, 32};
    const int filled = 460 * 3 / 8;
    for (auto _ : state) {
        quon_pixels_fill_rectangle(bar.view, 0, 0, filled - 1, 9, fill);
        quon_pixels_fill_rectangle(bar.view, filled, 0, 459, 9, empty);
        benchmark::DoNotOptimize(bar.bytes.data());
    }
    state.SetItemsProcessed(state.iterations() * 460 * 10);
    state.SetBytesProcessed(state.iterations() * 460 * 10 * 4);
}
BENCHMARK(BM_fill_progress_bar);

}  // namespace
