#include "ui/UiPlatform.h"

#include "setup/Updater.h"

namespace
{
int CallMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags)
{
    return ::MessageBoxW(owner, text, caption, flags);
}

BOOL CallShellNotifyIcon(DWORD operation, NOTIFYICONDATAW* record)
{
    return ::Shell_NotifyIconW(operation, record);
}

void CheckNow(HWND owner)
{
    CheckForUpdateNow(owner, DefaultUpdateEndpoints(), DesktopUpdateHost());
}

void InstallFromBalloon(HWND owner)
{
    InstallUpdate(owner, DefaultUpdateEndpoints(), DesktopUpdateHost());
}
} // namespace

UiPlatform RealUiPlatform()
{
    return UiPlatform{&CallMessageBox, &CallShellNotifyIcon, &CheckNow, &InstallFromBalloon, &UpdateCheckThread};
}

UiPlatform& Ui()
{
    static UiPlatform table = RealUiPlatform();
    return table;
}
