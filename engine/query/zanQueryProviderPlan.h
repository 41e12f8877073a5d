// What a provider item keeps to plan and run a SELECT: the query analyser with its joins and
// selects, the plan and the join data provider manager.
#pragma once

namespace zan {

struct TZanQueryPlanState {};

} // namespace zan
