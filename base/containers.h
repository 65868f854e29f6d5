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

// The slots of the two tables below; a slot is empty while its pointer or
// value is null.
struct quon_pointer_slot {
    void* pointer;
    uint32_t hash;
};
struct quon_key_slot {
    void* value;
    char* key;  // the map's own copy
    uint32_t hash;
};
inline bool quon_slot_used(const quon_pointer_slot& slot) { return slot.pointer != nullptr; }
inline bool quon_slot_used(const quon_key_slot& slot) { return slot.value != nullptr; }

// The machinery the set and the map share: a power-of-two array of slots
// with linear probing, 32 slots at first, doubling on the insertion that
// finds it more than half full, and removal by shifting the following
// entries back (no tombstones). Reports name the table's class.
template <typename Slot>
class quon_open_table {
public:
    uint32_t count() const { return count_; }
    uint32_t capacity() const { return capacity_; }

protected:
    explicit quon_open_table(const char* class_name);
    ~quon_open_table();

    // The index where a probe from hash's home slot stops: the first slot
    // for which matches(slot) holds, else the first empty one; -1 when a
    // whole cycle found neither (a full table).
    template <typename Match>
    int64_t probe(uint32_t hash, Match matches) const
    {
        uint32_t home = hash & mask_;
        uint32_t i = home;
        do {
            const Slot& slot = table_[i];
            if (!quon_slot_used(slot) || (slot.hash == hash && matches(slot)))
                return i;
            i = (i + 1) & mask_;
        } while (i != home);
        return -1;
    }
    // Doubles the table before an insertion when it is more than half full.
    void grow_if_needed();
    // Empties slot index and moves later entries back so every entry stays
    // reachable from its home slot.
    void remove_at(uint32_t index);
    void report_full(const char* operation) const;

    Slot* table_;
    uint32_t capacity_;
    uint32_t mask_;
    uint32_t count_;
    const char* class_name_;

private:
    void move_insert(const Slot& entry);
};

// A set of non-null pointers in a quon_open_table. It does not own the
// pointers. Refusals are reported under quon_core (sanity); if the first
// table could not be allocated (hardfail report) every operation fails
// quietly.
class quon_void_pointer_container : public quon_open_table<quon_pointer_slot> {
public:
    quon_void_pointer_container();
    quon_void_pointer_container(const quon_void_pointer_container&) = delete;
    quon_void_pointer_container& operator=(const quon_void_pointer_container&) = delete;

    int add(void* pointer);             // 1 stored, 0 refused (null, duplicate, full)
    int remove(void* pointer);          // 1 removed, 0 absent (no report)
    int contains(void* pointer) const;  // 1 present
    void clear();                       // empties every slot, keeps the capacity
    // Appends every stored pointer, in slot order, to the caller's array.
    void collect(quon_pointer_array& array) const;

    typedef quon_pointer_slot slot;
};

// A map from text keys (the map keeps its own copy of each) to non-null
// pointers, in the same kind of table, with the same reports and the same
// quiet failure after a failed first allocation. It does not own the values.
class quon_void_pointer_map : public quon_open_table<quon_key_slot> {
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

    typedef quon_key_slot slot;
};

#endif
