// The parse half of a query provider over a catalogue of in-memory table layouts: dispatches a
// statement by type, drives the parser engine through each statement's clauses, checks the
// tables, sets up their fields, runs the select analyser, parses subqueries and UNION members
// with nested engines as child items and collects the errors as the provider reports them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/sql/zanParserEngine.h"

namespace zan {

class TZanSqlTestOwner {
public:
    struct TItem {
        TZanParserEngine* Engine = nullptr;
        std::unique_ptr<TZanParserEngine> OwnEngine; // item 0 only
        TItem* Parent = nullptr;
        std::vector<std::unique_ptr<TItem>> Children;
        TZanSelectAnalyser Analyser;
        bool WhereOnly = false;
        bool UnionPart = false;
        bool UnionAll = false;
        TZanSQLStatementType Type = zsSQLUnknown;
    };

    TZanSqlTestOwner();
    // Parses a CREATE TABLE and adds its layout to the catalogue; False with the error.
    bool AddTable(const std::string& createTable);
    TTableList& GetCatalogue() { return FCatalogue; }

    // Validates (parses) a statement; the errors are in GetErrorsAsText.
    bool Validate(const std::string& sql);
    // Every message followed by ". ".
    std::string GetErrorsAsText() const;
    TItem& GetRoot() { return *FRoot; }

private:
    bool ParseItem(TItem& item);
    bool ParseSelect(TItem& item);
    bool ParseWhereOnly(TItem& item);
    bool ParseInsert(TItem& item);
    bool ParseUpdate(TItem& item);
    bool ParseSchema(TItem& item);
    bool CheckTableList(TTableList& tables, bool report);
    void SetupTableLists(TTableList& tables);
    bool Fail(const std::string& message);
    static std::string UnrecognizedText(TZanParserEngine& engine);
    void Callback(TItem& item, TParserNotifyType type, TZanParserEngine* engine,
                  TZanExprNode* node, Variant& value);
    TItem& NewChild(TItem& parent, TZanParserEngine* engine);

    TTableList FCatalogue;
    std::unique_ptr<TItem> FRoot;
    std::vector<std::string> FErrors;
};

} // namespace zan
