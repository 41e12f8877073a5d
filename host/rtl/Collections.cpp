#include "host/rtl/Collections.h"

#include <algorithm>

#include "host/rtl/Format.h"

namespace zan {

// ---- TCollectionItem ------------------------------------------------------------------------

void TCollectionItem::SetIndex(int newIndex) {
    if (!FCollection || newIndex == FIndex) return;
    auto& items = FCollection->FItems;
    if (newIndex < 0 || newIndex >= static_cast<int>(items.size())) ListIndexError(newIndex);
    const auto from = static_cast<size_t>(FIndex);
    const auto to = static_cast<size_t>(newIndex);
    std::unique_ptr<TCollectionItem> self = std::move(items[from]);
    items.erase(items.begin() + static_cast<ptrdiff_t>(from));
    items.insert(items.begin() + static_cast<ptrdiff_t>(to), std::move(self));
    FCollection->Renumber(std::min(from, to), std::max(from, to) + 1);
    Changed(true);
}

void TCollectionItem::Assign(const TCollectionItem& source) {
    throw EConvertError(Format("Cannot assign a %s to a %s", source.ClassName(), ClassName()));
}

void TCollectionItem::Changed(bool allItems) {
    if (FCollection && FCollection->FUpdateCount == 0)
        FCollection->Update(allItems ? nullptr : this);
}

// ---- TCollection ----------------------------------------------------------------------------

TCollection::TCollection(TCollectionItemFactory factory) : FFactory(std::move(factory)) {
    Assert(static_cast<bool>(FFactory), "A collection needs an item factory");
}

TCollection::~TCollection() {
    // No notifications from a dying collection: its overrides are gone already.
    FItemsByID.clear();
    while (!FItems.empty())
        FItems.pop_back();
}

void TCollection::Renumber(size_t from, size_t to) {
    for (size_t i = from; i < to && i < FItems.size(); ++i)
        FItems[i]->FIndex = static_cast<int>(i);
}

TCollectionItem* TCollection::InsertNew(int index) {
    std::unique_ptr<TCollectionItem> item = FFactory();
    Assert(item != nullptr, "The item factory of a collection made no item");
    TCollectionItem* raw = item.get();
    raw->FCollection = this;
    raw->FID = FNextID;
    FItems.insert(FItems.begin() + index, std::move(item));
    try {
        FItemsByID.emplace(raw->FID, raw);
    } catch (...) {
        FItems.erase(FItems.begin() + index);
        throw;
    }
    ++FNextID;
    Renumber(static_cast<size_t>(index), FItems.size());
    Notify(raw, cnAdded);
    Changed();
    return raw;
}

TCollectionItem* TCollection::Add() {
    return InsertNew(Count());
}

TCollectionItem* TCollection::Insert(int index) {
    if (index < 0 || index > Count()) ListIndexError(index);
    return InsertNew(index);
}

void TCollection::Delete(int index) {
    if (index < 0 || index >= Count()) ListIndexError(index);
    TCollectionItem* item = FItems[static_cast<size_t>(index)].get();
    if (item->FDeleting) return;
    item->FDeleting = true;
    try {
        Notify(item, cnDeleting);
    } catch (...) {
        item->FDeleting = false;
        throw;
    }
    // The handler may have moved the item: find it again by its index field.
    const auto at = static_cast<size_t>(item->FIndex);
    std::unique_ptr<TCollectionItem> owned = std::move(FItems[at]);
    FItems.erase(FItems.begin() + static_cast<ptrdiff_t>(at));
    FItemsByID.erase(item->FID);
    Renumber(at, FItems.size());
    owned->FCollection = nullptr;
    owned->FIndex = -1;
    owned.reset();
    Changed();
}

void TCollection::Clear() {
    if (FItems.empty()) return;
    BeginUpdate();
    try {
        // Last first; an item already being deleted by a caller up the stack is skipped.
        for (int i = Count() - 1; i >= 0; i = std::min(i - 1, Count() - 1))
            Delete(i);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

TCollectionItem* TCollection::Items(int index) const {
    if (index < 0 || index >= Count()) ListIndexError(index);
    return FItems[static_cast<size_t>(index)].get();
}

TCollectionItem* TCollection::FindItemID(int id) const {
    auto it = FItemsByID.find(id);
    return it == FItemsByID.end() ? nullptr : it->second;
}

void TCollection::Assign(const TCollection& source) {
    if (&source == this) return;
    BeginUpdate();
    try {
        Clear();
        for (int i = 0; i < source.Count(); ++i)
            Add()->Assign(*source.Items(i));
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TCollection::BeginUpdate() {
    ++FUpdateCount;
}

void TCollection::EndUpdate() {
    if (FUpdateCount <= 0) return;
    if (--FUpdateCount == 0) Changed();
}

void TCollection::Changed() {
    if (FUpdateCount == 0) Update(nullptr);
}

} // namespace zan
