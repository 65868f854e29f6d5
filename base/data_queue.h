#ifndef BRIMVALE_BASE_DATA_QUEUE_H
#define BRIMVALE_BASE_DATA_QUEUE_H

#include <stdint.h>

class quon_string_buffer;

// One link of a queue: a fixed block of payload. Blocks come from a
// process-wide pool (guarded by a mutex, so threads may each own a queue)
// and go back to it; the pool only grows and never returns memory.
struct private_socket_queue_buffer {
    enum { data_size = 4072 };  // full when write_position reaches this

    int32_t write_position;  // bytes written, 0 to data_size
    int32_t read_position;   // bytes consumed, 0 to write_position
    private_socket_queue_buffer* next;  // next in the queue, or next free in the pool
    char data[data_size];
};

// Buffers currently free in the pool (for tests and statistics).
int quon_data_queue_pool_free_count();

// A first-in first-out byte queue made of pool buffers, owned by one thread
// at a time. The owner sets buffer_limit at construction (below 1: no
// limit); a byte that would need a buffer beyond the limit is refused and
// sets refused until a buffer is added or released. Reports go to the log
// under quon_socket. Destruction hands any buffers still held to the pool.
class quon_data_queue {
public:
    explicit quon_data_queue(int32_t limit = -1);
    ~quon_data_queue();
    quon_data_queue(const quon_data_queue&) = delete;
    quon_data_queue& operator=(const quon_data_queue&) = delete;

    // 1 when appended, 0 when no buffer could be added.
    int put_byte(unsigned char b);
    // The number of bytes appended before the first refusal.
    int put_bytes(const void* data, int count);
    // The characters of text without its terminator; the number appended.
    int put_string(const char* text);
    // Moves up to count bytes from the front into destination; the number moved.
    int read_block(void* destination, int count);
    // True when no buffer holds unread bytes.
    bool is_empty() const;
    // Returns every buffer to the pool; the limit stays, all else is reset.
    void clear();
    // The owner's teardown: every buffer goes back to the pool.
    void release_all();

    // Consumes up to and including the next newline; line receives the
    // bytes before it (cut at 5998 characters, with a report). Returns the
    // number of non-newline bytes consumed.
    int get_line(quon_string_buffer& line);
    // Copies every queued byte into text without consuming anything. 1 when
    // all fitted; 0 at a zero byte, when text fills, or for an empty head.
    int copy_text_without_remove(quon_string_buffer& text) const;
    // Unread bytes over all buffers.
    int bytes_available() const;
    // Bytes that may still be appended under the limit; -1 without a limit.
    int get_remaining_space() const;

    private_socket_queue_buffer* head;  // oldest buffer, read side
    // Buffer being written; null when there is none or it has just filled.
    private_socket_queue_buffer* tail;
    int32_t buffer_limit;
    int32_t buffer_count;
    int32_t refused;

private:
    int try_create_new_buffer();
    // Takes the used-up full head off the queue and returns it to the pool.
    void release_head();

    private_socket_queue_buffer* last_;  // last buffer of the list, full or not
};

#endif
