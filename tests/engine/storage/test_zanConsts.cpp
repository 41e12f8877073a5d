#include <gtest/gtest.h>

#include <set>
#include <zlib.h>

#include "engine/storage/zanCommon.h"
#include "engine/storage/zanConsts.h"

using namespace zan;

namespace {

uint32_t Crc(const std::string& s, uint32_t crc) {
    return static_cast<uint32_t>(
        crc32(crc, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

class TNamed : public TComponent {
public:
    ZAN_CLASS(TZanTable)
};

} // namespace

TEST(ErrorTable, ShapeAndContentArePinned) {
    EXPECT_EQ(C_ZANERRORS[0].Code, 65535);
    EXPECT_STREQ(C_ZANERRORS[0].Message, "Error code unknown");
    EXPECT_EQ(C_ZANERRORS[317].Code, 65535);
    EXPECT_STREQ(C_ZANERRORS[317].Message, "Error code unknown");
    std::set<int32_t> codes;
    int trailing = 0, question = 0;
    uint32_t crc = 0;
    for (const auto& row : C_ZANERRORS) {
        std::string msg = row.Message;
        trailing += !msg.empty() && msg.back() == ' ';
        question += msg == "?";
        crc = Crc(std::to_string(row.Code) + "\t" + msg + "\n", crc);
    }
    for (int i = 1; i < 317; ++i)
        codes.insert(C_ZANERRORS[i].Code);
    EXPECT_EQ(codes.size(), 316u);
    EXPECT_TRUE(codes.count(130));
    EXPECT_EQ(trailing, 55); // 51 plus the four rows of unsupported table formats
    EXPECT_EQ(question, 17);
    EXPECT_EQ(crc, 0xCC91FDCBu);
    EXPECT_STREQ(FindZanErr(10006).Message, "Invalid array of  val. check descriptors");
    EXPECT_STREQ(FindZanErr(11047).Message, "Unkown | illegal error from rtl");
    EXPECT_STREQ(FindZanErr(13057).Message, "File already exsits");
    EXPECT_STREQ(FindZanErr(9481).Message, "Table format not supported ");
    EXPECT_STREQ(FindZanErr(9486).Message, "Too many clients ");
}

TEST(ErrorTable, ResourceStrings) {
    std::set<int32_t> ids;
    uint32_t crc = 0;
    for (const auto& r : C_ZANRESSTRINGS) {
        ids.insert(r.Id);
        crc = Crc(std::to_string(r.Id) + "\t" + r.Name + "\t" + std::string(r.Text) + "\n", crc);
    }
    EXPECT_EQ(ids.size(), 108u);
    EXPECT_EQ(*ids.begin(), 65424);
    EXPECT_EQ(*ids.rbegin(), 65535);
    for (int id = 65436; id <= 65439; ++id)
        EXPECT_EQ(ids.count(id), 0u);
    EXPECT_EQ(crc, 0x88DBE17Cu);
    EXPECT_EQ(LoadResString(65507), " is not a valid index field for this index");
    EXPECT_EQ(SzanFileVersionDoesNotSupportOperation.back(), ' ');
    EXPECT_EQ(SzanGeneratorNameFmt.back(), 'r'); // the closing parenthesis is missing
    EXPECT_EQ(LoadResString(65436), "");
}

TEST(ZanDatabaseError, CustomMessageFormAndLogLine) {
    TNamed table;
    table.SetName("T1");
    GDBLogger().Clear();
    try {
        ZanDatabaseError(8449, "TDiskMgr.Open", "no such file", &table);
        FAIL();
    } catch (const EZanDatabaseError& e) {
        EXPECT_EQ(e.Message(), "The Orvex database engine raised an error\r\n Cannot open the "
                               "requested file (error code #8449) - no such file");
        EXPECT_EQ(e.ErrorCode, 8449);
        EXPECT_EQ(e.ErrorMessage, "Cannot open the requested file");
        EXPECT_EQ(e.ErrorObject, &table);
    }
    auto lines = GDBLogger().GetLines();
    ASSERT_EQ(lines.size(), 1u);
    // "yyyy-mm-dd hh:nn:ss; " then the context right-aligned in 30 columns.
    EXPECT_EQ(lines[0].substr(19), std::string(";                  TDiskMgr.Open : ") +
                                       "Exception:  Caller                   T1 ErrCode  8449 " +
                                       "[ErrContext Cannot open the requested file]. CustomMsg " +
                                       "no such file");
}

TEST(ZanDatabaseError, BaseFormUnknownCodeAndObjectNames) {
    TNamed unnamed;
    GDBLogger().Clear();
    try {
        ZanDatabaseError(1, "X.Y", "", &unnamed);
    } catch (const EZanDatabaseError& e) {
        EXPECT_EQ(
            e.Message(),
            "The Orvex database engine raised an error\r\n (error code #1). Error code unknown");
        EXPECT_EQ(e.ErrorCode, 1);
    }
    EXPECT_NE(GDBLogger().GetLines().back().find("Caller            TZanTable ErrCode 65535"),
              std::string::npos);
    try {
        ZanDatabaseError(8581, "X.Y");
    } catch (const EZanDatabaseError& e) {
        EXPECT_EQ(e.ErrorObject, nullptr);
    }
    EXPECT_NE(GDBLogger().GetLines().back().find("Caller                      ErrCode  8581"),
              std::string::npos);
}

TEST(ZanDatabaseError, FormattedAndAssertions) {
    try {
        ZanDatabaseErrorFmt(9482, "C.M", "limit %s of %d", {"pages", 42});
    } catch (const EZanDatabaseError& e) {
        EXPECT_NE(e.Message().find(" - limit pages of 42"), std::string::npos);
    }
    // A format that does not fit its arguments raises a conversion error, never crashes.
    EXPECT_THROW(ZanDatabaseErrorFmt(9482, "C.M", "%d", {"text"}), EConvertError);
    EXPECT_THROW(ZanDatabaseErrorFmt(9482, "C.M", "%s %s", {"one"}), EConvertError);
    try {
        ZanAssert(false, "Page map broken");
        FAIL();
    } catch (const EZanDatabaseError& e) {
        EXPECT_EQ(e.ErrorCode, 8581);
        EXPECT_NE(e.Message().find("Page map broken (test_zanConsts.cpp, line "),
                  std::string::npos);
    }
}
