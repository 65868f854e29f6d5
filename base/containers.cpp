#include "base/containers.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/log.h"
#include "base/string_buffer.h"

namespace {

const uint32_t hash_seed = 0x5d3b915d;
const uint32_t initial_table_capacity = 32;
// Doubling past this would overflow the 32-bit capacity.
const uint32_t largest_table_capacity = 0x80000000u;
const int initial_array_capacity = 13;

inline uint32_t hash_mix(uint32_t h, unsigned char b)
{
    h += b;
    h += h << 10;
    h ^= h >> 6;
    return h;
}

inline uint32_t hash_finish(uint32_t h)
{
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

void report(const char* text, int levels)
{
    quon_log(text, levels, QUON_CORE);
}

// True when home lies in the cyclic range (gap, j], i.e. the entry at j may
// not move back to gap without becoming unreachable from its home slot.
inline bool home_between(uint32_t home, uint32_t gap, uint32_t j)
{
    if (gap <= j)
        return gap < home && home <= j;
    return gap < home || home <= j;
}

}  // namespace

uint32_t quon_hash_bytes(const void* bytes, int count)
{
    if (count < 0)
        count = 0;
    const unsigned char* in = (const unsigned char*)bytes;
    uint32_t h = hash_seed + (uint32_t)count;
    for (int i = 0; in && i < count; i++)
        h = hash_mix(h, in[i]);
    return hash_finish(h);
}

uint32_t quon_hash_text(const char* text)
{
    uint32_t h = hash_seed;
    uint32_t length = 0;
    for (const unsigned char* p = (const unsigned char*)text; p && *p; p++, length++)
        h = hash_mix(h, *p);
    for (int shift = 0; shift < 32; shift += 8)
        h = hash_mix(h, (unsigned char)(length >> shift));
    return hash_finish(h);
}

static uint32_t hash_pointer(const void* pointer)
{
    return quon_hash_bytes(&pointer, (int)sizeof(pointer));
}

// ---------------------------------------------------------------------------

quon_pointer_array::quon_pointer_array(int initial_capacity)
    : items_(nullptr), count_(0), capacity_(0)
{
    if (initial_capacity < 1)
        initial_capacity = 1;
    items_ = (void**)malloc(sizeof(void*) * (size_t)initial_capacity);
    if (items_)
        capacity_ = initial_capacity;
}

quon_pointer_array::~quon_pointer_array()
{
    free(items_);
}

int quon_pointer_array::add(void* pointer)
{
    if (count_ == capacity_) {
        if (capacity_ > 0x3fffffff)
            return 0;
        int grown = capacity_ > 0 ? capacity_ * 2 : initial_array_capacity;
        void** larger = (void**)realloc(items_, sizeof(void*) * (size_t)grown);
        if (!larger) {
            report("Error in quon_pointer_array::add(), out of memory.", QUON_LOG_HARDFAIL);
            return 0;
        }
        items_ = larger;
        capacity_ = grown;
    }
    items_[count_++] = pointer;
    return 1;
}

void quon_pointer_array::sort(int (*compare)(const void* a, const void* b))
{
    if (count_ > 1 && compare)
        qsort(items_, (size_t)count_, sizeof(void*), compare);
}

// ---------------------------------------------------------------------------

quon_void_pointer_container::quon_void_pointer_container()
    : table_(nullptr), capacity_(initial_table_capacity), mask_(initial_table_capacity - 1), count_(0)
{
    table_ = (slot*)calloc(capacity_, sizeof(slot));
    if (!table_) {
        report("Error in quon_void_pointer_container(), initial table alloc failed.", QUON_LOG_HARDFAIL);
        capacity_ = 0;
        mask_ = 0;
    }
}

quon_void_pointer_container::~quon_void_pointer_container()
{
    free(table_);
}

void quon_void_pointer_container::grow()
{
    if (capacity_ >= largest_table_capacity)
        return;
    uint32_t grown = capacity_ * 2;
    slot* larger = (slot*)calloc(grown, sizeof(slot));
    if (!larger) {
        // The old table still has room (count < capacity), so carry on in it.
        report("Error in quon_void_pointer_container::grow(), table alloc failed.", QUON_LOG_HARDFAIL);
        return;
    }
    slot* old = table_;
    uint32_t old_capacity = capacity_;
    table_ = larger;
    capacity_ = grown;
    mask_ = grown - 1;
    for (uint32_t i = 0; i < old_capacity; i++)
        if (old[i].pointer)
            move_insert(old[i]);
    free(old);
}

void quon_void_pointer_container::move_insert(const slot& entry)
{
    uint32_t home = entry.hash & mask_;
    uint32_t i = home;
    do {
        if (!table_[i].pointer) {
            table_[i] = entry;
            return;
        }
        i = (i + 1) & mask_;
    } while (i != home);
    report("Error in quon_void_pointer_container::move_insert(), table full?", QUON_LOG_SANITY);
    count_--;
}

int quon_void_pointer_container::add(void* pointer)
{
    if (!table_)
        return 0;
    if (!pointer) {
        report("Error in quon_void_pointer_container::add(), got null pointer.", QUON_LOG_SANITY);
        return 0;
    }
    if (capacity_ / 2 < count_)
        grow();
    uint32_t h = hash_pointer(pointer);
    uint32_t home = h & mask_;
    uint32_t i = home;
    do {
        slot& s = table_[i];
        if (!s.pointer) {
            s.pointer = pointer;
            s.hash = h;
            count_++;
            return 1;
        }
        if (s.hash == h && s.pointer == pointer) {
            char message[1000];
            snprintf(message, sizeof(message),
                     "Error in quon_void_pointer_container::add(), attempt to add duplicate thing %p.", pointer);
            report(message, QUON_LOG_SANITY);
            return 0;
        }
        i = (i + 1) & mask_;
    } while (i != home);
    report("Error in quon_void_pointer_container::add(), table full?", QUON_LOG_SANITY);
    return 0;
}

void quon_void_pointer_container::compact_after_remove(uint32_t gap)
{
    for (uint32_t j = (gap + 1) & mask_;; j = (j + 1) & mask_) {
        if (j == gap) {
            report("Error in quon_void_pointer_container::compact_after_remove(), table full?", QUON_LOG_SANITY);
            return;
        }
        slot& s = table_[j];
        if (!s.pointer)
            return;
        if (!home_between(s.hash & mask_, gap, j)) {
            table_[gap] = s;
            s.pointer = nullptr;
            s.hash = 0;
            gap = j;
        }
    }
}

int quon_void_pointer_container::remove(void* pointer)
{
    if (!table_ || !pointer)
        return 0;
    uint32_t h = hash_pointer(pointer);
    uint32_t home = h & mask_;
    uint32_t i = home;
    do {
        slot& s = table_[i];
        if (!s.pointer)
            return 0;
        if (s.hash == h && s.pointer == pointer) {
            s.pointer = nullptr;
            s.hash = 0;
            count_--;
            compact_after_remove(i);
            return 1;
        }
        i = (i + 1) & mask_;
    } while (i != home);
    report("Error in quon_void_pointer_container::remove(), table full?", QUON_LOG_SANITY);
    return 0;
}

int quon_void_pointer_container::contains(void* pointer) const
{
    if (!table_ || !pointer)
        return 0;
    uint32_t h = hash_pointer(pointer);
    uint32_t home = h & mask_;
    uint32_t i = home;
    do {
        const slot& s = table_[i];
        if (!s.pointer)
            return 0;
        if (s.hash == h && s.pointer == pointer)
            return 1;
        i = (i + 1) & mask_;
    } while (i != home);
    return 0;
}

void quon_void_pointer_container::clear()
{
    if (table_)
        memset(table_, 0, sizeof(slot) * capacity_);
    count_ = 0;
}

void quon_void_pointer_container::collect(quon_pointer_array& array) const
{
    for (uint32_t i = 0; table_ && i < capacity_; i++)
        if (table_[i].pointer)
            array.add(table_[i].pointer);
}

// ---------------------------------------------------------------------------

quon_void_pointer_map::quon_void_pointer_map()
    : table_(nullptr), capacity_(initial_table_capacity), mask_(initial_table_capacity - 1), count_(0)
{
    table_ = (slot*)calloc(capacity_, sizeof(slot));
    if (!table_) {
        report("Error in quon_void_pointer_map(), initial table alloc failed.", QUON_LOG_HARDFAIL);
        capacity_ = 0;
        mask_ = 0;
    }
}

quon_void_pointer_map::~quon_void_pointer_map()
{
    clear();
    free(table_);
}

void quon_void_pointer_map::grow()
{
    if (capacity_ >= largest_table_capacity)
        return;
    uint32_t grown = capacity_ * 2;
    slot* larger = (slot*)calloc(grown, sizeof(slot));
    if (!larger) {
        report("Error in quon_void_pointer_map::grow(), table alloc failed.", QUON_LOG_HARDFAIL);
        return;
    }
    slot* old = table_;
    uint32_t old_capacity = capacity_;
    table_ = larger;
    capacity_ = grown;
    mask_ = grown - 1;
    for (uint32_t i = 0; i < old_capacity; i++)
        if (old[i].value)
            move_insert(old[i]);
    free(old);
}

void quon_void_pointer_map::move_insert(const slot& entry)
{
    uint32_t home = entry.hash & mask_;
    uint32_t i = home;
    do {
        if (!table_[i].value) {
            table_[i] = entry;
            return;
        }
        i = (i + 1) & mask_;
    } while (i != home);
    report("Error in quon_void_pointer_map::move_insert(), table full?", QUON_LOG_SANITY);
    free(entry.key);
    count_--;
}

int quon_void_pointer_map::add(void* value, const char* key)
{
    if (!table_)
        return 0;
    if (!key) {
        report("Error in quon_void_pointer_map::add(), got null key.", QUON_LOG_SANITY);
        return 0;
    }
    if (!value) {
        report("Error in quon_void_pointer_map::add(), got null value.", QUON_LOG_SANITY);
        return 0;
    }
    if (capacity_ / 2 < count_)
        grow();
    uint32_t h = quon_hash_text(key);
    uint32_t home = h & mask_;
    uint32_t i = home;
    do {
        slot& s = table_[i];
        if (!s.value) {
            char* copy = strdup(key);
            if (!copy) {
                report("Error in quon_void_pointer_map::add(), key alloc failed.", QUON_LOG_HARDFAIL);
                return 0;
            }
            s.value = value;
            s.key = copy;
            s.hash = h;
            count_++;
            return 1;
        }
        if (s.hash == h && strcmp(s.key, key) == 0) {
            quon_string_buffer message;
            message.append("Error in quon_void_pointer_map::add(), attempt to add duplicate thing at key '");
            message.append(key);
            message.append("'.");
            report(message.c_str(), QUON_LOG_SANITY);
            return 0;
        }
        i = (i + 1) & mask_;
    } while (i != home);
    report("Error in quon_void_pointer_map::add(), table full?", QUON_LOG_SANITY);
    return 0;
}

void* quon_void_pointer_map::find(const char* key) const
{
    if (!table_ || !key)
        return nullptr;
    uint32_t h = quon_hash_text(key);
    uint32_t home = h & mask_;
    uint32_t i = home;
    do {
        const slot& s = table_[i];
        if (!s.value)
            return nullptr;
        if (s.hash == h && strcmp(s.key, key) == 0)
            return s.value;
        i = (i + 1) & mask_;
    } while (i != home);
    return nullptr;
}

void quon_void_pointer_map::compact_after_remove(uint32_t gap)
{
    for (uint32_t j = (gap + 1) & mask_;; j = (j + 1) & mask_) {
        if (j == gap) {
            report("Error in quon_void_pointer_map::compact_after_remove(), table full?", QUON_LOG_SANITY);
            return;
        }
        slot& s = table_[j];
        if (!s.value)
            return;
        if (!home_between(s.hash & mask_, gap, j)) {
            table_[gap] = s;
            s.value = nullptr;
            s.key = nullptr;
            s.hash = 0;
            gap = j;
        }
    }
}

void* quon_void_pointer_map::remove(const char* key)
{
    if (!table_ || !key)
        return nullptr;
    uint32_t h = quon_hash_text(key);
    uint32_t home = h & mask_;
    uint32_t i = home;
    do {
        slot& s = table_[i];
        if (!s.value)
            return nullptr;
        if (s.hash == h && strcmp(s.key, key) == 0) {
            void* value = s.value;
            free(s.key);
            s.value = nullptr;
            s.key = nullptr;
            s.hash = 0;
            count_--;
            compact_after_remove(i);
            return value;
        }
        i = (i + 1) & mask_;
    } while (i != home);
    report("Error in quon_void_pointer_map::remove(), table full?", QUON_LOG_SANITY);
    return nullptr;
}

void quon_void_pointer_map::clear()
{
    for (uint32_t i = 0; table_ && i < capacity_; i++) {
        free(table_[i].key);
        table_[i].value = nullptr;
        table_[i].key = nullptr;
        table_[i].hash = 0;
    }
    count_ = 0;
}

void quon_void_pointer_map::collect(quon_pointer_array& array) const
{
    for (uint32_t i = 0; table_ && i < capacity_; i++)
        if (table_[i].value)
            array.add(table_[i].value);
}
