// The enforcement pass against real helper processes under Wine, and against a recording system
// table for what Wine cannot do (the success paths of the late-bound entry points, failed snapshots).

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>

#include "FakePassSystem.h"
#include "HelperProcesses.h"
#include "app/Globals.h"
#include "enforce/EnforcementPass.h"
#include "enforce/Monitor.h"
#include "support/ProcessorBuffer.h"
#include "support/TestSupport.h"

using testing_support::DebugOutputCapture;
using testing_support::ScratchRegistryKey;

namespace
{
const std::wstring EfficiencyLine = std::wstring(EfficiencyModeFailedMessage) + L"\n";
const std::wstring AffinityLine = std::wstring(AffinityMaskFailedMessage) + L"\n";
const std::wstring CpuSetsLine = std::wstring(CpuSetsFailedMessage) + L"\n";

struct Methods
{
    bool efficiency;
    bool affinity;
    bool cpuSets;
};

PCoreData PCores(DWORD_PTR mask)
{
    PCoreData data;
    data.PCoreMask = mask;
    GROUP_AFFINITY affinity{};
    affinity.Mask = mask;
    data.PCoreGroupAffinities.push_back(affinity);
    return data;
}

// The method flags and counters live in the real Software\Ternvale key, which each test starts and
// leaves empty; GlobalSettings' cache is dropped with it.
class EnforcementPassTest : public ::testing::Test
{
  protected:
    EnforcementPassTest()
    {
        ForgetMethods();
    }
    ~EnforcementPassTest() override
    {
        ForgetMethods();
    }

    static void ForgetMethods()
    {
        for (const wchar_t* name : {MethodEfficiencyModeName, MethodCPUAffinityName, MethodCPUSetsName})
            GlobalSettings.ForgetValue(name);
    }
    static void SetMethods(const Methods& methods)
    {
        GlobalSettings.SetBool(MethodEfficiencyModeName, methods.efficiency);
        GlobalSettings.SetBool(MethodCPUAffinityName, methods.affinity);
        GlobalSettings.SetBool(MethodCPUSetsName, methods.cpuSets);
    }

    ScratchRegistryKey registry_{L"Ternvale"};
    DebugOutputCapture output_;
};

// Real processes: game.exe and Tool-X.exe match the rules game.exe and tool*, other.exe does not.
class RealProcessPassTest : public EnforcementPassTest
{
  protected:
    void SetUp() override
    {
        DWORD_PTR processMask = 0;
        ASSERT_TRUE(::GetProcessAffinityMask(::GetCurrentProcess(), &processMask, &systemMask_));
        if ((systemMask_ & (systemMask_ - 1)) == 0)
            GTEST_SKIP() << "one processor: no P-core mask can differ from the helpers' affinity";
        ASSERT_TRUE(helpers_.AllRunning());
        for (size_t i = 0; i < helpers_.Size(); ++i)
            ASSERT_EQ(helpers_[i].Affinity(), systemMask_) << "helper " << i;
        pCoreMask_ = systemMask_ & (~systemMask_ + 1); // the lowest processor only
    }

    // Runs passes until one saw the same processes as a snapshot before and after it, so that the
    // scanned count can be compared with the system's list.
    void PassOnSteadySystem(Monitor& monitor, const ProcessRuleList& rules, size_t& processes)
    {
        for (int attempt = 0; attempt < 5; ++attempt)
        {
            const size_t before = SnapshotProcesses().size();
            EnforcementPass(monitor, rules);
            if (SnapshotProcesses().size() == before)
            {
                processes = before;
                return;
            }
        }
        FAIL() << "the process list never held still";
    }

    void ExpectAffinitiesUntouched() const
    {
        for (size_t i = 0; i < helpers_.Size(); ++i)
            EXPECT_EQ(helpers_[i].Affinity(), systemMask_) << "helper " << i;
    }

    DWORD_PTR systemMask_ = 0;
    DWORD_PTR pCoreMask_ = 0;
    HelperSet helpers_{{L"game.exe", L"Tool-X.exe", L"other.exe"}};
    const ProcessRuleList rules_{L"game.exe", L"tool*"};
};

TEST_F(RealProcessPassTest, AffinityGoesToTheMatchesOnly)
{
    SetMethods({false, true, false});
    Monitor monitor(PCores(pCoreMask_));
    size_t processes = 0;
    PassOnSteadySystem(monitor, rules_, processes);

    EXPECT_EQ(helpers_[0].Affinity(), pCoreMask_) << "game.exe";
    EXPECT_EQ(helpers_[1].Affinity(), pCoreMask_) << "Tool-X.exe";
    EXPECT_EQ(helpers_[2].Affinity(), systemMask_) << "other.exe";
    EXPECT_EQ(GetCounter(LastScannedCountName), processes);
    EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 2u);
    EXPECT_TRUE(output_.Lines().empty());
}

TEST_F(RealProcessPassTest, AMaskOutsideTheActiveProcessorsFailsAndChangesNothing)
{
    SetMethods({false, true, false});
    Monitor monitor(PCores(DWORD_PTR{1} << 63));
    EnforcementPass(monitor, rules_);
    EXPECT_EQ(output_.Count(AffinityLine), 2u);
    ExpectAffinitiesUntouched();
}

TEST_F(RealProcessPassTest, CountsEveryMatchingPairWhateverTheMethods)
{
    SetMethods({false, false, false});
    struct Case
    {
        const char* name;
        ProcessRuleList rules;
        DWORD enforced;
    };
    const std::vector<Case> cases = {
        {"no rules", {}, 0},
        {"one name and one prefix", {L"game.exe", L"tool*"}, 2},
        {"a process matching two patterns counts twice", {L"game.exe", L"tool*", L"GAME.*"}, 3},
        {"a whole name in another case", {L"TOOL-x.EXE"}, 1},
        {"a name without its extension", {L"game"}, 0},
        {"a prefix without a wildcard", {L"tool"}, 0},
        {"one character wildcard", {L"tool-?.exe"}, 1},
        {"the same pattern twice", {L"other.exe", L"other.exe"}, 2},
    };
    Monitor monitor(PCores(pCoreMask_));
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        size_t processes = 0;
        PassOnSteadySystem(monitor, c.rules, processes);
        EXPECT_EQ(GetCounter(LastScannedCountName), processes);
        EXPECT_EQ(GetCounter(CurrentEnforcedCountName), c.enforced);
    }
    EXPECT_TRUE(output_.Lines().empty());
    ExpectAffinitiesUntouched();
}

TEST_F(RealProcessPassTest, EfficiencyModeAndCpuSetsFailOnlyWhereTheSystemLacksThem)
{
    // Wine's SetProcessInformation rejects power throttling and it has no GetProcessDefaultCpuSets,
    // so there both methods fail, each with its own line for each match of each pass; Windows 10 and
    // later have both, and the same passes write nothing.
    const size_t perMatch = testing_support::RunningUnderWine() ? 1 : 0;
    struct Case
    {
        const char* name;
        Methods methods;
        size_t efficiencyLines;
        size_t cpuSetLines;
    };
    const std::vector<Case> cases = {
        {"efficiency mode", {true, false, false}, 2 * perMatch, 0},
        {"CPU sets", {false, false, true}, 0, 2 * perMatch},
        {"both", {true, false, true}, 2 * perMatch, 2 * perMatch},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        SetMethods(c.methods);
        Monitor monitor(PCores(pCoreMask_));
        for (int pass = 1; pass <= 2; ++pass)
        {
            output_.Clear();
            EnforcementPass(monitor, rules_);
            EXPECT_EQ(output_.Count(EfficiencyLine), c.efficiencyLines) << "pass " << pass;
            EXPECT_EQ(output_.Count(CpuSetsLine), c.cpuSetLines) << "pass " << pass;
            EXPECT_EQ(output_.Lines().size(), c.efficiencyLines + c.cpuSetLines) << "pass " << pass;
        }
    }
}

TEST_F(RealProcessPassTest, AFreshInstallationOnlyTurnsEfficiencyModeOff)
{
    Monitor monitor(PCores(pCoreMask_));
    EnforcementPass(monitor, rules_);
    // Only the efficiency method ran: its line for each match under Wine, which refuses it, none on Windows.
    const size_t lines = testing_support::RunningUnderWine() ? 2 : 0;
    EXPECT_EQ(output_.Count(EfficiencyLine), lines);
    EXPECT_EQ(output_.Lines().size(), lines);
    ExpectAffinitiesUntouched();
}

TEST_F(RealProcessPassTest, AToggledMethodActsAtTheNextPass)
{
    SetMethods({false, false, false});
    Monitor monitor(PCores(pCoreMask_));
    EnforcementPass(monitor, rules_);
    EXPECT_EQ(helpers_[0].Affinity(), systemMask_);

    // The main window's toggle: GlobalSettings caches what the pass read, the toggle writes and forgets.
    GlobalSettings.Toggle(MethodCPUAffinityName, false);
    EnforcementPass(monitor, rules_);
    EXPECT_EQ(helpers_[0].Affinity(), pCoreMask_);

    // Switched off again: what was changed stays changed.
    GlobalSettings.Toggle(MethodCPUAffinityName, false);
    Monitor widerMonitor(PCores(systemMask_));
    EnforcementPass(widerMonitor, rules_);
    EXPECT_EQ(helpers_[0].Affinity(), pCoreMask_);
}

TEST_F(RealProcessPassTest, AffinityKeepsTheThreadsAProgramPinnedItself)
{
    // The P-cores are every processor here, the helper's own mask already; its pinned thread keeps
    // the lowest processor only. Setting the same process mask again would reset that thread.
    const DWORD_PTR pinned = pCoreMask_;
    testing_support::TempDirectory folder;
    HelperProcess pinner(folder.Path(), L"pinner.exe", pinned);
    ASSERT_TRUE(pinner.IsRunning());
    const auto hasPinnedThread = [&] {
        const auto masks = testing_support::ThreadAffinities(pinner.Id());
        return std::count(masks.begin(), masks.end(), pinned) == 1;
    };
    ASSERT_TRUE(testing_support::WaitUntil(hasPinnedThread)) << "the helper never pinned its thread";

    SetMethods({false, true, false});
    Monitor monitor(PCores(systemMask_));
    const ProcessRuleList rules{L"pinner.exe"};
    for (int pass = 0; pass < 3; ++pass)
        EnforcementPass(monitor, rules);
    EXPECT_TRUE(hasPinnedThread());
    EXPECT_EQ(pinner.Affinity(), systemMask_);

    // The program narrows its own process mask: the next pass steers it back.
    {
        UniqueHandle process(::OpenProcess(PROCESS_SET_INFORMATION, FALSE, pinner.Id()));
        ASSERT_TRUE(process);
        ASSERT_TRUE(::SetProcessAffinityMask(process.Get(), pinned));
    }
    ASSERT_EQ(pinner.Affinity(), pinned);
    EnforcementPass(monitor, rules);
    EXPECT_EQ(pinner.Affinity(), systemMask_);
    EXPECT_TRUE(output_.Lines().empty());
}

// Real processes of the same name in two folders: game.exe in each, Tool-X.exe in the first.
class TwoFolderPassTest : public EnforcementPassTest
{
  protected:
    void SetUp() override
    {
        DWORD_PTR processMask = 0;
        ASSERT_TRUE(::GetProcessAffinityMask(::GetCurrentProcess(), &processMask, &systemMask_));
        if ((systemMask_ & (systemMask_ - 1)) == 0)
            GTEST_SKIP() << "one processor: no P-core mask can differ from the helpers' affinity";
        ASSERT_TRUE(firstGame_.IsRunning() && secondGame_.IsRunning() && firstTool_.IsRunning());
        pCoreMask_ = systemMask_ & (~systemMask_ + 1);
    }

    // The image path is the long form; Windows' temporary folder may be given in the short one.
    static std::wstring LongFolder(const testing_support::TempDirectory& folder)
    {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = ::GetLongPathNameW(folder.Path().c_str(), path, MAX_PATH);
        return length > 0 && length < MAX_PATH ? std::wstring(path) : folder.Path();
    }

    testing_support::TempDirectory first_;
    testing_support::TempDirectory second_;
    HelperProcess firstGame_{first_.Path(), L"game.exe"};
    HelperProcess secondGame_{second_.Path(), L"game.exe"};
    HelperProcess firstTool_{first_.Path(), L"Tool-X.exe"};
    DWORD_PTR systemMask_ = 0;
    DWORD_PTR pCoreMask_ = 0;
};

TEST_F(TwoFolderPassTest, AFolderPatternSteersOnlyTheProgramsOfThatFolder)
{
    SetMethods({false, true, false});
    Monitor monitor(PCores(pCoreMask_));
    EnforcementPass(monitor, {LongFolder(first_) + L"\\*"});
    EXPECT_EQ(firstGame_.Affinity(), pCoreMask_) << "game.exe in the first folder";
    EXPECT_EQ(firstTool_.Affinity(), pCoreMask_) << "Tool-X.exe in the first folder";
    EXPECT_EQ(secondGame_.Affinity(), systemMask_) << "game.exe in the second folder";
    EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 2u);
    EXPECT_TRUE(output_.Lines().empty());
}

TEST_F(TwoFolderPassTest, NamePathAndOddPatternsCountWhatTheyMatch)
{
    SetMethods({false, false, false});
    const std::wstring first = LongFolder(first_);
    const std::wstring second = LongFolder(second_);
    std::wstring secondGameUpper = second + L"\\GAME.EXE";
    struct Case
    {
        const char* name;
        ProcessRuleList rules;
        DWORD enforced;
    };
    const std::vector<Case> cases = {
        {"a name matches in both folders", {L"game.exe"}, 2},
        {"a full path matches one", {second + L"\\game.exe"}, 1},
        {"a full path in another letter case", {secondGameUpper}, 1},
        {"a folder matches what lies in it", {first + L"\\*"}, 2},
        {"a folder and a file name in it", {first + L"\\game*"}, 1},
        {"both folders", {first + L"\\*", second + L"\\*"}, 3},
        {"a name and a folder count the same process twice", {L"game.exe", first + L"\\game.exe"}, 3},
        {"a folder without backslash and star", {first}, 0},
        {"backslash star alone: no path ends with a backslash", {L"*\\"}, 0},
        {"a lone backslash", {L"\\"}, 0},
        {"an empty pattern", {L""}, 0},
    };
    Monitor monitor(PCores(pCoreMask_));
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EnforcementPass(monitor, c.rules);
        EXPECT_EQ(GetCounter(CurrentEnforcedCountName), c.enforced);
    }
    EXPECT_TRUE(output_.Lines().empty());
}

TEST_F(TwoFolderPassTest, TheRealPathReadGivesTheWin32PathOrFails)
{
    const PassSystemCalls calls = RealPassSystemCalls();
    wchar_t own[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, own, MAX_PATH), 0u);
    struct Case
    {
        const char* name;
        DWORD processId;
        std::wstring path;
    };
    const Case cases[] = {
        {"this process", ::GetCurrentProcessId(), own},
        {"another process", secondGame_.Id(), LongFolder(second_) + L"\\game.exe"},
        // The idle process cannot be opened, here as on Windows.
        {"the idle process", 0, L""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::wstring path;
        EXPECT_EQ(calls.FullImagePath(c.processId, path), !c.path.empty());
        EXPECT_EQ(_wcsicmp(path.c_str(), c.path.c_str()), 0) << testing::PrintToString(path);
    }
}

// ---- With a recording system table ------------------------------------------------------------

class RecordedPassTest : public EnforcementPassTest
{
  protected:
    RecordedPassTest()
    {
        entryLog = EntryPointLog{};
        entryLog.systemCpuSets = EightCpuSetRecords();
        system_.processes = {{40, L"game.exe"}, {41, L"Tool-X.exe"}, {42, L"other.exe"}};
        system_.entryPoints = FakeEntryPoints();
    }

    FakePassSystem system_;
    const ProcessRuleList rules_{L"game.exe", L"tool*"};
};

TEST_F(RecordedPassTest, AllMethodsOffOpensNothingAndWritesNothing)
{
    SetMethods({false, false, false});
    Monitor monitor(PCores(0x3), system_.Calls());
    EnforcementPass(monitor, rules_);
    EXPECT_TRUE(system_.opens.empty());
    EXPECT_TRUE(output_.Lines().empty());
    EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 2u);
    EXPECT_EQ(GetCounter(LastScannedCountName), 3u);
}

TEST_F(RecordedPassTest, MethodsRunInOrderForEachMatchingPattern)
{
    SetMethods({true, true, true});
    Monitor monitor(PCores(0x3), system_.Calls());
    EnforcementPass(monitor, {L"game.exe", L"g*"});
    const DWORD affinityAccess = PROCESS_SET_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION;
    const std::vector<std::pair<DWORD, DWORD>> opens = {
        {PROCESS_SET_INFORMATION, 40}, {affinityAccess, 40}, {ProcessSetLimitedInformationAccess, 40},
        {PROCESS_SET_INFORMATION, 40}, {affinityAccess, 40}, {ProcessSetLimitedInformationAccess, 40}};
    EXPECT_EQ(system_.opens, opens);
    EXPECT_TRUE(output_.Lines().empty());
    EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 2u);
}

TEST_F(RecordedPassTest, EfficiencyModeIsSwitchedOffExplicitly)
{
    SetMethods({true, false, false});
    Monitor monitor(PCores(0x3), system_.Calls());
    EnforcementPass(monitor, rules_);
    ASSERT_EQ(entryLog.throttlingStates.size(), 2u);
    for (size_t i = 0; i < 2; ++i)
    {
        EXPECT_EQ(entryLog.informationClasses[i], 4); // ProcessPowerThrottling
        EXPECT_EQ(entryLog.informationSizes[i], 12u);
        EXPECT_EQ(entryLog.throttlingStates[i].Version, 1u);
        EXPECT_EQ(entryLog.throttlingStates[i].ControlMask, 1u);
        EXPECT_EQ(entryLog.throttlingStates[i].StateMask, 0u);
    }
    EXPECT_TRUE(output_.Lines().empty());
}

TEST_F(RecordedPassTest, EachFailureWritesItsMethodsLine)
{
    struct Case
    {
        const char* name;
        Methods methods;
        const char* missingEntryPoint; // or null
        bool openFails;
        BOOL callsSucceed;
        std::wstring line;
        size_t opens;
    };
    const std::vector<Case> cases = {
        {"no SetProcessInformation: nothing is opened",
         {true, false, false},
         "SetProcessInformation",
         false,
         TRUE,
         EfficiencyLine,
         0},
        {"efficiency mode: open fails", {true, false, false}, nullptr, true, TRUE, EfficiencyLine, 2},
        {"efficiency mode: the call fails", {true, false, false}, nullptr, false, FALSE, EfficiencyLine, 2},
        {"affinity: open fails", {false, true, false}, nullptr, true, TRUE, AffinityLine, 2},
        {"affinity: the call fails", {false, true, false}, nullptr, false, FALSE, AffinityLine, 2},
        {"CPU sets: open fails", {false, false, true}, nullptr, true, TRUE, CpuSetsLine, 2},
        {"CPU sets: no GetProcessDefaultCpuSets",
         {false, false, true},
         "GetProcessDefaultCpuSets",
         false,
         TRUE,
         CpuSetsLine,
         2},
        {"CPU sets: no SetProcessDefaultCpuSets",
         {false, false, true},
         "SetProcessDefaultCpuSets",
         false,
         TRUE,
         CpuSetsLine,
         2},
        {"CPU sets: no GetSystemCpuSetInformation",
         {false, false, true},
         "GetSystemCpuSetInformation",
         false,
         TRUE,
         CpuSetsLine,
         2},
        {"CPU sets: the call fails", {false, false, true}, nullptr, false, FALSE, CpuSetsLine, 2},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        SetMethods(c.methods);
        FakePassSystem system;
        system.processes = system_.processes;
        system.entryPoints = FakeEntryPoints();
        if (c.missingEntryPoint != nullptr)
            system.entryPoints.erase(c.missingEntryPoint);
        system.openFails = c.openFails;
        system.affinityResult = c.callsSucceed;
        entryLog.setInformationResult = c.callsSucceed;
        entryLog.setCpuSetsResult = c.callsSucceed;
        Monitor monitor(PCores(0x3), system.Calls());
        output_.Clear();
        EnforcementPass(monitor, rules_);
        EXPECT_EQ(output_.Lines(), std::vector<std::wstring>(2, c.line));
        EXPECT_EQ(system.opens.size(), c.opens);
        // The pass goes on to count every match all the same.
        EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 2u);
    }
}

TEST_F(RecordedPassTest, AffinityIsThePCoreMaskWithinTheActiveProcessors)
{
    SetMethods({false, true, false});
    struct Case
    {
        const char* name;
        DWORD_PTR pCores;
        DWORD_PTR active;
        DWORD_PTR mask;
    };
    const std::vector<Case> cases = {
        {"all P-cores active", 0x0F, 0xFF, 0x0F},
        {"some P-cores inactive", 0x0F, 0x3C, 0x0C},
        {"no active mask known", 0x0F, 0, 0x0F},
        {"no overlap gives 0", 0xF0, 0x0F, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        FakePassSystem system;
        system.processes = system_.processes;
        system.activeProcessorMask = c.active;
        Monitor monitor(PCores(c.pCores), system.Calls());
        EnforcementPass(monitor, rules_);
        EXPECT_EQ(system.affinityMasks, std::vector<DWORD_PTR>(2, c.mask));
    }
}

TEST_F(RecordedPassTest, AffinityIsSetOnlyWhenTheProcessMaskDiffers)
{
    // Setting a process mask resets every thread's own mask, so an equal mask must be left alone.
    SetMethods({false, true, false});
    struct Case
    {
        const char* name;
        DWORD_PTR startAffinity;
        bool readFails;
        BOOL setSucceeds;
        std::vector<DWORD_PTR> setsOverThreePasses; // for game.exe and Tool-X.exe together
        size_t lines;
    };
    const std::vector<Case> cases = {
        {"already the P-cores: never set", 0x3, false, TRUE, {}, 0},
        {"other processors: set once, then equal", 0xC, false, TRUE, {0x3, 0x3}, 0},
        {"a failed read sets it every pass", 0x3, true, TRUE, std::vector<DWORD_PTR>(6, 0x3), 0},
        {"a failed set is tried again every pass", 0xC, false, FALSE, std::vector<DWORD_PTR>(6, 0x3), 6},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        FakePassSystem system;
        system.processes = system_.processes;
        system.startAffinity = c.startAffinity;
        system.affinityReadFails = c.readFails;
        system.affinityResult = c.setSucceeds;
        Monitor monitor(PCores(0x3), system.Calls());
        output_.Clear();
        for (int pass = 0; pass < 3; ++pass)
            EnforcementPass(monitor, rules_);
        EXPECT_EQ(system.affinityMasks, c.setsOverThreePasses);
        EXPECT_EQ(system.affinityReads.size(), 6u) << "read before every set";
        EXPECT_EQ(output_.Count(AffinityLine), c.lines);
    }
}

TEST_F(RecordedPassTest, SeveralProcessorGroupsAreSteeredByTheCpuSetsOfEveryGroup)
{
    // Group 0: P-cores 0 to 3 and E-cores 4 to 7; group 1: P-cores 0 and 1, E-cores 2 and 3.
    const CoreTopology topology = [] {
        const auto bytes = testing_support::ProcessorBuffer()
                               .CoreOfClass(1, 0x0F, 0)
                               .CoreOfClass(0, 0xF0, 0)
                               .CoreOfClass(1, 0x03, 1)
                               .CoreOfClass(0, 0x0C, 1)
                               .Get();
        return CoreTopology(bytes.data(), bytes.size());
    }();
    const auto processorsOfGroup = [](WORD group) -> DWORD { return group == 0 ? 8 : 4; };
    PCoreData pCores = BuildPCoreMask(topology, [&] { return processorsOfGroup(0); });
    pCores.EveryGroupPCores = PCoresOfEveryGroup(topology, 2, processorsOfGroup);
    entryLog.systemCpuSets = CpuSetRecordsOfGroup(0, 8, 256);
    const auto groupOne = CpuSetRecordsOfGroup(1, 4, 512);
    entryLog.systemCpuSets.insert(entryLog.systemCpuSets.end(), groupOne.begin(), groupOne.end());

    struct Case
    {
        const char* name;
        WORD groups;
        std::vector<DWORD_PTR> affinityMasks;
        std::vector<ULONG> ids;
    };
    const std::vector<Case> cases = {
        {"one active group: group 0 as before", 1, {0x0F, 0x0F}, {256, 257, 258, 259}},
        {"two active groups: no affinity, the P-cores of both", 2, {}, {256, 257, 258, 259, 512, 513}},
    };
    SetMethods({false, true, true});
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        entryLog.cpuSetCalls.clear();
        FakePassSystem system;
        system.processes = system_.processes;
        system.entryPoints = FakeEntryPoints();
        system.activeGroupCount = c.groups;
        Monitor monitor(pCores, system.Calls());
        output_.Clear();
        EnforcementPass(monitor, rules_);
        EXPECT_EQ(system.affinityMasks, c.affinityMasks);
        EXPECT_EQ(system.OpensWith(PROCESS_SET_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION),
                  c.affinityMasks.size());
        EXPECT_EQ(entryLog.cpuSetCalls, std::vector<std::vector<ULONG>>(2, c.ids));
        EXPECT_TRUE(output_.Lines().empty());
    }
}

TEST_F(RecordedPassTest, CpuSetsAreThePCoresIdsOrClearedWithoutPCores)
{
    SetMethods({false, false, true});
    struct Case
    {
        const char* name;
        std::vector<GROUP_AFFINITY> affinities;
        bool withoutList;
        std::vector<ULONG> ids;
    };
    const std::vector<Case> cases = {
        {"processors 0 to 3", PCores(0x0F).PCoreGroupAffinities, false, {256, 257, 258, 259}},
        {"processors unknown to the system", PCores(0xF00).PCoreGroupAffinities, false, {}},
        {"no P-core records clear the CPU sets", {}, true, {}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        entryLog.cpuSetCalls.clear();
        entryLog.cpuSetCallsWithoutList.clear();
        PCoreData pCores;
        pCores.PCoreGroupAffinities = c.affinities;
        Monitor monitor(pCores, system_.Calls());
        EnforcementPass(monitor, rules_);
        EXPECT_EQ(entryLog.cpuSetCalls, std::vector<std::vector<ULONG>>(2, c.ids));
        EXPECT_EQ(entryLog.cpuSetCallsWithoutList, std::vector<bool>(2, c.withoutList));
    }
}

TEST_F(RecordedPassTest, EntryPointsAndTheSystemCpuSetsAreFetchedOnce)
{
    SetMethods({true, true, true});
    Monitor monitor(PCores(0x3), system_.Calls());
    for (int pass = 0; pass < 3; ++pass)
        EnforcementPass(monitor, rules_);
    std::vector<std::string> lookups = system_.lookups;
    std::sort(lookups.begin(), lookups.end());
    const std::vector<std::string> once = {"GetProcessDefaultCpuSets", "GetSystemCpuSetInformation",
                                           "SetProcessDefaultCpuSets", "SetProcessInformation"};
    EXPECT_EQ(lookups, once);
    EXPECT_EQ(entryLog.systemCpuSetCalls, 2); // the size query and the read
    EXPECT_EQ(entryLog.cpuSetCalls.size(), 6u);
}

TEST_F(RecordedPassTest, NothingIsLookedUpBeforeTheFirstMatch)
{
    SetMethods({true, true, true});
    Monitor monitor(PCores(0x3), system_.Calls());
    EnforcementPass(monitor, {L"nothing-like-this.exe"});
    EXPECT_TRUE(system_.lookups.empty());
    EnforcementPass(monitor, rules_);
    EXPECT_EQ(system_.lookups.size(), 4u);
}

TEST_F(RecordedPassTest, AFailedSnapshotSkipsCountersAndEvents)
{
    SetCounter(LastScannedCountName, 77);
    SetCounter(CurrentEnforcedCountName, 7);
    system_.snapshotFails = true;
    Monitor monitor(PCores(0x3), system_.Calls());
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    monitor.AddPassNotifyEvent(event.Get());
    EnforcementPass(monitor, rules_);
    EXPECT_EQ(GetCounter(LastScannedCountName), 77u);
    EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 7u);
    EXPECT_EQ(::WaitForSingleObject(event.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(system_.opens.empty());
}

TEST_F(RecordedPassTest, EveryRegisteredEventIsSignalledAfterEachPass)
{
    SetMethods({false, false, false});
    Monitor monitor(PCores(0x3), system_.Calls());
    UniqueHandle first(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle second(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    monitor.AddPassNotifyEvent(first.Get());
    monitor.AddPassNotifyEvent(second.Get());
    monitor.AddPassNotifyEvent(first.Get());
    for (int pass = 1; pass <= 2; ++pass)
    {
        SCOPED_TRACE(pass);
        EnforcementPass(monitor, {});
        EXPECT_EQ(::WaitForSingleObject(first.Get(), 0), WAIT_OBJECT_0);
        EXPECT_EQ(::WaitForSingleObject(second.Get(), 0), WAIT_OBJECT_0);
        ::ResetEvent(first.Get());
        ::ResetEvent(second.Get());
    }
}

// Paths for the recorded processes: game.exe below C:\\Games, Tool-X.exe below D:\\Tools, and
// other.exe, whose path cannot be read.
void GivePaths(FakePassSystem& system)
{
    system.imagePaths = {{40, L"C:\\Games\\Foo\\game.exe"}, {41, L"D:\\Tools\\Tool-X.exe"}};
}

TEST_F(RecordedPassTest, PathAndNamePatternsAreCountedAndSteeredInListOrder)
{
    SetMethods({true, true, true});
    GivePaths(system_);
    Monitor monitor(PCores(0x3), system_.Calls());
    EnforcementPass(monitor, {L"C:\\Games\\*", L"game.exe", L"*\\Tool-X.exe", L"other.exe", L"*\\other.exe"});
    // game.exe by its folder and its name; Tool-X.exe by its file in any folder; other.exe by name
    // only, its unreadable path matches no path pattern and is no failure.
    EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 4u);
    EXPECT_EQ(GetCounter(LastScannedCountName), 3u);
    std::vector<DWORD> steered;
    for (const auto& open : system_.opens)
        if (open.first == PROCESS_SET_INFORMATION)
            steered.push_back(open.second);
    EXPECT_EQ(steered, (std::vector<DWORD>{40, 40, 41, 42}));
    EXPECT_EQ(system_.opens.size(), 3 * steered.size()) << "one open per method and match, nothing else";
    EXPECT_EQ(system_.pathReads, (std::vector<DWORD>{40, 41, 42}));
    EXPECT_TRUE(output_.Lines().empty());
}

TEST_F(RecordedPassTest, APathIsReadOncePerProcessAndPassAndOnlyForPathPatterns)
{
    SetMethods({true, true, true});
    struct Case
    {
        const char* name;
        ProcessRuleList rules;
        std::vector<DWORD> pathReadsOfTwoPasses;
        size_t matchesPerPass;
    };
    const std::vector<Case> cases = {
        {"names only: no path is read, only matches are opened", {L"game.exe", L"tool*"}, {}, 2},
        {"an empty pattern is no path pattern", {L"", L"game.exe"}, {}, 1},
        {"one path pattern reads each process once per pass", {L"D:\\*"}, {40, 41, 42, 40, 41, 42}, 1},
        {"several path patterns still read once",
         {L"C:\\*", L"*\\Foo\\*", L"game.exe", L"*\\steamapps\\common\\*", L"D:\\Tools\\*"},
         {40, 41, 42, 40, 41, 42},
         4},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        FakePassSystem system;
        system.processes = system_.processes;
        system.entryPoints = FakeEntryPoints();
        GivePaths(system);
        Monitor monitor(PCores(0x3), system.Calls());
        output_.Clear();
        for (int pass = 0; pass < 2; ++pass)
            EnforcementPass(monitor, c.rules);
        EXPECT_EQ(system.pathReads, c.pathReadsOfTwoPasses);
        EXPECT_EQ(system.opens.size(), 2 * 3 * c.matchesPerPass);
        EXPECT_EQ(GetCounter(CurrentEnforcedCountName), c.matchesPerPass);
        EXPECT_TRUE(output_.Lines().empty());
    }
}

TEST(ReadWithGrowingBuffer, GrowsPastMaxPathUpToTheLongestPath)
{
    struct Case
    {
        const char* name;
        DWORD textLength; // characters the call needs, without the terminating null
        DWORD error;      // the failure besides a short buffer; 0 for none
        bool read;
        std::vector<DWORD> sizes; // the buffer sizes offered, in order
    };
    const std::vector<DWORD> allSizes = {260, 520, 1040, 2080, 4160, 8320, 16640, 32767};
    const std::vector<Case> cases = {
        {"a short path at once", 40, 0, true, {260}},
        {"MAX_PATH characters leave no room for the null", 260, 0, true, {260, 520}},
        {"the longest path there is", 32766, 0, true, allSizes},
        {"longer than that", 32767, 0, false, allSizes},
        {"another failure is not retried", 40, ERROR_ACCESS_DENIED, false, {260}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<DWORD> sizes;
        const auto read = [&](wchar_t* buffer, DWORD& size) -> BOOL {
            sizes.push_back(size);
            if (c.error != 0 || size <= c.textLength)
            {
                ::SetLastError(c.error != 0 ? c.error : ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            std::fill_n(buffer, c.textLength, L'x');
            buffer[c.textLength] = L'\0';
            size = c.textLength;
            return TRUE;
        };
        std::wstring text;
        EXPECT_EQ(ReadWithGrowingBuffer(read, text), c.read);
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_EQ(text, c.read ? std::wstring(c.textLength, L'x') : std::wstring());
    }
}

TEST(MoveToEnd, KeepsOneEntryPerEventWithTheLatestLast)
{
    const auto a = reinterpret_cast<HANDLE>(0x10);
    const auto b = reinterpret_cast<HANDLE>(0x20);
    const auto c = reinterpret_cast<HANDLE>(0x30);
    struct Case
    {
        const char* name;
        std::vector<HANDLE> before;
        HANDLE added;
        std::vector<HANDLE> after;
    };
    const std::vector<Case> cases = {
        {"into an empty list", {}, a, {a}},
        {"a new event is appended", {a, b}, c, {a, b, c}},
        {"a known event moves to the end", {a, b, c}, a, {b, c, a}},
        {"only the first copy is removed", {a, b, a}, a, {b, a, a}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<HANDLE> events = c.before;
        MoveToEnd(events, c.added);
        EXPECT_EQ(events, c.after);
    }
}

TEST(ReportError, FormatsItsArgumentsAndEndsTheLine)
{
    DebugOutputCapture output;
    ReportError(EfficiencyModeFailedMessage);
    ReportError(L"%d of %ls", 3, L"four");
    const std::vector<std::wstring> lines = {L"ERROR: SetEfficiencyMode failed\n", L"3 of four\n"};
    EXPECT_EQ(output.Lines(), lines);
}

} // namespace
