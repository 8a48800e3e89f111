// Entry point of Ternvale.exe.

#include <windows.h>

#include <cstdlib>
#include <iostream>

#include "app/Globals.h"
#include "app/Options.h"
#include "app/StartupActions.h"

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
    // The resident run comes with the tray window.
    return 0;
}
