#include <gtest/gtest.h>

#include "host/rtl/Collections.h"

using namespace zan;

namespace {

class TNamedItem : public TCollectionItem {
public:
    ZAN_CLASS(TNamedItem)
    std::string Name;
    void Assign(const TCollectionItem& source) override {
        if (auto* other = dynamic_cast<const TNamedItem*>(&source)) {
            Name = other->Name;
            return;
        }
        TCollectionItem::Assign(source);
    }
    void Touch() { Changed(false); }
};

// Records what the collection reports.
class TLoggingCollection : public TCollectionT<TNamedItem> {
public:
    std::vector<std::string> Log;
    std::function<void(TCollectionItem*)> OnDeleting;

protected:
    void Update(TCollectionItem* item) override {
        Log.push_back(item ? "update " + static_cast<TNamedItem*>(item)->Name : "update all");
    }
    void Notify(TCollectionItem* item, TCollectionNotification action) override {
        Log.push_back((action == cnAdded ? "added " : "deleting ") + std::to_string(item->GetID()));
        if (action == cnDeleting && OnDeleting) OnDeleting(item);
    }
};

std::vector<int> Ids(const TCollection& c) {
    std::vector<int> ids;
    for (int i = 0; i < c.Count(); ++i)
        ids.push_back(c.Items(i)->GetID());
    return ids;
}

} // namespace

TEST(Collections, IdsAreNeverReused) {
    TCollectionT<TNamedItem> c;
    for (int i = 0; i < 3; ++i)
        c.Add();
    EXPECT_EQ(Ids(c), (std::vector<int>{0, 1, 2}));
    c.Delete(2);
    c.Add();
    EXPECT_EQ(Ids(c), (std::vector<int>{0, 1, 3}));
    c.Clear();
    EXPECT_EQ(c.Count(), 0);
    EXPECT_EQ(c.Add()->GetID(), 4);
    EXPECT_EQ(c.NextID(), 5);
    EXPECT_EQ(c.Items(0)->GetCollection(), &c);
}

TEST(Collections, FindItemIDFollowsDeletesAndMoves) {
    TCollectionT<TNamedItem> c;
    for (int i = 0; i < 5; ++i)
        c.Add()->Name = "n" + std::to_string(i);
    c.Delete(1);
    EXPECT_EQ(c.FindItemID(1), nullptr);
    EXPECT_EQ(c.FindItemID(3)->Name, "n3");
    EXPECT_EQ(c.FindItemID(3)->GetIndex(), 2);

    TNamedItem* item = c.Insert(0);
    item->Name = "first";
    EXPECT_EQ(item->GetID(), 5);
    EXPECT_EQ(c.FindItemID(5), item);
    EXPECT_EQ(Ids(c), (std::vector<int>{5, 0, 2, 3, 4}));
    for (int i = 0; i < c.Count(); ++i)
        EXPECT_EQ(c.Items(i)->GetIndex(), i);

    c.FindItemID(4)->SetIndex(1);
    EXPECT_EQ(Ids(c), (std::vector<int>{5, 4, 0, 2, 3}));
    c.Items(0)->SetIndex(4);
    EXPECT_EQ(Ids(c), (std::vector<int>{4, 0, 2, 3, 5}));
    for (int i = 0; i < c.Count(); ++i) {
        EXPECT_EQ(c.Items(i)->GetIndex(), i);
        EXPECT_EQ(c.FindItemID(c.Items(i)->GetID()), c.Items(i));
    }
    EXPECT_EQ(c.FindItemID(-1), nullptr);
    EXPECT_EQ(c.FindItemID(99), nullptr);
    EXPECT_THROW(c.Items(0)->SetIndex(5), EListError);
    EXPECT_THROW(c.Items(5), EListError);
    EXPECT_THROW(c.Insert(6), EListError);
    EXPECT_THROW(c.Delete(-1), EListError);
    c.Clear();
    EXPECT_EQ(c.FindItemID(4), nullptr);
}

TEST(Collections, NotificationsAndUpdates) {
    TLoggingCollection c;
    c.Add()->Name = "a";
    c.Add()->Name = "b";
    EXPECT_EQ(c.Log, (std::vector<std::string>{"added 0", "update all", "added 1", "update all"}));
    c.Log.clear();
    c.Items(1)->Touch();
    EXPECT_EQ(c.Log, (std::vector<std::string>{"update b"}));
    c.Log.clear();
    c.BeginUpdate();
    c.Items(0)->Touch();
    c.Delete(0);
    c.EndUpdate();
    EXPECT_EQ(c.Log, (std::vector<std::string>{"deleting 0", "update all"}));
}

TEST(Collections, DeletingFromInsideNotificationsIsSafe) {
    TLoggingCollection c;
    for (int i = 0; i < 4; ++i)
        c.Add();
    // A handler that deletes the item being deleted, and a neighbour, and clears.
    c.OnDeleting = [&](TCollectionItem* item) {
        c.Delete(item->GetIndex()); // ignored: already being deleted
        if (item->GetID() == 1) c.Delete(0);
    };
    c.Delete(1);
    EXPECT_EQ(Ids(c), (std::vector<int>{2, 3}));
    c.OnDeleting = [&](TCollectionItem*) { c.Clear(); };
    c.Delete(0);
    EXPECT_EQ(c.Count(), 0);
    EXPECT_EQ(c.FindItemID(3), nullptr);

    // Deleting while walking by index (the documented way: from the end).
    TCollectionT<TNamedItem> d;
    for (int i = 0; i < 6; ++i)
        d.Add();
    for (int i = d.Count() - 1; i >= 0; --i)
        if (d.Items(i)->GetID() % 2 == 0) d.Delete(i);
    EXPECT_EQ(Ids(d), (std::vector<int>{1, 3, 5}));
}

TEST(Collections, AssignCopiesItemsWithNewIds) {
    TCollectionT<TNamedItem> a, b;
    a.Add()->Name = "x";
    a.Add()->Name = "y";
    b.Add();
    b.Add();
    b.Add();
    b.Assign(a);
    ASSERT_EQ(b.Count(), 2);
    EXPECT_EQ(b.Items(0)->Name, "x");
    EXPECT_EQ(b.Items(1)->Name, "y");
    EXPECT_EQ(Ids(b), (std::vector<int>{3, 4}));

    TCollectionItem plain;
    EXPECT_THROW(b.Items(0)->Assign(plain), EConvertError);
}

TEST(Collections, OwnedCollectionKnowsItsOwner) {
    TObject owner;
    TCollectionT<TNamedItem, TOwnedCollection> c(&owner);
    EXPECT_EQ(c.GetOwner(), &owner);
    EXPECT_EQ(c.Add()->GetCollection(), &c);
    TCollection plain([] { return std::make_unique<TNamedItem>(); });
    EXPECT_EQ(plain.GetOwner(), nullptr);
    EXPECT_STREQ(plain.Add()->ClassName(), "TNamedItem");
}
