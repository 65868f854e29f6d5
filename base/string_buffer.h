#ifndef BRIMVALE_BASE_STRING_BUFFER_H
#define BRIMVALE_BASE_STRING_BUFFER_H

#include <stdint.h>
#include <string.h>

// Text with inline storage of a fixed capacity: the type of every path,
// message and line the program builds. It never allocates. An append that
// does not fit is cut silently; the cut is reported once, in the log, when
// the buffer is cleared or destroyed. A buffer whose length has reached the
// capacity counts as cut, so 5998 characters is the most it holds cleanly.
//
// Each buffer carries 6000 bytes, so thread stacks must leave room for
// several at once. Buffers are not copied as a whole: text moves between
// them with assign() and append().
class quon_string_buffer {
public:
    enum { standard_capacity = 5999 };

    quon_string_buffer();
    ~quon_string_buffer();
    quon_string_buffer(const quon_string_buffer&) = delete;
    quon_string_buffer& operator=(const quon_string_buffer&) = delete;

    // The appends work on local copies of the length: the compiler must
    // otherwise assume that every byte stored may change it, and reload it
    // per byte.
    //
    // A null text appends "(null)".
    void append(const char* text)
    {
        if (!text)
            text = "(null)";
        append_bytes(text, (int)strnlen(text, (size_t)(capacity_ - length_)));
    }
    void append_char(char c)
    {
        int length = length_;
        if (length < capacity_)
            data_[length++] = c;
        data_[length] = 0;
        length_ = length;
    }
    // Appends exactly count bytes, zero bytes included, as count calls of
    // append_char would; for data that is not text yet.
    void append_bytes(const char* bytes, int count)
    {
        int length = length_;
        if (count > capacity_ - length)
            count = capacity_ - length;
        if (count > 0) {
            memcpy(data_ + length, bytes, (size_t)count);
            length += count;
        }
        data_[length] = 0;
        length_ = length;
    }
    // Decimal, "-" for negative values, the most negative value in full.
    void append_int(int32_t n);
    // RFC 4648 Base64 with "=" padding. True while the buffer is not full
    // afterwards, false when the encoding was cut.
    bool append_base64(const void* bytes, int count);
    bool append_base64(const char* text);

    // Appends the text between begin and end (end excluded), stopping early
    // at a terminator; for copying a field out of a parsed line.
    void append_range(const char* begin, const char* end)
    {
        if (begin >= end) {
            data_[length_] = 0;
            return;
        }
        size_t room = (size_t)(capacity_ - length_);
        size_t span = (size_t)(end - begin);
        append_bytes(begin, (int)strnlen(begin, span < room ? span : room));
    }

    void clear()
    {
        check_overflow();
        length_ = 0;
        data_[0] = 0;
    }
    void assign(const char* text)
    {
        clear();
        append(text);
    }

    const char* c_str() const { return data_; }
    int length() const { return length_; }
    int capacity() const { return capacity_; }
    // True once an append stopped for want of room (the text may be cut).
    bool overflowed() const { return length_ >= capacity_; }
    // While non-zero the overflow report is suppressed.
    void set_quiet(int quiet) { quiet_ = quiet; }

    void report_overflow();

private:
    void check_overflow()
    {
        if (length_ >= capacity_)
            report_overflow();
    }

    char* data_;
    int32_t capacity_;
    int32_t quiet_;
    int32_t length_;
    char storage_[standard_capacity + 1];
};

#endif
