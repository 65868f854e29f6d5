#include "base/words.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

TEST(words, next_arg_and_last_arg_walk_blank_separated_words)
{
    const char* text = "  alpha beta";
    EXPECT_EQ(next_arg(text), text + 8);
    EXPECT_EQ(next_arg("alpha"), nullptr);
    EXPECT_EQ(next_arg("alpha \t\n "), nullptr);
    EXPECT_EQ(next_arg(""), nullptr);
    const char* mixed = "a\tb\nc\rd";
    EXPECT_STREQ(next_arg(mixed), "b\nc\rd");
    EXPECT_STREQ(next_arg(next_arg(mixed)), "c\rd");

    const char* three = "a b c";
    EXPECT_EQ(last_arg(three), three + 4);
    const char* single = "  only";
    EXPECT_EQ(last_arg(single), single);
}

TEST(words, null_text_is_reported_by_next_arg_and_last_arg)
{
    log_capture log;
    EXPECT_EQ(next_arg(nullptr), nullptr);
    EXPECT_EQ(last_arg(nullptr), nullptr);
    EXPECT_EQ(log.text(),
              "quon_core.sanity Error in next_arg(), NULL pointer passed in.\n"
              "quon_core.sanity Error in last_arg(), NULL pointer passed in.\n");
}

TEST(words, word_equals_compares_first_words_folding_ascii_letters)
{
    struct {
        const char* a;
        const char* b;
        int equal;
    } cases[] = {
        {"Content-Length:", "content-length: 42", 1},
        {"-V", "-v", 1},
        {"ab", "abc", 0},
        {"abc", "ab", 0},
        {"ab\tx", "ab", 1},
        {"ab\nx", "ab y", 1},
        {"ab", "ab\tz", 1},
        {"ab\r", "ab", 0},
        {"", "", 1},
        {"", " x", 1},
        {"x", "", 0},
        {"[", "{", 0},  // 32 apart like a letter pair, but only A to Z fold
        {"\xc4", "\xe4", 0},
    };
    for (const auto& row : cases)
        EXPECT_EQ(word_equals(row.a, row.b), row.equal) << '"' << row.a << "\" vs \"" << row.b << '"';
    EXPECT_EQ(word_equals(nullptr, "a"), 0);
    EXPECT_EQ(word_equals("a", nullptr), 0);
}

TEST(words, word_equals_gives_up_at_400_characters)
{
    std::string w399(399, 'q');
    std::string w400(400, 'q');
    EXPECT_EQ(word_equals(w399.c_str(), (w399 + " tail").c_str()), 1);
    EXPECT_EQ(word_equals(w400.c_str(), w400.c_str()), 0);
}

TEST(words, word_in_list_and_word_prefix_of)
{
    EXPECT_EQ(word_in_list("--BETA", "-b --beta"), 1);
    EXPECT_EQ(word_in_list("-b", "-b --beta"), 1);
    EXPECT_EQ(word_in_list("-bx", "-b --beta"), 0);
    EXPECT_EQ(word_in_list("-b trailing", "-h\t--help\n-b"), 1);
    EXPECT_EQ(word_in_list(nullptr, "-b"), 0);
    EXPECT_EQ(word_in_list("-b", nullptr), 0);

    struct {
        const char* word;
        const char* text;
        int length;
    } cases[] = {
        {"Con", "Connection: close", 3},
        {"Connections", "Connection", 0},
        {"content-length:", "Content-Length: 12", 15},
        {"abc def", "ABCxyz", 3},
        {"", "anything", 0},
        {" x", "x", 0},
        {"a", "", 0},
    };
    for (const auto& row : cases)
        EXPECT_EQ(word_prefix_of(row.word, row.text), row.length) << row.word << " / " << row.text;
    EXPECT_EQ(word_prefix_of(nullptr, "a"), 0);
    EXPECT_EQ(word_prefix_of("a", nullptr), 0);
}

TEST(words, parse_int_takes_a_leading_decimal_that_fits_an_int)
{
    struct {
        const char* text;
        int ok;
        int value;
    } cases[] = {
        {"-12abc", 1, -12},
        {"+7", 1, 7},
        {"0", 1, 0},
        {"007 9", 1, 7},
        {"2147483647", 1, 2147483647},
        {"-2147483648", 1, -2147483647 - 1},
        {"2147483648", 0, 0},
        {"-2147483649", 0, 0},
        {"99999999999999999999999", 0, 0},
        {"+a", 0, 0},
        {"-", 0, 0},
        {" 5", 0, 0},
        {"", 0, 0},
        {"x1", 0, 0},
        {"0x10", 1, 0},
    };
    for (const auto& row : cases) {
        int value = 555;
        EXPECT_EQ(parse_int(row.text, &value), row.ok) << row.text;
        EXPECT_EQ(value, row.ok ? row.value : 555) << row.text;
    }
    EXPECT_EQ(parse_int("3", nullptr), 1);
    EXPECT_EQ(parse_int(nullptr, nullptr), 0);
}

TEST(words, safe_strcpy_copies_or_cuts_with_one_report)
{
    log_capture log;
    char dst[16];
    EXPECT_EQ(safe_strcpy(dst, "fifteen chars!!", 16), 1);
    EXPECT_STREQ(dst, "fifteen chars!!");
    EXPECT_EQ(log.text(), "");

    EXPECT_EQ(safe_strcpy(dst, "sixteen chars!!!", 16), 0);
    EXPECT_STREQ(dst, "sixteen chars!!");
    EXPECT_EQ(log.text(),
              "quon_core.sanity Error in safe_strcpy(), overflow of dest, size 16. String was: ->sixteen chars!!!<-\n");

    log.clear();
    char one[1] = {'x'};
    EXPECT_EQ(safe_strcpy(one, "", 1), 1);
    EXPECT_EQ(one[0], 0);
    EXPECT_EQ(log.text(), "");
}

TEST(words, safe_strcpy_reports_bad_arguments)
{
    log_capture log;
    char dst[4] = "abc";
    EXPECT_EQ(safe_strcpy(nullptr, "a", 4), 0);
    EXPECT_EQ(safe_strcpy(dst, "a", 0), 0);
    EXPECT_STREQ(dst, "abc");
    EXPECT_EQ(safe_strcpy(dst, nullptr, 4), 0);
    EXPECT_STREQ(dst, "");
    EXPECT_EQ(log.text(),
              "quon_core.sanity Error in safe_strcpy(), NULL dest.\n"
              "quon_core.sanity Error in safe_strcpy(), dest too short.\n"
              "quon_core.sanity Error in safe_strcpy(), NULL src.\n");
}

TEST(words, safe_strcpy_of_a_huge_source_writes_a_single_report)
{
    log_capture log;
    std::string huge(20000, 'h');
    char dst[8];
    EXPECT_EQ(safe_strcpy(dst, huge.c_str(), 8), 0);
    EXPECT_EQ(log.count("\n"), 1);
    EXPECT_EQ(log.count("quon_core.sanity Error in safe_strcpy(), overflow of dest, size 8. String was: ->hhh"), 1);
}
