#include "gui/pixel_buffer.h"

#include <limits.h>
#include <string.h>

#include <vector>

#include <gtest/gtest.h>

namespace {

// Pixels with 3 spare pixels at the end of every row, all filled with a
// background that no primitive writes, so that a write outside the clipped
// area or into the row padding shows up.
struct test_pixels {
    enum { padding = 12 };
    std::vector<unsigned char> bytes;
    quon_pixel_buffer buffer;

    test_pixels(int width, int height, unsigned char r = 9, unsigned char g = 8, unsigned char b = 7,
                unsigned char a = 6)
        : bytes((size_t)(4 * width + padding) * height)
    {
        for (size_t i = 0; i < bytes.size(); i += 4) {
            bytes[i] = r;
            bytes[i + 1] = g;
            bytes[i + 2] = b;
            bytes[i + 3] = a;
        }
        buffer.pixels = bytes.data();
        buffer.width = width;
        buffer.height = height;
        buffer.stride = 4 * width + padding;
    }
    test_pixels(const test_pixels&) = delete;
    test_pixels& operator=(const test_pixels&) = delete;

    unsigned char* at(int x, int y) { return bytes.data() + (size_t)y * buffer.stride + 4 * x; }
    std::vector<unsigned char> pixel(int x, int y)
    {
        unsigned char* p = at(x, y);
        return {p[0], p[1], p[2], p[3]};
    }
    void set(int x, int y, unsigned char r, unsigned char g, unsigned char b, unsigned char a)
    {
        unsigned char* p = at(x, y);
        p[0] = r;
        p[1] = g;
        p[2] = b;
        p[3] = a;
    }
    bool padding_untouched(unsigned char r = 9) const
    {
        for (int y = 0; y < buffer.height; y++)
            for (int i = 0; i < padding; i += 4)
                if (bytes[(size_t)y * buffer.stride + 4 * buffer.width + i] != r)
                    return false;
        return true;
    }
};

typedef std::vector<unsigned char> rgba;

// A source whose every pixel names its own column and row, opaque, so that
// a drawn pixel tells which source pixel landed there.
void fill_with_coordinates(test_pixels& source)
{
    for (int y = 0; y < source.buffer.height; y++)
        for (int x = 0; x < source.buffer.width; x++)
            source.set(x, y, (unsigned char)(1 + x % 250), (unsigned char)(1 + y % 250),
                       (unsigned char)(1 + x / 250), 255);
}

// What DrawBitmapUseAlpha makes of such a pixel.
rgba drawn_coordinate(long long x, long long y)
{
    return {(unsigned char)(((1 + x % 250) * 255) >> 8), (unsigned char)(((1 + y % 250) * 255) >> 8),
            (unsigned char)(((1 + x / 250) * 255) >> 8), 6};
}

}  // namespace

TEST(pixel_buffer, use_alpha_multiplies_colour_by_alpha_over_black_and_keeps_destination_alpha)
{
    struct {
        rgba source;
        rgba expected;
    } rows[] = {
        {{200, 100, 50, 255}, {199, 99, 49, 6}},
        {{200, 100, 50, 128}, {100, 50, 25, 6}},
        {{200, 100, 50, 0}, {0, 0, 0, 6}},
        {{255, 255, 255, 255}, {254, 254, 254, 6}},
        {{255, 1, 0, 1}, {0, 0, 0, 6}},
    };
    for (const auto& row : rows) {
        test_pixels source(1, 1);
        source.set(0, 0, row.source[0], row.source[1], row.source[2], row.source[3]);
        test_pixels target(1, 1);
        quon_pixels_draw_use_alpha(target.buffer, source.buffer, 0, 0);
        EXPECT_EQ(target.pixel(0, 0), row.expected) << int(row.source[3]);
        // The old colour does not enter: drawing twice is drawing once.
        quon_pixels_draw_use_alpha(target.buffer, source.buffer, 0, 0);
        EXPECT_EQ(target.pixel(0, 0), row.expected) << int(row.source[3]);
    }
}

TEST(pixel_buffer, use_alpha_clips_the_source_at_every_edge)
{
    test_pixels source(480, 300);
    fill_with_coordinates(source);
    struct {
        int x, y;
        int first_column, end_column, first_row, end_row;  // source range expected to land
    } rows[] = {
        {0, 0, 0, 480, 0, 300},      {-10, 0, 10, 480, 0, 300},   {0, -7, 0, 480, 7, 300},
        {470, 290, 0, 10, 0, 10},    {480, 0, 0, 0, 0, 0},        {0, 300, 0, 0, 0, 0},
        {-480, 0, 0, 0, 0, 0},       {INT_MIN, INT_MIN, 0, 0, 0, 0}, {INT_MAX, 0, 0, 0, 0, 0},
    };
    for (const auto& row : rows) {
        test_pixels target(480, 300);
        quon_pixels_draw_use_alpha(target.buffer, source.buffer, row.x, row.y);
        int wrong = 0;
        for (int y = 0; y < 300; y++)
            for (int x = 0; x < 480; x++) {
                long long i = (long long)x - row.x, j = (long long)y - row.y;
                bool drawn = i >= row.first_column && i < row.end_column && j >= row.first_row && j < row.end_row;
                rgba expected = drawn ? drawn_coordinate(i, j) : rgba{9, 8, 7, 6};
                wrong += target.pixel(x, y) != expected;
            }
        EXPECT_EQ(wrong, 0) << "at (" << row.x << ", " << row.y << ")";
        EXPECT_TRUE(target.padding_untouched()) << "at (" << row.x << ", " << row.y << ")";
    }
}

TEST(pixel_buffer, clip_reports_the_landing_range)
{
    quon_pixel_clip clip;
    ASSERT_EQ(quon_clip_source(480, 300, 480, 300, -10, 5, clip), 1);
    EXPECT_EQ(clip.first_column, 10);
    EXPECT_EQ(clip.end_column, 480);
    EXPECT_EQ(clip.first_row, 0);
    EXPECT_EQ(clip.end_row, 295);
    EXPECT_EQ(quon_clip_source(480, 300, 480, 300, 480, 0, clip), 0);
    EXPECT_EQ(quon_clip_source(0, 300, 480, 300, 0, 0, clip), 0);
    EXPECT_EQ(quon_clip_source(10, 10, 480, 300, 0, -10, clip), 0);
}

TEST(pixel_buffer, filled_rectangle_orders_corners_clips_and_writes_opaque_pixels)
{
    struct {
        const char* name;
        int x1, y1, x2, y2;
        int left, top, right, bottom;  // expected inclusive area; left > right for none
    } rows[] = {
        {"in order", 0, 0, 9, 4, 0, 0, 9, 4},
        {"corners swapped", 9, 4, 0, 0, 0, 0, 9, 4},
        {"clipped at the top left", -5, -5, 2, 2, 0, 0, 2, 2},
        {"clipped at the bottom right", 7, 8, 30, 30, 7, 8, 9, 9},
        {"larger than the bitmap", -100, -100, 100, 100, 0, 0, 9, 9},
        {"one pixel", 3, 3, 3, 3, 3, 3, 3, 3},
        // Corners are ordered before the test for lying outside, so this
        // spans columns -1 to 0 and keeps column 0.
        {"reversed across the left edge", 0, 0, -1, 5, 0, 0, 0, 5},
        {"left of the bitmap", -3, 0, -1, 5, 1, 0, 0, 0},
        {"above the bitmap", 0, -9, 5, -1, 1, 0, 0, 0},
        {"right of the bitmap", 10, 0, 20, 5, 1, 0, 0, 0},
        {"below the bitmap", 0, 10, 5, 12, 1, 0, 0, 0},
    };
    for (const auto& row : rows) {
        test_pixels target(10, 10);
        quon_pixels_fill_rectangle(target.buffer, row.x1, row.y1, row.x2, row.y2, quon_colour{200, 100, 50});
        int wrong = 0;
        for (int y = 0; y < 10; y++)
            for (int x = 0; x < 10; x++) {
                bool inside = x >= row.left && x <= row.right && y >= row.top && y <= row.bottom;
                wrong += target.pixel(x, y) != (inside ? rgba{200, 100, 50, 255} : rgba{9, 8, 7, 6});
            }
        EXPECT_EQ(wrong, 0) << row.name;
        EXPECT_TRUE(target.padding_untouched()) << row.name;
    }
}

TEST(pixel_buffer, channels_take_the_low_eight_bits_of_the_colour)
{
    test_pixels target(2, 1);
    quon_pixels_fill_rectangle(target.buffer, 0, 0, 0, 0, quon_colour{257, -1, 511});
    EXPECT_EQ(target.pixel(0, 0), (rgba{1, 255, 255, 255}));
    quon_pixels_set_pixel(target.buffer, 1, 0, quon_colour{256, 300, -2});
    EXPECT_EQ(target.pixel(1, 0), (rgba{0, 44, 254, 6}));
}

TEST(pixel_buffer, clear_alpha_and_clear_cover_every_pixel_and_nothing_more)
{
    test_pixels target(460, 10);
    quon_pixels_clear_alpha(target.buffer);
    int wrong = 0;
    for (int y = 0; y < 10; y++)
        for (int x = 0; x < 460; x++)
            wrong += target.pixel(x, y) != rgba{9, 8, 7, 255};
    EXPECT_EQ(wrong, 0);
    quon_pixels_clear(target.buffer, quon_colour{32, 32, 32});
    wrong = 0;
    for (int y = 0; y < 10; y++)
        for (int x = 0; x < 460; x++)
            wrong += target.pixel(x, y) != rgba{32, 32, 32, 255};
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(target.padding_untouched());
}

TEST(pixel_buffer, set_pixel_ignore_alpha_and_border)
{
    test_pixels target(4, 3);
    quon_pixels_set_pixel(target.buffer, -1, 0, quon_colour{1, 1, 1});
    quon_pixels_set_pixel(target.buffer, 4, 0, quon_colour{1, 1, 1});
    quon_pixels_set_pixel(target.buffer, 0, 3, quon_colour{1, 1, 1});
    quon_pixels_set_pixel(target.buffer, 2, 1, quon_colour{10, 20, 30});
    EXPECT_EQ(target.pixel(2, 1), (rgba{10, 20, 30, 6}));
    EXPECT_EQ(target.pixel(0, 0), (rgba{9, 8, 7, 6}));
    EXPECT_TRUE(target.padding_untouched());

    test_pixels source(2, 2);
    source.set(0, 0, 1, 2, 3, 0);
    source.set(1, 1, 4, 5, 6, 128);
    quon_pixels_draw_ignore_alpha(target.buffer, source.buffer, 3, 2);
    EXPECT_EQ(target.pixel(3, 2), (rgba{1, 2, 3, 0}));
    EXPECT_EQ(target.pixel(2, 1), (rgba{10, 20, 30, 6}));
    EXPECT_TRUE(target.padding_untouched());

    test_pixels framed(4, 3);
    quon_pixels_draw_border(framed.buffer, quon_colour{50, 60, 70});
    rgba edge{50, 60, 70, 6}, corner{0, 0, 0, 6}, inside{9, 8, 7, 6};
    rgba expected[3][4] = {{corner, edge, edge, corner}, {edge, inside, inside, edge}, {corner, edge, edge, corner}};
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 4; x++)
            EXPECT_EQ(framed.pixel(x, y), expected[y][x]) << x << ", " << y;
}

TEST(pixel_buffer, from_rgb_alpha_keeps_every_byte)
{
    const unsigned char rgb[] = {200, 100, 50, 1, 2, 3, 255, 255, 255, 0, 0, 0};
    const unsigned char alpha[] = {128, 0, 255, 7};
    test_pixels target(2, 2);
    quon_pixels_from_rgb_alpha(target.buffer, rgb, alpha);
    EXPECT_EQ(target.pixel(0, 0), (rgba{200, 100, 50, 128}));
    EXPECT_EQ(target.pixel(1, 0), (rgba{1, 2, 3, 0}));
    EXPECT_EQ(target.pixel(0, 1), (rgba{255, 255, 255, 255}));
    EXPECT_EQ(target.pixel(1, 1), (rgba{0, 0, 0, 7}));
    quon_pixels_from_rgb_alpha(target.buffer, rgb, nullptr);
    EXPECT_EQ(target.pixel(1, 0), (rgba{1, 2, 3, 255}));
    EXPECT_TRUE(target.padding_untouched());
}
