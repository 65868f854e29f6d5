// Transcription of toolkit text into the library's 7-bit ASCII: plain
// English (every character passes straight through) and text full of
// accented letters, quotes and dashes (most characters go through the
// look-alike table).

#include <string>

#include <benchmark/benchmark.h>

#include "base/ascii.h"
#include "base/string_buffer.h"

namespace {

// About 2 KiB each, well inside one buffer.
std::string repeated(const char* text, size_t size)
{
    std::string out;
    while (out.size() < size)
        out += text;
    return out;
}

void transcribe(benchmark::State& state, const std::string& text)
{
    for (auto _ : state) {
        quon_string_buffer out;
        quon_append_utf8_as_ascii(text.c_str(), out);
        benchmark::DoNotOptimize(out.c_str());
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)text.size());
}

void BM_transcribe_ascii_text(benchmark::State& state)
{
    static const std::string text =
        repeated("The launcher keeps your client up to date; press escape for options. ", 2048);
    transcribe(state, text);
}
BENCHMARK(BM_transcribe_ascii_text);

void BM_transcribe_accented_text(benchmark::State& state)
{
    static const std::string text = repeated(
        "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln \xe2\x80\x93 \xe2\x80\x9e" "Fl\xc3\xbc" "gelt\xc3\xbcr\xe2\x80\x9c, "
        "\xc3\xa9t\xc3\xa9, na\xc3\xafve, \xc5\x93uvre\xe2\x80\xa6 ",
        2048);
    transcribe(state, text);
}
BENCHMARK(BM_transcribe_accented_text);

}  // namespace
