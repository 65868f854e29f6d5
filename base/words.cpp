#include "base/words.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include "base/log.h"
#include "base/string_buffer.h"

namespace {

// Longest word prefix word_equals looks at before it gives up.
const int word_compare_limit = 400;

inline bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

inline bool ends_word(char c)
{
    return c == 0 || is_blank(c);
}

inline char fold(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

inline bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

}  // namespace

const char* next_arg(const char* text)
{
    if (!text) {
        quon_log("Error in next_arg(), NULL pointer passed in.", QUON_LOG_SANITY, QUON_CORE);
        return nullptr;
    }
    while (is_blank(*text))
        text++;
    while (!ends_word(*text))
        text++;
    while (is_blank(*text))
        text++;
    return *text ? text : nullptr;
}

const char* last_arg(const char* text)
{
    if (!text) {
        quon_log("Error in last_arg(), NULL pointer passed in.", QUON_LOG_SANITY, QUON_CORE);
        return nullptr;
    }
    const char* last = text;
    for (const char* next = next_arg(text); next; next = next_arg(next))
        last = next;
    return last;
}

int word_equals(const char* a, const char* b)
{
    if (!a || !b)
        return 0;
    for (int i = 0; i < word_compare_limit; i++) {
        char x = fold(a[i]);
        char y = fold(b[i]);
        if (is_blank(x))
            x = 0;
        if (is_blank(y))
            return x == 0;
        if (x != y)
            return 0;
        if (x == 0)
            return 1;
    }
    return 0;
}

int word_in_list(const char* word, const char* list)
{
    if (!word || !list)
        return 0;
    for (const char* candidate = list; candidate; candidate = next_arg(candidate))
        if (word_equals(word, candidate))
            return 1;
    return 0;
}

int word_prefix_of(const char* word, const char* text)
{
    if (!word || !text)
        return 0;
    int length = 0;
    while (!ends_word(word[length])) {
        // text running out first shows up here as a mismatch with its terminator.
        if (fold(word[length]) != fold(text[length]))
            return 0;
        length++;
    }
    return length;
}

int parse_int(const char* text, int* out)
{
    if (!text)
        return 0;
    const char* digits = (*text == '+' || *text == '-') ? text + 1 : text;
    if (!is_digit(*digits))
        return 0;
    errno = 0;
    long long value = strtoll(text, nullptr, 10);
    // A number that an int cannot hold is not taken as some other number:
    // a size or length cut to the int range would be silently wrong.
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return 0;
    if (out)
        *out = (int)value;
    return 1;
}

int safe_strcpy(char* dst, const char* src, int size)
{
    if (!dst) {
        quon_log("Error in safe_strcpy(), NULL dest.", QUON_LOG_SANITY, QUON_CORE);
        return 0;
    }
    if (size < 1) {
        quon_log("Error in safe_strcpy(), dest too short.", QUON_LOG_SANITY, QUON_CORE);
        return 0;
    }
    if (!src) {
        dst[0] = 0;
        quon_log("Error in safe_strcpy(), NULL src.", QUON_LOG_SANITY, QUON_CORE);
        return 0;
    }
    for (int i = 0; i < size; i++) {
        dst[i] = src[i];
        if (!src[i])
            return 1;
    }
    dst[size - 1] = 0;
    quon_string_buffer message;
    // The report quotes the source; a source too long for the report is
    // cut there without a second report about the cut.
    message.set_quiet(1);
    message.append("Error in safe_strcpy(), overflow of dest, size ");
    message.append_int(size);
    message.append(". String was: ->");
    message.append(src);
    message.append("<-");
    quon_log(message.c_str(), QUON_LOG_SANITY, QUON_CORE);
    return 0;
}
