// The filter optimiser: simplification, the mirror tree, index lists and their combination.
#include "engine/dataset/zanFilterOptimizer.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/sql/zanExprParser.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/SysUtils.h"
#include "host/rtl/VarCompare.h"

namespace zan {

namespace {

bool GForceNoOptimisation = false;
uint64_t GIndexSearchCount = 0;

bool IsField(const TZanExprNode* n) {
    return n && n->Kind == enkField;
}

// A constant with a value (CURRENT_* are constants once simplified).
bool IsValueConst(const TZanExprNode* n) {
    return n && n->Kind == enkConst && n->Operator != zeoFUNC2 && n->Operator != zeoISBLANK &&
           !VarIsNull(n->Data) && !VarIsEmpty(n->Data);
}

bool IsConst(const TZanExprNode* n) {
    return n && n->Kind == enkConst && n->Operator != zeoFUNC2;
}

bool IsComparison(TZanExprOperator op) {
    return op >= zeoEQ && op <= zeoLE;
}

bool IsAsciiText(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return uint8_t(c) < 0x80; });
}

bool IsStringKey(const TKeyFieldItem& k) {
    return k.GetDataType() == ftString || k.GetDataType() == ftWideString;
}

// The field node's qualifier text (empty without one).
std::string QualifierOf(const TZanExprNode* field) {
    for (const TParserToken* t : field->TokenArgs)
        if (t && t->Token == zstTableName) return t->Text;
    return {};
}

bool SameField(const TZanExprNode* a, const TZanExprNode* b) {
    return IsField(a) && IsField(b) && SameText(VarToStr(a->Data), VarToStr(b->Data)) &&
           SameText(QualifierOf(a), QualifierOf(b));
}

// The LIKE node's escape character, NUL without one.
char LikeEscape(const TZanExprNode* like) {
    if (like->Args.empty()) return '\0';
    const TZanExprNode* e = like->Args.back();
    if (e->Kind == enkConst && e->Data.Type() == varString && e->Data.StringRef().size() == 1)
        return e->Data.StringRef()[0];
    return '\0';
}

void Intersect(TZanAddressList& a, const TZanAddressList& b) {
    TZanAddressList out;
    out.reserve(std::min(a.size(), b.size()));
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    a.swap(out);
}

void Unite(TZanAddressList& a, const TZanAddressList& b) {
    TZanAddressList out;
    out.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    a.swap(out);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TIndexDataInterface

TIndexDataInterface::TIndexDataInterface(TIndexItem* index, bool excludeNulls, bool asciiOrder)
    : FIndex(index), FIndexName(index->GetIndexName()), FExcludeNulls(excludeNulls),
      FAsciiOrder(asciiOrder) {}

const TKeyFieldItem& TIndexDataInterface::FirstKeyField() const {
    return *FIndex->GetKeyFields().Items(0);
}

TIndexSearchType TIndexDataInterface::MapRelOpToSearchType(TZanExprOperator op, bool descending) {
    TIndexSearchType type;
    switch (op) {
    case zeoISBLANK:
    case zeoEQ:
    case zeoNE:
    case zeoLE:
    case zeoLIKE:
    case zeoIN:
        type = stLE;
        break;
    case zeoNOTBLANK:
    case zeoGT:
        type = stGT;
        break;
    case zeoLT:
        type = stLT;
        break;
    case zeoGE:
        type = stGE;
        break;
    default:
        ZanDatabaseError(8581, "TIndexDataInterface.MapRelOpToSearchType",
                         "Unexpected seek type in Internal Find");
    }
    if (!descending || op == zeoEQ || op == zeoIN) return type;
    switch (type) {
    case stLT:
        return stGT;
    case stLE:
        return stGE;
    case stGE:
        return stLE;
    case stGT:
        return stLT;
    default:
        return type;
    }
}

std::string TIndexDataInterface::ConvertStringForPartialMatch(TZanExprOperator op,
                                                              const std::string& text,
                                                              char escape) {
    std::string s = text;
    if (op == zeoLIKE) {
        const size_t cut = s.find_first_of(escape ? std::string("%_") + escape : std::string("%_"));
        if (cut != std::string::npos) s.erase(cut);
    }
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    if (!s.empty()) s += '\xFF';
    return s;
}

bool TIndexDataInterface::CanUseValue(const Variant& value) const {
    const TKeyFieldItem& k = FirstKeyField();
    const TVarType t = value.Type();
    const bool isInt = t == varInteger || t == varSmallint || t == varInt64;
    const bool isNum = isInt || t == varDouble || t == varCurrency;
    auto integral = [&](int64_t lo, int64_t hi) {
        if (isInt) {
            const int64_t v = value.AsInt64();
            return v >= lo && v <= hi;
        }
        if (t == varDouble) {
            const double d = value.AsDouble();
            return std::isfinite(d) && d == std::floor(d) && d >= double(lo) && d <= double(hi);
        }
        return false;
    };
    switch (k.GetDataType()) {
    case ftString:
        return t == varString && int32_t(value.StringRef().size()) <= k.GetFieldSize();
    case ftSmallint:
        return integral(-32768, 32767);
    case ftWord:
        return integral(0, 65535);
    case ftInteger:
    case ftAutoInc:
        return integral(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
    case ftLargeint:
        // Doubles beyond 2^53 are not exact integers of their own.
        return isInt || integral(-(int64_t(1) << 53), int64_t(1) << 53);
    case ftBoolean:
        return t == varBoolean;
    case ftFloat:
        return isNum && t != varCurrency && std::isfinite(value.AsDouble());
    case ftDate:
    case ftTime:
    case ftDateTime:
        return t == varDate;
    default:
        return false;
    }
}

void TIndexDataInterface::CreateKeyBuffer(TFieldComparisonValue missing, const Variant& value) {
    TBTree& tree = FIndex->GetTree();
    TKeyMarkers markers(size_t(tree.KeyFieldCount()),
                        missing == fcForceBOF ? 0 : missing == fcForceEOF ? 2 : 1);
    if (!markers.empty()) markers[0] = 1;
    tree.ConstructKeyBufFromVariants(value, &markers);
}

int32_t TIndexDataInterface::Search(const TCut& cut, TIndexSearchType type) {
    ++GIndexSearchCount;
    CreateKeyBuffer(cut.After ? fcForceEOF : fcForceBOF, cut.Value);
    return FIndex->GetTree().IndexSearch(type);
}

uint32_t TIndexDataInterface::FirstAfter(const TCut& cut) {
    if (cut.End < 0) return FIndex->GetRecordCount() > 0 ? 1 : 0;
    if (cut.End > 0) return 0;
    if (Search(cut, cut.After ? stGT : stGE) != 0 || FIndex->GetRecordAddress() == 0) return 0;
    return FIndex->GetRecordNo();
}

uint32_t TIndexDataInterface::LastBefore(const TCut& cut) {
    if (cut.End > 0) return FIndex->GetRecordCount();
    if (cut.End < 0) return 0;
    if (Search(cut, cut.After ? stLE : stLT) != 0 || FIndex->GetRecordAddress() == 0) return 0;
    return FIndex->GetRecordNo();
}

void TIndexDataInterface::ListBetween(const TCut& low, const TCut& high, TZanAddressList& list) {
    TCut from = low, to = high;
    if (FirstKeyField().GetDescending()) {
        // The tree holds the values in reverse: the value range's high end comes first.
        from = high;
        to = low;
        for (TCut* c : {&from, &to}) {
            c->End = int8_t(-c->End);
            c->After = !c->After;
        }
    }
    const uint32_t first = FirstAfter(from);
    if (first == 0) return;
    const uint32_t last = LastBefore(to);
    if (last < first) return;
    if (FIndex->SetRecordNo(first) == 0) return;
    for (uint32_t n = first;; ++n) {
        const uint32_t address = FIndex->GetRecordAddress();
        if (address == 0) ZanDatabaseError(8965, "TIndexDataInterface.GetRecordList");
        list.push_back(address);
        if (n >= last) break;
        if (!FIndex->NextKey()) ZanDatabaseError(8965, "TIndexDataInterface.GetRecordList");
    }
}

uint64_t TIndexDataInterface::GetSearchCount() {
    return GIndexSearchCount;
}

void TIndexDataInterface::SortUnique(TZanAddressList& list) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
}

void TIndexDataInterface::GetRecordList(TZanExprOperator op, const Variant& value,
                                        TZanAddressList& list, int32_t partialLength) {
    const TCut minusInf{-1, Variant(), false};
    const TCut plusInf{1, Variant(), false};
    // Without NULL exclusion a NULL compares below every value: "less" takes the NULL keys.
    const TCut lowest = FExcludeNulls ? AtValue(Null(), true) : minusInf;
    const Variant nullValue = Null();
    if (op == zeoISBLANK) {
        ListBetween(AtValue(nullValue, false), AtValue(nullValue, true), list);
    } else if (op == zeoNOTBLANK) {
        ListBetween(AtValue(nullValue, true), plusInf, list);
    } else if (op == zeoLIKE) {
        std::string top = ConvertStringForPartialMatch(op, value.AsString());
        if (top.empty()) {
            ListBetween(AtValue(nullValue, true), plusInf, list);
        } else {
            const std::string prefix = top.substr(0, top.size() - 1);
            ListBetween(AtValue(Variant(prefix), false), PrefixEnd(prefix), list);
        }
    } else if (partialLength > 0) {
        // A "*" constant is a prefix: the field's value cut to the prefix length compares with
        // it, so a value shorter than the prefix sorts below it and only values that begin with
        // the prefix are equal.
        const std::string text = value.AsString();
        const std::string prefix = text.substr(0, std::min(text.size(), size_t(partialLength)));
        const TCut below = AtValue(Variant(prefix), false);
        const TCut top = PrefixEnd(prefix);
        switch (op) {
        case zeoEQ:
        case zeoNE:
            ListBetween(below, top, list);
            break;
        case zeoGE:
            ListBetween(below, plusInf, list);
            break;
        case zeoGT:
            ListBetween(top, plusInf, list);
            break;
        case zeoLT:
            ListBetween(lowest, below, list);
            break;
        case zeoLE:
            ListBetween(lowest, top, list);
            break;
        default:
            MapRelOpToSearchType(op, false);
            break;
        }
    } else {
        switch (op) {
        case zeoEQ:
        case zeoNE:
        case zeoIN:
            ListBetween(AtValue(value, false), AtValue(value, true), list);
            break;
        case zeoLT:
            ListBetween(lowest, AtValue(value, false), list);
            break;
        case zeoLE:
            ListBetween(lowest, AtValue(value, true), list);
            break;
        case zeoGT:
            ListBetween(AtValue(value, true), plusInf, list);
            break;
        case zeoGE:
            ListBetween(AtValue(value, false), plusInf, list);
            break;
        default:
            MapRelOpToSearchType(op, false);
            break;
        }
    }
    SortUnique(list);
}

void TIndexDataInterface::GetInRecordList(const std::vector<Variant>& values,
                                          TZanAddressList& list) {
    // Each distinct constant is searched once; the lists are gathered and sorted once.
    std::vector<const Variant*> distinct;
    distinct.reserve(values.size());
    for (const Variant& v : values)
        distinct.push_back(&v);
    const auto less = [](const Variant* a, const Variant* b) {
        if (a->Type() != b->Type()) return a->Type() < b->Type();
        switch (a->Type()) {
        case varString:
            return a->StringRef() < b->StringRef();
        case varDouble:
        case varDate:
            return a->AsDouble() < b->AsDouble();
        case varBoolean:
            return a->AsBoolean() < b->AsBoolean();
        case varSmallint:
        case varInteger:
        case varInt64:
            return a->AsInt64() < b->AsInt64();
        default:
            return a < b; // searched once per occurrence
        }
    };
    std::sort(distinct.begin(), distinct.end(), less);
    distinct.erase(std::unique(distinct.begin(), distinct.end(),
                               [&](const Variant* a, const Variant* b) {
                                   return !less(a, b) && !less(b, a);
                               }),
                   distinct.end());
    for (const Variant* v : distinct)
        ListBetween(AtValue(*v, false), AtValue(*v, true), list);
    SortUnique(list);
}

TIndexDataInterface::TCut TIndexDataInterface::PrefixEnd(const std::string& prefix) const {
    // The first string above every string that begins with prefix: the prefix with its last
    // byte raised by one, after dropping the trailing bytes that cannot be raised. The
    // case-insensitive ASCII order sees a-z as A-Z, so a raised byte never lands on them.
    const bool folded = FirstKeyField().GetCaseInsensitive();
    std::string s = prefix;
    while (!s.empty()) {
        int c = static_cast<uint8_t>(s.back());
        if (folded && c >= 'a' && c <= 'z') c -= 32;
        ++c;
        if (folded && c >= 'a' && c <= 'z') c = 'z' + 1;
        if (c <= 0xFF) {
            s.back() = static_cast<char>(c);
            return AtValue(Variant(s), false);
        }
        s.pop_back();
    }
    return {1, Variant(), false};
}

void TIndexDataInterface::GetBetweenRecordList(const Variant& low, const Variant& high,
                                               TZanAddressList& list) {
    ListBetween(AtValue(low, false), AtValue(high, true), list);
    SortUnique(list);
}

// ---------------------------------------------------------------------------------------------
// TIndexQueryMgr

TIndexQueryItem::TIndexQueryItem(TIndexItem* index, bool excludeNulls, bool asciiOrder)
    : FInterface(index, excludeNulls, asciiOrder) {}

void TIndexQueryMgr::Add(TIndexItem* index, bool excludeNulls, bool asciiOrder) {
    FItems.push_back(std::make_unique<TIndexQueryItem>(index, excludeNulls, asciiOrder));
}

void TIndexQueryMgr::SetExcludeNulls(bool value) {
    for (auto& item : FItems)
        item->GetInterface().SetExcludeNulls(value);
}

TIndexQueryItem* TIndexQueryMgr::FindIndexForFields(const std::vector<std::string>& fields,
                                                    bool caseInsensitive) {
    for (auto& item : FItems) {
        const TKeyFields& keys = item->GetKeyFields();
        if (fields.empty() || keys.Count() < int32_t(fields.size())) continue;
        bool match = true;
        for (size_t i = 0; match && i < fields.size(); ++i) {
            const TKeyFieldItem& k = *keys.Items(int32_t(i));
            match = SameText(k.GetFieldName(), fields[i]) &&
                    (!IsStringKey(k) || k.GetCaseInsensitive() == caseInsensitive);
        }
        if (match) return item.get();
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// TExprOptimizerMgr

TExprOptimizerNode* TExprOptimizerMgr::NewNode(TZanExprNode* exprNode) {
    FNodes.push_back(std::make_unique<TExprOptimizerNode>());
    FNodes.back()->ExprNode = exprNode;
    return FNodes.back().get();
}

bool TExprOptimizerMgr::HasInvertedLists() const {
    return std::any_of(FNodes.begin(), FNodes.end(), [](const auto& n) {
        return n->Inverted && n->IndexInterface != nullptr && n->Level != olNone;
    });
}

void TExprOptimizerMgr::ResetInvertedLists(const TZanAddressList& fullList) {
    for (auto& n : FNodes) {
        if (!n->Inverted || n->IndexInterface == nullptr || n->Level == olNone) continue;
        TZanAddressList out;
        out.reserve(fullList.size() >= n->List.size() ? fullList.size() - n->List.size() : 0);
        std::set_difference(fullList.begin(), fullList.end(), n->List.begin(), n->List.end(),
                            std::back_inserter(out));
        n->List.swap(out);
        n->Inverted = false;
    }
}

void TExprOptimizerMgr::ListIndexRequests(TStrings& lines) const {
    // The chain holds the nodes in creation order (pre-order from the root).
    for (const auto& n : FNodes)
        if (n->IndexInterface)
            lines.Add(std::string(ZanExprOperatorName(n->ExprNode->Operator)) + " " +
                      n->IndexInterface->GetIndexName());
}

void TExprOptimizerMgr::Clear() {
    FNodes.clear();
    FRoot = nullptr;
}

// ---------------------------------------------------------------------------------------------
// TFilterOptimizer: simplification

void TFilterOptimizer::SetForceNoOptimisation(bool value) {
    GForceNoOptimisation = value;
}

bool TFilterOptimizer::GetForceNoOptimisation() {
    return GForceNoOptimisation;
}

void TFilterOptimizer::Clear() {
    FMgr.Clear();
}

void TFilterOptimizer::AnalyzeExpr(TZanExpr& expr, TZanExprNode* root) {
    FMgr.Clear();
    if (!root) return;
    OptimizeExprTree(expr, root, 0);
    FMgr.SetRoot(CreateOptimizerNode(root, 0));
}

// Replaces a node whose operands are all constants by the constant the evaluator computes
// for it, so that folding follows the evaluation rules exactly.
void TFilterOptimizer::FoldConstantNode(TZanExprNode* node) {
    Variant value;
    {
        TExprEvaluator evaluator;
        evaluator.SetDBStringCompare(FProvider ? FProvider->GetDBStringCompare() : nullptr);
        evaluator.SetExcludeRelopNulls(FMgr.GetExcludeNulls());
        evaluator.Prepare(FProvider, node, FInstant);
        evaluator.EvaluateValueExpr(value);
    }
    const bool isNull = VarIsNull(value) || VarIsEmpty(value);
    node->Kind = enkConst;
    node->Operator = isNull ? zeoISBLANK : zeoCONST2;
    node->Data = isNull ? Null() : value;
    node->Left = node->Right = nullptr;
    node->Args.clear();
}

void TFilterOptimizer::OptimizeExprTree(TZanExpr& expr, TZanExprNode* node, int depth) {
    if (!node) return;
    if (depth > 4 * C_MAXEXPRTREEDEPTH)
        ZanDatabaseError(8581, "TFilterOptimizer.OptimizeExprTree", "Expression too deep");
    OptimizeExprTree(expr, node->Left, depth + 1);
    OptimizeExprTree(expr, node->Right, depth + 1);
    for (TZanExprNode* arg : node->Args)
        OptimizeExprTree(expr, arg, depth + 1);

    switch (node->Kind) {
    case enkConst:
        if (node->Operator == zeoFUNC2) {
            // CURRENT_DATE, CURRENT_TIME, CURRENT_TIMESTAMP: the execution's instant.
            const TDateTime v = node->ParserToken.Token == zstCurrentDate   ? DateOf(FInstant)
                                : node->ParserToken.Token == zstCurrentTime ? TimeOf(FInstant)
                                                                            : FInstant;
            node->Operator = zeoCONST2;
            node->Data = VarFromDateTime(v);
        } else if (IsTemporalType(node->DataType) && node->Data.Type() == varString) {
            Variant converted;
            TZanDataConversionValidator::ConvertStrToDateTime(node->Data.AsString(),
                                                              node->DataType, converted);
            node->Data = converted;
            if (VarIsNull(converted)) node->Operator = zeoISBLANK;
        }
        return;
    case enkArithOperator:
        if (IsConst(node->Left) && (!node->Right || IsConst(node->Right)) && node->Args.empty())
            FoldConstantNode(node);
        return;
    case enkRelOperator:
        if (IsConst(node->Left) && IsConst(node->Right)) {
            FoldConstantNode(node);
            return;
        }
        if (IsField(node->Left) && IsValueConst(node->Right) &&
            node->Right->Data.Type() == varString) {
            TZanExprNode* c = node->Right;
            if (node->CaseInsensitiveMatch) c->Data = Variant(ZanAnsiUpperCase(c->Data.StringRef()));
            const std::string& s = c->Data.StringRef();
            if (node->PartialMatch && s.size() > 1 && s.back() == '*')
                c->PartialLength = int32_t(s.size()) - 1;
        }
        return;
    case enkNonRelPredicate:
        if (node->Operator == zeoIN && node->CaseInsensitiveMatch)
            for (TZanExprNode* item : node->Args)
                if (IsValueConst(item) && item->Data.Type() == varString)
                    item->Data = Variant(ZanAnsiUpperCase(item->Data.StringRef()));
        return;
    case enkLogicalOperator:
        if (node->Operator == zeoOR && !GForceNoOptimisation && !FMgr.GetExcludeNulls())
            FoldCoveringOr(expr, node);
        return;
    default:
        return;
    }
}

int TFilterOptimizer::CompareConstants(const TZanExprNode* a, const TZanExprNode* b,
                                       bool caseInsensitive) {
    const Variant& x = a->Data;
    const Variant& y = b->Data;
    if (x.Type() == varString && y.Type() == varString) {
        const TZanCompareFunc compare = FProvider ? FProvider->GetDBStringCompare() : nullptr;
        if (!compare) return 0;
        const int32_t c = compare(x.StringRef().data(), int32_t(x.StringRef().size()),
                                  y.StringRef().data(), int32_t(y.StringRef().size()), false,
                                  caseInsensitive);
        return (c > 0) - (c < 0);
    }
    if (TZanOpEvaluator::EvaluateRelopExprAsBoolean(zeoLT, x, true, y)) return -1;
    if (TZanOpEvaluator::EvaluateRelopExprAsBoolean(zeoGT, x, true, y)) return 1;
    return 0;
}

// "f > a OR f < b" with a < b (or "f < a OR f > b" with a > b) holds for every record: the
// two leaves must name the same field, and NULLs must not be excluded (a NULL then compares
// below every value and passes the "less" side).
void TFilterOptimizer::FoldCoveringOr(TZanExpr&, TZanExprNode* node) {
    const TZanExprNode* l = node->Left;
    const TZanExprNode* r = node->Right;
    auto leaf = [](const TZanExprNode* n) {
        return n && n->Kind == enkRelOperator && IsField(n->Left) && IsValueConst(n->Right) &&
               n->Right->PartialLength <= 0;
    };
    if (!leaf(l) || !leaf(r) || !SameField(l->Left, r->Left) ||
        l->CaseInsensitiveMatch != r->CaseInsensitiveMatch)
        return;
    const auto greater = [](TZanExprOperator op) { return op == zeoGT || op == zeoGE; };
    const auto less = [](TZanExprOperator op) { return op == zeoLT || op == zeoLE; };
    const int c = CompareConstants(l->Right, r->Right, l->CaseInsensitiveMatch);
    const bool covers = (greater(l->Operator) && less(r->Operator) && c < 0) ||
                        (less(l->Operator) && greater(r->Operator) && c > 0);
    if (!covers) return;
    node->Kind = enkConst;
    node->Operator = zeoCONST2;
    node->Data = Variant(true);
    node->DataType = ftBoolean;
    node->Left = node->Right = nullptr;
}

// ---------------------------------------------------------------------------------------------
// TFilterOptimizer: the mirror tree

TIndexDataInterface* TFilterOptimizer::MatchFieldsToIndex(const TZanExprNode* field,
                                                          bool caseInsensitive,
                                                          bool& caseMatched) {
    caseMatched = true;
    TIndexQueryMgr* mgr = FMgr.GetIndexQueryMgr();
    if (!mgr || !IsField(field)) return nullptr;
    TIndexQueryItem* item = mgr->FindIndexForFields({VarToStr(field->Data)}, caseInsensitive);
    if (!item) return nullptr;
    TIndexDataInterface& face = item->GetInterface();
    // Wide strings collate differently from the evaluator's comparison: no index.
    if (face.FirstKeyField().GetDataType() == ftWideString) return nullptr;
    return &face;
}

TExprOptimizerNode* TFilterOptimizer::CreateOptimizerNode(TZanExprNode* node, int depth) {
    if (!node || GForceNoOptimisation) return nullptr;
    if (depth > 4 * C_MAXEXPRTREEDEPTH)
        ZanDatabaseError(8581, "TFilterOptimizer.CreateOptimizerTree", "Expression too deep");
    switch (node->Kind) {
    case enkConst: {
        if (node->Data.Type() != varBoolean && !VarIsNull(node->Data)) return nullptr;
        TExprOptimizerNode* on = FMgr.NewNode(node);
        on->Level = olFull;
        on->ResultType =
            node->Data.Type() == varBoolean && node->Data.AsBoolean() ? nrFixedTrue : nrFixedFalse;
        return on;
    }
    case enkRelOperator: {
        TExprOptimizerNode* on = FMgr.NewNode(node);
        OptimizeComparison(on);
        return on;
    }
    case enkNonRelPredicate: {
        TExprOptimizerNode* on = FMgr.NewNode(node);
        if (node->Operator == zeoIN)
            OptimizeIn(on);
        else if (node->Operator == zeoLIKE)
            OptimizeLike(on);
        return on;
    }
    case enkLogicalOperator: {
        TExprOptimizerNode* on = FMgr.NewNode(node);
        if (node->Operator == zeoAND || node->Operator == zeoOR) {
            on->Left = CreateOptimizerNode(node->Left, depth + 1);
            on->Right = CreateOptimizerNode(node->Right, depth + 1);
            OptimizeLogical(on);
        } else if (node->Operator == zeoISBLANK || node->Operator == zeoNOTBLANK) {
            OptimizeNullTest(on);
        }
        // NOT over anything is evaluated.
        return on;
    }
    case enkArithOperator:
        return FMgr.NewNode(node);
    default:
        return nullptr;
    }
}

void TFilterOptimizer::OptimizeComparison(TExprOptimizerNode* on) {
    TZanExprNode* e = on->ExprNode;
    if (IsConst(e->Left) && IsConst(e->Right)) {
        Variant v;
        TZanOpEvaluator::EvaluateRelopExprAsVar(e->Operator, e->Left->Data, v,
                                                FMgr.GetExcludeNulls(), e->Right->Data);
        on->Level = olFull;
        on->ResultType = v.Type() == varBoolean && v.AsBoolean() ? nrFixedTrue : nrFixedFalse;
        return;
    }
    if (!IsComparison(e->Operator) || !IsField(e->Left) || !IsValueConst(e->Right)) return;
    const Variant& value = e->Right->Data;
    const int32_t partial = value.Type() == varString ? e->Right->PartialLength : -1;
    if (partial > 0 && e->Operator == zeoNE) return;
    bool caseMatched;
    TIndexDataInterface* face = MatchFieldsToIndex(e->Left, e->CaseInsensitiveMatch, caseMatched);
    if (!face) return;
    const TKeyFieldItem& key = face->FirstKeyField();
    if (key.GetDataType() == ftString) {
        if (value.Type() != varString) return;
        const std::string& s = value.StringRef();
        if (partial > 0) {
            if (!face->GetAsciiOrder()) return;
            if (!face->CanUseValue(Variant(s.substr(0, size_t(partial))))) return;
        } else if (!face->CanUseValue(value)) {
            return;
        }
        // The ASCII order folds only a-z; the evaluator folds the ANSI letters as well.
        if (e->CaseInsensitiveMatch && face->GetAsciiOrder() && !IsAsciiText(s)) return;
    } else if (!face->CanUseValue(value)) {
        return;
    }
    on->IndexInterface = face;
    on->Inverted = e->Operator == zeoNE;
    on->Level = partial > 0 || (on->Inverted && FMgr.GetExcludeNulls()) ? olPartial : olFull;
}

void TFilterOptimizer::OptimizeIn(TExprOptimizerNode* on) {
    TZanExprNode* e = on->ExprNode;
    if (e->ParserToken.Token == zstNotIn || !IsField(e->Left) || e->Args.empty()) return;
    bool anyValue = false;
    for (const TZanExprNode* item : e->Args) {
        if (!IsConst(item)) return;
        anyValue = anyValue || IsValueConst(item);
    }
    const bool ci = e->CaseInsensitiveMatch;
    bool caseMatched;
    TIndexDataInterface* face = MatchFieldsToIndex(e->Left, ci, caseMatched);
    TZanFilterOptimisationLevel level = olFull;
    if (!face && !ci) {
        // A case-insensitive index holds every case-sensitive match among its equal keys.
        face = MatchFieldsToIndex(e->Left, true, caseMatched);
        level = olPartial;
    }
    if (!face) return;
    const bool stringKey = face->FirstKeyField().GetDataType() == ftString;
    for (const TZanExprNode* item : e->Args) {
        if (!IsValueConst(item)) continue;
        if (!face->CanUseValue(item->Data)) return;
        if (stringKey && ci && face->GetAsciiOrder() && !IsAsciiText(item->Data.StringRef()))
            return;
    }
    on->IndexInterface = face;
    on->Level = anyValue ? level : olFull;
    if (!anyValue) {
        // Only NULLs in the list: nothing passes.
        on->IndexInterface = nullptr;
        on->ResultType = nrFixedFalse;
    }
}

void TFilterOptimizer::OptimizeLike(TExprOptimizerNode* on) {
    TZanExprNode* e = on->ExprNode;
    if (e->ParserToken.Token == zstNotLike || !IsField(e->Left) || !IsValueConst(e->Right) ||
        e->Right->Data.Type() != varString)
        return;
    const std::string& pattern = e->Right->Data.StringRef();
    if (pattern.size() < 2 || pattern[0] == '%' || pattern[0] == '_') return;
    bool caseMatched;
    TIndexDataInterface* face = MatchFieldsToIndex(e->Left, e->CaseInsensitiveMatch, caseMatched);
    if (!face || !face->GetAsciiOrder() || face->FirstKeyField().GetDataType() != ftString)
        return;
    const std::string top =
        TIndexDataInterface::ConvertStringForPartialMatch(zeoLIKE, pattern, LikeEscape(e));
    if (top.empty()) return;
    const std::string prefix = top.substr(0, top.size() - 1);
    if (!face->CanUseValue(Variant(prefix))) return;
    if (e->CaseInsensitiveMatch && !IsAsciiText(prefix)) return;
    on->IndexInterface = face;
    on->Level = olPartial;
}

void TFilterOptimizer::OptimizeNullTest(TExprOptimizerNode* on) {
    TZanExprNode* e = on->ExprNode;
    if (!IsField(e->Left)) return;
    bool caseMatched;
    TIndexDataInterface* face = MatchFieldsToIndex(e->Left, e->CaseInsensitiveMatch, caseMatched);
    if (!face) face = MatchFieldsToIndex(e->Left, !e->CaseInsensitiveMatch, caseMatched);
    if (!face) return;
    on->IndexInterface = face;
    on->Level = olFull;
}

void TFilterOptimizer::OptimizeLogical(TExprOptimizerNode* on) {
    const TExprOptimizerNode* a = on->Left;
    const TExprOptimizerNode* b = on->Right;
    const auto level = [](const TExprOptimizerNode* n) { return n ? n->Level : olNone; };
    const auto type = [](const TExprOptimizerNode* n) { return n ? n->ResultType : nrDynamic; };
    const auto copy = [&](const TExprOptimizerNode* from) {
        on->Level = level(from);
        on->ResultType = type(from);
    };
    if (on->ExprNode->Operator == zeoAND) {
        if (type(a) == nrFixedFalse || type(b) == nrFixedFalse) {
            on->Level = olFull;
            on->ResultType = nrFixedFalse;
        } else if (type(a) == nrFixedTrue) {
            copy(b);
        } else if (type(b) == nrFixedTrue) {
            copy(a);
        } else if (level(a) == olFull && level(b) == olFull) {
            on->Level = olFull;
        } else if (level(a) != olNone || level(b) != olNone) {
            on->Level = olPartial;
        }
        // BETWEEN: one range of one index instead of two lists.
        if (on->Level == olFull && on->ResultType == nrDynamic && a && b &&
            a->IndexInterface && a->IndexInterface == b->IndexInterface &&
            a->ExprNode->Operator == zeoGE && b->ExprNode->Operator == zeoLE &&
            a->Level == olFull && b->Level == olFull &&
            SameField(a->ExprNode->Left, b->ExprNode->Left) &&
            a->ExprNode->Right->PartialLength <= 0 && b->ExprNode->Right->PartialLength <= 0)
            on->BetweenRange = true;
    } else {
        if (type(a) == nrFixedTrue || type(b) == nrFixedTrue) {
            on->Level = olFull;
            on->ResultType = nrFixedTrue;
        } else if (type(a) == nrFixedFalse) {
            copy(b);
        } else if (type(b) == nrFixedFalse) {
            copy(a);
        } else if (level(a) != olNone && level(b) != olNone) {
            on->Level = level(a) == olFull && level(b) == olFull ? olFull : olPartial;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// TFilterOptimizer: lists

TZanFilterOptimisationLevel TFilterOptimizer::GetBaseOptimisationLevel() const {
    return FMgr.GetRoot() ? FMgr.GetRoot()->Level : olNone;
}

TNodeResultType TFilterOptimizer::GetRootResultType() const {
    return FMgr.GetRoot() ? FMgr.GetRoot()->ResultType : nrDynamic;
}

void TFilterOptimizer::PrepareResultLists() {
    ZanAssert(FMgr.GetRoot() != nullptr, "Expr root is not assigned");
    if (FMgr.GetRoot()->Level != olNone) PrepareNodeList(FMgr.GetRoot(), 0);
}

void TFilterOptimizer::PrepareNodeList(TExprOptimizerNode* node, int depth) {
    if (!node || node->Level == olNone || node->ResultType != nrDynamic) return;
    TZanExprNode* e = node->ExprNode;
    if (node->BetweenRange) {
        node->Left->IndexInterface->GetBetweenRecordList(e->Left->Right->Data,
                                                         e->Right->Right->Data, node->List);
        node->Left = node->Right = nullptr;
        return;
    }
    if (node->IndexInterface) {
        TIndexDataInterface& face = *node->IndexInterface;
        node->List.clear();
        switch (e->Kind) {
        case enkNonRelPredicate:
            if (e->Operator == zeoIN) {
            {
                std::vector<Variant> values;
                values.reserve(e->Args.size());
                for (const TZanExprNode* item : e->Args)
                    if (IsValueConst(item)) values.push_back(item->Data);
                face.GetInRecordList(values, node->List);
            }
            } else {
                std::string pattern = e->Right->Data.AsString();
                const char escape = LikeEscape(e);
                if (escape) pattern = pattern.substr(0, pattern.find(escape));
                face.GetRecordList(zeoLIKE, Variant(pattern), node->List);
            }
            break;
        case enkLogicalOperator:
            face.GetRecordList(e->Operator, Null(), node->List);
            break;
        default:
            face.GetRecordList(e->Operator, e->Right->Data, node->List,
                               e->Right->Data.Type() == varString ? e->Right->PartialLength : -1);
            break;
        }
        return;
    }
    PrepareNodeList(node->Left, depth + 1);
    PrepareNodeList(node->Right, depth + 1);
}

void TFilterOptimizer::CombineResultLists() {
    ZanAssert(FMgr.GetRoot() != nullptr, "Expr root is not assigned");
    CombineNode(FMgr.GetRoot(), 0);
}

void TFilterOptimizer::CombineNode(TExprOptimizerNode* node, int depth) {
    if (!node || node->Level == olNone || node->ResultType != nrDynamic) return;
    if (node->IndexInterface || node->BetweenRange) return;
    TExprOptimizerNode* a = node->Left;
    TExprOptimizerNode* b = node->Right;
    CombineNode(a, depth + 1);
    CombineNode(b, depth + 1);
    const auto useful = [](const TExprOptimizerNode* n) {
        return n && n->Level != olNone && n->ResultType == nrDynamic;
    };
    const TZanExprOperator op = node->ExprNode->Operator;
    if (op != zeoAND && op != zeoOR)
        ZanDatabaseError(8581, "TFilterOptimizer.CombineResultLists", "Invalid operator");
    // A fixed child is neutral here (true in AND, false in OR); the other decides.
    if (useful(a) && useful(b)) {
        if (b->List.size() < a->List.size()) std::swap(a, b);
        node->List.swap(a->List);
        if (op == zeoAND)
            Intersect(node->List, b->List);
        else
            Unite(node->List, b->List);
    } else if (useful(a)) {
        node->List.swap(a->List);
    } else if (useful(b)) {
        node->List.swap(b->List);
    }
}

const TZanAddressList& TFilterOptimizer::GetResultSetList() const {
    return FMgr.GetRoot() ? FMgr.GetRoot()->List : FEmpty;
}

TExprFieldLimits TFilterOptimizer::AssessExprFieldLimits(const std::string& fieldName) const {
    TExprFieldLimits limits;
    limits.FieldName = fieldName;
    const TExprOptimizerNode* root = FMgr.GetRoot();
    if (!root) return limits;
    const TZanExprNode* e = root->ExprNode;
    if (e->Kind == enkRelOperator && IsField(e->Left) &&
        SameText(VarToStr(e->Left->Data), fieldName) && IsValueConst(e->Right)) {
        limits.Valid = true;
        const Variant& v = e->Right->Data;
        if (e->Operator == zeoEQ || e->Operator == zeoGT || e->Operator == zeoGE) {
            limits.Min = v;
            limits.MinSet = true;
        }
        if (e->Operator == zeoEQ || e->Operator == zeoLT || e->Operator == zeoLE) {
            limits.Max = v;
            limits.MaxSet = true;
        }
    }
    return limits;
}

} // namespace zan
