#include <gtest/gtest.h>

#include <cmath>

#include "setup/wizard/VisualWidgets.h"

using namespace zan;

TEST(Backdrop, BandsOfEachDirection) {
    // 100 px high bdUp: 256 steps, the empty bands left out, start colour on top.
    auto up = GradientBands(bdUp, 16711680, 0, 50, 100);
    EXPECT_EQ(up.size(), 100u);
    // Band 0 (0 to 0.39 px) and band 255 are empty: the first drawn is step 1.
    EXPECT_EQ(up.front(), (TGradientBand{{0, 0, 50, 1}, RGBColor(0, 0, 254)}));
    EXPECT_EQ(up.back(), (TGradientBand{{0, 99, 50, 100}, RGBColor(0, 0, 1)}));
    int covered = 0;
    for (const auto& b : up) covered += b.Rect.Height();
    EXPECT_EQ(covered, 100);
    // 768 px: every band is 3 px, colours step by one.
    auto tall = GradientBands(bdUp, 16711680, 0, 1024, 768);
    ASSERT_EQ(tall.size(), 256u);
    EXPECT_EQ(tall[1], (TGradientBand{{0, 3, 1024, 6}, RGBColor(0, 0, 254)}));

    struct Row {
        TDirection D;
        TColor Top;     // colour of the first band
        bool Vertical;  // bands across the width
        bool Mirrored;  // the first band's colour also ends the other edge
    };
    const TColor S = 16711680, E = 0;
    const Row rows[] = {{bdUp, S, false, false},    {bdDown, E, false, false},
                        {bdLeft, S, true, false},   {bdRight, E, true, false},
                        {bdHorzIn, E, false, true}, {bdHorzOut, S, false, true},
                        {bdVertIn, S, true, true},  {bdVertOut, E, true, true}};
    for (const Row& r : rows) {
        auto bands = GradientBands(r.D, S, E, 512, 512);
        ASSERT_EQ(bands.size(), 256u) << r.D;
        EXPECT_EQ(bands[0].Color, r.Top) << r.D;
        EXPECT_EQ(bands[0].Rect, r.Vertical ? (TRect{0, 0, 2, 512}) : (TRect{0, 0, 512, 2})) << r.D;
        if (r.Mirrored) {
            EXPECT_EQ(bands[1].Color, r.Top) << r.D;
            EXPECT_EQ(r.Vertical ? bands[1].Rect.Left : bands[1].Rect.Top, 510) << r.D;
            EXPECT_EQ(bands[254].Color, bands[255].Color) << r.D;
        } else {
            EXPECT_EQ(bands[255].Color, r.Top == S ? E : S) << r.D;
        }
    }
    EXPECT_TRUE(GradientBands(bdUp, S, E, 0, 100).empty());
    // System colours are resolved first.
    EXPECT_EQ(GradientBands(bdUp, clBtnFace, 0, 10, 256)[0].Color, RGBColor(212, 208, 200));
}

TEST(Backdrop, CurrentInstanceAndRepaintOnChange) {
    auto* first = new TBackdrop(nullptr);
    TBackdrop second(nullptr);
    EXPECT_EQ(TBackdrop::Current(), first);
    EXPECT_EQ(first->GetTag(), -1);
    second.SetTag(-1);
    EXPECT_EQ(TBackdrop::Current(), &second);
    EXPECT_EQ(first->GetTag(), 0);
    delete first;
    TRecordingCanvas canvas;
    second.SetBounds(0, 0, 4, 256);
    second.Paint(canvas);
    EXPECT_EQ(canvas.Ops.size(), 256u);
    EXPECT_EQ(canvas.Ops[0], "fill 0,0,4,1 #0000FF");
}

TEST(RotatedLabel, TextOriginForAlignmentsAndAngles) {
    struct Row {
        TAlignment A;
        int Angle;
        TPoint P;
    };
    // Label 200 x 100, text 60 x 13.
    const Row rows[] = {{taLeftJustify, 0, {0, 44}},   {taRightJustify, 0, {140, 44}},
                        {taCenter, 0, {70, 44}},       {taLeftJustify, 90, {0, 80}},
                        {taCenter, 90, {94, 80}},      {taRightJustify, 90, {140, 80}},
                        {taCenter, 45, {74, 66}},      {taLeftJustify, 45, {0, 66}}};
    for (const Row& r : rows) {
        double a = r.Angle * M_PI / 180;
        EXPECT_EQ(RotatedTextOrigin(r.A, 200, 100, 60, 13, std::cos(a), std::sin(a)), r.P)
            << r.A << " at " << r.Angle;
    }
    auto corners = RotatedBackground(200, 100, 60, 13, 0, 1);
    EXPECT_EQ(corners, (std::vector<TPoint>{{90, 85}, {90, 15}, {110, 15}, {110, 85}}));
}

TEST(RotatedLabel, StyleRulesAndDrawOrder) {
    TLabelStyle s;
    int changes = 0;
    s.OnChange = [&] { ++changes; };
    s.SetAngle(400);
    EXPECT_EQ(s.GetAngle(), 0);
    s.SetAShadeLeftTop(clBlue); // ignored while AShadeLTSet
    EXPECT_EQ(s.GetAShadeLeftTop(), clWhite);
    s.SetAShadeLTSet(false);
    s.SetAShadeLeftTop(clBlue);
    s.SetAShadeLTSet(true);
    EXPECT_EQ(s.GetAShadeLeftTop(), clWhite);
    s.SetAShadeLTSet(false);
    EXPECT_EQ(s.GetAShadeLeftTop(), clBlue);
    changes = 0;
    s.SetAHShadeOffSet(7); // no repaint unless shadowed
    EXPECT_EQ(changes, 0);
    s.SetAStyle3D(A3dShadowed);
    s.SetAVShadeOffSet(3);
    EXPECT_EQ(changes, 2);

    const TColor F = 0x123456, LT = clWhite, RB = 8421504;
    TLabelStyle d;
    struct Row {
        T3DEffectShort Style;
        std::vector<TTextDraw> Draws;
    };
    const Row rows[] = {{A3dNormal, {{0, 0, F}}},
                        {A3dResit, {{1, 1, LT}, {-1, -1, RB}, {0, 0, F}}},
                        {A3dRaised, {{-1, -1, LT}, {1, 1, RB}, {0, 0, F}}},
                        {A3dShadowed, {{5, -5, RB}, {0, 0, F}}}};
    for (const Row& r : rows) {
        d.SetAStyle3D(r.Style);
        EXPECT_EQ(LabelDraws(d, F), r.Draws) << r.Style;
    }
}

TEST(RotatedLabel, PaintReplaysOnCanvas) {
    TRotate3DLabel label(nullptr);
    label.Caption = "Orvex";
    label.SetBounds(0, 0, 200, 100);
    label.Font.Color = 0x00FFFF;
    label.LabelStyle.SetAngle(90);
    TRecordingCanvas canvas;
    label.Paint(canvas);
    // tw 30, th 13 (headless metrics): x 0, y 15 + 50 - 0.
    EXPECT_EQ(canvas.Ops, (std::vector<std::string>{"text -1,64 a=90 #FFFFFF Orvex",
                                                    "text 1,66 a=90 #808080 Orvex",
                                                    "text 0,65 a=90 #FFFF00 Orvex"}));
    label.MyTransparent = false;
    label.Color = clWhite;
    canvas.Ops.clear();
    label.Paint(canvas);
    EXPECT_EQ(label.LabelStyle.GetAStyle3D(), A3dNormal);
    ASSERT_EQ(canvas.Ops.size(), 2u);
    EXPECT_EQ(canvas.Ops[0].rfind("polygon", 0), 0u);
}
