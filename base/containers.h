#ifndef BRIMVALE_BASE_CONTAINERS_H
#define BRIMVALE_BASE_CONTAINERS_H

#include <stdint.h>

// Hashes shared by the two tables (32-bit, Jenkins one-at-a-time style).
// Byte hash: seeded with 0x5d3b915d + count. Text hash: seeded with
// 0x5d3b915d, then the text, then the four bytes of its length (LSB first).
// Pointers are hashed as their own 8 bytes; a null text hashes as "".
uint32_t quon_hash_bytes(const void* bytes, int count);
uint32_t quon_hash_text(const char* text);

// A growable array of pointers that it does not own. Starts with room for
// initial_capacity (at least 1) and doubles when full.
class quon_pointer_array {
public:
    explicit quon_pointer_array(int initial_capacity = 13);
    ~quon_pointer_array();
    quon_pointer_array(const quon_pointer_array&) = delete;
    quon_pointer_array& operator=(const quon_pointer_array&) = delete;

    // 1 when stored, 0 when the array could not grow.
    int add(void* pointer);
    int count() const { return count_; }
    int capacity() const { return capacity_; }
    void* get(int index) const { return (index >= 0 && index < count_) ? items_[index] : nullptr; }
    void** items() { return items_; }
    void clear() { count_ = 0; }
    // qsort over the stored pointers; compare receives pointers to elements.
    void sort(int (*compare)(const void* a, const void* b));

private:
    void** items_;
    int count_;
    int capacity_;
};

// A set of non-null pointers: open addressing with linear probing, 32 slots
// at first, doubling on the add that finds it more than half full, removal
// by shifting the following entries back. It does not own the pointers.
// Refusals are reported under quon_core (sanity); if the first table could
// not be allocated (hardfail report) every operation fails quietly.
class quon_void_pointer_container {
public:
    quon_void_pointer_container();
    ~quon_void_pointer_container();
    quon_void_pointer_container(const quon_void_pointer_container&) = delete;
    quon_void_pointer_container& operator=(const quon_void_pointer_container&) = delete;

    int add(void* pointer);             // 1 stored, 0 refused (null, duplicate, full)
    int remove(void* pointer);          // 1 removed, 0 absent (no report)
    int contains(void* pointer) const;  // 1 present
    void clear();                       // empties every slot, keeps the capacity
    // Appends every stored pointer, in slot order, to the caller's array.
    void collect(quon_pointer_array& array) const;
    uint32_t count() const { return count_; }
    uint32_t capacity() const { return capacity_; }

    struct slot {
        void* pointer;
        uint32_t hash;
    };

private:
    void grow();
    void move_insert(const slot& entry);
    void compact_after_remove(uint32_t gap);

    slot* table_;
    uint32_t capacity_;
    uint32_t mask_;
    uint32_t count_;
};

// A map from text keys (the map keeps its own copy of each) to non-null
// pointers, the same kind of table, with the same reports and the same
// quiet failure after a failed first allocation. It does not own the values.
class quon_void_pointer_map {
public:
    quon_void_pointer_map();
    ~quon_void_pointer_map();
    quon_void_pointer_map(const quon_void_pointer_map&) = delete;
    quon_void_pointer_map& operator=(const quon_void_pointer_map&) = delete;

    int add(void* value, const char* key);  // 1 stored, 0 refused (null key or value, duplicate, full)
    void* find(const char* key) const;      // exact, case-sensitive; null when absent
    void* remove(const char* key);          // the removed value, or null
    void clear();                           // frees every key, keeps the capacity
    void collect(quon_pointer_array& array) const;  // values only, in slot order
    uint32_t count() const { return count_; }
    uint32_t capacity() const { return capacity_; }

    struct slot {
        void* value;
        char* key;
        uint32_t hash;
    };

private:
    void grow();
    void move_insert(const slot& entry);
    void compact_after_remove(uint32_t gap);

    slot* table_;
    uint32_t capacity_;
    uint32_t mask_;
    uint32_t count_;
};

#endif
