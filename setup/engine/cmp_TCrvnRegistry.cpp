#include "setup/engine/cmp_TCrvnRegistry.h"

#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/routines_API.h"

namespace zan {

namespace {

constexpr HKEY RootKeys[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER,
                             HKEY_DYN_DATA,     HKEY_LOCAL_MACHINE,  HKEY_USERS};

} // namespace

bool TcrvnRegistry::OpenNestedKey(const std::string& key, bool canCreate) {
    return OpenKey(key, canCreate);
}

bool TcrvnRegistry::NestedKeyExists(const std::string& key) {
    // Opened for reading and closed again, leaving the current key as it was.
    return KeyExists(key);
}

bool TcrvnRegistry::DeleteNestedKeyTree(const std::string& key) {
    std::string full = "\\";
    full += FullPath(key);
    if (!OpenKey(full, false)) return false;
    TStringList subKeys;
    GetKeyNames(subKeys);
    CloseKey();
    for (int i = 0; i < subKeys.Count(); ++i) {
        try {
            DeleteNestedKeyTree(full + "\\" + subKeys[i]);
        } catch (const Exception&) {
        }
    }
    return DeleteKey(full);
}

void SetRegistryRoot(TRegistry& registry, int rootIndex) {
    if (rootIndex >= hkClassesRoot && rootIndex <= hkUsers) registry.SetRootKey(RootKeys[rootIndex]);
}

int RegistryRootFromKey(HKEY key, int defaultIndex) {
    for (int i = 0; i < 6; ++i)
        if (RootKeys[i] == key) return i;
    return defaultIndex;
}

void RegWriteString(TRootKeys rootIndex, const std::string& key, const std::string& ident,
                    const std::string& value) {
    auto fail = [&] {
        throw EIRCannotWriteValue(
            Format("Cannot install into registry. Key: %s Ident: %s Value %s", key, ident, value));
    };
    try {
        TcrvnRegistry reg;
        SetRegistryRoot(reg, rootIndex);
        if (!reg.OpenNestedKey(key, true)) fail();
        reg.WriteString(ident, value);
    } catch (const EIRCannotWriteValue&) {
        throw;
    } catch (const Exception&) {
        fail();
    }
}

void RegWriteInteger(TRootKeys rootIndex, const std::string& key, const std::string& ident,
                     int32_t value) {
    try {
        TcrvnRegistry reg;
        SetRegistryRoot(reg, rootIndex);
        if (!reg.OpenNestedKey(key, true)) throw EIRCannotWriteValue(key);
        reg.WriteInteger(ident, value);
    } catch (const EIRCannotWriteValue&) {
        throw;
    } catch (const Exception&) {
        throw EIRCannotWriteValue(key);
    }
}

namespace {

// Reads a value with read, or answers the default: a missing key (never created), a missing
// value or any read error.
template <typename T, typename F>
T ReadOrDefault(TRootKeys rootIndex, const std::string& key, const std::string& ident,
                const T& defaultValue, F read) {
    try {
        TcrvnRegistry reg;
        SetRegistryRoot(reg, rootIndex);
        if (!reg.NestedKeyExists(key) || !reg.OpenNestedKey(key, false) || !reg.ValueExists(ident))
            return defaultValue;
        return read(reg);
    } catch (const Exception&) {
        return defaultValue;
    }
}

} // namespace

std::string RegReadString(TRootKeys rootIndex, const std::string& key, const std::string& ident,
                          const std::string& defaultValue) {
    return ReadOrDefault(rootIndex, key, ident, defaultValue,
                         [&](TcrvnRegistry& reg) { return reg.ReadString(ident); });
}

int32_t RegReadInteger(TRootKeys rootIndex, const std::string& key, const std::string& ident,
                       int32_t defaultValue) {
    return ReadOrDefault(rootIndex, key, ident, defaultValue,
                         [&](TcrvnRegistry& reg) { return reg.ReadInteger(ident); });
}

void RegDeleteKeyTree(TRootKeys rootIndex, const std::string& key) {
    try {
        TcrvnRegistry reg;
        SetRegistryRoot(reg, rootIndex);
        if (!reg.OpenNestedKey(key, false)) return;
        TStringList subKeys;
        reg.GetKeyNames(subKeys);
        std::string full = "\\";
        full += reg.GetCurrentPath();
        reg.CloseKey();
        for (int i = 0; i < subKeys.Count(); ++i)
            RegDeleteKeyTree(rootIndex, full + "\\" + subKeys[i]);
        reg.DeleteKey(full);
    } catch (const Exception&) {
    }
}

bool AddRunOnceEntry(const std::string& name, const std::string& command, bool unique) {
    try {
        TOSVerType os = GetOSVerType();
        HKEY root = os == oswinNT || os == oswin2K || os == oswinXP ? HKEY_CURRENT_USER
                                                                    : HKEY_LOCAL_MACHINE;
        {
            // A free name is looked for and taken under the hive's lock.
            TRegHiveUpdate update(root);
            TcrvnRegistry reg;
            reg.SetRootKey(root);
            reg.SetLazyWrite(false);
            if (!reg.OpenNestedKey(RunOnceKeyPath, true)) return false;
            std::string valueName = name;
            if (unique)
                for (int n = 1; reg.ValueExists(valueName); ++n)
                    valueName = name + IntToStr(n);
            reg.WriteString(valueName, command);
        }
        RegFlushHive(root);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

} // namespace zan
