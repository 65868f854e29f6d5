#include "base/data_queue.h"

#include <mutex>
#include <stdlib.h>
#include <string.h>

#include "base/log.h"
#include "base/string_buffer.h"

namespace {

const int32_t buffer_size = private_socket_queue_buffer::data_size;

// The free list is shared by every queue of the process; only taking and
// returning buffers lock, never the byte paths.
std::mutex pool_mutex;
private_socket_queue_buffer* pool_free_list = nullptr;
int pool_free_buffers = 0;

private_socket_queue_buffer* pool_get_buffer()
{
    private_socket_queue_buffer* buffer = nullptr;
    {
        std::lock_guard<std::mutex> lock(pool_mutex);
        buffer = pool_free_list;
        if (buffer) {
            pool_free_list = buffer->next;
            pool_free_buffers--;
        }
    }
    if (!buffer)
        buffer = (private_socket_queue_buffer*)malloc(sizeof(private_socket_queue_buffer));
    if (!buffer)
        return nullptr;
    buffer->write_position = 0;
    buffer->read_position = 0;
    buffer->next = nullptr;
    buffer->data[0] = 0;
    return buffer;
}

// Hands back the chain first..last of count buffers in one locked step.
void pool_return_chain(private_socket_queue_buffer* first, private_socket_queue_buffer* last, int count)
{
    std::lock_guard<std::mutex> lock(pool_mutex);
    last->next = pool_free_list;
    pool_free_list = first;
    pool_free_buffers += count;
}

void report(const char* text, int levels)
{
    quon_log(text, levels, QUON_SOCKET);
}

// True when one more character would make text count as cut.
inline bool string_full(const quon_string_buffer& text)
{
    return text.length() >= text.capacity() - 1;
}

}  // namespace

int quon_data_queue_pool_free_count()
{
    std::lock_guard<std::mutex> lock(pool_mutex);
    return pool_free_buffers;
}

quon_data_queue::quon_data_queue(int32_t limit)
    : head(nullptr), tail(nullptr), buffer_limit(limit), buffer_count(0), refused(0), last_(nullptr)
{
}

quon_data_queue::~quon_data_queue()
{
    release_all();
}

int quon_data_queue::try_create_new_buffer()
{
    if (buffer_limit >= 1 && buffer_count >= buffer_limit) {
        refused = 1;
        return 0;
    }
    private_socket_queue_buffer* buffer = pool_get_buffer();
    if (!buffer) {
        report("Error in quon_data_queue::try_create_new_buffer(), memory allocation fail in "
               "private_socket_queue_buffer::get_buffer().",
               QUON_LOG_HARDFAIL);
        return 0;
    }
    tail = buffer;
    refused = 0;
    if (head && last_)
        last_->next = buffer;
    else
        head = buffer;
    last_ = buffer;
    buffer_count++;
    return 1;
}

void quon_data_queue::release_head()
{
    private_socket_queue_buffer* used = head;
    head = used->next;
    if (tail == used)
        tail = nullptr;
    if (!head)
        last_ = nullptr;
    buffer_count--;
    refused = 0;
    pool_return_chain(used, used, 1);
}

int quon_data_queue::put_byte(unsigned char b)
{
    if (!tail && !try_create_new_buffer())
        return 0;
    tail->data[tail->write_position++] = (char)b;
    if (tail->write_position == buffer_size)
        tail = nullptr;
    return 1;
}

int quon_data_queue::put_bytes(const void* data, int count)
{
    const char* in = (const char*)data;
    int done = 0;
    while (in && done < count) {
        if (!tail && !try_create_new_buffer())
            break;
        int run = buffer_size - tail->write_position;
        if (run > count - done)
            run = count - done;
        memcpy(tail->data + tail->write_position, in + done, (size_t)run);
        tail->write_position += run;
        done += run;
        if (tail->write_position == buffer_size)
            tail = nullptr;
    }
    return done;
}

int quon_data_queue::put_string(const char* text)
{
    if (!text)
        return 0;
    return put_bytes(text, (int)strnlen(text, 0x7fffffff));
}

int quon_data_queue::read_block(void* destination, int count)
{
    if (!head)
        return 0;
    if (head->read_position == head->write_position) {
        if (head->next)
            report("Warning in quon_data_queue::read_block(), top buffer empty in list of other buffers.", QUON_LOG_SANITY);
        return 0;
    }
    char* out = (char*)destination;
    int copied = 0;
    while (out && copied < count) {
        int run = head->write_position - head->read_position;
        if (run > count - copied)
            run = count - copied;
        memcpy(out + copied, head->data + head->read_position, (size_t)run);
        head->read_position += run;
        copied += run;
        if (head->read_position < head->write_position)
            break;
        if (head->write_position < buffer_size) {
            // The buffer still being written: the queue is now empty.
            if (head->next)
                report("Warning in quon_data_queue::read_block(), more buffers in list than expected.", QUON_LOG_SANITY);
            break;
        }
        release_head();
        if (!head)
            break;
    }
    return copied;
}

bool quon_data_queue::is_empty() const
{
    return !head || (!head->next && head->read_position == head->write_position);
}

void quon_data_queue::release_all()
{
    if (head) {
        private_socket_queue_buffer* last = head;
        int count = 1;
        while (last->next) {
            last = last->next;
            count++;
        }
        pool_return_chain(head, last, count);
    }
    // The tail and the count go too: left behind, the next put_byte would
    // write into a buffer that now belongs to the pool.
    head = nullptr;
    tail = nullptr;
    last_ = nullptr;
    buffer_count = 0;
}

void quon_data_queue::clear()
{
    release_all();
    refused = 0;
}

int quon_data_queue::get_line(quon_string_buffer& line)
{
    line.clear();
    if (!head)
        return 0;
    if (head->read_position == head->write_position && head->next) {
        report("Warning in quon_data_queue::get_line(), top buffer empty in list of other buffers.", QUON_LOG_SANITY);
        return 0;
    }
    int consumed = 0;
    while (head) {
        const char* begin = head->data + head->read_position;
        int available = head->write_position - head->read_position;
        const char* newline = (const char*)memchr(begin, '\n', (size_t)available);
        int run = newline ? (int)(newline - begin) : available;
        int room = string_full(line) ? 0 : line.capacity() - 1 - line.length();
        bool cut = run > room;
        if (cut)
            run = room;
        for (int i = 0; i < run; i++)
            line.append_char(begin[i]);
        head->read_position += run;
        consumed += run;
        if (cut) {
            report("Warning in quon_data_queue::get_line(), dest buffer full.", QUON_LOG_SANITY);
            return consumed;
        }
        if (newline)
            head->read_position++;
        if (head->read_position < head->write_position || head->write_position < buffer_size)
            return consumed;
        release_head();
        if (newline)
            return consumed;
    }
    return consumed;
}

int quon_data_queue::copy_text_without_remove(quon_string_buffer& text) const
{
    text.clear();
    if (!head)
        return 1;
    if (head->read_position == head->write_position) {
        if (head->next)
            report("Warning in quon_data_queue::copy_text_without_remove(), top buffer empty in list of other buffers.",
                   QUON_LOG_SANITY);
        return 0;
    }
    for (const private_socket_queue_buffer* buffer = head; buffer; buffer = buffer->next) {
        for (int32_t i = buffer->read_position; i < buffer->write_position; i++) {
            char c = buffer->data[i];
            if (!c) {
                report("Warning in quon_data_queue::copy_text_without_remove(), bailing on data zero.", QUON_LOG_SANITY);
                return 0;
            }
            if (string_full(text)) {
                report("Warning in quon_data_queue::copy_text_without_remove(), dest buffer full.", QUON_LOG_SANITY);
                return 0;
            }
            text.append_char(c);
        }
    }
    return 1;
}

int quon_data_queue::bytes_available() const
{
    int64_t total = 0;
    for (const private_socket_queue_buffer* buffer = head; buffer; buffer = buffer->next)
        total += buffer->write_position - buffer->read_position;
    return total > 0x7fffffff ? 0x7fffffff : (int)total;
}

int quon_data_queue::get_remaining_space() const
{
    // A limit of 0 means no limit as much as a negative one does.
    if (buffer_limit < 1)
        return -1;
    int64_t space = (int64_t)buffer_limit * buffer_size;
    for (const private_socket_queue_buffer* buffer = head; buffer; buffer = buffer->next)
        space -= buffer->write_position;
    if (space < 0) {
        report("Warning in quon_data_queue::get_remaining_space(), negative available space?", QUON_LOG_SANITY);
        return 0;
    }
    return space > 0x7fffffff ? 0x7fffffff : (int)space;
}
