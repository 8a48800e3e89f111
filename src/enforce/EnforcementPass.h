#pragma once
// The monitor thread's body, one scan of the processes, and the debugger-output error lines.

#include <windows.h>

#include "rules/RuleList.h"

class Monitor;

// Runs a pass at once and then one every ScanIntervalMs after the previous one ended, until the
// monitor's stop event is signalled. Returns 0.
DWORD MonitorThread(Monitor& monitor, ProcessRuleList rules);

// One scan: every process that matches a pattern (by executable name, or by full image path for a
// pattern with a backslash) gets the switched-on methods, once per matching pattern; then the
// counters are written and the registered events signalled.
void EnforcementPass(Monitor& monitor, const ProcessRuleList& rules);
// The same for a caller that has already worked out whether rules holds a path pattern, as the
// monitor thread does once for its own list.
void EnforcementPass(Monitor& monitor, const ProcessRuleList& rules, bool rulesHavePathPatterns);

// printf-style text plus a line feed to the debugger output.
void ReportError(const wchar_t* format, ...);

inline constexpr wchar_t EfficiencyModeFailedMessage[] = L"ERROR: SetEfficiencyMode failed";
inline constexpr wchar_t AffinityMaskFailedMessage[] = L"ERROR: SetAffinityMask failed";
inline constexpr wchar_t CpuSetsFailedMessage[] = L"ERROR: SetCPUSets failed";
