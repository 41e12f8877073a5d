// The dataset protocol suite run on the reference dataset.
#include "host/db/dataset_protocol_suite.h"
#include "host/db/mem_dataset.h"

using namespace zan;

namespace {

struct MemFactory {
    static std::unique_ptr<TDataSet> Create() {
        auto dataSet = std::make_unique<TMemDataSet>();
        TFieldDefs& defs = dataSet->GetFieldDefs();
        defs.Add("ID", ftInteger, 0, true);
        defs.Add("NAME", ftString, 20);
        defs.Add("AMOUNT", ftFloat);
        defs.Add("BORN", ftDate);
        return dataSet;
    }
};

} // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Mem, DataSetProtocol, ::testing::Types<MemFactory>);
