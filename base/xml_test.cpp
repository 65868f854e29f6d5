#include "base/xml.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/log.h"
#include "tests/support/test_support.h"

namespace {

// Input from memory, with a count of the bytes handed out.
class memory_reader : public quon_xml_reader {
public:
    explicit memory_reader(const std::string& text) : text_(text), at_(0) {}
    int read_char() override { return at_ < text_.size() ? (unsigned char)text_[at_++] : -1; }
    size_t consumed() const { return at_; }

private:
    std::string text_;
    size_t at_;
};

class memory_writer : public quon_xml_writer {
public:
    int write(const char* text) override
    {
        out += text;
        writes++;
        return (int)strlen(text);
    }
    std::string out;
    int writes = 0;
};

std::string pwarn(const std::string& text)
{
    return "quon_xml.pwarn " + text + "\n";
}

std::string perr(const std::string& text)
{
    return "quon_xml.perr " + text + "\n";
}

std::string sanity(const std::string& text)
{
    return "quon_xml.sanity " + text + "\n";
}

const std::string header_warning = "Warning in quon_xml_reader::check_xml_header_string(), ";

}  // namespace

TEST(xml, header_check)
{
    struct {
        const char* line;
        int accepted;
        std::string report;
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", 1, ""},
        {"<?XML version=\"1.0\" encoding=\"ISO-8859-1\"?>", 1, ""},
        {"<?xml encoding=\"x\" version=\"y\"?>\n", 1, ""},
        {"<?xml  version = \"\"  encoding=\"\"", 1, ""},
        {"<?xml version=\"1.0\"encoding=\"x\"?> anything", 1, ""},
        {"<?xml version='1.0' encoding='ISO-8859-1'?>", 0, "'version' tag found, but no opening version quote."},
        {"<?xml version \"1.0\"", 0, "'version' tag found, but no version."},
        {"<?xml version=\"1.0", 0, "'version' tag found, but no closing version quote."},
        {"<?xml encoding", 0, "'encoding' tag found, but no encoding."},
        {"<?xml encoding=1", 0, "'encoding' tag found, but no opening encoding quote."},
        {"<?xml encoding=\"1", 0, "'encoding' tag found, but no closing encoding quote."},
        {"<?xml encoding=\"ISO-8859-1\"?>", 0, "didn't get version."},
        {"<?xml version=\"1.0\"?>", 0, "didn't get encoding."},
        {"<?xml", 0, "didn't get either version or encoding."},
        {"<?xml version=\"1.0\" encoding=\"x\" standalone=\"yes\"?>", 0, "unknown tag found."},
        {"<?xml Version=\"1.0\" encoding=\"x\"?>", 0, "unknown tag found."},
        {"<?xml ?>", 0, "unknown tag found."},
        {"<?xml?> version=\"1.0\" encoding=\"x\"", 0, "missing opening '<?xml' tag."},
        {" <?xml version=\"1.0\" encoding=\"x\"", 0, "missing opening '<?xml' tag."},
        {"", 0, "missing opening '<?xml' tag."},
        {nullptr, 0, "missing opening '<?xml' tag."},
    };
    for (const auto& row : cases) {
        log_capture log;
        EXPECT_EQ(quon_xml_reader::check_xml_header_string(row.line), row.accepted) << row.line;
        EXPECT_EQ(log.text(), row.report.empty() ? "" : pwarn(header_warning + row.report)) << row.line;
    }
}

TEST(xml, reads_nested_elements_and_closes_them_in_order)
{
    log_capture log;
    memory_reader reader("<a>\n  <b>12</b>\n</a>\n");
    char tag[32];
    EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
    EXPECT_STREQ(tag, "a");
    EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
    EXPECT_STREQ(tag, "b");
    EXPECT_EQ(reader.depth(), 2);
    int value = 0;
    EXPECT_EQ(reader.read_data(value), 1);
    EXPECT_EQ(value, 12);
    EXPECT_STREQ(reader.current_tag(), "a");
    EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 0);
    EXPECT_STREQ(tag, "/a");
    EXPECT_EQ(reader.depth(), 0);
    EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 0);
    EXPECT_EQ(log.text(), "");
}

TEST(xml, tag_text_is_kept_whole_and_cut_to_the_buffer)
{
    log_capture log;
    char tag[5];
    memory_reader again("<item key=\"1\"><longname></longname></item key=\"1\">");
    char whole[32];
    EXPECT_EQ(again.read_tag(whole, sizeof(whole)), 1);
    EXPECT_STREQ(whole, "item key=\"1\"");
    EXPECT_EQ(again.read_tag(tag, sizeof(tag)), 1);
    EXPECT_STREQ(tag, "long");
    EXPECT_EQ(again.read_tag(whole, sizeof(whole)), 0);
    EXPECT_EQ(again.read_tag(whole, sizeof(whole)), 0);
    EXPECT_EQ(again.depth(), 0);
    // The cut name "long" was what was opened, so closing "longname" mismatches.
    EXPECT_EQ(log.text(), perr("Warning in quon_xml_reader::pop_stack_entry() - popped tag 'longname' did not "
                               "match expected tag 'long'."));
}

TEST(xml, read_data_decodes_entities_and_refuses_more_than_one_printable_line)
{
    struct {
        const char* name;
        std::string input;
        int result;
        std::string text;
        std::string report;
        int depth_after;
    } cases[] = {
        {"plain", "<v>hello world</v>", 1, "hello world", "", 0},
        {"empty", "<v></v>", 1, "", "", 0},
        {"entities", "<v>&amp;&lt;&gt;&quot;</v>", 1, "&<>&quot;",
         perr("Warning in quon_xml_reader::compact_string(), unknown '&' conversion found?"), 0},
        {"cut to the buffer", "<v>0123456789abcdefghijklmnop</v>", 1, "0123456789abcdefghijklm", "", 0},
        {"cut before decoding", "<v>0123456789012345678901&amp;</v>", 1, "0123456789012345678901&",
         perr("Warning in quon_xml_reader::compact_string(), unknown '&' conversion found?"), 0},
        {"tab", "<v>a\tb</v>", 0, "a\tb", "", 1},
        {"newline", "<v>a\nb</v>", 0, "a\nb", "", 1},
        {"binary byte", "<v>a\xff</v>", 0, "a\xff", "", 1},
        {"stray closing bracket", "<v>a>b</v>", 1, "a",
         perr("Warning in quon_xml_reader::read_block(), got second closing bracket?") +
             perr("Warning in quon_xml_reader::read_block(), got second open bracket?") +
             perr("Warning in quon_xml_reader::pop_stack_entry() - got bad closing tag 'b'?") +
             perr("Warning in quon_xml_reader::pop_stack_entry() - popped tag 'b' did not match expected tag 'v'."),
         0},
        {"end of input", "<v>abc", 0, "abc",
         perr("Warning in quon_xml_reader::read_block(), file corruption - got EOF before trailing bracket."), 1},
    };
    for (const auto& row : cases) {
        log_capture log;
        memory_reader reader(row.input);
        char tag[8];
        ASSERT_EQ(reader.read_tag(tag, sizeof(tag)), 1) << row.name;
        char text[24];
        EXPECT_EQ(reader.read_data(text, sizeof(text)), row.result) << row.name;
        EXPECT_EQ(std::string(text), row.text) << row.name;
        EXPECT_EQ(log.text(), row.report) << row.name;
        EXPECT_EQ(reader.depth(), row.depth_after) << row.name;
    }
}

TEST(xml, read_data_of_an_integer)
{
    struct {
        const char* input;
        int result;
        int value;
        std::string report;
    } cases[] = {
        {"<n>+7</n>", 1, 7, ""},
        {"<n>-2147483648</n>", 1, -2147483647 - 1, ""},
        {"<n>12 apples</n>", 1, 12, ""},
        {"<n>x1</n>", 0, 99, perr("Warning in quon_xml_reader::read_data(int) - got non-number'x1'.")},
        {"<n>9999999999</n>", 0, 99, perr("Warning in quon_xml_reader::read_data(int) - got non-number'9999999999'.")},
        {"<n></n>", 0, 99, perr("Warning in quon_xml_reader::read_data(int) - got non-number''.")},
    };
    for (const auto& row : cases) {
        log_capture log;
        memory_reader reader(row.input);
        char tag[8];
        ASSERT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
        int value = 99;
        EXPECT_EQ(reader.read_data(value), row.result) << row.input;
        EXPECT_EQ(value, row.value) << row.input;
        EXPECT_EQ(reader.depth(), 0) << row.input;
        EXPECT_EQ(log.text(), row.report) << row.input;
    }

    log_capture log;
    memory_reader reader("<n>1</n>");
    EXPECT_EQ(reader.read_data(nullptr), 0);
    EXPECT_EQ(reader.consumed(), 0u);
    EXPECT_EQ(log.text(), sanity("Error in quon_xml_reader::read_data(int), NULL dest?"));
}

TEST(xml, closing_tags_that_do_not_fit_the_stack)
{
    log_capture log;
    memory_reader reader("</stray>\n<a></b>\n<c>");
    char tag[16];
    EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 0);
    EXPECT_EQ(reader.depth(), 0);
    EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
    EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 0);
    EXPECT_EQ(reader.depth(), 0);
    EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
    EXPECT_STREQ(tag, "c");
    EXPECT_EQ(log.text(),
              perr("Warning in quon_xml_reader::pop_stack_entry() - got closing tag 'stray' with no tag open.") +
                  perr("Warning in quon_xml_reader::pop_stack_entry() - popped tag 'b' did not match expected "
                       "tag 'a'."));
}

TEST(xml, skip_data_passes_over_one_element_and_its_children)
{
    log_capture log;
    memory_reader reader("<x>\n <y><!-- note --><z>1</z></y>\n</x>\n<next>");
    char tag[16];
    ASSERT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
    reader.skip_data();
    EXPECT_EQ(reader.depth(), 0);
    EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
    EXPECT_STREQ(tag, "next");
    EXPECT_EQ(log.text(), "");

    memory_reader inner("<outer><x>data</x><after>");
    ASSERT_EQ(inner.read_tag(tag, sizeof(tag)), 1);
    ASSERT_EQ(inner.read_tag(tag, sizeof(tag)), 1);
    inner.skip_data();
    EXPECT_STREQ(inner.current_tag(), "outer");
    EXPECT_EQ(inner.read_tag(tag, sizeof(tag)), 1);
    EXPECT_STREQ(tag, "after");
}

TEST(xml, skip_data_reports_misuse_and_truncated_input)
{
    struct {
        const char* input;
        int open_first;
        std::string report;
    } cases[] = {
        {"<x>", 0,
         sanity("Error in quon_xml_reader::skip_data() - you must read at least the opening tag before skipping "
                "data.")},
        {"<x> a > b", 1,
         perr("Warning in quon_xml_reader::skip_chunk(), got closing bracket?") +
             perr("Warning in quon_xml_reader::skip_data() - unable to read chunk?")},
        {"<x><y\n>", 1, perr("Warning in quon_xml_reader::skip_data() - unable to read block?")},
    };
    for (const auto& row : cases) {
        log_capture log;
        memory_reader reader(row.input);
        char tag[8];
        if (row.open_first) {
            ASSERT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
        }
        reader.skip_data();
        EXPECT_EQ(log.text(), row.report) << row.input;
    }
}

TEST(xml, read_cdata_collects_hex_digits_into_bytes)
{
    log_capture log;
    memory_reader reader("<d>\n<![CDATA[\n0a0B\nff\n]]>\n</d>\n<e>");
    char tag[8];
    ASSERT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
    unsigned char bytes[8] = {0};
    EXPECT_EQ(reader.read_cdata(bytes, sizeof(bytes)), 3);
    EXPECT_EQ(bytes[0], 0x0a);
    EXPECT_EQ(bytes[1], 0x0b);
    EXPECT_EQ(bytes[2], 0xff);
    EXPECT_EQ(reader.depth(), 0);
    EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
    EXPECT_STREQ(tag, "e");
    EXPECT_EQ(log.text(), "");
}

TEST(xml, read_cdata_limits_and_faults)
{
    struct {
        const char* name;
        const char* input;
        int size;
        int result;
        std::string report;
    } cases[] = {
        {"exact room", "<d><![CDATA[0102]]></d>", 2, 2, ""},
        {"one byte of room", "<d><![CDATA[01]]></d>", 1, 1, ""},
        {"unpaired digit dropped", "<d><![CDATA[010]]></d>", 4, 1, ""},
        {"more data than room", "<d><![CDATA[010203]]></d>", 2, 2,
         perr("Warning in quon_xml_reader::read_cdata(), more data than room, kept the first 2 bytes.")},
        {"no header", "<d><data>0102</data></d>", 4, 0,
         perr("Warning in quon_xml_reader::read_cdata(), did not get ![CDATA[ header.")},
        {"end inside the header", "<d><![CD", 4, 0, ""},
        {"end inside the data", "<d><![CDATA[0102", 4, 0, ""},
    };
    for (const auto& row : cases) {
        log_capture log;
        memory_reader reader(row.input);
        char tag[8];
        ASSERT_EQ(reader.read_tag(tag, sizeof(tag)), 1) << row.name;
        std::vector<unsigned char> bytes(row.size);
        EXPECT_EQ(reader.read_cdata(bytes.data(), row.size), row.result) << row.name;
        if (row.result) {
            EXPECT_EQ(bytes[0], 1) << row.name;
            EXPECT_EQ(reader.depth(), 0) << row.name;
        }
        EXPECT_EQ(log.text(), row.report) << row.name;
    }
}

TEST(xml, null_destinations_and_sizes_are_reported)
{
    log_capture log;
    memory_reader reader("<a>1</a>");
    char buffer[4];
    EXPECT_EQ(reader.read_tag(nullptr, 4), 0);
    EXPECT_EQ(reader.read_tag(buffer, 0), 0);
    EXPECT_EQ(reader.read_data(nullptr, 4), 0);
    EXPECT_EQ(reader.read_data(buffer, -1), 0);
    EXPECT_EQ(reader.read_cdata(nullptr, 4), 0);
    EXPECT_EQ(reader.read_cdata(buffer, 0), 0);
    EXPECT_EQ(reader.consumed(), 0u);
    EXPECT_EQ(log.text(), sanity("Error in quon_xml_reader::read_tag(), NULL dest?") +
                              sanity("Error in quon_xml_reader::read_tag(), dest is too small?") +
                              sanity("Error in quon_xml_reader::read_data(char[]), NULL dest?") +
                              sanity("Error in quon_xml_reader::read_data(char[]), dest is too small?") +
                              sanity("Error in quon_xml_reader::read_cdata(), NULL dest?") +
                              sanity("Error in quon_xml_reader::read_cdata(), dest is too small?"));
}

TEST(xml, file_reader_reads_a_stream_and_survives_a_null_one)
{
    std::string text = "<a>\n  <b>x &amp; y</b>\n</a>\n";
    FILE* stream = fmemopen(&text[0], text.size(), "r");
    ASSERT_TRUE(stream);
    {
        quon_xml_file_reader reader(stream);
        char tag[8];
        char data[16];
        EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
        EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 1);
        EXPECT_EQ(reader.read_data(data, sizeof(data)), 1);
        EXPECT_STREQ(data, "x & y");
        EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 0);
        EXPECT_EQ(reader.read_tag(tag, sizeof(tag)), 0);
        EXPECT_EQ(reader.read_char(), -1);
    }
    fclose(stream);

    log_capture log;
    quon_xml_file_reader none(nullptr);
    char tag[8];
    EXPECT_EQ(none.read_tag(tag, sizeof(tag)), 0);
    EXPECT_EQ(log.text(),
              "quon_xml.hardfail Error in quon_xml_file_reader::quon_xml_file_reader(), NULL file handle.\n");
}

// Arbitrary bytes and calls in any order must never make the reader write
// outside its buffers (each is a heap block of exactly its size) or stall.
TEST(xml, hostile_input_stays_inside_the_buffers)
{
    const char alphabet[] = "<<>>//&&!![]CDATA;ltgamp09af \t\n\r\x01\x7f\x80\xff";
    unsigned int seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7fff;
    };
    std::vector<std::string> inputs = {std::string(200000, 'a'), std::string(200000, '<'), std::string(50000, '>'),
                                       "<" + std::string(5000, 'n') + ">" + std::string(3000, 'd') + "</" +
                                           std::string(5000, 'n') + ">"};
    for (int i = 0; i < 400; i++) {
        std::string text;
        int length = (int)(next() % 300);
        for (int j = 0; j < length; j++)
            text += alphabet[next() % (sizeof(alphabet) - 1)];
        inputs.push_back(text);
    }
    int saved = logging_enabled;
    logging_enabled = 0;
    for (const std::string& input : inputs) {
        memory_reader reader(input);
        for (int step = 0; reader.consumed() < input.size() && step < 100000; step++) {
            size_t before = reader.consumed();
            int size = 1 + (int)(next() % 12);
            std::vector<char> buffer(size);
            int value;
            switch (next() % 5) {
            case 0:
            case 1:
                reader.read_tag(buffer.data(), size);
                break;
            case 2:
                reader.read_data(buffer.data(), size);
                break;
            case 3:
                reader.read_data(value);
                break;
            default:
                if (reader.depth() > 0)
                    reader.skip_data();
                else
                    reader.read_cdata(buffer.data(), size);
            }
            ASSERT_GT(reader.consumed(), before);
        }
        EXPECT_EQ(reader.consumed(), input.size());
    }
    logging_enabled = saved;
}

TEST(xml, writer_bytes)
{
    memory_writer writer;
    EXPECT_EQ(writer.write_header(), 44);
    writer.write_tag("c", 1);
    writer.write_tag("v", 0);
    writer.write_string("a<b");
    writer.end_tag(nullptr, 0);
    writer.write_tag("w", 0, "k=\"<1>\"");
    writer.write_string("\"q\" & \xe9");
    writer.end_tag("w", 0);
    writer.write_empty_tag("e", "x=\"1\"");
    writer.write_empty_tag("f");
    writer.write_tag("inner", 1);
    writer.write_empty_tag("g");
    writer.end_tag("inner", 1);
    writer.end_tag("c", 1);
    writer.write_newline();
    EXPECT_EQ(writer.depth(), 0);
    EXPECT_EQ(writer.out,
              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
              "<c>\n"
              "  <v>a&lt;b</v>\n"
              "  <w k=\"<1>\">\"q\" &amp; \xe9</w>\n"
              "  <e x=\"1\" />\n"
              "  <f />\n"
              "  <inner>\n"
              "    <g />\n"
              "  </inner>\n"
              "</c>\n"
              "\n");
}

TEST(xml, writer_cdata_lines)
{
    std::vector<unsigned char> bytes(33);
    for (int i = 0; i < 33; i++)
        bytes[i] = (unsigned char)(i * 8);
    struct {
        int count;
        std::string out;
    } cases[] = {
        {0, "<![CDATA[\n]]>\n"},
        {3, "<![CDATA[\n000810\n]]>\n"},
        {32, "<![CDATA[\n0008101820283038404850586068707880889098a0a8b0b8c0c8d0d8e0e8f0f8\n]]>\n"},
        {33, "<![CDATA[\n0008101820283038404850586068707880889098a0a8b0b8c0c8d0d8e0e8f0f8\n00\n]]>\n"},
    };
    for (const auto& row : cases) {
        memory_writer writer;
        writer.write_cdata(bytes.data(), row.count);
        EXPECT_EQ(writer.out, row.out) << row.count;
    }
}

TEST(xml, writer_misuse_is_reported_and_keeps_the_output_well_formed)
{
    log_capture log;
    memory_writer writer;
    writer.end_tag("a", 1);
    EXPECT_EQ(writer.depth(), 0);
    writer.write_tag("a", 1);
    writer.write_tag("b", 0);
    writer.end_tag("wrong", 0);
    writer.write_tag(nullptr, 0);
    writer.write_string(nullptr);
    writer.write_empty_tag(nullptr);
    writer.write_cdata(nullptr, 3);
    writer.end_tag(nullptr, 1);
    EXPECT_EQ(writer.out,
              "</_BOGUS_ENDING_TAG_>\n"
              "<a>\n"
              "  <b></b>\n"
              "</a>\n");
    EXPECT_EQ(log.text(), sanity("Error in quon_xml_writer::end_tag(), tag stack empty.\n") +
                              perr("Warning in quon_xml_writer::end_tag(), tried to close wrong tag.\n") +
                              sanity("Error in quon_xml_writer::write_tag(), NULL tag.\n") +
                              sanity("Error in quon_xml_writer::write_string(), NULL data.\n") +
                              sanity("Error in quon_xml_writer::write_empty_tag(), NULL tag.\n") +
                              sanity("Error in quon_xml_writer::write_cdata(), NULL data.\n"));
}

TEST(xml, file_writer_output_reads_back)
{
    char* memory = nullptr;
    size_t length = 0;
    FILE* stream = open_memstream(&memory, &length);
    ASSERT_TRUE(stream);
    std::string long_name(1500, 'n');
    const unsigned char blob[] = {0x00, 0x7f, 0x80, 0xff};
    {
        quon_xml_file_writer writer(stream);
        ASSERT_GT(writer.write_header(), 0);
        writer.write_tag("launcher_config", 1);
        writer.write_tag("text", 0);
        writer.write_string("1 < 2 & 3 > 2");
        writer.end_tag(nullptr, 0);
        writer.write_tag("number", 0);
        writer.write_string("-42");
        writer.end_tag(nullptr, 0);
        writer.write_tag(long_name.c_str(), 0);
        writer.end_tag(nullptr, 0);
        writer.write_tag("blob", 1);
        writer.write_cdata(blob, sizeof(blob));
        writer.end_tag(nullptr, 1);
        writer.end_tag(nullptr, 1);
        writer.write_newline();
    }
    fclose(stream);
    std::string written(memory, length);
    free(memory);
    EXPECT_NE(written.find("</" + long_name + ">"), std::string::npos);

    log_capture log;
    size_t line_end = written.find('\n');
    EXPECT_EQ(quon_xml_reader::check_xml_header_string(written.substr(0, line_end).c_str()), 1);
    memory_reader reader(written.substr(line_end + 1));
    std::vector<char> tag(2000);
    char text[64];
    int number = 0;
    unsigned char bytes[8];
    ASSERT_EQ(reader.read_tag(tag.data(), (int)tag.size()), 1);
    ASSERT_EQ(reader.read_tag(tag.data(), (int)tag.size()), 1);
    EXPECT_EQ(reader.read_data(text, sizeof(text)), 1);
    EXPECT_STREQ(text, "1 < 2 & 3 > 2");
    ASSERT_EQ(reader.read_tag(tag.data(), (int)tag.size()), 1);
    EXPECT_EQ(reader.read_data(number), 1);
    EXPECT_EQ(number, -42);
    ASSERT_EQ(reader.read_tag(tag.data(), (int)tag.size()), 1);
    EXPECT_EQ(reader.read_data(text, sizeof(text)), 1);
    ASSERT_EQ(reader.read_tag(tag.data(), (int)tag.size()), 1);
    EXPECT_STREQ(tag.data(), "blob");
    EXPECT_EQ(reader.read_cdata(bytes, sizeof(bytes)), 4);
    EXPECT_EQ(memcmp(bytes, blob, sizeof(blob)), 0);
    EXPECT_EQ(reader.read_tag(tag.data(), (int)tag.size()), 0);
    EXPECT_EQ(reader.depth(), 0);
    EXPECT_EQ(log.text(), "");
}

TEST(xml, file_writer_on_an_unusable_stream)
{
    log_capture log;
    {
        quon_xml_file_writer none(nullptr);
        EXPECT_EQ(none.write_header(), 0);
        none.write_tag("a", 0);
    }
    EXPECT_EQ(log.text(),
              "quon_xml.hardfail Error in quon_xml_file_writer::quon_xml_file_writer(), NULL file handle.\n\n");

    char input[] = "read only";
    FILE* stream = fmemopen(input, sizeof(input) - 1, "r");
    ASSERT_TRUE(stream);
    quon_xml_file_writer writer(stream);
    EXPECT_EQ(writer.write_header(), 0);
    fclose(stream);
}
