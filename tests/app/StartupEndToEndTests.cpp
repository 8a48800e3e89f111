// Ternvale.exe itself under Wine: what a start leaves behind and prints.

#include <gtest/gtest.h>

#include <shlobj.h>

#include "app/Handles.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace
{
std::wstring RoamingFolder()
{
    PWSTR folder = nullptr;
    std::wstring result;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder)))
        result = folder;
    ::CoTaskMemFree(folder);
    return result;
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

TEST(StartupEndToEnd, HelpGoesToStandardErrorWithExitCodeOne)
{
    for (const wchar_t* args : {L" --help", L" -h", L" --help --install", L" --close -h"})
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(args)));
        const ProcessResult result = RunProcess(Quoted(TernvaleExePath()) + args);
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 1u);
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_EQ(result.err.rfind("Options:", 0), 0u) << result.err;
        for (const char* option : {"--help", "--close", "--install", "--uninstall", "--show"})
            EXPECT_NE(result.err.find(option), std::string::npos) << option;
    }
}

TEST(StartupEndToEnd, ARejectedCommandLinePrintsTheReasonAndExitsWithOne)
{
    const ProcessResult result = RunProcess(Quoted(TernvaleExePath()) + L" --help=yes");
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_NE(result.err.find("Options:"), std::string::npos) << result.err;
    EXPECT_GT(result.err.find("Options:"), 0u) << "the parser's message comes first";
}

TEST(StartupEndToEnd, AFirstStartCreatesTheConfigFolderButNoListFile)
{
    const std::wstring folder = RoamingFolder() + L"\\Ternvale";
    DeleteTree(folder);
    ASSERT_FALSE(FileExists(folder));
    const ProcessResult result = RunProcess(Quoted(TernvaleExePath()) + L" --help");
    ASSERT_FALSE(result.timedOut);
    EXPECT_TRUE(FileExists(folder + L"\\config"));
    EXPECT_FALSE(FileExists(folder + L"\\config\\p-core-list.txt"));
}

constexpr wchar_t TrayClass[] = L"Ternvale_TrayClass";
constexpr wchar_t ProgramName[] = L"Ternvale.exe";
constexpr wchar_t TaskName[] = L"Ternvale";
constexpr wchar_t OlderTaskName[] = L"Tern Vale";

std::wstring Command(const wchar_t* args)
{
    return Quoted(TernvaleExePath()) + args;
}

// The tray windows of one process (or of every process with 0).
std::vector<HWND> TrayWindowsOf(DWORD processId)
{
    std::vector<HWND> found;
    for (HWND window = ::FindWindowExW(nullptr, nullptr, TrayClass, nullptr); window != nullptr;
         window = ::FindWindowExW(nullptr, window, TrayClass, nullptr))
    {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        if (processId == 0 || owner == processId)
            found.push_back(window);
    }
    return found;
}

// Every test starts and ends with no instance of the program, no logon task and no settings key, so a
// failed test cannot leave a resident instance that would answer the next one's close or hand-over.
class TernvaleRuns : public testing::Test
{
  protected:
    void SetUp() override
    {
        CleanUp();
    }
    void TearDown() override
    {
        for (const UniqueHandle& process : started_)
        {
            if (::WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT)
            {
                ADD_FAILURE() << "a started instance was still running at the end";
                ::TerminateProcess(process.Get(), 0xDEAD);
                ::WaitForSingleObject(process.Get(), 5000);
            }
        }
        started_.clear();
        CleanUp();
    }
    static void CleanUp()
    {
        TerminateProcessesNamed(ProgramName);
        DeleteTaskIfPresent(TaskName);
        DeleteTaskIfPresent(OlderTaskName);
    }

    // Starts the program without waiting; the fixture ends it if the test does not.
    HANDLE Start(const wchar_t* args)
    {
        started_.emplace_back(StartProcess(Command(args)));
        return started_.back().Get();
    }

    // Waits until the process has its tray window, i.e. is resident; false if it ends first or takes too long.
    static bool WaitUntilResident(HANDLE process)
    {
        const DWORD id = ::GetProcessId(process);
        for (int i = 0; i < 300; ++i)
        {
            if (!TrayWindowsOf(id).empty())
                return true;
            if (::WaitForSingleObject(process, 100) == WAIT_OBJECT_0)
                return false;
        }
        return false;
    }

    std::vector<UniqueHandle> started_;
};

TEST_F(TernvaleRuns, InstallReplacesBothTasksAndSucceedsOnlyWithTheLogonTaskRegistered)
{
    // Wine's Task Scheduler cannot make logon triggers: there the install fails and must leave no
    // task behind, not even the one it replaced; on Windows the new task is there.
    ASSERT_TRUE(RegisterDailyTask(TaskName, L"C:\\windows\\notepad.exe"));
    ASSERT_TRUE(RegisterDailyTask(OlderTaskName, L"C:\\windows\\notepad.exe"));

    const ProcessResult result = RunProcess(Command(L" --install"));
    ASSERT_FALSE(result.timedOut);
    EXPECT_FALSE(TaskExists(OlderTaskName));
    const bool created = TaskExists(TaskName);
    EXPECT_EQ(result.exitCode, created ? 0u : 1u);
    EXPECT_TRUE(result.out.empty() && result.err.empty()) << result.out << result.err;
}

TEST_F(TernvaleRuns, InstallTogetherWithUninstallOnlyInstalls)
{
    ScratchRegistryKey settings(L"Ternvale");
    ASSERT_TRUE(settings.SetDword(L"MethodCPUAffinity", 1));

    for (const wchar_t* args : {L" --install --uninstall", L" -u -i"})
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(args)));
        const ProcessResult result = RunProcess(Command(args));
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, TaskExists(TaskName) ? 0u : 1u);
        EXPECT_TRUE(settings.Exists()) << "the uninstall ran and deleted the settings";
        DeleteTaskIfPresent(TaskName);
    }
}

TEST_F(TernvaleRuns, UninstallDeletesTheSettingsAndBothTasks)
{
    struct Case
    {
        const char* name;
        bool tasksBefore;
        bool settingsBefore;
    };
    const Case cases[] = {
        {"both tasks and settings", true, true},
        {"nothing to delete", false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScratchRegistryKey settings(L"Ternvale");
        ScratchRegistryKey machineSettings(L"Ternvale", HKEY_LOCAL_MACHINE);
        // The machine key needs rights the test may not have; it is only checked when it could be made.
        bool machineKeyMade = false;
        if (c.settingsBefore)
        {
            ASSERT_TRUE(settings.SetDword(L"MethodCPUSets", 1));
            machineKeyMade = machineSettings.SetDword(L"BetaUpdates", 1);
        }
        if (c.tasksBefore)
        {
            ASSERT_TRUE(RegisterDailyTask(TaskName, L"C:\\windows\\notepad.exe"));
            ASSERT_TRUE(RegisterDailyTask(OlderTaskName, L"C:\\windows\\notepad.exe"));
        }

        const ProcessResult result = RunProcess(Command(L" --uninstall"));
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_FALSE(settings.Exists());
        if (machineKeyMade)
        {
            EXPECT_FALSE(machineSettings.Exists());
        }
        EXPECT_FALSE(TaskExists(TaskName));
        EXPECT_FALSE(TaskExists(OlderTaskName));
    }
}

TEST_F(TernvaleRuns, CloseWithoutAnInstanceExitsWithOneAtOnce)
{
    // Well within the first of the waiting rounds (ten of a second each) that a running instance gets.
    const ProcessResult result = RunProcess(Command(L" --close"), 5000);
    ASSERT_FALSE(result.timedOut) << "waited although no instance runs";
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_TRUE(result.out.empty() && result.err.empty()) << result.out << result.err;
}

} // namespace
