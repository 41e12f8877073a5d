#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "host/rtl/Classes.h"
#include "host/rtl/SyncObjs.h"

using namespace zan;

namespace {

// Records notifications and forgets a watched component when it goes.
class TWatcher : public TComponent {
public:
    using TComponent::TComponent;
    ZAN_CLASS(TWatcher)

    TComponent* Watched = nullptr;
    std::vector<std::string>* Log = nullptr;
    int Loads = 0;

    void Watch(TComponent* c) {
        Watched = c;
        FreeNotification(c);
    }
    void Loaded() override {
        TComponent::Loaded();
        ++Loads;
    }
    ~TWatcher() override {
        if (Log) Log->push_back("free " + GetName());
    }

protected:
    void Notification(TComponent* c, TOperation op) override {
        TComponent::Notification(c, op);
        if (op == opRemove && c == Watched) Watched = nullptr;
        if (Log)
            Log->push_back(GetName() + (op == opInsert ? " +" : " -") +
                           (c->GetName().empty() ? "?" : c->GetName()));
    }
};

} // namespace

TEST(Components, OwnerFreesOwnedComponentsLastFirst) {
    std::vector<std::string> log;
    {
        TWatcher root;
        root.SetName("root");
        for (const char* n : {"a", "b", "c"}) {
            auto* w = new TWatcher(&root);
            w->SetName(n);
            w->Log = &log;
        }
        EXPECT_EQ(root.ComponentCount(), 3);
        EXPECT_EQ(root.Components(1)->GetName(), "b");
        EXPECT_EQ(root.Components(2)->GetComponentIndex(), 2);
        EXPECT_THROW(root.Components(3), EListError);
        EXPECT_EQ(root.FindComponent("B"), root.Components(1));
        EXPECT_EQ(root.FindComponent("d"), nullptr);
        EXPECT_EQ(root.FindComponent(""), nullptr);

        delete root.FindComponent("b"); // early free leaves the owner's list
        EXPECT_EQ(root.ComponentCount(), 2);
        EXPECT_EQ(root.FindComponent("b"), nullptr);
        log.clear();
    }
    EXPECT_EQ(log, (std::vector<std::string>{"free c", "free a"}));
}

TEST(Components, OwnershipMoves) {
    TComponent a, b;
    auto* child = new TComponent(&a);
    child->SetName("child");
    b.InsertComponent(child);
    EXPECT_EQ(child->GetOwner(), &b);
    EXPECT_EQ(a.ComponentCount(), 0);
    EXPECT_EQ(b.ComponentCount(), 1);
    b.RemoveComponent(child);
    EXPECT_EQ(child->GetOwner(), nullptr);
    a.RemoveComponent(child); // not owned there: ignored
    delete child;
    EXPECT_THROW(a.InsertComponent(&a), EComponentError);
    auto* grandChild = new TComponent(new TComponent(&a));
    EXPECT_THROW(grandChild->InsertComponent(&a), EComponentError);
}

TEST(Components, NameRules) {
    TComponent owner;
    auto* x = new TComponent(&owner);
    auto* y = new TComponent(&owner);
    x->SetName("Table1");
    EXPECT_EQ(x->GetName(), "Table1");
    x->SetName("_t2");
    x->SetName("");
    x->SetName("Table1");
    for (const char* bad : {"1abc", "a b", "a-b", "a.b", "\xC3\xA9t\xC3\xA9"}) {
        try {
            y->SetName(bad);
            FAIL() << bad;
        } catch (const EComponentError& e) {
            EXPECT_EQ(e.Message(), std::string("Component name \"") + bad + "\" is not valid");
        }
    }
    try {
        y->SetName("TABLE1");
        FAIL();
    } catch (const EComponentError& e) {
        EXPECT_EQ(e.Message(), "A component named TABLE1 already exists");
    }
    EXPECT_EQ(y->GetName(), "");
    x->SetName("TABLE1"); // a case change of its own name is fine
    EXPECT_EQ(x->GetName(), "TABLE1");

    // Inserting a component whose name the new owner already holds is refused.
    TComponent other;
    auto* z = new TComponent(&other);
    z->SetName("table1");
    EXPECT_THROW(owner.InsertComponent(z), EComponentError);
    EXPECT_EQ(z->GetOwner(), &other);
}

TEST(Components, FreeNotificationBothDirections) {
    std::vector<std::string> log;
    auto* a = new TWatcher();
    auto* b = new TWatcher();
    a->SetName("a");
    b->SetName("b");
    a->Log = &log;
    b->Log = &log;
    a->Watch(b);
    delete b; // a is told and forgets b
    EXPECT_EQ(a->Watched, nullptr);
    EXPECT_EQ(log, (std::vector<std::string>{"free b", "a -b"}));

    // The watched side dying first is the other direction of the same link.
    auto* c = new TWatcher();
    c->SetName("c");
    c->Log = &log;
    a->Watch(c);
    log.clear();
    delete a;
    EXPECT_EQ(log, (std::vector<std::string>{"free a", "c -a"}));
    log.clear();
    delete c; // no stale link back to a (ASan would catch it)
    EXPECT_EQ(log, (std::vector<std::string>{"free c"}));

    // Removing the link stops the notification.
    TWatcher d, e;
    d.Watch(&e);
    d.RemoveFreeNotification(&e);
    {
        TWatcher f;
        f.Watch(&d);
        e.Watch(&f);
    }
    EXPECT_EQ(e.Watched, nullptr);
}

TEST(Components, SiblingsWatchingEachOtherDieWithTheirOwner) {
    std::vector<std::string> log;
    {
        TComponent owner;
        auto* a = new TWatcher(&owner);
        auto* b = new TWatcher(&owner);
        a->SetName("a");
        b->SetName("b");
        a->Watch(b);
        b->Watch(a);
        a->Log = &log;
        b->Log = &log;
    }
    // b goes first and tells a; a then has nothing left to tell.
    EXPECT_EQ(log, (std::vector<std::string>{"free b", "a -b", "free a"}));
}

TEST(Components, OwnerBroadcastsInsertAndRemove) {
    std::vector<std::string> log;
    TWatcher owner;
    owner.SetName("o");
    owner.Log = &log;
    auto* a = new TWatcher(&owner);
    a->SetName("a");
    a->Log = &log;
    auto* b = new TComponent(&owner);
    b->SetName("b");
    log.clear();
    owner.RemoveComponent(b);
    EXPECT_EQ(log, (std::vector<std::string>{"a -b", "o -b"}));
    delete b;
}

TEST(Components, StateTagAndLoading) {
    TComponent owner;
    auto* w = new TWatcher(&owner);
    w->SetTag(-7);
    EXPECT_EQ(w->GetTag(), -7);
    EXPECT_TRUE(w->GetComponentState().Empty());
    w->SetLoading(true);
    w->SetReading(true);
    EXPECT_TRUE(w->GetComponentState().Contains(csLoading));
    w->Loaded();
    EXPECT_FALSE(w->GetComponentState().Contains(csLoading));
    EXPECT_TRUE(w->GetComponentState().Contains(csReading));
    EXPECT_EQ(w->Loads, 1);
    owner.SetDesigning(true);
    EXPECT_TRUE(w->GetComponentState().Contains(csDesigning));
    auto* later = new TComponent(&owner);
    EXPECT_TRUE(later->GetComponentState().Contains(csDesigning));
}

TEST(Components, DestroyingStateVisibleToChildren) {
    struct TProbe : TComponent {
        using TComponent::TComponent;
        bool* OwnerDestroying = nullptr;
        ~TProbe() override { *OwnerDestroying = GetComponentState().Contains(csDestroying); }
    };
    bool seen = false;
    {
        TComponent owner;
        auto* p = new TProbe(&owner);
        p->OwnerDestroying = &seen;
    }
    EXPECT_TRUE(seen);
}

TEST(SyncObjs, CriticalSectionIsReentrantAndExclusive) {
    TCriticalSection cs;
    cs.Enter();
    cs.Acquire(); // the holder may enter again
    cs.Release();
    cs.Leave();
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                std::lock_guard<TCriticalSection> lock(cs);
                ++counter;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 40000);
}
