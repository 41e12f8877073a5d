// The cursor through which a non-join data provider of a query reads one table: a base table
// with plain operations for record movement, raw and Variant field access, positioning by
// record address, index ranges, hash loads and the filter the query layer installs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/sql/zanParserUtils.h"
#include "engine/storage/zanLists.h"
#include "host/rtl/Streams.h"

namespace zan {

class TZanFilterExprDriver;

// The raw value of one field: a pointer into the current record buffer, or for blob fields a
// memory stream the holder owns.
class TDataHolder {
public:
    bool IsNull = true;
    int32_t Length = 0;
    const uint8_t* Data = nullptr;
    bool UsesStream = false;
    TMemoryStream& GetStream();

private:
    std::unique_ptr<TMemoryStream> FStream;
};

// Whether an index covers the join fields.
struct TJoinStatistics {
    bool Indexed = false;
};

class TZanDatasetBridge : public TZanBaseTable {
public:
    explicit TZanDatasetBridge(TComponent* owner = nullptr);
    ~TZanDatasetBridge() override;
    ZAN_CLASS(TZanDatasetBridge)

    bool FirstBridgeRecord();
    bool NextBridgeRecord();
    bool LastBridgeRecord();
    // The current record's value of the field with that FieldIndex (memos as text).
    Variant GetFieldDataAsVariant(int32_t fieldNo);
    void GetRawFieldData(int32_t fieldNo, TDataHolder& holder);
    // 0 when closed.
    uint32_t GetRecAddr();
    uint32_t GetRecModFlag();
    uint32_t GetRecLogicalNo();
    int32_t GetTotalBridgeRecordCount();
    // Positions on the live record at that address whatever the index order; False when the
    // address holds no record of this table (deleted meanwhile) or the filter excludes it.
    bool MoveToRecAddr(uint32_t address);
    // Positions on the record and checks its modification flag (8708 when it changed).
    bool MoveToRecAddrAndValidate(uint32_t address, uint32_t flags, uint32_t logicalNo);
    // statistics.Indexed := an index of the table has the named fields as its leading fields.
    void AssessJoin(const std::vector<std::string>& fieldNames, const Variant& value,
                    TJoinStatistics& statistics);
    // Makes the index over the fields current (when one exists) and remembers the filter text.
    void PrepareJoin(const std::vector<std::string>& fieldNames);
    // Makes the index current and restricts the cursor to keys in [low, high].
    void SetBridgeIndexRange(const std::string& indexName, const Variant& low,
                             const Variant& high);
    // Installs the driver's expression as the table's filter (or only assesses it).
    void SetJoinSelectExprRoot(TZanFilterExprDriver& driver);
    // Removes the filter SetJoinSelectExprRoot installed.
    void ClearJoinSelectExpr();
    // Filters the table by "[field] op literal" conditions joined by " AND " after the text
    // PrepareJoin remembered; NULL values give "[field] IS NULL".
    void SetJoinValues(TZanExprOperator op, const std::vector<std::string>& fieldNames,
                       const std::vector<TDataHolder*>& values);
    // The filter text SetJoinValues built last.
    const std::string& GetJoinFilterText() const { return FJoinFilterText; }
    // Loads key -> record address of the table's (filtered) records by the hash's source field;
    // list receives the records' addresses when the table is filtered. hashFull tells whether
    // the hash ran out of room.
    void LoadHashTable(TZanBaseHash& hash, TCompoundList& list, bool& hashFull, bool noSort);

    // Takes the table's read lock for a stretch of reads (the rows of one population), so
    // each row moved to does not lock the table and re-read its header; False when the
    // cursor is closed or holds a lock already. Give it back with ReleaseHeldReadLock.
    bool HoldReadLock();
    void ReleaseHeldReadLock();
    // Counters for tests: records moved to by address.
    int64_t GetAddressMoves() const { return FAddressMoves; }

private:
    std::string FPreparedFilterText;
    std::string FJoinFilterText;
    int64_t FAddressMoves = 0;
};

// The literal of a raw field value as the filter parser reads it back: strings quoted with
// doubled apostrophes, floats in their shortest exact form, dates and date-times quoted with
// milliseconds. Other types raise 10000 at "GetStringFromData".
std::string ZanJoinValueLiteral(TFieldType type, const TDataHolder& value);

} // namespace zan
