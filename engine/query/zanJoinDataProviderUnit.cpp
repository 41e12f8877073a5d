#include "engine/query/zanJoinDataProviderUnit.h"

#include <algorithm>
#include <exception>

#include "engine/dataset/zanDatabase.h"
#include "engine/dataset/zanFilterOptimizer.h"
#include "engine/query/zanJoinAnalyser.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

// The indent of a subtree in the debug dump: doubled per level, up to a bound so that deep
// trees stay printable.
std::string Deeper(const std::string& indent) {
    return indent.size() >= 64 ? indent : indent + indent;
}

} // namespace

std::string ZanFieldTableName(const TZanExprNode& node) {
    for (const TParserToken* t : node.TokenArgs)
        if (t && t->Token == zstTableName) return t->Text;
    if (node.TableList.Count() > 0) {
        const TTableNameItem* t = node.TableList.Items(0);
        return t->GetCorrelationName().empty() ? t->GetTableName() : t->GetCorrelationName();
    }
    return {};
}

namespace {

// The operator that keeps a comparison's meaning when its operands change sides.
TZanExprOperator MirrorOperator(TZanExprOperator op) {
    switch (op) {
    case zeoGT: return zeoLT;
    case zeoLT: return zeoGT;
    case zeoGE: return zeoLE;
    case zeoLE: return zeoGE;
    default: return op;
    }
}

} // namespace

std::string_view ZanJoinTypeName(TZanJoinType type) {
    static constexpr std::string_view names[] = {"jtNone",          "jtCrossJoin",
                                                 "jtUnionJoin",     "jtInnerJoin",
                                                 "jtLeftOuterJoin", "jtRightOuterJoin",
                                                 "jtFullOuterJoin"};
    return type <= jtFullOuterJoin ? names[type] : "jtNone";
}

bool ProviderContains(TZanBaseJoinDataProvider* tree, const TZanBaseJoinDataProvider* p) {
    if (!tree) return false;
    if (tree == p) return true;
    return ProviderContains(tree->GetOuterProvider(), p) ||
           ProviderContains(tree->GetInnerProvider(), p);
}

bool IsNullSuppliedProvider(TZanBaseJoinDataProvider* root, TZanBaseJoinDataProvider* target) {
    for (TZanBaseJoinDataProvider* p = root; p && p != target;) {
        TZanBaseJoinDataProvider* outer = p->GetOuterProvider();
        TZanBaseJoinDataProvider* inner = p->GetInnerProvider();
        const bool inInner = ProviderContains(inner, target);
        if (!inInner && !ProviderContains(outer, target)) return false;
        switch (p->GetJoinType()) {
        case jtLeftOuterJoin:
            if (inInner) return true;
            break;
        case jtRightOuterJoin:
            if (!inInner) return true;
            break;
        case jtFullOuterJoin:
        case jtUnionJoin:
            return true;
        default:
            break;
        }
        p = inInner ? inner : outer;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Field items

TJoinFieldItem::TJoinFieldItem() = default;
TJoinFieldItem::~TJoinFieldItem() = default;

void TJoinFieldItem::PrepareJoinExprEvaluator(TZanExprNode* node) {
    ZanAssert(FDataProvider != nullptr, "Join Field data provider is not yet assigned");
    FEvaluator = std::make_unique<TExprEvaluator>();
    FEvaluator->SetDBStringCompare(FDataProvider->GetDBStringCompare());
    FEvaluator->SetExcludeRelopNulls(true);
    FEvaluator->Prepare(FDataProvider, node);
}

void TJoinFieldItem::Assign(const TCollectionItem& source) {
    TInternalFieldItem::Assign(source);
    if (const auto* src = dynamic_cast<const TJoinFieldItem*>(&source)) {
        FSourceFieldNo = src->FSourceFieldNo;
        FDataProvider = src->FDataProvider;
    }
}

TJoinFields::TJoinFields()
    : TInternalFields([] { return std::make_unique<TJoinFieldItem>(); }) {}

// ---------------------------------------------------------------------------------------------
// Base provider

TZanBaseJoinDataProvider::TZanBaseJoinDataProvider()
    : FJoinSelectExpr(std::make_unique<TZanExpr>()) {}
TZanBaseJoinDataProvider::~TZanBaseJoinDataProvider() = default;

TInternalFields& TZanBaseJoinDataProvider::GetProviderFields() {
    return TZanExprDataProvider::GetProviderFields();
}

TZanExprDataProvider* TZanBaseJoinDataProvider::FindProvider(std::string_view name) {
    return FindJoinProvider(name);
}

void TZanBaseJoinDataProvider::GetRawFieldData(int32_t, TDataHolder& holder) {
    holder.IsNull = true;
    holder.Length = 0;
    holder.Data = nullptr;
    holder.UsesStream = false;
}

void TZanBaseJoinDataProvider::SetSelectExpr(bool, const std::string&) {}
void TZanBaseJoinDataProvider::AssessJoin(const std::vector<std::string>&, const Variant&) {}
void TZanBaseJoinDataProvider::PrepareJoin(const std::vector<std::string>&) {}

void TZanBaseJoinDataProvider::SetJoinValues(TZanExprOperator, const std::vector<std::string>&,
                                             const std::vector<TDataHolder*>&) {
    throw Exception("SetJoinValue not supported in TZanBaseJoinDataProvider");
}

TZanBaseJoinDataProvider* TZanBaseJoinDataProvider::FindExposedProvider(std::string_view name) {
    if (SameText(ExposedName(), name)) return this;
    if (FInnerProvider)
        if (TZanBaseJoinDataProvider* p = FInnerProvider->FindExposedProvider(name)) return p;
    if (FOuterProvider)
        if (TZanBaseJoinDataProvider* p = FOuterProvider->FindExposedProvider(name)) return p;
    return nullptr;
}

TZanBaseJoinDataProvider* TZanBaseJoinDataProvider::FindJoinProvider(std::string_view name) {
    if (name.empty()) return nullptr;
    if (TZanBaseJoinDataProvider* p = FindExposedProvider(name)) return p;
    // A table name reaches an aliased table only when one table of the subtree has it.
    std::vector<TZanBaseJoinDataProvider*> tables;
    CollectTableProviders(tables);
    TZanBaseJoinDataProvider* found = nullptr;
    for (TZanBaseJoinDataProvider* t : tables)
        if (SameText(t->GetProviderName(), name)) {
            if (found) return nullptr;
            found = t;
        }
    return found;
}

void TZanBaseJoinDataProvider::CollectTableProviders(
    std::vector<TZanBaseJoinDataProvider*>& list) {
    if (IsSingleTable()) {
        list.push_back(this);
        return;
    }
    if (FOuterProvider) FOuterProvider->CollectTableProviders(list);
    if (FInnerProvider) FInnerProvider->CollectTableProviders(list);
}

void TZanBaseJoinDataProvider::SetJoinSelectExprRoot(const TZanExprNode* node) {
    FJoinSelectExpr->Clear();
    if (node) FJoinSelectExpr->CloneFromTree(node);
}

void TZanBaseJoinDataProvider::SetExtraSelectExpRoot(const TZanExprNode* node) {
    SetJoinSelectExprRoot(node);
}

void TZanBaseJoinDataProvider::DebugDumpProviderNames(const std::string& indent,
                                                      TStrings& lines) {
    if (FOuterProvider) {
        lines.Add(indent + "outer ->");
        FOuterProvider->DebugDumpProviderNames(Deeper(indent), lines);
    }
    lines.Add(indent + FProviderName);
    if (FInnerProvider) {
        lines.Add(indent + "inner ->");
        FInnerProvider->DebugDumpProviderNames(Deeper(indent), lines);
    }
}

// ---------------------------------------------------------------------------------------------
// One table

TZanNonJoinDataProvider::TZanNonJoinDataProvider()
    : FExtraSelectExpr(std::make_unique<TZanExpr>()), FPushedExpr(std::make_unique<TZanExpr>()),
      FConditionExpr(std::make_unique<TZanExpr>()),
      FRowCheck(std::make_unique<TExprEvaluator>()) {
    FJoinType = jtInnerJoin;
}

TZanNonJoinDataProvider::~TZanNonJoinDataProvider() = default;

TInternalFields& TZanNonJoinDataProvider::GetProviderFields() {
    ZanAssert(FBridge != nullptr, "Bridge is not assigned");
    if (!FBridge->GetInternalActive()) OpenProvider();
    return FBridge->GetInternalFields();
}

Variant TZanNonJoinDataProvider::GetDataAsVariant(int32_t fieldNo) {
    if (FForceToNullValues || FNoRows || !FHasRow) return Null();
    return FBridge->GetFieldDataAsVariant(fieldNo);
}

bool TZanNonJoinDataProvider::IsFieldNull(int32_t fieldNo) {
    if (FForceToNullValues || FNoRows || !FHasRow) return true;
    return FBridge->GetIsFieldNullFromRecBuf(FBridge->GetRecBuf(), fieldNo);
}

TInternalFieldItem* TZanNonJoinDataProvider::FindField(const TParserToken*,
                                                       std::string_view name) {
    return GetProviderFields().FindField(name);
}

bool TZanNonJoinDataProvider::MoveToRecord(int32_t recordAddress) {
    FHasRow = FBridge->MoveToRecAddr(uint32_t(recordAddress));
    if (FHasRow) FNoRows = false;
    return FHasRow;
}

void TZanNonJoinDataProvider::SetProviderName(const std::string& name) {
    TZanBaseJoinDataProvider::SetProviderName(name);
    if (FBridge) FBridge->SetTableName(name);
}

void TZanNonJoinDataProvider::GetRawFieldData(int32_t fieldNo, TDataHolder& holder) {
    if (FForceToNullValues || FNoRows || !FHasRow) {
        TZanBaseJoinDataProvider::GetRawFieldData(fieldNo, holder);
        return;
    }
    FBridge->GetRawFieldData(fieldNo, holder);
}

bool TZanNonJoinDataProvider::PassesRow() {
    if (!FRowCheck->IsPrepared()) return true;
    FRowCheck->Reset();
    return FRowCheck->Evaluate();
}

bool TZanNonJoinDataProvider::Step(bool first) {
    FHasRow = true; // the row check reads the bridge's current record
    bool found = first ? FBridge->FirstBridgeRecord() : FBridge->NextBridgeRecord();
    while (found && !PassesRow()) found = FBridge->NextBridgeRecord();
    FHasRow = found;
    return found;
}

bool TZanNonJoinDataProvider::FirstProviderRecord() {
    const bool found = Step(true);
    FNoRows = !found;
    return found;
}

bool TZanNonJoinDataProvider::NextProviderRecord() {
    if (!FHasRow) return false;
    return Step(false);
}

bool TZanNonJoinDataProvider::LastProviderRecord() {
    FHasRow = FBridge->LastBridgeRecord();
    while (FHasRow && !PassesRow()) FHasRow = FBridge->DataSetPrior();
    return FHasRow;
}

void TZanNonJoinDataProvider::OpenProvider() {
    ZanAssert(FBridge != nullptr, "Bridge is not assigned");
    if (!FBridge->GetActive()) FBridge->Open();
    FIsOpen = true;
    FHasRow = false;
    FNoRows = false;
    InstallCondition();
}

void TZanNonJoinDataProvider::CloseProvider() {
    if (FBridge) FBridge->Close();
    FRowCheck->Clear();
    FUseFilter = false;
    FFilterInstalled = false;
    FIsOpen = false;
    FHasRow = false;
}

TZanExprNode* TZanNonJoinDataProvider::GetRowCondition() const {
    return FConditionExpr->GetRootNode();
}

void TZanNonJoinDataProvider::SetPushedSelectExpRoot(const TZanExprNode* node) {
    if (!node && !FPushedExpr->GetRootNode()) return;
    FPushedExpr->Clear();
    if (node) FPushedExpr->CloneFromTree(node);
    if (FIsOpen) InstallCondition();
}

void TZanNonJoinDataProvider::InstallCondition() {
    ++FConditionInstalls;
    FRowCheck->Clear();
    FNoRows = false;
    FConditionExpr->Clear();
    const TZanExprNode* own = FExtraSelectExpr->GetRootNode() ? FExtraSelectExpr->GetRootNode()
                                                             : FJoinSelectExpr->GetRootNode();
    const TZanExprNode* pushed = FPushedExpr->GetRootNode();
    if (own && pushed) {
        TZanExprNode* a = FConditionExpr->CloneSubTree(own);
        TZanExprNode* b = FConditionExpr->CloneSubTree(pushed);
        TParserToken token;
        token.Token = zstAnd;
        token.Text = "AND";
        FConditionExpr->NewNode(enkLogicalOperator, zeoAND, Variant(), a, b, &token);
    } else if (own || pushed) {
        FConditionExpr->CloneFromTree(own ? own : pushed);
    }
    TZanExprNode* condition = GetRowCondition();
    if (FUseFilter && FBridge->GetActive()) {
        // The table's filter answers from its indexes where it can.
        if (condition) {
            TZanFilterExprDriver driver;
            driver.SetFilterExpr(FConditionExpr.get());
            driver.SetExcludeRelopNulls(true);
            driver.SetOverwriteExpr(false);
            driver.SetEnforceExprOrder(FEnforceOrder);
            driver.SetOrderIndexName(FEnforceOrder ? FOrderIndexName : std::string());
            try {
                FBridge->SetJoinSelectExprRoot(driver);
                FFilterInstalled = true;
            } catch (const EZanDatabaseError& e) {
                // An expression the filter cannot take is checked row by row instead.
                if (e.ErrorCode != 10051) throw;
                FBridge->ClearJoinSelectExpr();
                FFilterInstalled = false;
            }
        } else if (FFilterInstalled) {
            FBridge->ClearJoinSelectExpr();
            FFilterInstalled = false;
        }
    }
    if (!condition || FFilterInstalled) return;
    FRowCheck->SetDBStringCompare(FDBStringCompare);
    FRowCheck->SetExcludeRelopNulls(true);
    FRowCheck->Prepare(this, condition);
}

void TZanNonJoinDataProvider::AssessCondition(int32_t& level, int32_t& maximalCount) {
    level = olNone;
    maximalCount = -1;
    const TZanExprNode* own = FJoinSelectExpr->GetRootNode();
    if (!own || !FBridge->GetActive()) return;
    TZanExpr expr;
    expr.CloneFromTree(own);
    TZanFilterExprDriver driver;
    driver.SetFilterExpr(&expr);
    driver.SetExcludeRelopNulls(true);
    driver.SetAssessExprOnly(true);
    try {
        FBridge->SetJoinSelectExprRoot(driver);
    } catch (const EZanDatabaseError& e) {
        if (e.ErrorCode != 10051) throw;
        return;
    }
    level = driver.GetExprOptimizationLevel();
    maximalCount = driver.GetMaximalResultSetSize();
}

void TZanNonJoinDataProvider::SetSelectExpr(bool enforceOrder, const std::string& orderIndexName) {
    FEnforceOrder = enforceOrder;
    FOrderIndexName = orderIndexName;
    FUseFilter = true;
    if (!FIsOpen) OpenProvider();
    if (enforceOrder && !orderIndexName.empty()) FBridge->InternalSetIndexName(orderIndexName);
    InstallCondition();
}

void TZanNonJoinDataProvider::AssessJoin(const std::vector<std::string>& fieldNames,
                                         const Variant& value) {
    FBridge->AssessJoin(fieldNames, value, FStatistics);
}

void TZanNonJoinDataProvider::PrepareJoin(const std::vector<std::string>& fieldNames) {
    FBridge->PrepareJoin(fieldNames);
}

void TZanNonJoinDataProvider::SetJoinValues(TZanExprOperator op,
                                            const std::vector<std::string>& fieldNames,
                                            const std::vector<TDataHolder*>& values) {
    FBridge->SetJoinValues(op, fieldNames, values);
}

TZanBaseJoinDataProvider* TZanNonJoinDataProvider::FindJoinProvider(std::string_view name) {
    return TZanBaseJoinDataProvider::FindJoinProvider(name);
}

void TZanNonJoinDataProvider::SetJoinSelectExprRoot(const TZanExprNode* node) {
    TZanBaseJoinDataProvider::SetJoinSelectExprRoot(node);
    if (FIsOpen) InstallCondition();
}

void TZanNonJoinDataProvider::SetExtraSelectExpRoot(const TZanExprNode* node) {
    FExtraSelectExpr->Clear();
    if (node) {
        TZanExprNode* copy = FExtraSelectExpr->CloneSubTree(node);
        if (const TZanExprNode* own = FJoinSelectExpr->GetRootNode()) {
            TZanExprNode* ownCopy = FExtraSelectExpr->CloneSubTree(own);
            TParserToken token;
            token.Token = zstAnd;
            token.Text = "AND";
            FExtraSelectExpr->NewNode(enkLogicalOperator, zeoAND, Variant(), copy, ownCopy,
                                      &token);
        } else {
            FExtraSelectExpr->SetAsFirstNode(copy);
        }
    }
    if (FIsOpen) InstallCondition();
}

int32_t TZanNonJoinDataProvider::GetRecordCount() {
    const bool wasOpen = FBridge->GetActive();
    if (!wasOpen) FBridge->Open();
    const int32_t count = FBridge->GetRecordCount();
    if (!wasOpen) FBridge->Close();
    return count;
}

std::string TZanNonJoinDataProvider::CurrentRecordIDAsString() {
    if (!FBridge || !FBridge->GetInternalActive() || FForceToNullValues || !FHasRow) return {};
    return std::to_string(FBridge->GetRecAddr());
}

// ---------------------------------------------------------------------------------------------
// A join

TZanStdJoinDataProvider::TZanStdJoinDataProvider()
    : FFields(std::make_unique<TJoinFields>()), FJoinExpr(std::make_unique<TZanExpr>()),
      FExtraSelectExpr(std::make_unique<TZanExpr>()),
      FExtraCheck(std::make_unique<TExprEvaluator>()),
      FAnalyser(std::make_unique<TJoinAnalyser>()),
      FEvaluator(std::make_unique<TJoinEvaluator>()) {
    FEvaluator->SetAnalyser(FAnalyser.get());
}

TZanStdJoinDataProvider::~TZanStdJoinDataProvider() = default;

TInternalFields& TZanStdJoinDataProvider::GetProviderFields() { return *FFields; }

Variant TZanStdJoinDataProvider::GetDataAsVariant(int32_t fieldNo) {
    if (FForceToNullValues) return Null();
    const TJoinFieldItem* f = FFields->Items(fieldNo);
    return f->GetDataProvider()->GetDataAsVariant(f->GetSourceFieldNo());
}

bool TZanStdJoinDataProvider::IsFieldNull(int32_t fieldNo) {
    if (FForceToNullValues) return true;
    const TJoinFieldItem* f = FFields->Items(fieldNo);
    return f->GetDataProvider()->IsFieldNull(f->GetSourceFieldNo());
}

void TZanStdJoinDataProvider::GetRawFieldData(int32_t fieldNo, TDataHolder& holder) {
    if (FForceToNullValues) {
        TZanBaseJoinDataProvider::GetRawFieldData(fieldNo, holder);
        return;
    }
    const TJoinFieldItem* f = FFields->Items(fieldNo);
    f->GetDataProvider()->GetRawFieldData(f->GetSourceFieldNo(), holder);
}

TJoinFieldItem* TZanStdJoinDataProvider::CombinedField(const TZanBaseJoinDataProvider* child,
                                                       int32_t childFieldNo) {
    for (int i = 0; i < FFields->Count(); ++i) {
        TJoinFieldItem* f = FFields->Items(i);
        if (f->GetDataProvider() == child && f->GetSourceFieldNo() == childFieldNo) return f;
    }
    return nullptr;
}

TInternalFieldItem* TZanStdJoinDataProvider::FindField(const TParserToken* token,
                                                       std::string_view name) {
    auto fromChild = [&](TZanBaseJoinDataProvider* child) -> TInternalFieldItem* {
        if (!child) return nullptr;
        TInternalFieldItem* f = child->FindField(token, name);
        return f ? CombinedField(child, f->GetFieldIndex()) : nullptr;
    };
    if (token && !token->Text.empty()) {
        if (TInternalFieldItem* f = FFields->FindField(token->Text + "." + std::string(name)))
            return f;
        // Only the side that holds the named table can hold the field.
        if (FInnerProvider && FInnerProvider->FindJoinProvider(token->Text))
            return fromChild(FInnerProvider);
        return fromChild(FOuterProvider);
    }
    if (TInternalFieldItem* f = fromChild(FInnerProvider)) return f;
    return fromChild(FOuterProvider);
}

void TZanStdJoinDataProvider::PrepareInternalFields() {
    FFields->Clear();
    auto addFields = [this](TZanBaseJoinDataProvider* side, bool inner) {
        TInternalFields& fields = side->GetProviderFields();
        for (int i = 0; i < fields.Count(); ++i) {
            const TInternalFieldItem* src = fields.Items(i);
            std::string name = src->GetFieldName();
            if (inner)
                while (FFields->FindField(name)) name = side->GetProviderName() + "." + name;
            TJoinFieldItem* f = FFields->Add();
            f->TInternalFieldItem::Assign(*src);
            f->SetFieldName(name);
            f->SetFieldIndex(FFields->Count() - 1);
            f->SetFieldNo(FFields->Count());
            f->SetSourceFieldNo(src->GetFieldIndex());
            f->SetDataProvider(side);
        }
    };
    addFields(FOuterProvider, false);
    addFields(FInnerProvider, true);
}

bool TZanStdJoinDataProvider::PassesExtra() {
    if (!FExtraCheck->IsPrepared()) return true;
    FExtraCheck->Reset();
    return FExtraCheck->Evaluate();
}

bool TZanStdJoinDataProvider::Filtered(bool first) {
    bool found = first ? FEvaluator->FirstRecord() : FEvaluator->NextRecord();
    while (found && !PassesExtra()) found = FEvaluator->NextRecord();
    return found;
}

bool TZanStdJoinDataProvider::FirstProviderRecord() { return Filtered(true); }
bool TZanStdJoinDataProvider::NextProviderRecord() { return Filtered(false); }

void TZanStdJoinDataProvider::OpenProvider() {
    ZanAssert(FJoinType != jtNone, "Join type is not set");
    ZanAssert(FOuterProvider != nullptr && FInnerProvider != nullptr,
              "Join providers are not assigned");
    FInnerProvider->SetDBStringCompare(FDBStringCompare);
    FOuterProvider->SetDBStringCompare(FDBStringCompare);
    FInnerProvider->OpenProvider();
    FOuterProvider->OpenProvider();
    PrepareInternalFields();
    // Every field of the condition must be a field of a table of this join.
    for (const TZanExprNode* n = FJoinExpr->GetFirstNode(); n; n = n->Next) {
        if (n->Kind != enkField) continue;
        TZanBaseJoinDataProvider* table = FindJoinProvider(ZanFieldTableName(*n));
        if (!table || !table->FindField(nullptr, VarToStr(n->Data)))
            ZanDatabaseError(9645, "TZanStdJoinDataProvider.OpenProvider", "join field not found");
    }
    FAnalyser->SetProviders(FOuterProvider, FInnerProvider, this, FJoinExpr->GetRootNode(),
                            FJoinType);
    FEvaluator->AnalyseAndOpenJoin();
    FIsOpen = true;
    SetExtraSelectExpRoot(FExtraSelectExpr->GetRootNode() ? FExtraSelectExpr->GetRootNode()
                                                         : nullptr);
}

void TZanStdJoinDataProvider::CloseProvider() {
    FEvaluator->Clear();
    FExtraCheck->Clear();
    if (FInnerProvider) FInnerProvider->CloseProvider();
    if (FOuterProvider) FOuterProvider->CloseProvider();
    FIsOpen = false;
}

void TZanStdJoinDataProvider::SetSelectExpr(bool enforceOrder, const std::string& orderIndexName) {
    FInnerProvider->SetSelectExpr(enforceOrder, orderIndexName);
    FOuterProvider->SetSelectExpr(enforceOrder, orderIndexName);
}

void TZanStdJoinDataProvider::SetJoinSelectExprRoot(const TZanExprNode* node) {
    TZanBaseJoinDataProvider::SetJoinSelectExprRoot(node);
    SetExtraSelectExpRoot(nullptr);
}

void TZanStdJoinDataProvider::SetExtraSelectExpRoot(const TZanExprNode* node) {
    // The condition is kept as a row filter on the joined rows.
    if (node != FExtraSelectExpr->GetRootNode()) {
        auto expr = std::make_unique<TZanExpr>();
        TZanExprNode* copy = node ? expr->CloneSubTree(node) : nullptr;
        if (const TZanExprNode* own = FJoinSelectExpr->GetRootNode()) {
            TZanExprNode* ownCopy = expr->CloneSubTree(own);
            expr->SetAsFirstNode(ownCopy);
            if (copy) {
                TParserToken token;
                token.Token = zstAnd;
                token.Text = "AND";
                expr->NewNode(enkLogicalOperator, zeoAND, Variant(), copy, ownCopy, &token);
            }
        } else if (copy) {
            expr->SetAsFirstNode(copy);
        }
        FExtraSelectExpr = std::move(expr);
    }
    FExtraCheck->Clear();
    if (FIsOpen && FExtraSelectExpr->GetRootNode()) {
        FExtraCheck->SetDBStringCompare(FDBStringCompare);
        FExtraCheck->SetExcludeRelopNulls(true);
        FExtraCheck->Prepare(this, FExtraSelectExpr->GetRootNode());
    }
    if (FIsOpen) PushDownExtra();
}

void TZanStdJoinDataProvider::PushDownExtra() {
    std::vector<std::pair<TZanNonJoinDataProvider*, std::vector<const TZanExprNode*>>> pushes;
    std::vector<const TZanExprNode*> pending;
    if (const TZanExprNode* root = FExtraSelectExpr->GetRootNode()) pending.push_back(root);
    while (!pending.empty()) {
        const TZanExprNode* n = pending.back();
        pending.pop_back();
        if (n->Kind == enkLogicalOperator && n->Operator == zeoAND && n->Left && n->Right) {
            pending.push_back(n->Left);
            pending.push_back(n->Right);
            continue;
        }
        // The one table the conjunct's fields name (subqueries and arguments are not looked
        // into: such conjuncts stay with this join).
        TZanNonJoinDataProvider* table = nullptr;
        bool single = n->Args.empty() && n->Kind != enkSubquery;
        std::vector<const TZanExprNode*> walk{n};
        while (single && !walk.empty()) {
            const TZanExprNode* w = walk.back();
            walk.pop_back();
            if (!w->Args.empty() || w->Kind == enkSubquery) single = false;
            if (w->Kind == enkField) {
                auto* t = dynamic_cast<TZanNonJoinDataProvider*>(
                    FindJoinProvider(ZanFieldTableName(*w)));
                if (!t || (table && t != table)) single = false;
                table = t;
            }
            if (w->Left) walk.push_back(w->Left);
            if (w->Right) walk.push_back(w->Right);
        }
        if (!single || !table || IsNullSuppliedProvider(this, table)) continue;
        auto it = std::find_if(pushes.begin(), pushes.end(),
                               [&](const auto& p) { return p.first == table; });
        if (it == pushes.end()) {
            pushes.push_back({table, {}});
            it = pushes.end() - 1;
        }
        it->second.push_back(n);
    }
    std::vector<TZanNonJoinDataProvider*> pushedNow;
    for (auto& [table, conjuncts] : pushes) {
        TZanExpr expr;
        TZanExprNode* root = nullptr;
        for (const TZanExprNode* c : conjuncts) {
            TZanExprNode* copy = expr.CloneSubTree(c);
            if (root) {
                TParserToken token;
                token.Token = zstAnd;
                token.Text = "AND";
                root = expr.NewNode(enkLogicalOperator, zeoAND, Variant(), copy, root, &token);
            } else {
                root = copy;
            }
        }
        table->SetPushedSelectExpRoot(root);
        pushedNow.push_back(table);
    }
    for (TZanNonJoinDataProvider* t : FPushedTo)
        if (std::find(pushedNow.begin(), pushedNow.end(), t) == pushedNow.end())
            t->SetPushedSelectExpRoot(nullptr);
    FPushedTo = std::move(pushedNow);
}

void TZanStdJoinDataProvider::SetForceToNullValues(bool value) {
    FForceToNullValues = value;
    if (FOuterProvider) FOuterProvider->SetForceToNullValues(value);
    if (FInnerProvider) FInnerProvider->SetForceToNullValues(value);
}

std::string TZanStdJoinDataProvider::CurrentRecordIDAsString() {
    if (FForceToNullValues) return {};
    return FOuterProvider->CurrentRecordIDAsString() + "," +
           FInnerProvider->CurrentRecordIDAsString();
}

void TZanStdJoinDataProvider::SetJoinExpr(const TZanExpr& expr) {
    FJoinExpr->Clear();
    if (expr.GetRootNode()) FJoinExpr->CloneFromTree(expr.GetRootNode());
}

void TZanStdJoinDataProvider::SetJoinExprRoot(const TZanExprNode* node) {
    FJoinExpr->Clear();
    if (node) FJoinExpr->CloneFromTree(node);
}

void TZanStdJoinDataProvider::ParseJoinExpr(bool innerSide) {
    TZanBaseJoinDataProvider* filtered = innerSide ? FInnerProvider : FOuterProvider;
    TZanBaseJoinDataProvider* other = innerSide ? FOuterProvider : FInnerProvider;
    FOuterNames.Clear();
    FInnerNames.Clear();
    const TZanExprNode* condition = FJoinExpr->GetRootNode();
    if (!condition) {
        filtered->SetExtraSelectExpRoot(nullptr);
        return;
    }
    TZanExpr copy;
    copy.CloneFromTree(condition);
    for (TZanExprNode* n = copy.GetFirstNode(); n; n = n->Next) {
        if (n->Kind != enkField) continue;
        const std::string table = ZanFieldTableName(*n);
        const std::string name = VarToStr(n->Data);
        if (filtered->FindJoinProvider(table)) {
            FInnerNames.Add(name);
            continue;
        }
        TZanBaseJoinDataProvider* source = other->FindJoinProvider(table);
        TInternalFieldItem* field = source ? source->FindField(nullptr, name) : nullptr;
        if (!field) ZanDatabaseError(9645, "TZanStdJoinDataProvider.ParseJoinExpr",
                                     "join field not found");
        FOuterNames.Add(name);
        const Variant value = source->GetDataAsVariant(field->GetFieldIndex());
        n->Kind = enkConst;
        n->Operator = zeoCONST2;
        n->Data = value;
        n->TokenArgs.clear();
        n->TableList.Clear();
    }
    // A comparison written value-first becomes field-first, which an index can serve.
    for (TZanExprNode* n = copy.GetFirstNode(); n; n = n->Next)
        if (n->Kind == enkRelOperator && n->Left && n->Right && n->Left->Kind == enkConst &&
            n->Right->Kind == enkField) {
            std::swap(n->Left, n->Right);
            n->Operator = MirrorOperator(n->Operator);
        }
    filtered->SetExtraSelectExpRoot(copy.GetRootNode());
}

// ---------------------------------------------------------------------------------------------
// Manager

TZanJoinDataProviderMgr::TZanJoinDataProviderMgr()
    : FWhereExpr(std::make_unique<TZanExpr>()), FRootEvaluator(std::make_unique<TExprEvaluator>()) {}

TZanJoinDataProviderMgr::~TZanJoinDataProviderMgr() { Clear(); }

void TZanJoinDataProviderMgr::Clear() {
    FRootEvaluator->Clear();
    FWhereExpr->Clear();
    CloseProviders();
    FRootProvider = nullptr;
    FJoinProviders.clear();
    FTableProviders.clear();
    FBridges.clear();
}

TZanHeldReadLocks::TZanHeldReadLocks(
    const std::vector<std::unique_ptr<TZanDatasetBridge>>& bridges)
    : FRelease([this] { Release(); }) {
    for (const auto& b : bridges)
        if (b->HoldReadLock()) FHeld.push_back(b.get());
}

void TZanHeldReadLocks::Release() {
    std::exception_ptr failure;
    for (TZanDatasetBridge* b : FHeld) {
        try {
            b->ReleaseHeldReadLock();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    FHeld.clear();
    if (failure) std::rethrow_exception(failure);
}

void TZanJoinDataProviderMgr::CloseProviders() {
    for (auto& b : FBridges) b->Close();
}

TZanNonJoinDataProvider* TZanJoinDataProviderMgr::GetNonJoinProvider(
    const std::string& tableName, const std::string& correlationName, bool memory) {
    ZanAssert(FDatabase != nullptr, "Database is not assigned");
    FBridges.push_back(std::make_unique<TZanDatasetBridge>());
    TZanDatasetBridge* bridge = FBridges.back().get();
    bridge->SetDataBase(FDatabase);
    bridge->SetMemory(memory);
    FTableProviders.push_back(std::make_unique<TZanNonJoinDataProvider>());
    TZanNonJoinDataProvider* p = FTableProviders.back().get();
    p->SetBridge(bridge);
    p->SetProviderName(tableName);
    p->SetCorrelationName(correlationName);
    p->SetDBStringCompare(FDBStringCompare);
    return p;
}

TZanStdJoinDataProvider* TZanJoinDataProviderMgr::GetStdJoinProvider() {
    ZanAssert(FDatabase != nullptr, "Database is not assigned");
    FJoinProviders.push_back(std::make_unique<TZanStdJoinDataProvider>());
    FJoinProviders.back()->SetDBStringCompare(FDBStringCompare);
    return FJoinProviders.back().get();
}

void TZanJoinDataProviderMgr::SetDBStringCompare(TZanCompareFunc compare) {
    FDBStringCompare = compare;
    FRootEvaluator->SetDBStringCompare(compare);
    for (auto& p : FTableProviders) p->SetDBStringCompare(compare);
    for (auto& p : FJoinProviders) p->SetDBStringCompare(compare);
}

bool TZanJoinDataProviderMgr::OpenProviders() {
    if (!FRootProvider) return false;
    FRootProvider->OpenProvider();
    if (FRootProvider->IsSingleTable()) FRootProvider->SetSelectExpr(false, std::string());
    return true;
}

void TZanJoinDataProviderMgr::PrepareJoinExprEvaluator(const TZanExprNode* whereRoot) {
    PrepareJoinExprEvaluator(whereRoot, Now());
}

void TZanJoinDataProviderMgr::PrepareJoinExprEvaluator(const TZanExprNode* whereRoot,
                                                       TDateTime instant) {
    FRootEvaluator->Clear();
    FWhereExpr->Clear();
    if (!whereRoot) return;
    ZanAssert(FRootProvider != nullptr, "Root provider is not assigned");
    FWhereExpr->CloneFromTree(whereRoot);
    FRootEvaluator->SetDBStringCompare(FDBStringCompare);
    FRootEvaluator->SetExcludeRelopNulls(true);
    FRootEvaluator->Prepare(FRootProvider, FWhereExpr->GetRootNode(), instant);
}

bool TZanJoinDataProviderMgr::Accept() {
    if (!FRootEvaluator->IsPrepared()) return true;
    FRootEvaluator->Reset();
    return FRootEvaluator->Evaluate();
}

bool TZanJoinDataProviderMgr::FirstProviderRecord() {
    if (!FRootProvider) return false;
    bool found = FRootProvider->FirstProviderRecord();
    while (found && !Accept()) found = FRootProvider->NextProviderRecord();
    return found;
}

bool TZanJoinDataProviderMgr::NextProviderRecord() {
    ZanAssert(FRootProvider != nullptr, "Root provider is not assigned");
    bool found = FRootProvider->NextProviderRecord();
    while (found && !Accept()) found = FRootProvider->NextProviderRecord();
    return found;
}

void TZanJoinDataProviderMgr::DebugDumpProviderStatus(TStrings& lines) {
    if (!FRootProvider) {
        lines.Add("Root provider is nil");
        return;
    }
    FRootProvider->DebugDumpProviderNames("  ", lines);
}

} // namespace zan
