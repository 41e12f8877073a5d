#include "host/rtl/Classes.h"

#include <algorithm>

#include "host/rtl/Format.h"

namespace zan {

namespace {

char LowerASCII(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool IsAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool Erase(std::vector<TComponent*>& list, TComponent* item) {
    auto it = std::find(list.begin(), list.end(), item);
    if (it == list.end()) return false;
    list.erase(it);
    return true;
}

} // namespace

void ListIndexError(int64_t index) {
    throw EListError(Format("List index out of bounds (%d)", index));
}

bool IsValidIdent(const std::string& name) {
    if (name.empty() || !IsAlpha(name[0])) return false;
    return std::all_of(name.begin() + 1, name.end(),
                       [](char c) { return IsAlpha(c) || (c >= '0' && c <= '9'); });
}

bool SameTextASCII(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerASCII(a[i]) != LowerASCII(b[i])) return false;
    return true;
}

TComponent::TComponent(TComponent* owner) {
    if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
    Destroying();
    NotifyFreeLinks();
    DestroyComponents();
    if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::NotifyFreeLinks() {
    // Each link is dropped before its call, so that a handler that touches the links (or frees
    // other components) cannot leave one dangling.
    while (!FFreeNotifies.empty()) {
        TComponent* other = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        Erase(other->FFreeNotifies, this);
        other->Notification(this, opRemove);
    }
}

void TComponent::SetName(const std::string& name) {
    if (name == FName) return;
    if (!name.empty() && !IsValidIdent(name))
        throw EComponentError(Format("Component name \"%s\" is not valid", name));
    if (FOwner) FOwner->ValidateRename(this, FName, name);
    FName = name;
}

void TComponent::ValidateRename(TComponent* component, const std::string& currentName,
                                const std::string& newName) const {
    if (newName.empty() || SameTextASCII(currentName, newName)) return;
    TComponent* holder = FindComponent(newName);
    if (holder && holder != component)
        throw EComponentError(Format("A component named %s already exists", newName));
}

TComponent* TComponent::Components(int index) const {
    if (index < 0 || index >= ComponentCount()) ListIndexError(index);
    return FComponents[static_cast<size_t>(index)];
}

int TComponent::GetComponentIndex() const {
    if (!FOwner) return -1;
    auto& list = FOwner->FComponents;
    auto it = std::find(list.begin(), list.end(), this);
    return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

TComponent* TComponent::FindComponent(const std::string& name) const {
    if (name.empty()) return nullptr;
    for (TComponent* c : FComponents)
        if (SameTextASCII(c->FName, name)) return c;
    return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
    if (!component || component->FOwner == this) return;
    if (component == this) throw EComponentError("A component cannot own itself");
    for (TComponent* o = FOwner; o; o = o->FOwner)
        if (o == component) throw EComponentError("A component cannot own its owner");
    ValidateRename(component, "", component->FName);
    if (component->FOwner) component->FOwner->RemoveComponent(component);
    FComponents.push_back(component);
    component->FOwner = this;
    if (FComponentState.Contains(csDesigning)) component->SetDesigning(true);
    Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
    if (!component || component->FOwner != this) return;
    Notification(component, opRemove);
    Erase(FComponents, component);
    component->FOwner = nullptr;
}

void TComponent::DestroyComponents() {
    while (!FComponents.empty()) {
        TComponent* child = FComponents.back();
        FComponents.pop_back();
        child->FOwner = nullptr;
        delete child;
    }
}

void TComponent::Destroying() {
    if (FComponentState.Contains(csDestroying)) return;
    FComponentState.Include(csDestroying);
    for (TComponent* c : FComponents)
        c->Destroying();
}

void TComponent::SetLoading(bool loading) {
    if (loading)
        FComponentState.Include(csLoading);
    else
        FComponentState.Exclude(csLoading);
}

void TComponent::SetReading(bool reading) {
    if (reading)
        FComponentState.Include(csReading);
    else
        FComponentState.Exclude(csReading);
}

void TComponent::SetDesigning(bool designing) {
    if (designing)
        FComponentState.Include(csDesigning);
    else
        FComponentState.Exclude(csDesigning);
    for (TComponent* c : FComponents)
        c->SetDesigning(designing);
}

void TComponent::Loaded() {
    FComponentState.Exclude(csLoading);
}

void TComponent::FreeNotification(TComponent* component) {
    if (!component || component == this) return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), component) != FFreeNotifies.end())
        return;
    FFreeNotifies.push_back(component);
    component->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
    Unlink(component);
}

void TComponent::Unlink(TComponent* component) {
    if (!component) return;
    if (Erase(FFreeNotifies, component)) Erase(component->FFreeNotifies, this);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
    if (operation == opRemove && component) Unlink(component);
    // By index, re-reading the size: a handler may remove components from this owner.
    for (size_t i = 0; i < FComponents.size(); ++i)
        FComponents[i]->Notification(component, operation);
}

} // namespace zan
