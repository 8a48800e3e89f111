#pragma once
// The owner of the monitor thread: once a second it scans the processes and steers the matches.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "cpu/CoreTopology.h"
#include "rules/RuleList.h"

class Monitor
{
  public:
    // P-core data from the system's topology.
    Monitor();
    // P-core data given by the caller (tests).
    explicit Monitor(PCoreData pCores);
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

    // (the implementation adds its private members here)
};

// The process-wide monitor, built right after the globals (see app/Globals.cpp).
extern Monitor AppMonitor;
