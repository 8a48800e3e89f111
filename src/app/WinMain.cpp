// Entry point of Ternvale.exe.

#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <iostream>

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
    ::SendMessageW(tray, WM_TRAY_SHOW_MAIN, 0, 0);
    return true;
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
        std::cerr << e.what() << "\n" << HelpText(options);
        return 1;
    }

    switch (ChooseStartAction(map))
    {
    case StartAction::Help:
        std::cerr << HelpText(options);
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
