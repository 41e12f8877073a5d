// Fills an open engine table of the shared benchmark layout (Id, Name, Val, Data) with rows
// 1..n in shuffled order, in one transaction: the load both table benchmarks start from.
#pragma once

#include <cstdint>

#include "bench/bench_data.h"
#include "engine/dataset/zanDatabase.h"

inline void AppendBenchRows(zan::TZanDataBase& db, zan::TZanTable& t, int32_t n) {
    zan::TField* id = t.FieldByName("Id");
    zan::TField* name = t.FieldByName("Name");
    zan::TField* val = t.FieldByName("Val");
    zan::TField* data = t.FieldByName("Data");
    db.StartTransaction();
    for (int32_t k : benchdata::Shuffled(n, 1)) {
        t.Append();
        id->SetAsInteger(k);
        name->SetAsString(benchdata::NameOf(k));
        val->SetAsFloat(benchdata::ValueOf(k));
        if (benchdata::HasBlob(k)) data->SetAsString(benchdata::BlobOf(k));
        t.Post();
    }
    db.Commit();
}
