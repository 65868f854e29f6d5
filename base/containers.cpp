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

namespace {

// A map entry that cannot be placed while growing loses its key copy.
void release_slot(quon_pointer_slot&) {}
void release_slot(quon_key_slot& slot)
{
    free(slot.key);
}

}  // namespace

template <typename Slot>
quon_open_table<Slot>::quon_open_table(const char* class_name)
    : table_(nullptr), capacity_(initial_table_capacity), mask_(initial_table_capacity - 1), count_(0),
      class_name_(class_name)
{
    table_ = (Slot*)calloc(capacity_, sizeof(Slot));
    if (!table_) {
        quon_string_buffer message;
        message.append("Error in ");
        message.append(class_name_);
        message.append("(), initial table alloc failed.");
        report(message.c_str(), QUON_LOG_HARDFAIL);
        capacity_ = 0;
        mask_ = 0;
    }
}

template <typename Slot>
quon_open_table<Slot>::~quon_open_table()
{
    free(table_);
}

template <typename Slot>
void quon_open_table<Slot>::report_full(const char* operation) const
{
    quon_string_buffer message;
    message.append("Error in ");
    message.append(class_name_);
    message.append("::");
    message.append(operation);
    message.append("(), table full?");
    report(message.c_str(), QUON_LOG_SANITY);
}

template <typename Slot>
void quon_open_table<Slot>::grow_if_needed()
{
    if (capacity_ / 2 >= count_ || capacity_ >= largest_table_capacity)
        return;
    uint32_t grown = capacity_ * 2;
    Slot* larger = (Slot*)calloc(grown, sizeof(Slot));
    if (!larger) {
        // The old table still has room (count < capacity), so carry on in it.
        quon_string_buffer message;
        message.append("Error in ");
        message.append(class_name_);
        message.append("::grow(), table alloc failed.");
        report(message.c_str(), QUON_LOG_HARDFAIL);
        return;
    }
    Slot* old = table_;
    uint32_t old_capacity = capacity_;
    table_ = larger;
    capacity_ = grown;
    mask_ = grown - 1;
    for (uint32_t i = 0; i < old_capacity; i++)
        if (quon_slot_used(old[i]))
            move_insert(old[i]);
    free(old);
}

template <typename Slot>
void quon_open_table<Slot>::move_insert(const Slot& entry)
{
    int64_t at = probe(entry.hash, [](const Slot&) { return false; });
    if (at >= 0) {
        table_[at] = entry;
        return;
    }
    report_full("move_insert");
    Slot dropped = entry;
    release_slot(dropped);
    count_--;
}

template <typename Slot>
void quon_open_table<Slot>::remove_at(uint32_t gap)
{
    table_[gap] = Slot();
    count_--;
    for (uint32_t j = (gap + 1) & mask_;; j = (j + 1) & mask_) {
        if (j == gap) {
            report_full("compact_after_remove");
            return;
        }
        Slot& slot = table_[j];
        if (!quon_slot_used(slot))
            return;
        if (!home_between(slot.hash & mask_, gap, j)) {
            table_[gap] = slot;
            slot = Slot();
            gap = j;
        }
    }
}

template class quon_open_table<quon_pointer_slot>;
template class quon_open_table<quon_key_slot>;

// ---------------------------------------------------------------------------

quon_void_pointer_container::quon_void_pointer_container() : quon_open_table("quon_void_pointer_container") {}

int quon_void_pointer_container::add(void* pointer)
{
    if (!table_)
        return 0;
    if (!pointer) {
        report("Error in quon_void_pointer_container::add(), got null pointer.", QUON_LOG_SANITY);
        return 0;
    }
    grow_if_needed();
    uint32_t h = hash_pointer(pointer);
    int64_t at = probe(h, [pointer](const slot& s) { return s.pointer == pointer; });
    if (at < 0) {
        report_full("add");
        return 0;
    }
    if (table_[at].pointer) {
        char message[1000];
        snprintf(message, sizeof(message),
                 "Error in quon_void_pointer_container::add(), attempt to add duplicate thing %p.", pointer);
        report(message, QUON_LOG_SANITY);
        return 0;
    }
    table_[at].pointer = pointer;
    table_[at].hash = h;
    count_++;
    return 1;
}

int quon_void_pointer_container::remove(void* pointer)
{
    if (!table_ || !pointer)
        return 0;
    int64_t at = probe(hash_pointer(pointer), [pointer](const slot& s) { return s.pointer == pointer; });
    if (at < 0) {
        report_full("remove");
        return 0;
    }
    if (!table_[at].pointer)
        return 0;
    remove_at((uint32_t)at);
    return 1;
}

int quon_void_pointer_container::contains(void* pointer) const
{
    if (!table_ || !pointer)
        return 0;
    int64_t at = probe(hash_pointer(pointer), [pointer](const slot& s) { return s.pointer == pointer; });
    return at >= 0 && table_[at].pointer != nullptr;
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

quon_void_pointer_map::quon_void_pointer_map() : quon_open_table("quon_void_pointer_map") {}

quon_void_pointer_map::~quon_void_pointer_map()
{
    clear();
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
    grow_if_needed();
    uint32_t h = quon_hash_text(key);
    int64_t at = probe(h, [key](const slot& s) { return strcmp(s.key, key) == 0; });
    if (at < 0) {
        report_full("add");
        return 0;
    }
    slot& s = table_[at];
    if (s.value) {
        quon_string_buffer message;
        message.append("Error in quon_void_pointer_map::add(), attempt to add duplicate thing at key '");
        message.append(key);
        message.append("'.");
        report(message.c_str(), QUON_LOG_SANITY);
        return 0;
    }
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

void* quon_void_pointer_map::find(const char* key) const
{
    if (!table_ || !key)
        return nullptr;
    int64_t at = probe(quon_hash_text(key), [key](const slot& s) { return strcmp(s.key, key) == 0; });
    return at >= 0 ? table_[at].value : nullptr;
}

void* quon_void_pointer_map::remove(const char* key)
{
    if (!table_ || !key)
        return nullptr;
    int64_t at = probe(quon_hash_text(key), [key](const slot& s) { return strcmp(s.key, key) == 0; });
    if (at < 0) {
        report_full("remove");
        return nullptr;
    }
    void* value = table_[at].value;
    if (!value)
        return nullptr;
    free(table_[at].key);
    remove_at((uint32_t)at);
    return value;
}

void quon_void_pointer_map::clear()
{
    for (uint32_t i = 0; table_ && i < capacity_; i++) {
        free(table_[i].key);
        table_[i] = slot();
    }
    count_ = 0;
}

void quon_void_pointer_map::collect(quon_pointer_array& array) const
{
    for (uint32_t i = 0; table_ && i < capacity_; i++)
        if (table_[i].value)
            array.add(table_[i].value);
}
