// Entry point of Ternvale.exe.

#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "app/Globals.h"
#include "app/Options.h"
#include "app/ResidentLoop.h"
#include "app/StartupActions.h"
#include "app/Watchers.h"
#include "ui/PrivateMessages.h"
#include "ui/TrayWindow.h"

namespace
{
constexpr DWORD CommonControlClasses =
    ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_TAB_CLASSES | ICC_STANDARD_CLASSES | ICC_LINK_CLASS;
static_assert(CommonControlClasses == 0xC00D);

// The single-instance rule: a running instance's tray window opens or raises its main window. The
// send returns only when that instance has handled it, which may mean after its dialog closed.
bool HandOverToRunningInstance()
{
    const HWND tray = ::FindWindowW(TrayClassName, nullptr);
    if (tray == nullptr)
        return false;
    // The resident instance did not receive the user's last input, this start did: without leave it
    // could only flash its main window on the taskbar instead of bringing it to the front.
    DWORD residentProcess = 0;
    if (::GetWindowThreadProcessId(tray, &residentProcess) != 0 && residentProcess != 0)
        ::AllowSetForegroundWindow(residentProcess);
    ::SendMessageW(tray, WM_TRAY_SHOW_MAIN, 0, 0);
    return true;
}

// The help and the parser's complaints. A GUI program started from cmd or PowerShell has no standard
// error of its own, so the text goes to the console of the parent when there is one; a standard error
// that was handed over (a pipe or a file) gets it as before. Never both: with a console as its
// standard error the text would show twice.
void WriteToUser(const std::string& text)
{
    const HANDLE standardError = ::GetStdHandle(STD_ERROR_HANDLE);
    if (standardError != nullptr && standardError != INVALID_HANDLE_VALUE &&
        ::GetFileType(standardError) != FILE_TYPE_UNKNOWN)
    {
        std::cerr << text << std::flush;
        return;
    }
    if (!::AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    UniqueFile console(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
    if (console)
    {
        DWORD written = 0;
        ::WriteFile(console.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        console.Reset();
    }
    ::FreeConsole();
}

void InitialiseCommonControls()
{
    INITCOMMONCONTROLSEX controls{sizeof(controls), CommonControlClasses};
    if (!::InitCommonControlsEx(&controls))
        ::InitCommonControls();
}

int RunResident()
{
    if (HandOverToRunningInstance())
        return 0;
    // The shell's functions (notification icon, ShellExecuteExW for the installer) want the calling
    // thread in a single-threaded apartment; the install and uninstall actions make their own.
    const ComApartment com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    InitialiseCommonControls();
    // Without its window nothing could reach or end this instance.
    if (!CreateTrayWindow())
        return 1;
    StartWatchers();
    return RunResidentLoop();
}
} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    ModuleInstance = ::GetModuleHandleW(nullptr);

    const auto options = BuildOptionsDescription(ShowAtStart);
    boost::program_options::variables_map map;
    try
    {
        map = ParseCommandLine(__argc, __argv, options);
    }
    catch (const boost::program_options::error& e)
    {
        WriteToUser(e.what() + std::string("\n") + HelpText(options));
        return 1;
    }

    switch (ChooseStartAction(map))
    {
    case StartAction::Help:
        WriteToUser(HelpText(options));
        return 1;
    case StartAction::Install:
        return RunInstall(SystemSetupSteps());
    case StartAction::Uninstall:
        return RunUninstall(SystemSetupSteps());
    case StartAction::Close:
        return RunClose(SystemCloseSteps());
    case StartAction::Normal:
        break;
    }
    return RunResident();
}
