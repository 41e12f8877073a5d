#include "support/zanQueryRunner.h"

#include <functional>

#include "host/rtl/SysUtils.h"

namespace zan {

TZanQueryRunner::TZanQueryRunner(TZanDataBase& db) : FDb(db) { Reset(); }

TZanQueryRunner::~TZanQueryRunner() {
    FColumns.clear();
    FMgr.reset();
}

void TZanQueryRunner::Reset() {
    FColumns.clear();
    FMgr = std::make_unique<TZanJoinDataProviderMgr>();
    FMgr->SetDBStringCompare(nullptr);
    FMgr->SetDatabase(&FDb);
    FMgr->SetDBStringCompare(FSortOrder == soASCII ? DBASCIICompareStrings
                                                           : DBANSICompareStrings);
    FAnalyser.Clear();
    FJoins.Clear();
    FSelects.Clear();
    FOwner = std::make_unique<TZanSqlTestOwner>();
    for (int i = 0; i < FCatalogue.Count(); ++i) FOwner->GetCatalogue().Add()->Assign(*FCatalogue.Items(i));
}

void TZanQueryRunner::AddTable(const std::string& name) {
    TZanTable table;
    table.SetDataBase(&FDb);
    table.SetTableName(name);
    table.Open();
    TTableNameItem* item = FCatalogue.Add();
    item->SetTableName(name);
    item->SetTableFields(&table.GetInternalFields());
    table.Close();
    FOwner->GetCatalogue().Add()->Assign(*item);
}

void TZanQueryRunner::Analyse(const std::string& sql) {
    Reset();
    if (!FOwner->Validate(sql))
        ZanDatabaseError(9645, "TZanQueryRunner.Plan", FOwner->GetErrorsAsText());
    TZanParserEngine& e = *FOwner->GetRoot().Engine;
    FAnalyser.Prepare(&FJoins, &FSelects, &e.GetTableList(), e.GetWhereParser().GetRootNode());
}

void TZanQueryRunner::Plan(const std::string& sql) {
    Analyse(sql);
    TZanParserEngine& e = *FOwner->GetRoot().Engine;
    TZanPlan plan;
    plan.SetTableList(&e.GetTableList());
    plan.SetJoins(&FJoins);
    plan.SetSelects(&FSelects);
    plan.SetProviderMgr(FMgr.get());
    plan.SetFromRoot(e.GetFromParser().GetRootJoinNode());
    TZanQueryPlanner::CreatePlan(&plan);
}

std::vector<std::vector<Variant>> TZanQueryRunner::Run() {
    TZanParserEngine& e = *FOwner->GetRoot().Engine;
    TZanJoinDataProviderMgr& mgr = *FMgr;
    mgr.OpenProviders();
    mgr.PrepareJoinExprEvaluator(e.GetWhereParser().GetRootNode());
    TZanBaseJoinDataProvider* root = mgr.GetRootProvider();
    // Each column: an evaluator over its expression, or a table field read directly.
    FColumns.clear();
    std::vector<std::function<Variant()>> readers;
    const TSelectFields& fields = FOwner->GetRoot().Analyser.GetSelectFields();
    for (int i = 0; i < fields.Count(); ++i) {
        const TSelectFieldItem* f = fields.Items(i);
        if (f->ExprRoot) {
            FColumns.push_back(std::make_unique<TExprEvaluator>());
            TExprEvaluator* ev = FColumns.back().get();
            ev->SetDBStringCompare(mgr.GetDBStringCompare());
            ev->Prepare(root, const_cast<TZanExprNode*>(f->ExprRoot));
            readers.push_back([ev] {
                Variant v;
                ev->Reset();
                ev->EvaluateValueExpr(v);
                return v;
            });
        } else {
            ZanAssert(f->SourceTableItem != nullptr, "Column without a source");
            TZanBaseJoinDataProvider* p =
                root->FindExposedProvider(ExposedTableName(*f->SourceTableItem));
            ZanAssert(p != nullptr, "Column table not planned");
            const int32_t n = p->FindField(nullptr, f->SourceFieldName)->GetFieldIndex();
            readers.push_back([p, n] { return p->GetDataAsVariant(n); });
        }
    }
    std::vector<std::vector<Variant>> rows;
    for (bool r = mgr.FirstProviderRecord(); r; r = mgr.NextProviderRecord()) {
        std::vector<Variant> row;
        for (auto& read : readers) row.push_back(read());
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::vector<Variant>> TZanQueryRunner::Select(const std::string& sql) {
    Plan(sql);
    return Run();
}

std::vector<std::string> TZanQueryRunner::PlanLines() {
    TStringList lines;
    FMgr->DebugDumpProviderStatus(lines);
    std::vector<std::string> out;
    for (int i = 0; i < lines.Count(); ++i) out.push_back(lines.Get(i));
    return out;
}

std::vector<TZanStdJoinDataProvider*> TZanQueryRunner::JoinProviders() {
    std::vector<TZanStdJoinDataProvider*> out;
    std::function<void(TZanBaseJoinDataProvider*)> walk = [&](TZanBaseJoinDataProvider* p) {
        if (auto* j = dynamic_cast<TZanStdJoinDataProvider*>(p)) {
            out.push_back(j);
            walk(j->GetOuterProvider());
            walk(j->GetInnerProvider());
        }
    };
    walk(FMgr->GetRootProvider());
    return out;
}

} // namespace zan
