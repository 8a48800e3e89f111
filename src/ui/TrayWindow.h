#pragma once
// The hidden tray window: notification icon, context menu, update balloon and the switchboard of
// the program's private messages.

#include <windows.h>

#include <shellapi.h>

#include <functional>

// Registers the class, creates the window and adds the icon; always true.
bool CreateTrayWindow();
void RemoveTrayIcon();

// The icon is the pair (tray window, process id). Every record is the full structure, zero-filled
// apart from the fields each operation needs.
NOTIFYICONDATAW TrayIconAddRecord(HWND window, UINT iconId, HICON icon);
NOTIFYICONDATAW TrayIconBalloonRecord(HWND window, UINT iconId);
NOTIFYICONDATAW TrayIconRemoveRecord(HWND window, UINT iconId);

// Calls tryAdd until it succeeds, at most 1 + 20 times, waiting 100 ms before each retry (the
// shell may not be ready yet at logon). Returns the number of attempts made.
int AddIconWithRetries(const std::function<bool()>& tryAdd, const std::function<void(DWORD)>& wait);

// What a notification-icon event (lParam of WM_TRAY_CALLBACK) leads to.
enum class TrayEventAction
{
    None,
    ShowMain,
    ContextMenu,
    BalloonGone,
    StartUpdate, // the balloon was clicked while it was pending
};
TrayEventAction ActionForTrayEvent(LPARAM event, bool balloonPending);
