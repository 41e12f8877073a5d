#include "engine/sql/zanMiscParsers.h"

#include "engine/storage/zanRestructure.h"
#include "host/rtl/SysUtils.h"

namespace zan {

// ---- Items ---------------------------------------------------------------------------------

void TOrderByItem::Assign(const TCollectionItem& source) {
    const auto* s = dynamic_cast<const TOrderByItem*>(&source);
    if (!s) return TCollectionItem::Assign(source);
    FieldIndex = s->FieldIndex;
    SortKey = s->SortKey;
    ResultSetIndex = s->ResultSetIndex;
    Descending = s->Descending;
}

TOrderByItem* TOrderByItems::AddOrderByItem(int32_t fieldIndex, const std::string& sortKey,
                                            bool descending) {
    TOrderByItem* item = Add();
    item->FieldIndex = fieldIndex;
    item->SortKey = sortKey;
    item->Descending = descending;
    return item;
}

void TGroupByItem::Assign(const TCollectionItem& source) {
    const auto* s = dynamic_cast<const TGroupByItem*>(&source);
    if (!s) return TCollectionItem::Assign(source);
    TableName = s->TableName;
    FieldName = s->FieldName;
    ResultSetIndex = s->ResultSetIndex;
}

// ---- ORDER BY ------------------------------------------------------------------------------

TZanOrderByParser::TZanOrderByParser() {
    SetEndTokens(ZanSQLTokens({zstUnknown, zstGroupBy, zstHaving, zstOrderBy, zstEnd}));
}

namespace {

// Clears the items; with a stack, runs the clause parser over it. True without error.
template <typename F>
bool ParseClauseItems(TBaseParser& parser, TCollection& items, TParserStack* stack, F parse) {
    items.Clear();
    if (stack) {
        parser.Execute(ZanParserOptions({zpoExtSyntax}), stack);
        parse();
    }
    return !parser.HasParseError();
}

} // namespace

bool TZanOrderByParser::ExecuteOrderBy(TOrderByItems& items, TParserStack* stack) {
    return ParseClauseItems(*this, items, stack, [&] { ParseItems(items); });
}

// A key ends at ASC/DESC, a comma or the end of the clause.
bool TZanOrderByParser::AtKeyEnd() const {
    const TZanSQLToken t = CurrentTokenType();
    return !FCurrToken || t == zstAscending || t == zstDescending || t == zstComma || AtEndToken();
}

void TZanOrderByParser::ParseItems(TOrderByItems& items) {
    while (FCurrToken && !AtEndToken() && !HasParseError()) {
        const TZanSQLToken t = CurrentTokenType();
        if (t == zstComma) {
            NextToken();
            continue;
        }
        int32_t fieldIndex = 0;
        std::string key;
        if (t == zstNumber) {
            if (!ZanReadWholeNumberToken(FCurrToken->Text, fieldIndex) || fieldIndex < 1) {
                SetError(FCurrToken, SzanInvalidToken);
                break;
            }
            NextToken();
        } else {
            const TZanSQLToken next = PeekAtTokenType(0);
            const bool single = next == zstAscending || next == zstDescending || next == zstComma ||
                                InTokens(GetEndTokens(), next) || next == zstUnknown ||
                                (GetIsSubquery() && next == zstRParen);
            if (single) {
                key = FCurrToken->Text;
                NextToken();
            } else {
                do {
                    key += FCurrToken->RawTokenText;
                    NextToken();
                } while (!AtKeyEnd());
            }
            key = Trim(key);
        }
        const bool descending = CurrentTokenType() == zstDescending;
        if (CurrentTokenType() == zstAscending || descending) NextToken();
        items.AddOrderByItem(fieldIndex, key, descending);
    }
    const TZanSQLToken t = CurrentTokenType();
    if (t != zstUnknown && t != zstFrom && t != zstEnd)
        SetError(FCurrToken, SzanOrderByTerminateErr);
}

// ---- GROUP BY ------------------------------------------------------------------------------

TZanGroupByParser::TZanGroupByParser() {
    SetEndTokens(ZanSQLTokens({zstUnknown, zstHaving, zstUnion, zstOrderBy, zstEnd}));
}

bool TZanGroupByParser::ExecuteGroupBy(TGroupByItems& items, TParserStack* stack) {
    return ParseClauseItems(*this, items, stack, [&] { ParseItems(items); });
}

void TZanGroupByParser::ParseItems(TGroupByItems& items) {
    while (FCurrToken && !AtEndToken() && !HasParseError()) {
        std::string table, field;
        if (CurrentTokenType() == zstTableName) {
            table = FCurrToken->Text;
            NextToken();
        }
        if (CurrentTokenType() == zstFieldName) {
            field = FCurrToken->Text;
            NextToken();
        }
        if (field.empty()) {
            SetError(FCurrToken, SzanColumnNameErr);
            break;
        }
        TGroupByItem* item = items.Add();
        item->TableName = table;
        item->FieldName = field;
        if (CurrentTokenType() == zstComma) {
            NextToken();
            if (CurrentTokenType() == zstComma) SetError(FCurrToken, SzanColumnNameMissingErr);
        }
    }
    if (!AtEndToken()) SetError(FCurrToken, SzanGroupByTerminateErr);
}

// ---- Data types ----------------------------------------------------------------------------

namespace {

bool TypeTakesSize(TFieldType t) {
    return t == ftString || t == ftFloat || t == ftTime || t == ftDateTime || t == ftTimeStamp ||
           (t >= ftBlob && t <= ftFmtMemo);
}

bool TypeTakesScale(TFieldType t) {
    return t == ftFloat || (t >= ftBlob && t <= ftFmtMemo);
}

} // namespace

bool TZanDataTypeParser::Execute(const TZanParserOptions&, TParserStack* stack) {
    FInvalidDataTypes = ZanSQLTokens({zstAutoInc});
    TBaseParser::Execute(ZanParserOptions({zpoExtSyntax}), stack);
    return !HasParseError();
}

void TZanDataTypeParser::SetDefaultsForDataType(TFieldType type) {
    FScale = 0;
    FFieldSize = type == ftString ? 1 : 0;
}

bool TZanDataTypeParser::ParseDataType() {
    FScale = -1;
    FFieldSize = 0;
    FNotNull = false;
    const TZanSQLToken t = CurrentTokenType();
    switch (t) {
    case zstChar:
    case zstVarChar:
        FDataType = ftString;
        break;
    case zstInt:
        FDataType = ftInteger;
        break;
    case zstSmallInt:
        FDataType = ftSmallint;
        break;
    case zstDate:
        FDataType = ftDate;
        break;
    case zstTime:
        FDataType = ftTime;
        break;
    case zstTimeStamp:
        FDataType = ftDateTime;
        break;
    case zstDecimal:
    case zstNumeric:
        FDataType = ftFloat;
        break;
    case zstBoolean:
        FDataType = ftBoolean;
        break;
    case zstMoney:
        FDataType = ftCurrency;
        break;
    case zstBlob:
        FDataType = ftBlob;
        break;
    case zstAutoInc:
        FDataType = ftAutoInc;
        break;
    default:
        SetError(FCurrToken, SzanDataTypeUnknown);
        return false;
    }
    if (InTokens(FInvalidDataTypes, t)) {
        SetError(FCurrToken, SzanDataTypeInvalid);
        return false;
    }
    SetDefaultsForDataType(FDataType);
    NextToken();
    if (TypeTakesSize(FDataType) && CurrentTokenType() == zstLParen) ParseSizeAndScale();
    if (FAllowConstraints && !HasParseError() && CurrentTokenType() == zstNot) {
        NextToken();
        if (CurrentTokenType() == zstNull) {
            FNotNull = true;
            NextToken();
        } else {
            SetError(FCurrToken, SzanInvalidToken);
        }
    }
    return !HasParseError();
}

// A whole number of at least 0 at the current token, which is consumed; else the error text.
bool TZanDataTypeParser::ReadSizeNumber(int32_t& value, std::string_view error) {
    if (CurrentTokenType() != zstNumber || !ZanReadWholeNumberToken(FCurrToken->Text, value) ||
        value < 0) {
        SetError(FCurrToken, error);
        return false;
    }
    NextToken();
    return true;
}

// "(" size [, scale] ")" at the current "(".
void TZanDataTypeParser::ParseSizeAndScale() {
    NextToken();
    int32_t size = 0;
    if (!ReadSizeNumber(size, SzanDataTypeSpecErr)) return;
    FFieldSize = size;
    if (TypeTakesScale(FDataType) && CurrentTokenType() == zstComma) {
        NextToken();
        int32_t scale = 0;
        if (!ReadSizeNumber(scale, SzanDataypeScaleErr)) return;
        FScale = scale;
        if (FDataType == ftBlob) {
            if (scale == 1)
                FDataType = ftMemo;
            else if (scale == 3)
                FDataType = ftFmtMemo;
            else if (scale == 5)
                FDataType = ftGraphic;
        }
    }
    if (CurrentTokenType() != zstRParen) {
        SetError(FCurrToken, SzanRParenMissing);
        return;
    }
    NextToken();
}

// ---- Schema statements ---------------------------------------------------------------------

TInternalFieldItem* TZanSchemaManipulationParser::TNamedFields::Add(const TParserToken& token) {
    TInternalFieldItem* item = Fields.Add();
    item->SetFieldName(token.Text);
    Tokens.push_back(token);
    return item;
}

TZanSchemaManipulationParser::TZanSchemaManipulationParser() {
    SetEndTokens(ZanSQLTokens({zstUnknown, zstEnd}));
}

bool TZanSchemaManipulationParser::Expect(TZanSQLToken token, std::string_view error) {
    if (CurrentTokenType() != token) {
        SetError(FCurrToken, error);
        return false;
    }
    NextToken();
    return true;
}

bool TZanSchemaManipulationParser::TakeName(std::string& name) {
    if (CurrentTokenType() != zstFieldName && CurrentTokenType() != zstValue) {
        SetError(FCurrToken, SzanInvalidToken);
        return false;
    }
    name = FCurrToken->Text;
    NextToken();
    return true;
}

bool TZanSchemaManipulationParser::Execute(const TZanParserOptions& options,
                                           TParserStack* stack) {
    FAdded.Clear();
    FDropped.Clear();
    FAltered.Clear();
    FAlterOps.clear();
    FIndexColumns.Clear();
    FIndexColumnTokens.clear();
    FIndexOptions = TIndexOptions();
    FOperation = ddUnknown;
    FTemporaryTable = false;
    FIndexName.clear();
    TBaseParser::Execute(options, stack);
    switch (CurrentTokenType()) {
    case zstCreate:
        ParseCreate();
        break;
    case zstAlter:
        ParseAlter();
        break;
    case zstDrop:
        ParseDrop();
        break;
    default:
        SetError(FCurrToken, SzanInvalidToken);
        break;
    }
    // Nothing may follow a complete statement.
    if (!HasParseError() && FCurrToken && !AtEndToken()) SetError(FCurrToken, SzanInvalidToken);
    return !HasParseError();
}

void TZanSchemaManipulationParser::ParseCreate() {
    NextToken();
    if (CurrentTokenType() == zstTable) return ParseCreateTable();
    if (CurrentTokenType() == zstUnique) {
        FIndexOptions.insert(ixUnique);
        NextToken();
    }
    if (CurrentTokenType() == zstDescending || CurrentTokenType() == zstAscending) {
        if (CurrentTokenType() == zstDescending) FIndexOptions.insert(ixDescending);
        NextToken();
    }
    if (CurrentTokenType() != zstIndex) return SetError(FCurrToken, SzanInvalidCreateStatement);
    ParseCreateIndex();
}

void TZanSchemaManipulationParser::ParseCreateTable() {
    FOperation = ddCreateTable;
    NextToken();
    if (CurrentTokenType() == zstTemporary) {
        FTemporaryTable = true;
        NextToken();
    }
    if (!TakeName(FTableName) || !Expect(zstLParen, SzanLParenMissing)) return;
    while (!HasParseError() && !AtEndToken() && CurrentTokenType() != zstRParen &&
           CurrentTokenType() != zstPrimaryKey) {
        if (CurrentTokenType() == zstComma) return SetError(FCurrToken, SzanMissingColumnSpecifier);
        ParseColumnDefinition(FAdded);
        if (HasParseError() || CurrentTokenType() != zstComma) break;
        NextToken();
    }
    if (HasParseError()) return;
    if (CurrentTokenType() == zstPrimaryKey) {
        NextToken();
        FIndexOptions.insert(ixPrimary);
        ParseIndexColumns();
        if (HasParseError()) return;
    }
    Expect(zstRParen, SzanRParenMissing);
}

void TZanSchemaManipulationParser::ParseCreateIndex() {
    FOperation = ddCreateIndex;
    NextToken();
    // DROP INDEX t PRIMARY names the primary index: an index of that name could not be dropped.
    if (TokenSymbolIs("PRIMARY"))
        return SetError(FCurrToken, "PRIMARY names the primary index; choose another index name");
    if (!TakeName(FIndexName) || !Expect(zstOn, SzanMissingOnToken)) return;
    if (CurrentTokenType() == zstTemporary) {
        FTemporaryTable = true;
        NextToken();
    }
    if (TakeName(FTableName)) ParseIndexColumns();
}

void TZanSchemaManipulationParser::ParseIndexColumns() {
    if (!Expect(zstLParen, SzanLParenMissing)) return;
    while (!HasParseError() && !AtEndToken() && CurrentTokenType() != zstRParen) {
        if (CurrentTokenType() == zstComma) return SetError(FCurrToken, SzanMissingColumnSpecifier);
        // An index names each column once.
        if (FCurrToken && FIndexColumns.IndexOf(FCurrToken->Text) >= 0)
            return SetError(FCurrToken, SzanDuplicateField);
        FIndexColumnTokens.push_back(*FCurrToken);
        std::string name;
        if (!TakeName(name)) return;
        FIndexColumns.Add(name);
        if (CurrentTokenType() != zstComma) break;
        NextToken();
        if (CurrentTokenType() == zstRParen) return SetError(FCurrToken, SzanMissingColumnSpecifier);
    }
    Expect(zstRParen, SzanRParenMissing);
}

void TZanSchemaManipulationParser::ParseColumnDefinition(TNamedFields& list) {
    if (CurrentTokenType() != zstFieldName && CurrentTokenType() != zstValue)
        return SetError(FCurrToken, SzanInvalidToken);
    // A table holds each column name once (case ignored).
    if (list.Fields.FindField(FCurrToken->Text)) return SetError(FCurrToken, SzanDuplicateField);
    TInternalFieldItem* item = list.Add(*FCurrToken);
    NextToken();
    ParseDataTypeInto(*item);
}

void TZanSchemaManipulationParser::ParseDataTypeInto(TInternalFieldItem& item) {
    TZanDataTypeParser types;
    types.SyncCurrToken(*this);
    types.Execute(ZanParserOptions({zpoExtSyntax}), FStack);
    types.SetInvalidDataTypes(TZanSQLTokens());
    types.SetAllowConstraints(true);
    types.ParseDataType();
    FCurrToken = types.GetCurrToken();
    if (types.HasParseError()) return SetError(types.GetErrorToken(), types.GetErrorMessage());
    item.SetDataType(types.GetDataType());
    // The declared size (characters of a string, block size of a blob).
    if (types.GetFieldSize() > 0 || types.GetDataType() == ftString)
        item.SetFieldSize(types.GetFieldSize());
    if (types.GetScale() >= 0) item.SetNumDecimalPlaces(types.GetScale());
    item.SetRequired(types.GetNotNull());
}

void TZanSchemaManipulationParser::ParseAlter() {
    NextToken();
    if (CurrentTokenType() != zstTable) return SetError(FCurrToken, SzanInvalidAlterTableStatement);
    FOperation = ddAlterTable;
    NextToken();
    if (CurrentTokenType() == zstTemporary) {
        FTemporaryTable = true;
        NextToken();
    }
    if (!TakeName(FTableName)) return;
    while (!HasParseError() && !AtEndToken() && CurrentTokenType() != zstRParen &&
           CurrentTokenType() != zstPrimaryKey) {
        const TZanSQLToken action = CurrentTokenType();
        if (action == zstComma) return SetError(FCurrToken, SzanMissingColumnSpecifier);
        if (action != zstAddWord && action != zstDrop && action != zstAlter)
            return SetError(FCurrToken, SzanInvalidToken);
        NextToken();
        if (CurrentTokenType() == zstColumn) NextToken();
        if (action == zstAddWord) {
            ParseColumnDefinition(FAdded);
        } else if (action == zstDrop) {
            if (CurrentTokenType() != zstFieldName && CurrentTokenType() != zstValue)
                return SetError(FCurrToken, SzanInvalidToken);
            FDropped.Add(*FCurrToken);
            NextToken();
        } else {
            if (CurrentTokenType() != zstFieldName && CurrentTokenType() != zstValue)
                return SetError(FCurrToken, SzanInvalidToken);
            const TParserToken source = *FCurrToken;
            NextToken();
            if (CurrentTokenType() == zstTo) {
                NextToken();
                if (CurrentTokenType() != zstFieldName && CurrentTokenType() != zstValue)
                    return SetError(FCurrToken, SzanInvalidToken);
                TInternalFieldItem* item = FAltered.Add(*FCurrToken);
                item->SetSourceField(source.Text);
                FAlterOps.push_back(aoAlterName);
                NextToken();
            } else if (CurrentTokenType() == zstType) {
                NextToken();
                TInternalFieldItem* item = FAltered.Add(source);
                FAlterOps.push_back(aoAlterType);
                ParseDataTypeInto(*item);
            } else {
                return SetError(FCurrToken, SzanInvalidToken);
            }
        }
        if (HasParseError() || CurrentTokenType() != zstComma) break;
        NextToken();
    }
}

void TZanSchemaManipulationParser::ParseDrop() {
    NextToken();
    const TZanSQLToken what = CurrentTokenType();
    if (what != zstTable && what != zstIndex) return SetError(FCurrToken, SzanInvalidDropStatement);
    FOperation = what == zstTable ? ddDropTable : ddDropIndex;
    NextToken();
    if (CurrentTokenType() == zstTemporary) {
        FTemporaryTable = true;
        NextToken();
    }
    if (!TakeName(FTableName) || FOperation == ddDropTable) return;
    if (TokenSymbolIs("PRIMARY")) {
        FIndexOptions.insert(ixPrimary);
        NextToken();
        return;
    }
    TakeName(FIndexName);
}

std::string TZanSchemaManipulationParser::GetIndexFieldsAsText() const {
    std::string text;
    for (int i = 0; i < FIndexColumns.Count(); ++i)
        text += (i ? ";" : "") + FIndexColumns.Strings(i);
    return text;
}

bool TZanSchemaManipulationParser::ErrorAt(const TNamedFields& list, int i,
                                           std::string_view error) {
    SetError(&list.Tokens.at(i), error);
    return false;
}

bool TZanSchemaManipulationParser::RenamedBefore(int i) const {
    const std::string& name = FAltered.Fields.Items(i)->GetFieldName();
    const std::string& source = FAltered.Fields.Items(i)->GetSourceField();
    for (int j = 0; j < i; ++j)
        if (FAlterOps.at(j) == aoAlterName &&
            (SameText(FAltered.Fields.Items(j)->GetFieldName(), name) ||
             SameText(FAltered.Fields.Items(j)->GetSourceField(), source)))
            return true;
    return false;
}

bool TZanSchemaManipulationParser::ValidateTableChanges(const TInternalFields& tableFields,
                                                        const TRestructureIndexDefs* indexDefs) {
    switch (FOperation) {
    case ddAlterTable: {
        for (int i = 0; i < FAdded.Fields.Count(); ++i)
            if (tableFields.FindField(FAdded.Fields.Items(i)->GetFieldName()))
                return ErrorAt(FAdded, i, SzanDuplicateField);
        for (int i = 0; i < FDropped.Fields.Count(); ++i)
            if (!tableFields.FindField(FDropped.Fields.Items(i)->GetFieldName()))
                return ErrorAt(FDropped, i, SzanFieldNotFound);
        for (int i = 0; i < FAltered.Fields.Count(); ++i) {
            const TInternalFieldItem* f = FAltered.Fields.Items(i);
            const bool rename = FAlterOps.at(i) == aoAlterName;
            if (!tableFields.FindField(rename ? f->GetSourceField() : f->GetFieldName()))
                return ErrorAt(FAltered, i, SzanFieldNotFound);
            if (rename && (tableFields.FindField(f->GetFieldName()) ||
                           FAdded.Fields.FindField(f->GetFieldName()) || RenamedBefore(i)))
                return ErrorAt(FAltered, i, SzanDuplicateField);
        }
        break;
    }
    case ddCreateIndex:
        for (int i = 0; i < FIndexColumns.Count(); ++i)
            if (!tableFields.FindField(FIndexColumns.Strings(i))) {
                SetError(&FIndexColumnTokens.at(i), SzanFieldNotFound);
                return false;
            }
        if (FIndexColumns.Count() == 0) {
            SetError(nullptr, SzanNoIndexColumnsSpecified);
            return false;
        }
        if (indexDefs && const_cast<TRestructureIndexDefs*>(indexDefs)->Find(FIndexName)) {
            SetError(nullptr, SzanDuplicateIndex);
            return false;
        }
        break;
    case ddDropIndex: {
        ZanAssert(indexDefs != nullptr, "IndexDefs = nil in ValidateTableChanges");
        bool found = false;
        for (int i = 0; i < indexDefs->Count() && !found; ++i) {
            const TRestructureIndexDef& d = indexDefs->Items(i);
            found = FIndexOptions.contains(ixPrimary) ? d.GetOptions().contains(ixPrimary)
                                                       : SameText(d.GetName(), FIndexName);
        }
        if (!found) {
            SetError(nullptr, SzanIndexNotFound);
            return false;
        }
        break;
    }
    default:
        break;
    }
    return !HasParseError();
}

void TZanSchemaManipulationParser::SetRestructureFieldDefs(TRestructureFieldDefs& defs) const {
    if (FOperation != ddAlterTable) return;
    for (int i = 0; i < FDropped.Fields.Count(); ++i)
        if (TRestructureFieldDef* d = defs.Find(FDropped.Fields.Items(i)->GetFieldName()))
            defs.DeleteItem(d->GetIndex());
    for (int i = 0; i < FAdded.Fields.Count(); ++i) {
        const TInternalFieldItem* f = FAdded.Fields.Items(i);
        TRestructureFieldDef& d = defs.AddFieldDef();
        d.SetName(f->GetFieldName());
        d.SetDataType(f->GetDataType());
        d.SetSize(f->GetFieldSize());
        d.SetPrecision(f->GetNumDecimalPlaces());
        d.SetRequired(f->GetRequired());
    }
    for (int i = 0; i < FAltered.Fields.Count(); ++i) {
        const TInternalFieldItem* f = FAltered.Fields.Items(i);
        const std::string& source =
            f->GetSourceField().empty() ? f->GetFieldName() : f->GetSourceField();
        // Names in ALTER TABLE are the table's own: a column renamed earlier in the statement
        // is still found by its old name (no other column can have taken that name).
        TRestructureFieldDef* d = defs.Find(source);
        for (int j = 0; !d && j < defs.Count(); ++j)
            if (SameText(defs.Items(j).GetSourceFieldName(), source)) d = &defs.Items(j);
        if (!d) continue; // dropped by the same statement
        if (FAlterOps.at(i) == aoAlterName) {
            if (d->GetSourceFieldName().empty()) d->SetSourceFieldName(source);
            d->SetName(f->GetFieldName());
        } else {
            d->SetDataType(f->GetDataType());
            d->SetSize(f->GetFieldSize());
            d->SetPrecision(f->GetNumDecimalPlaces());
            d->SetRequired(f->GetRequired());
        }
    }
}

void TZanSchemaManipulationParser::SetRestructureIndexDefs(TRestructureIndexDefs& defs) const {
    switch (FOperation) {
    case ddDropIndex:
        for (int i = defs.Count() - 1; i >= 0; --i) {
            const TRestructureIndexDef& d = defs.Items(i);
            if (FIndexOptions.contains(ixPrimary) ? d.GetOptions().contains(ixPrimary)
                                                  : SameText(d.GetName(), FIndexName)) {
                defs.DeleteItem(i);
                break;
            }
        }
        break;
    case ddCreateIndex:
        defs.AddAndSetIndexDef(FIndexName, GetIndexFieldsAsText(), FIndexOptions);
        break;
    case ddAlterTable:
        for (int i = 0; i < FAltered.Fields.Count(); ++i)
            if (FAlterOps.at(i) == aoAlterName)
                defs.ReplaceFieldName(FAltered.Fields.Items(i)->GetSourceField(),
                                      FAltered.Fields.Items(i)->GetFieldName());
        break;
    default:
        break;
    }
}

} // namespace zan
