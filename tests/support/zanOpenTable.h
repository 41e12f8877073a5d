// A table opened the way a cursor opens it (its definition copy wired to the shared master,
// its indexes and its blob chains), and the helpers that build table definitions. Header-only,
// so that benchmarks can use it as well as tests.
#pragma once

#include <cstdint>
#include <string>

#include "engine/dataset/zanRowStore.h"
#include "engine/storage/zanCommon.h"
#include "engine/storage/zanDataUnit.h"
#include "engine/storage/zanIndexUnit.h"
#include "engine/storage/zanInterfaceUnit.h"
#include "engine/storage/zanTableMgrUnit.h"

namespace zan {

// Appends a one-field index on a field of the (already laid out) definition.
inline void AddTableIndex(TTableDef& def, const char* indexName, const TInternalFieldItem& f,
                          bool unique, TIndexKeyType kind) {
    AddTableIndex(def, indexName, f.GetFieldName(), unique, false, kind);
}

// A catalogue table of five fields (Id, Code, Name, Amount, Note) and two indexes ("ixId"
// unique, "ixName" case-insensitive).
inline void BuildUserTableDef(TTableDef& def, const std::string& name, bool memory = false) {
    def.Clear();
    def.SetTableName(name);
    def.SetMemory(memory);
    AddTableField(def, "Id", ftInteger);
    AddTableField(def, "Code", ftString, 10);
    AddTableField(def, "Name", ftString, 30);
    AddTableField(def, "Amount", ftFloat);
    AddTableField(def, "Note", ftMemo);
    def.GetInternalFields()->SetDefaultOffsets();
    def.SetRecordSize(def.GetInternalFields()->GetRecordSize());
    def.SetUsesBlobs(true);
    AddTableIndex(def, "ixId", "Id", true, false);
    AddTableIndex(def, "ixName", "Name", false, true, ikMinStringLen);
}

class TOpenTable {
public:
    TOpenTable(TBaseTableDefMgr& mgr, const std::string& name, const TTableDef& stored)
        : FMgr(mgr) {
        FDef.Assign(stored);
        FMgr.OpenTableDefConnection(name, FDef);
        FIndexes.SetIOInterface(FDef.GetIndexInterface());
        FIndexes.SetTableHeader(FDef.GetTableHeader());
        FIndexes.SetDBStringCompareFunction(DBANSICompareStrings);
        FIndexes.Assign(*FDef.GetInternalIndexDefs());
        FIndexes.AssignKeyFields(*FDef.GetKeyFields());
        FIndexes.Open();
        FBlob.SetIOInterface(FDef.GetBlobInterface());
        FBlob.SetBlobBlockSize(static_cast<uint32_t>(FDef.GetDefaultBlobSize()));
        FBlob.Open();
    }
    ~TOpenTable() {
        FBlob.Close();
        FIndexes.Close();
        const int32_t id = FDef.GetTableID();
        FDef.InternalClose();
        FMgr.CloseTableDefConnection(id);
    }
    TOpenTable(const TOpenTable&) = delete;
    TOpenTable& operator=(const TOpenTable&) = delete;

    const TTableDef& Def() const { return FDef; }
    uint16_t TableID() const { return static_cast<uint16_t>(FDef.GetTableID()); }

protected:
    // The stores take their free-chain heads from the table header, and give them back.
    void LoadFreeHeads() {
        TTableHeader& h = *FDef.GetTableHeader();
        FDef.GetRecordInterface()->SetFirstEmpty(h.GetRecordFirstEmpty());
        FDef.GetRecordInterface()->SetFirstEmptyValid(true);
        FDef.GetBlobInterface()->SetFirstEmpty(h.GetBlobFirstEmpty());
        FDef.GetBlobInterface()->SetFirstEmptyValid(true);
    }
    void StoreFreeHeads() {
        TTableHeader& h = *FDef.GetTableHeader();
        h.SetRecordFirstEmpty(FDef.GetRecordInterface()->GetFirstEmpty());
        h.SetBlobFirstEmpty(FDef.GetBlobInterface()->GetFirstEmpty());
    }
    // Fills the record prefix of a new record: in-use flag, owner tag, next logical number.
    void NewRecordPrefix(uint8_t* rec) {
        TTableHeader& h = *FDef.GetTableHeader();
        rec[C_REC_INUSE_OFFSET] = 1;
        PutLE32(rec + C_REC_OWNER_OFFSET, uint32_t(TableID()) * 16 + C_USAGE_RECORDS);
        h.SetLogicalRecordNo(h.GetLogicalRecordNo() + 1);
        PutLE32(rec + C_REC_LOGICAL_RECNO_OFFSET, h.GetLogicalRecordNo());
    }

    TBaseTableDefMgr& FMgr;
    TTableDef FDef;
    TIndexManager FIndexes;
    TBlobInterface FBlob;
};

} // namespace zan
