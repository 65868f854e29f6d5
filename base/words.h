#ifndef BRIMVALE_BASE_WORDS_H
#define BRIMVALE_BASE_WORDS_H

// Word helpers over zero-terminated text, in place, without allocation. A
// word ends at the terminator or at a blank (space, tab or line feed; a
// carriage return is an ordinary character). Comparisons fold only the
// ASCII letters A to Z.

// The start of the word after text's first word (leading blanks skipped),
// or null when there is none. A null text is a sanity report and null.
const char* next_arg(const char* text);
// The last word reached through next_arg; text itself (leading blanks
// included) for a single word. A null text is a sanity report and null.
const char* last_arg(const char* text);
// 1 when the first words of a and b are equal apart from ASCII case; words
// of 400 characters or more never compare equal. 0 for a null pointer.
int word_equals(const char* a, const char* b);
// 1 when word equals some word of the blank-separated list (which must not
// start with a blank). 0 for a null pointer.
int word_in_list(const char* word, const char* list);
// The length of word's first word when it is non-empty and text begins
// with it apart from case (text may go on with anything), else 0.
int word_prefix_of(const char* word, const char* text);
// 1 when text starts with a digit, or a sign directly followed by a digit,
// and the leading decimal number (strtol rules, trailing text ignored) fits
// an int; the value is then stored in *out when out is not null. Otherwise
// 0 and *out untouched: a number beyond the int range is refused, never cut
// or saturated.
int parse_int(const char* text, int* out);
// Copies src with its terminator into dst of size bytes. 1 when it fitted;
// otherwise dst holds the first size - 1 characters, a sanity report names
// the cut, and the result is 0. A null dst or a size below 1 is reported
// and leaves dst alone; a null src is reported and leaves dst empty.
int safe_strcpy(char* dst, const char* src, int size);

#endif
