#pragma once
// The arithmetic and texts of the core graph, free of window calls: where groups and bars go, how
// much of a bar the load fills, and what a bar's tooltip says.

#include <windows.h>

#include <string>
#include <vector>

inline constexpr wchar_t NodeTitleFormat[] = L"Node %u";
inline constexpr wchar_t SingleNodeTitle[] = L"% CPU";
inline constexpr wchar_t ParkedLabel[] = L"Parked";
inline constexpr wchar_t EfficientLabel[] = L"Efficient";
// The tooltip's own text buffer (NMTTDISPINFOW::szText), terminating NUL included.
inline constexpr size_t TipBufferChars = 80;

// The share of the graph's width that one NUMA node's group gets.
struct GroupSlot
{
    bool laidOut = false; // false: the group is hidden (its node has no CPUs, or no node has any)
    int x = 0;
    int width = 0;
};

// Nodes with CPUs split the width equally from the left; nodes without CPUs take none. When no node
// has a CPU every group is hidden.
std::vector<GroupSlot> ShareGraphWidth(const std::vector<DWORD>& cpuCounts, int width);

struct BarPlacement
{
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool visible = false;
};

// A group box is shown only where it has room to show something.
bool GroupBoxVisible(int x, int width, int height);

// Where the bars start inside their group box: below the frame and its caption, inside the frame at
// the sides and at the bottom. The defaults are those of the dialog font at 96 dots per inch.
struct GroupInsets
{
    int side = 10;
    int top = 20;
};

// value at 96 dots per inch scaled to dpi (rounded); a dpi of 0 or less counts as 96.
int ScaleForDpi(int value, int dpi);
// The insets at dpi for a caption captionHeight pixels high: the default insets scaled, and the top
// one at least the caption's height plus the scaled gap that the default leaves below a 16-pixel caption.
GroupInsets InsetsFor(int dpi, int captionHeight);

// Bars of a group whose box is clientWidth wide and height high: one row, or two when the count is
// even and at least 2; touching side by side, centred, rows 2 pixels apart, the first row at the top
// inset and the last ending a side inset above the bottom. Where there is no room (narrower than the
// two side insets, lower than the rows need) every bar is hidden.
std::vector<BarPlacement> LayoutBars(size_t barCount, int clientWidth, int height, const GroupInsets& insets = {});

// Rows of a bar barHeight pixels high that the load fills from the bottom, inside the one-pixel frame:
// the position's share of the range times barHeight - 2. 0 for an empty range or a bar without inside.
int LoadFillHeight(int low, int high, int position, int barHeight);

// A CPU is drawn parked only while the system reports it parked and its shown load is 0.
bool ShowAsParked(LONG parkingState, LONG shownLoad);

// "% CPU" for the only node, "Node <n>" when there are several.
std::wstring GroupTitle(DWORD node, ULONG highestNode);
// "Node <n>, Logical CPU <k>".
std::wstring BarTipText(DWORD node, DWORD index);
// The tip text followed by "Efficient" and "Parked" lines, cut to what the 80-character buffer holds.
std::wstring ComposeTooltip(const std::wstring& tipText, bool efficient, bool parked,
                            const std::wstring& efficientLabel = EfficientLabel,
                            const std::wstring& parkedLabel = ParkedLabel);
