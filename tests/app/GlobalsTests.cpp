// The process-wide globals: names, the rule-list path and its folders, the events.

#include <gtest/gtest.h>

#include "app/Globals.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace
{
TEST(Globals, HoldTheirValuesBeforeAnyCodeRuns)
{
    EXPECT_EQ(ScanIntervalMs, 1000u);
    EXPECT_FALSE(ShowAtStart);
    EXPECT_EQ(TrayWindowHandle.load(), nullptr);
    EXPECT_EQ(MainWindowHandle.load(), nullptr);
    EXPECT_TRUE(ExitEvent.IsValid());
    EXPECT_TRUE(CloseRequestEvent.IsValid());
    EXPECT_TRUE(StatusEvent.IsValid());
    EXPECT_EQ(GlobalSettings.KeyPath(), L"Software\\Ternvale");
    EXPECT_EQ(GlobalSettings.Root(), HKEY_CURRENT_USER);

    const std::wstring roaming = RoamingAppDataFolder();
    ASSERT_FALSE(roaming.empty());
    EXPECT_EQ(RuleListPath, roaming + L"\\Ternvale\\config\\p-core-list.txt");
}

TEST(Globals, EventsHaveTheirResetKinds)
{
    // ExitEvent is manual reset: every waiter sees it. StatusEvent is auto reset.
    ASSERT_TRUE(::SetEvent(ExitEvent.Get()));
    EXPECT_EQ(::WaitForSingleObject(ExitEvent.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(ExitEvent.Get(), 0), WAIT_OBJECT_0);
    ::ResetEvent(ExitEvent.Get());

    ASSERT_TRUE(::SetEvent(StatusEvent.Get()));
    EXPECT_EQ(::WaitForSingleObject(StatusEvent.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(::WaitForSingleObject(StatusEvent.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Globals, TheCloseEventIsOneObjectForEveryone)
{
    UniqueHandle other(::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, CloseEventName));
    ASSERT_TRUE(other.IsValid());
    ASSERT_TRUE(::SetEvent(other.Get()));
    EXPECT_EQ(::WaitForSingleObject(CloseRequestEvent.Get(), 0), WAIT_OBJECT_0);
    ::ResetEvent(other.Get());
    EXPECT_EQ(::WaitForSingleObject(CloseRequestEvent.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Globals, PreparingThePathCreatesBothFoldersButNoFile)
{
    TempDirectory base;
    const std::wstring path = PrepareRuleListPath(base.Path());
    EXPECT_EQ(path, base.Path() + L"\\Ternvale\\config\\p-core-list.txt");
    EXPECT_TRUE(FileExists(base.Path() + L"\\Ternvale\\config"));
    EXPECT_FALSE(FileExists(path));

    // A second preparation over existing folders changes nothing and gives the same path.
    ASSERT_TRUE(WriteFileBytes(path, {'a', 0, '\n', 0}));
    EXPECT_EQ(PrepareRuleListPath(base.Path()), path);
    EXPECT_EQ(ReadFileBytes(path).size(), 4u);
}
} // namespace
