// Entry point of Ternvale.exe.

#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <iostream>

#include "app/Globals.h"
#include "app/Options.h"
#include "app/StartupActions.h"
#include "ui/TrayWindow.h"

namespace
{
// The resident program: the tray window and its icon, then the message loop until the quit message.
int RunResident()
{
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_TAB_CLASSES |
                                                        ICC_STANDARD_CLASSES | ICC_LINK_CLASS};
    if (!::InitCommonControlsEx(&controls))
        ::InitCommonControls();
    CreateTrayWindow();
    MSG message;
    for (BOOL result; (result = ::GetMessageW(&message, nullptr, 0, 0)) != 0;)
    {
        if (result == -1)
            continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    RemoveTrayIcon();
    return 0;
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
