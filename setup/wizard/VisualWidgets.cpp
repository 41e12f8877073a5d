#include "setup/wizard/VisualWidgets.h"

#include <cmath>

#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

TBackdrop* gCurrentBackdrop = nullptr;
TRotate3DLabel* gCurrentLabel = nullptr;

int Nearest(double v) { return static_cast<int>(Round(v)); }

} // namespace

std::vector<TGradientBand> GradientBands(TDirection direction, TColor startColor, TColor endColor,
                                         int width, int height) {
    struct Row {
        bool StartFirst, Mirrored, Horizontal;
    };
    static const Row rows[] = {{true, false, true},  {false, false, true}, {true, false, false},
                               {false, false, false}, {false, true, true},  {true, true, true},
                               {true, true, false},  {false, true, false}};
    const Row& row = rows[direction];
    TColor a = ColorToRGB(row.StartFirst ? startColor : endColor);
    TColor b = ColorToRGB(row.StartFirst ? endColor : startColor);
    int d = row.Mirrored ? 127 : 255;
    int size = row.Horizontal ? height : width;
    std::vector<TGradientBand> bands;
    if (width <= 0 || height <= 0) return bands;
    auto band = [&](int n, TColor color) {
        int from = MulDiv(n, size, 256), to = MulDiv(n + 1, size, 256);
        if (to <= from) return;
        TRect r = row.Horizontal ? TRect{0, from, width, to} : TRect{from, 0, to, height};
        bands.push_back({r, color});
    };
    for (int n = 0; n <= d; ++n) {
        TColor c = RGBColor(GetRValue(a) + MulDiv(n, GetRValue(b) - GetRValue(a), d),
                            GetGValue(a) + MulDiv(n, GetGValue(b) - GetGValue(a), d),
                            GetBValue(a) + MulDiv(n, GetBValue(b) - GetBValue(a), d));
        band(n, c);
        if (row.Mirrored) band(255 - n, c);
    }
    return bands;
}

TBackdrop::TBackdrop(TComponent* owner) : TPanel(owner) {
    Align = alClient;
    BevelOuter = bvNone;
    if (!gCurrentBackdrop) SetTag(-1);
}

TBackdrop::~TBackdrop() {
    if (gCurrentBackdrop == this) gCurrentBackdrop = nullptr;
}

void TBackdrop::SetDirection(TDirection value) { Change(FDirection, value); }

void TBackdrop::SetStartColor(TColor value) { Change(FStartColor, value); }

void TBackdrop::SetEndColor(TColor value) { Change(FEndColor, value); }

void TBackdrop::SetTag(intptr_t tag) {
    if (tag == -1) {
        if (gCurrentBackdrop && gCurrentBackdrop != this) gCurrentBackdrop->TComponent::SetTag(0);
        gCurrentBackdrop = this;
    } else if (gCurrentBackdrop == this) {
        gCurrentBackdrop = nullptr;
    }
    TComponent::SetTag(tag);
}

TBackdrop* TBackdrop::Current() { return gCurrentBackdrop; }

void TBackdrop::Paint(TCanvas& canvas) {
    ++Paints;
    for (const TGradientBand& b : GradientBands(FDirection, FStartColor, FEndColor, Width, Height)) {
        canvas.BrushColor = b.Color;
        canvas.FillRect(b.Rect);
    }
}

void TLabelStyle::Change() {
    if (OnChange) OnChange();
}

void TLabelStyle::SetAngle(int value) {
    if (value < 0 || value > 359) value = 0;
    if (value == FAngle) return;
    FAngle = value;
    Change();
}

void TLabelStyle::SetAStyle3D(T3DEffectShort value) {
    if (value == FStyle) return;
    FStyle = value;
    Change();
}

void TLabelStyle::SetAShadeRightBottom(TColor value) {
    if (value == FShadeRB) return;
    FShadeRB = value;
    Change();
}

void TLabelStyle::SetAShadeLeftTop(TColor value) {
    if (FLTSet || value == FShadeLT) return;
    FShadeLT = value;
    Change();
}

void TLabelStyle::SetAShadeLTSet(bool value) {
    if (value == FLTSet) return;
    FLTSet = value;
    if (value) {
        FSavedLT = FShadeLT;
        FShadeLT = clWhite;
    } else {
        FShadeLT = FSavedLT;
    }
    Change();
}

void TLabelStyle::SetAHShadeOffSet(int value) {
    if (value == FHOffset) return;
    FHOffset = value;
    if (FStyle == A3dShadowed) Change();
}

void TLabelStyle::SetAVShadeOffSet(int value) {
    if (value == FVOffset) return;
    FVOffset = value;
    if (FStyle == A3dShadowed) Change();
}

TPoint RotatedTextOrigin(TAlignment alignment, int labelWidth, int labelHeight, int textWidth,
                         int textHeight, double cosA, double sinA) {
    int x;
    if (alignment == taLeftJustify) x = 0;
    else if (alignment == taRightJustify) x = labelWidth - textWidth;
    else x = labelWidth / 2 - Nearest(textWidth / 2.0 * cosA) - Nearest(textHeight / 2.0 * sinA);
    int y = Nearest(textWidth / 2.0 * sinA) + labelHeight / 2 - Nearest(textHeight / 2.0 * cosA);
    return {x, y};
}

std::vector<TPoint> RotatedBackground(int labelWidth, int labelHeight, int textWidth,
                                      int textHeight, double cosA, double sinA) {
    double cx = labelWidth / 2.0, cy = labelHeight / 2.0;
    double hw = (textWidth + 10) / 2.0, hh = (textHeight + 7) / 2.0;
    std::vector<TPoint> corners;
    for (auto [dx, dy] : {std::pair{-hw, -hh}, {hw, -hh}, {hw, hh}, {-hw, hh}})
        corners.push_back({Nearest(cx + dx * cosA + dy * sinA), Nearest(cy - dx * sinA + dy * cosA)});
    return corners;
}

std::vector<TTextDraw> LabelDraws(const TLabelStyle& style, TColor fontColor) {
    std::vector<TTextDraw> draws;
    TColor lt = style.GetAShadeLeftTop(), rb = style.GetAShadeRightBottom();
    switch (style.GetAStyle3D()) {
    case A3dResit: draws = {{1, 1, lt}, {-1, -1, rb}}; break;
    case A3dRaised: draws = {{-1, -1, lt}, {1, 1, rb}}; break;
    case A3dShadowed: draws = {{style.GetAHShadeOffSet(), style.GetAVShadeOffSet(), rb}}; break;
    default: break;
    }
    draws.push_back({0, 0, fontColor});
    return draws;
}

TRotate3DLabel::TRotate3DLabel(TComponent* owner) : TControl(owner) {
    Font.Name = "Arial";
    Font.Style = fsBold;
    LabelStyle.OnChange = [this] { Invalidate(); };
    if (!gCurrentLabel) SetTag(-1);
}

TRotate3DLabel::~TRotate3DLabel() {
    if (gCurrentLabel == this) gCurrentLabel = nullptr;
}

void TRotate3DLabel::SetTag(intptr_t tag) {
    if (tag == -1) {
        if (gCurrentLabel && gCurrentLabel != this) gCurrentLabel->TComponent::SetTag(0);
        gCurrentLabel = this;
    } else if (gCurrentLabel == this) {
        gCurrentLabel = nullptr;
    }
    TComponent::SetTag(tag);
}

TRotate3DLabel* TRotate3DLabel::Current() { return gCurrentLabel; }

void TRotate3DLabel::Paint(TCanvas& canvas) {
    double a = LabelStyle.GetAngle() * M_PI / 180.0;
    FCos = std::cos(a);
    FSin = std::sin(a);
    canvas.Font = Font;
    canvas.Angle = 0;
    int tw = canvas.TextWidth(Caption), th = canvas.TextHeight(Caption);
    if (!MyTransparent) {
        LabelStyle.SetAStyle3D(A3dNormal);
        canvas.BrushColor = Color;
        canvas.Polygon(RotatedBackground(Width, Height, tw, th, FCos, FSin));
    }
    TPoint at = RotatedTextOrigin(Alignment, Width, Height, tw, th, FCos, FSin);
    canvas.Angle = LabelStyle.GetAngle();
    for (const TTextDraw& d : LabelDraws(LabelStyle, Font.Color)) {
        canvas.Font.Color = d.Color;
        canvas.TextOut(at.X + d.DX, at.Y + d.DY, Caption);
    }
}

} // namespace zan
