// Memory images: ordered lists of contiguous byte portions.
#pragma once

#include <cstdint>

class Listable {
public:
    Listable() : next(nullptr) {}
    virtual ~Listable() {}
    Listable *next;
};

class CodePortion : public Listable {
public:
    CodePortion(int32_t address, int32_t length, const uint8_t *source);
    ~CodePortion() override;
    CodePortion(const CodePortion &) = delete;
    CodePortion &operator=(const CodePortion &) = delete;

    uint8_t byte_at(int32_t absolute) const { return data[absolute - address]; }
    void set_byte_at(int32_t absolute, uint8_t value) { data[absolute - address] = value; }
    int32_t end() const { return address + length; }

    int32_t address;
    int32_t length;
    uint8_t *data;
};

typedef bool (*portion_predicate_t)(const CodePortion *portion, void *user);
typedef void (*portion_callback_t)(CodePortion *portion, void *user);

// Singly linked ring held by its last element; owns its portions.
class PortionList {
public:
    PortionList() : last(nullptr) {}
    ~PortionList() { clear(); }
    PortionList(const PortionList &) = delete;
    PortionList &operator=(const PortionList &) = delete;

    void append(CodePortion *portion);
    void insert_after(CodePortion *existing, CodePortion *portion);
    CodePortion *unlink(CodePortion *element);
    void remove(CodePortion *element);
    void clear();
    int count() const;
    bool empty() const { return last == nullptr; }
    CodePortion *first() const { return last ? static_cast<CodePortion *>(last->next) : nullptr; }
    CodePortion *last_portion() const { return last; }
    CodePortion *next_of(const CodePortion *element) const;
    void for_each(portion_callback_t callback, void *user);
    CodePortion *find_first(portion_predicate_t predicate, void *user) const;
    int32_t end() const { return last ? last->end() : 0; }   // address + length of the last portion
    // The greatest address + length over all portions: an earlier, longer portion
    // (overlapping records with equal data) may end beyond the last one.
    int32_t greatest_end() const;

private:
    CodePortion *last;
};

bool contains_address(const CodePortion *portion, void *address);  // user: int32_t*
bool reaches_address(const CodePortion *portion, void *address);   // user: int32_t*

// Moves everything at or above size S of `code` to `data` at address - S.
void split_image(PortionList &code, PortionList &data, int32_t size);
