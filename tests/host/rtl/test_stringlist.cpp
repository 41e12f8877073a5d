#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "host/rtl/Streams.h"
#include "host/rtl/StringList.h"

using namespace zan;

namespace {

std::vector<std::string> Lines(const TStrings& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i)
        out.push_back(list[i]);
    return out;
}

std::vector<std::string> FromComma(const std::string& text) {
    TStringList list;
    list.SetCommaText(text);
    return Lines(list);
}

std::string ToComma(const std::vector<std::string>& items) {
    TStringList list;
    for (auto& s : items)
        list.Add(s);
    return list.GetCommaText();
}

std::filesystem::path ScratchDir(const std::string& name) {
    const char* env = std::getenv("ZAN_TEST_TMP");
    auto dir = std::filesystem::path(env && *env ? env : "/tmp") / ("stringlist_" + name);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

using V = std::vector<std::string>;

} // namespace

TEST(StringList, CommaTextQuotesWhatNeedsIt) {
    EXPECT_EQ(ToComma({"a", "b c", "d,e", "f\"g", "", "h"}), "a,\"b c\",\"d,e\",\"f\"\"g\",,h");
    EXPECT_EQ(ToComma({""}), "\"\"");
    EXPECT_EQ(ToComma({}), "");
    EXPECT_EQ(ToComma({"", ""}), ",");
    EXPECT_EQ(ToComma({std::string("x\0y", 3), "t\tu", "\x01"}),
              std::string("\"x\0y\",\"t\tu\",\"\x01\"", 15));
    // Bytes above ' ' (UTF-8 included) are never a reason to quote.
    EXPECT_EQ(ToComma({"caf\xC3\xA9", "=;"}), "caf\xC3\xA9,=;");
}

TEST(StringList, CommaTextParsesLikeTheFramework) {
    EXPECT_EQ(FromComma("a,,b"), (V{"a", "", "b"}));
    EXPECT_EQ(FromComma("a b"), (V{"a", "b"}));
    EXPECT_EQ(FromComma("  a ,  b  "), (V{"a", "b"}));
    EXPECT_EQ(FromComma("\"a b\",\"c\"\"d\""), (V{"a b", "c\"d"}));
    EXPECT_EQ(FromComma("\"unterminated, rest"), (V{"unterminated, rest"}));
    EXPECT_EQ(FromComma("\"ab\"cd,e"), (V{"ab", "cd", "e"}));
    EXPECT_EQ(FromComma("\"\""), (V{""}));
    EXPECT_EQ(FromComma(""), V{});
    EXPECT_EQ(FromComma("   "), V{});
    EXPECT_EQ(FromComma("a,"), (V{"a", ""}));
    EXPECT_EQ(FromComma(","), (V{"", ""}));
    // Outside quotes a NUL ends the text; inside quotes it is data.
    EXPECT_EQ(FromComma(std::string("a\0b,c", 5)), (V{"a"}));
    EXPECT_EQ(FromComma(std::string("\"a\0b\",c", 7)), (V{std::string("a\0b", 3), "c"}));
}

TEST(StringList, CommaTextRoundTrips) {
    for (const V& items : {V{"a", "", "b"}, V{""}, V{"", ""}, V{"x", ""}, V{" lead", "trail "},
                           V{"\"", "\"\"", ",", "\r\n"}, V{std::string("\0", 1)}}) {
        EXPECT_EQ(FromComma(ToComma(items)), items) << ToComma(items);
    }
}

TEST(StringList, DelimitedTextUsesDelimiterAndQuote) {
    TStringList list;
    list.SetDelimiter(';');
    list.SetQuoteChar('\'');
    list.SetDelimitedText("a;'b;c';'it''s'");
    EXPECT_EQ(Lines(list), (V{"a", "b;c", "it's"}));
    EXPECT_EQ(list.GetDelimitedText(), "a;'b;c';'it''s'");
    // CommaText keeps its own characters and leaves the list's settings alone.
    EXPECT_EQ(list.GetCommaText(), "a,b;c,it's");
    EXPECT_EQ(list.GetDelimiter(), ';');
}

TEST(StringList, NamesAndValues) {
    TStringList list;
    list.SetText("Alpha=1\r\nbeta=two=2\r\nnoseparator\r\n=empty name\r\n");
    EXPECT_EQ(list.GetValue("ALPHA"), "1");
    EXPECT_EQ(list.GetValue("Beta"), "two=2");
    EXPECT_EQ(list.GetValue("missing"), "");
    EXPECT_EQ(list.Names(2), "");
    EXPECT_EQ(list.ValueFromIndex(2), "");
    EXPECT_EQ(list.ValueFromIndex(1), "two=2");
    EXPECT_EQ(list.IndexOfName(""), 3);
    EXPECT_EQ(list.IndexOfName("noseparator"), -1);

    list.SetValue("alpha", "10");
    EXPECT_EQ(list[0], "alpha=10");
    list.SetValue("gamma", "3");
    EXPECT_EQ(list[list.Count() - 1], "gamma=3");
    list.SetValue("BETA", "");
    EXPECT_EQ(list.IndexOfName("beta"), -1);
    EXPECT_EQ(list.Count(), 4);
    list.SetValue("nothing", ""); // deleting a missing name changes nothing
    EXPECT_EQ(list.Count(), 4);

    list.SetNameValueSeparator(':');
    list.Add("k:v");
    EXPECT_EQ(list.GetValue("K"), "v");

    TStringList sorted;
    sorted.SetSorted(true);
    sorted.SetValue("b", "1");
    sorted.SetValue("a", "2");
    sorted.SetValue("b", "0");
    EXPECT_EQ(Lines(sorted), (V{"a=2", "b=0"}));
}

TEST(StringList, TextSplitsMixedLineEnds) {
    TStringList list;
    list.SetText("a\r\nb\nc\rd\r\n\r\ne");
    EXPECT_EQ(Lines(list), (V{"a", "b", "c", "d", "", "e"}));
    EXPECT_EQ(list.GetText(), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n");
    list.SetText("\n\n");
    EXPECT_EQ(Lines(list), (V{"", ""}));
    list.SetText("");
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.GetText(), "");
    list.SetText("x\n\r");
    EXPECT_EQ(Lines(list), (V{"x", ""}));
}

TEST(StringList, IndexErrorsAndObjects) {
    TStringList list;
    TObject a, b;
    list.AddObject("one", &a);
    list.Add("two");
    list.InsertObject(0, "zero", &b);
    EXPECT_EQ(list.Objects(1), &a);
    EXPECT_EQ(list.Objects(2), nullptr);
    EXPECT_EQ(list.IndexOfObject(&b), 0);
    EXPECT_EQ(list.IndexOf("TWO"), 2);
    list.Delete(0);
    EXPECT_EQ(list.Objects(0), &a);
    try {
        (void)list[2];
        FAIL();
    } catch (const EStringListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (2)");
    }
    EXPECT_THROW(list.Delete(-1), EStringListError);
    EXPECT_THROW(list.Insert(3, "x"), EStringListError);
    list.Insert(2, "end");
    EXPECT_EQ(list[2], "end");
}

TEST(StringList, SortedDuplicateModes) {
    TStringList list;
    list.SetSorted(true);
    for (const char* s : {"pear", "Apple", "fig", "apple"})
        list.Add(s);
    EXPECT_EQ(Lines(list), (V{"Apple", "fig", "pear"})); // dupIgnore, case-insensitive
    EXPECT_EQ(list.Add("APPLE"), 0);
    int index = -1;
    EXPECT_TRUE(list.Find("FIG", index));
    EXPECT_EQ(index, 1);
    EXPECT_FALSE(list.Find("grape", index));
    EXPECT_EQ(index, 2);
    EXPECT_THROW(list.Insert(0, "x"), EStringListError);
    EXPECT_THROW(list.Put(0, "x"), EStringListError);

    list.SetDuplicates(dupError);
    try {
        list.Add("PEAR");
        FAIL();
    } catch (const EStringListError& e) {
        EXPECT_EQ(e.Message(), "String list does not allow duplicates");
    }

    TObject first, second;
    list.SetDuplicates(dupAccept);
    list.AddObject("Fig", &first);
    list.AddObject("FIG", &second);
    EXPECT_EQ(Lines(list), (V{"Apple", "fig", "Fig", "FIG", "pear"}));
    EXPECT_EQ(list.Objects(2), &first);
    EXPECT_EQ(list.Objects(3), &second);
    EXPECT_EQ(list.IndexOf("fIg"), 1);

    list.SetCaseSensitive(true); // re-sorts by bytes
    EXPECT_EQ(Lines(list), (V{"Apple", "FIG", "Fig", "fig", "pear"}));
    EXPECT_EQ(list.IndexOf("fIg"), -1);

    TStringList ignoring;
    ignoring.SetSorted(true);
    TObject o;
    ignoring.AddObject("k", &o);
    ignoring.AddObject("K", nullptr); // ignored duplicate keeps the first object
    EXPECT_EQ(ignoring.Objects(0), &o);
}

TEST(StringList, SortsAreStable) {
    TStringList list;
    for (const char* s : {"b", "B", "a", "A", "b"})
        list.Add(s);
    list.Sort();
    EXPECT_EQ(Lines(list), (V{"a", "A", "b", "B", "b"}));

    TStringList numbers;
    for (const char* s : {"3x", "1a", "3y", "2", "1b"})
        numbers.Add(s);
    numbers.CustomSort([](TStringList& l, int i, int j) { return l[i][0] - l[j][0]; });
    EXPECT_EQ(Lines(numbers), (V{"1a", "1b", "2", "3x", "3y"}));

    // A comparison that contradicts itself gives some order of the same lines, never a crash.
    TStringList many;
    for (int i = 0; i < 200; ++i)
        many.Add(std::to_string(i));
    unsigned seed = 1;
    many.CustomSort([&](TStringList&, int, int) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int>((seed >> 16) % 3) - 1;
    });
    std::vector<std::string> seen = Lines(many);
    std::sort(seen.begin(), seen.end());
    TStringList expected;
    for (int i = 0; i < 200; ++i)
        expected.Add(std::to_string(i));
    std::vector<std::string> all = Lines(expected);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(seen, all);

    // Turning Sorted on sorts; a sorted list is not resorted by CustomSort.
    TStringList later;
    for (const char* s : {"c", "a", "b"})
        later.Add(s);
    later.SetSorted(true);
    EXPECT_EQ(Lines(later), (V{"a", "b", "c"}));
    later.CustomSort([](TStringList&, int i, int j) { return j - i; });
    EXPECT_EQ(Lines(later), (V{"a", "b", "c"}));
}

TEST(StringList, ChangeEventsRespectUpdates) {
    TStringList list;
    int changing = 0, changed = 0;
    list.OnChanging = [&](TObject* sender) {
        EXPECT_EQ(sender, &list);
        ++changing;
    };
    list.OnChange = [&](TObject*) { ++changed; };
    list.Add("a");
    list.Add("b");
    EXPECT_EQ(changing, 2);
    EXPECT_EQ(changed, 2);
    list.BeginUpdate();
    list.BeginUpdate();
    list.Add("c");
    list.Delete(0);
    list.EndUpdate();
    EXPECT_EQ(changed, 2);
    list.EndUpdate();
    EXPECT_EQ(changing, 3);
    EXPECT_EQ(changed, 3);
    list.SetCommaText("x,y,z"); // one change for the whole text
    EXPECT_EQ(changed, 4);
}

TEST(StringList, AssignAndAddStrings) {
    TStringList a, b;
    TObject o;
    a.AddObject("one", &o);
    a.Add("two");
    b.Add("old");
    b.Assign(a);
    EXPECT_EQ(Lines(b), (V{"one", "two"}));
    EXPECT_EQ(b.Objects(0), &o);
    b.AddStrings(b);
    EXPECT_EQ(Lines(b), (V{"one", "two", "one", "two"}));
}

TEST(StringList, FilesAndStreams) {
    auto dir = ScratchDir("files");
    std::string file = (dir / "list.txt").string();
    TStringList list;
    list.SetText("first\nsecond line\n");
    list.SaveToFile(file);
    TMemoryStream raw;
    raw.LoadFromFile(file);
    EXPECT_EQ(std::string(raw.Memory(), static_cast<size_t>(raw.GetSize())),
              "first\r\nsecond line\r\n");

    TStringList loaded;
    loaded.LoadFromFile(file);
    EXPECT_EQ(Lines(loaded), (V{"first", "second line"}));

    TStringStream stream("skip|a\nb");
    stream.Seek(5, soBeginning);
    loaded.LoadFromStream(stream);
    EXPECT_EQ(Lines(loaded), (V{"a", "b"}));

    try {
        loaded.LoadFromFile((dir / "missing.txt").string());
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_NE(e.Message().find("missing.txt"), std::string::npos);
    }
    EXPECT_THROW(list.SaveToFile((dir / "no" / "such" / "dir.txt").string()), EFCreateError);
}

// With a line break of its own the text comes back as it was set (an unended last line gets
// one); CR stays part of its line.
TEST(StringList, OwnLineBreakRoundTrips) {
    TStringList list;
    list.SetLineBreak("\n");
    for (const std::string& text : {std::string("a\nb\n"), std::string("a\r\nb\rc\n\n"),
                                    std::string("'x\ny'\n"), std::string("\n")}) {
        list.SetText(text);
        EXPECT_EQ(list.GetText(), text);
    }
    list.SetText("one\ntwo");
    EXPECT_EQ(Lines(list), (V{"one", "two"}));
    EXPECT_EQ(list.GetText(), "one\ntwo\n");
    list.SetLineBreak("<br>");
    list.SetText("a<br>b\nc");
    EXPECT_EQ(Lines(list), (V{"a", "b\nc"}));
    EXPECT_THROW(list.SetLineBreak(""), EStringListError);
}

// A change notification that raises reaches the caller of every bulk change as its exception,
// and leaves the list out of its update state; a destructor never raises it.
TEST(StringList, FailingChangeNotificationReachesTheCaller) {
    TStringList source;
    source.Add("x");
    const std::vector<std::pair<const char*, std::function<void(TStringList&)>>> changes = {
        {"SetText", [](TStringList& l) { l.SetText("a\nb"); }},
        {"Assign", [&](TStringList& l) { l.Assign(source); }},
        {"AddStrings", [&](TStringList& l) { l.AddStrings(source); }},
        {"AddStrings itself", [](TStringList& l) { l.AddStrings(l); }},
        {"CommaText", [](TStringList& l) { l.SetCommaText("a,b"); }},
    };
    for (const auto& [name, change] : changes) {
        SCOPED_TRACE(name);
        TStringList list;
        list.OnChange = [](TObject*) { throw EStringListError("refused"); };
        EXPECT_THROW(change(list), EStringListError);
        EXPECT_EQ(list.UpdateCount(), 0);
    }
}
