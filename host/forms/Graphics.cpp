#include "host/forms/Graphics.h"

#include <iconv.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host/rtl/Format.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

// The classic scheme, as r, g, b by system colour index.
constexpr uint8_t SystemColors[][3] = {
    {212, 208, 200}, {58, 110, 165},   {10, 36, 106},   {128, 128, 128}, {212, 208, 200},
    {255, 255, 255}, {0, 0, 0},       {0, 0, 0},       {0, 0, 0},       {255, 255, 255},
    {212, 208, 200}, {212, 208, 200}, {128, 128, 128}, {10, 36, 106},   {255, 255, 255},
    {212, 208, 200}, {128, 128, 128}, {128, 128, 128}, {0, 0, 0},       {212, 208, 200},
    {255, 255, 255}, {64, 64, 64},    {212, 208, 200}, {0, 0, 0},       {255, 255, 225}};

// Code pages of the charsets whose names are not UTF-8.
const char* CharsetEncoding(int charset) {
    switch (charset) {
    case 128: return "SHIFT_JIS";
    case 129: return "EUC-KR";
    case 134: return "GBK";
    case 136: return "BIG5";
    case 161: return "CP1253";
    case 177: return "CP1255";
    case 204: return "CP1251";
    case 238: return "CP1250";
    default: return nullptr;
    }
}

// Length of the valid UTF-8 sequence at p (0 when invalid).
size_t ValidSequence(const unsigned char* p, size_t left) {
    unsigned char c = p[0];
    size_t n;
    uint32_t cp;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) n = 2, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) n = 3, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) n = 4, cp = c & 0x07;
    else return 0;
    if (left < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

} // namespace

TColor ColorToRGB(TColor color) {
    if (color >= 0) return color & 0xFFFFFF;
    uint32_t index = static_cast<uint32_t>(color) & 0xFF;
    if (index >= std::size(SystemColors)) return clBlack;
    const uint8_t* c = SystemColors[index];
    return RGBColor(c[0], c[1], c[2]);
}

std::string ColorHex(TColor rgb) {
    return Format("#%.2x%.2x%.2x", GetRValue(rgb), GetGValue(rgb), GetBValue(rgb));
}

int32_t MulDiv(int32_t a, int32_t b, int32_t c) {
    if (c == 0) return -1;
    int64_t p = static_cast<int64_t>(a) * b;
    int64_t q = p / c, r = p % c;
    if (2 * (r < 0 ? -r : r) >= (c < 0 ? -static_cast<int64_t>(c) : c)) q += ((p < 0) != (c < 0)) ? -1 : 1;
    if (q > INT32_MAX || q < INT32_MIN) return -1;
    return static_cast<int32_t>(q);
}

int FontPixels(int points) { return static_cast<int>(Round(points * 96.0 / 72.0)); }

std::string SanitizeUTF8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        size_t n = ValidSequence(p + i, text.size() - i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

size_t UTF8Length(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

std::string FontNameUTF8(const TFont& font) {
    const char* encoding = CharsetEncoding(font.Charset);
    bool valid = SanitizeUTF8(font.Name) == font.Name;
    if (!encoding || valid) return SanitizeUTF8(font.Name);
    iconv_t cd = iconv_open("UTF-8", encoding);
    if (cd == reinterpret_cast<iconv_t>(-1)) return SanitizeUTF8(font.Name);
    TScopeExit closer([&] { iconv_close(cd); });
    std::string in = font.Name, out(in.size() * 4 + 4, '\0');
    char* ip = in.data();
    char* op = out.data();
    size_t il = in.size(), ol = out.size();
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) return SanitizeUTF8(font.Name);
    out.resize(out.size() - ol);
    return out;
}

void TPicture::SetSize(int width, int height) {
    if (width < 0 || height < 0 || width > MaxSide || height > MaxSide)
        throw EFormsError(Format("Picture size %dx%d out of range", width, height));
    FWidth = width;
    FHeight = height;
    FRGBA.assign(static_cast<size_t>(width) * height * 4, 0);
}

uint32_t TPicture::Pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= FWidth || y >= FHeight) return 0;
    const uint8_t* p = &FRGBA[(static_cast<size_t>(y) * FWidth + x) * 4];
    return (uint32_t(p[3]) << 24) | (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}

void TPicture::SetPixel(int x, int y, uint32_t argb) {
    if (x < 0 || y < 0 || x >= FWidth || y >= FHeight) return;
    uint8_t* p = &FRGBA[(static_cast<size_t>(y) * FWidth + x) * 4];
    p[0] = static_cast<uint8_t>(argb >> 16);
    p[1] = static_cast<uint8_t>(argb >> 8);
    p[2] = static_cast<uint8_t>(argb);
    p[3] = static_cast<uint8_t>(argb >> 24);
}

void TPicture::LoadFromPNG(const std::string& bytes) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
        throw EFormsError(std::string("Bad PNG picture: ") + image.message);
    TScopeExit freer([&] { png_image_free(&image); });
    if (image.width > MaxSide || image.height > MaxSide)
        throw EFormsError(Format("PNG picture %ux%u is too large", image.width, image.height));
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
        throw EFormsError(std::string("Bad PNG picture: ") + image.message);
    FWidth = static_cast<int>(image.width);
    FHeight = static_cast<int>(image.height);
    FRGBA = std::move(pixels);
}

void TPicture::LoadFromFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw EFormsError("Cannot read the picture " + file);
    std::stringstream text;
    text << in.rdbuf();
    LoadFromPNG(text.str());
}

std::string TPicture::SaveToPNG() const {
    if (Empty()) throw EFormsError("Cannot save an empty picture");
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(FWidth);
    image.height = static_cast<png_uint_32>(FHeight);
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, FRGBA.data(), 0, nullptr))
        throw EFormsError(std::string("Cannot write PNG: ") + image.message);
    std::string out(size, '\0');
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, FRGBA.data(), 0, nullptr))
        throw EFormsError(std::string("Cannot write PNG: ") + image.message);
    out.resize(size);
    return out;
}

void TPicture::SaveToFile(const std::string& file) const {
    std::string bytes = SaveToPNG();
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw EFormsError("Cannot write the picture " + file);
}

void TCanvas::FillRect(const TRect& r) {
    if (BrushClear || r.Width() <= 0 || r.Height() <= 0) return;
    DoFillRect({r.Left + Origin.X, r.Top + Origin.Y, r.Right + Origin.X, r.Bottom + Origin.Y},
               ColorToRGB(BrushColor));
}

void TCanvas::FrameRect(const TRect& r) {
    if (r.Width() <= 0 || r.Height() <= 0) return;
    DoFrameRect({r.Left + Origin.X, r.Top + Origin.Y, r.Right + Origin.X, r.Bottom + Origin.Y},
                ColorToRGB(PenColor));
}

void TCanvas::Polygon(const std::vector<TPoint>& points) {
    if (BrushClear || points.size() < 3) return;
    std::vector<TPoint> moved;
    for (TPoint p : points) moved.push_back({p.X + Origin.X, p.Y + Origin.Y});
    DoPolygon(moved, ColorToRGB(BrushColor));
}

void TCanvas::TextOut(int x, int y, const std::string& text) {
    if (text.empty()) return;
    DoTextOut(x + Origin.X, y + Origin.Y, SanitizeUTF8(text), ColorToRGB(Font.Color));
}

void TCanvas::Draw(int x, int y, const TPicture& picture) {
    if (!picture.Empty()) DoDraw(x + Origin.X, y + Origin.Y, picture);
}

void TRecordingCanvas::DoFillRect(const TRect& r, TColor rgb) {
    Ops.push_back(Format("fill %d,%d,%d,%d %s", r.Left, r.Top, r.Right, r.Bottom, ColorHex(rgb)));
}

void TRecordingCanvas::DoFrameRect(const TRect& r, TColor rgb) {
    Ops.push_back(Format("frame %d,%d,%d,%d %s", r.Left, r.Top, r.Right, r.Bottom, ColorHex(rgb)));
}

void TRecordingCanvas::DoPolygon(const std::vector<TPoint>& points, TColor rgb) {
    std::string line = "polygon";
    for (TPoint p : points) line += Format(" %d,%d", p.X, p.Y);
    Ops.push_back(line + " " + ColorHex(rgb));
}

void TRecordingCanvas::DoTextOut(int x, int y, const std::string& text, TColor rgb) {
    Ops.push_back(Format("text %d,%d a=%d %s %s", x, y, Angle, ColorHex(rgb), text));
}

TTextRun VisibleTextRun(const std::vector<double>& advances, double x, double y, int angle, const TRect& clip,
                        int margin) {
    const double a = angle * M_PI / 180.0;
    const double u[2] = {std::cos(a), -std::sin(a)};
    const double p[2] = {x, y};
    const double lo[2] = {double(clip.Left - margin), double(clip.Top - margin)};
    const double hi[2] = {double(clip.Right + margin), double(clip.Bottom + margin)};
    // The stretch [from, to] of the whole line (in distance from the start) inside the rectangle.
    double from = -HUGE_VAL, to = HUGE_VAL;
    for (int axis = 0; axis < 2; ++axis) {
        if (std::fabs(u[axis]) < 1e-9) {
            if (p[axis] < lo[axis] || p[axis] > hi[axis]) return {};
            continue;
        }
        double t1 = (lo[axis] - p[axis]) / u[axis], t2 = (hi[axis] - p[axis]) / u[axis];
        from = std::max(from, std::min(t1, t2));
        to = std::min(to, std::max(t1, t2));
    }
    if (from > to) return {};
    TTextRun run;
    double t = 0;
    for (size_t i = 0; i < advances.size() && t <= to; t += advances[i], ++i) {
        if (t + advances[i] < from) continue;
        if (run.Count == 0) {
            run.First = i;
            run.Offset = t;
        }
        ++run.Count;
    }
    return run;
}

} // namespace zan
