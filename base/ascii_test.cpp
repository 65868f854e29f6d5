#include "base/ascii.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

// The look-alike table as the character charts print it: a replacement text
// and the code points (or inclusive ranges) that map to it.
struct chart_row {
    const char* text;
    const char* code_points;
};

const chart_row chart[] = {
    {"EU", "U+0080, U+20AC"},
    {" ", "U+0081, U+008D, U+008F, U+0090, U+009D, U+00A0, U+00AD, U+034F"},
    {",", "U+0082, U+00B8, U+02CE, U+02CF, U+02DB, U+0316, U+0317, U+031C, U+0326-U+0329, U+0339, U+0375, "
          "U+201A"},
    {"f", "U+0083, U+017F, U+0192"},
    {",,", "U+0084"},
    {"...", "U+0085, U+2026"},
    {".", "U+0086, U+0087, U+00B0, U+00B7, U+00BA, U+02CC, U+0307, U+0323, U+0325, U+034E, U+2020, U+2021, "
          "U+2024, U+2027"},
    {"^", "U+0088, U+02C4-U+02C7, U+02D8, U+02F0, U+0302, U+0306, U+030C, U+0310, U+0311"},
    {"%.", "U+0089, U+2030"},
    {"S", "U+008A, U+009A, U+00A7, U+015A, U+015C, U+015E, U+0160, U+01A7, U+0218"},
    {"<", "U+008B, U+02C2, U+02F1, U+0354, U+2039"},
    {"OE", "U+008C, U+0152"},
    {"Z", "U+008E, U+0179, U+017B, U+017D, U+01B5, U+0224"},
    {"'", "U+0091, U+0092, U+00B4, U+02B9, U+02BB-U+02BD, U+02C8, U+02CA, U+02CB, U+02F4, U+0300, U+0301, "
          "U+030D, U+0312-U+0315, U+031B, U+0340, U+0341, U+0343, U+0374, U+0384, U+2018, U+2019, U+201B, "
          "U+2032, U+2035"},
    {"\"", "U+0093, U+0094, U+02BA, U+02DD, U+02EE, U+02F5, U+02F6, U+030B, U+030E, U+030F, U+0348, "
           "U+201C-U+201F, U+2033, U+2034, U+2036, U+2037, U+2056"},
    {"*", "U+0095, U+02D1, U+02D4, U+02D5, U+02D9, U+02DA, U+02F3, U+030A, U+033D, U+0358, U+0359, U+2022, "
          "U+204E, U+2055"},
    {"-", "U+0096, U+0097, U+00A8, U+00AF, U+02C9, U+02D7, U+0304, U+0305, U+0335, U+0336, U+035E, "
          "U+2010-U+2015, U+203E"},
    {"~", "U+0098, U+02DC, U+02DE, U+02F7, U+0303, U+0330, U+0334, U+0342, U+034A-U+034C, U+2053"},
    {"TM", "U+0099, U+2122"},
    {">", "U+009B, U+02C3, U+02F2, U+0350, U+0355, U+0356, U+203A"},
    {"oe", "U+009C, U+00F6, U+0153"},
    {"z", "U+009E, U+017A, U+017C, U+017E, U+01B6, U+0225"},
    {"Y", "U+009F, U+00DD, U+0176, U+0178, U+01B3, U+01F7, U+0232, U+02E0"},
    {"i", "U+00A1, U+00EC-U+00EF, U+0129, U+012B, U+012D, U+012F, U+0131, U+01D0, U+0209, U+020B"},
    {"c", "U+00A2, U+00E7, U+0107, U+0109, U+010B, U+010D, U+0188, U+023C"},
    {"L", "U+00A3, U+0139, U+013B, U+013D, U+013F, U+0141, U+023D, U+20A4"},
    {"$", "U+00A4"},
    {"YEN", "U+00A5"},
    {"|", "U+00A6, U+01C0"},
    {"(C)", "U+00A9"},
    {"a", "U+00AA, U+00E0-U+00E3, U+00E5, U+0101, U+0103, U+0105, U+01CE, U+01DF, U+01E1, U+01FB, U+0201, "
          "U+0203, U+0227, U+04D1, U+04D3"},
    {"<<", "U+00AB"},
    {"!", "U+00AC, U+01C3"},
    {"(R)", "U+00AE"},
    {"+-", "U+00B1"},
    {"^2", "U+00B2"},
    {"^3", "U+00B3"},
    {"u", "U+00B5, U+00F9-U+00FB, U+0169, U+016B, U+016D, U+016F, U+0171, U+0173, U+01B0, U+01D4, U+01D6, "
          "U+01D8, U+01DA, U+01DC, U+0215, U+0217"},
    {"P", "U+00B6, U+00DE, U+01A4"},
    {"^1", "U+00B9"},
    {">>", "U+00BB"},
    {"1/4", "U+00BC"},
    {"1/2", "U+00BD"},
    {"3/4", "U+00BE"},
    {"?", "U+00BF, U+02C0, U+02C1, U+02E4, U+203D"},
    {"A", "U+00C0-U+00C3, U+00C5, U+0100, U+0102, U+0104, U+01CD, U+01DE, U+01E0, U+01FA, U+0200, U+0202, "
          "U+0226, U+023A, U+04D0, U+04D2"},
    {"Ae", "U+00C4"},
    {"AE", "U+00C6, U+01E2, U+01FC, U+04D4"},
    {"C", "U+00C7, U+0106, U+0108, U+010A, U+010C, U+0186, U+0187, U+023B"},
    {"E", "U+00C8-U+00CB, U+0112, U+0114, U+0116, U+0118, U+011A, U+018E, U+01A9, U+0204, U+0206, U+0228, "
          "U+04D6"},
    {"I", "U+00CC-U+00CF, U+0128, U+012A, U+012C, U+012E, U+0130, U+0197, U+01CF, U+0208, U+020A"},
    {"D", "U+00D0, U+010E, U+0110, U+0189, U+018A"},
    {"N", "U+00D1, U+0143, U+0145, U+0147, U+014A, U+019D, U+01F8"},
    {"O", "U+00D2-U+00D5, U+00D8, U+014C, U+014E, U+0150, U+01A0, U+01D1, U+01EA, U+01EC, U+020C, U+020E, "
          "U+022A, U+022C, U+022E, U+0230, U+04E6"},
    {"Oe", "U+00D6"},
    {"x", "U+00D7, U+02DF, U+02E3, U+0353"},
    {"U", "U+00D9-U+00DB, U+0168, U+016A, U+016C, U+016E, U+0170, U+0172, U+01AF, U+01B1, U+01D3, U+01D5, "
          "U+01D7, U+01D9, U+01DB, U+0214, U+0216"},
    {"Ue", "U+00DC"},
    {"ss", "U+00DF"},
    {"ae", "U+00E4, U+00E6, U+01E3, U+01FD, U+04D5"},
    {"e", "U+00E8-U+00EB, U+0113, U+0115, U+0117, U+0119, U+011B, U+018F, U+0190, U+01DD, U+0205, U+0207, "
          "U+0229, U+04D7"},
    {"o", "U+00F0, U+00F2-U+00F5, U+00F8, U+014D, U+014F, U+0151, U+01A1, U+01D2, U+01EB, U+01ED, U+020D, "
          "U+020F, U+022B, U+022D, U+022F, U+0231, U+04E7"},
    {"n", "U+00F1, U+0144, U+0146, U+0148, U+0149, U+014B, U+019E, U+01F9, U+0220, U+0235"},
    {"/", "U+00F7, U+0337, U+0338, U+2041, U+2044"},
    {"ue", "U+00FC"},
    {"y", "U+00FD, U+00FF, U+0177, U+01B4, U+0233, U+02B8"},
    {"p", "U+00FE, U+01A5"},
    {"d", "U+010F, U+0111, U+018B, U+018C, U+0221"},
    {"G", "U+011C, U+011E, U+0120, U+0122, U+0193, U+01E4, U+01E6, U+01F4"},
    {"g", "U+011D, U+011F, U+0121, U+0123, U+018D, U+01E5, U+01E7, U+01F5"},
    {"H", "U+0124, U+0126, U+021E"},
    {"h", "U+0125, U+0127, U+021F, U+02B0, U+02B1"},
    {"IJ", "U+0132"},
    {"ij", "U+0133"},
    {"J", "U+0134"},
    {"j", "U+0135, U+01F0, U+0237, U+02B2"},
    {"K", "U+0136, U+0138, U+0198, U+01E8"},
    {"k", "U+0137, U+0199, U+01E9"},
    {"l", "U+013A, U+013C, U+013E, U+0140, U+0142, U+0196, U+019A, U+0234, U+02E1"},
    {"R", "U+0154, U+0156, U+0158, U+01A6, U+0210, U+0212"},
    {"r", "U+0155, U+0157, U+0159, U+0211, U+0213, U+02B3, U+02B4, U+02B6"},
    {"s", "U+015B, U+015D, U+015F, U+0161, U+01A8, U+0219, U+023F, U+02E2"},
    {"T", "U+0162, U+0164, U+0166, U+01AC, U+01AE, U+021A, U+023E"},
    {"t", "U+0163, U+0165, U+0167, U+01AB, U+01AD, U+021B, U+0236"},
    {"W", "U+0174"},
    {"w", "U+0175, U+02B7"},
    {"b", "U+0180, U+0182-U+0185"},
    {"B", "U+0181"},
    {"F", "U+0191"},
    {"V", "U+0194, U+01B2"},
    {"hj", "U+0195"},
    {"la", "U+019B"},
    {"m", "U+019C"},
    {"O-", "U+019F"},
    {"Q", "U+01A2"},
    {"q", "U+01A3"},
    {"3", "U+01B7-U+01BA, U+01EE, U+01EF, U+021C, U+021D"},
    {"2", "U+01BB"},
    {"5", "U+01BC, U+01BD"},
    {"ts", "U+01BE"},
    {"v", "U+01BF"},
    {"||", "U+01C1, U+2016"},
    {"DZ", "U+01C4, U+01F1"},
    {"Dz", "U+01C5, U+01F2"},
    {"dz", "U+01C6, U+01F3"},
    {"LJ", "U+01C7"},
    {"Lj", "U+01C8"},
    {"lj", "U+01C9"},
    {"NJ", "U+01CA"},
    {"Nj", "U+01CB"},
    {"nj", "U+01CC"},
    {"Hu", "U+01F6"},
    {"O/", "U+01FE"},
    {"o/", "U+01FF"},
    {"8", "U+0222, U+0223"},
    {"db", "U+0238"},
    {"qp", "U+0239"},
    {")", "U+02BE, U+02D2, U+0309, U+0357"},
    {"(", "U+02BF, U+02D3, U+0351"},
    {"_", "U+02CD, U+0320, U+0331, U+0332, U+035F"},
    {":", "U+02D0, U+02F8, U+205A"},
    {"+", "U+02D6, U+031F"},
    {"=", "U+02ED, U+0333, U+033F, U+0347, U+2017"},
    {"..", "U+0308, U+0324, U+2025"},
    {"(inf)", "U+035A"},
    {";", "U+037E, U+204F"},
    {"!!", "U+203C"},
    {"??", "U+2047"},
    {"?!", "U+2048"},
    {"!?", "U+2049"},
    {"%", "U+2052"},
};

std::map<uint32_t, std::string> parse_chart()
{
    std::map<uint32_t, std::string> table;
    for (const chart_row& row : chart) {
        std::string list = row.code_points;
        size_t at = 0;
        while (at < list.size()) {
            size_t end = list.find(", ", at);
            if (end == std::string::npos)
                end = list.size();
            std::string item = list.substr(at, end - at);
            at = end + 2;
            size_t dash = item.find('-');
            EXPECT_EQ(item.compare(0, 2, "U+"), 0) << item;
            uint32_t first = (uint32_t)strtoul(item.c_str() + 2, nullptr, 16);
            uint32_t last = first;
            if (dash != std::string::npos) {
                EXPECT_EQ(item.compare(dash + 1, 2, "U+"), 0) << item;
                last = (uint32_t)strtoul(item.c_str() + dash + 3, nullptr, 16);
            }
            EXPECT_LE(first, last) << item;
            for (uint32_t point = first; point <= last; point++)
                EXPECT_TRUE(table.emplace(point, row.text).second) << "listed twice: " << item;
        }
    }
    return table;
}

std::string utf8(uint32_t point)
{
    std::string out;
    if (point < 0x80) {
        out += (char)point;
    } else if (point < 0x800) {
        out += (char)(0xc0 | (point >> 6));
        out += (char)(0x80 | (point & 0x3f));
    } else if (point < 0x10000) {
        out += (char)(0xe0 | (point >> 12));
        out += (char)(0x80 | ((point >> 6) & 0x3f));
        out += (char)(0x80 | (point & 0x3f));
    } else {
        out += (char)(0xf0 | (point >> 18));
        out += (char)(0x80 | ((point >> 12) & 0x3f));
        out += (char)(0x80 | ((point >> 6) & 0x3f));
        out += (char)(0x80 | (point & 0x3f));
    }
    return out;
}

// Transcribes bytes held in a heap block of exactly their size, so that a
// read past the terminator is caught by AddressSanitizer.
std::string transcribe(const std::string& bytes)
{
    std::vector<char> exact(bytes.begin(), bytes.end());
    exact.push_back(0);
    char* block = (char*)malloc(exact.size());
    memcpy(block, exact.data(), exact.size());
    quon_string_buffer buffer;
    quon_append_utf8_as_ascii(block, buffer);
    free(block);
    return buffer.c_str();
}

std::string transcribe_to_array(const std::string& text, int size, int* written)
{
    std::vector<char> out(size + 1, '#');
    *written = quon_utf8_to_ascii(text.c_str(), out.data(), size);
    EXPECT_EQ(out[size], '#') << "wrote past the array";
    return out.data();
}

}  // namespace

TEST(ascii, every_code_point_from_0080_to_2122_gives_its_look_alike_or_a_dot)
{
    std::map<uint32_t, std::string> table = parse_chart();
    std::set<std::string> texts;
    for (const auto& entry : table)
        texts.insert(entry.second);
    EXPECT_EQ(table.size(), 643u);
    EXPECT_EQ(texts.size(), 131u);
    EXPECT_EQ(table.begin()->first, 0x80u);
    EXPECT_EQ(table.rbegin()->first, 0x2122u);

    for (uint32_t point = 0x80; point <= 0x2122; point++) {
        auto found = table.find(point);
        std::string expected = found != table.end() ? found->second : ".";
        ASSERT_EQ(transcribe(utf8(point)), expected) << std::hex << "U+" << point;
        int written = 0;
        ASSERT_EQ(transcribe_to_array("<" + utf8(point) + ">", 8, &written), "<" + expected + ">")
            << std::hex << "U+" << point;
        ASSERT_EQ(written, (int)expected.size() + 2);
    }
}

TEST(ascii, ascii_and_control_code_points)
{
    for (int c = 32; c <= 126; c++)
        EXPECT_EQ(transcribe(std::string(1, (char)c)), std::string(1, (char)c)) << c;
    std::map<int, std::string> kept = {{9, "\t"}, {10, "\n"}, {13, "\r"}, {17, "-"},
                                       {18, "\""}, {19, "\""}, {20, "'"}, {21, "'"}};
    for (int c = 1; c < 32; c++) {
        std::string expected = kept.count(c) ? kept[c] : "";
        EXPECT_EQ(transcribe("<" + std::string(1, (char)c) + ">"), "<" + expected + ">") << c;
    }
    EXPECT_EQ(transcribe("a\x7f" "b"), "ab");
    EXPECT_EQ(transcribe("-v"), "-v");
    EXPECT_EQ(transcribe("a\xc3\xbc" "b"), "aueb");
    EXPECT_EQ(transcribe("\t\f"), "\t");
    EXPECT_EQ(transcribe(utf8(0x4e2d)), ".");
    EXPECT_EQ(transcribe(utf8(0x1f600) + utf8(0x10ffff) + utf8(0x2123)), "...");
}

TEST(ascii, lenient_decoder_on_odd_bytes)
{
    struct {
        const char* name;
        std::string bytes;
        std::string ascii;
    } cases[] = {
        {"lone continuation gives its low six bits", "a\xbf" "b", "a?b"},
        {"lone continuation 0x89 is a tab", "\x89x", "\tx"},
        {"lone continuation 0x80 is code point 0 and ends the text", "a\x80" "b", "a"},
        {"lone three-byte lead before a letter", "\xe9x", "\tx"},
        {"lead at the very end", "ab\xe9", "ab\t"},
        {"two-byte lead alone", "\xc3x", "x"},
        {"three-byte sequence cut after two bytes", "\xe2\x82x", ",x"},
        {"four-byte sequence cut after two bytes", "\xf0\x9fx", "x"},
        {"four-byte sequence cut at the end", "\xf1\x80\x80", "."},
        {"extra continuation after a sequence", "\xc3\xbc\xbc", "ue<"},
        {"0xF8 to 0xFF are dots", "\xf8\xfb\xfe\xff", "...."},
        {"overlong letter", "\xc1\x81", "A"},
        {"overlong euro sign", "\xf0\x82\x82\xac", "EU"},
        {"overlong zero ends the text", "a\xc0\x80" "b", "a"},
        {"surrogate", "\xed\xa0\x80", "."},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80\xf7\xbf\xbf\xbf", ".."},
    };
    for (const auto& row : cases)
        EXPECT_EQ(transcribe(row.bytes), row.ascii) << row.name;
}

TEST(ascii, any_two_bytes_give_printable_ascii_or_kept_controls)
{
    for (int first = 1; first < 256; first++) {
        for (int second = 0; second < 256; second++) {
            std::string bytes = {(char)first, (char)second};
            if (second == 0)
                bytes.resize(1);
            std::string out = transcribe(bytes);
            for (unsigned char c : out)
                ASSERT_TRUE((c >= 32 && c <= 126) || c == '\t' || c == '\n' || c == '\r')
                    << first << " " << second << " gave " << (int)c;
        }
    }
}

TEST(ascii, appends_and_cuts_at_the_buffer_capacity)
{
    log_capture log;
    {
        quon_string_buffer buffer;
        buffer.append("x");
        quon_append_utf8_as_ascii("y", buffer);
        EXPECT_STREQ(buffer.c_str(), "xy");
        buffer.clear();
        quon_append_utf8_as_ascii(nullptr, buffer);
        EXPECT_STREQ(buffer.c_str(), "(null)");

        buffer.clear();
        buffer.append(std::string(5998, 'a').c_str());
        quon_append_utf8_as_ascii("\xc3\xbc" "more", buffer);
        EXPECT_EQ(buffer.length(), 5999);
        EXPECT_EQ(buffer.c_str()[5998], 'u');
        EXPECT_EQ(buffer.c_str()[5999], 0);
        quon_append_utf8_as_ascii("z", buffer);
        EXPECT_EQ(buffer.length(), 5999);
        EXPECT_EQ(log.text(), "");
        buffer.clear();
    }
    EXPECT_EQ(log.count("quon_core.softfail String Buffer overflow"), 1);
}

TEST(ascii, array_form_writes_at_most_size_minus_one_characters)
{
    struct {
        const char* text;
        int size;
        const char* out;
    } cases[] = {
        {"\xc3\xbc\xc3\xbc", 3, "ue"}, {"\xc3\xbc\xc3\xbc", 4, "ueu"}, {"\xc3\xbc\xc3\xbc", 5, "ueue"},
        {"\xc3\xbc\xc3\xbc", 9, "ueue"}, {"abc", 1, ""}, {"", 4, ""},
    };
    for (const auto& row : cases) {
        int written = -1;
        EXPECT_EQ(transcribe_to_array(row.text, row.size, &written), row.out) << row.size;
        EXPECT_EQ(written, (int)strlen(row.out)) << row.size;
    }
    char text[10];
    EXPECT_EQ(quon_utf8_to_ascii(nullptr, text, sizeof(text)), 6);
    EXPECT_STREQ(text, "(null)");

    log_capture log;
    char out[4] = "abc";
    EXPECT_EQ(quon_utf8_to_ascii("x", nullptr, 4), 0);
    EXPECT_EQ(quon_utf8_to_ascii("x", out, 0), 0);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(log.text(),
              "quon_core.sanity Error in quon_utf8_to_ascii(), NULL dest?\n"
              "quon_core.sanity Error in quon_utf8_to_ascii(), dest is too small?\n");
}
