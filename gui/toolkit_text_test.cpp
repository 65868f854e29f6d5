#include "gui/toolkit_text.h"

#include <string>

#include <wx/debug.h>

#include <gtest/gtest.h>

#include "base/ascii.h"

namespace {

std::string direct(const char* utf8)
{
    quon_string_buffer buffer;
    quon_append_utf8_as_ascii(utf8, buffer);
    return buffer.c_str();
}

std::string through_toolkit(const wxString& text)
{
    quon_string_buffer buffer;
    quon_toolkit_string_to_ascii(text, buffer);
    return buffer.c_str();
}

}  // namespace

TEST(toolkit_text, toolkit_strings_are_transcribed_from_their_utf8)
{
    const char* texts[] = {"-b", "--Verbose", "", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac 5", "caf\xc3\xa9\tx\n",
                           "\xe2\x84\xa2\xe2\x80\x9cq\xe2\x80\x9d", "\xf0\x9f\x99\x82 smile"};
    for (const char* text : texts) {
        std::string expected = direct(text);
        EXPECT_EQ(through_toolkit(wxString::FromUTF8(text)), expected) << text;
        for (unsigned char c : expected)
            EXPECT_LT(c, 128) << text;
    }
    EXPECT_EQ(through_toolkit(wxString::FromUTF8("Brimvale Launcher")), "Brimvale Launcher");
}

TEST(toolkit_text, appends_and_an_unconvertible_text_counts_as_empty)
{
    quon_string_buffer buffer;
    buffer.append("arg: ");
    quon_toolkit_string_to_ascii(wxString("x"), buffer);
    EXPECT_STREQ(buffer.c_str(), "arg: x");

    // Not a code point: UTF-8 cannot encode it (and the toolkit's debug
    // build asserts, which is not what is tested here).
    wxString broken;
    broken += wxUniChar(0x110000);
    broken += wxString("tail");
    wxAssertHandler_t previous = wxSetAssertHandler(nullptr);
    quon_toolkit_string_to_ascii(broken, buffer);
    wxSetAssertHandler(previous);
    EXPECT_STREQ(buffer.c_str(), "arg: x");
}
