#include "gui/pixel_buffer.h"

#include <stddef.h>
#include <string.h>

namespace {

unsigned char* row_of(const quon_pixel_buffer& buffer, int y)
{
    return buffer.pixels + (ptrdiff_t)y * buffer.stride;
}

// The four bytes of an opaque pixel as one word, so that a row fills with
// whole 32-bit stores (memcpy of 4 bytes compiles to one).
uint32_t opaque_word(const quon_colour& colour)
{
    unsigned char bytes[4] = {(unsigned char)colour.red, (unsigned char)colour.green,
                              (unsigned char)colour.blue, 255};
    uint32_t word;
    memcpy(&word, bytes, 4);
    return word;
}

void fill_span(unsigned char* first, int count, uint32_t word)
{
    for (int i = 0; i < count; i++)
        memcpy(first + 4 * i, &word, 4);
}

}  // namespace

int quon_clip_source(int source_width, int source_height, int dest_width, int dest_height, int x, int y,
                     quon_pixel_clip& clip)
{
    // 64-bit so that coordinates near the int limits cannot overflow.
    int64_t first_column = x < 0 ? -(int64_t)x : 0;
    int64_t end_column = (int64_t)dest_width - x;
    if (end_column > source_width)
        end_column = source_width;
    int64_t first_row = y < 0 ? -(int64_t)y : 0;
    int64_t end_row = (int64_t)dest_height - y;
    if (end_row > source_height)
        end_row = source_height;
    if (first_column >= end_column || first_row >= end_row)
        return 0;
    clip.first_column = (int)first_column;
    clip.end_column = (int)end_column;
    clip.first_row = (int)first_row;
    clip.end_row = (int)end_row;
    return 1;
}

void quon_pixels_clear_alpha(const quon_pixel_buffer& target)
{
    for (int y = 0; y < target.height; y++) {
        unsigned char* pixel = row_of(target, y);
        for (int x = 0; x < target.width; x++)
            pixel[4 * x + 3] = 255;
    }
}

void quon_pixels_clear(const quon_pixel_buffer& target, const quon_colour& colour)
{
    uint32_t word = opaque_word(colour);
    for (int y = 0; y < target.height; y++)
        fill_span(row_of(target, y), target.width, word);
}

void quon_pixels_set_pixel(const quon_pixel_buffer& target, int x, int y, const quon_colour& colour)
{
    if (x < 0 || y < 0 || x >= target.width || y >= target.height)
        return;
    unsigned char* pixel = row_of(target, y) + 4 * x;
    pixel[0] = (unsigned char)colour.red;
    pixel[1] = (unsigned char)colour.green;
    pixel[2] = (unsigned char)colour.blue;
}

void quon_pixels_fill_rectangle(const quon_pixel_buffer& target, int x1, int y1, int x2, int y2,
                                const quon_colour& colour)
{
    if (x1 > x2) {
        int swap = x1;
        x1 = x2;
        x2 = swap;
    }
    if (y1 > y2) {
        int swap = y1;
        y1 = y2;
        y2 = swap;
    }
    if (x2 < 0 || y2 < 0 || x1 >= target.width || y1 >= target.height)
        return;
    if (x1 < 0)
        x1 = 0;
    if (y1 < 0)
        y1 = 0;
    if (x2 > target.width - 1)
        x2 = target.width - 1;
    if (y2 > target.height - 1)
        y2 = target.height - 1;
    uint32_t word = opaque_word(colour);
    for (int y = y1; y <= y2; y++)
        fill_span(row_of(target, y) + 4 * x1, x2 - x1 + 1, word);
}

void quon_pixels_draw_use_alpha(const quon_pixel_buffer& target, const quon_pixel_buffer& source, int x, int y)
{
    quon_pixel_clip clip;
    if (!quon_clip_source(source.width, source.height, target.width, target.height, x, y, clip))
        return;
    for (int j = clip.first_row; j < clip.end_row; j++) {
        const unsigned char* from = row_of(source, j) + 4 * clip.first_column;
        unsigned char* to = row_of(target, y + j) + 4 * (x + clip.first_column);
        for (int i = clip.first_column; i < clip.end_column; i++, from += 4, to += 4) {
            unsigned alpha = from[3];
            to[0] = (unsigned char)((from[0] * alpha) >> 8);
            to[1] = (unsigned char)((from[1] * alpha) >> 8);
            to[2] = (unsigned char)((from[2] * alpha) >> 8);
        }
    }
}

void quon_pixels_draw_ignore_alpha(const quon_pixel_buffer& target, const quon_pixel_buffer& source, int x,
                                   int y)
{
    quon_pixel_clip clip;
    if (!quon_clip_source(source.width, source.height, target.width, target.height, x, y, clip))
        return;
    size_t bytes = 4 * (size_t)(clip.end_column - clip.first_column);
    for (int j = clip.first_row; j < clip.end_row; j++)
        memmove(row_of(target, y + j) + 4 * (x + clip.first_column), row_of(source, j) + 4 * clip.first_column,
                bytes);
}

void quon_pixels_draw_border(const quon_pixel_buffer& target, const quon_colour& colour)
{
    int right = target.width - 1;
    int bottom = target.height - 1;
    for (int x = 0; x <= right; x++) {
        quon_pixels_set_pixel(target, x, 0, colour);
        quon_pixels_set_pixel(target, x, bottom, colour);
    }
    for (int y = 0; y <= bottom; y++) {
        quon_pixels_set_pixel(target, 0, y, colour);
        quon_pixels_set_pixel(target, right, y, colour);
    }
    const quon_colour black = {0, 0, 0};
    quon_pixels_set_pixel(target, 0, 0, black);
    quon_pixels_set_pixel(target, right, 0, black);
    quon_pixels_set_pixel(target, 0, bottom, black);
    quon_pixels_set_pixel(target, right, bottom, black);
}

void quon_pixels_from_rgb_alpha(const quon_pixel_buffer& target, const unsigned char* rgb,
                                const unsigned char* alpha)
{
    for (int y = 0; y < target.height; y++) {
        unsigned char* to = row_of(target, y);
        for (int x = 0; x < target.width; x++, to += 4, rgb += 3) {
            to[0] = rgb[0];
            to[1] = rgb[1];
            to[2] = rgb[2];
            to[3] = alpha ? *alpha++ : 255;
        }
    }
}
