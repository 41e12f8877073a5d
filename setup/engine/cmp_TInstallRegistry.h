// The registry side of an installation: TInstallRegistry writes a list of values under one key
// (registered type 8500, so it runs in the "Installing registry keys..." phase) and records the
// key for the uninstaller; TUninstallEXE is the uninstaller as an install file, whose uninstall
// information is the record the Windows program-removal list reads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstallFile.h"

namespace zan {

class TCustomInstallRegistry;
class TRegistryEntries;

enum TRegistryEntryType : uint8_t { retText, retInteger, retBoolean };
enum TKeySpecifier : uint8_t { ksAbsolute, ksCompanyName, ksProductName, ksVersion };

// One value of a registry component. Outside loading, writing Text, Integer or Boolean sets the
// entry type; a path specifier makes the entry the text "%p".
class TRegistryEntry {
public:
    explicit TRegistryEntry(TRegistryEntries* collection) : FCollection(collection) {}

    const std::string& GetIdent() const { return FIdent; }
    void SetIdent(const std::string& ident) { FIdent = ident; }
    TRegistryEntryType GetEntryType() const { return FEntryType; }
    void SetEntryType(TRegistryEntryType type) { FEntryType = type; }
    const std::string& GetText() const { return FText; }
    void SetText(const std::string& text);
    int32_t GetInteger() const { return FInteger; }
    void SetInteger(int32_t value);
    bool GetBoolean() const { return FBoolean; }
    void SetBoolean(bool value);
    TCustomPathSpecifier* GetPathSpecifier() const { return FPathSpecifier; }
    // Checks that the specifier can serve the registry component; sets Text "%p".
    void SetPathSpecifier(TCustomPathSpecifier* specifier);
    // The specifier goes away: forget it, keep the type.
    void ClearPathSpecifier() { FPathSpecifier = nullptr; }

    // The value as text: Text with "%p" expanded for the component when a specifier is set,
    // the number, or "True"/"False".
    std::string TextForm(TComponent* component);

private:
    bool Loading() const;
    TRegistryEntries* FCollection;
    std::string FIdent;
    TRegistryEntryType FEntryType = retText;
    std::string FText;
    int32_t FInteger = 0;
    bool FBoolean = false;
    TCustomPathSpecifier* FPathSpecifier = nullptr;
};

// The entries of one registry component, in order.
class TRegistryEntries {
public:
    // IERegistryEntries without an owner.
    explicit TRegistryEntries(TCustomInstallRegistry* owner);
    TRegistryEntry* Add();
    int Count() const { return static_cast<int>(FItems.size()); }
    TRegistryEntry* Item(int index) const { return FItems.at(static_cast<size_t>(index)).get(); }
    void Clear() { FItems.clear(); }
    // Copies the entries of source.
    void Assign(const TRegistryEntries& source);
    TCustomInstallRegistry* GetOwner() const { return FOwner; }

private:
    TCustomInstallRegistry* FOwner;
    std::vector<std::unique_ptr<TRegistryEntry>> FItems;
};

using TBeforeWriteEntry =
    std::function<void(TObject* sender, TRegistryEntry* entry, bool& write)>;

class TCustomInstallRegistry : public TInstallObject {
public:
    explicit TCustomInstallRegistry(TComponent* owner);
    ~TCustomInstallRegistry() override;
    ZAN_CLASS(TCustomInstallRegistry)

    int32_t RegisteredType() const override { return rtRegistryWriter; }
    // Event -968 runs Process.
    void HandleEvent(TObject* sender, int code, TObject* parameter) override;
    // Writes the entries.
    void ProcessChildren() override;
    void WriteUninstallInformation(const std::string& key) override;

    virtual void SetEntries(const TRegistryEntries& entries) { FEntries.Assign(entries); }
    // Stored only for ksAbsolute.
    virtual void SetKey(const std::string& key);
    // A non-absolute type needs a TInstall and sets RootKey hkLocalMachine.
    virtual void SetKeySpecifierType(TKeySpecifier type);
    // The key the entries go to (see TKeySpecifier).
    virtual std::string GetKey();

    TRegistryEntries& GetEntries() { return FEntries; }
    const std::string& GetStoredKey() const { return FKey; }
    TKeySpecifier GetKeySpecifierType() const { return FKeySpecifierType; }
    TRootKeys GetRootKey() const { return FRootKey; }
    void SetRootKey(TRootKeys root) { FRootKey = root; }

    TBeforeWriteEntry OnBeforeWriteEntry;

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    TRegistryEntries FEntries;
    std::string FKey = "\\SOFTWARE\\MyStuff";
    TKeySpecifier FKeySpecifierType = ksAbsolute;
    TRootKeys FRootKey = hkLocalMachine;
};

class TInstallRegistry : public TCustomInstallRegistry {
public:
    explicit TInstallRegistry(TComponent* owner) : TCustomInstallRegistry(owner) {}
    ZAN_CLASS(TInstallRegistry)
};

// Every live registry component, in creation order.
const std::vector<TCustomInstallRegistry*>& InstallRegistryList();

// The uninstaller program: its uninstall information is the product's removal record.
class TUninstallEXE : public TCustomInstallFile {
public:
    explicit TUninstallEXE(TComponent* owner);
    ~TUninstallEXE() override;
    ZAN_CLASS(TUninstallEXE)
    void WriteUninstallInformation(const std::string& key) override;
};

} // namespace zan
