#include "gui/splash_data.h"

#include <string.h>

#include <wx/image.h>
#include <wx/init.h>
#include <wx/mstream.h>

#include <gtest/gtest.h>

namespace {

unsigned int big_endian(const unsigned char* p)
{
    return (unsigned)p[0] << 24 | (unsigned)p[1] << 16 | (unsigned)p[2] << 8 | p[3];
}

}  // namespace

TEST(splash_data, is_a_480_by_300_eight_bit_rgba_png_not_interlaced)
{
    ASSERT_GT(splash_png_size, 33u);
    EXPECT_EQ(memcmp(splash_png, "\x89PNG\r\n\x1a\n", 8), 0);
    EXPECT_EQ(memcmp(splash_png + 12, "IHDR", 4), 0);
    EXPECT_EQ(big_endian(splash_png + 16), 480u);
    EXPECT_EQ(big_endian(splash_png + 20), 300u);
    EXPECT_EQ(splash_png[24], 8);  // bits per channel
    EXPECT_EQ(splash_png[25], 6);  // RGBA
    EXPECT_EQ(splash_png[28], 0);  // not interlaced
}

TEST(splash_data, decodes_with_the_logo_above_the_text_area)
{
    wxInitializer toolkit;
    ASSERT_TRUE(toolkit.IsOk());
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG))
        wxImage::AddHandler(new wxPNGHandler);
    wxMemoryInputStream stream(splash_png, splash_png_size);
    wxImage image;
    ASSERT_TRUE(image.LoadFile(stream, wxBITMAP_TYPE_PNG));
    ASSERT_EQ(image.GetWidth(), 480);
    ASSERT_EQ(image.GetHeight(), 300);
    ASSERT_TRUE(image.HasAlpha());

    // Seen as the window shows it, colour times alpha over black: find what
    // is clearly visible, and check that the text area is left black.
    int top = 300, bottom = -1, left = 480, right = -1, lit_in_text_area = 0, transparent = 0;
    for (int y = 0; y < 300; y++)
        for (int x = 0; x < 480; x++) {
            unsigned alpha = image.GetAlpha(x, y);
            unsigned shown = image.GetRed(x, y) * alpha >> 8;
            if (image.GetGreen(x, y) * alpha >> 8 > shown)
                shown = image.GetGreen(x, y) * alpha >> 8;
            if (image.GetBlue(x, y) * alpha >> 8 > shown)
                shown = image.GetBlue(x, y) * alpha >> 8;
            transparent += alpha == 0;
            if (y >= 230)
                lit_in_text_area += alpha != 0;
            if (shown < 48)
                continue;
            top = y < top ? y : top;
            bottom = y > bottom ? y : bottom;
            left = x < left ? x : left;
            right = x > right ? x : right;
        }
    EXPECT_EQ(lit_in_text_area, 0);
    EXPECT_GE(top, 9);
    EXPECT_LE(bottom, 200);
    EXPECT_GE(left, 21);
    EXPECT_LE(right, 458);
    // A logo, not an empty or a filled picture.
    EXPECT_LT(top, 30);
    EXPECT_GT(bottom, 160);
    EXPECT_LT(left, 60);
    EXPECT_GT(right, 420);
    EXPECT_GT(transparent, 480 * 300 / 2);
}
