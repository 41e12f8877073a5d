// The setup window's decorations: TBackdrop, a panel filled with a two-colour gradient, and
// TRotate3DLabel, a caption drawn at any angle with a raised, sunken or shadowed look. The
// geometry (bands, text positions, draw operations) is computed by pure functions; Paint only
// replays them on a canvas.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/forms/Forms.h"

namespace zan {

enum TDirection : uint8_t { bdUp, bdDown, bdLeft, bdRight, bdHorzIn, bdHorzOut, bdVertIn, bdVertOut };

struct TGradientBand {
    TRect Rect;
    TColor Color; // 0x00BBGGRR
    bool operator==(const TGradientBand&) const = default;
};

// The filled bands of a gradient over width x height, in paint order; empty bands are left out.
std::vector<TGradientBand> GradientBands(TDirection direction, TColor startColor, TColor endColor,
                                         int width, int height);

class TBackdrop : public TPanel {
public:
    explicit TBackdrop(TComponent* owner);
    ~TBackdrop() override;
    ZAN_CLASS(TBackdrop)
    TDirection GetDirection() const { return FDirection; }
    void SetDirection(TDirection value);
    TColor GetStartColor() const { return FStartColor; }
    void SetStartColor(TColor value);
    TColor GetEndColor() const { return FEndColor; }
    void SetEndColor(TColor value);
    bool Locked = false;
    // Tag -1 makes this the current instance (the previous one gets 0).
    void SetTag(intptr_t tag);
    static TBackdrop* Current();
    void Paint(TCanvas& canvas) override;
    int Paints = 0;

private:
    // Sets a property and repaints when the value differs.
    template <typename T>
    void Change(T& field, T value) {
        if (value == field) return;
        field = value;
        Invalidate();
    }
    TDirection FDirection = bdUp;
    TColor FStartColor = 16711680;
    TColor FEndColor = 0;
};

enum T3DEffectShort : uint8_t { A3dNormal, A3dResit, A3dRaised, A3dShadowed };

class TLabelStyle {
public:
    int GetAngle() const { return FAngle; }
    // Values outside 0..359 become 0.
    void SetAngle(int value);
    T3DEffectShort GetAStyle3D() const { return FStyle; }
    void SetAStyle3D(T3DEffectShort value);
    TColor GetAShadeRightBottom() const { return FShadeRB; }
    void SetAShadeRightBottom(TColor value);
    TColor GetAShadeLeftTop() const { return FShadeLT; }
    // Ignored while AShadeLTSet is True.
    void SetAShadeLeftTop(TColor value);
    bool GetAShadeLTSet() const { return FLTSet; }
    // On: remembers the left-top colour and uses white; off: restores it.
    void SetAShadeLTSet(bool value);
    int GetAHShadeOffSet() const { return FHOffset; }
    void SetAHShadeOffSet(int value);
    int GetAVShadeOffSet() const { return FVOffset; }
    void SetAVShadeOffSet(int value);
    std::function<void()> OnChange;

private:
    void Change();
    int FAngle = 0;
    T3DEffectShort FStyle = A3dRaised;
    TColor FShadeRB = 8421504;
    TColor FShadeLT = 16777215;
    TColor FSavedLT = 16777215;
    bool FLTSet = true;
    int FHOffset = 5;
    int FVOffset = -5;
};

// The top-left of the text cell of a rotated caption (tw x th) in a label W x H.
TPoint RotatedTextOrigin(TAlignment alignment, int labelWidth, int labelHeight, int textWidth,
                         int textHeight, double cosA, double sinA);
// The corners of the (tw + 10) x (th + 7) rectangle turned about the label's centre.
std::vector<TPoint> RotatedBackground(int labelWidth, int labelHeight, int textWidth,
                                      int textHeight, double cosA, double sinA);

struct TTextDraw {
    int DX = 0, DY = 0; // offset from the text's origin, screen axes
    TColor Color;
    bool operator==(const TTextDraw&) const = default;
};
// The copies of the text a style draws, last the text itself in the font colour.
std::vector<TTextDraw> LabelDraws(const TLabelStyle& style, TColor fontColor);

class TRotate3DLabel : public TControl {
public:
    explicit TRotate3DLabel(TComponent* owner);
    ~TRotate3DLabel() override;
    ZAN_CLASS(TRotate3DLabel)
    TLabelStyle LabelStyle;
    bool MyTransparent = true;
    TAlignment Alignment = taLeftJustify;
    void SetTag(intptr_t tag);
    static TRotate3DLabel* Current();
    void Paint(TCanvas& canvas) override;

private:
    double FCos = 1, FSin = 0;
};

} // namespace zan
