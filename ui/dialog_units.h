#pragma once
// Dialog units: the templates give positions and sizes in units of the dialog font, a quarter of
// its average character width across and an eighth of its height down. They are converted here
// the way the Windows dialog manager converts them, so a template lays out the same wherever the
// font measures the same.
#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

namespace ui {

// The font of both templates: 9-point SimSun ("宋体"), or a CJK face that stands in for it where
// SimSun is not installed. WenQuanYi Zen Hei Sharp comes first among the stand-ins because it
// measures as SimSun does (6 x 12 at 96 dpi); plain Zen Hei is 6 x 16 and would stretch the form.
inline QFont DialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QString::fromUtf8("宋体"),
                      QStringLiteral("WenQuanYi Zen Hei Sharp"),
                      QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("Noto Sans CJK SC")});
    font.setPointSize(9);
    return font;
}

// Pixels per four units across (cx) and per eight units down (cy).
struct BaseUnits {
    int cx = 0;
    int cy = 0;
};

// As the dialog manager measures a font: cx from the average width of the 52 Latin letters,
// rounded half up, cy the font's height. 9-point SimSun at 96 dpi gives 6 x 12.
inline BaseUnits MeasureBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int extent = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(extent / 26 + 1) / 2, metrics.height()};
}

// a * b / c rounded to the nearest integer, halves away from zero.
inline int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>((product >= 0 ? product + half : product - half) / c);
}

inline int DluToPixelsX(int x, const BaseUnits& units) {
    return MulDiv(x, units.cx, 4);
}
inline int DluToPixelsY(int y, const BaseUnits& units) {
    return MulDiv(y, units.cy, 8);
}

inline QSize DluToPixels(QSize dlu, const BaseUnits& units) {
    return {DluToPixelsX(dlu.width(), units), DluToPixelsY(dlu.height(), units)};
}

// Left and top convert on their own and so do width and height, as the dialog manager maps a
// control's rectangle.
inline QRect DluToPixels(const QRect& dlu, const BaseUnits& units) {
    return {DluToPixelsX(dlu.x(), units), DluToPixelsY(dlu.y(), units),
            DluToPixelsX(dlu.width(), units), DluToPixelsY(dlu.height(), units)};
}

} // namespace ui
