// The core graph as windows: groups per NUMA node, bars drawn by the graph (checked on pixels),
// tooltips, the private messages, the refresh from sampled values and the average loads. The
// processor is built from a processor-information buffer and the loads are chosen by the test.

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "app/Handles.h"
#include "cpu/CoreTopology.h"
#include "cpu/UtilisationSampler.h"
#include "support/ChosenCounters.h"
#include "support/ProcessorBuffer.h"
#include "ui/CoreGraph.h"
#include "ui/PrivateMessages.h"
#include "ui/resource.h"

using namespace testing_support;

namespace
{

constexpr COLORREF Background = RGB(240, 240, 240);
constexpr COLORREF Frame = RGB(100, 100, 100);
constexpr COLORREF LoadFill = 0x00198232;
constexpr COLORREF Parked = 0x00ACACAC;
constexpr COLORREF WindowBackground = RGB(212, 208, 200);
constexpr COLORREF Text = RGB(10, 20, 30);

void Pump()
{
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
    {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

// A plain top-level window standing in for the main window.
class HostWindow
{
  public:
    HostWindow()
    {
        static const ATOM atom = [] {
            INITCOMMONCONTROLSEX controls{sizeof(controls),
                                          ICC_PROGRESS_CLASS | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
            ::InitCommonControlsEx(&controls);
            WNDCLASSW windowClass{};
            windowClass.lpfnWndProc = ::DefWindowProcW;
            windowClass.hInstance = ::GetModuleHandleW(nullptr);
            windowClass.lpszClassName = L"TernvaleGraphTestHost";
            return ::RegisterClassW(&windowClass);
        }();
        (void)atom;
        window_ = ::CreateWindowExW(0, L"TernvaleGraphTestHost", L"host", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0,
                                    700, 400, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    }
    ~HostWindow()
    {
        Destroy();
    }
    void Destroy()
    {
        if (window_ != nullptr)
            ::DestroyWindow(window_);
        window_ = nullptr;
        Pump();
    }
    [[nodiscard]] HWND Get() const
    {
        return window_;
    }

  private:
    HWND window_ = nullptr;
};

// A graph over a built processor whose counters read what the test chose.
struct GraphRig
{
    GraphRig(const ProcessorBuffer& buffer, ULONG highestNode)
        : counters(std::make_shared<ChosenCounters>()),
          graph(CoreTopology(buffer.Data(), buffer.Size()), highestNode,
                [counters = counters, topology = CoreTopology(buffer.Data(), buffer.Size()), highestNode] {
                    return std::make_unique<UtilisationSampler>(topology, highestNode, *counters);
                })
    {
    }

    bool BuildAndStart(int width = 400, int height = 150)
    {
        if (!graph.RegisterGraphClass() || !graph.Build(host.Get(), 0, 0, width, height))
            return false;
        graph.TextColour = Text;
        graph.LoadFillColour = LoadFill;
        graph.FrameColour = Frame;
        graph.BarBackgroundColour = Background;
        graph.WindowBackgroundColour = WindowBackground;
        graph.ParkedFillColour = Parked;
        graph.Marker = Marker();
        graph.MarkerAndMode = true;
        ::GetObjectW(graph.Marker, sizeof(graph.MarkerSize), &graph.MarkerSize);
        graph.ApplyColours();
        graph.ShowAll();
        return graph.StartSampling() && graph.Sampler() != nullptr && Refreshed();
    }

    // What the main window's next tick shows: a new sample, then its values in the bars.
    bool Refreshed()
    {
        const UtilisationSampler* sampler = graph.Sampler();
        const unsigned before = sampler->CompletedSamples();
        graph.Tick();
        for (int i = 0; i < 500 && sampler->CompletedSamples() <= before; ++i)
            ::Sleep(10);
        graph.Refresh();
        Pump();
        return sampler->CompletedSamples() > before;
    }

    static HBITMAP Marker()
    {
        static const HBITMAP marker = static_cast<HBITMAP>(::LoadImageW(
            ::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_EFFICIENCY_MARKER), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
        return marker;
    }

    HostWindow host;
    std::shared_ptr<ChosenCounters> counters;
    CoreGraph graph;
};

// Node 0: two P-cores with two threads each (CPUs 0-3, class 1), four E-cores (CPUs 4-7, class 0).
ProcessorBuffer SmallHybrid()
{
    ProcessorBuffer buffer;
    buffer.Cores(2, 0, 2, 1).Cores(4, 4, 1, 0).Node(0, 0, 0xFF);
    return buffer;
}

struct Pixels
{
    int width = 0;
    int height = 0;
    std::vector<COLORREF> values;
    [[nodiscard]] COLORREF At(int x, int y) const
    {
        return values[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    }
};

COLORREF FromDib(std::uint32_t bgra)
{
    return RGB((bgra >> 16) & 0xFF, (bgra >> 8) & 0xFF, bgra & 0xFF);
}

Pixels ReadDib(const void* bits, int width, int height)
{
    Pixels pixels{width, height, {}};
    const auto* source = static_cast<const std::uint32_t*>(bits);
    for (int i = 0; i < width * height; ++i)
        pixels.values.push_back(FromDib(source[i]));
    return pixels;
}

BITMAPINFO TopDown32(int width, int height)
{
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// Renders a window's client area as it paints itself (WM_PRINTCLIENT, or another message that
// draws into the given context) into a 32-bit bitmap.
Pixels Render(HWND window, UINT message = WM_PRINTCLIENT, COLORREF prefill = RGB(0, 0, 0))
{
    RECT client{};
    ::GetClientRect(window, &client);
    const BITMAPINFO info = TopDown32(client.right, client.bottom);
    void* bits = nullptr;
    UniqueGdiObject dib(::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    UniqueMemoryDc dc(::CreateCompatibleDC(nullptr));
    if (!dib || !dc)
        return {};
    const std::uint32_t prefillBgra =
        (std::uint32_t{GetRValue(prefill)} << 16) | (std::uint32_t{GetGValue(prefill)} << 8) | GetBValue(prefill);
    std::fill_n(static_cast<std::uint32_t*>(bits), static_cast<size_t>(client.right) * client.bottom, prefillBgra);
    SelectObjectRestorer selected(dc.Get(), dib.Get());
    ::SendMessageW(window, message, reinterpret_cast<WPARAM>(dc.Get()), PRF_CLIENT);
    ::GdiFlush();
    return ReadDib(bits, client.right, client.bottom);
}

Pixels MarkerPixels()
{
    const HBITMAP marker = GraphRig::Marker();
    BITMAPINFO info = TopDown32(16, 16);
    std::vector<std::uint32_t> bits(16 * 16);
    WindowDc screen(nullptr);
    if (::GetDIBits(screen.Get(), marker, 0, 16, bits.data(), &info, DIB_RGB_COLORS) != 16)
        return {};
    return ReadDib(bits.data(), 16, 16);
}

// Rows of the middle column, inside the frame, that have the colour.
int RowsOf(const Pixels& bar, COLORREF colour)
{
    int rows = 0;
    for (int y = 1; y < bar.height - 1; ++y)
        rows += bar.At(bar.width / 2, y) == colour ? 1 : 0;
    return rows;
}

bool IsVisibleStyle(HWND window)
{
    return (::GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

RECT RectInParent(HWND window)
{
    RECT rect{};
    ::GetWindowRect(window, &rect);
    ::MapWindowPoints(nullptr, ::GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[64] = {};
    ::GetWindowTextW(window, text, 64);
    return text;
}

// The text the box hands out when the bar's tooltip asks for it.
std::wstring TooltipOf(HWND bar)
{
    NMTTDISPINFOW info{};
    info.hdr.idFrom = reinterpret_cast<UINT_PTR>(bar);
    info.hdr.code = TTN_GETDISPINFOW;
    info.uFlags = TTF_IDISHWND;
    ::SendMessageW(::GetParent(bar), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
    return info.lpszText != nullptr ? info.lpszText : L"";
}

TEST(CoreGraph, OneNodeMakesOneGroupTitledCpu)
{
    GraphRig rig(SmallHybrid(), 0);
    ASSERT_TRUE(rig.BuildAndStart(400, 150));
    const HWND graph = rig.graph.Window();
    wchar_t className[64] = {};
    ::GetClassNameW(graph, className, 64);
    EXPECT_STREQ(className, L"Orlenby_CPUCoreUtilizationGraph");
    EXPECT_EQ(static_cast<DWORD>(::GetWindowLongW(graph, GWL_STYLE)) & 0xFFFF0000u, 0x42000000u);
    EXPECT_FALSE(IsVisibleStyle(graph)) << "the main window shows the graph itself";

    ASSERT_EQ(rig.graph.GroupCount(), 1u);
    const HWND box = rig.graph.GroupBox(0);
    EXPECT_EQ(WindowText(box), L"% CPU");
    EXPECT_TRUE(IsVisibleStyle(box));
    const RECT boxRect = RectInParent(box);
    EXPECT_EQ(boxRect.left, 0);
    EXPECT_EQ(boxRect.top, 0);
    EXPECT_EQ(boxRect.right, 400);
    EXPECT_EQ(boxRect.bottom, 150);

    // Eight bars: two rows of four, 95 wide, 59 high, tops 20 and 81.
    for (size_t i = 0; i < 8; ++i)
    {
        SCOPED_TRACE(i);
        const HWND bar = rig.graph.Bar(0, i);
        ASSERT_NE(bar, nullptr);
        EXPECT_TRUE(IsVisibleStyle(bar));
        const RECT rect = RectInParent(bar);
        EXPECT_EQ(rect.left, 10 + static_cast<LONG>(i % 4) * 95);
        EXPECT_EQ(rect.top, i < 4 ? 20 : 81);
        EXPECT_EQ(rect.right - rect.left, 95);
        EXPECT_EQ(rect.bottom - rect.top, 59);
    }
    EXPECT_EQ(rig.graph.Bar(0, 8), nullptr);
}

// The host answers WM_GETFONT with the font, as a dialog answers with its own.
LRESULT CALLBACK AnswerFont(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR font)
{
    if (message == WM_GETFONT)
        return static_cast<LRESULT>(font);
    return ::DefSubclassProc(window, message, wParam, lParam);
}

TEST(CoreGraph, ACaptionInTheDialogsTallFontStaysAboveTheBars)
{
    // A dialog font as tall as at 150 % or more: the bars move down below the caption instead of
    // covering it. Drawn without smoothing, so that every caption pixel has the text colour.
    LOGFONTW look{};
    look.lfHeight = -26;
    look.lfWeight = FW_BOLD;
    look.lfQuality = NONANTIALIASED_QUALITY;
    std::wcscpy(look.lfFaceName, L"Tahoma");
    const UniqueGdiObject font(::CreateFontIndirectW(&look));
    ASSERT_TRUE(font);
    GraphRig rig(SmallHybrid(), 0);
    ::SetWindowSubclass(rig.host.Get(), &AnswerFont, 1, reinterpret_cast<DWORD_PTR>(font.Get()));
    ASSERT_TRUE(rig.BuildAndStart(400, 200));

    const HWND box = rig.graph.GroupBox(0);
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(::SendMessageW(box, WM_GETFONT, 0, 0)), font.Get());
    // What the box paints over an unused colour: its frame, the caption's background and the glyphs.
    constexpr COLORREF Unpainted = RGB(255, 0, 255);
    const Pixels pixels = Render(box, WM_PRINTCLIENT, Unpainted);
    ASSERT_GT(pixels.height, 0);
    SIZE captionSize{};
    {
        const WindowDc dc(box);
        const SelectObjectRestorer selected(dc.Get(), font.Get());
        ::GetTextExtentPoint32W(dc.Get(), L"% CPU", 5, &captionSize);
    }
    // The glyphs' lowest row, within the caption's columns and clear of the frame's side line.
    int captionBottom = -1;
    for (int y = 0; y < pixels.height; ++y)
        for (int x = 6; x < std::min(pixels.width, 6 + static_cast<int>(captionSize.cx) + 10); ++x)
        {
            const COLORREF c = pixels.At(x, y);
            if (c != Unpainted && c != WindowBackground && c != Frame && GetRValue(c) < 100)
                captionBottom = y;
        }
    ASSERT_GE(captionBottom, 20) << "the caption should reach below the inset of the system font";
    for (size_t i = 0; i < 8; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_GT(RectInParent(rig.graph.Bar(0, i)).top, captionBottom);
    }
    ::RemoveWindowSubclass(rig.host.Get(), &AnswerFont, 1);
}

TEST(CoreGraph, NodesShareTheWidthAndANodeWithoutCpusTakesNone)
{
    struct Case
    {
        const char* name;
        ProcessorBuffer buffer;
        ULONG highest;
        std::vector<std::wstring> titles;
        std::vector<bool> shown;
        std::vector<LONG> lefts;
    } cases[] = {
        {"two nodes",
         ProcessorBuffer().Cores(8, 0, 1, 0).Node(0, 0, 0x0F).Node(1, 0, 0xF0),
         1,
         {L"Node 0", L"Node 1"},
         {true, true},
         {0, 300}},
        {"empty node in the middle",
         ProcessorBuffer().Cores(8, 0, 1, 0).Node(0, 0, 0x0F).Node(2, 0, 0xF0),
         2,
         {L"Node 0", L"Node 1", L"Node 2"},
         {true, false, true},
         {0, -1, 300}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        GraphRig rig(c.buffer, c.highest);
        ASSERT_TRUE(rig.graph.RegisterGraphClass());
        ASSERT_TRUE(rig.graph.Build(rig.host.Get(), 0, 0, 600, 150));
        ASSERT_EQ(rig.graph.GroupCount(), c.titles.size());
        for (size_t node = 0; node < c.titles.size(); ++node)
        {
            SCOPED_TRACE(node);
            const HWND box = rig.graph.GroupBox(node);
            EXPECT_EQ(WindowText(box), c.titles[node]);
            EXPECT_EQ(IsVisibleStyle(box), c.shown[node]);
            if (!c.shown[node])
                continue;
            const RECT rect = RectInParent(box);
            EXPECT_EQ(rect.left, c.lefts[node]);
            EXPECT_EQ(rect.right - rect.left, 300);
        }
    }
}

TEST(CoreGraph, BarsWithoutRoomAreHiddenUntilShowAll)
{
    GraphRig rig(SmallHybrid(), 0);
    ASSERT_TRUE(rig.graph.RegisterGraphClass());
    ASSERT_TRUE(rig.graph.Build(rig.host.Get(), 0, 0, 400, 35)); // two rows of height 1
    EXPECT_TRUE(IsVisibleStyle(rig.graph.GroupBox(0)));
    for (size_t i = 0; i < 8; ++i)
        EXPECT_FALSE(IsVisibleStyle(rig.graph.Bar(0, i)));
    rig.graph.ShowAll();
    for (size_t i = 0; i < 8; ++i)
        EXPECT_TRUE(IsVisibleStyle(rig.graph.Bar(0, i)));

    GraphRig low(SmallHybrid(), 0);
    ASSERT_TRUE(low.graph.RegisterGraphClass());
    ASSERT_TRUE(low.graph.Build(low.host.Get(), 0, 0, 400, 5));
    EXPECT_FALSE(IsVisibleStyle(low.graph.GroupBox(0)));
}

TEST(CoreGraph, NothingIsBuiltOrSampledWithoutTheClass)
{
    GraphRig rig(SmallHybrid(), 0);
    EXPECT_FALSE(rig.graph.IsClassRegistered());
    EXPECT_FALSE(rig.graph.Build(rig.host.Get(), 0, 0, 400, 150));
    EXPECT_EQ(rig.graph.Window(), nullptr);
    EXPECT_FALSE(rig.graph.StartSampling());
    EXPECT_EQ(rig.graph.Sampler(), nullptr);
    double average = -1;
    EXPECT_EQ(rig.graph.AverageLoad(false, average), 0);
    EXPECT_EQ(average, 0.0);
}

class CoreGraphDrawing : public testing::Test
{
  protected:
    void SetUp() override
    {
        // CPU: 0 full, 1 half, 2 parked and idle, 3 parked but busy (P-cores);
        //      4 idle, 5 parked and idle, 6 no values, 7 full (E-cores).
        const LONG loads[] = {100, 50, 0, 40, 0, 0, -1, 100};
        const LONG parking[] = {0, 0, 1, 1, 0, 1, -1, 0};
        for (DWORD i = 0; i < 8; ++i)
        {
            if (loads[i] >= 0)
                rig.counters->SetLoad(0, i, loads[i]);
            if (parking[i] >= 0)
                rig.counters->SetParking(0, i, parking[i]);
        }
        ASSERT_TRUE(rig.BuildAndStart(400, 150));
    }

    Pixels Bar(size_t index)
    {
        return Render(rig.graph.Bar(0, index));
    }

    GraphRig rig{SmallHybrid(), 0};
};

TEST_F(CoreGraphDrawing, AFullLoadFillsEveryRowButTheTopFrameAndOne)
{
    const Pixels bar = Bar(0);
    ASSERT_EQ(bar.width, 95);
    ASSERT_EQ(bar.height, 59);
    for (int x = 0; x < bar.width; ++x)
        EXPECT_EQ(bar.At(x, 0), Frame) << x;
    for (int y = 0; y < bar.height; ++y)
    {
        SCOPED_TRACE(y);
        EXPECT_EQ(bar.At(0, y), Frame);
        EXPECT_EQ(bar.At(bar.width - 1, y), Frame);
        for (int x = 1; x < bar.width - 1; ++x)
        {
            const COLORREF expected = y == 0 ? Frame : (y == 1 ? Background : LoadFill);
            if (bar.At(x, y) != expected)
            {
                ADD_FAILURE() << "pixel " << x << " has " << std::hex << bar.At(x, y);
                break;
            }
        }
    }
}

TEST_F(CoreGraphDrawing, HalfALoadFillsHalfTheInside)
{
    const Pixels bar = Bar(1);
    int filled = 0;
    for (int y = 0; y < bar.height; ++y)
        filled += bar.At(bar.width / 2, y) == LoadFill ? 1 : 0;
    EXPECT_EQ(filled, 28); // 50 % of the 57 rows inside the frame, rounded down
    EXPECT_EQ(bar.At(bar.width / 2, bar.height - 1), LoadFill);
    EXPECT_EQ(bar.At(bar.width / 2, bar.height - 28), LoadFill);
    EXPECT_EQ(bar.At(bar.width / 2, bar.height - 29), Background);
}

TEST_F(CoreGraphDrawing, AParkedIdleCpuIsGreyAndAParkedBusyOneIsNot)
{
    const Pixels parked = Bar(2);
    for (int y = 1; y < parked.height - 1; ++y)
        for (int x = 1; x < parked.width - 1; ++x)
            ASSERT_EQ(parked.At(x, y), Parked) << x << "," << y;
    EXPECT_EQ(parked.At(0, 0), Frame);
    EXPECT_EQ(parked.At(parked.width - 1, parked.height - 1), Frame);

    const Pixels busy = Bar(3);
    EXPECT_EQ(busy.At(busy.width / 2, 1), Background);
    EXPECT_EQ(busy.At(busy.width / 2, busy.height - 2), LoadFill);
    EXPECT_EQ(RowsOf(busy, Parked), 0);
}

TEST_F(CoreGraphDrawing, EfficiencyCoresCarryTheMarkerAndPerformanceCoresDoNot)
{
    const Pixels marker = MarkerPixels();
    ASSERT_EQ(marker.width, 16);
    const auto region = [](const Pixels& bar, int x, int y) {
        return bar.At((bar.width - 16) / 2 + x, (bar.height - 16) / 2 + y);
    };

    int leafPixels = 0;
    for (const size_t index : {4u, 5u, 6u, 7u})
    {
        SCOPED_TRACE(index);
        const Pixels bar = Bar(index);
        // What lies under the marker: the parked grey, the fill of a full bar, or the background.
        const COLORREF under = index == 5 ? Parked : (index == 7 ? LoadFill : Background);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
            {
                ASSERT_EQ(region(bar, x, y), marker.At(x, y) & under) << x << "," << y;
                leafPixels += marker.At(x, y) != RGB(255, 255, 255) ? 1 : 0;
            }
    }
    EXPECT_GT(leafPixels, 4 * 60) << "the marker should show a leaf, not white";

    for (const size_t index : {0u, 1u, 2u, 3u})
    {
        SCOPED_TRACE(index);
        const Pixels bar = Bar(index);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
            {
                const COLORREF pixel = region(bar, x, y);
                ASSERT_TRUE(pixel == Background || pixel == LoadFill || pixel == Parked) << x << "," << y;
            }
    }
}

TEST_F(CoreGraphDrawing, ParkingFollowsTheStatusAndTheShownLoad)
{
    const auto looksParked = [this](size_t index) {
        const Pixels bar = Bar(index);
        return bar.At(bar.width / 2, 1) == Parked;
    };
    ASSERT_TRUE(looksParked(2));
    ASSERT_FALSE(looksParked(3));

    // CPU 2 is no longer parked; CPU 3 stays parked and its load drops to 0.
    rig.counters->SetParking(0, 2, 0);
    rig.counters->SetLoad(0, 3, 0);
    ASSERT_TRUE(rig.Refreshed());
    EXPECT_FALSE(looksParked(2));
    EXPECT_TRUE(looksParked(3));

    // A parking status of no value (-1) counts as not parked.
    rig.counters->Clear(ParkingCounterPath(0, 3));
    ASSERT_TRUE(rig.Refreshed());
    EXPECT_FALSE(looksParked(3));
}

TEST_F(CoreGraphDrawing, ALoadWithoutValueLeavesTheBarAsItWas)
{
    const HWND bar = rig.graph.Bar(0, 1);
    EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 50);
    rig.counters->Clear(UtilityCounterPath(0, 1));
    ASSERT_TRUE(rig.Refreshed());
    ASSERT_EQ(rig.graph.Sampler()->Load(0, 1), -1);
    EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 50);
    rig.counters->SetLoad(0, 1, 73);
    ASSERT_TRUE(rig.Refreshed());
    EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 73);
}

TEST_F(CoreGraphDrawing, TheGraphAndItsBoxesPaintTheWindowBackground)
{
    const Pixels graph = Render(rig.graph.Window(), WM_ERASEBKGND);
    ASSERT_GT(graph.width, 0);
    EXPECT_EQ(graph.At(1, 1), WindowBackground);
    EXPECT_EQ(graph.At(graph.width - 1, graph.height - 1), WindowBackground);
    const Pixels box = Render(rig.graph.GroupBox(0), WM_ERASEBKGND);
    ASSERT_GT(box.width, 0);
    EXPECT_EQ(box.At(box.width / 2, box.height / 2), WindowBackground);

    // The box's caption is drawn in the text colour on the window background.
    WindowDc screen(nullptr);
    UniqueMemoryDc dc(::CreateCompatibleDC(screen.Get()));
    const LRESULT brush = ::SendMessageW(rig.graph.Window(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc.Get()), 0);
    EXPECT_EQ(brush, ::GetClassLongPtrW(rig.graph.Window(), GCLP_HBRBACKGROUND));
    EXPECT_EQ(::GetTextColor(dc.Get()), Text);
    EXPECT_EQ(::GetBkMode(dc.Get()), TRANSPARENT);
}

TEST_F(CoreGraphDrawing, TooltipsNameTheCpuAndAddEfficientAndParkedLines)
{
    struct Case
    {
        size_t index;
        std::wstring text;
    } cases[] = {
        {0, L"Node 0, Logical CPU 0"},
        {2, L"Node 0, Logical CPU 2\nParked"},
        {3, L"Node 0, Logical CPU 3"},
        {4, L"Node 0, Logical CPU 4\nEfficient"},
        {5, L"Node 0, Logical CPU 5\nEfficient\nParked"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.index);
        EXPECT_EQ(TooltipOf(rig.graph.Bar(0, c.index)), c.text);
    }
}

TEST_F(CoreGraphDrawing, TheTooltipControlAsksTheBoxForItsText)
{
    // Find the tooltip whose one tool is bar 5, then read the text the way the control shows it.
    const HWND bar = rig.graph.Bar(0, 5);
    struct Search
    {
        HWND bar;
        HWND tooltip = nullptr;
    } search{bar};
    ::EnumThreadWindows(
        ::GetCurrentThreadId(),
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            wchar_t className[64] = {};
            ::GetClassNameW(window, className, 64);
            if (std::wstring(className) != TOOLTIPS_CLASSW || ::SendMessageW(window, TTM_GETTOOLCOUNT, 0, 0) != 1)
                return TRUE;
            TOOLINFOW tool{};
            tool.cbSize = sizeof(tool);
            if (::SendMessageW(window, TTM_ENUMTOOLSW, 0, reinterpret_cast<LPARAM>(&tool)) &&
                tool.uId == reinterpret_cast<UINT_PTR>(s->bar))
            {
                s->tooltip = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    ASSERT_NE(search.tooltip, nullptr);

    TOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.hwnd = rig.graph.GroupBox(0);
    tool.uId = reinterpret_cast<UINT_PTR>(bar);
    ASSERT_TRUE(::SendMessageW(search.tooltip, TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&tool)));
    EXPECT_EQ(tool.uFlags & (TTF_IDISHWND | TTF_SUBCLASS), static_cast<UINT>(TTF_IDISHWND | TTF_SUBCLASS));

    wchar_t text[80] = {};
    tool.lpszText = text;
    ::SendMessageW(search.tooltip, TTM_GETTEXTW, 80, reinterpret_cast<LPARAM>(&tool));
    EXPECT_STREQ(text, L"Node 0, Logical CPU 5\nEfficient\nParked");
}

TEST_F(CoreGraphDrawing, SetTipReplacesTheFirstLinesOfAnExistingBar)
{
    const HWND graph = rig.graph.Window();
    const auto setTip = [graph](std::uint32_t node, std::uint32_t cpu, const wchar_t* text) {
        GraphTipRecord record{node, cpu, 0, text};
        return ::SendMessageW(graph, WM_GRAPH_SET_TIP, 0, reinterpret_cast<LPARAM>(&record));
    };
    EXPECT_EQ(setTip(0, 4, L"Render thread"), 0);
    EXPECT_EQ(TooltipOf(rig.graph.Bar(0, 4)), L"Render thread\nEfficient");
    EXPECT_EQ(setTip(0, 5, nullptr), 0);
    EXPECT_EQ(TooltipOf(rig.graph.Bar(0, 5)), L"Efficient\nParked");
    const std::wstring longText(120, L'w');
    EXPECT_EQ(setTip(0, 0, longText.c_str()), 0);
    EXPECT_EQ(TooltipOf(rig.graph.Bar(0, 0)), std::wstring(79, L'w'));

    // Indices that name no bar change nothing.
    EXPECT_EQ(setTip(0, 8, L"nothing"), 0);
    EXPECT_EQ(setTip(1, 0, L"nothing"), 0);
    EXPECT_EQ(TooltipOf(rig.graph.Bar(0, 1)), L"Node 0, Logical CPU 1");
    EXPECT_EQ(::SendMessageW(graph, WM_GRAPH_SET_TIP, 0, 0), 1);
}

TEST_F(CoreGraphDrawing, AverageLoadPerClassLeavesOutCpusWithoutValue)
{
    // P-cores 0-3: 100, 50, 0, 40; E-cores 4-7: 0, 0, none, 100.
    double average = -1;
    EXPECT_EQ(rig.graph.AverageLoad(false, average), 4);
    EXPECT_DOUBLE_EQ(average, 47.5);
    EXPECT_EQ(rig.graph.AverageLoad(true, average), 3);
    EXPECT_DOUBLE_EQ(average, 100.0 / 3);

    for (DWORD i = 0; i < 4; ++i)
        rig.counters->Clear(UtilityCounterPath(0, i));
    ASSERT_TRUE(rig.Refreshed());
    EXPECT_EQ(rig.graph.AverageLoad(false, average), 0);
    EXPECT_EQ(average, 0.0);

    rig.graph.StopSampling();
    EXPECT_EQ(rig.graph.AverageLoad(true, average), 0);
    EXPECT_EQ(average, 0.0);
}

TEST_F(CoreGraphDrawing, TheSamplingMessagesStopAndStartTheSampler)
{
    const HWND graph = rig.graph.Window();
    const UtilisationSampler* first = rig.graph.Sampler();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(::SendMessageW(graph, WM_GRAPH_STOP_SAMPLING, 0, 0), 0);
    EXPECT_EQ(rig.graph.Sampler(), nullptr);
    rig.graph.Tick(); // nothing to ask, nothing to show
    EXPECT_EQ(::SendMessageW(graph, WM_GRAPH_START_SAMPLING, 0, 0), 0);
    ASSERT_NE(rig.graph.Sampler(), nullptr);
    ASSERT_TRUE(rig.Refreshed());
    EXPECT_EQ(::SendMessageW(rig.graph.Bar(0, 0), PBM_GETPOS, 0, 0), 100);
}

TEST_F(CoreGraphDrawing, ClosingTheMainWindowTakesTheGraphWindowAlong)
{
    const HWND graph = rig.graph.Window();
    rig.graph.StopSampling();
    rig.host.Destroy();
    EXPECT_FALSE(::IsWindow(graph));
    EXPECT_EQ(rig.graph.Window(), nullptr);
    EXPECT_EQ(rig.graph.Bar(0, 0), nullptr);

    // A new opening builds afresh on the new main window.
    HostWindow again;
    ASSERT_TRUE(rig.graph.Build(again.Get(), 0, 0, 400, 150));
    ASSERT_TRUE(rig.graph.StartSampling());
    ASSERT_TRUE(rig.Refreshed());
    EXPECT_EQ(::SendMessageW(rig.graph.Bar(0, 7), PBM_GETPOS, 0, 0), 100);
    rig.graph.StopSampling();
    again.Destroy();
}

// The tooltips are popups, owned by the top-level window rather than by the graph: a rebuild on the
// same window must take the old ones away itself.
TEST(CoreGraph, ARebuildOnTheSameWindowLeavesOnlyTheNewTooltips)
{
    const auto tooltipsOfThisThread = [] {
        int count = 0;
        ::EnumThreadWindows(
            ::GetCurrentThreadId(),
            [](HWND window, LPARAM counter) -> BOOL {
                wchar_t className[64] = {};
                ::GetClassNameW(window, className, 64);
                if (std::wstring(className) == TOOLTIPS_CLASSW)
                    ++*reinterpret_cast<int*>(counter);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&count));
        return count;
    };
    const int before = tooltipsOfThisThread();
    GraphRig rig(SmallHybrid(), 0);
    ASSERT_TRUE(rig.graph.RegisterGraphClass());
    ASSERT_TRUE(rig.graph.Build(rig.host.Get(), 0, 0, 400, 150));
    EXPECT_EQ(tooltipsOfThisThread() - before, 8);
    ASSERT_TRUE(rig.graph.Build(rig.host.Get(), 0, 0, 400, 150));
    EXPECT_EQ(tooltipsOfThisThread() - before, 8);
    EXPECT_EQ(TooltipOf(rig.graph.Bar(0, 4)), L"Node 0, Logical CPU 4\nEfficient");
    rig.host.Destroy();
    EXPECT_EQ(tooltipsOfThisThread(), before);
}

TEST(CoreGraph, AGraphWindowWithoutItsGraphAnswersOne)
{
    HostWindow host;
    const ProcessorBuffer buffer = SmallHybrid();
    CoreGraph graph(CoreTopology(buffer.Data(), buffer.Size()), 0, nullptr);
    ASSERT_TRUE(graph.RegisterGraphClass());
    const HWND orphan = ::CreateWindowExW(0, GraphClassName, nullptr, WS_CHILD, 0, 0, 10, 10, host.Get(), nullptr,
                                          ::GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(orphan, nullptr);
    GraphTipRecord record{0, 0, 0, L"x"};
    EXPECT_EQ(::SendMessageW(orphan, WM_GRAPH_START_SAMPLING, 0, 0), 1);
    EXPECT_EQ(::SendMessageW(orphan, WM_GRAPH_STOP_SAMPLING, 0, 0), 1);
    EXPECT_EQ(::SendMessageW(orphan, WM_GRAPH_SET_TIP, 0, reinterpret_cast<LPARAM>(&record)), 1);
}

TEST(CoreGraph, AllCoresOfOneClassCarryNoMarker)
{
    ProcessorBuffer buffer;
    buffer.Cores(4, 0, 1, 0).Node(0, 0, 0x0F);
    GraphRig rig(buffer, 0);
    for (DWORD i = 0; i < 4; ++i)
        rig.counters->SetLoad(0, i, 10 * static_cast<LONG>(i + 1));
    ASSERT_TRUE(rig.BuildAndStart(400, 150));
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(TooltipOf(rig.graph.Bar(0, i)), L"Node 0, Logical CPU " + std::to_wstring(i));
    double average = 0;
    EXPECT_EQ(rig.graph.AverageLoad(true, average), 0);
    EXPECT_EQ(rig.graph.AverageLoad(false, average), 4);
    EXPECT_DOUBLE_EQ(average, 25.0);
}

// This process's GDI objects: GetGuiResources where the system counts them. Wine 8 answers 0 there,
// but keeps each process's GDI handles in a table of its own that the process environment block
// points to (GdiSharedHandleTable: 65536 entries of 24 bytes, the type byte at 14, 0 when free).
// 0 when neither is available.
DWORD GdiObjectCount()
{
    if (const DWORD counted = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS); counted != 0)
        return counted;
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr)
        return 0;
    constexpr size_t PebGdiSharedHandleTableOffset = 0xF8; // x64
    constexpr size_t TableEntries = 0x10000;
    constexpr size_t EntrySize = 24;
    constexpr size_t TypeOffset = 14;
    const auto* peb = reinterpret_cast<const unsigned char*>(NtCurrentTeb()->ProcessEnvironmentBlock);
    const unsigned char* table = nullptr;
    std::memcpy(&table, peb + PebGdiSharedHandleTableOffset, sizeof(table));
    if (table == nullptr)
        return 0;
    DWORD count = 0;
    for (size_t entry = 0; entry < TableEntries; ++entry)
        count += table[entry * EntrySize + TypeOffset] != 0 ? 1 : 0;
    return count;
}

// A refresh or a paint that makes a pen, brush, font or bitmap and does not free it shows as a GDI
// object count that grows with every round; after a warm-up the count must stay where it was.
TEST_F(CoreGraphDrawing, TheGdiObjectCountStaysFlatOverManyRefreshesAndRepaints)
{
    if (GdiObjectCount() == 0)
        GTEST_SKIP() << "this system gives no count of the process's GDI objects";
    const HWND host = rig.host.Get();
    ::ShowWindow(host, SW_SHOWNOACTIVATE);
    const auto round = [this, host](int n) {
        for (DWORD i = 0; i < 8; ++i)
        {
            rig.counters->SetLoad(0, i, static_cast<LONG>((n * 7 + i * 13) % 101));
            rig.counters->SetParking(0, i, static_cast<LONG>((n + i) % 2));
        }
        if (!rig.Refreshed())
            return false;
        ::RedrawWindow(host, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Render(rig.graph.Window());
        for (size_t bar = 0; bar < 8; ++bar)
            Render(rig.graph.Bar(0, bar));
        Pump();
        return true;
    };
    for (int n = 0; n < 10; ++n)
        ASSERT_TRUE(round(n));
    const DWORD before = GdiObjectCount();
    for (int n = 10; n < 210; ++n)
        ASSERT_TRUE(round(n));
    EXPECT_EQ(GdiObjectCount(), before);
}

} // namespace
