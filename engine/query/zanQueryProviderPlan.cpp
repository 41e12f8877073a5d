#include "engine/query/zanQueryProvider.h"
#include "engine/query/zanQueryProviderPlan.h"

namespace zan {

bool TZanQueryProviderItem::PreparePlan() {
    ++FPlanCount;
    AddError("SELECT is not available");
    return false;
}

bool TZanQueryProviderItem::CreateResultSet() {
    AddError("SELECT is not available");
    return false;
}

bool TZanQueryProviderItem::CreateResultList(std::vector<uint32_t>&) {
    AddError("WHERE is not available");
    return false;
}

void TZanQueryProviderItem::SetLiveResultBridge(TZanDatasetBridge*) {}

bool TZanQueryProviderItem::GetFieldData(const std::string&, const std::string&, Variant&) {
    return false;
}

bool TZanQueryProviderItem::ExecUpdate() {
    AddError("UPDATE is not available");
    return false;
}

} // namespace zan
