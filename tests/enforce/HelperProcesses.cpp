#include "HelperProcesses.h"

#include <tlhelp32.h>

#include "app/PlatformGaps.h"

#include <algorithm>
#include <cwchar>

namespace
{
bool InSnapshot(DWORD id, const std::wstring& name)
{
    const auto processes = SnapshotProcesses();
    return std::any_of(processes.begin(), processes.end(), [&](const auto& process) {
        return process.first == id && _wcsicmp(process.second.c_str(), name.c_str()) == 0;
    });
}
} // namespace

HelperProcess::HelperProcess(const std::wstring& folder, const std::wstring& name, DWORD_PTR pinnedThreadMask)
    : name_(name)
{
    const std::wstring path = folder + L"\\" + name;
    const std::wstring source = testing_support::ExeDirectory() + L"\\idle_helper.exe";
    if (!::CopyFileW(source.c_str(), path.c_str(), FALSE))
        return;
    std::wstring commandLine = L"\"" + path + L"\" " + std::to_wstring(::GetCurrentProcessId());
    if (pinnedThreadMask != 0)
    {
        wchar_t mask[32] = {};
        std::swprintf(mask, 32, L" %llx", static_cast<unsigned long long>(pinnedThreadMask));
        commandLine += mask;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &info))
        return;
    process_.Reset(info.hProcess);
    UniqueHandle thread(info.hThread);
    id_ = info.dwProcessId;
    // Under Wine a new process can take a moment to show up in snapshots under its name.
    for (int attempt = 0; attempt < 200 && !InSnapshot(id_, name_); ++attempt)
        ::Sleep(25);
}

HelperProcess::~HelperProcess()
{
    if (process_)
    {
        ::TerminateProcess(process_.Get(), 0);
        ::WaitForSingleObject(process_.Get(), 10000);
    }
}

bool HelperProcess::IsRunning() const
{
    return process_ && ::WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT;
}

DWORD_PTR HelperProcess::Affinity() const
{
    UniqueHandle query(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id_));
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (!query || !::GetProcessAffinityMask(query.Get(), &processMask, &systemMask))
        return 0;
    return processMask;
}

HelperSet::HelperSet(const std::vector<std::wstring>& names)
{
    for (const auto& name : names)
        helpers_.push_back(std::make_unique<HelperProcess>(folder_.Path(), name));
}

bool HelperSet::AllRunning() const
{
    return std::all_of(helpers_.begin(), helpers_.end(), [](const auto& helper) { return helper->IsRunning(); });
}

bool ThrottlingSwitchedOff(DWORD processId)
{
    using GetProcessInformationProc = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
    const auto query = reinterpret_cast<GetProcessInformationProc>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetProcessInformation")));
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
    PowerThrottlingState state{PowerThrottlingCurrentVersion, 0, 0};
    if (query == nullptr || !process ||
        !query(process.Get(), ProcessPowerThrottlingClass, &state, static_cast<DWORD>(sizeof(state))))
        return false;
    return (state.ControlMask & PowerThrottlingExecutionSpeed) != 0 &&
           (state.StateMask & PowerThrottlingExecutionSpeed) == 0;
}

std::vector<std::pair<DWORD, std::wstring>> SnapshotProcesses()
{
    std::vector<std::pair<DWORD, std::wstring>> processes;
    UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry))
        processes.emplace_back(entry.th32ProcessID, entry.szExeFile);
    return processes;
}
