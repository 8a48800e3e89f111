#include "enforce/EnforcementPass.h"

#include <cstdarg>
#include <cwchar>
#include <exception>
#include <string>

#include "app/Globals.h"
#include "enforce/Monitor.h"
#include "enforce/PatternMatcher.h"

namespace
{
// FARPROC to the entry point's real type; the detour through a generic function type keeps
// compilers from warning about the cast itself.
template <typename Proc> Proc EntryPointAs(FARPROC address)
{
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(address));
}

// A pass that throws (only allocation can) is dropped; the next one starts afresh.
void RunPass(Monitor& monitor, const ProcessRuleList& rules, bool rulesHavePathPatterns) noexcept
{
    try
    {
        EnforcementPass(monitor, rules, rulesHavePathPatterns);
    }
    catch (const std::exception&)
    {
    }
}
} // namespace

void ReportError(const wchar_t* format, ...)
{
    // The last element stays 0, so a text too long for the buffer is cut rather than overrun.
    wchar_t text[1024] = {};
    va_list arguments;
    va_start(arguments, format);
    std::vswprintf(text, sizeof(text) / sizeof(text[0]) - 1, format, arguments);
    va_end(arguments);
    std::wstring line(text);
    line += L'\n';
    ::OutputDebugStringW(line.c_str());
}

DWORD MonitorThread(Monitor& monitor, ProcessRuleList rules)
{
    monitor.monitorState_ = 1;
    // The list is this thread's own and never changes, so its kinds are looked at once.
    const bool rulesHavePathPatterns = HasPathPattern(rules);
    RunPass(monitor, rules, rulesHavePathPatterns);
    // The stop signal of a StopMonitor right after the start stays pending in the auto-reset event
    // until this first wait, so every thread makes at least one full pass.
    const HANDLE stopEvent = monitor.stopEvent_.Get();
    while (monitor.calls_.WaitForObject(stopEvent, ScanIntervalMs) == WAIT_TIMEOUT)
        RunPass(monitor, rules, rulesHavePathPatterns);
    monitor.monitorState_ = 0;
    return 0;
}

void EnforcementPass(Monitor& monitor, const ProcessRuleList& rules)
{
    EnforcementPass(monitor, rules, HasPathPattern(rules));
}

void EnforcementPass(Monitor& monitor, const ProcessRuleList& rules, bool rulesHavePathPatterns)
{
    bool efficiency = true;
    bool affinity = false;
    bool cpuSets = false;
    GlobalSettings.GetBool(MethodEfficiencyModeName, efficiency, true);
    GlobalSettings.GetBool(MethodCPUAffinityName, affinity, false);
    GlobalSettings.GetBool(MethodCPUSetsName, cpuSets, false);

    const PassSystemCalls& calls = monitor.calls_;
    UniqueSnapshot snapshot(calls.CreateProcessSnapshot());
    if (!snapshot)
        return; // no counters, no notifications: the status keeps the previous pass

    DWORD scanned = 0;
    DWORD matched = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = calls.FirstProcess(snapshot.Get(), entry); more; more = calls.NextProcess(snapshot.Get(), entry))
    {
        ++scanned;
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        ProcessPatternMatcher matcher(entry.th32ProcessID, entry.szExeFile,
                                      rulesHavePathPatterns ? &calls.FullImagePath : nullptr);
        for (const std::wstring& pattern : rules)
        {
            if (!matcher.Matches(pattern))
                continue;
            ++matched;
            monitor.PrepareFirstMatch();
            if (efficiency)
                monitor.SwitchEfficiencyModeOff(entry.th32ProcessID);
            if (affinity)
                monitor.SetPCoreAffinity(entry.th32ProcessID);
            if (cpuSets)
                monitor.SetPCoreCpuSets(entry.th32ProcessID);
        }
    }
    snapshot.Reset();

    SetCounter(LastScannedCountName, scanned);
    SetCounter(CurrentEnforcedCountName, matched);
    monitor.SignalPassNotifyEvents();
}

void Monitor::PrepareFirstMatch()
{
    std::call_once(cache_.firstMatch, [this] {
        cache_.activeProcessorMask = calls_.ActiveProcessorMask();
        cache_.activeGroupCount = calls_.ActiveProcessorGroupCount();
        cache_.setProcessInformation =
            EntryPointAs<SetProcessInformationProc>(calls_.FindKernel32EntryPoint("SetProcessInformation"));
    });
}

void Monitor::SwitchEfficiencyModeOff(DWORD processId)
{
    if (cache_.setProcessInformation == nullptr)
    {
        ReportError(EfficiencyModeFailedMessage);
        return;
    }
    UniqueHandle process(calls_.OpenProcess(PROCESS_SET_INFORMATION, processId));
    if (!process)
    {
        ReportError(EfficiencyModeFailedMessage);
        return;
    }
    // The control bit with a clear state bit: never throttle this process's execution speed.
    PowerThrottlingState state{PowerThrottlingCurrentVersion, PowerThrottlingExecutionSpeed, 0};
    const BOOL done = cache_.setProcessInformation(process.Get(), ProcessPowerThrottlingClass, &state, sizeof(state));
    process.Reset();
    if (!done)
        ReportError(EfficiencyModeFailedMessage);
}

void Monitor::SetPCoreAffinity(DWORD processId)
{
    // With several processor groups a process's primary group need not be group 0, and on Windows 11
    // a process spans groups and the call fails: a group-0 mask would only confine or scramble it.
    // Such machines are steered by CPU sets alone.
    if (cache_.activeGroupCount > 1)
        return;
    UniqueHandle process(calls_.OpenProcess(PROCESS_SET_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION, processId));
    if (!process)
    {
        ReportError(AffinityMaskFailedMessage);
        return;
    }
    DWORD_PTR mask = static_cast<DWORD_PTR>(pCoreMask_);
    if (cache_.activeProcessorMask != 0)
        mask &= cache_.activeProcessorMask;
    // Setting the process mask sets every thread's mask too, which would undo the threads the program
    // pinned itself each second; the same process mask needs no call.
    DWORD_PTR current = 0;
    if (calls_.GetProcessAffinityMask(process.Get(), current) && current == mask)
        return;
    const BOOL done = calls_.SetProcessAffinityMask(process.Get(), mask);
    process.Reset();
    if (!done)
        ReportError(AffinityMaskFailedMessage);
}

void Monitor::SetPCoreCpuSets(DWORD processId)
{
    std::call_once(cache_.firstCpuSetUse, [this] {
        CpuSetEntryPoints& found = cache_.cpuSetEntryPoints;
        found.GetProcessDefaultCpuSets =
            EntryPointAs<GetProcessDefaultCpuSetsProc>(calls_.FindKernel32EntryPoint("GetProcessDefaultCpuSets"));
        found.SetProcessDefaultCpuSets =
            EntryPointAs<SetProcessDefaultCpuSetsProc>(calls_.FindKernel32EntryPoint("SetProcessDefaultCpuSets"));
        found.GetSystemCpuSetInformation =
            EntryPointAs<GetSystemCpuSetInformationProc>(calls_.FindKernel32EntryPoint("GetSystemCpuSetInformation"));
    });
    UniqueHandle process(calls_.OpenProcess(ProcessSetLimitedInformationAccess, processId));
    if (!process)
    {
        ReportError(CpuSetsFailedMessage);
        return;
    }
    const CpuSetEntryPoints& entryPoints = cache_.cpuSetEntryPoints;
    if (!entryPoints.AllPresent())
    {
        process.Reset();
        ReportError(CpuSetsFailedMessage);
        return;
    }
    // Several groups: the P-cores of all of them; the catalog holds the CPU sets of every group.
    const std::vector<GROUP_AFFINITY>& affinities =
        cache_.activeGroupCount > 1 && !everyGroupPCores_.empty() ? everyGroupPCores_ : pCoreGroupAffinities_;
    BOOL done = FALSE;
    if (affinities.empty())
    {
        // No P-core list: clear the process's default CPU sets.
        done = entryPoints.SetProcessDefaultCpuSets(process.Get(), nullptr, 0);
    }
    else
    {
        std::vector<ULONG> ids(64 * affinities.size());
        ULONG count = 0;
        CpuSetIdsFor(cache_.catalog, entryPoints, affinities, ids.data(), count);
        done = entryPoints.SetProcessDefaultCpuSets(process.Get(), ids.data(), count);
    }
    process.Reset();
    if (!done)
        ReportError(CpuSetsFailedMessage);
}
