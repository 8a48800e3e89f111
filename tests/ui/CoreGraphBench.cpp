// Figures for the core graph's once-a-second work: a refresh that finds nothing changed, a refresh
// that moves every bar, and one bar's paint through its off-screen bitmap; for 24 and 128 CPUs.

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <memory>

#include "app/Handles.h"
#include "cpu/CoreTopology.h"
#include "cpu/UtilisationSampler.h"
#include "support/ChosenCounters.h"
#include "support/ProcessorBuffer.h"
#include "ui/CoreGraph.h"

using testing_support::ChosenCounters;
using testing_support::ProcessorBuffer;

namespace
{
double Now()
{
    LARGE_INTEGER counter{}, frequency{};
    ::QueryPerformanceCounter(&counter);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Pump()
{
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        ::DispatchMessageW(&message);
}

bool WaitForSamples(const UtilisationSampler& sampler, unsigned count)
{
    for (int i = 0; i < 500 && sampler.CompletedSamples() < count; ++i)
        ::Sleep(10);
    return sampler.CompletedSamples() >= count;
}

void Measure(HWND host, int cpus)
{
    // Half P-core threads (class 1), half E-cores (class 0), in NUMA nodes of at most 64 CPUs.
    ProcessorBuffer buffer;
    const int nodes = (cpus + 63) / 64;
    for (int node = 0; node < nodes; ++node)
    {
        const int count = cpus / nodes;
        const KAFFINITY all = count == 64 ? ~KAFFINITY{0} : (KAFFINITY{1} << count) - 1;
        for (int i = 0; i < count; ++i)
            buffer.Core(static_cast<WORD>(node), KAFFINITY{1} << i, i < count / 2 ? 1 : 0);
        buffer.Node(static_cast<DWORD>(node), static_cast<WORD>(node), all);
    }
    const CoreTopology topology(buffer.Data(), buffer.Size());
    const auto highest = static_cast<ULONG>(nodes - 1);
    auto counters = std::make_shared<ChosenCounters>();
    for (int node = 0; node < nodes; ++node)
        for (int i = 0; i < cpus / nodes; ++i)
            counters->SetLoad(static_cast<DWORD>(node), static_cast<DWORD>(i), (i * 37) % 101);

    CoreGraph graph(topology, highest, [counters, topology, highest] {
        return std::make_unique<UtilisationSampler>(topology, highest, *counters);
    });
    graph.RegisterGraphClass();
    graph.Build(host, 0, 0, 1200, 300);
    graph.ApplyColours();
    graph.StartSampling();
    WaitForSamples(*graph.Sampler(), 1);
    graph.Refresh();
    Pump();

    constexpr int Rounds = 2000;
    double start = Now();
    for (int i = 0; i < Rounds; ++i)
        graph.Refresh();
    const double unchanged = (Now() - start) / Rounds;

    // Every load changes: one posted position per bar, then the repaint it causes.
    for (int node = 0; node < nodes; ++node)
        for (int i = 0; i < cpus / nodes; ++i)
            counters->SetLoad(static_cast<DWORD>(node), static_cast<DWORD>(i), (i * 53) % 101);
    graph.Tick();
    WaitForSamples(*graph.Sampler(), 2);
    start = Now();
    graph.Refresh();
    Pump();
    for (int node = 0; node < nodes; ++node)
        for (int i = 0; i < cpus / nodes; ++i)
            ::UpdateWindow(graph.Bar(static_cast<size_t>(node), static_cast<size_t>(i)));
    const double changed = Now() - start;

    const HWND bar = graph.Bar(0, 0);
    RECT client{};
    ::GetClientRect(bar, &client);
    WindowDc screen(nullptr);
    UniqueMemoryDc dc(::CreateCompatibleDC(screen.Get()));
    UniqueGdiObject bitmap(::CreateCompatibleBitmap(screen.Get(), client.right, client.bottom));
    SelectObjectRestorer selected(dc.Get(), bitmap.Get());
    start = Now();
    for (int i = 0; i < Rounds; ++i)
        ::SendMessageW(bar, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc.Get()), PRF_CLIENT);
    const double paint = (Now() - start) / Rounds;

    std::printf("%4d CPUs: refresh, nothing changed %8.2f us; refresh moving every bar with its repaints %9.1f us; "
                "one bar paint (%ldx%ld) %7.2f us\n",
                cpus, unchanged * 1e6, changed * 1e6, client.right, client.bottom, paint * 1e6);
    graph.StopSampling();
}
} // namespace

int main()
{
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    const HWND host = ::CreateWindowExW(0, L"Static", L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 1240, 360, nullptr,
                                        nullptr, ::GetModuleHandleW(nullptr), nullptr);
    for (const int cpus : {24, 128})
        Measure(host, cpus);
    ::DestroyWindow(host);
    return 0;
}
