// TernvaleSetup.exe under Wine: silent install, update over a running instance, silent uninstall.
// Every test starts from a machine without Ternvale installed and leaves it that way.

#include <gtest/gtest.h>

#include <aclapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
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
    std::vector<DWORD> stayed;   // processes named mayStay still running once the rest had ended
    std::wstring seen;           // every process of the job seen while it ran, for failure messages
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
        if (name.empty())
        {
            // A process that has only just been created shows no name yet; it still runs, and it is
            // known by its name at the next look.
            UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, id));
            if (process && ::WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT)
                running.push_back({id, L"(starting)"});
            continue;
        }
        if (!IsWineHelper(name))
            running.push_back({id, std::move(name)});
    }
    return running;
}

// Runs a command line in a job and waits until every process of the job has ended: the uninstaller
// copies itself to the temporary folder and lets the copy do the work after the original has exited.
// No handles are inherited, since Wine's helpers would keep a caller's pipes open. Processes of ours
// still running after the time-out are ended.
// Processes named mayStay (a program that Setup starts to run on) may outlive it: they are listed in
// stayed, not ended.
JobResult RunToCompletion(const std::wstring& commandLine, DWORD timeoutMs = SetupTimeoutMs,
                          const wchar_t* mayStay = nullptr)
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
        for (const JobProcess& process : running)
        {
            const std::wstring entry = process.name + L":" + std::to_wstring(process.id) + L" ";
            if (result.seen.find(entry) == std::wstring::npos)
                result.seen += entry;
        }
        std::vector<DWORD> staying;
        if (mayStay != nullptr)
            for (auto it = running.begin(); it != running.end();)
                if (::lstrcmpiW(it->name.c_str(), mayStay) == 0)
                {
                    staying.push_back(it->id);
                    it = running.erase(it);
                }
                else
                    ++it;
        if (running.empty())
        {
            result.finished = true;
            result.stayed = std::move(staying);
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

    static JobResult RunSetup(const std::wstring& arguments = L"/S", const wchar_t* mayStay = nullptr)
    {
        return RunToCompletion(Quoted(SetupExePath()) + L" " + arguments, SetupTimeoutMs, mayStay);
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

// A silent update over a running Ternvale closes it, replaces it, and starts the new one again in
// the notification area, so that the update does not leave the user without it until the next logon.
TEST_F(InstallerTest, ASecondSilentInstallClosesTheRunningInstanceReplacesItAndStartsItAgain)
{
    ASSERT_EQ(RunSetup().exitCode, 0u);
    StartResident(DefaultInstallFolder());
    if (HasFatalFailure())
        return;
    const DWORD oldId = ::GetProcessId(resident_.Get());

    const JobResult result = RunSetup(L"/S", L"Ternvale.exe");
    ASSERT_TRUE(result.finished) << testing::PrintToString(result.leftovers);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(::WaitForSingleObject(resident_.Get(), 0), WAIT_OBJECT_0) << "the running instance was not closed";
    EXPECT_TRUE(ReadFileBytes(DefaultInstallFolder() + L"\\Ternvale.exe") == ReadFileBytes(TernvaleExePath()));
    EXPECT_EQ(UninstallValue(L"DisplayVersion"), L"1.0.0.2");

    ASSERT_EQ(result.stayed.size(), 1u) << "Setup did not start the new Ternvale; seen: "
                                        << testing::PrintToString(result.seen);
    EXPECT_NE(result.stayed[0], oldId);
    EXPECT_TRUE(WaitForTrayWindow(30000)) << "the restarted Ternvale did not become resident";
    const HWND tray = ::FindWindowW(TrayClass, nullptr);
    DWORD trayProcess = 0;
    ::GetWindowThreadProcessId(tray, &trayProcess);
    EXPECT_EQ(trayProcess, result.stayed[0]);
}

// The install folder takes an access list of its own that only administrators can write through,
// also in a folder outside Program Files chosen with /D=.
TEST_F(InstallerTest, TheInstallFolderIsWritableOnlyByAdministrators)
{
    const std::wstring custom = CustomInstallFolder();
    ASSERT_TRUE(::CreateDirectoryW(custom.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_EQ(RunSetup(L"/S /D=" + custom).exitCode, 0u);

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(custom.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    UniqueLocalMem owner(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
    if ((control & SE_DACL_PROTECTED) == 0 && testing_support::RunningUnderWine())
        GTEST_SKIP() << "this Wine prefix keeps no access lists of its own for files (no extended attributes "
                        "on its file system), so the folder's list is made from the Unix mode";
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "the folder still inherits its parent's access list";
    ASSERT_NE(dacl, nullptr);

    struct Grant
    {
        WELL_KNOWN_SID_TYPE who;
        ACCESS_MASK access;
    };
    const Grant expected[] = {{WinLocalSystemSid, FILE_ALL_ACCESS},
                              {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                              {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
    std::vector<Grant> found;
    for (DWORD i = 0; i < dacl->AceCount; ++i)
    {
        void* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, &ace));
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        ASSERT_EQ(header->AceType, ACCESS_ALLOWED_ACE_TYPE) << "entry " << i;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        bool known = false;
        for (const Grant& grant : expected)
            if (::IsWellKnownSid(sid, grant.who))
            {
                known = true;
                found.push_back({grant.who, allowed->Mask});
            }
        EXPECT_TRUE(known) << "entry " << i << " grants access to someone else";
    }
    for (const Grant& grant : expected)
    {
        SCOPED_TRACE(static_cast<int>(grant.who));
        const auto it = std::find_if(found.begin(), found.end(), [&](const Grant& g) { return g.who == grant.who; });
        ASSERT_NE(it, found.end());
        EXPECT_EQ(it->access & grant.access, grant.access);
        if (grant.who == WinBuiltinUsersSid)
            EXPECT_EQ(it->access & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER), 0u)
                << "users may change the program's folder";
    }
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
