// Dialog units as the Windows dialog manager converts them.
#include "ui/dialog_units.h"

#include <QFontInfo>
#include <gtest/gtest.h>

namespace {

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZero) {
    struct Case {
        int a, b, c, expected;
    };
    const Case cases[] = {
        {15, 6, 4, 23},    // 22.5
        {14, 6, 4, 21},    // exact
        {13, 6, 4, 20},    // 19.5
        {213, 12, 8, 320}, // 319.5
        {69, 12, 8, 104},  // 103.5
        {10, 12, 8, 15},   // exact
        {1, 7, 4, 2},      // 1.75
        {1, 5, 4, 1},      // 1.25
        {-15, 6, 4, -23},  // -22.5
        {-1, 5, 4, -1},    // -1.25
    };
    for (const Case& c : cases)
        EXPECT_EQ(ui::MulDiv(c.a, c.b, c.c), c.expected) << c.a << '*' << c.b << '/' << c.c;
}

TEST(DialogUnits, PositionAndSizeConvertSeparately) {
    // Converting the right edge instead of the width would give 23 + 75 = 98 vs 97 here.
    const ui::BaseUnits units{6, 12};
    EXPECT_EQ(ui::DluToPixels(QRect(15, 213, 50, 14), units), QRect(23, 320, 75, 21));
    EXPECT_EQ(ui::DluToPixels(QRect(209, 198, 54, 25), units), QRect(314, 297, 81, 38));
    EXPECT_EQ(ui::DluToPixels(QSize(280, 234), units), QSize(420, 351));
    const ui::BaseUnits large{8, 16};
    EXPECT_EQ(ui::DluToPixels(QRect(15, 213, 50, 14), large), QRect(30, 426, 100, 28));
}

// The dialog font measures as 9-point SimSun at 96 dpi: 6 x 12 pixels, 1.5 pixels per unit each
// way. Where SimSun is missing, WenQuanYi Zen Hei Sharp (package fonts-wqy-zenhei) stands in
// with the same cell; plain Zen Hei (6 x 16) would stretch the form by a third downwards.
TEST(DialogUnits, DialogFontHasSimSunsBaseUnits) {
    const QFont font = ui::DialogFont();
    const ui::BaseUnits units = ui::MeasureBaseUnits(font);
    EXPECT_EQ(units.cx, 6) << QFontInfo(font).family().toStdString();
    EXPECT_EQ(units.cy, 12) << QFontInfo(font).family().toStdString();
}

} // namespace
