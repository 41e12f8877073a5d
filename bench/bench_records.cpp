// Record and blob throughput of the block stores.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/storage/zanDataUnit.h"
#include "engine/storage/zanDisk.h"
#include "engine/storage/zanInterfaceUnit.h"

using namespace zan;

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

// A fresh database file with record and blob stores of table 1 at an encryption level.
struct TDiskBench {
    explicit TDiskBench(uint8_t flags, uint32_t recordSize)
        : Path("/tmp/bench_records_" + std::to_string(getpid()) + ".zan") {
        Disk.SetFileName(Path);
        Disk.CreateNewFile(true);
        Disk.SetOpenFlags(0x42);
        Disk.Open();
        Setup(Records, C_USAGE_RECORDS, recordSize, flags);
        Setup(Blobs, C_USAGE_BLOBS, 512, flags);
    }
    ~TDiskBench() {
        Records.Close();
        Blobs.Close();
        Disk.Close();
        unlink(Path.c_str());
        unlink((Path.substr(0, Path.size() - 4) + ".lck").c_str());
    }
    void Setup(TDiskIOInterface& io, uint16_t usage, uint32_t block, uint8_t flags) {
        io.SetDiskMgr(&Disk);
        io.SetTableID(1);
        io.SetUsage(usage);
        io.SetBlockSize(block);
        io.SetAccessFlags(flags);
        io.SetFirstEmpty(0);
        io.SetFirstEmptyValid(true);
        io.Open();
    }
    int64_t FileSize() const {
        struct stat st {};
        return stat(Path.c_str(), &st) == 0 ? st.st_size : -1;
    }
    std::string Path;
    TDiskMgr Disk;
    TDiskIOInterface Records, Blobs;
};

// range(0): access flags 1 plain, 3 weak, 5 strong; range(1): inside one transaction.
void BM_DiskRecordAdd(benchmark::State& state) {
    TLayout layout;
    TDiskBench db(static_cast<uint8_t>(state.range(0)),
                  static_cast<uint32_t>(layout.Record.size()));
    TRecordMgr mgr;
    mgr.SetFields(&layout.Fields);
    mgr.SetRecordSize(layout.Fields.GetRecordSize());
    mgr.Open(&db.Records);
    const bool inTransaction = state.range(1) != 0;
    int32_t n = 0;
    for (auto _ : state) {
        if (inTransaction && n % 10000 == 0) db.Disk.DiskStartTransaction(false);
        RecordSetInteger(layout.Record.data(), *layout.Qty, ++n);
        benchmark::DoNotOptimize(mgr.AddRecord(layout.Record.data()));
        if (inTransaction && n % 10000 == 0) db.Disk.DiskCommit();
    }
    if (db.Disk.IsTransactionActive()) db.Disk.DiskCommit();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DiskRecordAdd)->ArgsProduct({{1, 3, 5}, {0, 1}});

void BM_DiskRecordRead(benchmark::State& state) {
    TLayout layout;
    TDiskBench db(static_cast<uint8_t>(state.range(0)),
                  static_cast<uint32_t>(layout.Record.size()));
    TRecordMgr mgr;
    mgr.SetFields(&layout.Fields);
    mgr.SetRecordSize(layout.Fields.GetRecordSize());
    mgr.Open(&db.Records);
    std::vector<uint32_t> addresses;
    for (int i = 0; i < 10000; ++i)
        addresses.push_back(mgr.AddRecord(layout.Record.data()));
    std::vector<uint8_t> buf(layout.Record.size());
    size_t i = 0;
    for (auto _ : state) {
        mgr.ReadRecord(addresses[(i++ * 7919) % addresses.size()], buf.data(), false);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DiskRecordRead)->Arg(1)->Arg(3)->Arg(5);

void BM_DiskBlobWrite(benchmark::State& state) {
    TDiskBench db(1, 200);
    TBlobInterface blob;
    blob.SetIOInterface(&db.Blobs);
    blob.SetBlobBlockSize(512);
    blob.Open();
    std::string data(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        TStringStream in(data);
        uint32_t head = blob.InsertBlob(in);
        state.PauseTiming();
        blob.DeleteBlob(head);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DiskBlobWrite)->Arg(1024)->Arg(64 * 1024)->Arg(1024 * 1024);

void BM_DiskBlobRead(benchmark::State& state) {
    TDiskBench db(1, 200);
    TBlobInterface blob;
    blob.SetIOInterface(&db.Blobs);
    blob.SetBlobBlockSize(512);
    blob.Open();
    TStringStream in(std::string(static_cast<size_t>(state.range(0)), 'x'));
    uint32_t head = blob.InsertBlob(in);
    for (auto _ : state) {
        TMemoryStream out;
        blob.ReadBlob(head, out);
        benchmark::DoNotOptimize(out.Memory());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DiskBlobRead)->Arg(1024)->Arg(64 * 1024)->Arg(1024 * 1024);

// Space reuse: 20000 records, half deleted, 10000 added again; the file must not grow.
void BM_DiskDeleteHalfAndReAdd(benchmark::State& state) {
    TLayout layout;
    for (auto _ : state) {
        TDiskBench db(1, static_cast<uint32_t>(layout.Record.size()));
        TRecordMgr mgr;
        mgr.SetFields(&layout.Fields);
        mgr.SetRecordSize(layout.Fields.GetRecordSize());
        mgr.Open(&db.Records);
        std::vector<uint32_t> addresses;
        for (int i = 0; i < 20000; ++i)
            addresses.push_back(mgr.AddRecord(layout.Record.data()));
        const int64_t before = db.FileSize();
        for (size_t i = 0; i < addresses.size(); i += 2)
            mgr.DeleteRecord(addresses[i]);
        for (int i = 0; i < 10000; ++i)
            mgr.AddRecord(layout.Record.data());
        state.counters["size_before_KB"] = double(before) / 1024;
        state.counters["size_after_KB"] = double(db.FileSize()) / 1024;
    }
}
BENCHMARK(BM_DiskDeleteHalfAndReAdd)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
