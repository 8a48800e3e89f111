// The option table and the choice of what a start does.

#include <gtest/gtest.h>

#include <vector>

#include "app/Options.h"

namespace
{
StartAction ActionFor(std::vector<const char*> args, bool& show)
{
    args.insert(args.begin(), "Ternvale.exe");
    const auto options = BuildOptionsDescription(show);
    return ChooseStartAction(ParseCommandLine(static_cast<int>(args.size()), args.data(), options));
}

TEST(Options, FirstOfHelpInstallUninstallCloseWins)
{
    struct Case
    {
        std::vector<const char*> args;
        StartAction action;
        bool show;
    };
    const std::vector<Case> cases = {
        {{}, StartAction::Normal, false},
        {{"-tray"}, StartAction::Normal, false},
        {{"plainword", "--unknown-option"}, StartAction::Normal, false},
        {{"--show"}, StartAction::Normal, true},
        {{"-w"}, StartAction::Normal, true},
        {{"--help"}, StartAction::Help, false},
        {{"-h", "--install", "--close"}, StartAction::Help, false},
        {{"--close", "--help"}, StartAction::Help, false},
        {{"--install", "--uninstall"}, StartAction::Install, false},
        {{"-u", "-i"}, StartAction::Install, false},
        {{"--uninstall", "--close"}, StartAction::Uninstall, false},
        {{"-c"}, StartAction::Close, false},
        {{"--close", "-w"}, StartAction::Close, true},
    };
    for (const auto& c : cases)
    {
        std::string trace;
        for (const char* a : c.args)
            trace += std::string(a) + " ";
        SCOPED_TRACE(trace);
        bool show = false;
        EXPECT_EQ(ActionFor(c.args, show), c.action);
        EXPECT_EQ(show, c.show);
    }
}

TEST(Options, AValueGivenToASwitchIsRejected)
{
    bool show = false;
    EXPECT_THROW(ActionFor({"--help=yes"}, show), boost::program_options::error);
}

TEST(Options, HelpTextIsTheLibrarysWholeRendering)
{
    // Caption, the five entries in order, the description column where the library puts it for the
    // longest name, and the line feed after the rendering.
    bool show = false;
    const std::string expected = "Options:\n"
                                 "  -h [ --help ]         show help\n"
                                 "  -c [ --close ]        Close running instances.\n"
                                 "  -i [ --install ]      Run install tasks.\n"
                                 "  -u [ --uninstall ]    Run uninstall tasks.\n"
                                 "  -w [ --show ]         Open main window at startup.\n"
                                 "\n";
    EXPECT_EQ(HelpText(BuildOptionsDescription(show)), expected);
}
} // namespace
