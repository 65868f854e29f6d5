#include "base/ascii.h"

#include <stdint.h>

#include "base/log.h"

namespace {

// One row per replacement text with every code point it stands for: four
// hexadecimal digits each, "first-last" for an inclusive range, separated by
// single spaces. The rows are checked and turned into a direct index when
// this file is compiled, so they can be read against the character charts.
struct replacement_row {
    const char* text;
    const char* code_points;
};

constexpr replacement_row replacement_rows[] = {
    {"EU", "0080 20AC"},
    {" ", "0081 008D 008F 0090 009D 00A0 00AD 034F"},
    {",", "0082 00B8 02CE 02CF 02DB 0316 0317 031C 0326-0329 0339 0375 201A"},
    {"f", "0083 017F 0192"},
    {",,", "0084"},
    {"...", "0085 2026"},
    {".", "0086 0087 00B0 00B7 00BA 02CC 0307 0323 0325 034E 2020 2021 2024 2027"},
    {"^", "0088 02C4-02C7 02D8 02F0 0302 0306 030C 0310 0311"},
    {"%.", "0089 2030"},
    {"S", "008A 009A 00A7 015A 015C 015E 0160 01A7 0218"},
    {"<", "008B 02C2 02F1 0354 2039"},
    {"OE", "008C 0152"},
    {"Z", "008E 0179 017B 017D 01B5 0224"},
    {"'", "0091 0092 00B4 02B9 02BB-02BD 02C8 02CA 02CB 02F4 0300 0301 030D 0312-0315 031B 0340 0341 "
          "0343 0374 0384 2018 2019 201B 2032 2035"},
    {"\"", "0093 0094 02BA 02DD 02EE 02F5 02F6 030B 030E 030F 0348 201C-201F 2033 2034 2036 2037 2056"},
    {"*", "0095 02D1 02D4 02D5 02D9 02DA 02F3 030A 033D 0358 0359 2022 204E 2055"},
    {"-", "0096 0097 00A8 00AF 02C9 02D7 0304 0305 0335 0336 035E 2010-2015 203E"},
    {"~", "0098 02DC 02DE 02F7 0303 0330 0334 0342 034A-034C 2053"},
    {"TM", "0099 2122"},
    {">", "009B 02C3 02F2 0350 0355 0356 203A"},
    {"oe", "009C 00F6 0153"},
    {"z", "009E 017A 017C 017E 01B6 0225"},
    {"Y", "009F 00DD 0176 0178 01B3 01F7 0232 02E0"},
    {"i", "00A1 00EC-00EF 0129 012B 012D 012F 0131 01D0 0209 020B"},
    {"c", "00A2 00E7 0107 0109 010B 010D 0188 023C"},
    {"L", "00A3 0139 013B 013D 013F 0141 023D 20A4"},
    {"$", "00A4"},
    {"YEN", "00A5"},
    {"|", "00A6 01C0"},
    {"(C)", "00A9"},
    {"a", "00AA 00E0-00E3 00E5 0101 0103 0105 01CE 01DF 01E1 01FB 0201 0203 0227 04D1 04D3"},
    {"<<", "00AB"},
    {"!", "00AC 01C3"},
    {"(R)", "00AE"},
    {"+-", "00B1"},
    {"^2", "00B2"},
    {"^3", "00B3"},
    {"u", "00B5 00F9-00FB 0169 016B 016D 016F 0171 0173 01B0 01D4 01D6 01D8 01DA 01DC 0215 0217"},
    {"P", "00B6 00DE 01A4"},
    {"^1", "00B9"},
    {">>", "00BB"},
    {"1/4", "00BC"},
    {"1/2", "00BD"},
    {"3/4", "00BE"},
    {"?", "00BF 02C0 02C1 02E4 203D"},
    {"A", "00C0-00C3 00C5 0100 0102 0104 01CD 01DE 01E0 01FA 0200 0202 0226 023A 04D0 04D2"},
    {"Ae", "00C4"},
    {"AE", "00C6 01E2 01FC 04D4"},
    {"C", "00C7 0106 0108 010A 010C 0186 0187 023B"},
    {"E", "00C8-00CB 0112 0114 0116 0118 011A 018E 01A9 0204 0206 0228 04D6"},
    {"I", "00CC-00CF 0128 012A 012C 012E 0130 0197 01CF 0208 020A"},
    {"D", "00D0 010E 0110 0189 018A"},
    {"N", "00D1 0143 0145 0147 014A 019D 01F8"},
    {"O", "00D2-00D5 00D8 014C 014E 0150 01A0 01D1 01EA 01EC 020C 020E 022A 022C 022E 0230 04E6"},
    {"Oe", "00D6"},
    {"x", "00D7 02DF 02E3 0353"},
    {"U", "00D9-00DB 0168 016A 016C 016E 0170 0172 01AF 01B1 01D3 01D5 01D7 01D9 01DB 0214 0216"},
    {"Ue", "00DC"},
    {"ss", "00DF"},
    {"ae", "00E4 00E6 01E3 01FD 04D5"},
    {"e", "00E8-00EB 0113 0115 0117 0119 011B 018F 0190 01DD 0205 0207 0229 04D7"},
    {"o", "00F0 00F2-00F5 00F8 014D 014F 0151 01A1 01D2 01EB 01ED 020D 020F 022B 022D 022F 0231 04E7"},
    {"n", "00F1 0144 0146 0148 0149 014B 019E 01F9 0220 0235"},
    {"/", "00F7 0337 0338 2041 2044"},
    {"ue", "00FC"},
    {"y", "00FD 00FF 0177 01B4 0233 02B8"},
    {"p", "00FE 01A5"},
    {"d", "010F 0111 018B 018C 0221"},
    {"G", "011C 011E 0120 0122 0193 01E4 01E6 01F4"},
    {"g", "011D 011F 0121 0123 018D 01E5 01E7 01F5"},
    {"H", "0124 0126 021E"},
    {"h", "0125 0127 021F 02B0 02B1"},
    {"IJ", "0132"},
    {"ij", "0133"},
    {"J", "0134"},
    {"j", "0135 01F0 0237 02B2"},
    {"K", "0136 0138 0198 01E8"},
    {"k", "0137 0199 01E9"},
    {"l", "013A 013C 013E 0140 0142 0196 019A 0234 02E1"},
    {"R", "0154 0156 0158 01A6 0210 0212"},
    {"r", "0155 0157 0159 0211 0213 02B3 02B4 02B6"},
    {"s", "015B 015D 015F 0161 01A8 0219 023F 02E2"},
    {"T", "0162 0164 0166 01AC 01AE 021A 023E"},
    {"t", "0163 0165 0167 01AB 01AD 021B 0236"},
    {"W", "0174"},
    {"w", "0175 02B7"},
    {"b", "0180 0182-0185"},
    {"B", "0181"},
    {"F", "0191"},
    {"V", "0194 01B2"},
    {"hj", "0195"},
    {"la", "019B"},
    {"m", "019C"},
    {"O-", "019F"},
    {"Q", "01A2"},
    {"q", "01A3"},
    {"3", "01B7-01BA 01EE 01EF 021C 021D"},
    {"2", "01BB"},
    {"5", "01BC 01BD"},
    {"ts", "01BE"},
    {"v", "01BF"},
    {"||", "01C1 2016"},
    {"DZ", "01C4 01F1"},
    {"Dz", "01C5 01F2"},
    {"dz", "01C6 01F3"},
    {"LJ", "01C7"},
    {"Lj", "01C8"},
    {"lj", "01C9"},
    {"NJ", "01CA"},
    {"Nj", "01CB"},
    {"nj", "01CC"},
    {"Hu", "01F6"},
    {"O/", "01FE"},
    {"o/", "01FF"},
    {"8", "0222 0223"},
    {"db", "0238"},
    {"qp", "0239"},
    {")", "02BE 02D2 0309 0357"},
    {"(", "02BF 02D3 0351"},
    {"_", "02CD 0320 0331 0332 035F"},
    {":", "02D0 02F8 205A"},
    {"+", "02D6 031F"},
    {"=", "02ED 0333 033F 0347 2017"},
    {"..", "0308 0324 2025"},
    {"(inf)", "035A"},
    {";", "037E 204F"},
    {"!!", "203C"},
    {"??", "2047"},
    {"?!", "2048"},
    {"!?", "2049"},
    {"%", "2052"},
};

constexpr int replacement_row_count = sizeof(replacement_rows) / sizeof(replacement_rows[0]);

// Every listed code point falls into one of two blocks; each block maps a
// code point to its row number plus one (0: no replacement).
constexpr uint32_t low_block_first = 0x0080;
constexpr uint32_t low_block_size = 0x0480;  // to U+04FF
constexpr uint32_t high_block_first = 0x2000;
constexpr uint32_t high_block_size = 0x0130;  // to U+212F

struct replacement_index {
    uint8_t low[low_block_size];
    uint8_t high[high_block_size];
    int code_points;
    // Malformed lists, code points outside both blocks, code points listed twice.
    int faults;
};

constexpr int hex_digit(char c)
{
    return (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
}

// Reads four hexadecimal digits at list[at]; -1 when they are not there.
constexpr long read_code_point(const char* list, int at)
{
    long value = 0;
    for (int i = 0; i < 4; i++) {
        int digit = hex_digit(list[at + i]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

constexpr bool same_text(const char* a, const char* b)
{
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

constexpr replacement_index build_replacement_index()
{
    replacement_index index{};
    for (int row = 0; row < replacement_row_count; row++) {
        const char* list = replacement_rows[row].code_points;
        const char* text = replacement_rows[row].text;
        if (!*text)
            index.faults++;
        for (const char* t = text; *t; t++)
            if (*t < 32 || *t > 126)
                index.faults++;
        for (int other = 0; other < row; other++)
            if (same_text(text, replacement_rows[other].text))
                index.faults++;
        int at = 0;
        while (list[at]) {
            long first = read_code_point(list, at);
            at += 4;
            long last = first;
            if (list[at] == '-') {
                last = read_code_point(list, at + 1);
                at += 5;
            }
            if (first < 0 || last < first || (list[at] != ' ' && list[at] != 0)) {
                index.faults++;
                break;
            }
            if (list[at] == ' ')
                at++;
            for (long point = first; point <= last; point++) {
                uint8_t* slot = nullptr;
                if ((uint32_t)point - low_block_first < low_block_size)
                    slot = &index.low[point - low_block_first];
                else if ((uint32_t)point - high_block_first < high_block_size)
                    slot = &index.high[point - high_block_first];
                if (!slot || *slot) {
                    index.faults++;
                    continue;
                }
                *slot = (uint8_t)(row + 1);
                index.code_points++;
            }
        }
    }
    return index;
}

constexpr replacement_index replacement_lookup = build_replacement_index();
static_assert(replacement_row_count == 131 && replacement_row_count < 256, "one row per replacement text");
static_assert(replacement_lookup.faults == 0, "replacement rows malformed or overlapping");
static_assert(replacement_lookup.code_points == 643, "replacement table lost or gained code points");

inline const char* replacement_for(uint32_t code_point)
{
    unsigned row = 0;
    if (code_point - low_block_first < low_block_size)
        row = replacement_lookup.low[code_point - low_block_first];
    else if (code_point - high_block_first < high_block_size)
        row = replacement_lookup.high[code_point - high_block_first];
    return row ? replacement_rows[row - 1].text : ".";
}

// Code points 0 to 31: tab, line feed and carriage return stay, 17 to 21
// stand in for punctuation, the rest disappear (as does 127).
const char* const control_map[32] = {
    "", "", "", "", "", "", "", "", "", "\t", "\n", "", "", "\r", "", "",   // 0 to 15
    "", "-", "\"", "\"", "'", "'", "", "", "", "", "", "", "", "", "", "",  // 16 to 31
};

inline bool is_continuation(unsigned char byte)
{
    return byte >= 0x80 && byte <= 0xbf;
}

// Decodes one code point at text and returns where the next one starts. At
// the terminator the code point is 0 and text is returned unmoved. A lead
// byte takes only the continuation bytes that actually follow it, so the
// terminator is never passed.
inline const unsigned char* decode_utf8(const unsigned char* text, uint32_t* code_point)
{
    unsigned char lead = text[0];
    int continuations;
    if (lead < 0x80) {
        *code_point = lead;
        return lead ? text + 1 : text;
    }
    if (lead < 0xc0) {
        *code_point = lead & 0x3f;
        return text + 1;
    }
    if (lead < 0xe0) {
        *code_point = lead & 0x1f;
        continuations = 1;
    } else if (lead < 0xf0) {
        *code_point = lead & 0x0f;
        continuations = 2;
    } else if (lead < 0xf8) {
        *code_point = lead & 0x07;
        continuations = 3;
    } else {
        *code_point = '.';
        return text + 1;
    }
    text++;
    while (continuations-- > 0 && is_continuation(*text))
        *code_point = (*code_point << 6) | (*text++ & 0x3f);
    return text;
}

// Feeds the transcription of text to sink.put(c) until the text ends or put
// returns false (the destination is full).
template <typename Sink>
void transcribe(const char* text, Sink& sink)
{
    const unsigned char* at = (const unsigned char*)(text ? text : "(null)");
    for (;;) {
        uint32_t code_point;
        at = decode_utf8(at, &code_point);
        if (code_point == 0)
            return;
        const char* replacement;
        if (code_point >= 32 && code_point <= 126) {
            if (!sink.put((char)code_point))
                return;
            continue;
        }
        if (code_point < 32)
            replacement = control_map[code_point];
        else if (code_point == 127)
            replacement = "";
        else
            replacement = replacement_for(code_point);
        for (; *replacement; replacement++)
            if (!sink.put(*replacement))
                return;
    }
}

struct buffer_sink {
    quon_string_buffer& buffer;
    bool put(char c)
    {
        buffer.append_char(c);
        return buffer.length() < buffer.capacity();
    }
};

struct array_sink {
    char* out;
    int room;  // characters that still fit before the terminator
    int written;
    bool put(char c)
    {
        if (written >= room)
            return false;
        out[written++] = c;
        return written < room;
    }
};

}  // namespace

void quon_append_utf8_as_ascii(const char* text, quon_string_buffer& buffer)
{
    // A buffer that is already full takes nothing more.
    if (buffer.length() >= buffer.capacity())
        return;
    buffer_sink sink{buffer};
    transcribe(text, sink);
}

int quon_utf8_to_ascii(const char* text, char* out, int size)
{
    if (!out) {
        quon_log("Error in quon_utf8_to_ascii(), NULL dest?", QUON_LOG_SANITY, QUON_CORE);
        return 0;
    }
    if (size < 1) {
        quon_log("Error in quon_utf8_to_ascii(), dest is too small?", QUON_LOG_SANITY, QUON_CORE);
        return 0;
    }
    array_sink sink{out, size - 1, 0};
    if (sink.room > 0)
        transcribe(text, sink);
    out[sink.written] = 0;
    return sink.written;
}
