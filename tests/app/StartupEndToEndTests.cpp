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

// A private profile for the programs this test starts: its name in TERNVALE_TEST_PROFILE, which the
// children inherit, puts their settings key, rule-list folder and logon tasks beside the real ones
// ("Ternvale-<name>"), so the suite never touches a user's own list, settings or task. Everything
// of the profile is deleted when it is made and when it goes.
class PrivateProfile
{
  public:
    PrivateProfile()
    {
        static int made = 0;
        name_ = L"e2e-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++made);
        product_ = L"Ternvale-" + name_;
        CleanUp();
        ::SetEnvironmentVariableW(L"TERNVALE_TEST_PROFILE", name_.c_str());
    }
    ~PrivateProfile()
    {
        ::SetEnvironmentVariableW(L"TERNVALE_TEST_PROFILE", nullptr);
        CleanUp();
    }
    PrivateProfile(const PrivateProfile&) = delete;
    PrivateProfile& operator=(const PrivateProfile&) = delete;

    // The settings key's last part and the rule-list folder's name.
    [[nodiscard]] const std::wstring& ProductName() const
    {
        return product_;
    }
    [[nodiscard]] std::wstring Folder() const
    {
        return RoamingFolder() + L"\\" + product_;
    }
    [[nodiscard]] std::wstring TaskName() const
    {
        return product_;
    }
    [[nodiscard]] std::wstring OlderTaskName() const
    {
        return L"Tern Vale-" + name_;
    }

  private:
    void CleanUp() const
    {
        DeleteTree(Folder());
        ScratchRegistryKey user(product_);
        ScratchRegistryKey machine(product_, HKEY_LOCAL_MACHINE);
        DeleteTaskIfPresent(TaskName());
        DeleteTaskIfPresent(OlderTaskName());
    }

    std::wstring name_;
    std::wstring product_;
};

// Whether this test runs with an elevated token, which writes below HKEY_LOCAL_MACHINE need on Windows.
bool RunsElevated()
{
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put()))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

TEST(StartupEndToEnd, HelpGoesToStandardErrorWithExitCodeOne)
{
    const PrivateProfile profile; // every start makes its folders
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
    const PrivateProfile profile;
    const ProcessResult result = RunProcess(Quoted(TernvaleExePath()) + L" --help=yes");
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_NE(result.err.find("Options:"), std::string::npos) << result.err;
    EXPECT_GT(result.err.find("Options:"), 0u) << "the parser's message comes first";
}

TEST(StartupEndToEnd, AFirstStartCreatesTheConfigFolderButNoListFile)
{
    const PrivateProfile profile;
    const std::wstring folder = profile.Folder();
    ASSERT_FALSE(FileExists(folder));
    const ProcessResult result = RunProcess(Quoted(TernvaleExePath()) + L" --help");
    ASSERT_FALSE(result.timedOut);
    EXPECT_TRUE(FileExists(folder + L"\\config"));
    EXPECT_FALSE(FileExists(folder + L"\\config\\p-core-list.txt"));
}

constexpr wchar_t TrayClass[] = L"Ternvale_TrayClass";
constexpr wchar_t ProgramName[] = L"Ternvale.exe";

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

// The rule list file of a private profile.
class RuleListFile
{
  public:
    explicit RuleListFile(const PrivateProfile& profile)
        : base_(profile.Folder()), folder_(base_ + L"\\config"), path_(folder_ + L"\\p-core-list.txt")
    {
    }

    // UTF-16 little-endian without a byte-order mark, each pattern ended by CR LF.
    bool Write(const std::vector<std::wstring>& patterns) const
    {
        ::CreateDirectoryW(base_.c_str(), nullptr);
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
    std::wstring base_;
    std::wstring folder_;
    std::wstring path_;
};

// Every test starts and ends with no instance of the program, and with a private profile without
// logon task or settings key, so a failed test cannot leave a resident instance that would answer the
// next one's close or hand-over.
class TernvaleRuns : public testing::Test
{
  protected:
    const PrivateProfile profile_;

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
    void CleanUp() const
    {
        TerminateProcessesNamed(ProgramName);
        DeleteTaskIfPresent(profile_.TaskName());
        DeleteTaskIfPresent(profile_.OlderTaskName());
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

// Wine's Task Scheduler cannot store a logon trigger: there the install must fail (exit code 1) and
// leave no task; on Windows it must succeed (exit code 0) with the task registered.
DWORD InstallExitCode()
{
    return RunningUnderWine() ? 1u : 0u;
}

TEST_F(TernvaleRuns, InstallReplacesBothTasksAndSucceedsOnlyWithTheLogonTaskRegistered)
{
    ASSERT_TRUE(RegisterDailyTask(profile_.TaskName(), L"C:\\windows\\notepad.exe"));
    ASSERT_TRUE(RegisterDailyTask(profile_.OlderTaskName(), L"C:\\windows\\notepad.exe"));

    const ProcessResult result = RunProcess(Command(L" --install"));
    ASSERT_FALSE(result.timedOut);
    EXPECT_FALSE(TaskExists(profile_.OlderTaskName()));
    EXPECT_EQ(result.exitCode, InstallExitCode());
    EXPECT_EQ(TaskExists(profile_.TaskName()), !RunningUnderWine()) << "not even the replaced task may stay";
    EXPECT_TRUE(result.out.empty() && result.err.empty()) << result.out << result.err;
}

TEST_F(TernvaleRuns, InstallTogetherWithUninstallOnlyInstalls)
{
    ScratchRegistryKey settings(profile_.ProductName());
    ASSERT_TRUE(settings.SetDword(L"MethodCPUAffinity", 1));

    for (const wchar_t* args : {L" --install --uninstall", L" -u -i"})
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(args)));
        const ProcessResult result = RunProcess(Command(args));
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, InstallExitCode());
        EXPECT_EQ(TaskExists(profile_.TaskName()), !RunningUnderWine());
        EXPECT_TRUE(settings.Exists()) << "the uninstall ran and deleted the settings";
        DeleteTaskIfPresent(profile_.TaskName());
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
        ScratchRegistryKey settings(profile_.ProductName());
        ScratchRegistryKey machineSettings(profile_.ProductName(), HKEY_LOCAL_MACHINE);
        // On Windows only an elevated test may write the machine key (and the program it starts is
        // then elevated too and may delete it); Wine lets every program write it.
        const bool machineWritable = RunningUnderWine() || RunsElevated();
        if (c.settingsBefore)
        {
            ASSERT_TRUE(settings.SetDword(L"MethodCPUSets", 1));
            ASSERT_EQ(machineSettings.SetDword(L"BetaUpdates", 1), machineWritable);
        }
        if (c.tasksBefore)
        {
            ASSERT_TRUE(RegisterDailyTask(profile_.TaskName(), L"C:\\windows\\notepad.exe"));
            ASSERT_TRUE(RegisterDailyTask(profile_.OlderTaskName(), L"C:\\windows\\notepad.exe"));
        }

        const ProcessResult result = RunProcess(Command(L" --uninstall"));
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_FALSE(settings.Exists());
        EXPECT_FALSE(machineSettings.Exists());
        EXPECT_FALSE(TaskExists(profile_.TaskName()));
        EXPECT_FALSE(TaskExists(profile_.OlderTaskName()));
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
        // The close returns half a second after the last holder let go of the event; a slow teardown
        // may take longer than that, so wait for the end itself.
        EXPECT_EQ(::WaitForSingleObject(resident, 30000), WAIT_OBJECT_0) << "the close did not end the instance";
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
        // Idle, the instance has handled the start-up work its tray window posted itself, a main
        // window that --show would open included.
        ASSERT_EQ(::WaitForInputIdle(first, 30000), 0u);
        ASSERT_TRUE(DialogsOf(firstId).empty()) << "a start without --show opened the main window";

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
        EXPECT_EQ(::WaitForSingleObject(first, 30000), WAIT_OBJECT_0);
    }
}

TEST_F(TernvaleRuns, ASecondStartRaisesAnOpenMainWindowWithoutASecondOne)
{
    const HANDLE first = Start(L" --show");
    ASSERT_TRUE(WaitUntilResident(first));
    const DWORD firstId = ::GetProcessId(first);
    ASSERT_TRUE(WaitUntil([&] { return !DialogsOf(firstId).empty(); }));
    ASSERT_EQ(DialogsOf(firstId).size(), 1u) << "--show opens the main window once the program runs";

    const ProcessResult second = RunProcess(Command(L""), 20000);
    ASSERT_FALSE(second.timedOut) << "the hand-over waited although the main window was already open";
    EXPECT_EQ(second.exitCode, 0u);
    EXPECT_EQ(DialogsOf(firstId).size(), 1u);
    EXPECT_EQ(TrayWindowsOf(0).size(), 1u);

    // A close request also ends an instance whose main window is open.
    EXPECT_EQ(RunProcess(Command(L" --close")).exitCode, 0u);
    EXPECT_EQ(::WaitForSingleObject(first, 30000), WAIT_OBJECT_0);
    EXPECT_TRUE(ProcessIdsNamed(ProgramName).empty());
}

TEST_F(TernvaleRuns, AResidentRunCountsTheRunningProgramsItsRulesName)
{
    RuleListFile rules(profile_);
    ASSERT_TRUE(rules.Write({L"not-running-game.exe", L"tvhelper-*.exe"}));
    ScratchRegistryKey settings(profile_.ProductName());
    TempDirectory folder;
    const std::wstring helperPath = folder.File(L"tvhelper-e2e.exe");
    ASSERT_TRUE(::CopyFileW((ExeDirectory() + L"\\e2e_sleeper.exe").c_str(), helperPath.c_str(), FALSE));
    const ChildProcess helper(StartProcess(Quoted(helperPath) + L" 60000"));
    ASSERT_NE(helper.Get(), nullptr);

    const HANDLE resident = Start(L" -tray");
    ASSERT_TRUE(WaitUntilResident(resident));
    DWORD matched = 0;
    EXPECT_TRUE(WaitUntil([&] { return settings.GetDword(L"CurrentEnforcedCount", matched) && matched > 0; }));
    EXPECT_EQ(matched, 1u) << "one running process matches one rule";
    DWORD scanned = 0;
    EXPECT_TRUE(settings.GetDword(L"LastScannedCount", scanned));
    EXPECT_GE(scanned, 3u) << "at least the helper, the program and this test";

    const ProcessResult close = RunProcess(Command(L" --close"));
    EXPECT_EQ(close.exitCode, 0u);
    EXPECT_EQ(::WaitForSingleObject(resident, 30000), WAIT_OBJECT_0);
    EXPECT_TRUE(ProcessIdsNamed(ProgramName).empty());
}
} // namespace
