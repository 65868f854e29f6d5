#ifndef BRIMVALE_GUI_PIXEL_BUFFER_H
#define BRIMVALE_GUI_PIXEL_BUFFER_H

#include <stdint.h>

// The pixel arithmetic under quon_bitmap, over plain memory so that it runs
// and is tested without a display. None of these functions allocates, logs
// or keeps a pointer after it returns.

// A view of 32-bit pixels: rows top to bottom, each row width pixels of the
// bytes red, green, blue, alpha, consecutive rows stride bytes apart (at
// least 4 * width). The memory belongs to whoever made the view.
struct quon_pixel_buffer {
    unsigned char* pixels;  // the top-left pixel
    int width;
    int height;
    int stride;
};

// A colour as callers give it: each channel meant to be 0 to 255, of which a
// pixel takes the low 8 bits. Primitives never take an alpha from a caller.
struct quon_colour {
    int32_t red;
    int32_t green;
    int32_t blue;
};

// The part of a source of source_width by source_height that lands inside a
// destination of dest_width by dest_height when drawn with its top-left
// corner at (x, y): source columns [first_column, end_column) and rows
// [first_row, end_row); source pixel (i, j) lands on (x + i, y + j).
struct quon_pixel_clip {
    int first_column;
    int end_column;
    int first_row;
    int end_row;
};

// 1 when some pixel is to be drawn (clip filled in), 0 when none is.
int quon_clip_source(int source_width, int source_height, int dest_width, int dest_height, int x, int y,
                     quon_pixel_clip& clip);

// Every alpha byte becomes 255; colour is untouched.
void quon_pixels_clear_alpha(const quon_pixel_buffer& target);
// Every pixel becomes (red, green, blue, 255).
void quon_pixels_clear(const quon_pixel_buffer& target, const quon_colour& colour);
// Writes red, green, blue of one pixel, alpha untouched; outside: ignored.
void quon_pixels_set_pixel(const quon_pixel_buffer& target, int x, int y, const quon_colour& colour);
// Fills the inclusive rectangle spanned by the two corners (in any order),
// clipped to the buffer, with (red, green, blue, 255).
void quon_pixels_fill_rectangle(const quon_pixel_buffer& target, int x1, int y1, int x2, int y2,
                                const quon_colour& colour);
// Draws source at (x, y), clipped: each channel becomes (channel * alpha) >> 8
// of the source pixel, the picture over black; destination alpha stays.
void quon_pixels_draw_use_alpha(const quon_pixel_buffer& target, const quon_pixel_buffer& source, int x, int y);
// Copies source at (x, y), clipped, all four bytes unchanged.
void quon_pixels_draw_ignore_alpha(const quon_pixel_buffer& target, const quon_pixel_buffer& source, int x,
                                   int y);
// A one-pixel border along the four edges in colour, then the four corners
// black; alpha untouched.
void quon_pixels_draw_border(const quon_pixel_buffer& target, const quon_colour& colour);
// Fills target (of the image's size) from a decoded image: rgb holds three
// bytes per pixel, rows packed; alpha one byte per pixel, or null for an
// opaque picture.
void quon_pixels_from_rgb_alpha(const quon_pixel_buffer& target, const unsigned char* rgb,
                                const unsigned char* alpha);

#endif
