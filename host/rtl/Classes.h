// Root classes of the object model: TObject (framework-style class names) and TComponent
// (a named object that may own other components and watch others for their destruction).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/rtl/Exceptions.h"

// Declares the framework-style class name of a class, e.g. ZAN_CLASS(TZanTable).
#define ZAN_CLASS(Name)                                                                            \
    const char* ClassName() const override {                                                       \
        return #Name;                                                                              \
    }

namespace zan {

class TPropertyTable;

class TObject {
public:
    virtual ~TObject() = default;
    // The class name as the system shows it in messages ("TZanTable", "TDiskMgr", ...).
    virtual const char* ClassName() const { return "TObject"; }
    // The table of the published (streamed) properties, or nullptr for a class that has none.
    // Classes declare it with ZAN_PROPERTIES (host/rtl/ComponentText.h).
    virtual const TPropertyTable* GetPropertyTable() const { return nullptr; }
};

// An index outside a list's bounds, and other misuse of a list.
ZAN_EXCEPTION_CLASS(EListError, Exception);
// A component name that is not an identifier or that its owner already holds.
ZAN_EXCEPTION_CLASS(EComponentError, Exception);

// Raises EListError "List index out of bounds (<index>)".
[[noreturn]] void ListIndexError(int64_t index);

// True when name is an identifier: a letter or '_' followed by letters, digits and '_' (ASCII).
bool IsValidIdent(const std::string& name);

// ASCII case-insensitive equality, as the framework's SameText on names.
bool SameTextASCII(const std::string& a, const std::string& b);

enum TOperation : uint8_t { opInsert, opRemove };

enum TComponentStateItem : uint8_t { csLoading, csReading, csDestroying, csDesigning };

// A small set of TComponentStateItem values.
class TComponentState {
public:
    bool Contains(TComponentStateItem item) const { return (FBits & Bit(item)) != 0; }
    void Include(TComponentStateItem item) { FBits = static_cast<uint8_t>(FBits | Bit(item)); }
    void Exclude(TComponentStateItem item) { FBits = static_cast<uint8_t>(FBits & ~Bit(item)); }
    bool Empty() const { return FBits == 0; }
    bool operator==(const TComponentState&) const = default;

private:
    static uint8_t Bit(TComponentStateItem item) { return static_cast<uint8_t>(1u << item); }
    uint8_t FBits = 0;
};

// A named object that can own other components.
//
// Ownership contract: a component created with an owner is owned by it and must live on the
// heap (new); the owner deletes it in its own destructor, last inserted first. Deleting an owned
// component earlier is allowed: its destructor removes it from its owner first.
//
// FreeNotification links two components in both directions: whichever is destroyed first calls
// Notification(itself, opRemove) on the other, and both links are gone afterwards. Handlers of
// Notification may be called more than once for the same component (through the owner's
// broadcast as well as through a link) and should be idempotent.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner = nullptr);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;
    ZAN_CLASS(TComponent)

    const std::string& GetName() const { return FName; }
    // Raises EComponentError for a name that is neither empty nor an identifier, or that another
    // component of the same owner holds (compared ignoring ASCII case).
    virtual void SetName(const std::string& name);
    TComponent* GetOwner() const { return FOwner; }

    intptr_t GetTag() const { return FTag; }
    void SetTag(intptr_t tag) { FTag = tag; }

    // Owned components, in insertion order.
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const;
    int GetComponentIndex() const;
    // The owned component with that name (ASCII case ignored), or nullptr.
    TComponent* FindComponent(const std::string& name) const;
    // Takes ownership of component (removing it from a previous owner) and tells
    // Notification(component, opInsert).
    void InsertComponent(TComponent* component);
    // Gives up ownership of component (the caller then owns it) after telling
    // Notification(component, opRemove). A component that is not owned here is ignored.
    void RemoveComponent(TComponent* component);
    // Frees every owned component, last first.
    void DestroyComponents();

    TComponentState GetComponentState() const { return FComponentState; }
    // Marks the component as being loaded; Loaded() ends that state.
    void SetLoading(bool loading);
    void SetReading(bool reading);
    // Sets or clears csDesigning here and on every owned component.
    void SetDesigning(bool designing);
    // Called once loading is complete; clears csLoading.
    virtual void Loaded();

    // Asks to be told Notification(component, opRemove) when component is destroyed; component
    // is also told when this one is destroyed.
    void FreeNotification(TComponent* component);
    // Removes the link in both directions.
    void RemoveFreeNotification(TComponent* component);

protected:
    // Told about components inserted into or removed from the owner, and about watched
    // components being destroyed. The default forgets the free-notification link of a removed
    // component and passes the news to every owned component.
    virtual void Notification(TComponent* component, TOperation operation);
    // Sets csDestroying here and on every owned component.
    void Destroying();
    // Tells every linked component Notification(this, opRemove), dropping the links. The
    // destructor does it last; a derived class whose linked components call back into it while
    // told calls it first in its own destructor, while its own part is still whole.
    void NotifyFreeLinks();

private:
    void ValidateRename(TComponent* component, const std::string& currentName,
                        const std::string& newName) const;
    void Unlink(TComponent* component);

    TComponent* FOwner = nullptr;
    std::string FName;
    intptr_t FTag = 0;
    TComponentState FComponentState;
    std::vector<TComponent*> FComponents;   // owned
    std::vector<TComponent*> FFreeNotifies; // linked both ways, not owned
};

} // namespace zan
