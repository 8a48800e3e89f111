// The core graph's arithmetic and texts: group widths, bar placement, fill height, parked look and
// tooltip texts.

#include <gtest/gtest.h>

#include "ui/CoreGraphLayout.h"

namespace
{

TEST(GraphWidth, NodesWithCpusShareItEquallyAndEmptyNodesTakeNone)
{
    struct Case
    {
        const char* name;
        std::vector<DWORD> counts;
        int width;
        std::vector<GroupSlot> expected;
    } cases[] = {
        {"one node", {24}, 414, {{true, 0, 414}}},
        {"two nodes", {8, 8}, 600, {{true, 0, 300}, {true, 300, 300}}},
        {"uneven split rounds down", {4, 4, 4}, 100, {{true, 0, 33}, {true, 33, 33}, {true, 66, 33}}},
        {"empty node in the middle", {8, 0, 8}, 600, {{true, 0, 300}, {false, 0, 0}, {true, 300, 300}}},
        {"no node with CPUs", {0, 0}, 600, {{false, 0, 0}, {false, 0, 0}}},
        {"no nodes", {}, 600, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::vector<GroupSlot> slots = ShareGraphWidth(c.counts, c.width);
        ASSERT_EQ(slots.size(), c.expected.size());
        for (size_t i = 0; i < slots.size(); ++i)
        {
            SCOPED_TRACE(i);
            EXPECT_EQ(slots[i].laidOut, c.expected[i].laidOut);
            EXPECT_EQ(slots[i].x, c.expected[i].x);
            EXPECT_EQ(slots[i].width, c.expected[i].width);
        }
    }
}

TEST(BarLayout, RowsWidthsAndPositions)
{
    struct Case
    {
        const char* name;
        size_t bars;
        int width, height;
        int perRow, barWidth, margin, rowHeight, secondTop; // secondTop 0: one row
    } cases[] = {
        {"20 CPUs in 400 by 150", 20, 400, 150, 10, 38, 0, 59, 81},
        {"7 CPUs: one row", 7, 400, 150, 7, 54, 1, 120, 0},
        {"1 CPU: one bar", 1, 400, 150, 1, 380, 0, 120, 0},
        {"24 CPUs in the main window's place", 24, 414, 146, 12, 32, 5, 57, 79},
        {"2 CPUs: two rows of one", 2, 100, 100, 1, 80, 0, 34, 56},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::vector<BarPlacement> bars = LayoutBars(c.bars, c.width, c.height);
        ASSERT_EQ(bars.size(), c.bars);
        for (size_t i = 0; i < bars.size(); ++i)
        {
            SCOPED_TRACE(i);
            const int column = static_cast<int>(i) % c.perRow;
            const bool second = static_cast<int>(i) >= c.perRow;
            EXPECT_EQ(bars[i].left, 10 + c.margin + column * c.barWidth);
            EXPECT_EQ(bars[i].top, second ? c.secondTop : 20);
            EXPECT_EQ(bars[i].width, c.barWidth);
            EXPECT_EQ(bars[i].height, c.rowHeight);
            EXPECT_TRUE(bars[i].visible);
        }
    }
}

TEST(BarLayout, BarsWithoutRoomAreHidden)
{
    struct Case
    {
        const char* name;
        size_t bars;
        int width, height;
    } cases[] = {
        {"two rows in height 35: row height 1", 20, 400, 35},
        {"two rows lower than 32", 20, 400, 20},
        {"one row lower than 36", 7, 400, 35},
        {"group of height 5", 7, 400, 5},
        {"narrower than the side insets", 4, 15, 150},
        {"inner width 0", 4, 20, 150},
        {"more bars than pixels", 300, 120, 150},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::vector<BarPlacement> bars = LayoutBars(c.bars, c.width, c.height);
        ASSERT_EQ(bars.size(), c.bars);
        for (const BarPlacement& bar : bars)
            EXPECT_FALSE(bar.visible);
    }
    EXPECT_TRUE(LayoutBars(0, 400, 150).empty());
}

TEST(BarLayout, InsetsFollowTheDpiAndTheCaption)
{
    struct Case
    {
        const char* name;
        int dpi;
        int captionHeight;
        int side;
        int top;
    };
    const std::vector<Case> cases = {
        {"96 dpi, dialog font", 96, 13, 10, 20},
        {"96 dpi, system font", 96, 16, 10, 20},
        {"96 dpi, a caption taller than the inset", 96, 24, 10, 28},
        {"125 %", 120, 16, 13, 25},
        {"150 %", 144, 20, 15, 30},
        {"150 %, a caption taller than the scaled inset", 144, 28, 15, 34},
        {"200 %", 192, 26, 20, 40},
        {"an unknown dpi counts as 96", 0, 13, 10, 20},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const GroupInsets insets = InsetsFor(c.dpi, c.captionHeight);
        EXPECT_EQ(insets.side, c.side);
        EXPECT_EQ(insets.top, c.top);
    }
}

TEST(BarLayout, BarsStartBelowTheTopInsetAndEndASideInsetAboveTheBottom)
{
    struct Case
    {
        const char* name;
        size_t bars;
        GroupInsets insets;
        int firstTop;
        int lastBottom;
        int left;
    };
    // A box 400 by 150; the last row ends side pixels above its bottom.
    const std::vector<Case> cases = {
        {"default, one row", 5, {}, 20, 140, 10},
        {"default, two rows", 4, {}, 20, 140, 10},
        {"150 %, one row", 5, {15, 30}, 30, 135, 15},
        {"150 %, two rows", 4, {15, 30}, 30, 134, 15},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::vector<BarPlacement> bars = LayoutBars(c.bars, 400, 150, c.insets);
        ASSERT_EQ(bars.size(), c.bars);
        EXPECT_EQ(bars.front().top, c.firstTop);
        EXPECT_EQ(bars.back().top + bars.back().height, c.lastBottom);
        EXPECT_EQ(bars.front().left, c.left);
        EXPECT_TRUE(bars.back().visible);
    }
}

TEST(BarLayout, AGroupBoxNeedsRoomToBeShown)
{
    EXPECT_TRUE(GroupBoxVisible(0, 400, 150));
    EXPECT_TRUE(GroupBoxVisible(300, 1, 6));
    EXPECT_FALSE(GroupBoxVisible(0, 400, 5));
    EXPECT_FALSE(GroupBoxVisible(0, 0, 150));
    EXPECT_FALSE(GroupBoxVisible(-1, 400, 150));
}

TEST(LoadFill, FillsItsShareOfTheRowsInsideTheFrame)
{
    struct Case
    {
        const char* name;
        int low, high, position, barHeight, expected;
    } cases[] = {
        {"full bar: every row but frame and one", 0, 100, 100, 59, 57},
        {"half", 0, 100, 50, 59, 28},
        {"half of an even inside", 0, 100, 50, 102, 50},
        {"empty", 0, 100, 0, 59, 0},
        {"one percent of a small bar rounds to nothing", 0, 100, 1, 40, 0},
        {"other range", 50, 150, 100, 22, 10},
        {"empty range", 10, 10, 10, 59, 0},
        {"inverted range", 100, 0, 50, 59, 0},
        {"no inside", 0, 100, 100, 2, 0},
        {"above the range stays inside", 0, 100, 250, 59, 57},
        {"below the range", 0, 100, -20, 59, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LoadFillHeight(c.low, c.high, c.position, c.barHeight), c.expected);
    }
}

TEST(ParkedLook, OnlyAParkedCpuWithNothingShownLooksParked)
{
    struct Case
    {
        LONG parking, shownLoad;
        bool parked;
    } cases[] = {{1, 0, true}, {1, 5, false}, {0, 0, false}, {-1, 0, false}, {2, 0, true}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.parking << " " << c.shownLoad);
        EXPECT_EQ(ShowAsParked(c.parking, c.shownLoad), c.parked);
    }
}

TEST(GraphTexts, TitlesAndTipTexts)
{
    EXPECT_EQ(GroupTitle(0, 0), L"% CPU");
    EXPECT_EQ(GroupTitle(0, 1), L"Node 0");
    EXPECT_EQ(GroupTitle(1, 1), L"Node 1");
    EXPECT_EQ(BarTipText(0, 3), L"Node 0, Logical CPU 3");
    EXPECT_EQ(BarTipText(3, 127), L"Node 3, Logical CPU 127");
}

TEST(GraphTexts, TooltipLinesWithinTheEightyCharacterBuffer)
{
    const std::wstring first = L"Node 0, Logical CPU 3";
    const std::wstring long79(79, L'x');
    const std::wstring long75(75, L'y');
    struct Case
    {
        const char* name;
        std::wstring tip;
        bool efficient, parked;
        std::wstring expected;
    } cases[] = {
        {"plain", first, false, false, first},
        {"efficient", first, true, false, first + L"\nEfficient"},
        {"parked", first, false, true, first + L"\nParked"},
        {"efficient and parked", first, true, true, L"Node 0, Logical CPU 3\nEfficient\nParked"},
        {"empty tip: no leading line break", L"", true, true, L"Efficient\nParked"},
        {"full buffer takes nothing more", long79, true, true, long79},
        {"longer tip is cut", std::wstring(100, L'z'), false, false, std::wstring(79, L'z')},
        {"label cut at the end", long75, true, true, long75 + L"\nEff"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::wstring text = ComposeTooltip(c.tip, c.efficient, c.parked);
        EXPECT_EQ(text, c.expected);
        EXPECT_LT(text.size(), TipBufferChars);
    }
}

} // namespace
