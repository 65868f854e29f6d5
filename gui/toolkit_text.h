#ifndef BRIMVALE_GUI_TOOLKIT_TEXT_H
#define BRIMVALE_GUI_TOOLKIT_TEXT_H

#include <wx/string.h>

#include "base/string_buffer.h"

// Brings a toolkit string into the library's ASCII: encoded as UTF-8, then
// transcribed with quon_append_utf8_as_ascii and appended to buffer (which
// is not cleared first). A text the converter cannot encode counts as empty.
void quon_toolkit_string_to_ascii(const wxString& text, quon_string_buffer& buffer);

#endif
