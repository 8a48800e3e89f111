#pragma once
// The update check: latest version from the update server, daily check, installer download,
// signature test and elevated start.

#include <windows.h>

#include <string>

// Thread body: checks at once, then every 24 hours until ExitEvent; posts WM_TRAY_UPDATE_BALLOON.
void UpdateCheckThread();
// The latest version text, or empty when nothing usable was learned.
void FetchVersionInfo(std::wstring& version);
// "a.b.c.d" packed as ((a*256|b)*256|c)*256|d with 32-bit wrap-around; 0 for an unusable text.
DWORD ParseVersion(const std::wstring& text);
// Downloads, tests and starts the installer; true when the installer process was started.
bool DownloadAndRunInstaller();
