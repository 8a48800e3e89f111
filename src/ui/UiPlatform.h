#pragma once
// The calls of the user interface that block on the user or reach the shell and the network, as
// one table. The program uses the real functions; tests replace entries to answer message boxes,
// record notification-icon calls and stand in for the updater.

#include <windows.h>

#include <shellapi.h>

struct UiPlatform
{
    int (*ShowMessage)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags);
    BOOL (*NotifyIcon)(DWORD operation, NOTIFYICONDATAW* record);
    // "Check for Update": asks the update server, then says there is nothing new or offers the
    // update; owner is the main window.
    void (*CheckForUpdate)(HWND owner);
    // A click on the update balloon: downloads, tests and starts the installer, or says it could not.
    void (*InstallUpdate)(HWND owner);
    // Body of the daily update-check thread.
    void (*UpdateCheck)();
};

// The table in use; starts out with the real functions.
UiPlatform& Ui();
// The real functions, for tests that put them back.
UiPlatform RealUiPlatform();
