// A process that does nothing, started under other names (game.exe, Tool-X.exe) by the enforcement
// tests and the benchmark. It ends when its parent (the process id given as the first argument) ends,
// so a crashed test leaves nothing behind, or after ten minutes at the latest. A second argument, a
// hexadecimal mask, starts a thread that pins itself to that mask, as games pin render threads.

#include <windows.h>

#include <cstdlib>

namespace
{
const DWORD LimitMs = 10 * 60 * 1000;

DWORD WINAPI PinnedThread(void* mask)
{
    ::SetThreadAffinityMask(::GetCurrentThread(), reinterpret_cast<DWORD_PTR>(mask));
    ::Sleep(LimitMs);
    return 0;
}
} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    char* rest = nullptr;
    const DWORD parentId = std::strtoul(commandLine, &rest, 10);
    const auto pinnedMask = static_cast<DWORD_PTR>(std::strtoull(rest, nullptr, 16));
    if (pinnedMask != 0)
    {
        HANDLE thread = ::CreateThread(nullptr, 0, &PinnedThread, reinterpret_cast<void*>(pinnedMask), 0, nullptr);
        if (thread != nullptr)
            ::CloseHandle(thread);
    }
    HANDLE parent = parentId != 0 ? ::OpenProcess(SYNCHRONIZE, FALSE, parentId) : nullptr;
    if (parent != nullptr)
    {
        ::WaitForSingleObject(parent, LimitMs);
        ::CloseHandle(parent);
    }
    else
    {
        ::Sleep(LimitMs);
    }
    return 0;
}
