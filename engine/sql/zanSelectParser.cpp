#include "engine/sql/zanSelectParser.h"
#include "engine/storage/zanCommon.h"

#include "engine/sql/zanExprParser.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

constexpr std::string_view C_SELECTTERMINATED = "Select clause incorrectly terminated";

// The types an output column can hold (those a record layout stores).
bool StorableType(TFieldType type) {
    return (type >= ftString && type <= ftCurrency) || (type >= ftDate && type <= ftBytes) ||
           (type >= ftAutoInc && type <= ftFmtMemo);
}

bool InvalidDistinctType(TFieldType type) {
    return type == ftBytes || type == ftVarBytes || (type >= ftBlob && type <= ftCursor) ||
           type == ftADT || type == ftArray || type == ftReference || type == ftDataSet;
}

bool IsAggregateNode(const TZanExprNode* node) {
    return node->Kind == enkFunc && node->ParserToken.Token == zstAggFunc;
}

std::string StripQuotes(const std::string& text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front())
        return text.substr(1, text.size() - 2);
    return text;
}

// Every node under root through Left, Right and Args, without recursion.
template <typename F> void ForEachNode(TZanExprNode* root, F visit) {
    std::vector<TZanExprNode*> pending;
    if (root) pending.push_back(root);
    while (!pending.empty()) {
        TZanExprNode* node = pending.back();
        pending.pop_back();
        if (!visit(node)) continue;
        if (node->Kind == enkSubquery) continue;
        for (TZanExprNode* arg : node->Args)
            if (arg) pending.push_back(arg);
        if (node->Right) pending.push_back(node->Right);
        if (node->Left) pending.push_back(node->Left);
    }
}

std::string QualifierOf(const TZanExprNode* node) {
    return !node->TokenArgs.empty() && node->TokenArgs[0]->Token == zstTableName
               ? node->TokenArgs[0]->Text
               : std::string();
}

} // namespace

// ---- Select nodes --------------------------------------------------------------------------

void TZanSelectNode::Display(const std::string& indent, TStrings& lines) const {
    switch (SelectNodeType) {
    case snGroupColumn:
        lines.Add(indent + "Column Group");
        lines.Add(indent + "Output all from - " + Qualifier);
        return;
    case snAggFunc:
        lines.Add(indent + "Agg Func");
        break;
    case snSingleColumn:
        lines.Add(indent + "Derived Column");
        break;
    }
    lines.Add(indent + "RawColumnName - " + RawColumnName +
              (OutputColumnName.empty() ? "" : " :: " + OutputColumnName));
    lines.Add(indent + "Start Expr");
    TZanExprNode::DisplayExprTree(indent + "  ", Expr.GetRootNode(), lines);
    lines.Add(indent + "End Expr");
}

void TZanSelectNode::DisplayList(const TZanSelectNode* first, TStrings& lines) {
    for (const TZanSelectNode* n = first; n; n = n->Next) n->Display("", lines);
}

// ---- Select parser -------------------------------------------------------------------------

TZanSelectParser::TZanSelectParser() { SetEndTokens(ZanSQLTokens({zstFrom})); }

void TZanSelectParser::Clear() {
    TBaseParser::Clear();
    FNodes.clear();
    FIsDistinct = false;
}

TZanSelectNode* TZanSelectParser::NewNode(TSelectNodeType type) {
    FNodes.push_back(std::make_unique<TZanSelectNode>());
    TZanSelectNode* node = FNodes.back().get();
    if (FNodes.size() > 1) FNodes[FNodes.size() - 2]->Next = node;
    node->SelectNodeType = type;
    node->Token = FCurrToken;
    return node;
}

bool TZanSelectParser::Execute(const TZanParserOptions& options, TParserStack* stack) {
    FNodes.clear();
    TBaseParser::Execute(options, stack);
    if (CurrentTokenType() == zstSelect) NextToken();
    FIsDistinct = CurrentTokenType() == zstDistinct;
    if (FIsDistinct || CurrentTokenType() == zstAll) NextToken();
    if (CurrentTokenType() == zstMult) {
        NewNode(snGroupColumn)->RawColumnName = "*";
        NextToken();
    } else {
        while (!HasParseError()) {
            if (CurrentTokenType() == zstTableName && PeekAtTokenType(0) == zstMult) {
                TZanSelectNode* node = NewNode(snGroupColumn);
                node->Qualifier = FCurrToken->Text;
                node->RawColumnName = FCurrToken->Text + ".*";
                NextToken();
                NextToken();
            } else {
                ParseDerivedColumn(
                    NewNode(CurrentTokenType() == zstAggFunc ? snAggFunc : snSingleColumn));
            }
            if (HasParseError() || CurrentTokenType() != zstComma) break;
            NextToken();
        }
    }
    if (!HasParseError() && !AtEndToken()) SetError(FCurrToken, C_SELECTTERMINATED);
    return !HasParseError();
}

void TZanSelectParser::ParseDerivedColumn(TZanSelectNode* node) {
    TZanExprParser expr;
    expr.SetValidEndTokens(
        ZanSQLTokens({zstUnknown, zstFieldName, zstFrom, zstStringLiteral, zstComma, zstAS}));
    if (FTableList && FTableList->Count() > 0) {
        expr.SetTableList(FTableList);
        expr.SetValidateFields(true);
    }
    expr.SetIsSubquery(FIsSubquery);
    expr.SetParserNotifyEvent(FParserNotifyEvent);
    expr.SyncCurrToken(*this);
    const bool ok = expr.ExecuteExternalValueExpr(
        &node->Expr, ZanParserOptions({zpoExtSyntax, zpoSQL, zpoAggregate}), FStack);
    FCurrToken = expr.GetCurrToken();
    if (!ok) return SetError(expr.GetErrorToken(), expr.GetErrorMessage());
    node->RawColumnName = Trim(node->Expr.GetParsedText());
    if (node->RawColumnName.empty() && node->Token) node->RawColumnName = node->Token->Text;
    TZanExprNode* root = node->Expr.GetRootNode();
    if (root && root->Operator == zeoISBLANK && root->DataType == ftUnknown)
        root->DataType = ftInteger;
    if (CurrentTokenType() == zstAS) NextToken();
    if (CurrentTokenType() == zstFieldName || CurrentTokenType() == zstStringLiteral) {
        node->OutputColumnName = FCurrToken->Text;
        NextToken();
    }
}

// ---- Output columns ------------------------------------------------------------------------

void TSelectFieldItem::Assign(const TCollectionItem& source) {
    TInternalFieldItem::Assign(source);
    if (const auto* s = dynamic_cast<const TSelectFieldItem*>(&source)) {
        ExprRoot = s->ExprRoot;
        AggExprRoot = s->AggExprRoot;
        AggFunc = s->AggFunc;
        DistinctQuantifier = s->DistinctQuantifier;
        HasAggregateFunction = s->HasAggregateFunction;
        IsGrouped = s->IsGrouped;
        RawColumnName = s->RawColumnName;
        SourceFieldName = s->SourceFieldName;
        SourceTableItem = s->SourceTableItem;
        CustomQualifier = s->CustomQualifier;
    }
}

TSelectFields::TSelectFields()
    : TInternalFields([] { return std::make_unique<TSelectFieldItem>(); }) {}

TSelectFieldItem* TSelectFields::AddSelectField(const std::string& name,
                                                const std::string& sourceField,
                                                const TInternalFieldItem& field,
                                                const TTableNameItem* table) {
    TSelectFieldItem* item = Add();
    const int32_t generator = item->GetFieldGeneratorID();
    item->TInternalFieldItem::Assign(field);
    item->SetFieldGeneratorID(generator);
    item->SetFieldName(name);
    item->RawColumnName = name;
    item->SourceFieldName = sourceField;
    item->SourceTableItem = table;
    return item;
}

bool TSelectFields::ContainsAggregateColumns() const {
    for (int i = 0; i < Count(); ++i)
        if (Items(i)->HasAggregateFunction) return true;
    return false;
}

bool TSelectFields::ContainsGroupedOutput() const {
    for (int i = 0; i < Count(); ++i)
        if (Items(i)->IsGrouped) return true;
    return false;
}

TSelectFieldItem* TSelectFields::FindField(std::string_view name) const {
    return static_cast<TSelectFieldItem*>(TInternalFields::FindField(name));
}

namespace {

// A name without the brackets that quote it.
std::string_view Unbracketed(std::string_view name) {
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        return name.substr(1, name.size() - 2);
    return name;
}

// A column's name or text names it also without its brackets: "[first col]" is "first col".
bool NamesColumn(std::string_view text, std::string_view name) {
    return SameText(text, name) || SameText(Unbracketed(text), name);
}

// The one selected plain field whose source field has that bare name ("SELECT t.a ... ORDER BY
// a"); nullptr when none or several have it.
TSelectFieldItem* SoleSourceColumn(const TSelectFields& fields, std::string_view name) {
    TSelectFieldItem* found = nullptr;
    for (int j = 0; j < fields.Count(); ++j) {
        TSelectFieldItem* s = fields.Items(j);
        if (s->SourceTableItem && !s->HasAggregateFunction && SameText(s->SourceFieldName, name)) {
            if (found) return nullptr;
            found = s;
        }
    }
    return found;
}

} // namespace

int ColumnReferenceRank(const TSelectFieldItem& column, std::string_view qualifier,
                        std::string_view field) {
    const TTableNameItem* table = column.SourceTableItem;
    if (!table || column.HasAggregateFunction || column.SourceFieldName.empty()) return 0;
    qualifier = Unbracketed(qualifier);
    if (qualifier.empty() || !SameText(column.SourceFieldName, Unbracketed(field))) return 0;
    const std::string& alias = table->GetCorrelationName();
    if (SameText(alias, qualifier) || (alias.empty() && SameText(table->GetTableName(), qualifier)))
        return 1;
    return SameText(table->GetTableName(), qualifier) ? 2 : 0;
}

TSelectFieldItem* TSelectFields::FindReference(std::string_view qualifier,
                                               std::string_view name) const {
    if (!qualifier.empty())
        for (int rank = 1; rank <= 2; ++rank)
            for (int i = 0; i < Count(); ++i)
                if (ColumnReferenceRank(*Items(i), qualifier, name) == rank) return Items(i);
    return FindColumn(qualifier, name);
}

TSelectFieldItem* TSelectFields::FindColumn(std::string_view qualifier,
                                            std::string_view name) const {
    for (int i = 0; i < Count(); ++i) {
        TSelectFieldItem* c = Items(i);
        if (NamesColumn(c->GetFieldName(), name) || NamesColumn(Trim(c->RawColumnName), name))
            return c;
        if (!qualifier.empty() && c->SourceTableItem &&
            (SameText(c->SourceTableItem->GetCorrelationName(), qualifier) ||
             SameText(c->SourceTableItem->GetTableName(), qualifier)) &&
            SameText(c->SourceFieldName, name))
            return c;
    }
    return nullptr;
}

// ---- Analyser ------------------------------------------------------------------------------

bool TZanSelectAnalyser::CheckSelect(const TZanSelectNode* first, const TTableList* tables) {
    FErrorText.clear();
    FSelectFields.Clear();
    FFirstNode = first;
    FTableList = tables;
    if (!first || !tables) return false;
    if (first->Token && first->Token->Token == zstMult) {
        PrepareAllFields();
    } else {
        for (const TZanSelectNode* n = first; n && FErrorText.empty(); n = n->Next) {
            if (n->SelectNodeType != snGroupColumn) {
                AnalyseColumnNode(*n);
            } else if (const TTableNameItem* t = tables->FindTable(n->Qualifier)) {
                AddFieldsForTable(*t);
            } else {
                SetError(std::string(SzanTableOrFieldNotFound) + " (" + n->Qualifier + ".*)");
            }
        }
    }
    if (!FErrorText.empty()) return false;
    for (int i = 0; i < FSelectFields.Count(); ++i)
        if (FSelectFields.Items(i)->GetDataType() == ftAutoInc)
            FSelectFields.Items(i)->SetDataType(ftInteger);
    if (FIsDistinct) CheckDistinct();
    return FErrorText.empty();
}

void TZanSelectAnalyser::PrepareAllFields() {
    for (int i = 0; i < FTableList->Count(); ++i) AddFieldsForTable(*FTableList->Items(i));
}

std::string TZanSelectAnalyser::UniqueName(const std::string& name) {
    // Select fields are only ever appended; names of those added since the last call join the
    // set (the list is read again from its start should it ever shrink).
    if (FSelectFields.Count() < FTakenCount) {
        FTakenNames.clear();
        FTakenCount = 0;
    }
    for (; FTakenCount < FSelectFields.Count(); ++FTakenCount)
        FTakenNames.insert(ZanAnsiUpperCase(FSelectFields.Items(FTakenCount)->GetFieldName()));
    std::string candidate = name;
    const std::string key = ZanAnsiUpperCase(name);
    if (FTakenNames.count(key)) {
        int& next = FNextSuffix[key];
        if (next < 1) next = 1;
        do {
            candidate = name + "_" + std::to_string(next++);
        } while (FTakenNames.count(ZanAnsiUpperCase(candidate)));
    }
    FTakenNames.insert(ZanAnsiUpperCase(candidate));
    return candidate;
}

void TZanSelectAnalyser::AddFieldsForTable(const TTableNameItem& table) {
    const TInternalFields& fields = table.GetTableFields();
    for (int i = 0; i < fields.Count(); ++i) {
        const TInternalFieldItem& f = *fields.Items(i);
        FSelectFields.AddSelectField(UniqueName(f.GetFieldName()), f.GetFieldName(), f, &table);
    }
}

void TZanSelectAnalyser::AnalyseColumnNode(const TZanSelectNode& node) {
    TSelectFieldItem* item = FSelectFields.Add();
    const std::string output = Trim(node.OutputColumnName);
    item->SetFieldName(output.empty() ? Trim(node.RawColumnName) : output);
    item->RawColumnName = node.RawColumnName;
    const TZanExprNode* root = node.Expr.GetRootNode();
    item->ExprRoot = root;
    const auto setType = [item](TFieldType type, int32_t size) {
        if (!StorableType(type)) return;
        item->SetDataType(type);
        if (type == ftString && size > 0) item->SetFieldSize(size + 1);
    };
    if (root) setType(root->DataType, root->DataSize);
    const TZanExprNode* agg = node.Expr.FindNodeWithToken(zstAggFunc);
    if (node.SelectNodeType == snAggFunc || agg) {
        ZanAssert(agg != nullptr, "failed to find AggFunc expr node");
        const auto func = static_cast<TZanSQLAggFunc>(agg->ParserToken.CustomOrdinal);
        // COUNT(*) is the one aggregate without an argument.
        ZanAssert(agg->Args.size() == 1 || (agg->Args.empty() && func == zafCount),
                  "Node expr args count is not as expected");
        item->HasAggregateFunction = true;
        item->AggFunc = func;
        item->AggExprRoot = agg->Args.empty() ? nullptr : agg->Args[0];
        item->DistinctQuantifier = agg->Data.Type() == varBoolean && agg->Data.AsBoolean();
        if (func == zafCount) setType(ftInteger, 0);
        return;
    }
    if (!root || root->Kind != enkField || root->Operator != zeoFIELD2) return;
    // A plain field: remember where it comes from.
    const std::string qualifier = QualifierOf(root);
    const TTableNameItem* table =
        qualifier.empty() ? FTableList->FindTableForField(root->Data.AsString())
                          : FTableList->FindTable(qualifier);
    if (!table) return;
    std::string source = root->Data.AsString();
    const size_t dot = source.find('.');
    if (dot != std::string::npos) {
        const std::string head = source.substr(0, dot);
        if (SameText(head, table->GetCorrelationName()) || SameText(head, table->GetTableName()))
            source = source.substr(dot + 1);
    }
    source = StripQuotes(source);
    const TInternalFieldItem* field = table->GetTableFields().FindField(source);
    if (!field) return;
    // The column has its source field's layout.
    item->SetDataType(field->GetDataType());
    item->SetFieldSize(field->GetFieldSize());
    item->SourceFieldName = source;
    item->SourceTableItem = table;
    item->CustomQualifier = qualifier;
}

void TZanSelectAnalyser::CheckDistinct() {
    const int count = FSelectFields.Count();
    if (count > C_MAXDISTINCTCOLUMNS)
        return SetError(std::string(SzanSelectDistinctMaxColsLimit) + " (" +
                        std::to_string(C_MAXDISTINCTCOLUMNS) + ")");
    for (int i = count - 1; i >= 0; --i)
        if (InvalidDistinctType(FSelectFields.Items(i)->GetDataType()))
            return SetError(std::string(SzanSelectDistinctInvalidColumnType) + " - " +
                            FSelectFields.Items(i)->GetFieldName());
}

bool TZanSelectAnalyser::CheckGroupedColumns(const TGroupByItems* items) {
    if (!items) return true;
    for (int i = 0; i < items->Count() && FErrorText.empty(); ++i) {
        TGroupByItem* g = items->Items(i);
        TSelectFieldItem* c = FSelectFields.FindReference(g->TableName, g->FieldName);
        if (!c && g->TableName.empty()) c = SoleSourceColumn(FSelectFields, g->FieldName);
        if (!c) {
            SetError(std::string(SzanGroupByColumnNotFound) + " : " + g->FieldName);
            break;
        }
        c->IsGrouped = true;
        g->ResultSetIndex = c->GetIndex();
    }
    // A column selected twice is grouped in both places.
    for (int i = 0; i < FSelectFields.Count() && FErrorText.empty(); ++i) {
        TSelectFieldItem* c = FSelectFields.Items(i);
        if (c->HasAggregateFunction || c->IsGrouped || !c->SourceTableItem ||
            c->SourceFieldName.empty())
            continue;
        for (int j = 0; j < FSelectFields.Count(); ++j) {
            const TSelectFieldItem* g = FSelectFields.Items(j);
            if (g->IsGrouped && g->SourceTableItem == c->SourceTableItem &&
                SameText(g->SourceFieldName, c->SourceFieldName)) {
                c->IsGrouped = true;
                break;
            }
        }
    }
    if (FErrorText.empty() && (FSelectFields.ContainsAggregateColumns() || items->Count() > 0))
        for (int i = 0; i < FSelectFields.Count() && FErrorText.empty(); ++i) {
            const TSelectFieldItem* c = FSelectFields.Items(i);
            if (!c->HasAggregateFunction && !c->IsGrouped)
                SetError(std::string(SzanNonAggColumnNotInGroupBy) + " : " + c->GetFieldName());
        }
    return FErrorText.empty();
}

bool TZanSelectAnalyser::CheckHavingExpr(TZanExpr* expr) {
    if (!expr || !expr->GetRootNode()) return true;
    InternalCheckHavingExpr(*expr);
    if (FErrorText.empty()) CheckHavingFieldRefs(expr->GetRootNode());
    return FErrorText.empty();
}

void TZanSelectAnalyser::InternalCheckHavingExpr(TZanExpr& expr) {
    for (TZanExprNode* n = expr.GetFirstNode(); n && FErrorText.empty(); n = n->Next) {
        if (!IsAggregateNode(n)) continue;
        const std::string text = n->ParserToken.Text;
        const TSelectFieldItem* c = FSelectFields.FindColumn("", text);
        if (!c) {
            SetError(std::string(SzanHavingFieldNotInResult) + ": " + text);
            return;
        }
        // The aggregate reads its output column; its argument is not evaluated any more.
        for (TZanExprNode* arg : n->Args)
            ForEachNode(arg, [](TZanExprNode* a) {
                if (a->Kind == enkField) {
                    a->Kind = enkConst;
                    a->Operator = zeoCONST2;
                    a->Data = Null();
                }
                return true;
            });
        n->Kind = enkField;
        n->Operator = zeoFIELD2;
        n->Data = Variant(c->GetFieldName());
        n->DataType = c->GetDataType();
        n->DataSize = c->GetFieldSize();
        n->ParserToken.Token = zstFieldName;
        n->Args.clear();
    }
}

void TZanSelectAnalyser::CheckHavingFieldRefs(const TZanExprNode* root) {
    ForEachNode(const_cast<TZanExprNode*>(root), [&](TZanExprNode* n) {
        if (!FErrorText.empty()) return false;
        if (n->Kind != enkField || n->Operator != zeoFIELD2) return true;
        const std::string qualifier = QualifierOf(n);
        const std::string name = n->Data.AsString();
        if (!FSelectFields.FindReference(qualifier, name))
            SetError(std::string(SzanHavingFieldNotInResult) + ": " +
                     (qualifier.empty() ? name : qualifier + "." + name));
        return true;
    });
}

bool TZanSelectAnalyser::CheckOrderByColumns(const TOrderByItems* items) {
    if (!items) return true;
    for (int i = 0; i < items->Count() && FErrorText.empty(); ++i) {
        TOrderByItem* o = items->Items(i);
        o->ResultSetIndex = -1;
        if (o->FieldIndex > 0) {
            if (o->FieldIndex > FSelectFields.Count())
                SetError(std::string(SzanOrderByColumnIndexOutOfRange) + " : " +
                         std::to_string(o->FieldIndex));
            continue;
        }
        std::string qualifier, name = o->SortKey;
        const size_t dot = name.find('.');
        if (dot != std::string::npos) {
            qualifier = name.substr(0, dot);
            name = name.substr(dot + 1);
        }
        // An output name comes before the text or the source of another column: in
        // "SELECT id AS a, a AS id ... ORDER BY id" the key is the second column.
        const TSelectFieldItem* c = nullptr;
        for (int j = 0; qualifier.empty() && !c && j < FSelectFields.Count(); ++j)
            if (NamesColumn(FSelectFields.Items(j)->GetFieldName(), name)) c = FSelectFields.Items(j);
        if (!c) c = FSelectFields.FindReference(qualifier, name);
        if (!c) c = FSelectFields.FindColumn("", o->SortKey);
        // An unqualified name is also the column of the one selected field of that name
        // ("SELECT t.a ... ORDER BY a"); two such fields leave it ambiguous.
        if (!c && qualifier.empty()) c = SoleSourceColumn(FSelectFields, name);
        if (!c)
            SetError(std::string(SzanOrderByColumnNotPresent) + " : " + o->SortKey);
        else
            o->ResultSetIndex = c->GetIndex(); // the plan sorts by this very column
    }
    return FErrorText.empty();
}

bool TZanSelectAnalyser::ValidateUnionSelectFields(const TSelectFields* other) {
    if (!other) return false;
    if (other->Count() != FSelectFields.Count()) {
        SetError(std::string(SzanUnionColumnCountError));
        return false;
    }
    for (int i = 0; i < other->Count(); ++i) {
        const TFieldType from = other->Items(i)->GetDataType();
        const TFieldType to = FSelectFields.Items(i)->GetDataType();
        if (!TZanDataConversionValidator::CheckDataConversionValid(from, to)) {
            SetError(std::string(SzanTypeConversionErr) + " " + std::string(FieldTypeName(from)) +
                     " -> " + std::string(FieldTypeName(to)));
            return false;
        }
    }
    return true;
}

} // namespace zan
