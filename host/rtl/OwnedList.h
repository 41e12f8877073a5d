// Helpers for lists that own their items through std::unique_ptr.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/rtl/Exceptions.h"
#include "host/rtl/SysUtils.h"

namespace zan {

// Raises Exception "List index out of bounds (<index>)".
[[noreturn]] inline void ListIndexError(int index) {
    throw Exception("List index out of bounds (" + std::to_string(index) + ")");
}

// The item at index; ListIndexError outside the list.
template <typename Item>
Item& OwnedItemAt(const std::vector<std::unique_ptr<Item>>& items, int index) {
    if (index < 0 || static_cast<size_t>(index) >= items.size()) ListIndexError(index);
    return *items[static_cast<size_t>(index)];
}

// The position of item in the list, or -1.
template <typename Item>
int OwnedPositionOf(const std::vector<std::unique_ptr<Item>>& items, const Item* item) {
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].get() == item) return static_cast<int>(i);
    return -1;
}

// The position of the first item whose GetName() equals name ignoring ASCII case, or -1.
template <typename Item>
int OwnedIndexOfName(const std::vector<std::unique_ptr<Item>>& items, const std::string& name) {
    for (size_t i = 0; i < items.size(); ++i)
        if (SameText(items[i]->GetName(), name)) return static_cast<int>(i);
    return -1;
}

} // namespace zan
