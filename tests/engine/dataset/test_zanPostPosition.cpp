// An appended row is the current one after its post, whatever the index puts after it.
#include <gtest/gtest.h>
#include <unistd.h>

#include "dataset_test_support.h"

using namespace zan;

TEST(PostPosition, AppendedRowIsCurrentAfterItsPost) {
    for (const bool inTransaction : {false, true})
        for (const bool nullKey : {false, true}) {
            SCOPED_TRACE(std::to_string(inTransaction) + std::to_string(nullKey));
            TTempFile file("post_position.zan");
            CreateDatabaseFile(file.Path);
            auto db = NewDatabase(file.Path);
            db->Open();
            auto t = std::make_unique<TZanTable>();
            t->SetDataBase(db.get());
            t->SetTableName("T");
            t->GetFieldDefs().Add("ID", ftInteger, 0, true);
            t->GetFieldDefs().Add("N", ftSmallint);
            t->GetFieldDefs().Add("S", ftString, 20);
            TIndexDef& d = t->GetIndexDefs().Add("ixNS", "N;S", {});
            d.SetDescFields("S");
            t->CreateTable();
            t->Open();
            t->AppendRecord({Variant(40), Variant(44), Variant("ALPHA")});
            if (inTransaction) db->StartTransaction();
            t->Append();
            t->FieldByName("ID")->SetAsInteger(41);
            if (!nullKey) {
                t->FieldByName("N")->SetAsInteger(1);
                t->FieldByName("S")->SetAsString("b");
            }
            t->Post();
            EXPECT_EQ(t->FieldByName("ID")->GetAsInteger(), 41);
            if (inTransaction) db->Commit();
        }
}
