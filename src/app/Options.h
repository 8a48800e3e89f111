#pragma once
// The command line: the option table and the choice of what this start does.

#include <boost/program_options.hpp>

#include <string>

enum class StartAction
{
    Help,
    Install,
    Uninstall,
    Close,
    Normal,
};

// The option table; "show" is bound to showAtStart.
boost::program_options::options_description BuildOptionsDescription(bool& showAtStart);

// Parses argv with unregistered tokens allowed (the logon task passes "-tray"), stores and
// notifies. Throws boost::program_options::error when the parser rejects the command line.
boost::program_options::variables_map ParseCommandLine(int argc, const char* const argv[],
                                                       const boost::program_options::options_description& options);

// When several switches are given, the first of help, install, uninstall, close wins.
StartAction ChooseStartAction(const boost::program_options::variables_map& options);

// The help text: the description in the library's rendering, followed by a line feed.
std::string HelpText(const boost::program_options::options_description& options);
