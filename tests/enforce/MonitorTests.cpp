// The monitor's thread: starting, stopping, restarting, its state and its events.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "FakePassSystem.h"
#include "HelperProcesses.h"
#include "app/Globals.h"
#include "enforce/EnforcementPass.h"
#include "enforce/Monitor.h"
#include "support/TestSupport.h"

using testing_support::DebugOutputCapture;
using testing_support::ScratchRegistryKey;
using testing_support::TempDirectory;

namespace
{
const std::wstring EfficiencyLine = std::wstring(EfficiencyModeFailedMessage) + L"\n";

// Each test gets its own rule list file in place of the user's, and an empty Software\Ternvale.
class MonitorTest : public ::testing::Test
{
  protected:
    MonitorTest() : savedRuleListPath_(RuleListPath)
    {
        RuleListPath = folder_.File(L"p-core-list.txt");
        ForgetMethods();
        system_.processes = {{40, L"game.exe"}, {41, L"other.exe"}};
    }
    ~MonitorTest() override
    {
        RuleListPath = savedRuleListPath_;
        ForgetMethods();
    }
    static void ForgetMethods()
    {
        for (const wchar_t* name : {MethodEfficiencyModeName, MethodCPUAffinityName, MethodCPUSetsName})
            GlobalSettings.ForgetValue(name);
    }
    void WriteRules(const std::wstring& text)
    {
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
        ASSERT_TRUE(
            testing_support::WriteFileBytes(RuleListPath, std::vector<unsigned char>(bytes, bytes + 2 * text.size())));
    }
    static bool IsSignalled(HANDLE event, DWORD timeoutMs = 0)
    {
        return ::WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
    }

    TempDirectory folder_;
    std::wstring savedRuleListPath_;
    ScratchRegistryKey registry_{L"Ternvale"};
    FakePassSystem system_;
};

TEST_F(MonitorTest, AStopRightAfterTheStartStillMakesOneFullPass)
{
    WriteRules(L"game.exe\r\n");
    Monitor monitor(PCoreData{}, system_.Calls());
    UniqueHandle passed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    monitor.AddPassNotifyEvent(passed.Get());
    EXPECT_FALSE(monitor.IsMonitoring());

    monitor.StartMonitor();
    EXPECT_TRUE(monitor.IsMonitoring());
    EXPECT_TRUE(monitor.StopMonitor());

    EXPECT_EQ(system_.snapshots, 1);
    EXPECT_TRUE(IsSignalled(passed.Get()));
    EXPECT_EQ(GetCounter(LastScannedCountName), 2u);
    EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 1u);
    EXPECT_FALSE(monitor.IsMonitoring());
    EXPECT_EQ(monitor.MonitorState(), 0);
    EXPECT_FALSE(monitor.StopMonitor());
}

TEST_F(MonitorTest, TheThreadMatchesPathPatternsOfItsList)
{
    system_.imagePaths = {{40, L"C:\\Games\\game.exe"}, {41, L"C:\\Tools\\other.exe"}};
    struct Case
    {
        const char* name;
        std::wstring file;
        DWORD enforced;
        std::vector<DWORD> pathReads;
    };
    const std::vector<Case> cases = {
        {"names only", L"game.exe\r\nother.exe\r\n", 2, {}},
        {"a folder and a name", L"C:\\Games\\*\r\ngame.exe\r\n", 2, {40, 41}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        WriteRules(c.file);
        system_.pathReads.clear();
        Monitor monitor(PCoreData{}, system_.Calls());
        monitor.StartMonitor();
        monitor.StopMonitor(); // after exactly one pass
        EXPECT_EQ(GetCounter(CurrentEnforcedCountName), c.enforced);
        EXPECT_EQ(system_.pathReads, c.pathReads);
    }
}

TEST_F(MonitorTest, StateIsOneWhileTheThreadRuns)
{
    Monitor monitor(PCoreData{}, system_.Calls());
    std::atomic<LONG> stateDuringPass{-1};
    system_.atSnapshot = [&] { stateDuringPass = monitor.MonitorState(); };
    EXPECT_EQ(monitor.MonitorState(), 0);
    monitor.StartMonitor();
    monitor.StopMonitor();
    EXPECT_EQ(stateDuringPass.load(), 1);
    EXPECT_EQ(monitor.MonitorState(), 0);
}

TEST_F(MonitorTest, PassesRepeatUntilStoppedAndSignalTheirEvents)
{
    WriteRules(L"game.exe\r\nother.exe\r\n");
    Monitor monitor(PCoreData{}, system_.Calls());
    // Counted where the passes begin: an auto-reset event folds the signals of passes that end while
    // the test thread is starved, so it cannot count them.
    std::atomic<int> begun{0};
    system_.atSnapshot = [&] { ++begun; };
    UniqueHandle passed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    monitor.AddPassNotifyEvent(passed.Get());
    monitor.StartMonitor();
    EXPECT_TRUE(testing_support::WaitUntil([&] { return begun.load() >= 3; }));
    monitor.StopMonitor();
    const int passes = begun.load();
    EXPECT_GE(passes, 3);
    EXPECT_TRUE(IsSignalled(passed.Get()));
    EXPECT_EQ(system_.snapshots, passes) << "a pass after the stop";
    EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 2u);
}

TEST_F(MonitorTest, StartingWhileMonitoringJoinsTheOldThreadFirst)
{
    WriteRules(L"game.exe\r\n");
    Monitor monitor(PCoreData{}, system_.Calls());
    UniqueHandle firstPassBegun(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle firstThread;
    std::atomic<int> passesRunning{0};
    std::atomic<int> mostAtOnce{0};
    system_.atSnapshot = [&] {
        const int running = ++passesRunning;
        mostAtOnce = std::max(mostAtOnce.load(), running);
        if (!firstThread)
        {
            ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), firstThread.Put(),
                              SYNCHRONIZE, FALSE, 0);
            ::SetEvent(firstPassBegun.Get());
            ::Sleep(300); // a slow pass that the restart must wait for
        }
        --passesRunning;
    };
    monitor.StartMonitor();
    ASSERT_TRUE(IsSignalled(firstPassBegun.Get(), 5000));

    WriteRules(L"game.exe\r\nother.exe\r\n");
    monitor.StartMonitor();
    EXPECT_TRUE(IsSignalled(firstThread.Get())) << "the old thread still runs";
    EXPECT_TRUE(monitor.IsMonitoring());
    monitor.StopMonitor();

    EXPECT_EQ(mostAtOnce.load(), 1);
    ASSERT_GE(system_.threadIds.size(), 2u);
    EXPECT_NE(system_.threadIds.front(), system_.threadIds.back());
    // The new thread read the list as the file held it at the restart.
    EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 2u);
}

TEST_F(MonitorTest, AThreadThatCannotBeCreatedLeavesMonitoringStopped)
{
    Monitor monitor(PCoreData{}, system_.Calls());
    system_.threadCreationFails = true;
    monitor.StartMonitor();
    EXPECT_FALSE(monitor.IsMonitoring());
    EXPECT_FALSE(monitor.StopMonitor());
    EXPECT_EQ(system_.snapshots, 0);

    system_.threadCreationFails = false;
    monitor.StartMonitor();
    EXPECT_TRUE(monitor.IsMonitoring());
    EXPECT_TRUE(monitor.StopMonitor());
    EXPECT_EQ(system_.snapshots, 1);
}

TEST_F(MonitorTest, DestructionStopsTheThread)
{
    UniqueHandle passed(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    UniqueHandle passThread;
    system_.atSnapshot = [&] {
        if (!passThread)
            ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), passThread.Put(),
                              SYNCHRONIZE, FALSE, 0);
    };
    {
        Monitor monitor(PCoreData{}, system_.Calls());
        monitor.AddPassNotifyEvent(passed.Get());
        monitor.StartMonitor();
        ASSERT_TRUE(IsSignalled(passed.Get(), 30000));
    }
    // Ended, not merely between passes: no pass can follow.
    ASSERT_TRUE(passThread);
    EXPECT_TRUE(IsSignalled(passThread.Get())) << "the monitor thread outlived its monitor";
}

TEST_F(MonitorTest, AMissingRuleFileOnlyCountsProcesses)
{
    Monitor monitor(PCoreData{}, system_.Calls());
    monitor.StartMonitor();
    monitor.StopMonitor();
    EXPECT_EQ(GetCounter(LastScannedCountName), 2u);
    EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 0u);
    EXPECT_TRUE(system_.opens.empty());
}

// A running thread with real processes: a method switched on through GlobalSettings acts from the
// next pass on, without a restart.
TEST_F(MonitorTest, AMethodSwitchedOnActsWithoutARestart)
{
    HelperSet helpers({L"game.exe"});
    ASSERT_TRUE(helpers.AllRunning());
    WriteRules(L"game.exe\r\n");
    GlobalSettings.SetBool(MethodEfficiencyModeName, false);
    DebugOutputCapture output;
    Monitor monitor(PCoreData{});
    UniqueHandle passed(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    monitor.AddPassNotifyEvent(passed.Get());
    monitor.StartMonitor();
    ASSERT_TRUE(IsSignalled(passed.Get(), 30000));
    EXPECT_EQ(output.Count(EfficiencyLine), 0u);

    GlobalSettings.Toggle(MethodEfficiencyModeName, true);
    // The pass running at the toggle may have read the flag before it; the one after it has not.
    ASSERT_TRUE(IsSignalled(passed.Get(), 30000));
    ASSERT_TRUE(IsSignalled(passed.Get(), 30000));
    monitor.StopMonitor();
    if (testing_support::RunningUnderWine())
    {
        // Wine refuses the call, so each pass since the switch wrote the line once.
        EXPECT_GE(output.Count(EfficiencyLine), 1u);
        EXPECT_EQ(output.Lines().size(), output.Count(EfficiencyLine));
    }
    else
    {
        // Windows takes it: the helper is now never throttled, and nothing was written.
        EXPECT_TRUE(output.Lines().empty());
        EXPECT_TRUE(ThrottlingSwitchedOff(helpers[0].Id()));
    }
}

// Between passes the thread waits on its stop event for the whole scan interval, and a pass follows
// only a wait that timed out; a wait that fails ends the thread instead of re-scanning at once.
TEST_F(MonitorTest, PassesAreAScanIntervalApartAndAFailedWaitEndsTheThread)
{
    {
        Monitor monitor(PCoreData{}, system_.Calls());
        UniqueHandle passed(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        monitor.AddPassNotifyEvent(passed.Get());
        monitor.StartMonitor();
        for (int pass = 1; pass <= 3; ++pass)
            ASSERT_TRUE(IsSignalled(passed.Get(), 5000)) << "pass " << pass;
        monitor.StopMonitor();
    }
    ASSERT_GE(system_.waitTimeouts.size(), 2u) << "the passes did not come from the thread's wait";
    for (const DWORD timeout : system_.waitTimeouts)
        EXPECT_EQ(timeout, ScanIntervalMs);
    const auto timedOut = std::count(system_.waitResults.begin(), system_.waitResults.end(), DWORD{WAIT_TIMEOUT});
    EXPECT_EQ(system_.snapshots, 1 + timedOut);
    EXPECT_EQ(system_.waitResults.back(), static_cast<DWORD>(WAIT_OBJECT_0));

    FakePassSystem failing;
    failing.timeoutResult = WAIT_FAILED;
    Monitor monitor(PCoreData{}, failing.Calls());
    UniqueHandle passed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    monitor.AddPassNotifyEvent(passed.Get());
    monitor.StartMonitor();
    ASSERT_TRUE(IsSignalled(passed.Get(), 5000));
    for (int i = 0; i < 1000 && monitor.MonitorState() != 0; ++i)
        ::Sleep(10);
    EXPECT_EQ(monitor.MonitorState(), 0) << "the thread goes on after a failed wait";
    monitor.StopMonitor();
    EXPECT_EQ(failing.snapshots, 1);
    EXPECT_EQ(failing.waitTimeouts.size(), 1u);
}

// Whoever wakes on a pass's event reads that pass's counters: they are written before the events
// are signalled. Many events after the one the test waits on make the window between a signal and
// late counters wide enough to see.
TEST_F(MonitorTest, TheCountersAreWrittenBeforeThePassSignals)
{
    WriteRules(L"game.exe\r\n");
    Monitor monitor(PCoreData{}, system_.Calls());
    UniqueHandle passed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    monitor.AddPassNotifyEvent(passed.Get());
    std::vector<UniqueHandle> others(2000);
    for (UniqueHandle& other : others)
    {
        other.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(other);
        monitor.AddPassNotifyEvent(other.Get());
    }
    monitor.StartMonitor();
    ASSERT_TRUE(IsSignalled(passed.Get(), 10000));
    const DWORD scanned = GetCounter(LastScannedCountName);
    const DWORD matched = GetCounter(CurrentEnforcedCountName);
    monitor.StopMonitor();
    EXPECT_EQ(scanned, 2u);
    EXPECT_EQ(matched, 1u);
}

} // namespace
