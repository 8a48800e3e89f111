#pragma once
// The core utilisation graph: one bar per logical CPU, one framed group per NUMA node.
// Public surface used by the main window; the implementation adds its private members.

#include <windows.h>

#include <mutex>

class CoreGraph
{
  public:
    CoreGraph();
    ~CoreGraph();
    CoreGraph(const CoreGraph&) = delete;
    CoreGraph& operator=(const CoreGraph&) = delete;

    bool RegisterGraphClass();
    [[nodiscard]] bool IsClassRegistered() const;
    bool Build(HWND parent, int x, int y, int width, int height);
    void ApplyColours();
    void ShowAll();
    bool StartSampling();
    void StopSampling();
    void Tick();
    void Refresh();
    // Average of the latest loads of one class (efficient or performance cores); returns the count.
    int AverageLoad(bool efficient, double& average);
    [[nodiscard]] HWND Window() const;

    // Colours (0x00BBGGRR) and the efficiency marker; set directly, then ApplyColours.
    COLORREF TextColour = RGB(255, 255, 255);
    COLORREF LoadFillColour = RGB(255, 255, 255);
    COLORREF BarBackgroundColour = RGB(255, 255, 255);
    COLORREF FrameColour = RGB(255, 255, 255);
    COLORREF WindowBackgroundColour = RGB(0, 0, 0);
    COLORREF ParkedFillColour = RGB(255, 255, 255);
    HBITMAP Marker = nullptr;   // not owned
    BITMAP MarkerSize{};
    bool MarkerAndMode = false;
};
