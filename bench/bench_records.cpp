// Record and blob throughput of the block stores.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/storage/zanDataUnit.h"
#include "engine/storage/zanInterfaceUnit.h"

namespace {

// A 200-byte record layout: a 100-byte string, an integer, a float, a memo and padding bytes.
struct TLayout {
    TLayout() {
        auto add = [&](const char* name, TFieldType t, int32_t size = 0) {
            auto* f = Fields.Add();
            f->SetFieldName(name);
            f->SetDataType(t);
            if (size) f->SetFieldSize(size);
            f->SetFieldIndex(Fields.Count() - 1);
            return f;
        };
        Name = add("Name", ftString, 101);
        Qty = add("Qty", ftInteger);
        add("Price", ftFloat);
        add("Memo", ftMemo);
        add("Pad", ftBytes, 200 - 14 - 5 - 2 - 101 - 4 - 8 - 8);
        Fields.SetDefaultOffsets();
        Record.assign(static_cast<size_t>(Fields.GetRecordSize()), 0);
        Record[0] = 1;
        RecordSetString(Record.data(), *Name, "a record of the benchmark");
    }
    TInternalFields Fields;
    TInternalFieldItem* Name;
    TInternalFieldItem* Qty;
    std::vector<uint8_t> Record;
};

void BM_MemoryRecordAdd(benchmark::State& state) {
    TLayout layout;
    TMemoryIOInterface io;
    TRecordMgr mgr;
    mgr.SetFields(&layout.Fields);
    mgr.SetRecordSize(layout.Fields.GetRecordSize());
    mgr.Open(&io);
    int32_t n = 0;
    for (auto _ : state) {
        RecordSetInteger(layout.Record.data(), *layout.Qty, ++n);
        benchmark::DoNotOptimize(mgr.AddRecord(layout.Record.data()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemoryRecordAdd);

void BM_MemoryRecordRead(benchmark::State& state) {
    TLayout layout;
    TMemoryIOInterface io;
    TRecordMgr mgr;
    mgr.SetFields(&layout.Fields);
    mgr.SetRecordSize(layout.Fields.GetRecordSize());
    mgr.Open(&io);
    std::vector<uint32_t> addresses;
    for (int i = 0; i < 10000; ++i)
        addresses.push_back(mgr.AddRecord(layout.Record.data()));
    std::vector<uint8_t> buf(layout.Record.size());
    size_t i = 0;
    for (auto _ : state) {
        mgr.ReadRecord(addresses[i++ % addresses.size()], buf.data(), false);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemoryRecordRead);

void BM_MemoryBlobWriteRead(benchmark::State& state) {
    TMemoryIOInterface io;
    TBlobInterface blob;
    blob.SetIOInterface(&io);
    blob.SetBlobBlockSize(512);
    blob.Open();
    std::string data(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        TStringStream in(data);
        uint32_t head = blob.InsertBlob(in);
        TMemoryStream out;
        blob.ReadBlob(head, out);
        blob.DeleteBlob(head);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
}
BENCHMARK(BM_MemoryBlobWriteRead)->Arg(1024)->Arg(64 * 1024)->Arg(1024 * 1024);

} // namespace

BENCHMARK_MAIN();
