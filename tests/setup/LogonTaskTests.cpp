// The logon task against a recording fake of the Task Scheduler: the definition it registers, the
// steps that must succeed, and the references it leaves behind.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setup/LogonTask.h"
#include "app/Handles.h"
#include "setup/FakeTaskScheduler.h"
#include "support/TestSupport.h"

using fake_tasks::FakeTaskScheduler;

namespace
{
constexpr wchar_t ProgramPath[] = L"C:\\Program Files\\Ternvale\\Ternvale.exe";

// Each object handed out was released again; only the caller's own reference to the service is left.
void ExpectEverythingReleased(const FakeTaskScheduler& tasks)
{
    for (const auto& [name, object] : tasks.Objects())
    {
        const ULONG expected = object == &tasks.service ? 1 : 0;
        EXPECT_EQ(object->References(), expected) << name;
        EXPECT_FALSE(object->Underflowed()) << name << " released once too often";
    }
}

std::string Join(const std::vector<std::string>& steps)
{
    std::string text;
    for (const auto& step : steps)
        text += step + " ";
    return text;
}

TEST(LogonTask, RegistersTheWholeDefinitionAndNothingElse)
{
    FakeTaskScheduler tasks;
    ASSERT_TRUE(CreateLogonTask(&tasks.service, L"Ternvale", ProgramPath));

    const std::vector<std::pair<std::string, std::wstring>> expected = {
        {"Connect", L"empty, empty, empty, empty"},
        {"GetFolder", L"\\"},
        {"DeleteTask", L"Ternvale, 0"},
        {"NewTask", L"0"},
        {"RegistrationInfo", L""},
        {"Author", L"Orlenby LLC"},
        {"Settings", L""},
        {"StartWhenAvailable", L"true"},
        {"ExecutionTimeLimit", L"PT0S"},
        {"DisallowStartIfOnBatteries", L"false"},
        {"StopIfGoingOnBatteries", L"false"},
        {"MultipleInstances", L"0"},
        {"Enabled", L"true"},
        {"Principal", L""},
        {"RunLevel", L"1"},
        {"Triggers", L""},
        {"CreateTrigger", L"9"},
        {"QueryLogonTrigger", L""},
        {"TriggerId", L"Trigger1"},
        {"TriggerUserId", L""},
        {"Actions", L""},
        {"CreateAction", L"0"},
        {"QueryExecAction", L""},
        {"ActionPath", L"\"C:\\Program Files\\Ternvale\\Ternvale.exe\""},
        {"ActionArguments", L"-tray"},
        {"RegisterTaskDefinition", L"Ternvale, the new definition, flags 6, user string 'S-1-5-32-545', "
                                   L"password empty, logon 4, sddl string ''"},
    };
    const auto& calls = tasks.recorder.Calls();
    ASSERT_EQ(calls.size(), expected.size()) << Join(tasks.Steps());
    for (size_t i = 0; i < expected.size(); ++i)
    {
        SCOPED_TRACE(expected[i].first);
        EXPECT_EQ(calls[i].step, expected[i].first);
        EXPECT_EQ(calls[i].value, expected[i].second);
    }
    ExpectEverythingReleased(tasks);
}

TEST(LogonTask, AFailedMustSucceedStepReturnsFalseStopsThereAndReleasesEverything)
{
    struct Case
    {
        const char* step;
        bool emptySuccess; // the step reports success but hands out no object
    };
    const Case cases[] = {
        {"Connect", false},
        {"GetFolder", false},
        {"GetFolder", true},
        {"NewTask", false},
        {"NewTask", true},
        {"RegistrationInfo", false},
        {"RegistrationInfo", true},
        {"Author", false},
        {"Settings", false},
        {"Settings", true},
        {"StartWhenAvailable", false},
        {"Principal", false},
        {"Principal", true},
        {"RunLevel", false},
        {"Triggers", false},
        {"Triggers", true},
        {"CreateTrigger", false},
        {"CreateTrigger", true},
        {"QueryLogonTrigger", false},
        {"QueryLogonTrigger", true},
        {"TriggerId", false},
        {"TriggerUserId", false},
        {"Actions", false},
        {"Actions", true},
        {"CreateAction", false},
        {"CreateAction", true},
        {"QueryExecAction", false},
        {"QueryExecAction", true},
        {"ActionPath", false},
        {"RegisterTaskDefinition", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.step) + (c.emptySuccess ? " hands out nothing" : " fails"));
        FakeTaskScheduler tasks;
        if (c.emptySuccess)
            tasks.recorder.HandOutNothing(c.step);
        else
            tasks.recorder.Fail(c.step, E_NOTIMPL);

        EXPECT_FALSE(CreateLogonTask(&tasks.service, L"Ternvale", ProgramPath));
        const auto steps = tasks.Steps();
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps.back(), c.step) << "went on after the failure: " << Join(steps);
        ExpectEverythingReleased(tasks);
    }
}

TEST(LogonTask, FailuresOfTheRefiningStepsAreNotFatal)
{
    for (const char* step : {"DeleteTask", "ExecutionTimeLimit", "DisallowStartIfOnBatteries", "StopIfGoingOnBatteries",
                             "MultipleInstances", "Enabled", "ActionArguments"})
    {
        SCOPED_TRACE(step);
        FakeTaskScheduler tasks;
        tasks.recorder.Fail(step, E_ACCESSDENIED);
        EXPECT_TRUE(CreateLogonTask(&tasks.service, L"Ternvale", ProgramPath));
        EXPECT_EQ(tasks.Steps().back(), "RegisterTaskDefinition");
        ExpectEverythingReleased(tasks);
    }
}

TEST(LogonTask, ARegisteredTaskNotHandedBackIsStillSuccess)
{
    FakeTaskScheduler tasks;
    tasks.recorder.HandOutNothing("RegisterTaskDefinition");
    EXPECT_TRUE(CreateLogonTask(&tasks.service, L"Ternvale", ProgramPath));
    ExpectEverythingReleased(tasks);
}

TEST(LogonTask, NoTaskNameOrNoServiceCreatesNothing)
{
    FakeTaskScheduler tasks;
    EXPECT_FALSE(CreateLogonTask(&tasks.service, L"", ProgramPath));
    EXPECT_TRUE(tasks.recorder.Calls().empty()) << Join(tasks.Steps());
    EXPECT_FALSE(CreateLogonTask(nullptr, L"Ternvale", ProgramPath));
    EXPECT_FALSE(DeleteLogonTask(nullptr, L"Ternvale"));
    ExpectEverythingReleased(tasks);
}

TEST(LogonTask, DeleteSucceedsWheneverTheRootFolderOpens)
{
    struct Case
    {
        const wchar_t* name;
        const char* failingStep;
        bool emptySuccess;
        bool result;
        std::vector<std::string> steps;
    };
    const HRESULT missingTask = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    const std::vector<Case> cases = {
        {L"Tern Vale", nullptr, false, true, {"Connect", "GetFolder", "DeleteTask"}},
        {L"Tern Vale", "DeleteTask", false, true, {"Connect", "GetFolder", "DeleteTask"}},
        {L"", nullptr, false, true, {"Connect", "GetFolder"}},
        {L"Ternvale", "Connect", false, false, {"Connect"}},
        {L"Ternvale", "GetFolder", false, false, {"Connect", "GetFolder"}},
        {L"Ternvale", "GetFolder", true, false, {"Connect", "GetFolder"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)) + " " + (c.failingStep ? c.failingStep : "-"));
        FakeTaskScheduler tasks;
        if (c.failingStep != nullptr && c.emptySuccess)
            tasks.recorder.HandOutNothing(c.failingStep);
        else if (c.failingStep != nullptr)
            tasks.recorder.Fail(c.failingStep, missingTask);
        EXPECT_EQ(DeleteLogonTask(&tasks.service, c.name), c.result);
        EXPECT_EQ(tasks.Steps(), c.steps);
        ExpectEverythingReleased(tasks);
    }

    FakeTaskScheduler tasks;
    ASSERT_TRUE(DeleteLogonTask(&tasks.service, L"Tern Vale"));
    EXPECT_EQ(tasks.recorder.Calls().back().value, L"Tern Vale, 0");
}

TEST(LogonTask, ActionPathIsQuotedUnlessItAlreadyIs)
{
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"C:\\Program Files\\Ternvale\\Ternvale.exe", L"\"C:\\Program Files\\Ternvale\\Ternvale.exe\""},
        {L"C:\\Tools\\Ternvale.exe", L"\"C:\\Tools\\Ternvale.exe\""},
        {L"\"C:\\Program Files\\Ternvale\\Ternvale.exe\"", L"\"C:\\Program Files\\Ternvale\\Ternvale.exe\""},
        {L"  \t\"C:\\Tools\\Ternvale.exe\"", L"\"C:\\Tools\\Ternvale.exe\""},
        // Leading blanks before an unquoted path are part of the path and stay inside the quotes.
        {L"  C:\\Tools\\Ternvale.exe", L"\"  C:\\Tools\\Ternvale.exe\""},
        {L"\"C:\\Half quoted.exe", L"\"C:\\Half quoted.exe"},
        {L"", L"\"\""},
        {L"   ", L"\"   \""},
    };
    for (const auto& [path, quoted] : cases)
    {
        SCOPED_TRACE(testing::PrintToString(path));
        EXPECT_EQ(QuotedActionPath(path), quoted);
    }
}

// The system's own Task Scheduler. Wine 8's cannot create logon triggers (E_NOTIMPL), so there the
// create fails; either way a task exists afterwards exactly when the create reported success.
class SystemTaskScheduler : public testing::Test
{
  protected:
    static constexpr wchar_t TaskName[] = L"Ternvale logon task test";
    void SetUp() override
    {
        testing_support::DeleteTaskIfPresent(TaskName);
    }
    void TearDown() override
    {
        testing_support::DeleteTaskIfPresent(TaskName);
    }
};

TEST_F(SystemTaskScheduler, CreateReplacesAnEarlierTaskOrLeavesNone)
{
    ASSERT_TRUE(testing_support::RegisterDailyTask(TaskName, L"C:\\windows\\notepad.exe"));
    ASSERT_TRUE(testing_support::TaskExists(TaskName));
    bool created = false;
    {
        const ComApartment com;
        created = CreateLogonTask(TaskName, testing_support::TernvaleExePath());
    }
    EXPECT_EQ(testing_support::TaskExists(TaskName), created);
}

TEST_F(SystemTaskScheduler, DeleteRemovesATaskAndSucceedsWithoutOne)
{
    ASSERT_TRUE(testing_support::RegisterDailyTask(TaskName, L"C:\\windows\\notepad.exe"));
    const ComApartment com;
    EXPECT_TRUE(DeleteLogonTask(TaskName));
    EXPECT_FALSE(testing_support::TaskExists(TaskName));
    EXPECT_TRUE(DeleteLogonTask(TaskName));
}
} // namespace
