#include "enforce/PassSystem.h"

#include <algorithm>
#include <vector>

#include "app/Handles.h"

bool ReadWithGrowingBuffer(const std::function<BOOL(wchar_t* buffer, DWORD& size)>& read, std::wstring& text)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;)
    {
        DWORD size = static_cast<DWORD>(buffer.size());
        if (read(buffer.data(), size))
        {
            text.assign(buffer.data(), std::min<size_t>(size, buffer.size()));
            return true;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= LongestPathLength)
            return false;
        buffer.resize(std::min<size_t>(buffer.size() * 2, LongestPathLength));
    }
}

PassSystemCalls RealPassSystemCalls()
{
    PassSystemCalls calls;
    calls.CreateProcessSnapshot = [] { return ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0); };
    calls.FirstProcess = [](HANDLE snapshot, PROCESSENTRY32W& entry) { return ::Process32FirstW(snapshot, &entry); };
    calls.NextProcess = [](HANDLE snapshot, PROCESSENTRY32W& entry) { return ::Process32NextW(snapshot, &entry); };
    calls.OpenProcess = [](DWORD access, DWORD processId) { return ::OpenProcess(access, FALSE, processId); };
    calls.SetProcessAffinityMask = [](HANDLE process, DWORD_PTR mask) {
        return ::SetProcessAffinityMask(process, mask);
    };
    calls.GetProcessAffinityMask = [](HANDLE process, DWORD_PTR& processMask) {
        DWORD_PTR systemMask = 0;
        return ::GetProcessAffinityMask(process, &processMask, &systemMask);
    };
    calls.ActiveProcessorGroupCount = [] { return ::GetActiveProcessorGroupCount(); };
    calls.ActiveProcessorMask = [] {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        return info.dwActiveProcessorMask;
    };
    calls.FindKernel32EntryPoint = [](const char* name) -> FARPROC {
        HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        return kernel32 != nullptr ? ::GetProcAddress(kernel32, name) : nullptr;
    };
    calls.WaitForObject = [](HANDLE event, DWORD timeoutMs) { return ::WaitForSingleObject(event, timeoutMs); };
    calls.FullImagePath = [](DWORD processId, std::wstring& path) {
        UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        if (!process)
            return false;
        return ReadWithGrowingBuffer(
            [&process](wchar_t* buffer, DWORD& size) {
                return ::QueryFullProcessImageNameW(process.Get(), 0, buffer, &size);
            },
            path);
    };
    calls.CreateThread = [](LPTHREAD_START_ROUTINE start, void* parameter, DWORD& threadId) {
        return ::CreateThread(nullptr, 0, start, parameter, 0, &threadId);
    };
    return calls;
}
