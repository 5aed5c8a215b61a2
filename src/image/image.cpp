#include "image/image.h"

#include <cstdint>
#include <cstring>
#include <memory>

CodePortion::CodePortion(int32_t address, int32_t length, const uint8_t *source)
    : address(address), length(length), data(nullptr)
{
    // If the byte array can't be had, the exception leaves the constructor and
    // the new-expression frees the half-built portion: nothing reaches a list.
    size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    data = new uint8_t[size > 0 ? size : 1];
    if (size > 0 && source)
        std::memcpy(data, source, size);
}

CodePortion::~CodePortion()
{
    delete[] data;
}

static CodePortion *as_portion(Listable *element)
{
    return static_cast<CodePortion *>(element);
}

void PortionList::append(CodePortion *portion)
{
    if (!last) {
        portion->next = portion;
    } else {
        portion->next = last->next;
        last->next = portion;
    }
    last = portion;
}

void PortionList::insert_after(CodePortion *existing, CodePortion *portion)
{
    portion->next = existing->next;
    existing->next = portion;
    if (existing == last)
        last = portion;
}

CodePortion *PortionList::unlink(CodePortion *element)
{
    if (!last || !element)
        return nullptr;
    // Look for the predecessor; one full turn round the ring at most.
    Listable *previous = last;
    do {
        if (previous->next == element) {
            if (element->next == element) {
                last = nullptr;
            } else {
                previous->next = element->next;
                if (element == last)
                    last = as_portion(previous);
            }
            element->next = nullptr;
            return element;
        }
        previous = previous->next;
    } while (previous != last);
    return nullptr;
}

void PortionList::remove(CodePortion *element)
{
    if (unlink(element))
        delete element;
}

void PortionList::clear()
{
    while (last)
        remove(first());
}

int PortionList::count() const
{
    if (!last)
        return 0;
    int n = 0;
    const Listable *element = last;
    do {
        n++;
        element = element->next;
    } while (element != last);
    return n;
}

CodePortion *PortionList::next_of(const CodePortion *element) const
{
    if (!element || element == last)
        return nullptr;
    return as_portion(element->next);
}

void PortionList::for_each(portion_callback_t callback, void *user)
{
    CodePortion *element = first();
    while (element) {
        // Fetch the successor first: the callback may unlink the element.
        bool was_last = element == last;
        CodePortion *following = as_portion(element->next);
        callback(element, user);
        if (was_last || !last)
            break;
        element = following;
    }
}

CodePortion *PortionList::find_first(portion_predicate_t predicate, void *user) const
{
    for (CodePortion *element = first(); element; element = next_of(element)) {
        if (predicate(element, user))
            return element;
    }
    return nullptr;
}

bool contains_address(const CodePortion *portion, void *address)
{
    int64_t a = *static_cast<const int32_t *>(address);
    return portion->address <= a && a < int64_t(portion->address) + portion->length;
}

bool reaches_address(const CodePortion *portion, void *address)
{
    int64_t a = *static_cast<const int32_t *>(address);
    return int64_t(portion->address) + portion->length - 1 >= a;
}

int32_t PortionList::greatest_end() const
{
    int32_t result = 0;
    for (const CodePortion *p = first(); p; p = next_of(p))
        if (p->end() > result)
            result = p->end();
    return result;
}

void split_image(PortionList &code, PortionList &data, int32_t size)
{
    if (code.empty() || code.greatest_end() <= size)
        return;
    CodePortion *portion = code.find_first(reaches_address, &size);
    while (portion) {
        CodePortion *following = code.next_of(portion);
        if (portion->end() <= size) {
            // lies wholly below the boundary, inside an earlier, longer portion
        } else if (portion->address < size) {
            // Straddles the boundary: the head stays, the tail moves.
            int32_t head = size - portion->address;
            std::unique_ptr<CodePortion> code_part(new CodePortion(portion->address, head, portion->data));
            std::unique_ptr<CodePortion> data_part(
                new CodePortion(0, portion->length - head, portion->data + head));
            code.insert_after(portion, code_part.release());
            data.append(data_part.release());
        } else {
            data.append(new CodePortion(portion->address - size, portion->length, portion->data));
        }
        if (portion->end() > size)
            code.remove(portion);
        portion = following;
    }
}
