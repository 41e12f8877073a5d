#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "host/rtl/ComponentText.h"

using namespace zan;

namespace {

enum TSampleKind : uint8_t { skFirst, skSecond, skThird };

class TPartItem : public TCollectionItem {
public:
    ZAN_CLASS(TPartItem)
    ZAN_PROPERTIES(TPartItem)
    int32_t GetCode() const { return FCode; }
    void SetCode(int32_t v) { FCode = v; }

private:
    int32_t FCode = 0;
};

class TSampleItem : public TCollectionItem {
public:
    ZAN_CLASS(TSampleItem)
    ZAN_PROPERTIES(TSampleItem)
    int32_t GetSize() const { return FSize; }
    void SetSize(int32_t v) { FSize = v; }
    const std::string& GetLabel() const { return FLabel; }
    void SetLabel(const std::string& v) { FLabel = v; }
    bool GetFlag() const { return FFlag; }
    void SetFlag(bool v) { FFlag = v; }
    TCollectionT<TPartItem>* GetParts() { return &FParts; }

private:
    int32_t FSize = 0;
    std::string FLabel;
    bool FFlag = false;
    TCollectionT<TPartItem> FParts;
};

class TSample : public TComponent {
public:
    explicit TSample(TComponent* owner = nullptr) : TComponent(owner), FItems(this) {}
    ZAN_CLASS(TSample)
    ZAN_PROPERTIES(TSample)

    int32_t Count = 0;
    int64_t Big = 0;
    uint32_t Flags = 0;
    double Ratio = 0;
    double Stamp = 0;
    std::string Caption;
    std::string Title = "untitled";
    bool Enabled = true;
    TSampleKind Kind = skFirst;
    uint8_t Options = 0;
    TCollectionT<TSampleItem, TOwnedCollection> FItems;

    // Loaded sees the loading state and the values read.
    int Loads = 0;
    bool LoadingInLoaded = false;
    bool ReadingInLoaded = true;
    std::vector<std::string>* LoadLog = nullptr;
    void Loaded() override {
        LoadingInLoaded = GetComponentState().Contains(csLoading);
        ReadingInLoaded = GetComponentState().Contains(csReading);
        TComponent::Loaded();
        ++Loads;
        if (LoadLog) LoadLog->push_back(GetName());
    }
};

class TDerivedSample : public TSample {
public:
    using TSample::TSample;
    ZAN_CLASS(TDerivedSample)
    ZAN_PROPERTIES(TDerivedSample)
    std::string Extra;
};

// A setter that refuses some values, as the engine's setters do.
class TPicky : public TComponent {
public:
    using TComponent::TComponent;
    ZAN_CLASS(TPicky)
    ZAN_PROPERTIES(TPicky)
    int32_t Value = 1;
    void SetValue(int32_t v) {
        if (v == 13) throw EConvertError("13 is not allowed");
        Value = v;
    }
};

// Items that hold collections of their own kind, nested to any depth.
class TNodeItem : public TCollectionItem {
public:
    ZAN_CLASS(TNodeItem)
    ZAN_PROPERTIES(TNodeItem)
    TCollectionT<TNodeItem> Nodes;
    int32_t Weight = 0;
};

class TTree : public TComponent {
public:
    using TComponent::TComponent;
    ZAN_CLASS(TTree)
    ZAN_PROPERTIES(TTree)
    TCollectionT<TNodeItem> Nodes;
};

const TPropertyTable& TNodeItem::Properties() {
    static const TPropertyTable table =
        TPropertyTableOf<TNodeItem>("TNodeItem")
            .Integer(
                "Weight", [](TNodeItem& n) { return n.Weight; },
                [](TNodeItem& n, int32_t v) { n.Weight = v; }, 0)
            .Collection("Nodes", [](TNodeItem& n) { return &n.Nodes; });
    return table;
}

const TPropertyTable& TTree::Properties() {
    static const TPropertyTable table =
        TPropertyTableOf<TTree>("TTree").Collection("Nodes", [](TTree& t) { return &t.Nodes; });
    return table;
}

const TPropertyTable& TPartItem::Properties() {
    static const TPropertyTable table =
        TPropertyTableOf<TPartItem>("TPartItem")
            .Integer("Code", &TPartItem::GetCode, &TPartItem::SetCode);
    return table;
}

const TPropertyTable& TSampleItem::Properties() {
    static const TPropertyTable table =
        TPropertyTableOf<TSampleItem>("TSampleItem")
            .Integer("Size", &TSampleItem::GetSize, &TSampleItem::SetSize)
            .String("Label", &TSampleItem::GetLabel, &TSampleItem::SetLabel)
            .Boolean("Flag", &TSampleItem::GetFlag, &TSampleItem::SetFlag, false)
            .Collection("Parts", &TSampleItem::GetParts);
    return table;
}

template <auto Member>
auto Getter() {
    return [](TSample& s) { return s.*Member; };
}
template <auto Member>
auto Setter() {
    return [](TSample& s, auto v) { s.*Member = v; };
}

const TPropertyTable& TSample::Properties() {
    static const TPropertyTable table =
        TPropertyTableOf<TSample>("TSample")
            .Integer("Count", Getter<&TSample::Count>(), Setter<&TSample::Count>(), 0)
            .Integer("Big", Getter<&TSample::Big>(), Setter<&TSample::Big>())
            .Integer("Flags", Getter<&TSample::Flags>(), Setter<&TSample::Flags>(), 0)
            .Float("Ratio", Getter<&TSample::Ratio>(), Setter<&TSample::Ratio>())
            .Float("Stamp", Getter<&TSample::Stamp>(), Setter<&TSample::Stamp>(), std::nullopt)
            .String("Caption", Getter<&TSample::Caption>(), Setter<&TSample::Caption>())
            .String("Title", Getter<&TSample::Title>(), Setter<&TSample::Title>(), "untitled")
            .Boolean("Enabled", Getter<&TSample::Enabled>(), Setter<&TSample::Enabled>(), true)
            .Enumeration("Kind", Getter<&TSample::Kind>(), Setter<&TSample::Kind>(),
                         {"skFirst", "skSecond", "skThird"}, skFirst)
            .Set("Options", Getter<&TSample::Options>(), Setter<&TSample::Options>(),
                 {"opOne", "opTwo", "opThree"})
            .Collection("Items", [](TSample& s) { return &s.FItems; });
    return table;
}

const TPropertyTable& TDerivedSample::Properties() {
    static const TPropertyTable table =
        TPropertyTableOf<TDerivedSample>("TDerivedSample", &TSample::Properties())
            .String(
                "Extra", [](TDerivedSample& s) { return s.Extra; },
                [](TDerivedSample& s, const std::string& v) { s.Extra = v; });
    return table;
}

const TPropertyTable& TPicky::Properties() {
    static const TPropertyTable table = TPropertyTableOf<TPicky>("TPicky").Integer(
        "Value", [](TPicky& p) { return p.Value; }, &TPicky::SetValue);
    return table;
}

class ComponentText : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterComponentClass<TSample>("TSample");
        RegisterComponentClass<TDerivedSample>("TDerivedSample");
        RegisterComponentClass<TPicky>("TPicky");
    }
    void TearDown() override {
        UnregisterComponentClass("TSample");
        UnregisterComponentClass("TDerivedSample");
        UnregisterComponentClass("TPicky");
    }

    // A sample with every property away from its default, an item with nested parts and a child.
    static void Fill(TSample& s) {
        s.SetName("Main");
        s.Count = -7;
        s.Big = std::numeric_limits<int64_t>::min();
        s.Flags = 4294967295u;
        s.Ratio = 0.1;
        s.Stamp = 45123.75;
        s.Caption = "It's\r\n";
        s.Title = "";
        s.Enabled = false;
        s.Kind = skThird;
        s.Options = 0b101;
        TSampleItem* a = s.FItems.Add();
        a->SetSize(4);
        a->SetLabel("a");
        a->SetFlag(true);
        a->GetParts()->Add()->SetCode(9);
        a->GetParts()->Add()->SetCode(-1);
        s.FItems.Add()->SetSize(8);
        auto* child = new TPicky(&s);
        child->SetName("Child");
        child->Value = 42;
    }

    static void ExpectSame(const TSample& a, const TSample& b) {
        EXPECT_EQ(a.GetName(), b.GetName());
        EXPECT_EQ(a.Count, b.Count);
        EXPECT_EQ(a.Big, b.Big);
        EXPECT_EQ(a.Flags, b.Flags);
        EXPECT_EQ(std::bit_cast<uint64_t>(a.Ratio), std::bit_cast<uint64_t>(b.Ratio));
        EXPECT_EQ(std::bit_cast<uint64_t>(a.Stamp), std::bit_cast<uint64_t>(b.Stamp));
        EXPECT_EQ(a.Caption, b.Caption);
        EXPECT_EQ(a.Title, b.Title);
        EXPECT_EQ(a.Enabled, b.Enabled);
        EXPECT_EQ(a.Kind, b.Kind);
        EXPECT_EQ(a.Options, b.Options);
        ASSERT_EQ(a.FItems.Count(), b.FItems.Count());
        for (int i = 0; i < a.FItems.Count(); ++i) {
            TSampleItem* x = a.FItems.Items(i);
            TSampleItem* y = b.FItems.Items(i);
            EXPECT_EQ(x->GetSize(), y->GetSize());
            EXPECT_EQ(x->GetLabel(), y->GetLabel());
            EXPECT_EQ(x->GetFlag(), y->GetFlag());
            ASSERT_EQ(x->GetParts()->Count(), y->GetParts()->Count());
            for (int k = 0; k < x->GetParts()->Count(); ++k)
                EXPECT_EQ(x->GetParts()->Items(k)->GetCode(), y->GetParts()->Items(k)->GetCode());
        }
    }

    static std::string ErrorOf(const std::string& text) {
        TSample s;
        try {
            ReadComponentFromText(text, s);
        } catch (const EParserError& e) {
            return e.Message();
        }
        return "no error";
    }
};

TEST_F(ComponentText, WritesTheObjectTextLayout) {
    TSample s;
    Fill(s);
    EXPECT_EQ(ComponentToText(s), "object Main: TSample\n"
                                  "  Count = -7\n"
                                  "  Big = -9223372036854775808\n"
                                  "  Flags = 4294967295\n"
                                  "  Ratio = 0.1\n"
                                  "  Stamp = 45123.75\n"
                                  "  Caption = 'It''s'#13#10\n"
                                  "  Title = ''\n"
                                  "  Enabled = False\n"
                                  "  Kind = skThird\n"
                                  "  Options = [opOne, opThree]\n"
                                  "  Items = <\n"
                                  "    item\n"
                                  "      Size = 4\n"
                                  "      Label = 'a'\n"
                                  "      Flag = True\n"
                                  "      Parts = <\n"
                                  "        item\n"
                                  "          Code = 9\n"
                                  "        end\n"
                                  "        item\n"
                                  "          Code = -1\n"
                                  "        end>\n"
                                  "    end\n"
                                  "    item\n"
                                  "      Size = 8\n"
                                  "      Parts = <>\n"
                                  "    end>\n"
                                  "  object Child: TPicky\n"
                                  "    Value = 42\n"
                                  "  end\n"
                                  "end\n");
}

TEST_F(ComponentText, DefaultsAreOmittedAndPropertiesWithoutDefaultAlwaysWritten) {
    TSample s;
    // Big and Stamp have no declared default; an empty collection is still written.
    EXPECT_EQ(ComponentToText(s), "object TSample\n"
                                  "  Big = 0\n"
                                  "  Stamp = 0.0\n"
                                  "  Items = <>\n"
                                  "end\n");
    // -0.0 differs from the default 0.0 bit for bit and must survive.
    s.Ratio = -0.0;
    auto back = CreateComponentFromText(ComponentToText(s));
    EXPECT_TRUE(std::signbit(static_cast<TSample&>(*back).Ratio));
}

TEST_F(ComponentText, RoundTripIsExact) {
    TSample s;
    Fill(s);
    std::string text = ComponentToText(s);
    auto created = CreateComponentFromText(text);
    auto& copy = dynamic_cast<TSample&>(*created);
    ExpectSame(s, copy);
    ASSERT_EQ(copy.ComponentCount(), 1);
    EXPECT_EQ(dynamic_cast<TPicky&>(*copy.FindComponent("Child")).Value, 42);
    EXPECT_EQ(ComponentToText(copy), text);

    // Through a stream, into an existing object whose collection already holds items.
    TSample target;
    target.FItems.Add();
    target.FItems.Add();
    target.FItems.Add();
    TStringStream stream;
    WriteComponentText(stream, s);
    stream.SetPosition(0);
    ReadComponentText(stream, target);
    ExpectSame(s, target);
}

TEST_F(ComponentText, StringsKeepQuotesControlsAndBytes) {
    const std::string cases[] = {"''",
                                 "'",
                                 "a''b",
                                 std::string("\0x", 2),
                                 "\x7f",
                                 "tab\there",
                                 "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                                 "\xff\xfe",
                                 "\xc3",
                                 "\xe2\x82",
                                 "\xed\xa0\x80",
                                 "\xc0\xaf",
                                 std::string(5000, 'z')};
    for (const std::string& value : cases) {
        TSample s;
        s.Caption = value;
        std::string text = ComponentToText(s);
        TSample back;
        ReadComponentFromText(text, back);
        EXPECT_EQ(back.Caption, value) << text;
        // The text itself is valid UTF-8 with no control characters but line ends.
        for (char c : text)
            EXPECT_TRUE(static_cast<unsigned char>(c) >= 32 || c == '\n') << text;
    }
    TSample s;
    s.Caption = "\xc3\xa9\xff'";
    EXPECT_NE(ComponentToText(s).find("Caption = '\xc3\xa9'#255''''\n"), std::string::npos);
}

TEST_F(ComponentText, ReadsCrLfContinuationsAndAnyCase) {
    TSample s;
    ReadComponentFromText("OBJECT Main: tsample\r\n"
                          "  caption = 'first ' +\r\n"
                          "    'second'#65 + #66\r\n"
                          "  KIND = SKSECOND\r\n"
                          "  options = [OPTWO,opthree]\r\n"
                          "  enabled = true\r\n"
                          "  ratio = 5\r\n"
                          "  count = +12\r\n"
                          "END\r\n",
                          s);
    EXPECT_EQ(s.GetName(), "Main");
    EXPECT_EQ(s.Caption, "first secondAB");
    EXPECT_EQ(s.Kind, skSecond);
    EXPECT_EQ(s.Options, 0b110);
    EXPECT_TRUE(s.Enabled);
    EXPECT_EQ(s.Ratio, 5.0);
    EXPECT_EQ(s.Count, 12);
}

TEST_F(ComponentText, FloatsRoundTripBitForBit) {
    const double values[] = {0.1,
                             1.0 / 3.0,
                             -2.5e-310,
                             1e300,
                             45000.0,
                             123456789012345678.0,
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::lowest(),
                             std::numeric_limits<double>::denorm_min()};
    for (double v : values) {
        TSample s;
        s.Stamp = v;
        TSample back;
        ReadComponentFromText(ComponentToText(s), back);
        EXPECT_EQ(std::bit_cast<uint64_t>(back.Stamp), std::bit_cast<uint64_t>(v)) << v;
    }
    TSample s;
    s.Stamp = 45000.0;
    EXPECT_NE(ComponentToText(s).find("Stamp = 45000.0\n"), std::string::npos);
    s.Stamp = std::nan("");
    EXPECT_THROW(ComponentToText(s), EWriteError);
    s.Stamp = -std::numeric_limits<double>::infinity();
    EXPECT_THROW(ComponentToText(s), EWriteError);
}

TEST_F(ComponentText, UnwritableValuesRaiseWriteErrors) {
    TSample s;
    s.Kind = static_cast<TSampleKind>(7);
    EXPECT_THROW(ComponentToText(s), EWriteError);
    s.Kind = skFirst;
    s.Options = 0x80; // no element name for bit 7
    EXPECT_THROW(ComponentToText(s), EWriteError);
}

TEST_F(ComponentText, DerivedTablesWriteBasePropertiesFirst) {
    TDerivedSample d;
    d.Count = 3;
    d.Extra = "x";
    EXPECT_EQ(ComponentToText(d), "object TDerivedSample\n"
                                  "  Count = 3\n"
                                  "  Big = 0\n"
                                  "  Stamp = 0.0\n"
                                  "  Items = <>\n"
                                  "  Extra = 'x'\n"
                                  "end\n");
    // Text of the base class reads into the derived class, not the other way round.
    TDerivedSample back;
    ReadComponentFromText("object TSample\n Count = 5\nend\n", back);
    EXPECT_EQ(back.Count, 5);
    EXPECT_NE(ErrorOf("object TDerivedSample\nend\n").find("does not match"), std::string::npos);
    EXPECT_TRUE(TDerivedSample::Properties().InheritsFrom(&TSample::Properties()));
    EXPECT_NE(TDerivedSample::Properties().Find("count"), nullptr);
}

TEST_F(ComponentText, ChildrenAreCreatedOrFilledAndLoadedAfterReading) {
    std::vector<std::string> log;
    TSample root;
    root.LoadLog = &log;
    auto* existing = new TSample(&root);
    existing->SetName("Old");
    existing->LoadLog = &log;
    ReadComponentFromText("object Root: TSample\n"
                          "  Count = 1\n"
                          "  object Old: TSample\n"
                          "    Count = 2\n"
                          "    object Inner: TPicky\n"
                          "      Value = 3\n"
                          "    end\n"
                          "  end\n"
                          "  object New: TDerivedSample\n"
                          "    Extra = 'e'\n"
                          "  end\n"
                          "end\n",
                          root);
    EXPECT_EQ(root.Count, 1);
    EXPECT_EQ(existing->Count, 2);
    ASSERT_EQ(root.ComponentCount(), 2);
    EXPECT_EQ(root.Components(0), existing);
    auto* fresh = dynamic_cast<TDerivedSample*>(root.FindComponent("New"));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->Extra, "e");
    EXPECT_EQ(dynamic_cast<TPicky&>(*existing->FindComponent("Inner")).Value, 3);
    // Loaded once each, in reading order, while still loading and no longer reading.
    EXPECT_EQ(log, (std::vector<std::string>{"Root", "Old"}));
    EXPECT_EQ(fresh->Loads, 1);
    EXPECT_TRUE(root.LoadingInLoaded);
    EXPECT_FALSE(root.ReadingInLoaded);
    EXPECT_TRUE(root.GetComponentState().Empty());
    EXPECT_TRUE(fresh->GetComponentState().Empty());

    // The root takes the text's name, which its owner must accept.
    auto* sibling = new TSample(&root);
    try {
        ReadComponentFromText("object Old: TSample\nend\n", *sibling);
        ADD_FAILURE() << "no error";
    } catch (const EParserError& e) {
        EXPECT_EQ(e.Message(),
                  "Error reading component Old: A component named Old already exists on line 1");
    }
}

TEST_F(ComponentText, FailedReadFreesWhatItCreatedAndLeavesNoLoadingState) {
    TSample root;
    auto* existing = new TSample(&root);
    existing->SetName("Old");
    EXPECT_THROW(ReadComponentFromText("object Root: TSample\n"
                                       "  object Old: TSample\n"
                                       "    object A: TPicky\n"
                                       "      object B: TPicky\n"
                                       "      end\n"
                                       "    end\n"
                                       "  end\n"
                                       "  object C: TPicky\n"
                                       "    Value = 13\n"
                                       "  end\n"
                                       "end\n",
                                       root),
                 EParserError);
    ASSERT_EQ(root.ComponentCount(), 1);
    EXPECT_EQ(existing->ComponentCount(), 0);
    EXPECT_EQ(root.Loads, 0);
    EXPECT_TRUE(root.GetComponentState().Empty());
    EXPECT_TRUE(existing->GetComponentState().Empty());
    EXPECT_THROW(
        CreateComponentFromText("object X: TSample\n object Y: TPicky\n end\n Bad = 1\nend"),
        EParserError);
}

TEST_F(ComponentText, MalformedTextNamesTheLineAndWhatWasExpected) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "'object' expected but end of text found on line 1"},
        {"object TSample\n  Count = 1\n", "'end' expected but end of text found on line 3"},
        {"object TSample\n  Caption = 'open\nend", "Unterminated string on line 2"},
        {"object TSample\n  Caption = 'open", "Unterminated string on line 2"},
        {"object TSample\n\n  Nope = 1\nend", "Property TSample.Nope does not exist on line 3"},
        {"object TSample\n  Count 1\nend", "'=' expected but number 1 found on line 2"},
        {"object TSample\n  Count = 'x'\nend", "Integer expected but string found on line 2"},
        {"object TSample\n  Count = 1.5\nend", "Integer expected but number 1.5 found"},
        {"object TSample\n  Caption = 12\nend", "String expected but number 12 found"},
        {"object TSample\n  Enabled = Yes\nend", "True or False expected but 'Yes' found"},
        {"object TSample\n  Kind = skFourth\nend", "Invalid value skFourth for Kind on line 2"},
        {"object TSample\n  Options = [opOne opTwo]\nend", "']' expected but 'opTwo' found"},
        {"object TSample\n  Options = opOne\nend", "'[' expected"},
        {"object TSample\n  Count = 2147483648\nend", "Integer 2147483648 out of range"},
        {"object TSample\n  Flags = -1\nend", "Integer -1 out of range"},
        {"object TSample\n  Big = 99999999999999999999999\nend", "out of range for Big"},
        {"object TSample\n  Ratio = 1e999\nend", "Number 1e999 out of range on line 2"},
        {"object TSample\n  Ratio = 1.\nend", "Invalid number on line 2"},
        {"object TSample\n  Ratio = 12ab\nend", "Invalid number on line 2"},
        {"object TSample\n  Caption = #256\nend", "Invalid character code in string on line 2"},
        {"object TSample\n  Caption = #\nend", "Invalid character code in string on line 2"},
        {"object TSample\n  Caption = 'a' + 1\nend", "String expected after '+' on line 2"},
        {"object TSample\n  Items = <\n    Size = 1\n  >\nend", "'item' expected but 'Size'"},
        {"object TSample\n  Items = <\n    item\n      Size = 1\n", "'end' expected"},
        {"object TSample\n  Items = <item end\nend", "'item' expected but 'end' found on line 3"},
        {"object TSample\nend\nextra", "End of text expected but 'extra' found on line 3"},
        {"object TSample\n  \x01 = 1\nend", "Property name expected but character #1 found"},
        {"object TPicky\nend", "Class TPicky does not match"},
        {"object TSample\n  object X: TUnknown\n  end\nend", "Class TUnknown not found on line 2"},
        {"object 1: TSample\nend", "Class name expected but number 1 found"},
        {"object TSample\n  object A: TPicky\n  end\n  object a: TSample\n  end\nend",
         "Class TSample does not match the component's class TPicky on line 4"},
        {"object TSample\n  object P: TPicky\n    Value = 13\n  end\nend",
         "Error reading TPicky.Value: 13 is not allowed on line 3"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_NE(ErrorOf(text).find(expected), std::string::npos)
            << text << "\n  got: " << ErrorOf(text);
}

TEST_F(ComponentText, DeepNestingIsRefusedWithoutRecursingFurther) {
    std::string text;
    for (int i = 0; i < 100000; ++i)
        text += "object TSample\n";
    EXPECT_NE(ErrorOf(text).find("Objects nested too deeply on line 65"), std::string::npos);

    auto nested = [](int levels) {
        std::string t = "object TTree\n";
        for (int i = 0; i < levels; ++i)
            t += "Nodes = < item Weight = " + std::to_string(i) + "\n";
        t += "Nodes = <>\n";
        for (int i = 0; i < levels; ++i)
            t += "end >\n";
        return t + "end\n";
    };
    TTree tree;
    ReadComponentFromText(nested(20), tree);
    int depth = 0;
    for (TNodeItem* n = tree.Nodes.Count() ? tree.Nodes.Items(0) : nullptr; n;
         n = n->Nodes.Count() ? n->Nodes.Items(0) : nullptr)
        EXPECT_EQ(n->Weight, depth++);
    EXPECT_EQ(depth, 20);
    TTree copy;
    ReadComponentFromText(ComponentToText(tree), copy);
    EXPECT_EQ(ComponentToText(copy), ComponentToText(tree));
    try {
        ReadComponentFromText(nested(100000), tree);
        ADD_FAILURE() << "no error";
    } catch (const EParserError& e) {
        EXPECT_NE(e.Message().find("Objects nested too deeply on line 65"), std::string::npos)
            << e.Message();
    }
}

// The writer refuses what the reader would refuse, counting objects and items alike.
TEST_F(ComponentText, WriterAcceptsExactlyTheNestingTheReaderAccepts) {
    for (int levels : {63, 64}) {
        TPicky root, rootCopy; // the root and `levels` owned descendants, one inside the other
        TComponent* at = &root;
        for (int d = 0; d < levels; ++d)
            (at = new TPicky(at))->SetName("C" + std::to_string(d));
        TTree tree, treeCopy; // collection items `levels` deep
        TCollectionT<TNodeItem>* nodes = &tree.Nodes;
        for (int d = 0; d < levels; ++d)
            nodes = &nodes->Add()->Nodes;
        for (auto [written, copy] : {std::pair<TComponent*, TComponent*>{&root, &rootCopy},
                                     std::pair<TComponent*, TComponent*>{&tree, &treeCopy}}) {
            if (levels == 64) {
                EXPECT_THROW(ComponentToText(*written), EWriteError);
                continue;
            }
            std::string text = ComponentToText(*written);
            ReadComponentFromText(text, *copy);
            EXPECT_EQ(ComponentToText(*copy), text);
        }
    }
}

// Random damage to a valid text: every outcome is a clean read or an EParserError.
TEST_F(ComponentText, MutatedTextGivesOnlyCleanErrors) {
    TSample s;
    Fill(s);
    const std::string valid = ComponentToText(s);
    const std::string alphabet = "'#+=<>[],:-.0123456789eE \n\r\x01\x80\xff"
                                 "objectenditem";
    std::mt19937 rng(20240611);
    int parsed = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string text = valid;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            size_t pos = rng() % text.size();
            switch (rng() % 5) {
            case 0:
                text[pos] = alphabet[rng() % alphabet.size()];
                break;
            case 1:
                text.insert(pos, 1, alphabet[rng() % alphabet.size()]);
                break;
            case 2:
                text.erase(pos, 1 + rng() % 8);
                break;
            case 3:
                text.insert(pos, text.substr(rng() % text.size(), rng() % 40));
                break;
            default:
                text[pos] = static_cast<char>(rng() % 256);
                break;
            }
        }
        try {
            if (round % 2)
                CreateComponentFromText(text);
            else {
                TSample target;
                ReadComponentFromText(text, target);
                EXPECT_TRUE(target.GetComponentState().Empty());
            }
            ++parsed;
        } catch (const EParserError&) {
        }
    }
    EXPECT_GT(parsed, 0);
}

} // namespace

namespace {

class TVariantSample : public TComponent {
public:
    explicit TVariantSample(TComponent* owner = nullptr) : TComponent(owner) {}
    ZAN_CLASS(TVariantSample)
    ZAN_PROPERTIES(TVariantSample)
    Variant Value;
    TCollectionT<TPartItem> Parts;
};

const TPropertyTable& TVariantSample::Properties() {
    using T = TVariantSample;
    static const TPropertyTable table =
        TPropertyTableOf<T>("TVariantSample")
            .VariantValue(
                "Value", [](T& s) { return s.Value; }, [](T& s, const Variant& v) { s.Value = v; })
            .Collection("Parts", [](T& s) -> TCollection* { return &s.Parts; })
            .StoredIf([](T& s) { return s.Parts.Count() > 0; });
    return table;
}

} // namespace

TEST(ComponentTextValues, VariantValuesByKindAndAStoredTest) {
    struct TCase {
        Variant Value;
        std::string Line; // empty: not written
        TVarType ReadType;
    };
    const TCase cases[] = {
        {Variant(), "", varEmpty},
        {Null(), "Null", varNull},
        {Variant(false), "False", varBoolean},
        {Variant(int16_t{-5}), "-5", varInteger},
        {Variant(int64_t{1} << 40), "1099511627776", varInt64},
        {Variant(0.1), "0.1", varDouble},
        {Variant(Currency::FromScaled(123456)), "12.3456", varDouble},
        {VarFromDateTime(45000.5), "45000.5", varDouble},
        {Variant("it's\n\xC3\xA9"), "'it''s'#10'\xC3\xA9'", varString},
    };
    for (const TCase& c : cases) {
        TVariantSample s;
        s.Value = c.Value;
        const std::string text = ComponentToText(s);
        const std::string expected = "object TVariantSample\n" +
                                     (c.Line.empty() ? "" : "  Value = " + c.Line + "\n") + "end\n";
        EXPECT_EQ(text, expected);
        TVariantSample r;
        ReadComponentFromText(text, r);
        EXPECT_EQ(VarType(r.Value), c.ReadType) << c.Line;
        if (c.ReadType == varDouble) {
            EXPECT_EQ(r.Value.AsDouble(), c.Value.AsDouble()) << c.Line;
        } else if (c.ReadType != varEmpty && c.ReadType != varNull) {
            EXPECT_EQ(r.Value.AsString(), c.Value.AsString()) << c.Line;
        }
    }
    TVariantSample s;
    s.Value = VarArrayOf({Variant(1)});
    EXPECT_THROW(ComponentToText(s), EWriteError);
    s.Value = Variant(std::numeric_limits<double>::infinity());
    EXPECT_THROW(ComponentToText(s), EWriteError);
    // The stored test decides, not the collection's emptiness alone.
    s.Value = Variant();
    s.Parts.Add()->SetCode(3);
    EXPECT_EQ(ComponentToText(s),
              "object TVariantSample\n  Parts = <\n    item\n      Code = 3\n    end>\nend\n");
}
