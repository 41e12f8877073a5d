#include "engine/sql/zanExprEvaluator.h"

#include <algorithm>
#include <cmath>

#include "host/db/DataSet.h"
#include "host/db/Fields.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/SysUtils.h"
#include "host/rtl/VarCompare.h"

namespace zan {

// ---- TZanExprDataProvider ------------------------------------------------------------------

TZanExprDataProvider::TZanExprDataProvider() : FProviderFields(std::make_unique<TInternalFields>()) {}

TZanExprDataProvider::~TZanExprDataProvider() = default;

TInternalFields& TZanExprDataProvider::GetProviderFields() {
    return *FProviderFields;
}

Variant TZanExprDataProvider::GetDataAsVariant(int32_t) {
    return Variant();
}

bool TZanExprDataProvider::IsFieldNull(int32_t fieldNo) {
    return VarIsNull(GetDataAsVariant(fieldNo));
}

void TZanExprDataProvider::GetDefaultRecordList(TCompoundList&) {}

void TZanExprDataProvider::Open() {}

void TZanExprDataProvider::Refresh() {}

bool TZanExprDataProvider::MoveToRecord(int32_t) {
    return false;
}

TInternalFieldItem* TZanExprDataProvider::FindField(const TParserToken*, std::string_view name) {
    return GetProviderFields().FindField(name);
}

TZanExprDataProvider* TZanExprDataProvider::FindProvider(std::string_view) {
    return this;
}

bool TZanExprDataProvider::PassFilterEvent(int32_t) {
    return false;
}

// ---- Helpers -------------------------------------------------------------------------------

namespace {

// The value of every missing operand and of every node after Reset.
const Variant C_NULL = Null();

constexpr std::string_view C_CASTCONTEXT = "TExprEvaluator.EvaluateCastExpr";
constexpr std::string_view C_EXTRACTCONTEXT = "TExprEvaluator.EvaluateExtractExpr";

bool IsUndecided(const Variant& v) {
    return VarIsNull(v) || VarIsEmpty(v);
}

// 1 True, 0 False, -1 undecided.
int TruthOf(const Variant& v) {
    if (v.Type() == varBoolean) return v.AsBoolean() ? 1 : 0;
    if (IsUndecided(v)) return -1;
    Variant r;
    TZanOpEvaluator::EvaluateLogicalExprAsVar(zeoAND, v, r, Variant(true));
    return r.Type() == varBoolean ? (r.AsBoolean() ? 1 : 0) : -1;
}

Variant FromTruth(int t) {
    return t < 0 ? Unassigned() : Variant(t == 1);
}

bool ApplyOperator(TZanExprOperator op, int32_t c) {
    switch (op) {
    case zeoEQ:
    case zeoLIKE:
    case zeoIN:
        return c == 0;
    case zeoNE:
        return c != 0;
    case zeoGT:
        return c > 0;
    case zeoLT:
        return c < 0;
    case zeoGE:
        return c >= 0;
    case zeoLE:
        return c <= 0;
    default:
        return false;
    }
}

bool IsFieldNode(const TZanExprNode* n) {
    return n && n->Kind == enkField;
}

bool IsTemporalType(TFieldType t) {
    return t == ftDate || t == ftTime || t == ftDateTime || t == ftTimeStamp;
}

// A LIKE pattern upper-cased for a case-insensitive match. The escapes are found before
// folding: literal characters (escaped ones too) are folded, wildcards kept, and a folded
// literal that the matcher would read as a wildcard or as the escape is escaped again, so
// folding never turns a letter into the escape or the escape into a letter.
std::string FoldLikePattern(const std::string& pattern, char escape) {
    if (escape == '\0') return ZanAnsiUpperCase(pattern);
    std::string out, run;
    const auto flush = [&] {
        for (const char c : ZanAnsiUpperCase(run)) {
            if (c == '%' || c == '_' || c == escape) out += escape;
            out += c;
        }
        run.clear();
    };
    for (size_t j = 0; j < pattern.size();) {
        const char c = pattern[j];
        if (c == escape) {
            if (j + 1 >= pattern.size()) { // a lone escape at the end: it matches nothing
                flush();
                out += escape;
                return out;
            }
            const size_t len = static_cast<size_t>(ZanUtf8CharLength(pattern, j + 1));
            run.append(pattern, j + 1, len);
            j += 1 + len;
        } else if (c == '%' || c == '_') {
            flush();
            out += c;
            ++j;
        } else {
            run += c;
            ++j;
        }
    }
    flush();
    return out;
}

[[noreturn]] void Mismatch(std::string_view context) {
    ZanDatabaseError(9645, context, SzanExprTypeMismatch);
}

// The text of a value; temporal values by the type of the expression they come from.
std::string TextOf(const Variant& v, TFieldType type) {
    switch (v.Type()) {
    case varString:
        return v.StringRef();
    case varDouble:
        return FloatToStr(v.AsDouble());
    case varDate: {
        const TDateTime d = v.AsDateTime();
        if (type == ftDate) return DateToStr(d);
        if (type == ftTime) return TimeToStr(d);
        return DateTimeToStr(d);
    }
    default:
        return VarToStr(v);
    }
}

// Cuts text to at most size characters (size <= 0: no cut).
bool CutToCharacters(std::string& text, int32_t size) {
    if (size <= 0) return false;
    size_t pos = 0;
    for (int32_t n = 0; n < size && pos < text.size(); ++n)
        pos += static_cast<size_t>(ZanUtf8CharLength(text, pos));
    if (pos >= text.size()) return false;
    text.resize(pos);
    return true;
}

// A date-time from a value; text through the engine's one date reader, a time's text too unless
// timeText is false.
TDateTime DateTimeOf(const Variant& v, std::string_view context, bool timeText = true) {
    if (v.Type() == varString) {
        Variant out;
        const std::string& text = v.StringRef();
        if (TZanDataConversionValidator::TryConvertStrToDateTime(text, ftDateTime, out) != 0 &&
            (!timeText ||
             TZanDataConversionValidator::TryConvertStrToDateTime(text, ftTime, out) != 0))
            Mismatch(context);
        if (VarIsNull(out)) Mismatch(context);
        return out.AsDouble();
    }
    if (v.Type() == varBoolean) Mismatch(context);
    const double d = v.AsDouble();
    if (!(d >= MinDateTime && d <= MaxDateTime)) Mismatch(context);
    return d;
}

// A whole number for SUBSTRING: rounded half to even and clipped, so no arithmetic overflows.
int64_t ClippedInteger(const Variant& v) {
    double d = 0;
    if (v.Type() == varString) {
        if (!TryStrToFloat(Trim(v.StringRef()), d)) Mismatch("TExprEvaluator.EvaluateStringFunc");
    } else if (v.Type() == varBoolean) {
        Mismatch("TExprEvaluator.EvaluateStringFunc");
    } else {
        d = v.AsDouble();
    }
    if (std::isnan(d)) return 0;
    constexpr double limit = 4.0e18;
    return static_cast<int64_t>(std::nearbyint(std::clamp(d, -limit, limit)));
}

// The byte offset of character n (0-based) of the text, or its size.
size_t CharOffset(std::string_view text, int64_t n) {
    size_t pos = 0;
    for (int64_t i = 0; i < n && pos < text.size(); ++i)
        pos += static_cast<size_t>(ZanUtf8CharLength(text, pos));
    return pos;
}

} // namespace

// ---- TExprEvaluator ------------------------------------------------------------------------

TExprEvaluator::TExprEvaluator() = default;

TExprEvaluator::~TExprEvaluator() = default;

void TExprEvaluator::Clear() {
    FRoot = nullptr;
    FChain = nullptr;
    FNodes.clear();
}

void TExprEvaluator::Prepare(TZanExprDataProvider* provider, TZanExprNode* exprRoot) {
    Prepare(provider, exprRoot, Now());
}

void TExprEvaluator::Prepare(TZanExprDataProvider* provider, TZanExprNode* exprRoot,
                             TDateTime instant) {
    Clear();
    FProvider = provider;
    FInstant = instant;
    if (exprRoot) FRoot = BuildNode(exprRoot, true);
}

TExprEvaluatorNode* TExprEvaluator::BuildNode(TZanExprNode* node, bool chained) {
    auto owned = std::make_unique<TExprEvaluatorNode>();
    TExprEvaluatorNode* n = owned.get();
    n->ExprNode = node;
    n->NodeResult = Null();
    if (chained) {
        n->Next = FChain;
        FChain = n;
        FNodes.push_back(std::move(owned));
    }
    if (node->Kind == enkField) {
        ZanAssert(FProvider != nullptr, "The Evaluator data provider is not assigned");
        const std::string name = VarToStr(node->Data);
        const TParserToken* qualifier = nullptr;
        for (const TParserToken* t : node->TokenArgs)
            if (t && t->Token == zstTableName) qualifier = t;
        if (!qualifier) {
            // An unqualified name keeps the table the parser resolved it to, when the provider
            // knows that table; otherwise the provider's own fields.
            n->DataProvider = FProvider;
            if (node->TableList.Count() > 0) {
                const TTableNameItem* t = node->TableList.Items(0);
                const std::string& exposed = t->GetCorrelationName().empty()
                                                 ? t->GetTableName()
                                                 : t->GetCorrelationName();
                if (TZanExprDataProvider* p = FProvider->FindProvider(exposed))
                    n->DataProvider = p;
            }
        } else {
            n->DataProvider = FProvider->FindProvider(qualifier->Text);
            ZanAssert(n->DataProvider != nullptr,
                      "The Evaluator node data provider could not be found: " + name);
        }
        n->FieldRef = n->DataProvider->FindField(qualifier, name);
        ZanAssert(n->FieldRef != nullptr, "Field not found in TExprEvaluator");
    } else if (node->Kind == enkConst && node->Operator == zeoFUNC2) {
        switch (node->ParserToken.Token) {
        case zstCurrentDate:
            n->FixedValue = VarFromDateTime(DateOf(FInstant));
            break;
        case zstCurrentTime:
            n->FixedValue = VarFromDateTime(TimeOf(FInstant));
            break;
        default:
            n->FixedValue = VarFromDateTime(FInstant);
            break;
        }
    } else if (node->Operator == zeoLIKE && !node->Args.empty()) {
        const TZanExprNode* e = node->Args.back();
        if (e->Kind == enkConst && e->Data.Type() == varString && e->Data.StringRef().size() == 1) {
            n->Escape = e->Data.StringRef()[0];
        }
    }
    if (node->Left) n->Left = BuildNode(node->Left, true);
    if (node->Right) n->Right = BuildNode(node->Right, true);
    for (TZanExprNode* arg : node->Args) {
        std::unique_ptr<TExprEvaluatorNode> a(BuildNode(arg, false));
        n->Args.push_back(std::move(a));
    }
    return chained ? n : owned.release();
}

void TExprEvaluator::Reset() {
    for (TExprEvaluatorNode* n = FChain; n; n = n->Next)
        if (!VarIsNull(n->NodeResult)) n->NodeResult = C_NULL;
}

bool TExprEvaluator::Evaluate() {
    if (!FRoot) return false;
    const TZanExprNode* e = FRoot->ExprNode;
    if (e->Kind == enkLogicalOperator && (e->Operator == zeoISBLANK || e->Operator == zeoNOTBLANK) &&
        FRoot->Left && IsFieldNode(e->Left)) {
        const bool isNull =
            FRoot->Left->DataProvider->IsFieldNull(FRoot->Left->FieldRef->GetFieldIndex());
        return e->Operator == zeoISBLANK ? isNull : !isNull;
    }
    const Variant& v = EvaluateNode(FRoot);
    return v.Type() == varBoolean && v.AsBoolean();
}

void TExprEvaluator::EvaluateValueExpr(Variant& value) {
    value = FRoot ? EvaluateNode(FRoot) : Null();
}

const Variant& TExprEvaluator::EvaluateNode(TExprEvaluatorNode* n) {
    TZanExprNode* e = n->ExprNode;
    switch (e->Kind) {
    case enkConst:
        if (e->Operator == zeoFUNC2) return n->FixedValue;
        if (e->Operator == zeoISBLANK) return C_NULL;
        return e->Data;
    case enkParam:
        return e->Data;
    case enkField: {
        n->NodeResult = n->DataProvider->GetDataAsVariant(n->FieldRef->GetFieldIndex());
        if (e->CaseInsensitiveMatch && n->NodeResult.Type() == varString)
            n->NodeResult = Variant(ZanAnsiUpperCase(n->NodeResult.StringRef()));
        return n->NodeResult;
    }
    case enkLogicalOperator: {
        const TZanExprOperator op = e->Operator;
        if ((op == zeoISBLANK || op == zeoNOTBLANK) && n->Left && IsFieldNode(e->Left)) {
            const bool isNull =
                n->Left->DataProvider->IsFieldNull(n->Left->FieldRef->GetFieldIndex());
            n->NodeResult = Variant(op == zeoISBLANK ? isNull : !isNull);
            return n->NodeResult;
        }
        const Variant& l = n->Left ? EvaluateNode(n->Left) : C_NULL;
        // A condition that is neither true nor false IS NULL.
        if (op == zeoISBLANK || op == zeoNOTBLANK) {
            const bool isNull = IsUndecided(l);
            n->NodeResult = Variant(op == zeoISBLANK ? isNull : !isNull);
            return n->NodeResult;
        }
        // A False left side decides AND, a True one OR, whatever the right side is.
        if (op == zeoAND || op == zeoOR) {
            const int t = TruthOf(l);
            if ((op == zeoAND && t == 0) || (op == zeoOR && t == 1)) {
                n->NodeResult = Variant(t == 1);
                return n->NodeResult;
            }
        }
        const Variant& r = n->Right ? EvaluateNode(n->Right) : C_NULL;
        if ((op == zeoAND || op == zeoOR || op == zeoNOT) && l.Type() == varBoolean &&
            (op == zeoNOT || r.Type() == varBoolean)) {
            const bool a = l.AsBoolean();
            n->NodeResult = Variant(op == zeoNOT  ? !a
                                    : op == zeoAND ? a && r.AsBoolean()
                                                   : a || r.AsBoolean());
            return n->NodeResult;
        }
        TZanOpEvaluator::EvaluateLogicalExprAsVar(op, l, n->NodeResult, r);
        return n->NodeResult;
    }
    case enkArithOperator: {
        const Variant& l = n->Left ? EvaluateNode(n->Left) : C_NULL;
        const Variant& r = n->Right ? EvaluateNode(n->Right) : C_NULL;
        TZanOpEvaluator::EvaluateArithExprValues(e->Operator, l, n->NodeResult, r);
        return n->NodeResult;
    }
    case enkRelOperator:
        EvaluateRelop(n);
        return n->NodeResult;
    case enkNonRelPredicate:
        if (e->Operator == zeoLIKE)
            EvaluateLike(n);
        else
            EvaluateIn(n);
        return n->NodeResult;
    case enkFunc:
        EvaluateFunc(n);
        return n->NodeResult;
    case enkSubquery:
        EvaluateSubquery(n);
        return n->NodeResult;
    default:
        return C_NULL;
    }
}

int TExprEvaluator::CompareValues(const TExprEvaluatorNode* node, TZanExprOperator op,
                                  const Variant& l, const Variant& r) {
    if (l.Type() == varString && r.Type() == varString) {
        ZanAssert(FDBStringCompare != nullptr, "String Comparison method is not assigned");
        const TZanExprNode* e = node->ExprNode;
        const TZanExprNode* le = e->Left;
        const TZanExprNode* re = e->Kind == enkRelOperator ? e->Right : nullptr;
        const std::string& a = l.StringRef();
        const std::string& b = r.StringRef();
        int64_t la = static_cast<int64_t>(a.size()), lb = static_cast<int64_t>(b.size());
        const bool partial =
            e->PartialLength > 0 || (le && le->PartialLength > 0) || (re && re->PartialLength > 0);
        if (partial) {
            if (le && le->PartialLength > 0) la = std::min<int64_t>(la, le->PartialLength);
            if (re && re->PartialLength > 0) lb = std::min<int64_t>(lb, re->PartialLength);
            if (IsFieldNode(le)) la = std::min<int64_t>(static_cast<int64_t>(a.size()), lb);
            if (IsFieldNode(re)) lb = std::min<int64_t>(static_cast<int64_t>(b.size()), la);
        }
        la = std::min<int64_t>(la, INT32_MAX);
        lb = std::min<int64_t>(lb, INT32_MAX);
        int32_t c = FDBStringCompare(a.data(), static_cast<int32_t>(la), b.data(),
                                     static_cast<int32_t>(lb), partial, e->CaseInsensitiveMatch);
        // A field against a prefix ("Sm*") takes the prefix's length: a value shorter than the
        // prefix does not begin with it and sorts below it.
        if (c == 0 && partial && la != lb &&
            ((IsFieldNode(le) && re && re->PartialLength > 0) ||
             (IsFieldNode(re) && le && le->PartialLength > 0)))
            c = la < lb ? -1 : 1;
        return ApplyOperator(op, c) ? 1 : 0;
    }
    // Two integers or two doubles compare directly; everything else by the operator rules.
    const TVarType lt = l.Type(), rt = r.Type();
    const bool li = lt == varInteger || lt == varSmallint || lt == varInt64;
    const bool ri = rt == varInteger || rt == varSmallint || rt == varInt64;
    if (li && ri) {
        const int64_t a = l.AsInt64(), b = r.AsInt64();
        return ApplyOperator(op, a < b ? -1 : a > b ? 1 : 0) ? 1 : 0;
    }
    if ((li || lt == varDouble) && (ri || rt == varDouble)) {
        const double a = l.AsDouble(), b = r.AsDouble();
        if (!std::isnan(a) && !std::isnan(b))
            return ApplyOperator(op, a < b ? -1 : a > b ? 1 : 0) ? 1 : 0;
    }
    Variant result;
    TZanOpEvaluator::EvaluateRelopExprAsVar(op, l, result, FExcludeRelopNulls, r);
    return TruthOf(result);
}

void TExprEvaluator::EvaluateRelop(TExprEvaluatorNode* n) {
    const bool ls = n->Left && n->Left->ExprNode->Kind == enkSubquery;
    const bool rs = n->Right && n->Right->ExprNode->Kind == enkSubquery;
    if (ls && rs) return EvaluateDualSubqueries(n);
    if (rs) return EvaluateLeftSubquery(n, false);
    if (ls) return EvaluateLeftSubquery(n, true);
    const Variant& l = n->Left ? EvaluateNode(n->Left) : C_NULL;
    const Variant& r = n->Right ? EvaluateNode(n->Right) : C_NULL;
    n->NodeResult = FromTruth(CompareValues(n, n->ExprNode->Operator, l, r));
}

void TExprEvaluator::EvaluateLike(TExprEvaluatorNode* n) {
    const TZanExprNode* e = n->ExprNode;
    const Variant& l = n->Left ? EvaluateNode(n->Left) : C_NULL;
    const Variant& r = n->Right ? EvaluateNode(n->Right) : C_NULL;
    if (IsUndecided(l) || IsUndecided(r)) {
        n->NodeResult = Unassigned();
        return;
    }
    const std::string* text = &FLeftText;
    if (l.Type() == varString)
        text = &l.StringRef();
    else
        FLeftText = TextOf(l, n->Left->ExprNode->DataType);
    const std::string* pattern = &FRightText;
    if (e->CaseInsensitiveMatch) {
        FRightText = FoldLikePattern(TextOf(r, ftString), n->Escape);
        if (text != &FLeftText) {
            FLeftText = ZanAnsiUpperCase(*text);
            text = &FLeftText;
        }
    } else if (r.Type() == varString) {
        pattern = &r.StringRef();
    } else {
        FRightText = TextOf(r, ftString);
    }
    const bool match = MatchPatternedStrings(*text, *pattern, n->Escape);
    n->NodeResult = Variant(e->ParserToken.Token == zstNotLike ? !match : match);
}

void TExprEvaluator::EvaluateIn(TExprEvaluatorNode* n) {
    const TZanExprNode* e = n->ExprNode;
    const Variant& left = n->Left ? EvaluateNode(n->Left) : C_NULL;
    int result = 0;
    // Undecided only through a comparison: with no rows nothing is compared, so IN is False
    // and NOT IN True whatever the left value is.
    bool undecided = false;
    if (e->Args.size() == 1 && e->Args[0]->Kind == enkSubquery) {
        TCustomExprNodeDataProvider* p = e->Args[0]->ExprNodeDataProvider;
        ZanAssert(p != nullptr, "ExprNodeDataProvider is not assigned");
        const std::vector<Variant>* rows = nullptr;
        int32_t columns = 0;
        if (p->ReadRows(rows, columns)) {
            for (const Variant& row : *rows) {
                const int t = CompareValues(n, zeoEQ, left, row);
                if (t == 1) {
                    result = 1;
                    break;
                }
                if (t < 0) undecided = true;
            }
        } else {
            TDataSet* ds = p->PrepareAndOpen() ? p->GetProviderDataset() : nullptr;
            if (!ds || !ds->GetActive() || ds->GetFieldCount() == 0) {
                n->NodeResult = Unassigned();
                return;
            }
            result = EvaluateInSubquery(n, *p, *ds, left);
        }
    } else {
        result = EvaluateInList(n, left);
    }
    if (result != 1 && undecided) result = -1;
    if (e->ParserToken.Token == zstNotIn && result >= 0) result = 1 - result;
    n->NodeResult = FromTruth(result);
}

int TExprEvaluator::EvaluateInList(TExprEvaluatorNode* n, const Variant& left) {
    // A list of constants only is sorted at its second probe (as a subquery's values are), and
    // later probes search it; a short list, or one holding other expressions, is scanned.
    constexpr size_t C_SORTED_IN_LIST = 8;
    if (n->Args.size() >= C_SORTED_IN_LIST) {
        if (!n->ValueSet) {
            n->ValueSet = std::make_unique<TSubqueryValueSet>();
            for (const auto& item : n->Args)
                if (item->ExprNode->Kind != enkConst) n->ValueSet->Built = true; // never sorted
        }
        TSubqueryValueSet& set = *n->ValueSet;
        if (!set.Built && ++set.Probes == 2) {
            size_t next = 0;
            BuildValueSet(
                n,
                [&](Variant& value) {
                    if (next >= n->Args.size()) return false;
                    value = EvaluateNode(n->Args[next++].get());
                    return true;
                },
                set);
        }
        int result = 0;
        if (set.Kind != TSubqueryValueSet::vkNone && ProbeValueSet(n, set, left, result))
            return result;
    }
    bool undecided = false;
    for (const auto& item : n->Args) {
        const int t = CompareValues(n, zeoEQ, left, EvaluateNode(item.get()));
        if (t == 1) return 1;
        if (t < 0) undecided = true;
    }
    return undecided ? -1 : 0;
}

TSubqueryValueSet& TExprEvaluator::ValueSetFor(TExprEvaluatorNode* n, TCustomExprNodeDataProvider& p) {
    if (!n->ValueSet) n->ValueSet = std::make_unique<TSubqueryValueSet>();
    TSubqueryValueSet& set = *n->ValueSet;
    if (set.Source != &p || set.Generation != p.GetResultGeneration()) {
        set = TSubqueryValueSet();
        set.Source = &p;
        set.Generation = p.GetResultGeneration();
    }
    return set;
}

bool TExprEvaluator::ScalarOfRows(const std::vector<Variant>& rows, int32_t columns,
                                  std::string_view context, Variant& value) {
    if (rows.empty()) return false;
    if (columns > 1) ZanDatabaseError(9656, context);
    if (rows.size() > 1) ZanDatabaseError(9650, context);
    value = rows[0];
    return true;
}

bool TExprEvaluator::ScalarValue(TExprEvaluatorNode* n, TCustomExprNodeDataProvider& p,
                                 TDataSet& ds, std::string_view context, Variant& value) {
    TSubqueryValueSet& set = ValueSetFor(n, p);
    if (!set.ScalarRead) {
        ds.First();
        if (!ds.GetEOF()) {
            if (ds.GetFieldCount() > 1) ZanDatabaseError(9656, context);
            set.Scalar = ds.GetFields()[0]->GetValue();
            ds.Next();
            if (!ds.GetEOF()) ZanDatabaseError(9650, context);
            set.ScalarHasRow = true;
        }
        set.ScalarRead = true;
    }
    if (set.ScalarHasRow) value = set.Scalar;
    return set.ScalarHasRow;
}

int TExprEvaluator::EvaluateInSubquery(TExprEvaluatorNode* n, TCustomExprNodeDataProvider& p,
                                       TDataSet& rows, const Variant& left) {
    TSubqueryValueSet& set = ValueSetFor(n, p);
    // The first probe of a result scans it (a correlated subquery's result is probed once);
    // the second sorts its values, and later probes search them.
    if (++set.Probes == 2) {
        bool started = false;
        BuildValueSet(
            n,
            [&](Variant& value) {
                if (started)
                    rows.Next();
                else
                    rows.First();
                started = true;
                if (rows.GetEOF()) return false;
                value = rows.GetFields()[0]->GetValue();
                return true;
            },
            set);
    }
    int result = 0;
    if (set.Built && ProbeValueSet(n, set, left, result)) return result;
    bool undecided = false;
    for (rows.First(); !rows.GetEOF(); rows.Next()) {
        const int t = CompareValues(n, zeoEQ, left, rows.GetFields()[0]->GetValue());
        if (t == 1) return 1;
        if (t < 0) undecided = true;
    }
    return undecided ? -1 : 0;
}

void TExprEvaluator::BuildValueSet(TExprEvaluatorNode* n,
                                   const std::function<bool(Variant&)>& next,
                                   TSubqueryValueSet& set) {
    set.Built = true;
    set.Kind = TSubqueryValueSet::vkNone;
    const TZanExprNode* e = n->ExprNode;
    // Prefix comparisons depend on both lengths: those sets are scanned.
    const bool partial = e->PartialLength > 0 || (e->Left && e->Left->PartialLength > 0);
    bool integers = true, doubles = true, strings = !partial && FDBStringCompare != nullptr;
    for (Variant v; next(v);) {
        ++set.RowCount;
        if (IsUndecided(v)) {
            set.HasNull = true;
            continue;
        }
        const TVarType t = v.Type();
        const bool isInteger = t == varInteger || t == varSmallint || t == varInt64;
        integers = integers && isInteger;
        doubles = doubles && t == varDouble && !std::isnan(v.AsDouble());
        strings = strings && t == varString;
        if (integers) set.Integers.push_back(v.AsInt64());
        if (doubles) set.Doubles.push_back(v.AsDouble());
        if (strings) set.Strings.push_back(v.StringRef());
        if (!integers && !doubles && !strings) break;
    }
    if (integers) {
        set.Kind = TSubqueryValueSet::vkInteger;
        std::sort(set.Integers.begin(), set.Integers.end());
    } else if (doubles) {
        set.Kind = TSubqueryValueSet::vkDouble;
        std::sort(set.Doubles.begin(), set.Doubles.end());
    } else if (strings) {
        set.Kind = TSubqueryValueSet::vkString;
        std::sort(set.Strings.begin(), set.Strings.end(),
                  [&](const std::string& a, const std::string& b) { return StringOrder(n, a, b) < 0; });
    }
    if (set.Kind != TSubqueryValueSet::vkInteger) set.Integers.clear();
    if (set.Kind != TSubqueryValueSet::vkDouble) set.Doubles.clear();
    if (set.Kind != TSubqueryValueSet::vkString) set.Strings.clear();
}

int TExprEvaluator::StringOrder(const TExprEvaluatorNode* n, const std::string& a,
                                const std::string& b) const {
    const auto length = [](const std::string& s) {
        return static_cast<int32_t>(std::min<size_t>(s.size(), INT32_MAX));
    };
    return FDBStringCompare(a.data(), length(a), b.data(), length(b), false,
                            n->ExprNode->CaseInsensitiveMatch);
}

bool TExprEvaluator::ProbeValueSet(TExprEvaluatorNode* n, const TSubqueryValueSet& set,
                                   const Variant& left, int& result) {
    using K = TSubqueryValueSet::TKind;
    if (set.Kind == K::vkNone) return false;
    if (IsUndecided(left)) {
        // Every comparison with an undecided value is undecided when NULLs are excluded.
        if (!FExcludeRelopNulls) return false;
        result = set.RowCount > 0 ? -1 : 0;
        return true;
    }
    const TVarType t = left.Type();
    const bool isInteger = t == varInteger || t == varSmallint || t == varInt64;
    bool found = false;
    if (set.Kind == K::vkInteger && set.Integers.empty()) {
        // Only NULLs (or no rows): nothing to find whatever the value's type.
    } else if (set.Kind == K::vkInteger && isInteger) {
        found = std::binary_search(set.Integers.begin(), set.Integers.end(), left.AsInt64());
    } else if (set.Kind == K::vkInteger && t == varDouble) {
        // Integers and doubles compare as doubles: only an integral double below 2^53 can
        // equal an integer, and then exactly that one.
        const double d = left.AsDouble();
        if (std::isnan(d) || std::fabs(d) >= 9007199254740992.0) return false;
        found = d == std::floor(d) &&
                std::binary_search(set.Integers.begin(), set.Integers.end(), int64_t(d));
    } else if (set.Kind == K::vkDouble && (isInteger || t == varDouble)) {
        const double d = left.AsDouble();
        if (std::isnan(d)) return false;
        found = std::binary_search(set.Doubles.begin(), set.Doubles.end(), d);
    } else if (set.Kind == K::vkString && t == varString) {
        const std::string& text = left.StringRef();
        const auto it = std::lower_bound(
            set.Strings.begin(), set.Strings.end(), text,
            [&](const std::string& a, const std::string& b) { return StringOrder(n, a, b) < 0; });
        found = it != set.Strings.end() && StringOrder(n, *it, text) == 0;
    } else {
        return false;
    }
    if (found) {
        result = 1;
        return true;
    }
    result = 0;
    // The NULL rows compare as the scan would compare them.
    if (set.HasNull) {
        const int nullResult = CompareValues(n, zeoEQ, left, Null());
        if (nullResult == 1) result = 1;
        if (nullResult < 0) result = -1;
    }
    return true;
}

void TExprEvaluator::EvaluateLeftSubquery(TExprEvaluatorNode* n, bool subqueryLeft) {
    const TZanExprNode* e = n->ExprNode;
    TExprEvaluatorNode* subNode = subqueryLeft ? n->Left : n->Right;
    TExprEvaluatorNode* other = subqueryLeft ? n->Right : n->Left;
    const std::string_view context = subqueryLeft ? "TExprEvaluator.EvaluateLeftSubquery"
                                                  : "TExprEvaluator.EvaluateRightSubquery";
    n->NodeResult = Unassigned();
    const Variant otherValue = other ? EvaluateNode(other) : C_NULL;
    TCustomExprNodeDataProvider* p = subNode->ExprNode->ExprNodeDataProvider;
    ZanAssert(p != nullptr, "ExprNodeDataProvider is not assigned");
    const std::vector<Variant>* rows = nullptr;
    int32_t columns = 0;
    TDataSet* ds = nullptr;
    if (!p->ReadRows(rows, columns)) {
        ds = p->PrepareAndOpen() ? p->GetProviderDataset() : nullptr;
        if (!ds || !ds->GetActive() || ds->GetFieldCount() == 0) return;
    }
    const auto compare = [&](const Variant& row) {
        return subqueryLeft ? CompareValues(n, e->Operator, row, otherValue)
                            : CompareValues(n, e->Operator, otherValue, row);
    };
    const auto type = static_cast<TZanSubqueryType>(subNode->ExprNode->ParserToken.CustomOrdinal);
    if (type == zsqAnyOrSome || type == zsqAll) {
        // ANY: True at the first true comparison; ALL: False at the first false one; else
        // undecided when a comparison was, else False (ANY) or True (ALL).
        const int decisive = type == zsqAll ? 0 : 1;
        bool undecided = false;
        const auto decide = [&](const Variant& row) {
            const int t = compare(row);
            if (t == decisive) {
                n->NodeResult = Variant(t == 1);
                return true;
            }
            if (t < 0) undecided = true;
            return false;
        };
        if (rows) {
            for (const Variant& row : *rows)
                if (decide(row)) return;
        } else {
            for (ds->First(); !ds->GetEOF(); ds->Next())
                if (decide(ds->GetFields()[0]->GetValue())) return;
        }
        n->NodeResult = undecided ? Unassigned() : Variant(type == zsqAll);
        return;
    }
    Variant first;
    if (rows ? !ScalarOfRows(*rows, columns, context, first)
             : !ScalarValue(subNode, *p, *ds, context, first))
        return;
    n->NodeResult = FromTruth(compare(first));
}

void TExprEvaluator::EvaluateDualSubqueries(TExprEvaluatorNode* n) {
    constexpr std::string_view context = "TExprEvaluator.EvaluateDualSubqueries";
    n->NodeResult = Unassigned();
    TCustomExprNodeDataProvider* lp = n->Left->ExprNode->ExprNodeDataProvider;
    TCustomExprNodeDataProvider* rp = n->Right->ExprNode->ExprNodeDataProvider;
    ZanAssert(lp != nullptr, "Left ExprNodeDataProvider is not assigned");
    ZanAssert(rp != nullptr, "Right ExprNodeDataProvider is not assigned");
    // Each side's rows in memory, else its open dataset.
    const std::vector<Variant>* lrows = nullptr;
    const std::vector<Variant>* rrows = nullptr;
    int32_t columns = 0;
    TDataSet* l = nullptr;
    TDataSet* r = nullptr;
    if (!lp->ReadRows(lrows, columns)) l = lp->PrepareAndOpen() ? lp->GetProviderDataset() : nullptr;
    if (!rp->ReadRows(rrows, columns)) r = rp->PrepareAndOpen() ? rp->GetProviderDataset() : nullptr;
    const auto usable = [](const std::vector<Variant>* rows, TDataSet* ds) {
        return rows || (ds && ds->GetActive() && ds->GetFieldCount() > 0);
    };
    if (!usable(lrows, l) || !usable(rrows, r)) return;
    // The single row of each (or nothing).
    const auto single = [&](const std::vector<Variant>* rows, TDataSet* ds, Variant& value) {
        if (rows) {
            if (rows->empty()) return false;
            if (rows->size() > 1) ZanDatabaseError(9650, context);
            value = (*rows)[0];
            return true;
        }
        ds->First();
        if (ds->GetEOF()) return false;
        value = ds->GetFields()[0]->GetValue();
        ds->Next();
        if (!ds->GetEOF()) ZanDatabaseError(9650, context);
        return true;
    };
    Variant a, b;
    const bool hasA = single(lrows, l, a);
    const bool hasB = single(rrows, r, b);
    if (hasA && hasB) n->NodeResult = FromTruth(CompareValues(n, n->ExprNode->Operator, a, b));
}

void TExprEvaluator::EvaluateSubquery(TExprEvaluatorNode* n) {
    constexpr std::string_view context = "TExprEvaluator.EvaluateSubqueryValue";
    const TZanExprNode* e = n->ExprNode;
    n->NodeResult = Unassigned();
    TCustomExprNodeDataProvider* p = e->ExprNodeDataProvider;
    ZanAssert(p != nullptr, "ExprNodeDataProvider is not assigned");
    const std::vector<Variant>* rows = nullptr;
    int32_t columns = 0;
    if (p->ReadRows(rows, columns)) {
        Variant value;
        if (e->ParserToken.CustomOrdinal == zsqExists)
            n->NodeResult = Variant(!rows->empty());
        else
            n->NodeResult = ScalarOfRows(*rows, columns, context, value) ? value : Null();
        return;
    }
    TDataSet* ds = p->PrepareAndOpen() ? p->GetProviderDataset() : nullptr;
    if (!ds || !ds->GetActive()) return;
    if (e->ParserToken.CustomOrdinal == zsqExists) {
        ds->First();
        n->NodeResult = Variant(!ds->GetEOF());
        return;
    }
    Variant value;
    n->NodeResult = ScalarValue(n, *p, *ds, context, value) ? value : Null();
}

void TExprEvaluator::EvaluateFunc(TExprEvaluatorNode* n) {
    const TZanExprNode* e = n->ExprNode;
    switch (e->ParserToken.Token) {
    case zstStrFunc:
        EvaluateStringFunc(n);
        return;
    case zstCast:
        EvaluateCastExpr(n);
        return;
    case zstExtract:
        EvaluateExtractExpr(n);
        return;
    default:
        // Aggregates and outer references get their values from the query layer.
        n->NodeResult = Null();
        return;
    }
}

void TExprEvaluator::EvaluateStringFunc(TExprEvaluatorNode* n) {
    const TZanExprNode* e = n->ExprNode;
    n->NodeResult = Null();
    if (n->Args.empty()) return;
    std::vector<Variant> args;
    args.reserve(n->Args.size());
    for (const auto& a : n->Args) {
        args.push_back(EvaluateNode(a.get()));
        if (IsUndecided(args.back()) && args.size() == 1) return; // a Null source
    }
    const std::string source = TextOf(args[0], n->Args[0]->ExprNode->DataType);
    switch (e->ParserToken.CustomOrdinal) {
    case zsfUpper:
        n->NodeResult = Variant(ZanAnsiUpperCase(source));
        return;
    case zsfLower:
        n->NodeResult = Variant(ZanAnsiLowerCase(source));
        return;
    case zsfSubstring: {
        if (IsUndecided(args[1]) || (args.size() > 2 && IsUndecided(args[2]))) return;
        // The characters at positions start .. start + length - 1 (from 1) that lie within the
        // text: a start before 1 takes fewer characters, a negative length none (standard SQL
        // refuses one; SQLite never fails on it).
        const int64_t start = ClippedInteger(args[1]);
        const int64_t first = std::max<int64_t>(start, 1);
        int64_t length = INT64_MAX / 4;
        if (args.size() > 2)
            length = std::max<int64_t>(start + std::max<int64_t>(ClippedInteger(args[2]), 0) -
                                           first,
                                       0);
        const size_t from = CharOffset(source, first - 1);
        const size_t to = from + CharOffset(std::string_view(source).substr(from), length);
        n->NodeResult = Variant(source.substr(from, to - from));
        return;
    }
    default: { // TRIM: leading, trailing or both ends
        std::string trim = " ";
        if (args.size() > 1 && !IsUndecided(args[1])) {
            const std::string text = TextOf(args[1], n->Args[1]->ExprNode->DataType);
            if (text.empty()) {
                n->NodeResult = Variant(source);
                return;
            }
            trim = text.substr(0, static_cast<size_t>(ZanUtf8CharLength(text, 0)));
        }
        const int mode = e->ParserToken.CustomOrdinal;
        std::string_view s = source;
        if (mode != zsfTrimTrailing)
            while (s.size() >= trim.size() && s.substr(0, trim.size()) == trim)
                s.remove_prefix(trim.size());
        if (mode != zsfTrimLeading)
            while (s.size() >= trim.size() && s.substr(s.size() - trim.size()) == trim)
                s.remove_suffix(trim.size());
        n->NodeResult = Variant(s);
        return;
    }
    }
}

void TExprEvaluator::EvaluateCastExpr(TExprEvaluatorNode* n) {
    const TZanExprNode* e = n->ExprNode;
    const Variant& v = n->Right ? EvaluateNode(n->Right) : C_NULL;
    if (IsUndecided(v)) {
        n->NodeResult = v;
        return;
    }
    const TFieldType from = n->Right->ExprNode->DataType;
    try {
        switch (e->DataType) {
        case ftString:
        case ftFixedChar: {
            std::string text = TextOf(v, v.Type() == varDate && !IsTemporalType(from) ? ftDateTime
                                                                                        : from);
            // A text is cut to the length; the text of a number, a date or a truth value that
            // is longer would be another value, and is refused.
            const int32_t length = e->CastLength >= 0 ? e->CastLength : e->DataSize;
            if (v.Type() == varString) {
                CutToCharacters(text, length);
            } else if (std::string cut = text; CutToCharacters(cut, length)) {
                ZanDatabaseErrorFmt(9645, C_CASTCONTEXT, "CAST value %s is longer than %d characters",
                                    {text, length});
            }
            n->NodeResult = Variant(std::move(text));
            return;
        }
        case ftMemo:
        case ftFmtMemo:
            n->NodeResult = Variant(TextOf(v, from));
            return;
        case ftSmallint:
        case ftInteger: {
            int32_t value = 0;
            if (v.Type() == varString) {
                int64_t i = 0;
                double d = 0;
                const std::string text = Trim(v.StringRef());
                // Decimal text only, as arithmetic and comparison read numbers ("0x10" is none).
                if (TryDecimalStrToInt64(text, i) && i >= INT32_MIN && i <= INT32_MAX)
                    value = static_cast<int32_t>(i);
                else if (TryStrToFloat(text, d) && std::isfinite(d))
                    value = Variant(d).AsInteger();
                else
                    Mismatch(C_CASTCONTEXT);
            } else {
                value = v.AsInteger();
            }
            if (e->DataType == ftSmallint && (value < INT16_MIN || value > INT16_MAX))
                Mismatch(C_CASTCONTEXT);
            n->NodeResult = Variant(value);
            return;
        }
        case ftBoolean:
            n->NodeResult = Variant(v.AsBoolean());
            return;
        case ftFloat: {
            double d = 0;
            if (v.Type() == varString) {
                if (!TryStrToFloat(Trim(v.StringRef()), d)) Mismatch(C_CASTCONTEXT);
            } else {
                d = v.AsDouble();
            }
            n->NodeResult = std::isfinite(d) ? Variant(d) : Null();
            return;
        }
        case ftCurrency:
            n->NodeResult = Variant(v.AsCurrency());
            return;
        case ftDate:
            // A date or date-time text: a time's text ("12", "10:30") has no date to give.
            n->NodeResult = VarFromDateTime(DateOf(DateTimeOf(v, C_CASTCONTEXT, false)));
            return;
        case ftTime:
            n->NodeResult = VarFromDateTime(TimeOf(DateTimeOf(v, C_CASTCONTEXT)));
            return;
        case ftDateTime:
        case ftTimeStamp:
            n->NodeResult = VarFromDateTime(DateTimeOf(v, C_CASTCONTEXT, false));
            return;
        default:
            ZanDatabaseError(10000, C_CASTCONTEXT, FieldTypeName(e->DataType));
        }
    } catch (const EConvertError&) {
        Mismatch(C_CASTCONTEXT);
    } catch (const EVariantError&) {
        Mismatch(C_CASTCONTEXT);
    }
}

void TExprEvaluator::EvaluateExtractExpr(TExprEvaluatorNode* n) {
    const TZanExprNode* e = n->ExprNode;
    const Variant& v = n->Right ? EvaluateNode(n->Right) : C_NULL;
    if (IsUndecided(v)) {
        n->NodeResult = Null();
        return;
    }
    const int part = e->ParserToken.CustomOrdinal;
    if (part < zstYear || part > zstSecond)
        ZanDatabaseError(10000, C_EXTRACTCONTEXT, SzanInvalidFieldinEXTRACTExpr);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    try {
        const TDateTime d = DateTimeOf(v, C_EXTRACTCONTEXT);
        DecodeDateTime(d, year, month, day, hour, minute, second, ms);
    } catch (const EConvertError&) {
        Mismatch(C_EXTRACTCONTEXT);
    }
    switch (part) {
    case zstYear:
        n->NodeResult = Variant(year);
        break;
    case zstMonth:
        n->NodeResult = Variant(month);
        break;
    case zstDay:
        n->NodeResult = Variant(day);
        break;
    case zstHour:
        n->NodeResult = Variant(hour);
        break;
    case zstMinute:
        n->NodeResult = Variant(minute);
        break;
    default:
        n->NodeResult = Variant(second + ms / 1000.0);
        break;
    }
}

// ---- TExprResultListGenerator --------------------------------------------------------------

void TExprResultListGenerator::CreateResultList(TZanExprDataProvider* provider,
                                                TZanExprNode* exprRoot, bool excludeNulls,
                                                TIntList& resultList, const TIntList& candidates) {
    ZanAssert(provider != nullptr, "The Data provider is not assigned");
    if (!provider->GetDBStringCompare())
        ZanDatabaseError(10065, "TExprResultListGenerator.CreateResultList");
    resultList.Clear();
    if (!exprRoot) {
        resultList.Items() = candidates.Items();
        return;
    }
    TExprEvaluator evaluator;
    evaluator.SetDBStringCompare(provider->GetDBStringCompare());
    evaluator.SetExcludeRelopNulls(excludeNulls);
    evaluator.Prepare(provider, exprRoot);
    for (const int32_t address : candidates.Items()) {
        provider->MoveToRecord(address);
        evaluator.Reset();
        if (evaluator.Evaluate()) resultList.Add(address);
    }
}

} // namespace zan
