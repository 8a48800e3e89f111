// Install, uninstall and close over recorded operations: their order, decisions and exit codes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/StartupActions.h"

namespace
{
std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// Records each operation; the answers are set per case.
struct RecordedSetup
{
    bool deleteAnswer = true;
    bool deleteOlderAnswer = true;
    bool createAnswer = true;
    std::wstring path = L"C:\\Program Files\\Ternvale\\Ternvale.exe";
    std::vector<std::string> log;

    SetupSteps Steps()
    {
        SetupSteps steps;
        steps.deleteLogonTask = [this](const std::wstring& name) {
            log.push_back("delete task " + Narrow(name));
            return name == L"Tern Vale" ? deleteOlderAnswer : deleteAnswer;
        };
        steps.createLogonTask = [this](const std::wstring& name, const std::wstring& executable) {
            log.push_back("create task " + Narrow(name) + " for " + Narrow(executable));
            return createAnswer;
        };
        steps.executablePath = [this] {
            log.push_back("program path");
            return path;
        };
        steps.deleteRegistryKey = [this](HKEY root, const std::wstring& key) {
            log.push_back(std::string("delete key ") + (root == HKEY_CURRENT_USER ? "HKCU\\" : "HKLM\\") + Narrow(key));
        };
        return steps;
    }
};

TEST(StartupActions, InstallReplacesTheOlderTaskAndCreatesTheLogonTask)
{
    struct Case
    {
        const char* name;
        bool deleteOlderAnswer;
        std::wstring path;
        bool createAnswer;
        int exitCode;
        std::vector<std::string> log;
    };
    const std::string create = "create task Ternvale for C:\\Program Files\\Ternvale\\Ternvale.exe";
    const std::vector<Case> cases = {
        {"created",
         true,
         L"C:\\Program Files\\Ternvale\\Ternvale.exe",
         true,
         0,
         {"delete task Tern Vale", "program path", create}},
        {"older task not deletable",
         false,
         L"C:\\Program Files\\Ternvale\\Ternvale.exe",
         true,
         0,
         {"delete task Tern Vale", "program path", create}},
        {"task not created",
         true,
         L"C:\\Program Files\\Ternvale\\Ternvale.exe",
         false,
         1,
         {"delete task Tern Vale", "program path", create}},
        {"no program path", true, L"", true, 1, {"delete task Tern Vale", "program path"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        RecordedSetup setup;
        setup.deleteOlderAnswer = c.deleteOlderAnswer;
        setup.path = c.path;
        setup.createAnswer = c.createAnswer;
        EXPECT_EQ(RunInstall(setup.Steps()), c.exitCode);
        EXPECT_EQ(setup.log, c.log);
    }
}

TEST(StartupActions, UninstallDeletesTheSettingsOnlyWhenTheTaskServiceAnswers)
{
    struct Case
    {
        const char* name;
        bool deleteAnswer;
        bool deleteOlderAnswer;
        int exitCode;
        std::vector<std::string> log;
    };
    const std::vector<std::string> everything = {"delete task Ternvale", "delete key HKCU\\Software\\Ternvale",
                                                 "delete key HKLM\\Software\\Ternvale", "delete task Tern Vale"};
    const std::vector<Case> cases = {
        {"reached", true, true, 0, everything},
        {"older task delete fails last", true, false, 0, everything},
        {"service unreachable", false, true, 1, {"delete task Ternvale"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        RecordedSetup setup;
        setup.deleteAnswer = c.deleteAnswer;
        setup.deleteOlderAnswer = c.deleteOlderAnswer;
        EXPECT_EQ(RunUninstall(setup.Steps()), c.exitCode);
        EXPECT_EQ(setup.log, c.log);
    }
}

TEST(StartupActions, CloseWaitsInRoundsUntilTheRequestIsGone)
{
    struct Case
    {
        const char* name;
        bool instanceRuns;
        int roundsUntilGone; // rounds in which the request still exists; -1: it never goes
        int exitCode;
        std::vector<DWORD> sleeps;
    };
    const std::vector<DWORD> tenRounds(10, 1000);
    const std::vector<Case> cases = {
        {"no instance", false, 0, 1, {}},
        {"gone at once", true, 0, 0, {500}},
        {"gone after two rounds", true, 2, 0, {1000, 1000, 500}},
        {"gone in the last round", true, 9, 0, {1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 500}},
        {"never gone", true, -1, 0, tenRounds},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        int probes = 0;
        std::vector<DWORD> sleeps;
        CloseSteps steps;
        steps.signalInstances = [&] { return c.instanceRuns; };
        steps.closeRequestExists = [&] { return c.roundsUntilGone < 0 || probes++ < c.roundsUntilGone; };
        steps.sleep = [&](DWORD ms) { sleeps.push_back(ms); };
        EXPECT_EQ(RunClose(steps), c.exitCode);
        EXPECT_EQ(sleeps, c.sleeps);
    }
}

TEST(StartupActions, OwnExecutablePathIsTheWholePathOfThisProgram)
{
    const std::wstring path = OwnExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(::GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << Narrow(path);
    EXPECT_EQ(path.substr(path.size() - 4), L".exe");
}
} // namespace
