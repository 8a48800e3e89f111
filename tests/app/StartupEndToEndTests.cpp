// Ternvale.exe itself under Wine: what a start leaves behind and prints.

#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

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

// The visible dialogs of one process: the main window is one.
std::vector<HWND> DialogsOf(DWORD processId)
{
    struct Search
    {
        DWORD processId;
        std::vector<HWND> found;
    } search{processId, {}};
    ::EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(parameter);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            wchar_t className[64] = {};
            ::GetClassNameW(window, className, 64);
            if (owner == s.processId && ::IsWindowVisible(window) && std::wstring(className) == L"#32770")
                s.found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A process that is ended, if it still runs, when the object goes.
class ChildProcess
{
  public:
    explicit ChildProcess(HANDLE process) : process_(process)
    {
    }
    ~ChildProcess()
    {
        if (process_ && ::WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT)
        {
            ::TerminateProcess(process_.Get(), 0);
            ::WaitForSingleObject(process_.Get(), 5000);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    HANDLE Get() const
    {
        return process_.Get();
    }

  private:
    UniqueHandle process_;
};

// The user's rule list file, replaced for a test and put back afterwards.
class RuleListFile
{
  public:
    RuleListFile() : folder_(RoamingFolder() + L"\\Ternvale\\config"), path_(folder_ + L"\\p-core-list.txt")
    {
        existed_ = FileExists(path_);
        if (existed_)
            saved_ = ReadFileBytes(path_);
    }
    ~RuleListFile()
    {
        if (existed_)
            WriteFileBytes(path_, saved_);
        else
            ::DeleteFileW(path_.c_str());
    }
    RuleListFile(const RuleListFile&) = delete;
    RuleListFile& operator=(const RuleListFile&) = delete;

    // UTF-16 little-endian without a byte-order mark, each pattern ended by CR LF.
    bool Write(const std::vector<std::wstring>& patterns) const
    {
        ::CreateDirectoryW((RoamingFolder() + L"\\Ternvale").c_str(), nullptr);
        ::CreateDirectoryW(folder_.c_str(), nullptr);
        std::vector<unsigned char> bytes;
        for (const std::wstring& pattern : patterns)
        {
            for (const wchar_t c : pattern + L"\r\n")
            {
                bytes.push_back(static_cast<unsigned char>(c & 0xFF));
                bytes.push_back(static_cast<unsigned char>(c >> 8));
            }
        }
        return WriteFileBytes(path_, bytes);
    }

  private:
    std::wstring folder_;
    std::wstring path_;
    bool existed_ = false;
    std::vector<unsigned char> saved_;
};

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

TEST_F(TernvaleRuns, StartsResidentWhateverElseIsOnTheCommandLineAndEndsOnClose)
{
    for (const wchar_t* args : {L"", L" -tray", L" --unknown-option", L" plainword -x"})
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(args)));
        const HANDLE resident = Start(args);
        ASSERT_NE(resident, nullptr);
        ASSERT_TRUE(WaitUntilResident(resident));

        const ProcessResult close = RunProcess(Command(L" --close"));
        ASSERT_FALSE(close.timedOut);
        EXPECT_EQ(close.exitCode, 0u);
        EXPECT_EQ(::WaitForSingleObject(resident, 0), WAIT_OBJECT_0) << "still running after the close returned";
        DWORD exitCode = 0;
        ::GetExitCodeProcess(resident, &exitCode);
        EXPECT_EQ(exitCode, 0u);
        EXPECT_TRUE(ProcessIdsNamed(ProgramName).empty());
    }
}

TEST_F(TernvaleRuns, ASecondStartOpensTheFirstInstancesMainWindowAndLeaves)
{
    for (const wchar_t* args : {L"", L" --show", L" -tray"})
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(args)));
        const HANDLE first = Start(L" -tray");
        ASSERT_TRUE(WaitUntilResident(first));
        const DWORD firstId = ::GetProcessId(first);
        ASSERT_TRUE(DialogsOf(firstId).empty());

        // The hand-over returns only once the main window it opened has been closed again.
        const HANDLE second = Start(args);
        const DWORD secondId = ::GetProcessId(second);
        bool mainWindowSeen = false;
        bool secondHadATrayWindow = false;
        for (int i = 0; i < 200 && ::WaitForSingleObject(second, 100) == WAIT_TIMEOUT; ++i)
        {
            secondHadATrayWindow = secondHadATrayWindow || !TrayWindowsOf(secondId).empty();
            for (const HWND dialog : DialogsOf(firstId))
            {
                mainWindowSeen = true;
                ::PostMessageW(dialog, WM_CLOSE, 0, 0);
            }
        }
        ASSERT_EQ(::WaitForSingleObject(second, 0), WAIT_OBJECT_0);
        DWORD exitCode = 0xFFFFFFFF;
        ::GetExitCodeProcess(second, &exitCode);
        EXPECT_EQ(exitCode, 0u);
        EXPECT_TRUE(mainWindowSeen);
        EXPECT_FALSE(secondHadATrayWindow);
        EXPECT_EQ(TrayWindowsOf(0).size(), 1u);

        EXPECT_EQ(RunProcess(Command(L" --close")).exitCode, 0u);
        EXPECT_EQ(::WaitForSingleObject(first, 0), WAIT_OBJECT_0);
    }
}

TEST_F(TernvaleRuns, ASecondStartRaisesAnOpenMainWindowWithoutASecondOne)
{
    const HANDLE first = Start(L" --show");
    ASSERT_TRUE(WaitUntilResident(first));
    const DWORD firstId = ::GetProcessId(first);
    for (int i = 0; i < 100 && DialogsOf(firstId).empty(); ++i)
        ::Sleep(100);
    ASSERT_EQ(DialogsOf(firstId).size(), 1u) << "--show opens the main window once the program runs";

    const ProcessResult second = RunProcess(Command(L""), 20000);
    ASSERT_FALSE(second.timedOut) << "the hand-over waited although the main window was already open";
    EXPECT_EQ(second.exitCode, 0u);
    EXPECT_EQ(DialogsOf(firstId).size(), 1u);
    EXPECT_EQ(TrayWindowsOf(0).size(), 1u);

    // A close request also ends an instance whose main window is open.
    EXPECT_EQ(RunProcess(Command(L" --close")).exitCode, 0u);
    EXPECT_EQ(::WaitForSingleObject(first, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ProcessIdsNamed(ProgramName).empty());
}

TEST_F(TernvaleRuns, AResidentRunCountsTheRunningProgramsItsRulesName)
{
    RuleListFile rules;
    ASSERT_TRUE(rules.Write({L"not-running-game.exe", L"tvhelper-*.exe"}));
    ScratchRegistryKey settings(L"Ternvale");
    TempDirectory folder;
    const std::wstring helperPath = folder.File(L"tvhelper-e2e.exe");
    ASSERT_TRUE(::CopyFileW((ExeDirectory() + L"\\e2e_sleeper.exe").c_str(), helperPath.c_str(), FALSE));
    const ChildProcess helper(StartProcess(Quoted(helperPath) + L" 60000"));
    ASSERT_NE(helper.Get(), nullptr);

    const HANDLE resident = Start(L" -tray");
    ASSERT_TRUE(WaitUntilResident(resident));
    DWORD matched = 0;
    for (int i = 0; i < 100 && !(settings.GetDword(L"CurrentEnforcedCount", matched) && matched > 0); ++i)
        ::Sleep(100);
    EXPECT_EQ(matched, 1u) << "one running process matches one rule";
    DWORD scanned = 0;
    EXPECT_TRUE(settings.GetDword(L"LastScannedCount", scanned));
    EXPECT_GE(scanned, 3u) << "at least the helper, the program and this test";

    const ProcessResult close = RunProcess(Command(L" --close"));
    EXPECT_EQ(close.exitCode, 0u);
    EXPECT_EQ(::WaitForSingleObject(resident, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ProcessIdsNamed(ProgramName).empty());
}
} // namespace
