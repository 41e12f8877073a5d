// The query component in the component text form: its properties and its parameters
// ("ParamData") written and read back, damaged parameter text refused.
#include "sql_test_support.h"

#include "host/rtl/ComponentText.h"
#include "host/rtl/VarCompare.h"

using namespace zan;

namespace {

std::string ReadError(const std::string& text) {
    TZanQuery q;
    try {
        ReadComponentFromText(text, q);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "no error";
}

} // namespace

TEST(QueryStreaming, ParamDataRoundTripsEveryKind) {
    TZanQuery q;
    q.SetName("Orders");
    q.GetSQL().SetText("SELECT id FROM t\nWHERE name = :s AND id > :i");
    q.SetMaxRecords(7);
    q.SetRequestLive(true);
    q.SetParamCheck(false);
    TParams& p = q.GetParams();
    p.CreateParam(ftString, "s", ptInput)->SetAsString("it's \"\xC3\xBC\"\tend\xFF");
    p.CreateParam(ftInteger, "i", ptInput)->SetAsInteger(-42);
    p.CreateParam(ftSmallint, "small", ptInput)->SetAsSmallInt(-7);
    p.CreateParam(ftLargeint, "big", ptInput)->SetValue(Variant(int64_t{1} << 40));
    p.CreateParam(ftFloat, "f", ptInput)->SetAsFloat(0.1);
    p.CreateParam(ftCurrency, "c", ptInput)->SetAsCurrency(Currency::FromScaled(123456));
    TParam* d = p.CreateParam(ftDate, "d", ptInput);
    d->SetValue(VarFromDateTime(EncodeDate(2026, 12, 9)));
    p.CreateParam(ftDateTime, "ts", ptOutput)->SetAsDateTime(46000.75);
    p.CreateParam(ftBoolean, "yes", ptInput)->SetAsBoolean(true);
    TParam* null = p.CreateParam(ftString, "null", ptInput);
    null->SetAsString("x");
    null->Clear(); // bound, value NULL
    p.CreateParam(ftInteger, "unbound", ptInput);
    p.CreateParam(ftUnknown, "untyped", ptUnknown);

    const std::string text = ComponentToText(q);
    TZanQuery r;
    ReadComponentFromText(text, r);
    EXPECT_EQ(r.GetName(), "Orders");
    EXPECT_EQ(r.GetSQL().GetText(), q.GetSQL().GetText());
    EXPECT_EQ(r.GetMaxRecords(), 7);
    EXPECT_TRUE(r.GetRequestLive());
    EXPECT_FALSE(r.GetParamCheck());
    ASSERT_EQ(r.GetParamCount(), q.GetParamCount()) << text;
    for (int i = 0; i < q.GetParamCount(); ++i) {
        const TParam& a = *q.GetParams()[i];
        const TParam& b = *r.GetParams()[i];
        SCOPED_TRACE(a.GetName());
        EXPECT_EQ(b.GetName(), a.GetName());
        EXPECT_EQ(b.GetDataType(), a.GetDataType());
        EXPECT_EQ(b.GetParamType(), a.GetParamType());
        EXPECT_EQ(b.GetBound(), a.GetBound());
        EXPECT_EQ(VarType(b.GetValue()), VarType(a.GetValue()));
        EXPECT_TRUE(b.GetValue() == a.GetValue()) << VarToStr(b.GetValue());
    }
    EXPECT_EQ(ComponentToText(r), text);
}

TEST(QueryStreaming, NoParamDataWithoutParametersAndReadingReplacesThem) {
    TZanQuery q;
    q.GetSQL().SetText("SELECT id FROM t");
    const std::string text = ComponentToText(q);
    EXPECT_EQ(text, "object TZanQuery\n  SQL = 'SELECT id FROM t'#13#10\nend\n");
    TZanQuery r;
    r.GetParams().CreateParam(ftInteger, "old", ptInput);
    ReadComponentFromText("object TZanQuery\n  ParamData = <>\nend\n", r);
    EXPECT_EQ(r.GetParamCount(), 0);
}

TEST(QueryStreaming, AStreamedQueryRunsWithItsParameters) {
    TQueryTestDb t(false);
    t.Exec("CREATE TABLE t (id INTEGER, name VARCHAR(10))");
    t.Exec("INSERT INTO t VALUES (1, 'a')");
    t.Exec("INSERT INTO t VALUES (2, 'b''c')");
    t.Exec("INSERT INTO t VALUES (3, 'b''c')");
    TZanQuery q;
    q.SetDatabase(&t.Db);
    q.GetSQL().SetText("SELECT id FROM t WHERE name = :n AND id > :low");
    ASSERT_EQ(q.GetParamCount(), 2);
    q.ParamByName("n")->SetAsString("b'c");
    q.ParamByName("low")->SetAsInteger(2);
    TZanQuery r;
    ReadComponentFromText(ComponentToText(q), r);
    r.SetDatabase(&t.Db);
    r.Open();
    EXPECT_EQ(r.GetRecordCount(), 1);
    EXPECT_EQ(r.FieldByName("id")->GetAsInteger(), 3);
    r.Close();
}

TEST(QueryStreaming, DamagedParamDataIsRefused) {
    const std::string head = "object TZanQuery\n  ParamData = <\n    item\n";
    const std::pair<std::string, std::string> cases[] = {
        {head + "      DataType = ftInteger\n      Value = 'abc'\n    end>\nend",
         "Error reading TParam.Value: Invalid value abc for parameter '' of type ftInteger"},
        {head + "      DataType = ftSmallint\n      Value = 70000\n    end>\nend",
         "Invalid value 70000"},
        {head + "      DataType = ftDate\n      Value = True\n    end>\nend", "Invalid value"},
        {head + "      DataType = ftBoolean\n      Value = 1\n    end>\nend", "Invalid value"},
        {head + "      DataType = ftNoSuch\n    end>\nend", "Invalid value ftNoSuch for DataType"},
        {head + "      Value = [1]\n    end>\nend", "Value expected but '['"},
        {head + "      Value = 1e999\n    end>\nend", "Number 1e999 out of range"},
        {head + "      Size = 4\n    end>\nend", "Property TParam.Size does not exist"},
        {head + "      Name = 'x'\nend", "'item' expected but end of text"},
        {"object TZanQuery\n  ParamData = 3\nend", "'<' expected"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_NE(ReadError(text).find(expected), std::string::npos)
            << text << "\n  got: " << ReadError(text);
}
