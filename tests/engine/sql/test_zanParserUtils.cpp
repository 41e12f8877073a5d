// Expression tree and table list.
#include <gtest/gtest.h>

#include <string>

#include "engine/sql/zanParserUtils.h"
#include "support/zanTestSupport.h"

using namespace zan;

namespace {

std::string Dump(const TZanExpr& e) {
    TStringList lines;
    e.Display(lines);
    std::string out;
    for (int i = 0; i < lines.Count(); ++i)
        out += lines[i] + "\n";
    return out;
}

// Builds "a = 1" by hand from pre-parsed tokens, as the expression parser does.
struct AEqualsOne {
    TZanPreParser pre;
    TZanExpr expr;
    TZanExprNode *field, *constant, *root;
    AEqualsOne() {
        pre.SetText("a = 1");
        pre.SetParseSingleStack(true);
        pre.PreParseTokens();
        TParserStack& s = *pre.GetSingleStack();
        field = expr.NewFieldNode(enkField, zeoFIELD2, "a", nullptr, nullptr, s.PeekAt(0),
                                  ftInteger, 4);
        constant =
            expr.NewFieldNode(enkConst, zeoCONST2, 1.0, nullptr, nullptr, s.PeekAt(2), ftFloat, 8);
        root = expr.NewFieldNode(enkRelOperator, zeoEQ, Unassigned(), field, constant, s.PeekAt(1),
                                 ftBoolean, -1);
    }
};

TEST(ExprTree, HandBuiltComparison) {
    AEqualsOne t;
    EXPECT_EQ(t.expr.GetNodeCount(), 3);
    EXPECT_EQ(t.expr.GetRootNode(), t.root);
    EXPECT_EQ(t.root->OriginalOperator, zeoEQ);
    EXPECT_EQ(t.root->PartialLength, -1);
    EXPECT_EQ(Dump(t.expr), " enField zeoFIELD2 zstFieldName 'a' ftInteger 4\n"
                            "enkRelOperator zeoEQ zstCompOperator '=' ftBoolean -1\n"
                            " enConst zeoCONST2 zstNumber '1' ftFloat 8\n");
    EXPECT_EQ(t.expr.ExtractParsedText(t.root), "a = 1");
    EXPECT_TRUE(t.expr.ExprContainsField("A"));
    EXPECT_FALSE(t.expr.ExprContainsField("b"));
    EXPECT_TRUE(t.expr.ExprContainsToken(zstNumber));
    EXPECT_EQ(t.expr.FindNodeWithToken(zstFieldName), t.field);
    EXPECT_EQ(t.expr.FindNodeWithToken(zstAnd), nullptr);

    // SetAsFirstNode: foreign and nullptr nodes change nothing.
    TZanExpr other;
    TZanExprNode* foreign = other.NewNode(enkConst, zeoCONST2, 2, nullptr, nullptr, nullptr);
    t.expr.SetAsFirstNode(foreign);
    t.expr.SetAsFirstNode(nullptr);
    EXPECT_EQ(t.expr.GetRootNode(), t.root);
    t.expr.SetAsFirstNode(t.constant);
    EXPECT_EQ(t.expr.GetRootNode(), t.constant);
    EXPECT_EQ(t.expr.GetNodeCount(), 3);
}

TEST(ExprTree, CloneAndEquivalence) {
    AEqualsOne t;
    t.root->Args.push_back(t.constant);
    t.root->TableList.Add()->SetTableName("t");
    TZanExpr copy;
    TZanExprNode* root = copy.CloneFromTree(t.root);
    EXPECT_EQ(copy.GetRootNode(), root);
    EXPECT_EQ(copy.GetNodeCount(), 4); // the argument is copied on its own
    EXPECT_NE(root->Left, t.field);
    EXPECT_EQ(Dump(copy), Dump(t.expr));
    EXPECT_TRUE(root->AreNodesEquivalent(t.root));
    EXPECT_EQ(copy.ExtractParsedText(root), "a = 1");

    // Left and Right are not compared; Data's type is.
    root->Left = nullptr;
    EXPECT_TRUE(root->AreNodesEquivalent(t.root));
    EXPECT_FALSE(root->AreNodesEquivalent(nullptr));
    root->Args[0]->Data = Variant(int16_t{1});
    EXPECT_FALSE(root->AreNodesEquivalent(t.root));
    root->Args[0]->Data = 1.0;
    root->TableList.Items(0)->SetTableName("u");
    EXPECT_FALSE(root->AreNodesEquivalent(t.root));

    // CloneNode copies one level of arguments.
    TZanExprNode* one = t.root->CloneNode(t.expr);
    EXPECT_EQ(t.expr.GetNodeCount(), 5);
    EXPECT_NE(one->Args[0], t.constant);
    EXPECT_EQ(one->Left, t.field);
    EXPECT_TRUE(one->AreNodesEquivalent(t.root));
}

TEST(ExprTree, ResetSpecifiedNodes) {
    TZanExpr e;
    TParserToken agg{1, 1, zstAggFunc, zstSelect, "SUM", zafSum, "SUM"};
    TZanExprNode* a = e.NewNode(enkFunc, zeoSUM, "SUM", nullptr, nullptr, &agg);
    TZanExprNode* b = e.NewNode(enkFunc, zeoCOUNT, "COUNT", nullptr, nullptr, &agg);
    e.NewNode(enkArithOperator, zeoADD, Unassigned(), a, b, nullptr);
    e.ResetSpecifiedNodes(zstAggFunc, zstValue, enkConst, zeoCONST2, 42);
    for (TZanExprNode* n : {a, b}) {
        EXPECT_EQ(n->ParserToken.Token, zstValue);
        EXPECT_EQ(n->Kind, enkConst);
        EXPECT_EQ(n->Operator, zeoCONST2);
        EXPECT_TRUE(n->Data == Variant(42));
    }
    EXPECT_FALSE(e.ExprContainsToken(zstAggFunc));
    EXPECT_EQ(
        ErrorCodeOf([&] { e.ResetSpecifiedNodes(zstValue, zstValue, enkConst, zeoCONST2, 1); }),
        8581);
}

TEST(ExprTree, SetAndConvertDataType) {
    struct Case {
        Variant value;
        TFieldType type;
        bool ok;
        Variant expected;
        int32_t size;
    } cases[] = {
        {12, ftString, true, "12", 2},
        {2.5, ftString, true, "2.5", 3},
        {"7", ftInteger, true, 7, -1},
        {2.0, ftSmallint, true, 2, -1},
        {"abc", ftInteger, false, "abc", -1},
        {"1e400", ftFloat, false, "1e400", -1},
        {"2.5", ftFloat, true, 2.5, -1},
        {"true", ftBoolean, true, true, -1},
        {"maybe", ftBoolean, false, "maybe", -1},
        {"1.25", ftCurrency, true, Currency::FromScaled(12500), -1},
        {"2024-02-29", ftDate, true, VarFromDateTime(EncodeDate(2024, 2, 29)), -1},
        {"2024-02-30", ftDate, false, "2024-02-30", -1},
        {"2024-02-29 13:30", ftDateTime, true,
         VarFromDateTime(EncodeDateTime(2024, 2, 29, 13, 30, 0, 0)), -1},
        {"2024-02-29 25:00", ftDateTime, false, "2024-02-29 25:00", -1},
        {"", ftDate, true, Null(), -1},
        {45000, ftDate, true, VarFromDateTime(45000), -1},
        // Dates outside 0001-01-01..9999-12-31 have no text: refused.
        {MinDateTime, ftDate, true, VarFromDateTime(MinDateTime), -1},
        {MaxDateTime, ftDateTime, true, VarFromDateTime(MaxDateTime), -1},
        {MinDateTime - 1, ftDate, false, MinDateTime - 1, -1},
        {2958466.0, ftDateTime, false, 2958466.0, -1},
        {1e300, ftDate, false, 1e300, -1},
        {true, ftDate, false, true, -1},
        {"12:00", ftTime, true, "12:00", -1}, // left as it is
        {5, ftWord, true, 5, -1},
        {Null(), ftInteger, true, Null(), -1},
    };
    for (const auto& c : cases) {
        TZanExprNode n;
        n.Data = c.value;
        EXPECT_EQ(n.SetAndConvertDataType(c.type), c.ok) << VarToStr(c.value);
        EXPECT_EQ(n.DataType, c.type);
        EXPECT_TRUE(n.Data == c.expected) << VarToStr(c.value) << " -> " << VarToStr(n.Data);
        EXPECT_EQ(n.DataSize, c.size) << VarToStr(c.value);
    }
}

// Trees far deeper than any stack: a left-leaning chain of additions ("a+a+...+a", as the
// parser builds it) and a chain of functions each holding the next as its argument.
TEST(ExprTree, DeepTreesNeedNoRecursion) {
    constexpr int C_DEPTH = 100000;
    TParserToken a{1, 1, zstFieldName, zstSelect, "a", 0, "a"};
    TParserToken plus{1, 1, zstAdd, zstSelect, "+", 0, "+"};
    TZanExpr e;
    TZanExprNode* sum = e.NewNode(enkField, zeoNOTDEFINED, "a", nullptr, nullptr, &a);
    for (int i = 0; i < C_DEPTH; ++i) {
        TZanExprNode* leaf = e.NewNode(enkField, zeoNOTDEFINED, "a", nullptr, nullptr, &a);
        sum = e.NewNode(enkArithOperator, zeoADD, Unassigned(), sum, leaf, &plus);
    }
    TZanExprNode* call = e.NewNode(enkField, zeoNOTDEFINED, "a", nullptr, nullptr, &a);
    for (int i = 0; i < C_DEPTH; ++i) {
        TZanExprNode* outer = e.NewNode(enkFunc, zeoFUNC2, "UPPER", nullptr, nullptr, &a);
        outer->Args.push_back(call);
        call = outer;
    }
    std::string text = "a";
    for (int i = 0; i < C_DEPTH; ++i)
        text += "+a";
    EXPECT_EQ(e.ExtractParsedText(sum), text);

    TZanExpr copy;
    TZanExprNode* sumCopy = copy.CloneSubTree(sum);
    TZanExprNode* callCopy = copy.CloneSubTree(call);
    EXPECT_EQ(copy.GetNodeCount(), e.GetNodeCount());
    EXPECT_EQ(copy.ExtractParsedText(sumCopy), e.ExtractParsedText(sum));
    int depth = 0;
    for (const TZanExprNode* n = sumCopy; n->Left; n = n->Left, ++depth)
        ASSERT_TRUE(n->Right && !n->Right->Left && n != sum);
    EXPECT_EQ(depth, C_DEPTH);
    depth = 0;
    for (const TZanExprNode* n = callCopy; !n->Args.empty(); n = n->Args[0], ++depth)
        ASSERT_EQ(n->Args.size(), 1u);
    EXPECT_EQ(depth, C_DEPTH);

    // The trace: one line per node (and two per argument list); indentation stops growing.
    TStringList lines;
    TZanExprNode::DisplayExprTree("", sum, lines);
    ASSERT_EQ(lines.Count(), 2 * C_DEPTH + 1);
    EXPECT_EQ(lines[0].find_first_not_of(' '), 100u); // the deepest leaf
    EXPECT_EQ(lines[lines.Count() - 2].find_first_not_of(' '), 0u); // the root
    lines.Clear();
    TZanExprNode::DisplayExprTree(">", call, lines);
    EXPECT_EQ(lines.Count(), 3 * C_DEPTH + 1);
    EXPECT_EQ(lines[1], ">Start Args");
    EXPECT_EQ(lines[lines.Count() - 1], ">End Args");
}

void Layout(TInternalFields& fields) {
    TInternalFieldItem* name = fields.Add();
    name->SetFieldName("Name");
    name->SetDataType(ftString);
    name->SetFieldSize(21);
    name->SetIsVariable(true);
    TInternalFieldItem* id = fields.Add();
    id->SetFieldName("Id");
    id->SetDataType(ftInteger);
}

TEST(TableList, FindAndMerge) {
    TTableList list;
    const auto add = [&](const char* table, const char* alias) {
        TTableNameItem* item = list.Add();
        item->SetTableName(table);
        item->SetCorrelationName(alias);
        return item;
    };
    TTableNameItem* emp = add("emp", "e");
    TInternalFields fields;
    Layout(fields);
    emp->SetTableFields(&fields);
    EXPECT_EQ(list.FindTable(""), emp); // one item: the empty name finds it
    TTableNameItem* dept = add("dept", "");
    TTableNameItem* emp2 = add("EMP", "x");
    EXPECT_EQ(list.FindTable(""), dept);    // empty correlation name matches
    EXPECT_EQ(list.FindTable("emp"), emp2); // last wins
    EXPECT_EQ(list.FindTable("E"), emp);
    // An unaliased table's name wins over an aliased table of the same name.
    TTableNameItem* emp3 = add("emp", "");
    add("emp", "y");
    EXPECT_EQ(list.FindTable("EMP"), emp3);
    EXPECT_EQ(list.FindTable("y"), list.Last());
    list.Delete(list.Count() - 1);
    list.Delete(list.Count() - 1);
    EXPECT_EQ(list.FindTable("nope"), nullptr);
    EXPECT_EQ(list.FindTableName("x"), nullptr);
    EXPECT_EQ(list.FindTableAndCorrelationName("emp", "E"), emp);
    EXPECT_EQ(list.FindTableForField("id"), emp);
    EXPECT_EQ(list.FindTableForField("salary"), nullptr);
    EXPECT_EQ(list.Last(), emp2);

    EXPECT_EQ(emp->GetFieldType("name"), ftString);
    EXPECT_EQ(emp->GetFieldType("x"), ftUnknown);
    EXPECT_EQ(emp->GetFieldSize("Name"), 20); // variable: writable size
    EXPECT_EQ(emp->GetFieldSize("Id"), 4);
    EXPECT_EQ(emp->GetFieldSize("x"), 0);

    TTableList other;
    other.Add()->SetTableName("EMP");
    other.Items(0)->SetCorrelationName("E");
    other.Add()->SetTableName("proj");
    TTableList merged;
    merged.MergeLists(list, other);
    ASSERT_EQ(merged.Count(), 4);
    EXPECT_EQ(merged.Items(3)->GetTableName(), "proj");
    EXPECT_EQ(merged.Items(0)->GetFieldType("Id"), ftInteger); // layouts are copied
    merged.MergeLists(merged, merged);
    EXPECT_EQ(merged.Count(), 4);
    TTableList empty;
    EXPECT_EQ(empty.Last(), nullptr);
    EXPECT_EQ(empty.FindTable(""), nullptr);
}

} // namespace
