// TZanDataBase maintenance: deleting and renaming tables, copying the database file, rebuilding
// a table from a backup copy, and the table-use locks that keep other connections from reading
// a table whose storage or name goes away under them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/storage/zanConsts.h"
#include "engine/storage/zanCrypt.h"
#include "engine/storage/zanJournal.h"
#include "engine/storage/zanLockMgrUnit.h"
#include "engine/storage/zanTemporary.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

const char* const C_OBJECTIDREF_TABLE = "$SYSTBL_OBJECTIDREF";
// The table-use regions in the users file: beyond the record locks (0x2000000 plus any 32-bit
// record address), one region per table id.
constexpr uint64_t C_TABLE_USE_BASE = 0x200000000ull;
constexpr uint32_t C_TABLE_USE_REGION = 8192;
constexpr uint32_t C_PAGE_SIZE_MAINT = 4096;
// The security level of the database definition header.
constexpr uint32_t C_DB_SECURITY_LEVEL_OFFSET = 246;

bool IsSystemTableName(const std::string& name) {
    return !name.empty() && name[0] == '$';
}

void CheckNameLength(const std::string& name, const char* context) {
    if (name.empty() || name.size() > C_MAX_TABLE_NAME)
        ZanDatabaseErrorFmt(10039, context, SzanStringInvalidFmt,
                            {name, 1, int32_t(C_MAX_TABLE_NAME)});
}

std::string OSErrorText(int error) {
    char buffer[256] = {};
    return std::string(strerror_r(error, buffer, sizeof buffer));
}

// Same device and inode: the same file under any spelling or link.
bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A temporary name beside path, unique to this process.
std::string TemporaryNameFor(const std::string& path) {
    return TemporaryFileNameFor(path);
}

// Syncs the file at path and gives it the owner and mode bits of the file described by model;
// answers errno or 0.
int FinishCopy(const std::string& path, const struct stat& model) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    ZanGiveOwner(fd, model.st_uid, model.st_gid);
    if (fchmod(fd, model.st_mode & 07777) != 0 || fsync(fd) != 0) error = errno;
    close(fd);
    return error;
}

void SyncDirectoryOf(const std::string& path) {
    const std::string dir = std::filesystem::path(path).parent_path().string();
    const int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Syncs the file written under the temporary name, gives it the owner and mode bits of the file
// described by model and renames it over path; answers errno or 0.
int PublishFile(const std::string& temp, const std::string& path, const struct stat& model) {
    if (const int error = FinishCopy(temp, model)) return error;
    if (rename(temp.c_str(), path.c_str()) != 0) return errno;
    SyncDirectoryOf(path);
    return 0;
}

// Writes the bytes of the file at temp over the file at path, in place, and syncs it; answers
// errno or 0. For a destination the user may write but not replace: in a folder with the
// sticky bit another user's file cannot be renamed over, so a backup copy made by one user
// would otherwise refuse every later copy of another user sharing the database.
int RewriteInPlace(const std::string& temp, const std::string& path) {
    const int in = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    TScopeExit closeIn([&] { close(in); });
    const int out = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (out < 0) return errno;
    TScopeExit closeOut([&] { close(out); });
    struct stat st {};
    if (fstat(out, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EPERM;
    std::vector<char> buffer(1 << 20);
    off_t at = 0;
    for (;;) {
        const ssize_t n = pread(in, buffer.data(), buffer.size(), at);
        if (n < 0) return errno;
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = pwrite(out, buffer.data() + done, size_t(n - done), at + done);
            if (w <= 0) return w < 0 ? errno : EIO;
            done += w;
        }
        at += n;
    }
    if (ftruncate(out, at) != 0 || fsync(out) != 0) return errno;
    return 0;
}

void RebuildLog(const std::string& text) {
    GDBLogger().LogItem("TZanDataBase.RebuildDatabase", text);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Table-use locks

TBaseLockMgr* TZanDataBase::TableUseLocks() {
    if (FTableUseLocks) return FTableUseLocks.get();
    if (!FDiskMgr || !FDiskMgr->GetMultiUser() || !FDiskMgr->GetUserMonitor()) return nullptr;
    TWinFile* lockFile = FDiskMgr->GetUserMonitor()->GetLockFileHandle();
    FTableUseLocks = GetLockManager(&FDiskMgr->GetZanFile()->GetWinFile(), lockFile,
                                    C_TABLE_USE_BASE, C_TABLE_USE_REGION, false);
    FTableUseLocks->SetLockRetryCount(FLockRetryMaximum);
    FTableUseLocks->SetLockRetryInterval(FLockRetryInterval);
    FTableUseLocks->SetReadLockErrMsg("The table is being changed by another connection");
    FTableUseLocks->SetWriteLockErrMsg("The table is open in another connection");
    return FTableUseLocks.get();
}

void TZanDataBase::AcquireTableUse(int32_t tableID) {
    int32_t& uses = FTableUses[tableID];
    if (uses == 0 && FTablesHeld.count(tableID) == 0) {
        if (TBaseLockMgr* locks = TableUseLocks()) {
            try {
                locks->SetReadLock(uint32_t(tableID), 1);
            } catch (...) {
                FTableUses.erase(tableID);
                throw;
            }
        }
    }
    ++uses;
}

void TZanDataBase::ReleaseTableUse(int32_t tableID) noexcept {
    auto it = FTableUses.find(tableID);
    if (it == FTableUses.end()) return;
    if (--it->second > 0) return;
    FTableUses.erase(it);
    if (FTablesHeld.count(tableID) != 0 || !FTableUseLocks) return;
    try {
        FTableUseLocks->ReleaseLock(uint32_t(tableID));
    } catch (const std::exception&) {
        // The lock goes with the users file's handle at the latest.
    }
}

void TZanDataBase::HoldTableForChange(int32_t tableID) {
    int32_t& held = FTablesHeld[tableID];
    if (held == 0) {
        if (TBaseLockMgr* locks = TableUseLocks()) {
            try {
                locks->SetWriteLock(uint32_t(tableID), 0);
            } catch (...) {
                FTablesHeld.erase(tableID);
                throw;
            }
        }
    }
    ++held;
}

void TZanDataBase::ReleaseTableForChange(int32_t tableID) {
    auto it = FTablesHeld.find(tableID);
    if (it == FTablesHeld.end()) return;
    if (--it->second > 0) return;
    FTablesHeld.erase(it);
    if (!FTableUseLocks) return;
    FTableUseLocks->ReleaseLock(uint32_t(tableID));
    // This connection's own openers keep their shared byte.
    if (FTableUses.count(tableID) != 0) FTableUseLocks->SetReadLock(uint32_t(tableID), 1);
}

// ---------------------------------------------------------------------------------------------
// Privileges of the maintenance operations

void TZanDataBase::RequireTablePrivilege(const std::string& name, int32_t privilege,
                                         const char* context) {
    if (!QueryObjectPrivilegeExists(doTable, name, privilege))
        ZanDatabaseError(10624, context, name);
}

// ---------------------------------------------------------------------------------------------
// Delete and rename

void TZanDataBase::RemoveCatalogueEntry(TTableDef& def, const char* context) {
    const std::string name = def.GetTableName();
    TZanRowStore& master = MasterTableFor(name);
    master.WithLock(true, [&] {
        const uint32_t address = FindCatalogueRow(master, name);
        if (address == 0)
            ZanDatabaseError(8581, context, "Unable to delete internal table definition: " + name);
        master.Delete(address);
    });
    if (FObjectIDRef && !IsSystemTableName(name) && GetObjectID(name) >= 0) FObjectIDRef->Delete();
    FParsedDefs.erase(ZanAnsiUpperCase(name));
}

std::vector<uint16_t> TZanDataBase::CatalogueTables(const std::string& name) {
    std::vector<uint16_t> tables{MasterTableFor(name).TableID()};
    if (FObjectIDRef && !IsSystemTableName(name))
        tables.push_back(uint16_t(FObjectIDRef->GetTableDef().GetTableID()));
    return tables;
}

void TZanDataBase::DeleteTable(const std::string& name, bool memory, bool internal) {
    static const char* const context = "TZanDataBase.DeleteTable";
    CheckConnected(memory);
    if (!internal) {
        if (!memory && !IsMemoryDatabase()) CheckExclusive();
        RequireTablePrivilege(name, MapObjectPrivTypeToConst(opDeleteObj), context);
    }
    TTableDef def;
    QueryTableDef(name, memory, def);
    if (memory || IsMemoryDatabase()) {
        const int32_t i = FMemoryTables->IndexOfTableName(name);
        if (i >= 0 && FMemoryTables->Masters(i)->GetUserCount() > 0)
            ZanDatabaseError(10053, context, name);
        FMemoryTables->DeleteTableDef(name, def);
        return;
    }
    TBaseTableDefMgr& mgr = ManagerOf(def);
    const int32_t id = def.GetTableID();
    if (mgr.CheckTableUserCount(id) > 0) ZanDatabaseError(10053, context, name);
    TDiskWriteScope scope(FDiskMgr.get());
    HoldTableForChange(id);
    TScopeExit release([&] { ReleaseTableForChange(id); });
    WithCatalogueLocks(CatalogueTables(name), [&] {
        if (mgr.CheckTableUserCount(id) > 0) ZanDatabaseError(10053, context, name);
        mgr.DeleteTableDef(name, def);
        FDiskMgr->DeleteOwnedPages(static_cast<uint32_t>(id), 0, true);
        def.SetTableName(name);
        RemoveCatalogueEntry(def, context);
    });
}

void TZanDataBase::RenameTable(const std::string& oldName, const std::string& newName,
                               bool internal) {
    static const char* const context = "TZanDataBase.RenameTable";
    CheckConnected(false);
    if (!internal) {
        CheckExclusive();
        RequireTablePrivilege(oldName, MapObjectPrivTypeToConst(opAlterObj), context);
        if (IsSystemTableName(newName)) ZanDatabaseError(10041, context, newName);
    }
    CheckNameLength(newName, context);
    CheckNameLength(oldName, context);
    TTableDef def;
    QueryTableDef(oldName, false, def);
    def.SetLastModDate(Now());
    if (def.GetMemory()) ZanDatabaseError(10766, context, SzanDBOperationCannotBePerformed);
    TBaseTableDefMgr& mgr = ManagerOf(def);
    const int32_t id = def.GetTableID();
    if (mgr.CheckTableUserCount(id) > 0) ZanDatabaseError(10119, context, oldName);
    if (IsSystemTableName(oldName) != IsSystemTableName(newName))
        ZanDatabaseError(10041, context, newName);
    TDiskWriteScope scope(FDiskMgr.get());
    HoldTableForChange(id);
    TScopeExit release([&] { ReleaseTableForChange(id); });
    TZanRowStore& master = MasterTableFor(oldName);
    WithCatalogueLocks(CatalogueTables(oldName), [&] {
        if (mgr.CheckTableUserCount(id) > 0) ZanDatabaseError(10119, context, oldName);
        const bool caseOnly = SameText(oldName, newName);
        if (!caseOnly && FindCatalogueRow(master, newName) != 0)
            ZanDatabaseError(13060, context, newName);
        mgr.ForgetUnusedMaster(oldName);
        def.SetTableName(newName);
        // An enciphered table's open checks its name against the enciphered copy: it follows.
        if (def.GetEncrypted()) {
            std::string alt(newName.size(), '\0');
            XORCryptBuf(newName.data(), alt.data(), C_ZANXORKEY, 0,
                        int32_t(sizeof(C_ZANXORKEY)), int32_t(newName.size()));
            def.SetAltName(alt);
        }
        master.WithLock(true, [&] {
            const uint32_t address = FindCatalogueRow(master, oldName);
            if (address == 0) ZanDatabaseError(10024, context, oldName);
            TZanRow row = master.Read(address);
            RecordSetString(row.data(), master.Field("Name"), newName);
            master.SetBlobText(row, "TableDef", ComponentToText(def));
            master.Update(address, row);
        });
        if (FObjectIDRef && !IsSystemTableName(oldName) && GetObjectID(oldName) >= 0) {
            FObjectIDRef->Edit();
            try {
                FObjectIDRef->FieldByName("ObjectName")->SetAsString(newName);
                FObjectIDRef->Post();
            } catch (...) {
                FObjectIDRef->Cancel();
                throw;
            }
        }
        FParsedDefs.erase(ZanAnsiUpperCase(oldName));
        FParsedDefs.erase(ZanAnsiUpperCase(newName));
    });
}

// ---------------------------------------------------------------------------------------------
// Whole files

std::string TZanDataBase::GetBackupFileName() const {
    return ChangeFileExt(FDirectory + FDataBaseName, ".zdx");
}

void TZanDataBase::CopyDatabase(const std::string& destination, bool overwrite) {
    static const char* const context = "TZanDataBase.CopyDatabase";
    const std::string source = FDirectory + FDataBaseName;
    std::error_code ec;
    const bool destExists = std::filesystem::exists(destination, ec);
    if (destination == source || (destExists && SameFile(source, destination)))
        ZanDatabaseError(9344, context, source);
    struct stat st {};
    if (IsMemoryDatabase() || stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        ZanDatabaseError(9988, context, source);
    if (destExists && !overwrite) ZanDatabaseError(1, context, destination);
    if (destExists) {
        // A destination another connection holds open is not replaced under it.
        if (std::filesystem::is_directory(destination, ec))
            ZanDatabaseError(9344, context, OSErrorText(EISDIR) + "." + source);
        TWinFile probe;
        try {
            probe.Open(destination, faRead, fsExclusive);
        } catch (const Exception& e) {
            ZanDatabaseError(9344, context, e.Message() + "." + destination);
        }
    }
    const std::string temp = TemporaryNameFor(destination);
    TScopeExit removeTemp([&] { unlink(temp.c_str()); });
    if (FConnected) {
        try {
            FDiskMgr->CopyCurrentFile(temp);
        } catch (const EZanDatabaseError&) {
            throw;
        } catch (const Exception& e) {
            ZanDatabaseError(9344, context, e.Message() + "." + source);
        }
    } else if (!DoCopyFile(source, temp, true)) {
        ZanDatabaseError(9344, context, OSErrorText(errno) + "." + source);
    }
    int error = PublishFile(temp, destination, st);
    if ((error == EPERM || error == EACCES) && destExists) error = RewriteInPlace(temp, destination);
    if (error != 0) ZanDatabaseError(9344, context, OSErrorText(error) + "." + source);
    if (!std::filesystem::exists(destination, ec)) ZanDatabaseError(9344, context, destination);
}

void TZanDataBase::RebuildTable(const std::string& name, const std::string& sourcePath,
                                TZanDataSet& dest) {
    static const char* const context = "TZanDataBase.RebuildTable";
    QueryOpenStatus(true, true);
    const int32_t own = dest.GetInternalActive() ? 1 : 0;
    if (GetLocalConnectedUserCount(name) > own) ZanDatabaseError(10031, context, name);
    TZanDataBase source;
    source.SetDataBaseName(sourcePath);
    source.SetExclusive(true);
    source.SetLockRetryMaximum(FLockRetryMaximum);
    source.SetLockRetryInterval(FLockRetryInterval);
    source.SetMasterKey(FMasterKey);
    source.BeforeLogin = BeforeLogin;
    source.SetLoginPrompt(FLoginPrompt);
    // The caller logged on to this database: the backup is entered without a second logon.
    source.SetTemporaryPrivilegeStatus(C_ALL_PRIVILEGES);
    source.Open();
    TZanDataSet from;
    from.SetDataBase(&source);
    from.SetTableName(name);
    from.DataSetOpen();
    const bool wasOpen = dest.GetInternalActive();
    if (!wasOpen) dest.DataSetOpen();
    TScopeExit closeDest([&] {
        if (!wasOpen) dest.DataSetClose();
    });
    dest.DataSetEmptyTable();
    from.CopyRawTableData(&dest);
}

// ---------------------------------------------------------------------------------------------
// Rebuild of the whole file, definition copy, raw records

void TZanDataBase::RebuildDatabase() {
    static const char* const context = "TZanDataBase.RebuildDatabase";
    CheckNotConnected();
    if (IsMemoryDatabase()) ZanDatabaseError(10766, context, SzanDBOperationCannotBePerformed);
    RebuildLog("Rebuild database start");
    const std::string path = FDirectory + FDataBaseName;
    const std::string backup = GetBackupFileName();
    const bool wasExclusive = FExclusive;
    const std::string key = FMasterKey;
    TScopeExit restore([&] {
        if (FConnected) DoDisconnect();
        FExclusive = wasExclusive;
        if (FMasterKey.empty()) FMasterKey = key;
    });
    // The file is held exclusively from the backup to the replacement: nobody writes it
    // meanwhile, and a file another connection has open is refused before anything changes.
    FExclusive = true;
    Open();
    CopyDatabase(backup, true);
    RebuildLog("Backup database created -" + backup);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) ZanDatabaseError(9988, context, path);
    const std::string temp = TemporaryNameFor(path);
    TScopeExit removeTemp([&] {
        unlink(temp.c_str());
        RemoveIdleUsersFile(UsersFileNameFor(temp));
    });
    std::vector<std::string> failed;
    {
        TZanDataBase target;
        target.SetDataBaseName(temp);
        target.SetDefaultSortOrder(FDefaultSortOrder);
        target.SetEnforceSecurity(FEnforceSecurity);
        target.SetUseEncryption(FUseEncryption);
        target.SetMasterKey(FMasterKey);
        target.SetDBOwner(FHeader.Owner);
        target.SetLockRetryMaximum(FLockRetryMaximum);
        target.SetLockRetryInterval(FLockRetryInterval);
        unlink(temp.c_str());
        target.CreateDatabase();
        target.SetExclusive(true);
        target.SetTemporaryPrivilegeStatus(C_ALL_PRIVILEGES);
        target.Open();
        // Nobody else sees the new file before the rename: its writes need no journal.
        target.FDiskMgr->GetZanFile()->SetJournalActive(false);
        TZanDataBase source;
        source.SetDataBaseName(backup);
        source.SetExclusive(true);
        source.SetReadOnly(true);
        source.SetMasterKey(FMasterKey);
        source.BeforeLogin = BeforeLogin;
        source.SetLoginPrompt(FLoginPrompt);
        source.SetTemporaryPrivilegeStatus(C_ALL_PRIVILEGES);
        RebuildLog("Opening Backup dir " + source.GetDirectory());
        RebuildLog("Opening Backup file " + source.GetDataBaseName());
        RebuildLog("Opening Source database");
        try {
            source.Open();
        } catch (const Exception&) {
            RebuildLog("Could not open source database");
            throw;
        }
        std::vector<std::string> names;
        TStringList list;
        source.GetSystemTableNames(list);
        for (int i = 0; i < list.Count(); ++i)
            names.push_back(list.Get(i));
        source.GetTableNames(list);
        for (int i = 0; i < list.Count(); ++i)
            names.push_back(list.Get(i));
        RebuildLog("Creating tables...");
        TStringList existing;
        target.GetSystemTableNames(existing);
        for (const std::string& name : names) {
            if (existing.IndexOf(name) >= 0) continue;
            RebuildLog("Creating table " + name);
            TTableDef def;
            source.QueryTableDef(name, false, def);
            target.InternalCreateTable(def);
        }
        for (const std::string& name : names) {
            RebuildLog("Copying data from source table " + name);
            TZanDataSet dest;
            dest.SetDataBase(&target);
            dest.SetTableName(name);
            // A record the new table cannot add fails the table, and with it the rebuild.
            dest.FTransferLosesNone = true;
            try {
                TZanDataSet from;
                from.SetDataBase(&source);
                from.SetTableName(name);
                from.DataSetOpen();
                dest.DataSetOpen();
                if (dest.GetTotalRecordCount() > 0) dest.DataSetEmptyTable();
                from.CopyRawTableData(&dest);
            } catch (const Exception& e) {
                RebuildLog("Exception while copying data from source table " + name);
                RebuildLog("Exception was " + e.Message());
                RebuildLog("Attempting to empty this table");
                failed.push_back(name);
                try {
                    if (!dest.GetInternalActive()) dest.DataSetOpen();
                    dest.DataSetEmptyTable();
                } catch (const Exception&) {
                    // The table stays as the failed copy left it; the rebuild is refused.
                }
            }
        }
    }
    if (!failed.empty()) {
        std::string text = "The data of these tables could not be copied:";
        for (const std::string& name : failed)
            text += " " + name;
        ZanDatabaseError(8581, context, text + ". The backup is " + backup);
    }
    if (const int error = PublishFile(temp, path, st))
        ZanDatabaseError(9344, context, OSErrorText(error) + "." + path);
}

void TZanDataBase::DumpTableDefinitions() {
    static const char* const context = "TZanDataBase.DumpTableDefinitions";
    CheckConnected(false);
    const bool taken = !FLocked;
    if (taken) SetLocked(true);
    TScopeExit unlock([&] {
        if (taken) SetLocked(false);
    });
    const std::string path = ChangeFileExt(FDirectory + FDataBaseName, ".zdd");
    const std::string temp = TemporaryNameFor(path);
    TScopeExit removeTemp([&] {
        unlink(temp.c_str());
        RemoveIdleUsersFile(UsersFileNameFor(temp));
    });
    struct stat st {};
    if (stat((FDirectory + FDataBaseName).c_str(), &st) != 0)
        ZanDatabaseError(9988, context, FDirectory + FDataBaseName);
    {
        TZanDataBase copy;
        copy.SetDataBaseName(temp);
        copy.SetDefaultSortOrder(FDefaultSortOrder);
        // An encrypted database's definitions are enciphered with its key.
        copy.SetUseEncryption(FUseEncryption);
        copy.SetMasterKey(FMasterKey);
        unlink(temp.c_str());
        copy.CreateDatabase();
        copy.SetExclusive(true);
        copy.Open();
        TStringList names;
        GetTableNames(names);
        for (int i = 0; i < names.Count(); ++i) {
            TTableDef def;
            QueryTableDef(names.Get(i), false, def);
            copy.CreateTable(def, false);
        }
    }
    if (const int error = PublishFile(temp, path, st))
        ZanDatabaseError(9344, context, OSErrorText(error) + "." + path);
}

void TZanDataBase::TransferRecordBuffers(int32_t tableID, int32_t recordSize,
                                         const TRecordBufferHandler& handler) {
    static const char* const context = "TZanDataBase.TransferRecordBuffers";
    CheckNotConnected();
    if (recordSize <= 0 || recordSize > int32_t(C_PAGE_SIZE_MAINT))
        ZanDatabaseErrorFmt(8581, context, "%s has not been set or is out of range",
                            {"RecordSize"});
    TDiskMgr disk;
    disk.SetPageSize(C_PAGE_SIZE_MAINT);
    disk.SetFileName(FDirectory + FDataBaseName);
    disk.SetOpenFlags(0x10);
    disk.SetLockRetryCount(FLockRetryMaximum);
    disk.SetLockRetryInterval(FLockRetryInterval);
    disk.SetCryptKey(FMasterKey);
    disk.Open();
    TScopeExit close([&] { disk.Close(); });
    disk.SetTableLock(0, ZanLockRead);
    TScopeExit unlock([&] { disk.ReleaseTableLock(0); });
    uint8_t level[4] = {};
    disk.GetZanFile()->ReadThroughZanFile(level, C_DB_SECURITY_LEVEL_OFFSET, sizeof level);
    const uint8_t access = AccessFlagsForEncryption(GetLE32(level) >= 1 ? encStrong : encNone);
    std::vector<uint32_t> blocks;
    disk.ListAllocatedFixedBlocks(uint32_t(recordSize), uint32_t(tableID), C_USAGE_RECORDS, blocks);
    std::vector<uint8_t> record(static_cast<size_t>(recordSize));
    bool more = true;
    for (size_t i = 0; i < blocks.size() && more; ++i) {
        disk.ReadCustomSize(blocks[i], uint32_t(recordSize), record.data(), uint32_t(tableID),
                            access);
        handler(record.data(), int32_t(blocks.size()), int32_t(i), more);
    }
}

} // namespace zan
