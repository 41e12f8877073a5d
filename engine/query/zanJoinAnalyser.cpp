#include "engine/query/zanJoinAnalyser.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/dataset/zanDatabase.h"
#include "host/rtl/SysUtils.h"
#include "host/rtl/VarCompare.h"

namespace zan {

namespace {

// Hash keys longer than this go to join-expression mode.
constexpr int32_t C_MAX_HASH_KEY = 256;

std::string BoolName(bool value) { return value ? "True" : "False"; }

std::string LevelName(int32_t level) {
    switch (level) {
    case 1: return "olPartial";
    case 2: return "olFull";
    default: return "olNone";
    }
}

bool IsFieldOperand(const TZanExprNode* n) { return n && n->Kind == enkField; }

TZanDatasetBridge* BridgeOf(TZanBaseJoinDataProvider* p) {
    auto* table = dynamic_cast<TZanNonJoinDataProvider*>(p);
    return table ? table->GetBridge() : nullptr;
}

std::string IndexBeginningWith(TZanBaseJoinDataProvider* p, const std::string& field) {
    TZanDatasetBridge* bridge = BridgeOf(p);
    if (!bridge || !bridge->GetInternalActive()) return {};
    const TIndexItem* index = bridge->GetIndexManager().FindIndexForFields({field}, false);
    return index ? index->GetIndexName() : std::string();
}

} // namespace

void TJoinPlan::DisplayPlan(TStrings& lines) const {
    lines.Add("Outer : " + OuterName);
    lines.Add("Inner : " + InnerName);
    lines.Add("Indexed : " + BoolName(IndexedJoin));
    lines.Add("Outer range on : " + BoolName(OuterRangeOn));
    lines.Add("Outer Expr exists : " + BoolName(OuterExprExists));
    lines.Add("Outer Expr opt level : " + LevelName(OuterExprOptLevel));
    lines.Add("Inner range on : " + BoolName(InnerRangeOn));
    lines.Add("Inner Expr exists : " + BoolName(InnerExprExists));
    lines.Add("Inner Expr opt level : " + LevelName(InnerExprOptLevel));
}

// ---------------------------------------------------------------------------------------------
// Analyser

TJoinAnalyser::TJoinAnalyser() = default;
TJoinAnalyser::~TJoinAnalyser() = default;

void TJoinAnalyser::SetProviders(TZanBaseJoinDataProvider* outer, TZanBaseJoinDataProvider* inner,
                                 TZanStdJoinDataProvider* join, const TZanExprNode* condition,
                                 TZanJoinType type) {
    Clear();
    FOuter = outer;
    FInner = inner;
    FJoin = join;
    FCondition = const_cast<TZanExprNode*>(condition);
    FJoinType = type;
}

void TJoinAnalyser::Clear() {
    FRoot = nullptr;
    FChain = nullptr;
    FNodes.clear();
    FPlan = TJoinPlan();
}

TJoinExprNode* TJoinAnalyser::ChainNode(TZanExprNode* node) {
    FNodes.push_back(std::make_unique<TJoinExprNode>());
    TJoinExprNode* n = FNodes.back().get();
    n->Next = FChain;
    FChain = n;
    n->ExprNode = node;
    return n;
}

TJoinExprNode* TJoinAnalyser::CreateNode(TZanExprNode* node) {
    if (!node) return nullptr;
    if (node->Kind == enkRelOperator && node->Operator == zeoEQ && IsFieldOperand(node->Left) &&
        IsFieldOperand(node->Right)) {
        // An equality of a field of each side; anything else is left to expression mode.
        const std::string lt = ZanFieldTableName(*node->Left), rt = ZanFieldTableName(*node->Right);
        TZanBaseJoinDataProvider* lp = TZanBaseJoinDataProvider::FindQualifiedProvider(lt, FOuter, FInner);
        TZanBaseJoinDataProvider* rp = TZanBaseJoinDataProvider::FindQualifiedProvider(rt, FInner, FOuter);
        if (!lp || !rp || lp == rp || !lp->IsSingleTable() || !rp->IsSingleTable() ||
            ProviderContains(FOuter, lp) == ProviderContains(FOuter, rp))
            return nullptr;
        TInternalFieldItem* lf = lp->FindField(nullptr, VarToStr(node->Left->Data));
        TInternalFieldItem* rf = rp->FindField(nullptr, VarToStr(node->Right->Data));
        if (!lf || !rf) return nullptr;
        TJoinExprNode* n = ChainNode(node);
        n->SplitOK = true;
        n->LeftProvider = lp;
        n->RightProvider = rp;
        n->LeftSourceField = lf;
        n->RightSourceField = rf;
        n->LeftIndexName = IndexBeginningWith(lp, lf->GetFieldName());
        n->RightIndexName = IndexBeginningWith(rp, rf->GetFieldName());
        return n;
    }
    if (node->Kind != enkLogicalOperator || (node->Operator != zeoAND && node->Operator != zeoOR))
        return nullptr;
    TJoinExprNode* left = CreateNode(node->Left);
    TJoinExprNode* right = CreateNode(node->Right);
    TJoinExprNode* n = ChainNode(node);
    n->Left = left;
    n->Right = right;
    n->SplitOK = left && right && left->SplitOK && right->SplitOK;
    return n;
}

void TJoinAnalyser::CreateAnalyserTree() {
    FRoot = nullptr;
    FChain = nullptr;
    FNodes.clear();
    FRoot = CreateNode(FCondition);
}

// ---------------------------------------------------------------------------------------------
// Hash tables of one equality

TJoinExprNodeEvaluator::TJoinExprNodeEvaluator(TJoinExprNode* node) : FNode(node) {}
TJoinExprNodeEvaluator::~TJoinExprNodeEvaluator() = default;

bool TJoinExprNodeEvaluator::Prepare(TZanNonJoinDataProvider* hashed) {
    FPrepared = false;
    const bool leftHashed = FNode->LeftProvider == hashed;
    FHashedField = leftHashed ? FNode->LeftSourceField : FNode->RightSourceField;
    FDrivingField = leftHashed ? FNode->RightSourceField : FNode->LeftSourceField;
    ZanAssert(FHashedField != nullptr && (leftHashed || FNode->RightProvider == hashed),
              "Hash table SourceFieldName could not be set");
    TZanDatasetBridge* bridge = hashed->GetBridge();
    if (!bridge->GetActive()) hashed->OpenProvider();
    const int32_t n = std::max(0, bridge->GetTotalBridgeRecordCount());
    FMaxKeyLength = FHashedField->GetWriteableFieldSize();
    FHash = std::make_unique<TZanBaseHash>(2 * (n + 10), FMaxKeyLength, n + 10);
    FHash->SourceFieldName = FHashedField->GetFieldName();
    FHash->FieldDataType = FHashedField->GetDataType();
    TCompoundList list;
    bool full = false;
    try {
        bridge->LoadHashTable(*FHash, list, full, false);
    } catch (const EZanDatabaseError&) {
        // The table grew since it was counted: the caller runs the join another way.
        if (FHash->CheckHashFull()) return false;
        throw;
    }
    FPrepared = true;
    return true;
}

void TJoinExprNodeEvaluator::SetSourceKey(TZanBaseJoinDataProvider* driving) {
    FCandidates.clear();
    // The driving field belongs to one table of the driving side, whose current row is part
    // of the driving row.
    (void)driving;
    TZanBaseJoinDataProvider* owner =
        FDrivingField == FNode->LeftSourceField ? FNode->LeftProvider : FNode->RightProvider;
    owner->GetRawFieldData(FDrivingField->GetFieldIndex(), FHolder);
    if (FHolder.IsNull || !FHolder.Data) return;
    int32_t length = FHolder.Length;
    const uint8_t* key = FHolder.Data;
    if (FDrivingField->GetDataType() == ftString) {
        const void* nul = std::memchr(key, 0, size_t(length));
        if (nul) length = int32_t(static_cast<const uint8_t*>(nul) - key);
        // A probe longer than the hashed field can equal none of its values.
        if (length > FMaxKeyLength) return;
    } else if (length > FMaxKeyLength) {
        return;
    }
    FScratch.clear();
    FHash->GetPossibleMatchList(key, length, FScratch);
    if ((FDrivingField->GetDataType() == ftFloat || FDrivingField->GetDataType() == ftCurrency) &&
        length == 8) {
        double v;
        std::memcpy(&v, key, 8);
        if (v == 0) {
            // 0 and -0 are equal values with different bytes.
            const double other = std::signbit(v) ? 0.0 : -0.0;
            FHash->GetPossibleMatchList(&other, 8, FScratch);
        }
    }
    FCandidates.reserve(FScratch.size());
    for (uint32_t a : FScratch) FCandidates.push_back(int32_t(a));
    std::sort(FCandidates.begin(), FCandidates.end());
    FCandidates.erase(std::unique(FCandidates.begin(), FCandidates.end()), FCandidates.end());
}

// ---------------------------------------------------------------------------------------------
// Evaluator

TJoinEvaluator::TJoinEvaluator() = default;
TJoinEvaluator::~TJoinEvaluator() = default;

void TJoinEvaluator::Clear() {
    FNodeEvaluators.clear();
    FMatchList.clear();
    FMatchedIDs.clear();
    FMode = jmtJoinExpr;
    FPass = 1;
    FNullRow = false;
}

bool TJoinEvaluator::IsOuterJoin() const {
    const TZanJoinType t = FAnalyser->GetJoinType();
    return t == jtLeftOuterJoin || t == jtRightOuterJoin || t == jtFullOuterJoin;
}

void TJoinEvaluator::AnalyseAndOpenJoin() {
    FAnalyser->CreateAnalyserTree();
    TZanBaseJoinDataProvider* outer = FAnalyser->GetOuterProvider();
    TZanBaseJoinDataProvider* inner = FAnalyser->GetInnerProvider();
    const TZanJoinType type = FAnalyser->GetJoinType();
    TJoinExprNode* root = FAnalyser->GetRoot();
    FSwapAllowed = type != jtLeftOuterJoin && type != jtRightOuterJoin &&
                   type != jtFullOuterJoin && type != jtUnionJoin;
    FRangeSet = false;
    const bool plannable = root && outer->IsSingleTable() && inner->IsSingleTable();
    TJoinPlan& plan = FAnalyser->GetPlan();
    plan = TJoinPlan();
    plan.OuterName = outer->GetProviderName();
    plan.InnerName = inner->GetProviderName();
    if (!plannable) {
        inner->SetSelectExpr(false, std::string());
        outer->SetSelectExpr(false, std::string());
    } else {
        auto* o = static_cast<TZanNonJoinDataProvider*>(outer);
        auto* i = static_cast<TZanNonJoinDataProvider*>(inner);
        plan.OuterExprExists = o->GetJoinSelectExprRoot() != nullptr;
        plan.InnerExprExists = i->GetJoinSelectExprRoot() != nullptr;
        int32_t count = 0;
        o->AssessCondition(plan.OuterExprOptLevel, count);
        i->AssessCondition(plan.InnerExprOptLevel, count);
        // An equality at the root with an index led by the join field on both sides: the inner
        // side is read only within the outer side's key range.
        const bool rootEquality = root->ExprNode->Kind == enkRelOperator;
        const bool outerLeft = rootEquality && root->LeftProvider == outer;
        TInternalFieldItem* of = outerLeft ? root->LeftSourceField : root->RightSourceField;
        TInternalFieldItem* inf = outerLeft ? root->RightSourceField : root->LeftSourceField;
        const std::string outerIndex = outerLeft ? root->LeftIndexName : root->RightIndexName;
        const std::string innerIndex = outerLeft ? root->RightIndexName : root->LeftIndexName;
        plan.IndexedJoin = rootEquality && !outerIndex.empty() && !innerIndex.empty();
        bool ranged = false;
        // A hashed join reads the inner keys from its index, which a range prevents: the range
        // pays there only when the outer side's own condition may narrow its keys.
        const bool willHash = FAnalyser->CanHashJoin() &&
                              (!rootEquality || of->GetDataType() == inf->GetDataType());
        if (plan.IndexedJoin && (!willHash || plan.OuterExprExists) &&
            (type == jtInnerJoin || type == jtLeftOuterJoin) &&
            of->GetDataType() == inf->GetDataType() && plan.InnerExprOptLevel == 0) {
            TZanDatasetBridge* ib = i->GetBridge();
            const TIndexItem* index = ib->GetIndexManager().FindIndex(innerIndex);
            const bool foldedKey = index && index->GetKeyFields().Count() > 0 &&
                                   index->GetKeyFields().Items(0)->GetCaseInsensitive();
            if (!(of->GetDataType() == ftString && foldedKey)) {
                o->SetSelectExpr(true, outerIndex);
                Variant low, high;
                bool any = false;
                const TZanCompareFunc compare = o->GetDBStringCompare();
                auto less = [&](const Variant& a, const Variant& b) {
                    if (a.Type() == varString && b.Type() == varString && compare)
                        return compare(a.StringRef().data(), int32_t(a.StringRef().size()),
                                       b.StringRef().data(), int32_t(b.StringRef().size()),
                                       false, false) < 0;
                    return VarCompareValue(a, b) == vrLessThan;
                };
                for (bool r = o->FirstProviderRecord(); r; r = o->NextProviderRecord()) {
                    const Variant v = o->GetDataAsVariant(of->GetFieldIndex());
                    if (VarIsNull(v)) continue;
                    if (!any || less(v, low)) low = v;
                    if (!any || less(high, v)) high = v;
                    any = true;
                }
                if (any) {
                    ib->SetBridgeIndexRange(innerIndex, low, high);
                    i->SetSelectExpr(true, innerIndex);
                    plan.OuterRangeOn = plan.InnerRangeOn = true;
                    FSwapAllowed = false;
                    FRangeSet = ranged = true;
                }
            }
        }
        if (!ranged) {
            inner->SetSelectExpr(false, std::string());
            outer->SetSelectExpr(false, std::string());
        }
    }
    if (GDBLogger().GetActive()) {
        TStringList lines;
        plan.DisplayPlan(lines);
        for (int k = 0; k < lines.Count(); ++k) GDBLogger().LogItem("TJoinPlan", lines.Get(k));
    }
    if (FSwapAllowed && plannable && FAnalyser->CanHashJoin()) DetermineInnerProvider();
    Prepare();
}

void TJoinEvaluator::DetermineInnerProvider() {
    TZanBaseJoinDataProvider* outer = FAnalyser->GetOuterProvider();
    TZanBaseJoinDataProvider* inner = FAnalyser->GetInnerProvider();
    const int32_t outerCount = outer->GetRecordCount();
    const int32_t innerCount = inner->GetRecordCount();
    const bool swap = outerCount > innerCount ||
                      (outerCount == innerCount && !inner->GetJoinSelectExprRoot() &&
                       outer->GetJoinSelectExprRoot());
    if (swap) FAnalyser->SwapProviders();
}

bool TJoinEvaluator::CanHash() const {
    if (!FAnalyser->CanHashJoin() || !FProbed->IsSingleTable()) return false;
    for (TJoinExprNode* n = FAnalyser->GetChain(); n; n = n->Next) {
        if (n->ExprNode->Kind != enkRelOperator) continue;
        // Equal values of different types have different bytes: only like types hash.
        const TFieldType lt = n->LeftSourceField->GetDataType();
        const TFieldType rt = n->RightSourceField->GetDataType();
        if (lt != rt || IsBlobFieldType(lt)) return false;
        // Each equality must relate the probed table to the driving side.
        if (n->LeftProvider != FProbed && n->RightProvider != FProbed) return false;
        if (ProviderContains(FProbed, n->LeftProvider) == ProviderContains(FProbed, n->RightProvider))
            return false;
        const TInternalFieldItem* hashed =
            n->LeftProvider == FProbed ? n->LeftSourceField : n->RightSourceField;
        if (hashed->GetWriteableFieldSize() > C_MAX_HASH_KEY) return false;
    }
    return true;
}

void TJoinEvaluator::ResetRoles() {
    if (FDriving) FDriving->SetForceToNullValues(false);
    if (FProbed) FProbed->SetForceToNullValues(false);
    FPass = 1;
    FMatchedIDs.clear();
    FNullRow = false;
    if (FAnalyser->GetJoinType() == jtRightOuterJoin) {
        FDriving = FAnalyser->GetInnerProvider();
        FProbed = FAnalyser->GetOuterProvider();
    } else {
        FDriving = FAnalyser->GetOuterProvider();
        FProbed = FAnalyser->GetInnerProvider();
    }
    if (FAnalyser->GetJoinType() == jtUnionJoin) FProbed->SetForceToNullValues(true);
}

void TJoinEvaluator::Prepare() {
    FMode = jmtJoinExpr;
    FNodeEvaluators.clear();
    FHashed = nullptr;
    const TZanJoinType type = FAnalyser->GetJoinType();
    FDriving = FProbed = nullptr;
    ResetRoles();
    FProbed->SetForceToNullValues(false);
    if (type != jtUnionJoin && type != jtCrossJoin && CanHash()) {
        auto* hashed = static_cast<TZanNonJoinDataProvider*>(FProbed);
        bool ok = true;
        for (TJoinExprNode* n = FAnalyser->GetChain(); n && ok; n = n->Next) {
            if (n->ExprNode->Kind != enkRelOperator) continue;
            FNodeEvaluators.push_back(std::make_unique<TJoinExprNodeEvaluator>(n));
            n->Evaluator = FNodeEvaluators.back().get();
            ok = n->Evaluator->Prepare(hashed);
        }
        if (ok) {
            FMode = jmtHashJoin;
            FHashed = hashed;
        } else {
            for (TJoinExprNode* n = FAnalyser->GetChain(); n; n = n->Next) n->Evaluator = nullptr;
            FNodeEvaluators.clear();
        }
    }
    if (type == jtUnionJoin) FProbed->SetForceToNullValues(true);
}

void TJoinEvaluator::CombineLists(TJoinExprNode* node, std::vector<int32_t>& out) {
    out.clear();
    if (!node) return;
    if (node->Evaluator) {
        out = node->Evaluator->GetCandidates();
        return;
    }
    std::vector<int32_t> left, right;
    CombineLists(node->Left, left);
    CombineLists(node->Right, right);
    if (node->ExprNode->Operator == zeoAND) {
        std::set_intersection(left.begin(), left.end(), right.begin(), right.end(),
                              std::back_inserter(out));
    } else if (node->ExprNode->Operator == zeoOR) {
        std::set_union(left.begin(), left.end(), right.begin(), right.end(),
                       std::back_inserter(out));
    } else {
        ZanDatabaseError(8581, "TJoinEvaluator.InternalCombineRecordLists", "Invalid operator");
    }
}

bool TJoinEvaluator::NextHashMatch() {
    while (FMatchPos < FMatchList.size()) {
        const int32_t address = FMatchList[FMatchPos++];
        // A record deleted since the hash load is skipped; the probed table's own condition is
        // checked on the candidates only.
        if (FHashed->MoveToRecord(address) && FHashed->PassesRow()) {
            FAnyMatch = true;
            return true;
        }
    }
    if (!FAnyMatch && IsOuterJoin()) {
        FAnyMatch = true;
        FNullRow = true;
        FProbed->SetForceToNullValues(true);
        return true;
    }
    return false;
}

bool TJoinEvaluator::StartDrivingRow() {
    FNullRow = false;
    FAnyMatch = false;
    const TZanJoinType type = FAnalyser->GetJoinType();
    if (type == jtUnionJoin) return true;
    if (FMode == jmtHashJoin) {
        for (auto& e : FNodeEvaluators) e->SetSourceKey(FDriving);
        CombineLists(FAnalyser->GetRoot(), FMatchList);
        FMatchPos = 0;
        return NextHashMatch();
    }
    TZanStdJoinDataProvider* join = FAnalyser->GetJoinProvider();
    if (join->GetJoinExprRoot()) join->ParseJoinExpr(FProbed == join->GetInnerProvider());
    if (FProbed->FirstProviderRecord()) return true;
    if (!IsOuterJoin()) return false;
    FNullRow = true;
    FProbed->SetForceToNullValues(true);
    return true;
}

bool TJoinEvaluator::AdvanceProbe() {
    if (FNullRow) {
        FNullRow = false;
        FProbed->SetForceToNullValues(false);
        return false;
    }
    if (FAnalyser->GetJoinType() == jtUnionJoin) return false;
    if (FMode == jmtHashJoin) return NextHashMatch();
    return FProbed->NextProviderRecord();
}

bool TJoinEvaluator::SkipInPass2() {
    return FAnalyser->GetJoinType() == jtFullOuterJoin &&
           FMatchedIDs.count(FDriving->CurrentRecordIDAsString()) > 0;
}

void TJoinEvaluator::CheckAddRecID() {
    if (FPass != 1 || FAnalyser->GetJoinType() != jtFullOuterJoin) return;
    std::string id = FProbed->CurrentRecordIDAsString();
    if (!id.empty()) FMatchedIDs.insert(std::move(id));
}

bool TJoinEvaluator::CheckNextPass() {
    const TZanJoinType type = FAnalyser->GetJoinType();
    if (FPass != 1 || (type != jtFullOuterJoin && type != jtUnionJoin)) return false;
    FPass = 2;
    FNullRow = false;
    FProbed->SetForceToNullValues(false);
    // The probed side's per-row condition no longer applies: every row of it is read.
    if (FMode == jmtJoinExpr && type == jtFullOuterJoin) FProbed->SetExtraSelectExpRoot(nullptr);
    FDriving = FAnalyser->GetInnerProvider();
    FProbed = FAnalyser->GetOuterProvider();
    FDriving->SetForceToNullValues(false);
    FProbed->SetForceToNullValues(true);
    bool found = FDriving->FirstProviderRecord();
    while (found && SkipInPass2()) found = FDriving->NextProviderRecord();
    return found;
}

bool TJoinEvaluator::FirstRecord() {
    // Started again (an enclosing join reads this one once per row of its own): pass 1.
    ResetRoles();
    for (bool r = FDriving->FirstProviderRecord(); r; r = FDriving->NextProviderRecord())
        if (StartDrivingRow()) {
            CheckAddRecID();
            return true;
        }
    return CheckNextPass();
}

bool TJoinEvaluator::NextRecord() {
    if (FPass == 2) {
        bool found = FDriving->NextProviderRecord();
        while (found && SkipInPass2()) found = FDriving->NextProviderRecord();
        return found;
    }
    if (AdvanceProbe()) {
        CheckAddRecID();
        return true;
    }
    while (FDriving->NextProviderRecord())
        if (StartDrivingRow()) {
            CheckAddRecID();
            return true;
        }
    return CheckNextPass();
}

} // namespace zan
