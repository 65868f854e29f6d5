#include "gui/toolkit_text.h"

#include "base/ascii.h"

void quon_toolkit_string_to_ascii(const wxString& text, quon_string_buffer& buffer)
{
    wxCharBuffer utf8 = text.mb_str(wxConvUTF8);
    // A failed conversion gives a null buffer, which the transcription
    // would print as "(null)".
    quon_append_utf8_as_ascii(utf8.data() ? utf8.data() : "", buffer);
}
