#include "app/Options.h"

#include <sstream>

namespace po = boost::program_options;

po::options_description BuildOptionsDescription(bool& showAtStart)
{
    po::options_description options("Options");
    options.add_options()
        ("help,h", "show help")
        ("close,c", "Close running instances.")
        ("install,i", "Run install tasks.")
        ("uninstall,u", "Run uninstall tasks.")
        ("show,w", po::bool_switch(&showAtStart), "Open main window at startup.");
    return options;
}

po::variables_map ParseCommandLine(int argc, const char* const argv[], const po::options_description& options)
{
    po::variables_map map;
    po::store(po::command_line_parser(argc, argv).options(options).allow_unregistered().run(), map);
    po::notify(map);
    return map;
}

StartAction ChooseStartAction(const po::variables_map& options)
{
    if (options.count("help"))
        return StartAction::Help;
    if (options.count("install"))
        return StartAction::Install;
    if (options.count("uninstall"))
        return StartAction::Uninstall;
    if (options.count("close"))
        return StartAction::Close;
    return StartAction::Normal;
}

std::string HelpText(const po::options_description& options)
{
    std::ostringstream text;
    text << options << "\n";
    return text.str();
}
