#include <gtest/gtest.h>

#include "res/DialogUnits.h"
#include "res/Templates.h"

TEST(DialogUnits, ConvertsAsTheDialogManagerDoes) {
    // The classic 8-pixel system font: base units 6 x 13 (average width from 52 letters).
    EXPECT_EQ(AverageCharWidthFromLetters(300), 6);  // (300/26 + 1) / 2 = (11 + 1) / 2
    EXPECT_EQ(AverageCharWidthFromLetters(313), 6);
    EXPECT_EQ(AverageCharWidthFromLetters(338), 7);
    const PixelRect r = DialogUnitsToPixels(7, 36, 272, 159, {6, 13});
    EXPECT_EQ(r.x, 11);   // 7*6/4 = 10.5 rounds up
    EXPECT_EQ(r.y, 59);   // 36*13/8 = 58.5 rounds up
    EXPECT_EQ(r.w, 408);  // 272*6/4
    EXPECT_EQ(r.h, 258);  // 159*13/8 = 258.4
    EXPECT_EQ(MulDiv(-7, 6, 4), -11);
    EXPECT_EQ(MulDiv(5, 3, 0), -1);
}

TEST(Templates, MainWindowControlsAndMenus) {
    const DialogTemplate* t = FindDialogTemplate(IDD_MONITOR);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->title, "Tolvara v1.0 Beta");
    EXPECT_EQ(t->w, 383);
    EXPECT_EQ(t->h, 271);
    int defaults = 0;
    for (const ControlTemplate& c : t->controls)
        if (c.kind == ControlKind::DefPushButton) {
            ++defaults;
            EXPECT_EQ(c.id, 1001);
        }
    EXPECT_EQ(defaults, 1);
    EXPECT_EQ(FindDialogTemplate(999), nullptr);

    const MenuTemplate* tray = FindMenuTemplate(IDR_TRAY_MENU);
    ASSERT_NE(tray, nullptr);
    std::vector<int> commands;
    for (const MenuItemTemplate& i : tray->items) commands.push_back(i.command);
    EXPECT_EQ(commands, (std::vector<int>{1005, 0, 1003, 1002, 1006, 1004, 0, 1015, 32775, 0, 32774}));
    EXPECT_STREQ(LoadStringResource(IDS_ABOUTBOX), "Tolvara 정보(&A)...");
    EXPECT_STREQ(LoadStringResource(7), "");
}
