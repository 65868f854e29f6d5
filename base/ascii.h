#ifndef BRIMVALE_BASE_ASCII_H
#define BRIMVALE_BASE_ASCII_H

#include "base/string_buffer.h"

// Transcription of outside text into the library's printable 7-bit ASCII.
// The UTF-8 input is decoded leniently (it never fails and never reads past
// the terminator; malformed bytes decode to something and are transcribed
// like any code point), and each code point becomes:
//   32 to 126              itself;
//   tab, line feed, CR     themselves;
//   17                     "-";
//   18 and 19              a double quote;
//   20 and 21              "'";
//   other controls, 127    nothing;
//   128 and above          its look-alike from a fixed table of 643 code
//                          points between U+0080 and U+2122 (umlauts give
//                          two letters: U+00FC is "ue"), else ".".
// A decoded code point of 0 (a lone 0x80, say) ends the text like the
// terminator does. The output never holds a byte above 127. Neither form
// allocates.

// Appends the transcription of text to buffer (which is not cleared first),
// cut at the buffer's capacity like any append. A null text appends "(null)".
void quon_append_utf8_as_ascii(const char* text, quon_string_buffer& buffer);

// The same into the plain array out of size bytes: at most size - 1
// characters and always a terminator. Returns the number of characters
// written (the terminator not counted). A null out or a size below 1 is a
// sanity report and 0, with nothing written.
int quon_utf8_to_ascii(const char* text, char* out, int size);

#endif
