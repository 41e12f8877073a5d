// Collections: ordered lists of items that the collection owns and creates itself. Every item
// gets an ID unique within its collection (0, 1, 2, ... in creation order, never reused), and the
// collection finds an item by ID in constant time.
//
// Iteration contract: items are reached by index only (Items(i), Count()). Delete(i) and
// Clear() free items at once and shift later items down, so a loop that deletes must re-read
// Count() and not advance past a deleted index (or walk from the end). A pointer to a deleted
// item must not be used again; keep IDs instead and ask FindItemID. Deleting an item that is
// already being deleted (from a Notify or Update override) is ignored.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "host/rtl/Classes.h"

namespace zan {

class TCollection;

enum TCollectionNotification : uint8_t { cnAdded, cnExtracting, cnDeleting };

class TCollectionItem : public TObject {
    friend class TCollection;

public:
    TCollectionItem() = default;
    TCollectionItem(const TCollectionItem&) = delete;
    TCollectionItem& operator=(const TCollectionItem&) = delete;
    ZAN_CLASS(TCollectionItem)

    TCollection* GetCollection() const { return FCollection; }
    int GetID() const { return FID; }
    int GetIndex() const { return FIndex; }
    // Moves the item to newIndex within its collection; EListError when out of range.
    void SetIndex(int newIndex);
    // Copies source's properties; the default raises EConvertError "Cannot assign a X to a Y".
    virtual void Assign(const TCollectionItem& source);

protected:
    // Tells the collection this item (allItems false) or every item changed.
    void Changed(bool allItems);

private:
    TCollection* FCollection = nullptr;
    int FID = -1;
    int FIndex = -1;
    bool FDeleting = false;
};

using TCollectionItemFactory = std::function<std::unique_ptr<TCollectionItem>()>;

class TCollection : public TObject {
    friend class TCollectionItem;

public:
    // factory makes the items Add and Insert create.
    explicit TCollection(TCollectionItemFactory factory);
    ~TCollection() override;
    TCollection(const TCollection&) = delete;
    TCollection& operator=(const TCollection&) = delete;
    ZAN_CLASS(TCollection)

    // A new item at the end / at index (0..Count); it receives the next ID.
    TCollectionItem* Add();
    TCollectionItem* Insert(int index);
    void Delete(int index);
    // Frees every item, last first. IDs are not reused afterwards.
    void Clear();
    int Count() const { return static_cast<int>(FItems.size()); }
    // EListError "List index out of bounds (<index>)" outside 0..Count-1.
    TCollectionItem* Items(int index) const;
    // The item with that ID, or nullptr.
    TCollectionItem* FindItemID(int id) const;
    int NextID() const { return FNextID; }

    // Makes this collection a copy of source: as many new items, each Assign'ed its original.
    virtual void Assign(const TCollection& source);
    // The object that owns the collection (nullptr here).
    virtual TObject* GetOwner() const { return nullptr; }

    // Update notifications wait until the outermost EndUpdate, which reports one change.
    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return FUpdateCount; }

protected:
    // A change of item (or of every item when nullptr), reported outside of updates.
    virtual void Update(TCollectionItem* /*item*/) {}
    // Told after an item was added and before one is deleted.
    virtual void Notify(TCollectionItem* /*item*/, TCollectionNotification /*action*/) {}
    // Reports a change of the whole collection (Update(nullptr)) when not updating.
    void Changed();

private:
    TCollectionItem* InsertNew(int index);
    void Renumber(size_t from, size_t to);

    TCollectionItemFactory FFactory;
    std::vector<std::unique_ptr<TCollectionItem>> FItems;
    std::unordered_map<int, TCollectionItem*> FItemsByID;
    int FNextID = 0;
    int FUpdateCount = 0;
};

// A collection that belongs to an object (a component, usually).
class TOwnedCollection : public TCollection {
public:
    TOwnedCollection(TObject* owner, TCollectionItemFactory factory)
        : TCollection(std::move(factory)), FOwner(owner) {}
    ZAN_CLASS(TOwnedCollection)

    TObject* GetOwner() const override { return FOwner; }

private:
    TObject* FOwner;
};

// A collection of TItem with typed access; Base is TCollection or TOwnedCollection.
template <typename TItem, typename Base = TCollection>
class TCollectionT : public Base {
public:
    template <typename... Args>
    explicit TCollectionT(Args&&... args)
        : Base(std::forward<Args>(args)..., [] { return std::make_unique<TItem>(); }) {}

    TItem* Add() { return static_cast<TItem*>(Base::Add()); }
    TItem* Insert(int index) { return static_cast<TItem*>(Base::Insert(index)); }
    TItem* Items(int index) const { return static_cast<TItem*>(Base::Items(index)); }
    TItem* FindItemID(int id) const { return static_cast<TItem*>(Base::FindItemID(id)); }
};

} // namespace zan
