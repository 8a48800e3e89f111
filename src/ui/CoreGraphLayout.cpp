#include "ui/CoreGraphLayout.h"

#include <cwchar>

namespace
{
constexpr int RowGap = 2;
constexpr int BaseDpi = 96;
// The default top inset leaves this much below a 16-pixel caption (the system font) at 96 dpi.
constexpr int CaptionGap = 4;
constexpr int MinimumVisibleHeight = 5;

bool Placeable(int left, int top, int width, int height)
{
    return left >= 0 && top >= 0 && width > 0 && height > MinimumVisibleHeight;
}

// Appends a line to a buffer of TipBufferChars characters, keeping what fits.
void AppendBounded(std::wstring& text, const std::wstring& line)
{
    if (!text.empty())
        text += L'\n';
    text += line;
    if (text.size() > TipBufferChars - 1)
        text.resize(TipBufferChars - 1);
}
} // namespace

std::vector<GroupSlot> ShareGraphWidth(const std::vector<DWORD>& cpuCounts, int width)
{
    std::vector<GroupSlot> slots(cpuCounts.size());
    int withCpus = 0;
    for (const DWORD count : cpuCounts)
        withCpus += count > 0 ? 1 : 0;
    if (withCpus == 0)
        return slots;

    const int share = width / withCpus;
    int offset = 0;
    for (size_t i = 0; i < cpuCounts.size(); ++i)
    {
        if (cpuCounts[i] == 0)
            continue;
        slots[i] = {true, offset, share};
        offset += share;
    }
    return slots;
}

bool GroupBoxVisible(int x, int width, int height)
{
    return x >= 0 && width > 0 && height > MinimumVisibleHeight;
}

int ScaleForDpi(int value, int dpi)
{
    if (dpi <= 0)
        dpi = BaseDpi;
    return static_cast<int>((static_cast<long long>(value) * dpi + BaseDpi / 2) / BaseDpi);
}

GroupInsets InsetsFor(int dpi, int captionHeight)
{
    const GroupInsets base;
    GroupInsets insets{ScaleForDpi(base.side, dpi), ScaleForDpi(base.top, dpi)};
    const int belowCaption = captionHeight + ScaleForDpi(CaptionGap, dpi);
    if (insets.top < belowCaption)
        insets.top = belowCaption;
    return insets;
}

std::vector<BarPlacement> LayoutBars(size_t barCount, int clientWidth, int height, const GroupInsets& insets)
{
    std::vector<BarPlacement> bars(barCount);
    if (barCount == 0)
        return bars;

    const int innerWidth = clientWidth - 2 * insets.side;
    const int rows = barCount >= 2 && barCount % 2 == 0 ? 2 : 1;
    const int free = height - insets.top - insets.side;
    const int rowHeight = rows == 2 ? (free - RowGap) / 2 : free;
    if (innerWidth < 0 || rowHeight < 0)
        return bars; // no room: every bar hidden

    const int perRow = static_cast<int>(barCount) / rows;
    const int barWidth = innerWidth / perRow;
    const int margin = (innerWidth - perRow * barWidth) / 2;
    for (int i = 0; i < static_cast<int>(barCount); ++i)
    {
        const bool secondRow = rows == 2 && i >= perRow;
        BarPlacement& bar = bars[static_cast<size_t>(i)];
        bar.left = insets.side + margin + (secondRow ? i - perRow : i) * barWidth;
        bar.top = secondRow ? insets.top + rowHeight + RowGap : insets.top;
        bar.width = barWidth;
        bar.height = rowHeight;
        bar.visible = Placeable(bar.left, bar.top, bar.width, bar.height);
    }
    return bars;
}

int LoadFillHeight(int low, int high, int position, int barHeight)
{
    if (high <= low || barHeight <= 2)
        return 0;
    // The control keeps its position inside the range; clamping keeps the fill inside the frame anyway.
    const int clamped = position < low ? low : (position > high ? high : position);
    const unsigned percent = static_cast<unsigned>(clamped - low) * 100u / static_cast<unsigned>(high - low);
    return static_cast<int>(percent * static_cast<unsigned>(barHeight - 2) / 100u);
}

bool ShowAsParked(LONG parkingState, LONG shownLoad)
{
    return parkingState > 0 && shownLoad == 0;
}

std::wstring GroupTitle(DWORD node, ULONG highestNode)
{
    if (highestNode == 0)
        return SingleNodeTitle;
    wchar_t buffer[32] = {};
    std::swprintf(buffer, std::size(buffer), NodeTitleFormat, static_cast<unsigned>(node));
    return buffer;
}

std::wstring BarTipText(DWORD node, DWORD index)
{
    wchar_t buffer[64] = {};
    std::swprintf(buffer, std::size(buffer), L"Node %u, Logical CPU %u", static_cast<unsigned>(node),
                  static_cast<unsigned>(index));
    return buffer;
}

std::wstring ComposeTooltip(const std::wstring& tipText, bool efficient, bool parked,
                            const std::wstring& efficientLabel, const std::wstring& parkedLabel)
{
    std::wstring text = tipText.substr(0, TipBufferChars - 1);
    if (efficient)
        AppendBounded(text, efficientLabel);
    if (parked)
        AppendBounded(text, parkedLabel);
    return text;
}
