// What a provider item keeps to plan and run a SELECT: the query analyser with its joins and
// selects, the plan, the join data provider manager and the working copy of the WHERE (outer
// references and parameters turned into constants).
#pragma once

#include "engine/query/zanJoinDataProviderUnit.h"
#include "engine/query/zanQueryAnalyser.h"
#include "engine/query/zanQueryPlanner.h"

namespace zan {

struct TZanQueryPlanState {
    TZanQueryAnalyser Analyser;
    TZanJoins Joins;
    TZanSelects Selects;
    TZanPlan Plan;
    TZanJoinDataProviderMgr Mgr;
    TZanExpr Where;
    // The part of Where the analyser may push down to the tables (when it differs).
    TZanExpr Pushable;
    bool Opened = false;
};

} // namespace zan
