#pragma once
// The owner of the monitor thread: once a second it scans the processes and steers the matches.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "app/Handles.h"
#include "cpu/CoreTopology.h"
#include "enforce/PassSystem.h"
#include "rules/RuleList.h"

class Monitor
{
  public:
    // P-core data from the system's topology.
    Monitor();
    // P-core data given by the caller (tests).
    explicit Monitor(PCoreData pCores);
    // P-core data and system calls given by the caller (tests).
    Monitor(PCoreData pCores, PassSystemCalls calls);
    // Stops and joins the monitor thread.
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Stops a running thread, loads RuleListPath afresh and starts a new thread with that list.
    void StartMonitor();
    // Signals the stop event and joins; false when no thread ran.
    bool StopMonitor();
    void AddPassNotifyEvent(HANDLE event);
    // Monitoring runs while the stop event exists.
    [[nodiscard]] bool IsMonitoring() const;
    // 1 while the monitor thread runs its loop, 0 otherwise.
    [[nodiscard]] LONG MonitorState() const;

    [[nodiscard]] std::uint64_t PCoreMask() const;
    [[nodiscard]] const std::vector<GROUP_AFFINITY>& PCoreGroupAffinities() const;

  private:
    friend DWORD MonitorThread(Monitor& monitor, ProcessRuleList rules);
    friend void EnforcementPass(Monitor& monitor, const ProcessRuleList& rules, bool rulesHavePathPatterns);

    static DWORD WINAPI ThreadEntry(void* parameter) noexcept;
    // Lookups made at the first match of the run.
    void PrepareFirstMatch();
    void SwitchEfficiencyModeOff(DWORD processId);
    void SetPCoreAffinity(DWORD processId);
    void SetPCoreCpuSets(DWORD processId);
    void SignalPassNotifyEvents();

    // Changed only on the UI thread. The monitor thread reads stopEvent_, which is made before the
    // thread starts and closed after it has ended.
    UniqueHandle stopEvent_;
    UniqueHandle thread_;
    DWORD threadId_ = 0;
    std::uint64_t pCoreMask_ = 0;
    std::vector<GROUP_AFFINITY> pCoreGroupAffinities_;
    std::vector<GROUP_AFFINITY> everyGroupPCores_;
    // Guards passNotifyEvents_ only; never held together with another lock.
    std::mutex passNotifyLock_;
    std::vector<HANDLE> passNotifyEvents_;
    std::atomic<LONG> monitorState_{0};
    PassSystemCalls calls_;
    // Released with the Monitor, after the destructor has joined the thread that uses it.
    SteeringCache cache_;
};

// Removes the first entry equal to event, then appends event.
void MoveToEnd(std::vector<HANDLE>& events, HANDLE event);

// The process-wide monitor, built right after the globals (see app/Globals.cpp).
extern Monitor AppMonitor;
