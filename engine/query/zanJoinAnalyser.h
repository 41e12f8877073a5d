// How a standard join provider runs its join. The analyser turns the join condition into a tree
// of field = field equalities and decides whether the join can be planned (both sides single
// tables) and hashed; the evaluator produces the joined rows, either by re-filtering the probed
// side with the driving row's values (join-expression mode, a filtered nested loop) or by
// probing hash tables of the probed table's join keys (hash mode). Outer joins add a NULL row
// for a driving row without a match; FULL OUTER and UNION joins make a second pass.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/query/zanJoinDataProviderUnit.h"
#include "engine/storage/zanLists.h"

namespace zan {

enum TJoinModeType : uint8_t { jmtJoinExpr, jmtHashJoin };


class TJoinExprNodeEvaluator;

// A node of the analyser tree: an equality of two fields, or AND / OR over two nodes.
class TJoinExprNode {
public:
    bool SplitOK = false;
    TJoinExprNode* Next = nullptr;
    TJoinExprNode* Left = nullptr;
    TJoinExprNode* Right = nullptr;
    TZanExprNode* ExprNode = nullptr; // not owned
    TZanBaseJoinDataProvider* LeftProvider = nullptr;
    TZanBaseJoinDataProvider* RightProvider = nullptr;
    TInternalFieldItem* LeftSourceField = nullptr;
    TInternalFieldItem* RightSourceField = nullptr;
    TJoinExprNodeEvaluator* Evaluator = nullptr; // owned by the join evaluator
    std::string LeftIndexName, RightIndexName;  // empty: no index begins with the field
};

// One side of the root join node.
struct TJoinExprAnalysis {
    bool IndexedJoin = false;
    int32_t ExprOptimizationLevel = 0; // olNone
    int32_t MaximalRecordCount = -1;
    bool AnalysisPossible = false;
    TZanBaseJoinDataProvider* DataProvider = nullptr;
    int32_t SourceFieldNo = -1;
    std::string SourceIndexName;
};

// What the trace log shows of a join's plan.
struct TJoinPlan {
    bool IndexedJoin = false;
    std::string InnerName, OuterName;
    bool InnerRangeOn = false, OuterRangeOn = false;
    bool InnerExprExists = false, OuterExprExists = false;
    int32_t InnerExprOptLevel = 0, OuterExprOptLevel = 0;
    void DisplayPlan(TStrings& lines) const;
};

class TJoinAnalyser {
public:
    TJoinAnalyser();
    ~TJoinAnalyser();
    TJoinAnalyser(const TJoinAnalyser&) = delete;
    TJoinAnalyser& operator=(const TJoinAnalyser&) = delete;

    void SetProviders(TZanBaseJoinDataProvider* outer, TZanBaseJoinDataProvider* inner,
                      TZanStdJoinDataProvider* join, const TZanExprNode* condition,
                      TZanJoinType type);
    // Builds the tree of equality joins over the condition.
    void CreateAnalyserTree();
    void Clear();
    // The whole condition is AND / OR over field = field equalities.
    bool CanHashJoin() const { return FRoot && FRoot->SplitOK; }
    TJoinExprNode* GetRoot() const { return FRoot; }
    TJoinExprNode* GetChain() const { return FChain; }
    TZanBaseJoinDataProvider* GetOuterProvider() const { return FOuter; }
    TZanBaseJoinDataProvider* GetInnerProvider() const { return FInner; }
    void SwapProviders() { std::swap(FOuter, FInner); }
    TZanJoinType GetJoinType() const { return FJoinType; }
    TZanStdJoinDataProvider* GetJoinProvider() const { return FJoin; }
    TZanExprNode* GetCondition() const { return FCondition; }
    TJoinPlan& GetPlan() { return FPlan; }

private:
    TJoinExprNode* CreateNode(TZanExprNode* node);
    // A new node of the chain over the condition node.
    TJoinExprNode* ChainNode(TZanExprNode* node);

    TZanExprNode* FCondition = nullptr; // the join provider's copy
    TJoinExprNode* FRoot = nullptr;
    TJoinExprNode* FChain = nullptr;
    std::vector<std::unique_ptr<TJoinExprNode>> FNodes;
    TZanBaseJoinDataProvider* FOuter = nullptr;
    TZanBaseJoinDataProvider* FInner = nullptr;
    TZanJoinType FJoinType = jtInnerJoin;
    TZanStdJoinDataProvider* FJoin = nullptr;
    TJoinPlan FPlan;
};

// The hash table of one equality node over the hashed provider's field.
class TJoinExprNodeEvaluator {
public:
    explicit TJoinExprNodeEvaluator(TJoinExprNode* node);
    ~TJoinExprNodeEvaluator();
    // Loads the hash from the hashed provider's table; False when the hash filled up (the
    // table grew since it was counted).
    bool Prepare(TZanNonJoinDataProvider* hashed);
    // The candidates of the driving row's key (sorted ascending); none for a NULL key.
    void SetSourceKey(TZanBaseJoinDataProvider* driving);
    const std::vector<int32_t>& GetCandidates() const { return FCandidates; }
    bool GetPrepared() const { return FPrepared; }
    // The field of the node on the hashed side and on the driving side.
    TInternalFieldItem* HashedField() const { return FHashedField; }

private:
    TJoinExprNode* FNode;
    std::unique_ptr<TZanBaseHash> FHash;
    std::vector<int32_t> FCandidates;
    std::vector<uint32_t> FScratch;
    TInternalFieldItem* FHashedField = nullptr;
    TInternalFieldItem* FDrivingField = nullptr;
    int32_t FMaxKeyLength = 0;
    TDataHolder FHolder;
    bool FPrepared = false;
};

class TJoinEvaluator {
public:
    TJoinEvaluator();
    ~TJoinEvaluator();
    TJoinEvaluator(const TJoinEvaluator&) = delete;
    TJoinEvaluator& operator=(const TJoinEvaluator&) = delete;

    void SetAnalyser(TJoinAnalyser* analyser) { FAnalyser = analyser; }
    // Chooses the way the join runs and opens both sides with their conditions.
    void AnalyseAndOpenJoin();
    void Prepare();
    bool FirstRecord();
    bool NextRecord();
    void Clear();

    TJoinModeType GetMode() const { return FMode; }
    int GetPass() const { return FPass; }
    TZanBaseJoinDataProvider* GetDrivingProvider() const { return FDriving; }
    TZanBaseJoinDataProvider* GetProbedProvider() const { return FProbed; }

private:
    // Whether the hash mode's conditions hold (key types, sizes, a single-table probed side).
    bool CanHash() const;
    void DetermineInnerProvider();
    bool StartDrivingRow();
    bool AdvanceProbe();
    bool NextHashMatch();
    void CombineLists(TJoinExprNode* node, std::vector<int32_t>& out);
    bool CheckNextPass();
    void CheckAddRecID();
    bool IsOuterJoin() const;
    bool SkipInPass2();
    // Pass 1 with the driving and probed roles of the join type.
    void ResetRoles();

    TJoinAnalyser* FAnalyser = nullptr;
    TJoinModeType FMode = jmtJoinExpr;
    int FPass = 1;
    TZanBaseJoinDataProvider* FDriving = nullptr;
    TZanBaseJoinDataProvider* FProbed = nullptr;
    TZanNonJoinDataProvider* FHashed = nullptr;
    std::vector<std::unique_ptr<TJoinExprNodeEvaluator>> FNodeEvaluators;
    std::vector<int32_t> FMatchList;
    size_t FMatchPos = 0;
    bool FNullRow = false;
    bool FAnyMatch = false;
    bool FSwapAllowed = true;
    bool FRangeSet = false;
    std::unordered_set<std::string> FMatchedIDs;
};

} // namespace zan
