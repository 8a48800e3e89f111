#pragma once
// Shared helpers for the Windows test programs (run under Wine by ctest).

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support
{

// True when the tests run under Wine (its ntdll exports wine_get_version). Tests whose outcome
// differs between Wine and Windows assert what each platform must do, not whatever happened.
bool RunningUnderWine();

// Asks condition until it holds or limitMs has passed; the result is the last answer. The limit is
// generous on purpose: it only bounds a failing test, a passing one returns as soon as it can.
bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs = 30000);

// The folder of the running test program; Ternvale.exe and every test program share it.
std::wstring ExeDirectory();
std::wstring TernvaleExePath();

struct ProcessResult
{
    DWORD exitCode = 0xFFFFFFFF;
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Starts a command line with its standard output and error read through pipes, waits for it
// (killing it after timeoutMs) and returns what it wrote and its exit code.
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// HKEY_CURRENT_USER\Software\<name>, deleted with everything below it when made and when destroyed.
class ScratchRegistryKey
{
  public:
    explicit ScratchRegistryKey(std::wstring productName, HKEY root = HKEY_CURRENT_USER);
    ~ScratchRegistryKey();
    ScratchRegistryKey(const ScratchRegistryKey&) = delete;
    ScratchRegistryKey& operator=(const ScratchRegistryKey&) = delete;

    [[nodiscard]] const std::wstring& ProductName() const
    {
        return product_;
    }
    [[nodiscard]] std::wstring Path() const
    {
        return L"Software\\" + product_;
    }
    bool Exists() const;
    // Writes a raw value of any type (for the wrong-type and wrong-size cases).
    bool SetRaw(const std::wstring& value, DWORD type, const void* data, DWORD size) const;
    bool SetDword(const std::wstring& value, DWORD data) const;
    // False when the value is absent or not 4 bytes.
    bool GetDword(const std::wstring& value, DWORD& data) const;
    void Delete() const;

  private:
    std::wstring product_;
    HKEY root_;
};

// A fresh folder under the temporary folder, deleted with its content at the end.
class TempDirectory
{
  public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    [[nodiscard]] const std::wstring& Path() const
    {
        return path_;
    }
    [[nodiscard]] std::wstring File(const std::wstring& name) const
    {
        return path_ + L"\\" + name;
    }

  private:
    std::wstring path_;
};

std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes);
bool FileExists(const std::wstring& path);
// Deletes a folder with everything in it; links are left in place (never followed).
void DeleteTree(const std::wstring& path);

// Collects the lines written with OutputDebugStringW while it exists. Without a debugger the
// system raises DBG_PRINTEXCEPTION_WIDE_C (0x4001000A) and then DBG_PRINTEXCEPTION_C (0x40010006)
// for the same text (Wine 8: only the latter); a vectored handler sees them and keeps one line.
class DebugOutputCapture
{
  public:
    DebugOutputCapture();
    ~DebugOutputCapture();
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    std::vector<std::wstring> Lines() const;
    size_t Count(const std::wstring& line) const;
    void Clear();

  private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* info);
    void* handle_ = nullptr;
};

} // namespace testing_support

namespace testing_support
{

// Tasks in the Task Scheduler's root folder, through its COM interface (COM is initialised by each
// call). A daily task is the kind the Task Scheduler of Wine 8 can store.
bool RegisterDailyTask(const std::wstring& name, const std::wstring& executablePath);
bool TaskExists(const std::wstring& name);
void DeleteTaskIfPresent(const std::wstring& name);

// The affinity masks of the threads of a process, as the system reports them (thread order).
std::vector<DWORD_PTR> ThreadAffinities(DWORD processId);

// A process started without waiting for it; its handle is owned by the caller.
HANDLE StartProcess(const std::wstring& commandLine);
// Processes by executable name (case-insensitive, without a path).
std::vector<DWORD> ProcessIdsNamed(const std::wstring& exeName);
// Ends every process of that name and waits for each to be gone.
void TerminateProcessesNamed(const std::wstring& exeName);

} // namespace testing_support
