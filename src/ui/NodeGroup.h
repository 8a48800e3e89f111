#pragma once
// One NUMA node of the core graph: a framed group box holding one progress bar per logical CPU,
// each with a tooltip. The bars are drawn by the group, never by the control itself.

#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ui/CoreGraphLayout.h"

// Brushes a group draws with; owned by the CoreGraph.
struct GroupBrushes
{
    HBRUSH barBackground = nullptr;
    HBRUSH loadFill = nullptr;
    HBRUSH frame = nullptr;
    HBRUSH parkedFill = nullptr;
    HBRUSH groupBackground = nullptr;
};

// The efficiency-core marker; the bitmap is owned by whoever loaded it.
struct MarkerImage
{
    HBITMAP bitmap = nullptr;
    int width = 0; // of the bitmap
    int height = 0;
    bool andMode = false;
    // The size drawn, when it differs from the bitmap's (the window's DPI); 0 draws the bitmap's size.
    int drawWidth = 0;
    int drawHeight = 0;
};

// What one bar shows when it paints: parked from the group's flag, range and position from its control.
struct BarLook
{
    bool parked = false;
    int low = 0;
    int high = 100;
    int position = 0;
    bool efficient = false;
};

// Draws a bar's look into dc over rect (the whole bar): the parked block or the background with the
// load fill, the frame, and the centred marker on efficiency cores.
void DrawBar(HDC dc, const RECT& rect, const BarLook& look, const GroupBrushes& brushes, const MarkerImage& marker);

class NodeGroup
{
  public:
    static constexpr UINT_PTR BoxSubclassId = 0;
    static constexpr UINT_PTR BarSubclassId = 67;

    NodeGroup(std::wstring parkedLabel, std::wstring efficientLabel);
    // Unhooks the windows that are still alive; they no longer call into this group.
    ~NodeGroup();
    NodeGroup(const NodeGroup&) = delete;
    NodeGroup& operator=(const NodeGroup&) = delete;

    // font is the caption's (the dialog's, which the box does not take by itself); null keeps the
    // box's own. The insets follow the caption's height and the screen's DPI.
    bool Create(HWND parent, DWORD count, const std::wstring& title, const GroupBrushes& brushes,
                HFONT font = nullptr);
    int AddBar();
    bool Layout(int x, int width, int height);
    void Hide();
    void Show();
    void SetLoad(size_t index, LONG value);
    void MarkUnparked(size_t index);
    void MarkParked(size_t index);
    [[nodiscard]] bool IsEfficient(HWND bar) const;

    [[nodiscard]] size_t BarCount() const;
    [[nodiscard]] HWND Bar(size_t index) const;
    [[nodiscard]] HWND Box() const;
    [[nodiscard]] bool IsEfficientAt(size_t index) const;
    void SetEfficient(size_t index, bool efficient);
    // The load last sent to the bar; 0 for an unknown index.
    [[nodiscard]] LONG ShownLoad(size_t index) const;
    // False when index names no bar.
    bool SetTipText(size_t index, std::wstring text);
    // The tooltip text of a bar as it is shown: tip text, "Efficient", "Parked" lines, 80-character bound.
    [[nodiscard]] std::wstring TooltipText(HWND bar) const;

    void SetBrushes(const GroupBrushes& brushes);
    // The marker is drawn at its size scaled to the screen's DPI.
    void SetMarker(const MarkerImage& marker);
    [[nodiscard]] GroupInsets Insets() const;

  private:
    static LRESULT CALLBACK BoxProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR data) noexcept;
    static LRESULT CALLBACK BarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR data) noexcept;
    void PaintBar(HWND bar, HDC target) const;
    void ForgetBar(HWND bar);
    void DropTooltip(size_t index);
    [[nodiscard]] bool IsKnownBar(size_t index) const;

    // Lock order: creationLock_ before stateLock_; nothing else is taken while stateLock_ is held.
    mutable std::mutex stateLock_; // guards shownLoads_ and efficient_
    std::mutex creationLock_;
    HWND parent_ = nullptr;
    std::vector<HWND> bars_;     // null once the bar is destroyed
    std::vector<HWND> tooltips_; // null once the tooltip is destroyed
    std::map<HWND, std::wstring> tipTexts_;
    std::map<HWND, size_t> barIndex_;
    std::vector<LONG> shownLoads_;
    std::vector<bool> unparked_;
    std::vector<bool> efficient_;
    GroupBrushes brushes_;
    HWND box_ = nullptr;
    MarkerImage marker_;
    int dpi_ = 96;
    GroupInsets insets_;
    std::wstring parkedLabel_;
    std::wstring efficientLabel_;
};
