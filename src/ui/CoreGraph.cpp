#include "ui/CoreGraph.h"

#include <algorithm>

#include "cpu/UtilisationSampler.h"
#include "ui/CoreGraphLayout.h"
#include "ui/NodeGroup.h"
#include "ui/PrivateMessages.h"

namespace
{
HINSTANCE ThisModule()
{
    return ::GetModuleHandleW(nullptr);
}

HBRUSH AsBrush(const UniqueGdiObject& brush)
{
    return static_cast<HBRUSH>(brush.Get());
}
} // namespace

CoreGraph::CoreGraph() : CoreGraph(CoreTopology(), 0, [] { return std::make_unique<UtilisationSampler>(); })
{
    highestNode_.reset();
}

CoreGraph::CoreGraph(CoreTopology topology, ULONG highestNode, SamplerFactory samplerFactory)
    : topology_(std::move(topology)), highestNode_(highestNode), samplerFactory_(std::move(samplerFactory)),
      parkedLabel_(ParkedLabel), efficientLabel_(EfficientLabel)
{
}

void CoreGraph::UseSource(CoreTopology topology, std::optional<ULONG> highestNode, SamplerFactory samplerFactory)
{
    topology_ = std::move(topology);
    highestNode_ = highestNode;
    samplerFactory_ = std::move(samplerFactory);
}

CoreGraph::~CoreGraph()
{
    if (window_ != nullptr && ::IsWindow(window_))
        ::DestroyWindow(window_);
    groups_.clear();
    // A sampler still running here (the process ends with the main window open) is stopped before
    // what it uses goes away.
    DestroySampler();
}

bool CoreGraph::RegisterGraphClass()
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.cbWndExtra = sizeof(CoreGraph*);
    windowClass.hInstance = ThisModule();
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
    windowClass.lpszClassName = GraphClassName;
    // Another graph of this process may have registered the class already; every window finds its
    // own graph through its extra bytes, so the class serves them all.
    if (::RegisterClassExW(&windowClass) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS)
        classRegistered_ = true;
    return classRegistered_;
}

bool CoreGraph::IsClassRegistered() const
{
    return classRegistered_;
}

bool CoreGraph::Build(HWND parent, int x, int y, int width, int height)
{
    if (!classRegistered_)
        return false;
    groups_.clear();
    // A graph window of an earlier build that is still alive would otherwise linger beside the new one.
    if (window_ != nullptr && ::IsWindow(window_))
        ::DestroyWindow(window_);
    window_ = ::CreateWindowExW(0, GraphClassName, nullptr, WS_CHILD | WS_CLIPCHILDREN, x, y, width, height, parent,
                                nullptr, ThisModule(), this);
    if (window_ == nullptr)
        return false;

    // The dialog's font for the captions; the graph window itself has none.
    const auto font = reinterpret_cast<HFONT>(::SendMessageW(parent, WM_GETFONT, 0, 0));
    const ULONG highest = HighestNode();
    std::vector<DWORD> cpuCounts;
    for (size_t i = 0; i <= highest; ++i)
    {
        const auto node = static_cast<DWORD>(i);
        auto group = std::make_unique<NodeGroup>(parkedLabel_, efficientLabel_);
        const DWORD count = topology_.LogicalProcessorCount(node);
        group->Create(window_, count, GroupTitle(node, highest), Brushes(), font);
        for (DWORD index = 0; index < count; ++index)
        {
            group->SetTipText(index, BarTipText(node, index));
            WORD processorGroup = 0;
            BYTE number = 0;
            const bool efficient = topology_.ProcessorOfNode(node, index, processorGroup, number) &&
                                   topology_.IsEfficiencyCore(processorGroup, number);
            group->SetEfficient(index, efficient);
        }
        groups_.push_back(std::move(group));
        cpuCounts.push_back(count);
    }

    ApplyColours();
    ::SetWindowPos(window_, nullptr, x, y, width, height, SWP_NOZORDER);

    const std::vector<GroupSlot> slots = ShareGraphWidth(cpuCounts, width);
    for (size_t i = 0; i < groups_.size(); ++i)
    {
        if (slots[i].laidOut)
            groups_[i]->Layout(slots[i].x, slots[i].width, height);
        else
            groups_[i]->Hide();
    }
    return true;
}

void CoreGraph::ApplyColours()
{
    loadFillBrush_.Reset(::CreateSolidBrush(LoadFillColour));
    barBackgroundBrush_.Reset(::CreateSolidBrush(BarBackgroundColour));
    windowBackgroundBrush_.Reset(::CreateSolidBrush(WindowBackgroundColour));
    parkedFillBrush_.Reset(::CreateSolidBrush(ParkedFillColour));
    frameBrush_.Reset(::CreateSolidBrush(FrameColour));

    if (window_ != nullptr)
        ::SetClassLongPtrW(window_, GCLP_HBRBACKGROUND, reinterpret_cast<LONG_PTR>(windowBackgroundBrush_.Get()));
    const GroupBrushes brushes = Brushes();
    for (const auto& group : groups_)
    {
        group->SetBrushes(brushes);
        if (Marker != nullptr)
            group->SetMarker(
                {Marker, static_cast<int>(MarkerSize.bmWidth), static_cast<int>(MarkerSize.bmHeight), MarkerAndMode});
    }
}

GroupBrushes CoreGraph::Brushes() const
{
    return {AsBrush(barBackgroundBrush_), AsBrush(loadFillBrush_), AsBrush(frameBrush_), AsBrush(parkedFillBrush_),
            AsBrush(windowBackgroundBrush_)};
}

void CoreGraph::ShowAll()
{
    for (const auto& group : groups_)
        group->Show();
}

bool CoreGraph::StartSampling()
{
    if (!classRegistered_)
        return false;
    std::lock_guard<std::mutex> lock(graphLock_);
    // The old sampler's thread is joined before the new one starts: never two at once.
    sampler_.reset();
    sampler_ = samplerFactory_ ? samplerFactory_() : nullptr;
    return true;
}

void CoreGraph::StopSampling()
{
    DestroySampler();
}

void CoreGraph::DestroySampler()
{
    std::lock_guard<std::mutex> lock(graphLock_);
    sampler_.reset();
}

void CoreGraph::Tick()
{
    {
        std::lock_guard<std::mutex> lock(graphLock_);
        if (sampler_)
            sampler_->RequestSample();
    }
    Refresh();
}

void CoreGraph::Refresh()
{
    if (!sampler_ || refreshBusy_)
        return;
    std::lock_guard<std::mutex> lock(graphLock_);
    refreshBusy_ = true;
    const UtilisationSampler& sampler = *sampler_;
    const size_t nodes = std::min(sampler.NodeCount(), groups_.size());
    for (size_t node = 0; node < nodes; ++node)
    {
        NodeGroup& group = *groups_[node];
        for (size_t index = 0; index < sampler.ProcessorCount(node); ++index)
        {
            const LONG load = sampler.Load(node, index);
            if (load >= 0) // no value leaves the bar as it is
                group.SetLoad(index, load);
        }
        for (size_t index = 0; index < sampler.ProcessorCount(node); ++index)
        {
            // ShownLoad is 0 for an index without a bar, and MarkParked ignores such an index.
            if (ShowAsParked(sampler.ParkingState(node, index), group.ShownLoad(index)))
                group.MarkParked(index);
            else
                group.MarkUnparked(index);
        }
    }
    refreshBusy_ = false;
}

int CoreGraph::AverageLoad(bool efficient, double& average)
{
    average = 0.0;
    if (!sampler_)
        return 0;
    double sum = 0.0;
    int count = 0;
    for (size_t node = 0; node < groups_.size(); ++node)
    {
        const NodeGroup& group = *groups_[node];
        for (size_t index = 0; index < group.BarCount(); ++index)
        {
            if (group.IsEfficientAt(index) != efficient)
                continue;
            const LONG load = sampler_->Load(node, index);
            if (load < 0)
                continue;
            sum += load;
            ++count;
        }
    }
    if (count > 0)
        average = sum / count;
    return count;
}

HWND CoreGraph::Window() const
{
    return window_;
}

size_t CoreGraph::GroupCount() const
{
    return groups_.size();
}

HWND CoreGraph::GroupBox(size_t node) const
{
    return node < groups_.size() ? groups_[node]->Box() : nullptr;
}

HWND CoreGraph::Bar(size_t node, size_t index) const
{
    return node < groups_.size() ? groups_[node]->Bar(index) : nullptr;
}

const UtilisationSampler* CoreGraph::Sampler() const
{
    return sampler_.get();
}

ULONG CoreGraph::HighestNode() const
{
    return highestNode_ ? *highestNode_ : SystemHighestNumaNode();
}

LRESULT CoreGraph::OnSetTip(LPARAM lParam)
{
    const auto* record = reinterpret_cast<const GraphTipRecord*>(lParam);
    if (record->Node < groups_.size())
        groups_[record->Node]->SetTipText(record->Cpu, record->Text != nullptr ? record->Text : L"");
    return 0;
}

LRESULT CALLBACK CoreGraph::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    if (message == WM_CREATE)
    {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return 0;
    }
    auto* graph = reinterpret_cast<CoreGraph*>(::GetWindowLongPtrW(window, 0));
    try
    {
        switch (message)
        {
        case WM_GRAPH_START_SAMPLING:
            if (graph == nullptr)
                return 1;
            graph->StartSampling();
            return 0;
        case WM_GRAPH_STOP_SAMPLING:
            if (graph == nullptr)
                return 1;
            graph->StopSampling();
            return 0;
        case WM_GRAPH_SET_TIP:
            if (graph == nullptr || lParam == 0)
                return 1;
            return graph->OnSetTip(lParam);
        case WM_DESTROY:
            return 0;
        case WM_NCDESTROY:
            // The main window takes the graph window with it; the graph must not keep its handle.
            if (graph != nullptr && graph->window_ == window)
                graph->window_ = nullptr;
            ::SetWindowLongPtrW(window, 0, 0);
            break;
        case WM_ERASEBKGND: {
            const auto brush = reinterpret_cast<HBRUSH>(::GetClassLongPtrW(window, GCLP_HBRBACKGROUND));
            if (brush == nullptr)
                break;
            RECT client{};
            ::GetClientRect(window, &client);
            ::FillRect(reinterpret_cast<HDC>(wParam), &client, brush);
            return 1;
        }
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC: {
            const auto dc = reinterpret_cast<HDC>(wParam);
            if (graph != nullptr)
                ::SetTextColor(dc, graph->TextColour);
            ::SetBkMode(dc, TRANSPARENT);
            return static_cast<LRESULT>(::GetClassLongPtrW(window, GCLP_HBRBACKGROUND));
        }
        default:
            break;
        }
    }
    catch (...)
    {
        // Nothing may unwind into the system's dispatch; the message counts as handled.
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}
