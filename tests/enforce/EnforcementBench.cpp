// Times enforcement passes against a bare walk of the process snapshot, with idle helper processes
// running: passes with 0, 20 and 100 patterns that match nothing, interleaved with bare walks so
// that all of them see the same machine state. Then, with more helpers running, 20 name patterns
// against 20 path patterns, which read every process's image path once per pass.
//   enforcement_bench.exe [helpers=20] [rounds=200] [path-helpers=300] [path-rounds=30]

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
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

// Folders, libraries and whole paths of the shapes users write, none of them where a helper runs.
ProcessRuleList NonMatchingPathPatterns(size_t count)
{
    ProcessRuleList rules;
    for (size_t i = 0; i < count; ++i)
    {
        const std::wstring stem = L"nomatch" + std::to_wstring(i);
        switch (i % 3)
        {
        case 0:
            rules.push_back(L"C:\\" + stem + L"\\*");
            break;
        case 1:
            rules.push_back(L"*\\steamapps\\common\\" + stem + L"\\*");
            break;
        default:
            rules.push_back(L"D:\\Tools\\" + stem + L".exe");
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

std::vector<std::wstring> HelperNames(int first, int count)
{
    std::vector<std::wstring> names;
    for (int i = first; i < first + count; ++i)
        names.push_back(L"idle" + std::to_wstring(i) + L".exe");
    return names;
}

void PrintRow(const char* label, double median, double bareMedian)
{
    std::printf("%-28s %12.1f %16.2f\n", label, median, bareMedian > 0 ? median / bareMedian : 0.0);
}

// Bare walks interleaved with passes over each list; prints the medians and their ratios.
void CompareWithBareWalk(Monitor& monitor, const std::vector<std::pair<std::string, ProcessRuleList>>& lists,
                         int rounds, int helperCount)
{
    std::vector<double> bare;
    std::vector<std::vector<double>> passes(lists.size());
    BareWalk();
    EnforcementPass(monitor, lists[0].second);
    for (int round = 0; round < rounds; ++round)
    {
        bare.push_back(Microseconds([] { BareWalk(); }));
        for (size_t i = 0; i < lists.size(); ++i)
            passes[i].push_back(Microseconds([&] { EnforcementPass(monitor, lists[i].second); }));
    }

    const double bareMedian = Median(bare);
    std::printf("processes in the snapshot: %zu (%d idle helpers), rounds: %d\n", BareWalk(), helperCount, rounds);
    std::printf("%-28s %12s %16s\n", "", "median [us]", "pass / bare walk");
    PrintRow("bare snapshot walk", bareMedian, bareMedian);
    for (size_t i = 0; i < lists.size(); ++i)
        PrintRow(lists[i].first.c_str(), Median(passes[i]), bareMedian);
}
} // namespace

int main(int argc, char** argv)
{
    const int helperCount = argc > 1 ? std::atoi(argv[1]) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
    const int pathHelperCount = argc > 3 ? std::atoi(argv[3]) : 300;
    const int pathRounds = argc > 4 ? std::atoi(argv[4]) : 30;

    HelperSet helpers(HelperNames(0, helperCount));
    if (!helpers.AllRunning())
    {
        std::printf("could not start %d helper processes\n", helperCount);
        return 1;
    }

    // The flags as a fresh installation has them; no pattern matches, so no method runs.
    Monitor monitor(PCoreData{});
    std::vector<std::pair<std::string, ProcessRuleList>> nameLists;
    for (size_t count : {0, 20, 100})
        nameLists.emplace_back("pass, " + std::to_string(count) + " patterns", NonMatchingPatterns(count));
    CompareWithBareWalk(monitor, nameLists, rounds, helperCount);

    if (pathHelperCount <= helperCount)
        return 0;
    std::printf("\n");
    HelperSet moreHelpers(HelperNames(helperCount, pathHelperCount - helperCount));
    int running = helperCount;
    for (size_t i = 0; i < moreHelpers.Size(); ++i)
        running += moreHelpers[i].IsRunning() ? 1 : 0;
    // Report what this machine allowed rather than nothing.
    if (running < pathHelperCount)
        std::printf("only %d of %d helper processes could be started\n", running, pathHelperCount);
    CompareWithBareWalk(
        monitor,
        {{"pass, 20 name patterns", NonMatchingPatterns(20)}, {"pass, 20 path patterns", NonMatchingPathPatterns(20)}},
        pathRounds, running);
    return 0;
}
