#include "setup/engine/cmp_TInstallRegistry.h"

#include <algorithm>

#include "host/rtl/SysUtils.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

namespace {

std::vector<TCustomInstallRegistry*>& Registries() {
    static std::vector<TCustomInstallRegistry*> list;
    return list;
}

constexpr int ieRegistryWriter = -968;

TCustomInstall& RequireInstall() {
    TCustomInstall* install = CurrentInstall();
    if (!install) throw IEInstallRegistry("There is no TInstall component in your project");
    return *install;
}

} // namespace

const std::vector<TCustomInstallRegistry*>& InstallRegistryList() { return Registries(); }

// ---- entries ----

bool TRegistryEntry::Loading() const {
    return FCollection && FCollection->GetOwner() && FCollection->GetOwner()->IsLoading();
}

void TRegistryEntry::SetText(const std::string& text) {
    FText = text;
    if (!Loading()) FEntryType = retText;
}

void TRegistryEntry::SetInteger(int32_t value) {
    FInteger = value;
    if (!Loading()) FEntryType = retInteger;
}

void TRegistryEntry::SetBoolean(bool value) {
    FBoolean = value;
    if (!Loading()) FEntryType = retBoolean;
}

void TRegistryEntry::SetPathSpecifier(TCustomPathSpecifier* specifier) {
    TCustomInstallRegistry* owner = FCollection ? FCollection->GetOwner() : nullptr;
    if (specifier && owner) specifier->CheckUsable(owner);
    FPathSpecifier = specifier;
    if (specifier && owner) owner->FreeNotification(specifier);
    if (specifier && !Loading()) {
        FText = "%p";
        FEntryType = retText;
    }
}

std::string TRegistryEntry::TextForm(TComponent* component) {
    switch (FEntryType) {
    case retInteger: return std::to_string(FInteger);
    case retBoolean: return FBoolean ? "True" : "False";
    case retText: break;
    }
    // Without a specifier "%p" stays as it is.
    if (!FPathSpecifier) return FText;
    return ExpandPathTemplate(FText, FPathSpecifier->PathFor(component));
}

TRegistryEntries::TRegistryEntries(TCustomInstallRegistry* owner) : FOwner(owner) {
    if (!owner)
        throw IERegistryEntries("Cannot create a TRegistryEntries component with a Nil Owner");
}

TRegistryEntry* TRegistryEntries::Add() {
    FItems.push_back(std::make_unique<TRegistryEntry>(this));
    return FItems.back().get();
}

void TRegistryEntries::Assign(const TRegistryEntries& source) {
    if (&source == this) return;
    FItems.clear();
    for (const auto& item : source.FItems) {
        auto copy = std::make_unique<TRegistryEntry>(this);
        *copy = *item;
        FItems.push_back(std::move(copy));
    }
}

// ---- registry component ----

TCustomInstallRegistry::TCustomInstallRegistry(TComponent* owner)
    : TInstallObject(owner), FEntries(this) {
    Registries().push_back(this);
    if (CurrentInstall()) FreeNotification(CurrentInstall());
}

TCustomInstallRegistry::~TCustomInstallRegistry() {
    auto& list = Registries();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void TCustomInstallRegistry::HandleEvent(TObject* sender, int code, TObject* parameter) {
    TInstallObject::HandleEvent(sender, code, parameter);
    if (code == ieRegistryWriter) Process();
}

void TCustomInstallRegistry::SetKey(const std::string& key) {
    FKey = FKeySpecifierType == ksAbsolute ? key : std::string();
}

void TCustomInstallRegistry::SetKeySpecifierType(TKeySpecifier type) {
    if (type != ksAbsolute) {
        RequireInstall();
        FRootKey = hkLocalMachine;
        FKey.clear();
    }
    FKeySpecifierType = type;
}

std::string TCustomInstallRegistry::GetKey() {
    if (FKeySpecifierType == ksAbsolute) return RemoveTrailingBackslash(FKey);
    const TInstallInformation& info = RequireInstall().Information;
    std::string key = "\\SOFTWARE\\" + info.CompanyName;
    if (FKeySpecifierType >= ksProductName) key += "\\" + info.ProductName;
    if (FKeySpecifierType >= ksVersion) key += "\\" + info.Version;
    return key;
}

void TCustomInstallRegistry::ProcessChildren() {
    std::string key = GetKey();
    for (int i = 0; i < FEntries.Count(); ++i) {
        TRegistryEntry* entry = FEntries.Item(i);
        bool write = true;
        if (OnBeforeWriteEntry) OnBeforeWriteEntry(this, entry, write);
        if (!write) continue;
        TcrvnRegistry registry;
        SetRegistryRoot(registry, FRootKey);
        if (!registry.OpenNestedKey(key, true))
            throw IERegistryEntry("%s cannot create the key %s in the registry", {GetName(), key});
        switch (entry->GetEntryType()) {
        case retText: registry.WriteString(entry->GetIdent(), entry->TextForm(this)); break;
        case retInteger: registry.WriteInteger(entry->GetIdent(), entry->GetInteger()); break;
        case retBoolean: registry.WriteBool(entry->GetIdent(), entry->GetBoolean()); break;
        }
    }
    TInstallObject::ProcessChildren();
}

void TCustomInstallRegistry::WriteUninstallInformation(const std::string& key) {
    std::string keys = key + "\\RegistryKeys";
    // The "Entries" counter is read and advanced under the hive's lock.
    TRegHiveUpdate update(HKEY_LOCAL_MACHINE);
    int32_t n = NextRegCount(StrToIntDef(RegReadString(hkLocalMachine, keys, "Entries", "0"), 0));
    RegWriteString(hkLocalMachine, keys, "Entries", std::to_string(n));
    std::string sub = keys + "\\RegistryKey" + std::to_string(n);
    RegWriteString(hkLocalMachine, sub, "Key", GetKey());
    RegWriteString(hkLocalMachine, sub, "Root", std::to_string(static_cast<int>(FRootKey)));
    for (int i = 0; i < FEntries.Count(); ++i) {
        TRegistryEntry* entry = FEntries.Item(i);
        RegWriteString(hkLocalMachine, sub + "\\Entries", entry->GetIdent(), entry->TextForm(this));
    }
}

void TCustomInstallRegistry::Notification(TComponent* component, TOperation operation) {
    TInstallObject::Notification(component, operation);
    if (operation != opRemove) return;
    if (component == CurrentInstall() && FKeySpecifierType != ksAbsolute) {
        FKeySpecifierType = ksAbsolute;
    }
    for (int i = 0; i < FEntries.Count(); ++i)
        if (FEntries.Item(i)->GetPathSpecifier() == component) FEntries.Item(i)->ClearPathSpecifier();
}

// ---- uninstaller ----

TUninstallEXE::TUninstallEXE(TComponent* owner) : TCustomInstallFile(owner) { FNet = true; }

TUninstallEXE::~TUninstallEXE() {
    if (TCustomInstall* install = CurrentInstall()) install->BuildInfo.AddUninstallOnCreate = false;
}

void TUninstallEXE::WriteUninstallInformation(const std::string& key) {
    TCustomInstall* install = CurrentInstall();
    if (!install)
        throw IEUninstallEXE("%s could not write information about the uninstall to the registry "
                             "because there was no TInstall component",
                             {GetName()});
    const TInstallInformation& info = install->Information;
    const TControlPanelExtensionInformation& extra = install->win2KExtendedInformation;
    RegWriteString(hkLocalMachine, key, "DisplayName", Trim(info.ProductName));
    RegWriteString(hkLocalMachine, key, "UninstallString",
                   GetDestinationFile() + " " + info.ProductName);
    auto optional = [&](const char* name, const std::string& value) {
        if (!value.empty()) RegWriteString(hkLocalMachine, key, name, value);
    };
    auto fileValue = [](TCustomInstallFile* file) {
        return file && file->IsIncluded() ? file->GetDestinationFile() : std::string();
    };
    optional("Comments", extra.Comments);
    optional("Contact", extra.Contact);
    optional("DisplayIcon", fileValue(extra.DisplayIcon));
    optional("DisplayVersion", info.Version);
    optional("HelpLink", extra.HelpLink);
    optional("HelpTelephone", extra.HelpTelephone);
    optional("Publisher", info.CompanyName);
    optional("ProductID", extra.ProductID);
    optional("Readme", fileValue(extra.ReadMe));
    optional("URLInfoAbout", extra.URLInfoAbout);
    optional("URLUpdateInfo", extra.URLUpdateInfo);
    optional("RegCompany", install->RegistrationInformation.RegCompany);
    optional("RegOwner", install->RegistrationInformation.RegOwner);
}

} // namespace zan
