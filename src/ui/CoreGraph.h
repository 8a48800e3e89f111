#pragma once
// The core utilisation graph: one bar per logical CPU, one framed group per NUMA node.
// Public surface used by the main window; the implementation adds its private members.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/Handles.h"
#include "cpu/CoreTopology.h"

class NodeGroup;
struct GroupBrushes;
class UtilisationSampler;

inline constexpr wchar_t GraphClassName[] = L"Orlenby_CPUCoreUtilizationGraph";

// lParam of WM_GRAPH_SET_TIP.
struct GraphTipRecord
{
    std::uint32_t Node;
    std::uint32_t Cpu;
    std::uint64_t Unused;
    const wchar_t* Text; // null: empty
};

// Makes the sampler that StartSampling installs.
using SamplerFactory = std::function<std::unique_ptr<UtilisationSampler>()>;

class CoreGraph
{
  public:
    // The system's topology, NUMA nodes and performance counters.
    CoreGraph();
    // A given topology with node numbers 0..highestNode, and samplers from the factory: shows a
    // processor other than the machine's, with loads and parking states chosen by the sampler's source.
    CoreGraph(CoreTopology topology, ULONG highestNode, SamplerFactory samplerFactory);
    ~CoreGraph();
    CoreGraph(const CoreGraph&) = delete;
    CoreGraph& operator=(const CoreGraph&) = delete;

    // Another processor and sampler from the next Build on; no highest node asks the system at each
    // Build. Lets the main window show a chosen processor (its tests).
    void UseSource(CoreTopology topology, std::optional<ULONG> highestNode, SamplerFactory samplerFactory);

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

    // The windows of one NUMA node's group; null where there is none.
    [[nodiscard]] size_t GroupCount() const;
    [[nodiscard]] HWND GroupBox(size_t node) const;
    [[nodiscard]] HWND Bar(size_t node, size_t index) const;
    // The sampler StartSampling installed, or null.
    [[nodiscard]] const UtilisationSampler* Sampler() const;

    // Colours (0x00BBGGRR) and the efficiency marker; set directly, then ApplyColours.
    COLORREF TextColour = RGB(255, 255, 255);
    COLORREF LoadFillColour = RGB(255, 255, 255);
    COLORREF BarBackgroundColour = RGB(255, 255, 255);
    COLORREF FrameColour = RGB(255, 255, 255);
    COLORREF WindowBackgroundColour = RGB(0, 0, 0);
    COLORREF ParkedFillColour = RGB(255, 255, 255);
    HBITMAP Marker = nullptr; // not owned
    BITMAP MarkerSize{};
    bool MarkerAndMode = false;

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    LRESULT OnSetTip(LPARAM lParam);
    void DestroySampler();
    // The brushes as the groups draw with them (the window background is the group background).
    [[nodiscard]] GroupBrushes Brushes() const;
    [[nodiscard]] ULONG HighestNode() const;

    bool classRegistered_ = false;
    bool refreshBusy_ = false;
    // Guards sampler_ against being replaced while it is used. Lock order: graphLock_ before a
    // group's state lock (Refresh).
    std::mutex graphLock_;
    CoreTopology topology_;
    std::optional<ULONG> highestNode_; // unset: asked from the system at each Build
    SamplerFactory samplerFactory_;
    std::unique_ptr<UtilisationSampler> sampler_;
    UniqueGdiObject loadFillBrush_;
    UniqueGdiObject barBackgroundBrush_;
    UniqueGdiObject windowBackgroundBrush_;
    UniqueGdiObject parkedFillBrush_;
    UniqueGdiObject frameBrush_;
    HWND window_ = nullptr;
    std::vector<std::unique_ptr<NodeGroup>> groups_;
    std::wstring parkedLabel_;
    std::wstring efficientLabel_;
};
