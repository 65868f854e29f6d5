#include "base/xml.h"

#include <stdlib.h>
#include <string.h>

#include "base/log.h"
#include "base/string_buffer.h"
#include "base/words.h"

namespace {

void xml_report(const char* text, int level)
{
    quon_log(text, level, QUON_XML);
}

// A report that quotes input: the quoted text may be as long as the input
// line, and a cut in a diagnostic is not worth a second report.
class quoting_report {
public:
    quoting_report() { message_.set_quiet(1); }
    quoting_report& operator<<(const char* text)
    {
        message_.append(text);
        return *this;
    }
    void send(int level) { xml_report(message_.c_str(), level); }

private:
    quon_string_buffer message_;
};

int hex_value(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

const char* skip_spaces(const char* at)
{
    while (*at == ' ')
        at++;
    return at;
}

// The two attributes a header line must carry, with the report for each way
// an attribute can be malformed.
struct header_attribute {
    const char* name;
    const char* no_value;
    const char* no_opening_quote;
    const char* no_closing_quote;
};

const header_attribute header_attributes[] = {
    {"version", "Warning in quon_xml_reader::check_xml_header_string(), 'version' tag found, but no version.",
     "Warning in quon_xml_reader::check_xml_header_string(), 'version' tag found, but no opening version quote.",
     "Warning in quon_xml_reader::check_xml_header_string(), 'version' tag found, but no closing version quote."},
    {"encoding", "Warning in quon_xml_reader::check_xml_header_string(), 'encoding' tag found, but no encoding.",
     "Warning in quon_xml_reader::check_xml_header_string(), 'encoding' tag found, but no opening encoding quote.",
     "Warning in quon_xml_reader::check_xml_header_string(), 'encoding' tag found, but no closing encoding quote."},
};

// Decodes &lt; &gt; and &amp; in place; any other '&' stays as it is.
void compact_string(char* text)
{
    static const struct {
        const char* entity;
        int length;
        char character;
    } entities[] = {{"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&amp;", 5, '&'}};
    char* out = text;
    for (const char* in = text; *in;) {
        if (*in != '&') {
            *out++ = *in++;
            continue;
        }
        bool decoded = false;
        for (const auto& e : entities) {
            if (strncmp(in, e.entity, e.length) == 0) {
                *out++ = e.character;
                in += e.length;
                decoded = true;
                break;
            }
        }
        if (!decoded) {
            xml_report("Warning in quon_xml_reader::compact_string(), unknown '&' conversion found?", QUON_LOG_PERR);
            *out++ = *in++;
        }
    }
    *out = 0;
}

}  // namespace

quon_xml_tag_stack::~quon_xml_tag_stack()
{
    while (top_)
        pop();
}

int quon_xml_tag_stack::push(const char* name, int max_length)
{
    size_t length = strlen(name);
    if (max_length >= 0 && length > (size_t)max_length)
        length = (size_t)max_length;
    entry* added = (entry*)malloc(sizeof(entry) + length + 1);
    if (!added) {
        xml_report("Error in quon_xml_tag_stack::push(), out of memory?", QUON_LOG_HARDFAIL);
        return 0;
    }
    added->name = (char*)(added + 1);
    memcpy(added->name, name, length);
    added->name[length] = 0;
    added->below = top_;
    top_ = added;
    size_++;
    return 1;
}

void quon_xml_tag_stack::pop()
{
    if (!top_)
        return;
    entry* gone = top_;
    top_ = gone->below;
    size_--;
    free(gone);
}

int quon_xml_reader::check_xml_header_string(const char* line)
{
    if (!word_equals(line, "<?xml")) {
        xml_report("Warning in quon_xml_reader::check_xml_header_string(), missing opening '<?xml' tag.",
                   QUON_LOG_PWARN);
        return 0;
    }
    bool seen[2] = {false, false};
    const char* at = next_arg(line);
    while (at && *at) {
        int which = -1;
        for (int i = 0; i < 2; i++)
            if (strncmp(at, header_attributes[i].name, strlen(header_attributes[i].name)) == 0)
                which = i;
        if (which < 0) {
            xml_report("Warning in quon_xml_reader::check_xml_header_string(), unknown tag found.", QUON_LOG_PWARN);
            return 0;
        }
        const header_attribute& attribute = header_attributes[which];
        at = skip_spaces(at + strlen(attribute.name));
        if (*at != '=') {
            xml_report(attribute.no_value, QUON_LOG_PWARN);
            return 0;
        }
        at = skip_spaces(at + 1);
        if (*at != '"') {
            xml_report(attribute.no_opening_quote, QUON_LOG_PWARN);
            return 0;
        }
        at = strchr(at + 1, '"');
        if (!at) {
            xml_report(attribute.no_closing_quote, QUON_LOG_PWARN);
            return 0;
        }
        seen[which] = true;
        at = skip_spaces(at + 1);
        if (!*at || (at[0] == '?' && at[1] == '>'))
            break;
    }
    if (seen[0] && seen[1])
        return 1;
    if (!seen[0] && !seen[1])
        xml_report("Warning in quon_xml_reader::check_xml_header_string(), didn't get either version or encoding.",
                   QUON_LOG_PWARN);
    else if (seen[0])
        xml_report("Warning in quon_xml_reader::check_xml_header_string(), didn't get encoding.", QUON_LOG_PWARN);
    else
        xml_report("Warning in quon_xml_reader::check_xml_header_string(), didn't get version.", QUON_LOG_PWARN);
    return 0;
}

// Reads up to the next '<' or '>' (consumed, not stored) into buffer, at
// most size - 1 characters kept, and decodes the entities. 0 at end of input
// or when a kept character is not printable ASCII: tag and data text must be
// one line. size is at least 1.
int quon_xml_reader::read_block(char* buffer, int size, int is_tag)
{
    int stored = 0;
    int unprintable = 0;
    int c;
    for (;;) {
        c = read_char();
        if (c < 0) {
            xml_report("Warning in quon_xml_reader::read_block(), file corruption - got EOF before trailing bracket.",
                       QUON_LOG_PERR);
            buffer[stored] = 0;
            return 0;
        }
        if (c == '<' || c == '>')
            break;
        if (stored < size - 1) {
            buffer[stored++] = (char)c;
            if (c < 32 || c > 126)
                unprintable++;
        }
    }
    if (is_tag && c == '<')
        xml_report("Warning in quon_xml_reader::read_block(), got second open bracket?", QUON_LOG_PERR);
    if (!is_tag && c == '>')
        xml_report("Warning in quon_xml_reader::read_block(), got second closing bracket?", QUON_LOG_PERR);
    buffer[stored] = 0;
    if (unprintable)
        return 0;
    compact_string(buffer);
    return 1;
}

// Consumes input up to and including the next '<'. 0 at end of input.
int quon_xml_reader::skip_to_open_bracket()
{
    for (;;) {
        int c = read_char();
        if (c < 0)
            return 0;
        if (c == '<')
            return 1;
    }
}

// The same between tags that are being skipped, where a '>' is out of place.
int quon_xml_reader::skip_chunk()
{
    for (;;) {
        int c = read_char();
        if (c < 0)
            return 0;
        if (c == '<')
            return 1;
        if (c == '>')
            xml_report("Warning in quon_xml_reader::skip_chunk(), got closing bracket?", QUON_LOG_PERR);
    }
}

void quon_xml_reader::pop_stack_entry(const char* text)
{
    const char* name = text;
    if (name[0] == '/')
        name++;
    else
        (quoting_report() << "Warning in quon_xml_reader::pop_stack_entry() - got bad closing tag '" << text << "'?")
            .send(QUON_LOG_PERR);
    if (stack_.empty()) {
        // A stray closing tag: there is nothing it could close.
        (quoting_report() << "Warning in quon_xml_reader::pop_stack_entry() - got closing tag '" << name
                          << "' with no tag open.")
            .send(QUON_LOG_PERR);
        return;
    }
    // Open tags were cut when pushed; compare no further than that.
    if (strncmp(stack_.top(), name, quon_xml_max_tag_name) != 0)
        (quoting_report() << "Warning in quon_xml_reader::pop_stack_entry() - popped tag '" << name
                          << "' did not match expected tag '" << stack_.top() << "'.")
            .send(QUON_LOG_PERR);
    stack_.pop();
}

int quon_xml_reader::read_tag(char* buffer, int size)
{
    if (!buffer) {
        xml_report("Error in quon_xml_reader::read_tag(), NULL dest?", QUON_LOG_SANITY);
        return 0;
    }
    if (size <= 0) {
        xml_report("Error in quon_xml_reader::read_tag(), dest is too small?", QUON_LOG_SANITY);
        return 0;
    }
    if (!skip_to_open_bracket()) {
        buffer[0] = 0;
        return 0;
    }
    if (!read_block(buffer, size, 1))
        return 0;
    if (buffer[0] == '/') {
        pop_stack_entry(buffer);
        return 0;
    }
    stack_.push(buffer, quon_xml_max_tag_name);
    return 1;
}

int quon_xml_reader::read_data(char* buffer, int size)
{
    if (!buffer) {
        xml_report("Error in quon_xml_reader::read_data(char[]), NULL dest?", QUON_LOG_SANITY);
        return 0;
    }
    if (size <= 0) {
        xml_report("Error in quon_xml_reader::read_data(char[]), dest is too small?", QUON_LOG_SANITY);
        return 0;
    }
    if (!read_block(buffer, size, 0))
        return 0;
    char closing[quon_xml_work_buffer_size];
    // The element is over whatever this finds; a bad closing tag has been
    // reported by then.
    read_block(closing, sizeof(closing), 1);
    pop_stack_entry(closing);
    return 1;
}

int quon_xml_reader::read_data(int* value)
{
    if (!value) {
        xml_report("Error in quon_xml_reader::read_data(int), NULL dest?", QUON_LOG_SANITY);
        return 0;
    }
    char text[quon_xml_number_buffer_size];
    if (!read_block(text, sizeof(text), 0))
        return 0;
    int number = 0;
    int is_number = parse_int(text, &number);
    if (!is_number)
        (quoting_report() << "Warning in quon_xml_reader::read_data(int) - got non-number'" << text << "'.")
            .send(QUON_LOG_PERR);
    char closing[quon_xml_work_buffer_size];
    read_block(closing, sizeof(closing), 1);
    pop_stack_entry(closing);
    if (!is_number)
        return 0;
    *value = number;
    return 1;
}

int quon_xml_reader::read_cdata(void* buffer, int size)
{
    if (!buffer) {
        xml_report("Error in quon_xml_reader::read_cdata(), NULL dest?", QUON_LOG_SANITY);
        return 0;
    }
    if (size <= 0) {
        xml_report("Error in quon_xml_reader::read_cdata(), dest is too small?", QUON_LOG_SANITY);
        return 0;
    }
    if (!skip_to_open_bracket())
        return 0;
    static const char cdata_header[] = "![CDATA[";
    char header[sizeof(cdata_header)];
    for (size_t i = 0; i + 1 < sizeof(header); i++) {
        int c = read_char();
        if (c < 0)
            return 0;
        header[i] = (char)c;
    }
    header[sizeof(header) - 1] = 0;
    if (strcmp(header, cdata_header) != 0) {
        xml_report("Warning in quon_xml_reader::read_cdata(), did not get ![CDATA[ header.", QUON_LOG_PERR);
        return 0;
    }
    unsigned char* out = (unsigned char*)buffer;
    int stored = 0;
    int high_nibble = -1;
    int dropped = 0;
    for (;;) {
        int c = read_char();
        if (c < 0)
            return 0;
        if (c == '<' || c == '>')
            break;
        int digit = hex_value(c);
        if (digit < 0)
            continue;
        if (stored >= size) {
            // Read on to the end of the data, so that what follows is the
            // element's closing tag and not the rest of the section.
            dropped = 1;
        } else if (high_nibble < 0) {
            high_nibble = digit;
        } else {
            out[stored++] = (unsigned char)(high_nibble << 4 | digit);
            high_nibble = -1;
        }
    }
    if (dropped) {
        quon_string_buffer message;
        message.append("Warning in quon_xml_reader::read_cdata(), more data than room, kept the first ");
        message.append_int(size);
        message.append(" bytes.");
        xml_report(message.c_str(), QUON_LOG_PERR);
    }
    skip_data();
    return stored;
}

void quon_xml_reader::skip_data()
{
    if (stack_.empty()) {
        xml_report("Error in quon_xml_reader::skip_data() - you must read at least the opening tag before "
                   "skipping data.",
                   QUON_LOG_SANITY);
        return;
    }
    // Entries below the element being skipped are never touched while it is
    // open, so its depth identifies it.
    const int element_depth = stack_.size();
    char tag[quon_xml_work_buffer_size];
    while (skip_chunk()) {
        if (!read_block(tag, sizeof(tag), 1)) {
            xml_report("Warning in quon_xml_reader::skip_data() - unable to read block?", QUON_LOG_PERR);
            return;
        }
        if (tag[0] == '!')
            continue;
        if (tag[0] == '/') {
            bool closes_element = stack_.size() == element_depth;
            pop_stack_entry(tag);
            if (closes_element)
                return;
            continue;
        }
        stack_.push(tag, quon_xml_max_tag_name);
    }
    xml_report("Warning in quon_xml_reader::skip_data() - unable to read chunk?", QUON_LOG_PERR);
}

quon_xml_file_reader::quon_xml_file_reader(FILE* stream) : stream_(stream)
{
    if (!stream_)
        xml_report("Error in quon_xml_file_reader::quon_xml_file_reader(), NULL file handle.", QUON_LOG_HARDFAIL);
}

int quon_xml_file_reader::read_char()
{
    if (!stream_)
        return -1;
    int c = fgetc(stream_);
    return c == EOF ? -1 : c;
}

int quon_xml_writer::write_header()
{
    // Callers give up on the file when this is 0, so a failed write (a
    // negative count) must come out as 0 too.
    int written = write("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n");
    return written > 0 ? written : 0;
}

void quon_xml_writer::write_indent(int levels)
{
    for (int i = 0; i < levels; i++)
        write("  ");
}

void quon_xml_writer::write_string(const char* text)
{
    if (!text) {
        xml_report("Error in quon_xml_writer::write_string(), NULL data.\n", QUON_LOG_SANITY);
        return;
    }
    char single[2] = {0, 0};
    for (; *text; text++) {
        switch (*text) {
        case '<':
            write("&lt;");
            break;
        case '>':
            write("&gt;");
            break;
        case '&':
            write("&amp;");
            break;
        default:
            single[0] = *text;
            write(single);
        }
    }
}

void quon_xml_writer::write_tag(const char* name, int newline, const char* attributes)
{
    if (!name) {
        xml_report("Error in quon_xml_writer::write_tag(), NULL tag.\n", QUON_LOG_SANITY);
        return;
    }
    // The writer's names are closed from the stack, so they are kept whole.
    stack_.push(name, -1);
    write_indent(depth_);
    write("<");
    write_string(name);
    if (attributes) {
        write(" ");
        write(attributes);
    }
    write(newline ? ">\n" : ">");
    depth_++;
}

void quon_xml_writer::end_tag(const char* name, int indent)
{
    // One closing tag too many must not leave the depth below zero, or every
    // later element would lose its indentation.
    if (depth_ > 0)
        depth_--;
    if (indent && depth_ > 0)
        write_indent(depth_);
    write("</");
    if (stack_.empty()) {
        xml_report("Error in quon_xml_writer::end_tag(), tag stack empty.\n", QUON_LOG_SANITY);
        write("_BOGUS_ENDING_TAG_");
    } else {
        if (name && strcmp(name, stack_.top()) != 0)
            xml_report("Warning in quon_xml_writer::end_tag(), tried to close wrong tag.\n", QUON_LOG_PERR);
        write_string(stack_.top());
        stack_.pop();
    }
    write(">\n");
}

void quon_xml_writer::write_empty_tag(const char* name, const char* attributes)
{
    if (!name) {
        xml_report("Error in quon_xml_writer::write_empty_tag(), NULL tag.\n", QUON_LOG_SANITY);
        return;
    }
    write_indent(depth_);
    write("<");
    write_string(name);
    if (attributes) {
        write(" ");
        write(attributes);
    }
    write(" />\n");
}

void quon_xml_writer::write_cdata(const void* bytes, int count)
{
    if (!bytes && count > 0) {
        xml_report("Error in quon_xml_writer::write_cdata(), NULL data.\n", QUON_LOG_SANITY);
        return;
    }
    static const char digits[] = "0123456789abcdef";
    const int bytes_per_line = 32;
    const unsigned char* in = (const unsigned char*)bytes;
    char line[bytes_per_line * 2 + 2];
    write("<![CDATA[\n");
    int used = 0;
    for (int i = 0; i < count; i++) {
        line[used++] = digits[in[i] >> 4];
        line[used++] = digits[in[i] & 15];
        if (used == bytes_per_line * 2 || i == count - 1) {
            line[used++] = '\n';
            line[used] = 0;
            write(line);
            used = 0;
        }
    }
    write("]]>\n");
}

void quon_xml_writer::write_newline()
{
    write("\n");
}

quon_xml_file_writer::quon_xml_file_writer(FILE* stream) : stream_(stream)
{
    if (!stream_)
        xml_report("Error in quon_xml_file_writer::quon_xml_file_writer(), NULL file handle.\n", QUON_LOG_HARDFAIL);
}

int quon_xml_file_writer::write(const char* text)
{
    if (!stream_)
        return -1;
    return fprintf(stream_, "%s", text);
}
