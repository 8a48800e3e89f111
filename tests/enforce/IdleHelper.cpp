// A process that does nothing, started under other names (game.exe, Tool-X.exe) by the enforcement
// tests and the benchmark. It ends when its parent (the process id given as the only argument) ends,
// so a crashed test leaves nothing behind, or after ten minutes at the latest.

#include <windows.h>

#include <cstdlib>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    const DWORD parentId = std::strtoul(commandLine, nullptr, 10);
    HANDLE parent = parentId != 0 ? ::OpenProcess(SYNCHRONIZE, FALSE, parentId) : nullptr;
    const DWORD limitMs = 10 * 60 * 1000;
    if (parent != nullptr)
    {
        ::WaitForSingleObject(parent, limitMs);
        ::CloseHandle(parent);
    }
    else
    {
        ::Sleep(limitMs);
    }
    return 0;
}
