// A table opened the way a cursor opens it (its definition copy wired to the shared master,
// its indexes and its blob chains, through the engine's row store), and helpers that build table
// definitions. Header-only, so that benchmarks can use it as well as tests.
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

// A table opened as a cursor opens it, for tests that drive the storage units themselves (their
// own locks and header refreshes).
class TOpenTable : public TZanRowStore {
public:
    TOpenTable(TBaseTableDefMgr& mgr, const std::string& name, const TTableDef& stored)
        : TZanRowStore(mgr, nullptr, name, stored) {}
};

} // namespace zan
