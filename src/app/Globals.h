#pragma once
// The program's process-wide names, paths, handles, events and settings store. They are built
// before WinMain in one translation unit (Globals.cpp), so their order is fixed, and released in
// reverse order at process exit.

#include <windows.h>

#include <atomic>
#include <string>

#include "BuildConfig.h"
#include "app/Handles.h"
#include "rules/SettingsStore.h"

inline constexpr wchar_t DownloadBaseUrl[] = TERNVALE_DOWNLOAD_BASE_URL;
inline constexpr wchar_t InstallerFileName[] = L"TernvaleSetup.exe";
inline constexpr wchar_t ProductName[] = L"Ternvale";
inline constexpr wchar_t DisplayName[] = L"Tern Vale";
inline constexpr wchar_t BetaUpdatesName[] = L"BetaUpdates";
inline constexpr wchar_t MethodEfficiencyModeName[] = L"MethodEfficiencyMode";
inline constexpr wchar_t MethodCPUAffinityName[] = L"MethodCPUAffinity";
inline constexpr wchar_t MethodCPUSetsName[] = L"MethodCPUSets";
inline constexpr wchar_t VersionInfoUrl[] = TERNVALE_VERSION_INFO_URL;
inline constexpr wchar_t ErrorPageUrl[] = TERNVALE_ERROR_PAGE_URL;
inline constexpr wchar_t SignerName[] = TERNVALE_SIGNER_NAME;
inline constexpr wchar_t CloseEventName[] = L"Global\\{f372ebd9-2e97-4246-87b2-febe6486ee32}";
inline constexpr wchar_t TrayClassName[] = L"Ternvale_TrayClass";
inline constexpr wchar_t TrayWindowTitle[] = L"Ternvale_TrayWnd";
inline constexpr wchar_t LastScannedCountName[] = L"LastScannedCount";
inline constexpr wchar_t CurrentEnforcedCountName[] = L"CurrentEnforcedCount";
inline constexpr wchar_t VersionText[] = L"1.0.0.2";
inline constexpr DWORD ScanIntervalMs = 1000;

extern SettingsStore GlobalSettings;
extern std::wstring RuleListPath;
extern UniqueHandle ExitEvent;         // manual reset: the program is ending
extern UniqueHandle CloseRequestEvent; // named CloseEventName, manual reset, shared by all instances; may be null
extern UniqueHandle StatusEvent;       // auto reset: a pass has finished
extern bool ShowAtStart;               // written once while WinMain parses the command line
extern HINSTANCE ModuleInstance;       // written once at the start of WinMain
// Written on the UI thread, read by worker threads that post to them.
extern std::atomic<HWND> TrayWindowHandle;
extern std::atomic<HWND> MainWindowHandle;

// Interactive users may wait on the close request and set it; SYSTEM and Administrators may do anything.
inline constexpr wchar_t CloseEventSddl[] = L"D:(A;;0x00100002;;;IU)(A;;GA;;;SY)(A;;GA;;;BA)";
// The shared close request (manual reset) under that access list; null when it can be neither created
// nor opened, for example when somebody made the name first with a list that shuts this user out.
HANDLE CreateCloseRequestEvent();

// The roaming application-data folder, or empty when the shell cannot name it.
std::wstring RoamingAppDataFolder();
// Creates <base>\Ternvale\config (ignoring failures: existing folders are normal) and returns the
// path of the list file inside it; the file itself is not created. A test profile's suffix follows
// "Ternvale" (see ProfileSuffix).
std::wstring PrepareRuleListPath(const std::wstring& base);
