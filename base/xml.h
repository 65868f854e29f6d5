#ifndef BRIMVALE_BASE_XML_H
#define BRIMVALE_BASE_XML_H

#include <stdio.h>

// The library's configuration files are a strict little XML: one header
// line, nested elements (attributes are written but not parsed), element
// text on one line of printable ASCII with the entities &lt; &gt; &amp;,
// and binary data as hexadecimal inside CDATA. Reports go to quon_log under
// QUON_XML. Callers open and close the files.

// Fixed sizes of the XML layer.
enum {
    // Tag names the reader keeps open are cut to this many characters, and
    // a closing tag matches its opening tag on that many characters.
    quon_xml_max_tag_name = 999,
    // Closing tags read by read_data and tags passed over by skip_data: room
    // for "/", a whole kept name and the terminator.
    quon_xml_work_buffer_size = quon_xml_max_tag_name + 2,
    // The text of an element read by read_data(int).
    quon_xml_number_buffer_size = 100,
};

// The open elements, innermost on top: one heap record per entry, freed when
// popped or when the stack goes. Shared by the reader and the writer.
class quon_xml_tag_stack {
public:
    quon_xml_tag_stack() : top_(nullptr), size_(0) {}
    ~quon_xml_tag_stack();
    quon_xml_tag_stack(const quon_xml_tag_stack&) = delete;
    quon_xml_tag_stack& operator=(const quon_xml_tag_stack&) = delete;

    // Pushes a copy of name, cut to max_length characters when max_length
    // is not negative. 0 when memory ran out (a hardfail report).
    int push(const char* name, int max_length);
    // Frees the top entry; nothing happens on an empty stack.
    void pop();
    // The innermost name, or null when nothing is open. Valid until the
    // next pop.
    const char* top() const { return top_ ? top_->name : nullptr; }
    int size() const { return size_; }
    bool empty() const { return top_ == nullptr; }

private:
    struct entry {
        entry* below;
        char* name;  // stored in the same block, right after the entry
    };
    entry* top_;
    int size_;
};

// A pull parser: the caller asks for the next tag, looks at its name and
// then reads the element's data, reads its children with read_tag, or skips
// it. Every closing tag is checked against the stack of open tags. Input is
// taken one byte at a time from read_char(); a subclass supplies the bytes
// (a stream, memory). Malformed input is reported and gives 0 results; it
// never makes the reader write outside the caller's buffers.
class quon_xml_reader {
public:
    quon_xml_reader() {}
    quon_xml_reader(const quon_xml_reader&) = delete;
    quon_xml_reader& operator=(const quon_xml_reader&) = delete;

    // The next byte as 0 to 255, or -1 at end of input.
    virtual int read_char() = 0;
    // Frees whatever is still open; reads nothing.
    virtual ~quon_xml_reader() {}

    // Checks a header line the caller has read already: "<?xml" (any case)
    // followed by version="..." and encoding="..." in either order, an
    // optional "?>", nothing else. 1 when acceptable, else 0 with a pwarn
    // report naming the fault.
    static int check_xml_header_string(const char* line);

    // Reads the next tag, skipping whatever comes before its "<", into
    // buffer (size bytes, text cut to size - 1). 1 for an opening tag, which
    // is then open; 0 for a closing tag, which closes the innermost open tag
    // (a mismatch is reported, and a closing tag with no tag open is
    // reported and closes nothing); 0 at end of input or for a tag that is
    // not one line of printable ASCII.
    int read_tag(char* buffer, int size);
    // Reads the text of the element just opened into buffer (entities
    // decoded, cut to size - 1), then its closing tag. 1 on success; 0 when
    // the text was not printable ASCII or the input ended, and then the
    // closing tag is left unread.
    int read_data(char* buffer, int size);
    // The same for a decimal integer (optional sign, trailing text ignored).
    // 1 with *value set; 0 for a non-number (reported, the closing tag read,
    // *value untouched) or a failed read. The pointer form reports a null
    // destination.
    int read_data(int* value);
    int read_data(int& value) { return read_data(&value); }
    // Reads a CDATA section of hexadecimal digits into buffer, two digits a
    // byte, at most size bytes (more are dropped with a report), then skips
    // to the end of the element. The number of bytes stored; 0 on failure.
    int read_cdata(void* buffer, int size);
    // Skips everything up to and including the closing tag of the innermost
    // open element, children included.
    void skip_data();

    // The number of open elements, and the innermost one's name (or null).
    int depth() const { return stack_.size(); }
    const char* current_tag() const { return stack_.top(); }

private:
    int read_block(char* buffer, int size, int is_tag);
    int skip_to_open_bracket();
    int skip_chunk();
    void pop_stack_entry(const char* text);

    quon_xml_tag_stack stack_;
};

// Reads from an open standard I/O stream, which it does not own (fmemopen
// serves for text in memory). A null stream is reported at construction and
// reads as empty input.
class quon_xml_file_reader : public quon_xml_reader {
public:
    explicit quon_xml_file_reader(FILE* stream);
    int read_char() override;

private:
    FILE* stream_;
};

// Writes elements with two spaces of indentation per open element and closes
// them from its own stack of open tags, so a closing tag always names the
// element it closes. Output goes through write(); a subclass supplies the
// destination. Stream errors are not detected, except by write_header.
class quon_xml_writer {
public:
    quon_xml_writer() : depth_(0) {}
    quon_xml_writer(const quon_xml_writer&) = delete;
    quon_xml_writer& operator=(const quon_xml_writer&) = delete;

    // Writes text; the number of bytes written, negative on error.
    virtual int write(const char* text) = 0;
    // Frees whatever is still open; writes nothing (no closing tags).
    virtual ~quon_xml_writer() {}

    // Writes the header line. The number of bytes written, or 0 when the
    // write failed and the destination is not usable.
    int write_header();
    // Opens an element: indentation, "<", the escaped name, a space and the
    // attributes unescaped when attributes is not null, ">" and a line feed
    // when newline is non-zero.
    void write_tag(const char* name, int newline, const char* attributes = nullptr);
    // Element text with "<", ">" and "&" as entities, other bytes unchanged.
    void write_string(const char* text);
    // Closes the innermost element (name, when not null, is only checked
    // against it), indented when indent is non-zero, then a line feed. With
    // nothing open it writes "</_BOGUS_ENDING_TAG_>" and reports.
    void end_tag(const char* name, int indent);
    // "<name attributes />" and a line feed, indented; opens nothing.
    void write_empty_tag(const char* name, const char* attributes = nullptr);
    // count bytes as lower-case hexadecimal in a CDATA section, 32 a line.
    void write_cdata(const void* bytes, int count);
    void write_newline();

    int depth() const { return depth_; }

private:
    void write_indent(int levels);

    int depth_;
    quon_xml_tag_stack stack_;
};

// Writes to an open standard I/O stream, which it does not own
// (open_memstream serves for memory). A null stream is reported at
// construction and every write then fails.
class quon_xml_file_writer : public quon_xml_writer {
public:
    explicit quon_xml_file_writer(FILE* stream);
    int write(const char* text) override;

private:
    FILE* stream_;
};

#endif
