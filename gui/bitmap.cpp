#include "gui/bitmap.h"

#include <optional>

#include <wx/rawbmp.h>

#include "base/log.h"

namespace {

// The open pixel access of one bitmap as a plain buffer; the access (and so
// the pointer) lives as long as this object.
class pixel_access {
public:
    explicit pixel_access(wxBitmap& bitmap)
    {
        buffer_.pixels = nullptr;
        buffer_.width = 0;
        buffer_.height = 0;
        buffer_.stride = 0;
        // The toolkit asserts when asked for the pixels of an invalid bitmap.
        if (!bitmap.IsOk())
            return;
        data_.emplace(bitmap);
        if (!*data_)
            return;
        wxAlphaPixelData::Iterator origin(*data_);
        buffer_.pixels = origin.m_ptr;
        buffer_.width = data_->GetWidth();
        buffer_.height = data_->GetHeight();
        buffer_.stride = data_->GetRowStride();
    }

    bool ok() const { return buffer_.pixels != nullptr; }
    const quon_pixel_buffer& buffer() const { return buffer_; }

private:
    std::optional<wxAlphaPixelData> data_;
    quon_pixel_buffer buffer_;
};

void report(const char* message)
{
    if (verbosity_level > 1)
        log_printf("%s", message);
}

}  // namespace

quon_bitmap::quon_bitmap(int width, int height)
{
    // wx asserts on a size below 1; such a bitmap stays invalid instead.
    if (width >= 1 && height >= 1)
        Create(width, height, 32);
    ClearAlpha();
}

quon_bitmap::quon_bitmap(const wxImage& image)
{
    if (!image.IsOk())
        return;
    // The bytes are copied here rather than left to the toolkit's image
    // conversion, which may go through premultiplied alpha and back and so
    // change the colour of partly transparent pixels.
    wxImage opaque_or_not = image;
    if (!opaque_or_not.HasAlpha())
        opaque_or_not.InitAlpha();
    if (!Create(image.GetWidth(), image.GetHeight(), 32))
        return;
    pixel_access access(*this);
    if (!access.ok()) {
        report("Error in quon_bitmap::quon_bitmap(), pixel data failed?\n");
        return;
    }
    quon_pixels_from_rgb_alpha(access.buffer(), opaque_or_not.GetData(), opaque_or_not.GetAlpha());
}

quon_bitmap::~quon_bitmap() {}

void quon_bitmap::ClearAlpha()
{
    pixel_access access(*this);
    if (!access.ok()) {
        report("Error in quon_bitmap::ClearAlpha(), pixel data failed?\n");
        return;
    }
    quon_pixels_clear_alpha(access.buffer());
}

void quon_bitmap::Clear(const quon_colour& colour)
{
    pixel_access access(*this);
    if (!access.ok()) {
        report("Error in quon_bitmap::Clear(), pixel data failed?\n");
        return;
    }
    quon_pixels_clear(access.buffer(), colour);
}

void quon_bitmap::SetPixel(int x, int y, const quon_colour& colour)
{
    pixel_access access(*this);
    if (!access.ok()) {
        report("Error in quon_bitmap::SetPixel(), pixel data failed?\n");
        return;
    }
    quon_pixels_set_pixel(access.buffer(), x, y, colour);
}

void quon_bitmap::SetPixel(int x, int y, int red, int green, int blue)
{
    SetPixel(x, y, quon_colour{red, green, blue});
}

void quon_bitmap::DrawBitmapUseAlpha(const quon_bitmap& source, int x, int y)
{
    pixel_access to(*this);
    if (!to.ok()) {
        report("Error in quon_bitmap::DrawBitmapUseAlpha(), pixel data dest failed?\n");
        return;
    }
    // Opening the access is not const in the toolkit; the source is only read.
    pixel_access from(const_cast<quon_bitmap&>(source));
    if (!from.ok()) {
        report("Error in quon_bitmap::DrawBitmapUseAlpha(), pixel data src failed?\n");
        return;
    }
    quon_pixels_draw_use_alpha(to.buffer(), from.buffer(), x, y);
}

void quon_bitmap::DrawBitmapIgnoreAlpha(const quon_bitmap& source, int x, int y)
{
    pixel_access to(*this);
    if (!to.ok()) {
        report("Error in quon_bitmap::DrawBitmapIgnoreAlpha(), pixel data dest failed?\n");
        return;
    }
    pixel_access from(const_cast<quon_bitmap&>(source));
    if (!from.ok()) {
        report("Error in quon_bitmap::DrawBitmapIgnoreAlpha(), pixel data src failed?\n");
        return;
    }
    quon_pixels_draw_ignore_alpha(to.buffer(), from.buffer(), x, y);
}

void quon_bitmap::DrawFilledRectangle(int x1, int y1, int x2, int y2, const quon_colour& colour)
{
    pixel_access access(*this);
    if (!access.ok()) {
        report("Error in quon_bitmap::DrawFilledRectangle(), pixel data failed?\n");
        return;
    }
    quon_pixels_fill_rectangle(access.buffer(), x1, y1, x2, y2, colour);
}

void quon_bitmap::DrawBorder(const quon_colour& colour)
{
    pixel_access access(*this);
    if (!access.ok()) {
        report("Error in quon_bitmap::DrawBorder(), pixel data failed?\n");
        return;
    }
    quon_pixels_draw_border(access.buffer(), colour);
}
