// Named lists: circular doubly linked lists of links embedded in their
// records, with a head. An empty list is a head linked to itself; a link in
// no list points at itself.
//
//   head <-> a <-> b <-> c <-> (head)
#pragma once

#include <cstddef>

namespace kavrel {

struct KAVREL_LINK {
    KAVREL_LINK *next;
    KAVREL_LINK *prev;
};

inline void list_init(KAVREL_LINK *head) noexcept {
    head->next = head->prev = head;
}

// Puts link first, right after the head.
inline void list_insert_head(KAVREL_LINK *head, KAVREL_LINK *link) noexcept {
    link->next = head->next;
    link->prev = head;
    head->next = link;
    link->next->prev = link;
}

// Puts link last, right before the head.
inline void list_append(KAVREL_LINK *head, KAVREL_LINK *link) noexcept {
    link->next = head;
    link->prev = head->prev;
    link->prev->next = link;
    head->prev = link;
}

// Takes link out of its list and leaves it self-linked; a self-linked link
// is left as it is.
inline void list_remove(KAVREL_LINK *link) noexcept {
    if (link->next != link) {
        link->next->prev = link->prev;
        link->prev->next = link->next;
    }
    list_init(link);
}

inline bool list_empty(const KAVREL_LINK *head) noexcept {
    return head->next == head;
}

// The record of type T that holds `link` at `offset` (its offsetof).
template <class T>
T *list_entry(KAVREL_LINK *link, std::size_t offset) noexcept {
    return reinterpret_cast<T *>(reinterpret_cast<char *>(link) - offset);
}

}  // namespace kavrel
