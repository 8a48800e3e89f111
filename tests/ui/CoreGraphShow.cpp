// Shows the core graph of a hybrid processor (8 P-cores with two threads, 8 E-cores) under a
// game-like load, at the size and in the colours of the main window, for looking at and for
// screenshots. Usage: core_graph_show [seconds]   (default 30)

#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <memory>

#include "cpu/CoreTopology.h"
#include "cpu/UtilisationSampler.h"
#include "support/ChosenCounters.h"
#include "support/ProcessorBuffer.h"
#include "ui/CoreGraph.h"
#include "ui/resource.h"

using testing_support::ChosenCounters;
using testing_support::ProcessorBuffer;

namespace
{
// The graph's place in the main window, in pixels at 96 dots per inch.
constexpr int GraphWidth = 414;
constexpr int GraphHeight = 146;
constexpr int Padding = 12;

// CPUs 0-15: the two threads of each P-core; 16-23: the E-cores.
constexpr LONG Loads[24] = {94, 31, 88, 12, 97, 45, 72, 8, 83, 27, 66, 19, 91, 38, 57, 4, 14, 6, 0, 22, 0, 9, 0, 3};
constexpr LONG Parking[24] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0};

// The font a dialog has: the system's message font, which the graph gives its captions.
HFONT DialogFont()
{
    static const HFONT font = [] {
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof(metrics);
        ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
        return ::CreateFontIndirectW(&metrics.lfMessageFont);
    }();
    return font;
}

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
        ::PostQuitMessage(0);
    if (message == WM_GETFONT)
        return reinterpret_cast<LRESULT>(DialogFont());
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// A size at 96 dots per inch on this screen, as the main window's dialog units scale.
int Scaled(int value)
{
    const HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return ::MulDiv(value, dpi, 96);
}
} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    ProcessorBuffer buffer;
    buffer.Cores(8, 0, 2, 1).Cores(8, 16, 1, 0).Node(0, 0, 0xFFFFFF);
    const CoreTopology topology(buffer.Data(), buffer.Size());
    auto counters = std::make_shared<ChosenCounters>();
    for (DWORD i = 0; i < 24; ++i)
    {
        counters->SetLoad(0, i, Loads[i]);
        counters->SetParking(0, i, Parking[i]);
    }

    WNDCLASSW hostClass{};
    hostClass.lpfnWndProc = HostProc;
    hostClass.hInstance = ::GetModuleHandleW(nullptr);
    hostClass.hbrBackground = ::GetSysColorBrush(COLOR_BTNFACE);
    hostClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    hostClass.lpszClassName = L"TernvaleGraphShow";
    ::RegisterClassW(&hostClass);
    const int width = Scaled(GraphWidth);
    const int height = Scaled(GraphHeight);
    const int padding = Scaled(Padding);
    RECT frame{0, 0, width + 2 * padding, height + 2 * padding};
    ::AdjustWindowRect(&frame, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, FALSE);
    const HWND host = ::CreateWindowExW(
        0, L"TernvaleGraphShow", L"Ternvale core graph", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN, 20,
        20, frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);

    CoreGraph graph(topology, 0,
                    [counters, topology] { return std::make_unique<UtilisationSampler>(topology, 0, *counters); });
    graph.RegisterGraphClass();
    if (!graph.Build(host, padding, padding, width, height))
        return 1;
    // The main window's colours and marker.
    graph.TextColour = ::GetSysColor(COLOR_WINDOWTEXT);
    graph.LoadFillColour = 0x00198232;
    graph.FrameColour = ::GetSysColor(COLOR_ACTIVEBORDER);
    graph.BarBackgroundColour = ::GetSysColor(COLOR_BTNFACE);
    graph.WindowBackgroundColour = ::GetSysColor(COLOR_BTNFACE);
    graph.ParkedFillColour = 0x00ACACAC;
    graph.Marker = static_cast<HBITMAP>(::LoadImageW(
        ::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_EFFICIENCY_MARKER), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    graph.MarkerAndMode = true;
    ::GetObjectW(graph.Marker, sizeof(graph.MarkerSize), &graph.MarkerSize);
    graph.ApplyColours();
    graph.ShowAll();
    ::ShowWindow(graph.Window(), SW_SHOWNORMAL);
    graph.StartSampling();
    ::ShowWindow(host, SW_SHOWNORMAL);

    ::SetTimer(host, 1, 1000, nullptr);
    const DWORD end = ::GetTickCount() + static_cast<DWORD>(seconds) * 1000;
    MSG message;
    while (::GetTickCount() < end && ::GetMessageW(&message, nullptr, 0, 0) > 0)
    {
        if (message.message == WM_TIMER && message.hwnd == host)
            graph.Tick();
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    graph.StopSampling();
    ::DestroyWindow(host);
    return 0;
}
