// Entry point of Ternvale.exe.

#include <windows.h>

#include <cstdlib>
#include <iostream>

#include "app/Globals.h"
#include "app/Options.h"

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
    default:
        // Installing, closing and the resident run come with the tray window and the logon task.
        return 0;
    }
}
