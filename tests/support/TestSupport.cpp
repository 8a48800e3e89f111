#include "support/TestSupport.h"

#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

#include "app/Handles.h"

namespace testing_support
{

bool RunningUnderWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs)
{
    const ULONGLONG end = ::GetTickCount64() + limitMs;
    for (;;)
    {
        if (condition())
            return true;
        if (::GetTickCount64() >= end)
            return condition();
        ::Sleep(10);
    }
}

std::wstring ExeDirectory()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

std::wstring TernvaleExePath()
{
    return ExeDirectory() + L"\\Ternvale.exe";
}

namespace
{
// Reads what is in the pipe without blocking in ReadFile: a process that Wine starts on the child's
// behalf (explorer.exe for the desktop) can inherit the write end and keep it open long after the
// child has ended, so end of file never comes. Once the child has ended, what it wrote is already in
// the pipe: read that and stop.
void DrainPipe(HANDLE pipe, std::string& into, const std::atomic<bool>& writerEnded)
{
    char buffer[4096];
    for (;;)
    {
        const bool ended = writerEnded.load();
        DWORD available = 0;
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return; // every write end is closed
        if (available > 0)
        {
            DWORD read = 0;
            if (!::ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof(buffer)), &read, nullptr) || read == 0)
                return;
            into.append(buffer, read);
            continue;
        }
        if (ended)
            return;
        ::Sleep(10);
    }
}
} // namespace

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs)
{
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueHandle outRead, outWrite, errRead, errWrite;
    if (!::CreatePipe(outRead.Put(), outWrite.Put(), &inherit, 0) ||
        !::CreatePipe(errRead.Put(), errWrite.Put(), &inherit, 0))
        return result;
    ::SetHandleInformation(outRead.Get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errRead.Get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = outWrite.Get();
    startup.hStdError = errWrite.Get();
    PROCESS_INFORMATION info{};
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return result;
    UniqueHandle process(info.hProcess), thread(info.hThread);
    outWrite.Reset();
    errWrite.Reset();

    std::atomic<bool> ended{false};
    std::thread outReader(DrainPipe, outRead.Get(), std::ref(result.out), std::cref(ended));
    std::thread errReader(DrainPipe, errRead.Get(), std::ref(result.err), std::cref(ended));
    if (::WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0)
    {
        result.timedOut = true;
        ::TerminateProcess(process.Get(), 0xDEAD);
        ::WaitForSingleObject(process.Get(), 5000);
    }
    ended = true;
    outReader.join();
    errReader.join();
    ::GetExitCodeProcess(process.Get(), &result.exitCode);
    return result;
}

ScratchRegistryKey::ScratchRegistryKey(std::wstring productName, HKEY root) : product_(std::move(productName)), root_(root)
{
    Delete();
}

ScratchRegistryKey::~ScratchRegistryKey()
{
    Delete();
}

bool ScratchRegistryKey::Exists() const
{
    UniqueHKey key;
    return ::RegOpenKeyExW(root_, Path().c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

bool ScratchRegistryKey::SetRaw(const std::wstring& value, DWORD type, const void* data, DWORD size) const
{
    UniqueHKey key;
    if (::RegCreateKeyExW(root_, Path().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return ::RegSetValueExW(key.Get(), value.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

bool ScratchRegistryKey::SetDword(const std::wstring& value, DWORD data) const
{
    return SetRaw(value, REG_DWORD, &data, sizeof(data));
}

bool ScratchRegistryKey::GetDword(const std::wstring& value, DWORD& data) const
{
    DWORD size = sizeof(data);
    return ::RegGetValueW(root_, Path().c_str(), value.c_str(), RRF_RT_ANY, nullptr, &data, &size) == ERROR_SUCCESS &&
           size == sizeof(data);
}

void ScratchRegistryKey::Delete() const
{
    ::RegDeleteTreeW(root_, Path().c_str());
    ::RegDeleteKeyW(root_, Path().c_str());
}

TempDirectory::TempDirectory()
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    static LONG counter = 0;
    path_ = std::wstring(temp) + L"ternvale-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(::InterlockedIncrement(&counter));
    DeleteTree(path_);
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

TempDirectory::~TempDirectory()
{
    DeleteTree(path_);
}

std::vector<unsigned char> ReadFileBytes(const std::wstring& path)
{
    std::vector<unsigned char> bytes;
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return bytes;
    unsigned char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.insert(bytes.end(), buffer, buffer + read);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes)
{
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    return bytes.empty() ||
           (::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size());
}

bool FileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void DeleteTree(const std::wstring& path)
{
    // Links are left for their makers to remove: some systems delete a link's target when asked to
    // delete the link, and following one would delete whatever it points at.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return;
    WIN32_FIND_DATAW found{};
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                DeleteTree(child);
            else
            {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find, &found));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
}

namespace
{
std::mutex captureLock;
std::vector<std::wstring>* captureLines = nullptr;
} // namespace

DebugOutputCapture::DebugOutputCapture()
{
    std::lock_guard<std::mutex> guard(captureLock);
    captureLines = new std::vector<std::wstring>();
    handle_ = ::AddVectoredExceptionHandler(1, Handler);
}

DebugOutputCapture::~DebugOutputCapture()
{
    ::RemoveVectoredExceptionHandler(handle_);
    std::lock_guard<std::mutex> guard(captureLock);
    delete captureLines;
    captureLines = nullptr;
}

LONG CALLBACK DebugOutputCapture::Handler(EXCEPTION_POINTERS* info)
{
    constexpr DWORD debugPrintWide = 0x4001000A;
    constexpr DWORD debugPrintNarrow = 0x40010006;
    // Windows raises the wide exception and, when nobody handles it, the narrow one for the same
    // text; Wine 8 raises only the narrow one, with the text converted to the ANSI code page.
    thread_local bool narrowCopyPending = false;
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode == debugPrintNarrow && record->NumberParameters >= 2)
    {
        if (std::exchange(narrowCopyPending, false))
            return EXCEPTION_CONTINUE_SEARCH;
        const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        if (text == nullptr)
            return EXCEPTION_CONTINUE_SEARCH;
        const int units = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
        std::wstring line(units > 0 ? static_cast<size_t>(units) : 0, L'\0');
        if (units > 0)
            ::MultiByteToWideChar(CP_ACP, 0, text, -1, line.data(), units);
        line.resize(wcslen(line.c_str()));
        std::lock_guard<std::mutex> guard(captureLock);
        if (captureLines != nullptr)
            captureLines->push_back(line);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (record->ExceptionCode == debugPrintWide && record->NumberParameters >= 2)
    {
        narrowCopyPending = true;
        const auto* text = reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
        const auto length = static_cast<size_t>(record->ExceptionInformation[0]);
        std::lock_guard<std::mutex> guard(captureLock);
        if (captureLines != nullptr && text != nullptr)
        {
            std::wstring line(text, length > 0 ? length - 1 : 0); // the length counts the terminator
            if (line.size() != wcslen(line.c_str()))
                line.resize(wcslen(line.c_str()));
            captureLines->push_back(line);
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

std::vector<std::wstring> DebugOutputCapture::Lines() const
{
    std::lock_guard<std::mutex> guard(captureLock);
    return captureLines ? *captureLines : std::vector<std::wstring>{};
}

size_t DebugOutputCapture::Count(const std::wstring& line) const
{
    const auto lines = Lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

void DebugOutputCapture::Clear()
{
    std::lock_guard<std::mutex> guard(captureLock);
    if (captureLines)
        captureLines->clear();
}

} // namespace testing_support

// ---- Task Scheduler tasks and processes by name ------------------------------------------------

#include <tlhelp32.h>
#include <wrl/client.h>

#include "app/PlatformGaps.h"

namespace testing_support
{
namespace
{
using Microsoft::WRL::ComPtr;

ComPtr<ITaskService> ConnectedService()
{
    ComPtr<ITaskService> service;
    if (FAILED(::CoCreateInstance(TaskSchedulerClassId, nullptr, CLSCTX_INPROC_SERVER, TaskServiceInterfaceId,
                                  reinterpret_cast<void**>(service.GetAddressOf()))))
        return nullptr;
    const OwnedVariant empty;
    if (FAILED(service->Connect(empty.Get(), empty.Get(), empty.Get(), empty.Get())))
        return nullptr;
    return service;
}

ComPtr<ITaskFolder> RootTaskFolder(ITaskService* service)
{
    ComPtr<ITaskFolder> folder;
    const UniqueBstr root(::SysAllocString(L"\\"));
    if (service == nullptr || FAILED(service->GetFolder(root.Get(), &folder)))
        return nullptr;
    return folder;
}
} // namespace

bool RegisterDailyTask(const std::wstring& name, const std::wstring& executablePath)
{
    const ComApartment com;
    const ComPtr<ITaskService> service = ConnectedService();
    const ComPtr<ITaskFolder> folder = RootTaskFolder(service.Get());
    if (!folder)
        return false;
    ComPtr<ITaskDefinition> definition;
    ComPtr<ITriggerCollection> triggers;
    ComPtr<ITrigger> trigger;
    ComPtr<IActionCollection> actions;
    ComPtr<IAction> action;
    ComPtr<IExecAction> exec;
    const UniqueBstr start(::SysAllocString(L"2030-01-01T08:00:00"));
    const UniqueBstr path(::SysAllocString(executablePath.c_str()));
    if (FAILED(service->NewTask(0, &definition)) || FAILED(definition->get_Triggers(&triggers)) ||
        FAILED(triggers->Create(TASK_TRIGGER_DAILY, &trigger)) || FAILED(trigger->put_StartBoundary(start.Get())) ||
        FAILED(definition->get_Actions(&actions)) || FAILED(actions->Create(TASK_ACTION_EXEC, &action)) ||
        FAILED(action->QueryInterface(ExecActionInterfaceId, reinterpret_cast<void**>(exec.GetAddressOf()))) ||
        FAILED(exec->put_Path(path.Get())))
        return false;
    const UniqueBstr taskName(::SysAllocString(name.c_str()));
    const OwnedVariant empty;
    ComPtr<IRegisteredTask> registered;
    return SUCCEEDED(folder->RegisterTaskDefinition(taskName.Get(), definition.Get(), TASK_CREATE_OR_UPDATE,
                                                    empty.Get(), empty.Get(), TASK_LOGON_INTERACTIVE_TOKEN,
                                                    empty.Get(), &registered));
}

bool TaskExists(const std::wstring& name)
{
    const ComApartment com;
    const ComPtr<ITaskFolder> folder = RootTaskFolder(ConnectedService().Get());
    if (!folder)
        return false;
    const UniqueBstr taskName(::SysAllocString(name.c_str()));
    ComPtr<IRegisteredTask> task;
    return SUCCEEDED(folder->GetTask(taskName.Get(), &task)) && task;
}

void DeleteTaskIfPresent(const std::wstring& name)
{
    const ComApartment com;
    if (const ComPtr<ITaskFolder> folder = RootTaskFolder(ConnectedService().Get()))
    {
        const UniqueBstr taskName(::SysAllocString(name.c_str()));
        (void)folder->DeleteTask(taskName.Get(), 0);
    }
}

HANDLE StartProcess(const std::wstring& commandLine)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return nullptr;
    ::CloseHandle(info.hThread);
    return info.hProcess;
}

std::vector<DWORD> ProcessIdsNamed(const std::wstring& exeName)
{
    std::vector<DWORD> ids;
    UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry))
    {
        if (::lstrcmpiW(entry.szExeFile, exeName.c_str()) == 0)
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

void TerminateProcessesNamed(const std::wstring& exeName)
{
    for (const DWORD id : ProcessIdsNamed(exeName))
    {
        UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (!process)
            continue;
        ::TerminateProcess(process.Get(), 0xDEAD);
        ::WaitForSingleObject(process.Get(), 5000);
    }
}

} // namespace testing_support

namespace testing_support
{

namespace
{
// THREAD_BASIC_INFORMATION of winternl.h, which declares it only partly in some headers.
struct ThreadBasicInformation
{
    LONG ExitStatus;
    void* TebBaseAddress;
    void* UniqueProcess;
    void* UniqueThread;
    KAFFINITY AffinityMask;
    LONG Priority;
    LONG BasePriority;
};
using NtQueryInformationThreadProc = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
} // namespace

std::vector<DWORD_PTR> ThreadAffinities(DWORD processId)
{
    std::vector<DWORD_PTR> masks;
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto query = reinterpret_cast<NtQueryInformationThreadProc>(
        reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "NtQueryInformationThread")));
    UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (query == nullptr || !snapshot)
        return masks;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Thread32First(snapshot.Get(), &entry); more; more = ::Thread32Next(snapshot.Get(), &entry))
    {
        if (entry.th32OwnerProcessID != processId)
            continue;
        UniqueHandle thread(::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID));
        ThreadBasicInformation info{};
        if (thread && query(thread.Get(), 0 /* ThreadBasicInformation */, &info, sizeof(info), nullptr) >= 0)
            masks.push_back(static_cast<DWORD_PTR>(info.AffinityMask));
    }
    return masks;
}

} // namespace testing_support
