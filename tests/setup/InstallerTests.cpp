// TernvaleSetup.exe under Wine: silent install, update over a running instance, silent uninstall.
// Every test starts from a machine without Ternvale installed and leaves it that way.

#include <gtest/gtest.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "app/Handles.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace
{
constexpr wchar_t UninstallKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ternvale";
constexpr wchar_t TrayClass[] = L"Ternvale_TrayClass";
constexpr wchar_t OlderTaskName[] = L"Tern Vale";
constexpr wchar_t TaskName[] = L"Ternvale";
constexpr DWORD SetupTimeoutMs = 120000;

std::wstring KnownFolder(const KNOWNFOLDERID& id)
{
    PWSTR path = nullptr;
    const HRESULT hr = ::SHGetKnownFolderPath(id, 0, nullptr, &path);
    const UniqueCoTaskMem owner(path);
    return SUCCEEDED(hr) ? std::wstring(path) : std::wstring();
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

std::wstring SetupExePath()
{
    // The installer is built into the build folder, the test programs into its bin folder.
    const std::wstring bin = ExeDirectory();
    return bin.substr(0, bin.find_last_of(L"\\/")) + L"\\TernvaleSetup.exe";
}

std::wstring DefaultInstallFolder()
{
    return KnownFolder(FOLDERID_ProgramFiles) + L"\\Ternvale";
}

// Where one test installs instead of the default folder.
std::wstring CustomInstallFolder()
{
    return KnownFolder(FOLDERID_ProgramFiles) + L"\\Ternvale Custom";
}

std::wstring ShortcutPath()
{
    return KnownFolder(FOLDERID_CommonPrograms) + L"\\Ternvale.lnk";
}

std::wstring RuleListFile()
{
    return KnownFolder(FOLDERID_RoamingAppData) + L"\\Ternvale\\config\\p-core-list.txt";
}

bool UninstallKeyExists()
{
    UniqueHKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, UninstallKeyPath, 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

// Empty when the value is missing or not a string.
std::wstring UninstallValue(const wchar_t* name)
{
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, UninstallKeyPath, name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
        return {};
    return buffer;
}

struct JobResult
{
    bool finished = false;       // every process of the job ended in time
    DWORD exitCode = 0xFFFFFFFF; // of the process started
    std::wstring leftovers;      // on a time-out: the processes still running, for the failure message
};

std::wstring ProcessName(DWORD id)
{
    UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && ::Process32FirstW(snapshot.Get(), &entry); more;
         more = ::Process32NextW(snapshot.Get(), &entry))
    {
        if (entry.th32ProcessID == id)
            return entry.szExeFile;
    }
    return {}; // it has ended
}

// Wine's own helpers that a program may start as its child: the desktop process (when no program
// holds the desktop at that moment) and the menu builder (for every shortcut written). They outlive
// the installer and are no part of it.
bool IsWineHelper(const std::wstring& name)
{
    return ::lstrcmpiW(name.c_str(), L"explorer.exe") == 0 || ::lstrcmpiW(name.c_str(), L"winemenubuilder.exe") == 0;
}

struct JobProcess
{
    DWORD id;
    std::wstring name;
};

std::vector<JobProcess> RunningProcessesOf(HANDLE job)
{
    struct
    {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[63];
    } ids{};
    ids.list.NumberOfAssignedProcesses = 64;
    std::vector<JobProcess> running;
    if (!::QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof(ids), nullptr))
        return {{0, L"?"}};
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList && i < 64; ++i)
    {
        const auto id = static_cast<DWORD>(ids.list.ProcessIdList[i]);
        std::wstring name = ProcessName(id);
        if (!name.empty() && !IsWineHelper(name))
            running.push_back({id, std::move(name)});
    }
    return running;
}

// Runs a command line in a job and waits until every process of the job has ended: the uninstaller
// copies itself to the temporary folder and lets the copy do the work after the original has exited.
// No handles are inherited, since Wine's helpers would keep a caller's pipes open. Processes of ours
// still running after the time-out are ended.
JobResult RunToCompletion(const std::wstring& commandLine, DWORD timeoutMs = SetupTimeoutMs)
{
    JobResult result;
    UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    if (!job)
        return result;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                          &startup, &info))
        return result;
    UniqueHandle process(info.hProcess), thread(info.hThread);
    ::AssignProcessToJobObject(job.Get(), process.Get());
    ::ResumeThread(thread.Get());

    std::vector<JobProcess> running;
    for (DWORD waited = 0; waited < timeoutMs; waited += 200)
    {
        running = RunningProcessesOf(job.Get());
        if (running.empty())
        {
            result.finished = true;
            break;
        }
        ::Sleep(200);
    }
    for (const JobProcess& left : running)
    {
        result.leftovers += left.name + L" ";
        UniqueHandle handle(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, left.id));
        if (handle && ::TerminateProcess(handle.Get(), 1))
            ::WaitForSingleObject(handle.Get(), 5000);
    }
    ::GetExitCodeProcess(process.Get(), &result.exitCode);
    return result;
}

bool WaitForTrayWindow(DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 100)
    {
        if (::FindWindowW(TrayClass, nullptr))
            return true;
        ::Sleep(100);
    }
    return false;
}

class InstallerTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(FileExists(SetupExePath())) << "build the installer first (target: installer)";
        // Wine starts its desktop process from the first program that needs it; let that be this
        // one rather than an installer whose processes the tests wait for.
        ::GetDesktopWindow();
        RemoveInstallation();
        savedRuleList_ = ReadFileBytes(RuleListFile());
        hadRuleList_ = FileExists(RuleListFile());
    }

    void TearDown() override
    {
        if (resident_)
        {
            if (::WaitForSingleObject(resident_.Get(), 0) == WAIT_TIMEOUT)
                ::TerminateProcess(resident_.Get(), 1);
            ::WaitForSingleObject(resident_.Get(), 10000);
            resident_.Reset();
        }
        RemoveInstallation();
        if (hadRuleList_)
            WriteFileBytes(RuleListFile(), savedRuleList_);
        else
            ::DeleteFileW(RuleListFile().c_str());
    }

    // Whatever a test or an earlier failed run left behind: a running program, its files, its registration,
    // its shortcut and its logon tasks.
    void RemoveInstallation()
    {
        std::wstring folder = UninstallValue(L"InstallLocation");
        if (folder.empty())
            folder = DefaultInstallFolder();
        for (const std::wstring& candidate : {folder, DefaultInstallFolder(), CustomInstallFolder()})
        {
            if (FileExists(candidate + L"\\Ternvale.exe"))
                RunToCompletion(Quoted(candidate + L"\\Ternvale.exe") + L" --close", 30000);
            DeleteTree(candidate);
        }
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, UninstallKeyPath);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, UninstallKeyPath);
        ::DeleteFileW(ShortcutPath().c_str());
        DeleteTaskIfPresent(TaskName);
        DeleteTaskIfPresent(OlderTaskName);
    }

    static JobResult RunSetup(const std::wstring& arguments = L"/S")
    {
        return RunToCompletion(Quoted(SetupExePath()) + L" " + arguments);
    }

    // Starts the installed program for a resident run and waits until its tray window exists.
    void StartResident(const std::wstring& folder)
    {
        resident_.Reset(StartProcess(Quoted(folder + L"\\Ternvale.exe")));
        ASSERT_TRUE(resident_);
        ASSERT_TRUE(WaitForTrayWindow(15000)) << "the installed program did not become resident";
    }

    UniqueHandle resident_;

  private:
    bool hadRuleList_ = false;
    std::vector<unsigned char> savedRuleList_;
};

TEST_F(InstallerTest, SilentInstallLandsTheProgramTheUninstallerAndTheRegistrationAndRunsInstall)
{
    // A task left by an older version; the program's --install and --uninstall remove it, which
    // shows that they ran.
    ASSERT_TRUE(RegisterDailyTask(OlderTaskName, TernvaleExePath()));

    const JobResult result = RunSetup();
    ASSERT_TRUE(result.finished) << testing::PrintToString(result.leftovers);
    EXPECT_EQ(result.exitCode, 0u);

    const std::wstring folder = DefaultInstallFolder();
    const std::vector<unsigned char> installed = ReadFileBytes(folder + L"\\Ternvale.exe");
    EXPECT_FALSE(installed.empty());
    EXPECT_TRUE(installed == ReadFileBytes(TernvaleExePath())) << "the installed program is the one built";
    EXPECT_TRUE(FileExists(folder + L"\\Uninstall.exe"));
    EXPECT_TRUE(FileExists(ShortcutPath()));

    const struct
    {
        const wchar_t* name;
        std::wstring expected;
    } values[] = {
        {L"DisplayName", L"Ternvale"},
        {L"DisplayVersion", L"1.0.0.2"},
        {L"Publisher", L"Orlenby LLC"},
        {L"InstallLocation", folder},
        {L"UninstallString", Quoted(folder + L"\\Uninstall.exe")},
        {L"QuietUninstallString", Quoted(folder + L"\\Uninstall.exe") + L" /S"},
        {L"DisplayIcon", Quoted(folder + L"\\Ternvale.exe") + L",0"},
    };
    for (const auto& row : values)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.name)));
        EXPECT_EQ(UninstallValue(row.name), row.expected);
    }

    // The program's --install removes the older task before it registers its own.
    EXPECT_FALSE(TaskExists(OlderTaskName)) << "the installed program did not run with --install";
    EXPECT_TRUE(ProcessIdsNamed(L"Ternvale.exe").empty()) << "a silent install starts nothing";
}

TEST_F(InstallerTest, ASecondSilentInstallClosesTheRunningInstanceFirstAndSucceeds)
{
    ASSERT_EQ(RunSetup().exitCode, 0u);
    StartResident(DefaultInstallFolder());
    if (HasFatalFailure())
        return;

    const JobResult result = RunSetup();
    ASSERT_TRUE(result.finished) << testing::PrintToString(result.leftovers);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(::WaitForSingleObject(resident_.Get(), 0), WAIT_OBJECT_0) << "the running instance was not closed";
    EXPECT_FALSE(::FindWindowW(TrayClass, nullptr));
    EXPECT_TRUE(ReadFileBytes(DefaultInstallFolder() + L"\\Ternvale.exe") == ReadFileBytes(TernvaleExePath()));
    EXPECT_EQ(UninstallValue(L"DisplayVersion"), L"1.0.0.2");
    EXPECT_TRUE(ProcessIdsNamed(L"Ternvale.exe").empty()) << "a silent install starts nothing";
}

TEST_F(InstallerTest, AnInstallThatCannotReplaceTheProgramFailsAndKeepsTheInstalledOne)
{
    ASSERT_EQ(RunSetup().exitCode, 0u);
    const std::wstring program = DefaultInstallFolder() + L"\\Ternvale.exe";
    {
        // Held the way a program that does not end holds its own file: readable, not writable.
        const UniqueFile held(::CreateFileW(program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            0, nullptr));
        ASSERT_TRUE(held);
        const JobResult result = RunSetup();
        ASSERT_TRUE(result.finished) << testing::PrintToString(result.leftovers);
        EXPECT_NE(result.exitCode, 0u) << "a setup that did not replace the program reported success";
    }
    EXPECT_TRUE(ReadFileBytes(program) == ReadFileBytes(TernvaleExePath()));
    EXPECT_TRUE(FileExists(DefaultInstallFolder() + L"\\Uninstall.exe"));
    EXPECT_EQ(UninstallValue(L"DisplayVersion"), L"1.0.0.2");
}

TEST_F(InstallerTest, AnUpdateGoesWhereThePreviousVersionWasInstalled)
{
    const std::wstring custom = CustomInstallFolder();
    // "/D=" must be the last argument and takes the rest of the line, spaces included, without quotes.
    ASSERT_EQ(RunSetup(L"/S /D=" + custom).exitCode, 0u);
    ASSERT_TRUE(FileExists(custom + L"\\Ternvale.exe"));

    ASSERT_EQ(RunSetup().exitCode, 0u);
    EXPECT_EQ(UninstallValue(L"InstallLocation"), custom);
    EXPECT_FALSE(FileExists(DefaultInstallFolder())) << "the update went to the default folder instead";

    ASSERT_TRUE(RunToCompletion(Quoted(custom + L"\\Uninstall.exe") + L" /S").finished);
    EXPECT_FALSE(FileExists(custom));
}

TEST_F(InstallerTest, SilentUninstallClosesTheProgramRemovesItsFilesAndRegistrationAndKeepsTheRuleList)
{
    ASSERT_EQ(RunSetup().exitCode, 0u);
    const std::wstring folder = DefaultInstallFolder();
    ASSERT_TRUE(FileExists(folder + L"\\Uninstall.exe"));

    const std::wstring list = L"\xFEFFgame.exe\r\nencoder*.exe\r\n";
    std::vector<unsigned char> listBytes(reinterpret_cast<const unsigned char*>(list.data()),
                                         reinterpret_cast<const unsigned char*>(list.data() + list.size()));
    ::SHCreateDirectoryExW(nullptr, RuleListFile().substr(0, RuleListFile().find_last_of(L'\\')).c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(RuleListFile(), listBytes));
    const ScratchRegistryKey settings(L"Ternvale");
    ASSERT_TRUE(settings.SetDword(L"MethodCPUAffinity", 1));
    // A task left by an older version; the program's --install and --uninstall remove it, which
    // shows that they ran.
    ASSERT_TRUE(RegisterDailyTask(OlderTaskName, TernvaleExePath()));
    StartResident(folder);
    if (HasFatalFailure())
        return;

    ASSERT_TRUE(RunToCompletion(Quoted(folder + L"\\Uninstall.exe") + L" /S").finished);

    EXPECT_EQ(::WaitForSingleObject(resident_.Get(), 0), WAIT_OBJECT_0) << "the running instance was not closed";
    EXPECT_FALSE(FileExists(folder));
    EXPECT_FALSE(UninstallKeyExists());
    EXPECT_FALSE(FileExists(ShortcutPath()));
    // What the program's --uninstall removes.
    EXPECT_FALSE(TaskExists(OlderTaskName));
    EXPECT_FALSE(settings.Exists());
    // What belongs to the user stays.
    EXPECT_TRUE(ReadFileBytes(RuleListFile()) == listBytes);
}
} // namespace
