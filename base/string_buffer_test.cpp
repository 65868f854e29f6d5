#include "base/string_buffer.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

TEST(string_buffer, holds_5998_characters_without_a_report)
{
    log_capture log;
    {
        quon_string_buffer buffer;
        buffer.append(std::string(5998, 'a').c_str());
        EXPECT_EQ(buffer.length(), 5998);
        EXPECT_FALSE(buffer.overflowed());
    }
    EXPECT_EQ(log.text(), "");
}

TEST(string_buffer, cuts_at_capacity_and_reports_once_with_the_first_100_characters)
{
    log_capture log;
    std::string text(6100, 'x');
    text[0] = '\t';
    text[1] = '\n';
    text[2] = (char)0xc3;
    {
        quon_string_buffer buffer;
        buffer.append(text.c_str());
        EXPECT_EQ(buffer.length(), 5999);
        EXPECT_EQ(std::string(buffer.c_str()), text.substr(0, 5999));
        buffer.append("more");
        buffer.append_char('y');
        EXPECT_EQ(buffer.length(), 5999);
        EXPECT_EQ(buffer.c_str()[5999], 0);
        buffer.clear();
        buffer.append("short");
    }
    std::string expected = "quon_core.softfail String Buffer overflow, first few chars were ->..." +
                           std::string(97, 'x') + "<-\n";
    EXPECT_EQ(log.text(), expected);
}

TEST(string_buffer, appends_null_integers_and_base64)
{
    quon_string_buffer buffer;
    buffer.append(nullptr);
    EXPECT_STREQ(buffer.c_str(), "(null)");

    struct {
        int value;
        const char* text;
    } integers[] = {{0, "0"}, {-1, "-1"}, {42, "42"}, {2147483647, "2147483647"}, {-2147483647 - 1, "-2147483648"}};
    for (const auto& row : integers) {
        buffer.clear();
        buffer.append_int(row.value);
        EXPECT_STREQ(buffer.c_str(), row.text) << row.value;
    }

    struct {
        const char* in;
        const char* out;
    } encodings[] = {{"abc", "YWJj"}, {"a", "YQ=="}, {"ab", "YWI="}, {"", ""}, {"user:pass", "dXNlcjpwYXNz"}};
    for (const auto& row : encodings) {
        buffer.clear();
        EXPECT_TRUE(buffer.append_base64(row.in));
        EXPECT_STREQ(buffer.c_str(), row.out) << row.in;
    }
}

TEST(string_buffer, base64_reports_a_cut_encoding)
{
    log_capture log;
    quon_string_buffer buffer;
    buffer.append(std::string(5997, 'a').c_str());
    EXPECT_FALSE(buffer.append_base64("abc"));
    EXPECT_EQ(buffer.length(), 5999);
    buffer.set_quiet(1);
}

TEST(string_buffer, destroyed_storage_reads_dead)
{
    alignas(quon_string_buffer) unsigned char raw[sizeof(quon_string_buffer)];
    quon_string_buffer* buffer = new (raw) quon_string_buffer();
    buffer->append("still here");
    const char* kept = buffer->c_str();
    buffer->~quon_string_buffer();
    EXPECT_STREQ(kept, "(dead)");
}

// Every append cuts at the capacity exactly as the same bytes given to
// append_char one at a time would; append_bytes keeps zero bytes, the text
// appends stop at the first one.
TEST(string_buffer, appends_near_the_capacity_match_append_char)
{
    const std::string bytes("abc\0def", 7);
    for (int start : {0, 5990, 5994, 5998, 5999}) {
        quon_string_buffer expected_bytes, expected_text, got_bytes, got_text, got_range;
        for (quon_string_buffer* buffer : {&expected_bytes, &expected_text, &got_bytes, &got_text, &got_range}) {
            buffer->set_quiet(1);
            buffer->append(std::string(start, 'p').c_str());
        }
        for (char c : bytes)
            expected_bytes.append_char(c);
        for (char c : std::string("abc"))
            expected_text.append_char(c);
        got_bytes.append_bytes(bytes.data(), (int)bytes.size());
        got_text.append(bytes.c_str());
        got_range.append_range(bytes.data(), bytes.data() + bytes.size());
        EXPECT_EQ(got_bytes.length(), expected_bytes.length()) << start;
        EXPECT_EQ(std::string(got_bytes.c_str(), got_bytes.length() + 1),
                  std::string(expected_bytes.c_str(), expected_bytes.length() + 1))
            << start;
        for (quon_string_buffer* buffer : {&got_text, &got_range}) {
            EXPECT_EQ(buffer->length(), expected_text.length()) << start;
            EXPECT_STREQ(buffer->c_str(), expected_text.c_str()) << start;
        }
    }
}
