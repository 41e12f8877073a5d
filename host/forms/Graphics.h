// Colours, fonts, pictures and the canvas of the forms layer. Colours keep the framework's
// encoding 0x00BBGGRR; negative values are system colours, resolved through one classic-scheme
// table. The canvas is an interface: each backend draws, the headless one only measures (6 px
// per character, 13 px a line) and a recording canvas keeps the operations for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/rtl/Exceptions.h"

namespace zan {

using TColor = int32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clNone = 0x1FFFFFFF;
// System colours: 0x80000000 + the colour's index.
inline constexpr TColor clScrollBar = static_cast<TColor>(0x80000000);
inline constexpr TColor clMenu = static_cast<TColor>(0x80000004);
inline constexpr TColor clWindow = static_cast<TColor>(0x80000005);
inline constexpr TColor clWindowText = static_cast<TColor>(0x80000008);
inline constexpr TColor clHighlight = static_cast<TColor>(0x8000000D);
inline constexpr TColor clBtnFace = static_cast<TColor>(0x8000000F);
inline constexpr TColor clBtnShadow = static_cast<TColor>(0x80000010);
inline constexpr TColor clGrayText = static_cast<TColor>(0x80000011);
inline constexpr TColor clBtnText = static_cast<TColor>(0x80000012);
inline constexpr TColor clBtnHighlight = static_cast<TColor>(0x80000014);

// The colour as 0x00BBGGRR, system colours looked up (unknown ones give black).
TColor ColorToRGB(TColor color);
inline uint8_t GetRValue(TColor c) { return static_cast<uint8_t>(c & 0xFF); }
inline uint8_t GetGValue(TColor c) { return static_cast<uint8_t>((c >> 8) & 0xFF); }
inline uint8_t GetBValue(TColor c) { return static_cast<uint8_t>((c >> 16) & 0xFF); }
inline TColor RGBColor(int r, int g, int b) { return (b << 16) | (g << 8) | r; }

// a * b / c with a 64-bit product, rounded half away from zero; -1 when c is 0 or the result
// does not fit 32 bits (as the Windows call).
int32_t MulDiv(int32_t a, int32_t b, int32_t c);

enum TFontStyle : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4 };

struct TFont {
    std::string Name = "MS Sans Serif"; // bytes in the charset's code page when not UTF-8
    int Size = 8;                       // points
    TColor Color = clWindowText;
    uint8_t Style = 0;                  // TFontStyle bits
    int Charset = 1;                    // DEFAULT_CHARSET
    bool operator==(const TFont&) const = default;
};

// Pixels of a point size at 96 dpi.
int FontPixels(int points);
// The font name as UTF-8: decoded from the charset's code page with iconv when not UTF-8.
std::string FontNameUTF8(const TFont& font);
// Text as valid UTF-8: each byte that does not start a valid sequence becomes U+FFFD.
std::string SanitizeUTF8(const std::string& text);
// The count of code points of UTF-8 text.
size_t UTF8Length(const std::string& text);

ZAN_EXCEPTION_CLASS(EFormsError, Exception);

// An RGBA picture; PNG through libpng.
class TPicture {
public:
    static constexpr int MaxSide = 8192;
    bool Empty() const { return FWidth == 0 || FHeight == 0; }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    // Sets the size (each side 0..MaxSide) and fills with transparent black.
    void SetSize(int width, int height);
    uint32_t Pixel(int x, int y) const; // 0xAARRGGBB
    void SetPixel(int x, int y, uint32_t argb);
    const std::vector<uint8_t>& RGBA() const { return FRGBA; }
    // Raises EFormsError for corrupt or truncated data and for sides over MaxSide.
    void LoadFromPNG(const std::string& bytes);
    void LoadFromFile(const std::string& file);
    std::string SaveToPNG() const;
    void SaveToFile(const std::string& file) const;
    void Clear() { SetSize(0, 0); }

private:
    int FWidth = 0, FHeight = 0;
    std::vector<uint8_t> FRGBA;
};

struct TPoint {
    int X = 0, Y = 0;
    bool operator==(const TPoint&) const = default;
};
struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool Contains(int x, int y) const { return x >= Left && x < Right && y >= Top && y < Bottom; }
    bool operator==(const TRect&) const = default;
};

// Drawing surface. Coordinates are relative to the origin (the control being painted); text is
// placed by the top-left of its cell and turned by Angle degrees counter-clockwise.
class TCanvas {
public:
    virtual ~TCanvas() = default;
    TColor BrushColor = clBtnFace;
    bool BrushClear = false;
    TColor PenColor = clBlack;
    TFont Font;
    int Angle = 0;
    TPoint Origin;

    void FillRect(const TRect& r);
    void FrameRect(const TRect& r);
    void Polygon(const std::vector<TPoint>& points);
    void TextOut(int x, int y, const std::string& text);
    void Draw(int x, int y, const TPicture& picture);
    virtual int TextWidth(const std::string& text) = 0;
    virtual int TextHeight(const std::string& text) = 0;

protected:
    // Absolute coordinates, resolved colours.
    virtual void DoFillRect(const TRect& r, TColor rgb) = 0;
    virtual void DoFrameRect(const TRect& r, TColor rgb) = 0;
    virtual void DoPolygon(const std::vector<TPoint>& points, TColor rgb) = 0;
    virtual void DoTextOut(int x, int y, const std::string& text, TColor rgb) = 0;
    virtual void DoDraw(int, int, const TPicture&) {}
};

// Measures as the headless backend does: 6 px per character, 13 px a line.
class THeadlessCanvas : public TCanvas {
public:
    int TextWidth(const std::string& text) override { return 6 * static_cast<int>(UTF8Length(text)); }
    int TextHeight(const std::string&) override { return 13; }

protected:
    void DoFillRect(const TRect&, TColor) override {}
    void DoFrameRect(const TRect&, TColor) override {}
    void DoPolygon(const std::vector<TPoint>&, TColor) override {}
    void DoTextOut(int, int, const std::string&, TColor) override {}
};

// Keeps every operation as a line ("fill 0,0,10,2 #0000ff", "text 3,4 a=90 #808080 Caption").
class TRecordingCanvas : public THeadlessCanvas {
public:
    std::vector<std::string> Ops;

protected:
    void DoFillRect(const TRect& r, TColor rgb) override;
    void DoFrameRect(const TRect& r, TColor rgb) override;
    void DoPolygon(const std::vector<TPoint>& points, TColor rgb) override;
    void DoTextOut(int x, int y, const std::string& text, TColor rgb) override;
};

// "#rrggbb" of a resolved colour.
std::string ColorHex(TColor rgb);

// The characters of a line of text that can show inside clip: the text starts at (x, y) on its
// baseline and runs at angle degrees counter-clockwise (y down), each character taking its
// advance along the line; a character counts when its stretch of the line comes within margin of
// the rectangle. Offset is where the first one starts, measured along the line.
struct TTextRun {
    size_t First = 0, Count = 0;
    double Offset = 0;
};
TTextRun VisibleTextRun(const std::vector<double>& advances, double x, double y, int angle, const TRect& clip,
                        int margin);

} // namespace zan
