#include "base/data_queue.h"

#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/string_buffer.h"
#include "tests/support/test_support.h"

namespace {

const int full = private_socket_queue_buffer::data_size;

std::string drain(quon_data_queue& queue)
{
    std::string out;
    char block[1000];
    int n;
    while ((n = queue.read_block(block, sizeof(block))) > 0)
        out.append(block, (size_t)n);
    return out;
}

}  // namespace

TEST(data_queue, a_buffer_holds_4072_bytes_and_the_next_byte_starts_another)
{
    quon_data_queue queue;
    for (int i = 0; i < full; i++)
        ASSERT_EQ(queue.put_byte((unsigned char)i), 1);
    EXPECT_EQ(queue.buffer_count, 1);
    EXPECT_EQ(queue.tail, nullptr);
    EXPECT_EQ(queue.put_byte('x'), 1);
    EXPECT_EQ(queue.buffer_count, 2);
    EXPECT_EQ(queue.bytes_available(), full + 1);

    quon_data_queue bulk;
    std::string bytes(2 * full + 5, 'b');
    EXPECT_EQ(bulk.put_bytes(bytes.data(), (int)bytes.size()), (int)bytes.size());
    EXPECT_EQ(bulk.buffer_count, 3);
    EXPECT_EQ(drain(bulk), bytes);
    EXPECT_EQ(bulk.put_string(""), 0);
    EXPECT_EQ(bulk.put_string(nullptr), 0);
    EXPECT_EQ(bulk.put_string("abc"), 3);
    EXPECT_EQ(drain(bulk), "abc");
}

TEST(data_queue, a_limit_refuses_until_a_buffer_is_released)
{
    quon_data_queue queue(1);
    std::string bytes(full, 'q');
    ASSERT_EQ(queue.put_bytes(bytes.data(), full), full);
    EXPECT_EQ(queue.put_byte('r'), 0);
    EXPECT_EQ(queue.refused, 1);
    EXPECT_EQ(queue.put_bytes("rs", 2), 0);
    EXPECT_EQ(queue.get_remaining_space(), 0);

    int pooled = quon_data_queue_pool_free_count();
    std::vector<char> out(full + 10);
    EXPECT_EQ(queue.read_block(out.data(), full + 10), full);
    EXPECT_EQ(quon_data_queue_pool_free_count(), pooled + 1);
    EXPECT_EQ(queue.buffer_count, 0);
    EXPECT_EQ(queue.refused, 0);
    EXPECT_TRUE(queue.is_empty());
    EXPECT_EQ(queue.put_byte('r'), 1);
    EXPECT_EQ(queue.get_remaining_space(), full - 1);
    EXPECT_EQ(drain(queue), "r");
}

TEST(data_queue, a_short_read_leaves_the_head_in_place_for_new_bytes)
{
    quon_data_queue queue;
    EXPECT_TRUE(queue.is_empty());
    char out[10];
    EXPECT_EQ(queue.read_block(out, 10), 0);
    queue.put_string("abcd");
    EXPECT_FALSE(queue.is_empty());
    EXPECT_EQ(queue.read_block(out, 10), 4);
    EXPECT_TRUE(queue.is_empty());
    ASSERT_NE(queue.head, nullptr);
    EXPECT_EQ(queue.buffer_count, 1);
    queue.put_string("ef");
    EXPECT_EQ(queue.buffer_count, 1);
    EXPECT_EQ(drain(queue), "ef");
}

// Random write and read sizes across many buffers keep every byte in order.
TEST(data_queue, random_traffic_matches_a_reference_fifo)
{
    std::mt19937 random(99);
    quon_data_queue queue;
    std::deque<char> model;
    std::vector<char> block(3 * full);
    for (int step = 0; step < 3000; step++) {
        int n = (int)(random() % block.size());
        if (random() % 2) {
            for (int i = 0; i < n; i++)
                block[i] = (char)random();
            if (random() % 4 == 0) {
                for (int i = 0; i < n; i++)
                    ASSERT_EQ(queue.put_byte((unsigned char)block[i]), 1);
            } else {
                ASSERT_EQ(queue.put_bytes(block.data(), n), n);
            }
            model.insert(model.end(), block.begin(), block.begin() + n);
        } else {
            int got = queue.read_block(block.data(), n);
            ASSERT_EQ(got, std::min(n, (int)model.size())) << step;
            ASSERT_TRUE(std::equal(block.begin(), block.begin() + got, model.begin())) << step;
            model.erase(model.begin(), model.begin() + got);
        }
        ASSERT_EQ(queue.bytes_available(), (int)model.size()) << step;
        ASSERT_EQ(queue.is_empty(), model.empty()) << step;
        ASSERT_LE(queue.buffer_count, (int)model.size() / full + 2) << step;
    }
}

TEST(data_queue, clear_and_release_all_hand_every_buffer_back)
{
    quon_data_queue queue(5);
    std::string bytes(3 * full - 1, 'c');
    queue.put_bytes(bytes.data(), (int)bytes.size());
    queue.refused = 1;
    int pooled = quon_data_queue_pool_free_count();
    queue.clear();
    EXPECT_EQ(quon_data_queue_pool_free_count(), pooled + 3);
    EXPECT_EQ(queue.head, nullptr);
    EXPECT_EQ(queue.tail, nullptr);
    EXPECT_EQ(queue.buffer_count, 0);
    EXPECT_EQ(queue.refused, 0);
    EXPECT_EQ(queue.buffer_limit, 5);

    // A queue written after release_all must not touch the pooled buffers.
    queue.put_string("partly filled");
    queue.release_all();
    EXPECT_EQ(queue.head, nullptr);
    EXPECT_EQ(queue.tail, nullptr);
    EXPECT_EQ(queue.put_string("fresh"), 5);
    EXPECT_EQ(queue.buffer_count, 1);
    EXPECT_EQ(drain(queue), "fresh");
}

TEST(data_queue, get_line_splits_at_newlines_across_buffers)
{
    log_capture log;
    quon_data_queue queue;
    std::string spanning(full - 2, 's');
    queue.put_string("ab\n\ncd");
    queue.put_string("e\n");
    queue.put_string((spanning + "\ntail").c_str());
    quon_string_buffer line;
    EXPECT_EQ(queue.get_line(line), 2);
    EXPECT_STREQ(line.c_str(), "ab");
    EXPECT_EQ(queue.get_line(line), 0);
    EXPECT_STREQ(line.c_str(), "");
    EXPECT_EQ(queue.get_line(line), 3);
    EXPECT_STREQ(line.c_str(), "cde");
    EXPECT_EQ(queue.get_line(line), (int)spanning.size());
    EXPECT_EQ(line.c_str(), spanning);
    EXPECT_EQ(queue.get_line(line), 4);
    EXPECT_STREQ(line.c_str(), "tail");
    EXPECT_EQ(queue.get_line(line), 0);
    EXPECT_TRUE(queue.is_empty());

    std::string huge(7000, 'h');
    queue.put_string(huge.c_str());
    EXPECT_EQ(queue.get_line(line), line.capacity() - 1);
    EXPECT_FALSE(line.overflowed());
    EXPECT_TRUE(log.contains("quon_socket.sanity Warning in quon_data_queue::get_line(), dest buffer full.\n"));
    EXPECT_EQ(queue.bytes_available(), 7000 - (line.capacity() - 1));
}

TEST(data_queue, copy_text_without_remove_and_space_reports)
{
    log_capture log;
    quon_string_buffer text;
    quon_data_queue queue(2);
    EXPECT_EQ(queue.copy_text_without_remove(text), 1);
    EXPECT_EQ(queue.get_remaining_space(), 2 * full);
    std::string bytes(full + 10, 't');
    queue.put_bytes(bytes.data(), (int)bytes.size());
    EXPECT_EQ(queue.copy_text_without_remove(text), 1);
    EXPECT_EQ(text.c_str(), bytes);
    EXPECT_EQ(queue.bytes_available(), full + 10);
    EXPECT_EQ(queue.get_remaining_space(), full - 10);

    queue.put_byte(0);
    EXPECT_EQ(queue.copy_text_without_remove(text), 0);
    EXPECT_TRUE(log.contains("quon_socket.sanity Warning in quon_data_queue::copy_text_without_remove(), bailing on data zero.\n"));
    drain(queue);
    EXPECT_EQ(queue.copy_text_without_remove(text), 0);

    quon_data_queue unlimited;
    EXPECT_EQ(unlimited.get_remaining_space(), -1);
    quon_data_queue zero_limit(0);
    zero_limit.put_string("no limit");
    EXPECT_EQ(zero_limit.get_remaining_space(), -1);

    log.clear();
    quon_data_queue shrunk(3);
    std::string many(2 * full + 1, 'm');
    shrunk.put_bytes(many.data(), (int)many.size());
    shrunk.buffer_limit = 1;
    EXPECT_EQ(shrunk.get_remaining_space(), 0);
    EXPECT_EQ(log.text(), "quon_socket.sanity Warning in quon_data_queue::get_remaining_space(), negative available space?\n");
}

TEST(data_queue, queues_on_two_threads_share_the_pool)
{
    auto work = [](int seed, bool* ok) {
        quon_data_queue queue;
        std::string pattern(3 * full + 17, (char)('a' + seed));
        for (int round = 0; round < 300; round++) {
            queue.put_bytes(pattern.data(), (int)pattern.size());
            if (drain(queue) != pattern)
                *ok = false;
        }
    };
    bool ok_a = true;
    bool ok_b = true;
    std::thread a(work, 0, &ok_a);
    std::thread b(work, 1, &ok_b);
    a.join();
    b.join();
    EXPECT_TRUE(ok_a);
    EXPECT_TRUE(ok_b);
}
