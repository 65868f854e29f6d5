#include "base/string_buffer.h"

#include <string.h>

#include "base/log.h"

quon_string_buffer::quon_string_buffer()
    : data_(storage_), capacity_(standard_capacity), quiet_(0), length_(0)
{
    storage_[0] = 0;
}

quon_string_buffer::~quon_string_buffer()
{
    check_overflow();
    // A pointer kept past the buffer's life shows this instead of stale text.
    // The store is to an object about to die, which an optimiser may drop;
    // the empty asm that reads the storage keeps it.
    memcpy(storage_, "(dead)", 7);
    __asm__ __volatile__("" : : "r"(storage_) : "memory");
}

void quon_string_buffer::append_int(int32_t n)
{
    char digits[12];
    int count = 0;
    // Work with the negative magnitude so that INT32_MIN needs no special case.
    int32_t rest = n < 0 ? n : -n;
    do {
        digits[count++] = (char)('0' - rest % 10);
        rest /= 10;
    } while (rest);
    if (n < 0)
        append_char('-');
    while (count > 0)
        append_char(digits[--count]);
}

bool quon_string_buffer::append_base64(const void* bytes, int count)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const unsigned char* in = (const unsigned char*)bytes;
    for (int i = 0; in && i < count; i += 3) {
        unsigned int group = (unsigned int)in[i] << 16;
        if (i + 1 < count)
            group |= (unsigned int)in[i + 1] << 8;
        if (i + 2 < count)
            group |= in[i + 2];
        append_char(alphabet[(group >> 18) & 63]);
        append_char(alphabet[(group >> 12) & 63]);
        append_char(i + 1 < count ? alphabet[(group >> 6) & 63] : '=');
        append_char(i + 2 < count ? alphabet[group & 63] : '=');
    }
    return length_ < capacity_;
}

bool quon_string_buffer::append_base64(const char* text)
{
    return append_base64(text, text ? (int)strlen(text) : 0);
}

void quon_string_buffer::report_overflow()
{
    if (quiet_)
        return;
    quon_string_buffer message;
    message.append("String Buffer overflow, first few chars were ->");
    for (int i = 0; i < 100 && i < length_ && data_[i]; i++) {
        unsigned char c = (unsigned char)data_[i];
        message.append_char(c >= 32 && c <= 126 ? (char)c : '.');
    }
    message.append("<-");
    quon_log(message.c_str(), QUON_LOG_SOFTFAIL, QUON_CORE);
}
