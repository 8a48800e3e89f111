#include "enforce/Monitor.h"

#include <algorithm>
#include <memory>

#include "app/Globals.h"
#include "enforce/EnforcementPass.h"

namespace
{
struct ThreadStart
{
    Monitor* monitor;
    ProcessRuleList rules;
};
} // namespace

Monitor::Monitor() : Monitor(BuildPCoreMask())
{
}

Monitor::Monitor(PCoreData pCores) : Monitor(std::move(pCores), RealPassSystemCalls())
{
}

Monitor::Monitor(PCoreData pCores, PassSystemCalls calls)
    : pCoreMask_(pCores.PCoreMask), pCoreGroupAffinities_(std::move(pCores.PCoreGroupAffinities)),
      everyGroupPCores_(std::move(pCores.EveryGroupPCores)), calls_(std::move(calls))
{
}

Monitor::~Monitor()
{
    StopMonitor();
}

void Monitor::StartMonitor()
{
    StopMonitor();
    auto start = std::make_unique<ThreadStart>();
    start->monitor = this;
    LoadRuleList(RuleListPath, start->rules);

    // Without its stop event or its thread, monitoring stays stopped (and nothing is left half made),
    // so the next start tries again from scratch.
    UniqueHandle stopEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!stopEvent)
        return;
    stopEvent_ = std::move(stopEvent);
    DWORD threadId = 0;
    UniqueHandle thread(calls_.CreateThread(&Monitor::ThreadEntry, start.get(), threadId));
    if (!thread)
    {
        stopEvent_.Reset();
        return;
    }
    static_cast<void>(start.release()); // the thread owns it now
    thread_ = std::move(thread);
    threadId_ = threadId;
}

bool Monitor::StopMonitor()
{
    if (!stopEvent_)
        return false;
    ::SetEvent(stopEvent_.Get());
    if (thread_)
        ::WaitForSingleObject(thread_.Get(), INFINITE);
    thread_.Reset();
    threadId_ = 0;
    stopEvent_.Reset();
    return true;
}

void Monitor::AddPassNotifyEvent(HANDLE event)
{
    std::lock_guard<std::mutex> guard(passNotifyLock_);
    MoveToEnd(passNotifyEvents_, event);
}

bool Monitor::IsMonitoring() const
{
    return stopEvent_.IsValid();
}

LONG Monitor::MonitorState() const
{
    return monitorState_.load();
}

std::uint64_t Monitor::PCoreMask() const
{
    return pCoreMask_;
}

const std::vector<GROUP_AFFINITY>& Monitor::PCoreGroupAffinities() const
{
    return pCoreGroupAffinities_;
}

DWORD WINAPI Monitor::ThreadEntry(void* parameter) noexcept
{
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
    return MonitorThread(*start->monitor, std::move(start->rules));
}

void Monitor::SignalPassNotifyEvents()
{
    std::lock_guard<std::mutex> guard(passNotifyLock_);
    for (HANDLE event : passNotifyEvents_)
        ::SetEvent(event);
}

void MoveToEnd(std::vector<HANDLE>& events, HANDLE event)
{
    if (const auto it = std::find(events.begin(), events.end(), event); it != events.end())
        events.erase(it);
    events.push_back(event);
}
