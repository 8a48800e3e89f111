// Times enforcement passes against a bare walk of the process snapshot, with idle helper processes
// running: passes with 0, 20 and 100 patterns that match nothing, interleaved with bare walks so
// that all of them see the same machine state.
//   enforcement_bench.exe [helpers=20] [rounds=200]

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "HelperProcesses.h"
#include "app/Globals.h"
#include "enforce/EnforcementPass.h"
#include "enforce/Monitor.h"

namespace
{
using Clock = std::chrono::steady_clock;

size_t BareWalk()
{
    size_t count = 0;
    UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry))
        ++count;
    return count;
}

// Patterns of the shapes users write (whole names, prefixes, single-character wildcards) that no
// process here carries.
ProcessRuleList NonMatchingPatterns(size_t count)
{
    ProcessRuleList rules;
    for (size_t i = 0; i < count; ++i)
    {
        const std::wstring stem = L"nomatch" + std::to_wstring(i);
        switch (i % 3)
        {
        case 0:
            rules.push_back(stem + L".exe");
            break;
        case 1:
            rules.push_back(stem + L"*");
            break;
        default:
            rules.push_back(stem + L"-?.exe");
            break;
        }
    }
    return rules;
}

template <typename Work> double Microseconds(Work&& work)
{
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0.0 : (n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}
} // namespace

int main(int argc, char** argv)
{
    const int helperCount = argc > 1 ? std::atoi(argv[1]) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;

    std::vector<std::wstring> names;
    for (int i = 0; i < helperCount; ++i)
        names.push_back(L"idle" + std::to_wstring(i) + L".exe");
    HelperSet helpers(names);
    if (!helpers.AllRunning())
    {
        std::printf("could not start %d helper processes\n", helperCount);
        return 1;
    }

    // The flags as a fresh installation has them; no pattern matches, so no method runs.
    Monitor monitor(PCoreData{});
    const std::vector<size_t> patternCounts = {0, 20, 100};
    std::vector<ProcessRuleList> ruleLists;
    for (size_t count : patternCounts)
        ruleLists.push_back(NonMatchingPatterns(count));

    std::vector<double> bare;
    std::vector<std::vector<double>> passes(patternCounts.size());
    BareWalk();
    EnforcementPass(monitor, ruleLists[0]);
    for (int round = 0; round < rounds; ++round)
    {
        bare.push_back(Microseconds([] { BareWalk(); }));
        for (size_t i = 0; i < ruleLists.size(); ++i)
            passes[i].push_back(Microseconds([&] { EnforcementPass(monitor, ruleLists[i]); }));
    }

    const double bareMedian = Median(bare);
    std::printf("processes in the snapshot: %zu (%d idle helpers), rounds: %d\n", BareWalk(), helperCount, rounds);
    std::printf("%-28s %12s %16s\n", "", "median [us]", "pass / bare walk");
    std::printf("%-28s %12.1f %16s\n", "bare snapshot walk", bareMedian, "1.00");
    for (size_t i = 0; i < patternCounts.size(); ++i)
    {
        const double median = Median(passes[i]);
        char label[64];
        std::snprintf(label, sizeof(label), "pass, %zu patterns", patternCounts[i]);
        std::printf("%-28s %12.1f %16.2f\n", label, median, bareMedian > 0 ? median / bareMedian : 0.0);
    }
    return 0;
}
