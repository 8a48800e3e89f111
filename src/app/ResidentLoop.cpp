#include "app/ResidentLoop.h"

#include <windows.h>

#include "ui/TrayWindow.h"

namespace
{
void RunMessageLoop()
{
    MSG message;
    for (;;)
    {
        const BOOL result = ::GetMessageW(&message, nullptr, 0, 0);
        if (result == 0)
            return;
        if (result == -1)
            continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}
} // namespace

int RunResidentLoop()
{
    RunMessageLoop();
    RemoveTrayIcon();
    return 0;
}
