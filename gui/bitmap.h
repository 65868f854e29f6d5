#ifndef BRIMVALE_GUI_BITMAP_H
#define BRIMVALE_GUI_BITMAP_H

#include <wx/bitmap.h>
#include <wx/image.h>

#include "gui/pixel_buffer.h"

// The off-screen picture of every owner-drawn window: a 32-bit toolkit
// bitmap with alpha whose pixels (bytes red, green, blue, alpha) the
// primitives below write directly. Each primitive opens the toolkit's pixel
// access, works on the rows through the functions of gui/pixel_buffer.h and
// closes it again, so a blit shows exactly the bytes written. When the
// access fails (an invalid bitmap) the primitive draws nothing and says so
// in the log at verbosity above 1. GUI thread only.
class quon_bitmap : public wxBitmap {
public:
    // width by height, alpha 255 everywhere, colour whatever the toolkit
    // gives. A size below 1 leaves the bitmap invalid.
    quon_bitmap(int width, int height);
    // The decoded picture, its alpha channel kept byte for byte (a picture
    // without one counts as opaque, its mask colour as transparent). An
    // invalid image leaves the bitmap invalid.
    explicit quon_bitmap(const wxImage& image);
    ~quon_bitmap();

    void ClearAlpha();
    void Clear(const quon_colour& colour);
    void SetPixel(int x, int y, const quon_colour& colour);
    void SetPixel(int x, int y, int red, int green, int blue);
    // Source drawn with its top-left corner at (x, y), clipped, colour times
    // its alpha over black; the destination alpha stays.
    void DrawBitmapUseAlpha(const quon_bitmap& source, int x, int y);
    // The same clipping, all four bytes copied unchanged.
    void DrawBitmapIgnoreAlpha(const quon_bitmap& source, int x, int y);
    // The inclusive rectangle spanned by the corners, in any order, clipped,
    // filled with colour at alpha 255.
    void DrawFilledRectangle(int x1, int y1, int x2, int y2, const quon_colour& colour);
    void DrawBorder(const quon_colour& colour);
};

#endif
