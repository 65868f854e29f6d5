#ifndef BRIMVALE_BENCH_BENCH_DATA_H
#define BRIMVALE_BENCH_BENCH_DATA_H

// Inputs shared by the micro-benchmarks, made the same way on every run
// (a fixed-seed generator) so that runs compare.

#include <stdint.h>
#include <stdio.h>
#include <zlib.h>

#include <string>
#include <vector>

// xorshift64*: deterministic and cheap; quality is irrelevant here.
class bench_random {
public:
    explicit bench_random(uint64_t seed = 0x9e3779b97f4a7c15ull) : state_(seed) {}
    uint64_t next()
    {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545f4914f6cdd1dull;
    }

private:
    uint64_t state_;
};

// The name of the index-th file of a large release, as a server lists its
// builds: "brimvale_client_1.000123" and the like (24 characters, past the
// 15 of std::string's inline storage).
inline std::string bench_file_name(int index)
{
    char name[64];
    snprintf(name, sizeof(name), "brimvale_client_1.%06d", index);
    return name;
}

// One manifest line as brimvale-publish writes it: a SHA-256 in lowercase
// hex, the size right-aligned in 10 columns, the name, a newline.
inline std::string bench_manifest_line(bench_random& random, int index)
{
    static const char hex[] = "0123456789abcdef";
    std::string line;
    for (int i = 0; i < 64; i += 16) {
        uint64_t bits = random.next();
        for (int j = 0; j < 16; j++, bits >>= 4)
            line += hex[bits & 15];
    }
    char rest[96];
    snprintf(rest, sizeof(rest), " %10d %s\n", (int)(random.next() % 50000000) + 1000,
             bench_file_name(index).c_str());
    line += rest;
    return line;
}

// The inflated text of a remote manifest with count entries.
inline std::string bench_manifest_text(int count)
{
    bench_random random;
    std::string text;
    for (int i = 0; i < count; i++)
        text += bench_manifest_line(random, count - i);
    return text;
}

// text compressed as a gzip member (zlib level 9, as gzip -9 would).
inline std::string bench_gzip(const std::string& text)
{
    z_stream stream = {};
    deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, text.size()), '\0');
    stream.next_in = (Bytef*)text.data();
    stream.avail_in = (uInt)text.size();
    stream.next_out = (Bytef*)&out[0];
    stream.avail_out = (uInt)out.size();
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// The receive side reads the network in blocks of this size.
enum { bench_slice_size = 8192 };

#endif
