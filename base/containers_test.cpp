#include "base/containers.h"

#include <algorithm>
#include <random>
#include <set>
#include <stdio.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

// Addresses inside this block serve as distinct pointers whose home slots
// we can choose.
char pointer_pool[1 << 16];

uint32_t home_of(void* pointer, uint32_t capacity)
{
    return quon_hash_bytes(&pointer, (int)sizeof(pointer)) & (capacity - 1);
}

// A pointer from the pool with the given home slot in a 32-slot table and
// not yet used.
void* pointer_with_home(uint32_t home, std::set<void*>& used)
{
    for (char& byte : pointer_pool) {
        void* candidate = &byte;
        if (home_of(candidate, 32) == home && used.insert(candidate).second)
            return candidate;
    }
    ADD_FAILURE() << "no pointer with home " << home;
    return nullptr;
}

std::string format_pointer(void* pointer)
{
    char text[64];
    snprintf(text, sizeof(text), "%p", pointer);
    return text;
}

std::vector<void*> collected(const quon_void_pointer_container& set)
{
    quon_pointer_array array;
    set.collect(array);
    return std::vector<void*>(array.items(), array.items() + array.count());
}

}  // namespace

TEST(hash, text_hash_known_values)
{
    EXPECT_EQ(quon_hash_text(""), 0x1aad0981u);
    EXPECT_EQ(quon_hash_text("abc"), 0x4af578a2u);
    EXPECT_EQ(quon_hash_text(nullptr), 0x1aad0981u);
}

TEST(pointer_array, grows_from_13_by_doubling_and_sorts)
{
    quon_pointer_array array;
    EXPECT_EQ(array.capacity(), 13);
    for (int i = 0; i < 30; i++)
        ASSERT_EQ(array.add(&pointer_pool[29 - i]), 1);
    EXPECT_EQ(array.count(), 30);
    EXPECT_EQ(array.capacity(), 52);
    EXPECT_EQ(array.get(0), &pointer_pool[29]);
    EXPECT_EQ(array.get(30), nullptr);
    EXPECT_EQ(array.get(-1), nullptr);
    array.sort([](const void* a, const void* b) {
        char* x = *(char* const*)a;
        char* y = *(char* const*)b;
        return x < y ? -1 : x > y;
    });
    for (int i = 0; i < 30; i++)
        EXPECT_EQ(array.get(i), &pointer_pool[i]);

    quon_pointer_array small(1);
    for (int i = 0; i < 3; i++)
        small.add(nullptr);
    EXPECT_EQ(small.count(), 3);
    EXPECT_EQ(small.capacity(), 4);
}

TEST(container, grows_on_the_add_that_finds_it_more_than_half_full)
{
    quon_void_pointer_container set;
    for (int i = 0; i < 17; i++)
        ASSERT_EQ(set.add(&pointer_pool[i]), 1);
    EXPECT_EQ(set.capacity(), 32u);
    ASSERT_EQ(set.add(&pointer_pool[17]), 1);
    EXPECT_EQ(set.capacity(), 64u);
    EXPECT_EQ(set.count(), 18u);
    for (int i = 0; i < 18; i++)
        EXPECT_EQ(set.contains(&pointer_pool[i]), 1) << i;
    EXPECT_EQ(collected(set).size(), 18u);

    set.clear();
    EXPECT_EQ(set.count(), 0u);
    EXPECT_EQ(set.capacity(), 64u);
    EXPECT_EQ(set.contains(&pointer_pool[0]), 0);
    EXPECT_TRUE(collected(set).empty());
}

TEST(container, refusals_and_their_reports)
{
    log_capture log;
    quon_void_pointer_container set;
    void* p = &pointer_pool[5];
    EXPECT_EQ(set.add(p), 1);
    EXPECT_EQ(set.add(p), 0);
    EXPECT_EQ(set.count(), 1u);
    EXPECT_EQ(log.text(), "quon_core.sanity Error in quon_void_pointer_container::add(), attempt to add duplicate thing " +
                              format_pointer(p) + ".\n");

    log.clear();
    EXPECT_EQ(set.add(nullptr), 0);
    EXPECT_EQ(set.count(), 1u);
    EXPECT_TRUE(log.contains("quon_void_pointer_container::add()"));

    log.clear();
    EXPECT_EQ(set.remove(&pointer_pool[6]), 0);
    EXPECT_EQ(set.remove(nullptr), 0);
    EXPECT_EQ(set.contains(nullptr), 0);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(set.remove(p), 1);
    EXPECT_EQ(set.remove(p), 0);
    EXPECT_EQ(set.count(), 0u);
}

// Entries pile up on chosen home slots (including a run that wraps from
// slot 31 to slot 0); after each removal everything left must still be found.
TEST(container, removal_closes_gaps_in_collision_runs)
{
    struct {
        const char* name;
        std::vector<uint32_t> homes;
        std::vector<int> removal_order;
    } rows[] = {
        {"one home, first removed", {7, 7, 7, 7}, {0, 1, 2, 3}},
        {"one home, middle removed", {7, 7, 7, 7}, {2, 0, 3, 1}},
        {"neighbouring homes", {7, 8, 7, 8, 9}, {0, 2, 1, 4, 3}},
        {"run wraps past the end", {30, 31, 31, 0, 31, 1}, {0, 1, 2, 3, 4, 5}},
        {"wrapped run, later removals", {31, 31, 0, 31, 30}, {3, 0, 4, 2, 1}},
    };
    for (const auto& row : rows) {
        quon_void_pointer_container set;
        std::set<void*> used;
        std::vector<void*> pointers;
        for (uint32_t home : row.homes) {
            pointers.push_back(pointer_with_home(home, used));
            ASSERT_EQ(set.add(pointers.back()), 1) << row.name;
        }
        std::set<void*> present(pointers.begin(), pointers.end());
        for (int index : row.removal_order) {
            ASSERT_EQ(set.remove(pointers[index]), 1) << row.name << " removing " << index;
            present.erase(pointers[index]);
            for (void* p : pointers)
                EXPECT_EQ(set.contains(p), (int)present.count(p)) << row.name << " after removing " << index;
        }
        EXPECT_EQ(set.count(), 0u) << row.name;
    }
}

TEST(container, random_operations_match_a_reference_set)
{
    std::mt19937 random(12345);
    quon_void_pointer_container set;
    std::set<void*> model;
    for (int step = 0; step < 20000; step++) {
        void* p = &pointer_pool[random() % 600];
        if (random() % 3 == 0 || model.count(p)) {
            ASSERT_EQ(set.remove(p), (int)model.erase(p)) << step;
        } else {
            ASSERT_EQ(set.add(p), 1) << step;
            model.insert(p);
        }
        if (step % 500 == 0) {
            for (int i = 0; i < 600; i++)
                ASSERT_EQ(set.contains(&pointer_pool[i]), (int)model.count(&pointer_pool[i])) << step;
        }
    }
    ASSERT_EQ(set.count(), model.size());
    std::vector<void*> all = collected(set);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, std::vector<void*>(model.begin(), model.end()));
}

TEST(map, add_find_remove_and_duplicates)
{
    log_capture log;
    quon_void_pointer_map map;
    int first = 1;
    int second = 2;
    char key[] = "a";
    EXPECT_EQ(map.add(&first, key), 1);
    key[0] = 'b';  // the map keeps its own copy
    EXPECT_EQ(map.find("a"), &first);
    EXPECT_EQ(map.find("b"), nullptr);
    EXPECT_EQ(map.find("A"), nullptr);
    EXPECT_EQ(map.add(&second, "a"), 0);
    EXPECT_EQ(log.text(), "quon_core.sanity Error in quon_void_pointer_map::add(), attempt to add duplicate thing at key 'a'.\n");
    EXPECT_EQ(map.find("a"), &first);
    EXPECT_EQ(map.count(), 1u);

    log.clear();
    EXPECT_EQ(map.add(&first, nullptr), 0);
    EXPECT_EQ(log.text(), "quon_core.sanity Error in quon_void_pointer_map::add(), got null key.\n");
    EXPECT_EQ(map.add(nullptr, "n"), 0);
    EXPECT_EQ(map.find(nullptr), nullptr);
    EXPECT_EQ(map.remove(nullptr), nullptr);
    EXPECT_EQ(map.count(), 1u);

    log.clear();
    EXPECT_EQ(map.remove("a"), &first);
    EXPECT_EQ(map.find("a"), nullptr);
    EXPECT_EQ(map.remove("a"), nullptr);
    EXPECT_EQ(map.add(&second, ""), 1);
    EXPECT_EQ(map.find(""), &second);
    EXPECT_EQ(log.text(), "");
}

TEST(map, random_operations_match_a_reference_map_through_growth)
{
    std::mt19937 random(777);
    quon_void_pointer_map map;
    std::set<std::string> model;
    for (int step = 0; step < 20000; step++) {
        std::string key = "file_" + std::to_string(random() % 700);
        void* value = &pointer_pool[std::stoi(key.substr(5))];
        if (random() % 3 == 0 || model.count(key)) {
            ASSERT_EQ(map.remove(key.c_str()), model.erase(key) ? value : nullptr) << step;
        } else {
            ASSERT_EQ(map.add(value, key.c_str()), 1) << step;
            model.insert(key);
        }
    }
    ASSERT_EQ(map.count(), model.size());
    for (int i = 0; i < 700; i++) {
        std::string key = "file_" + std::to_string(i);
        EXPECT_EQ(map.find(key.c_str()), model.count(key) ? &pointer_pool[i] : nullptr) << key;
    }
    quon_pointer_array values;
    map.collect(values);
    EXPECT_EQ((uint32_t)values.count(), map.count());

    map.clear();
    EXPECT_EQ(map.count(), 0u);
    EXPECT_EQ(map.find("file_1"), nullptr);
    EXPECT_EQ(map.add(&pointer_pool[1], "file_1"), 1);
}
