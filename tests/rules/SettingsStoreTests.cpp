// SettingsStore against the real registry (under Wine), each case under a scratch product key.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/Globals.h"
#include "app/Handles.h"
#include "rules/SettingsStore.h"
#include "support/TestSupport.h"

using testing_support::ScratchRegistryKey;

namespace
{
const wchar_t TestProduct[] = L"TernvaleSettingsTest";

TEST(TestProfile, OnlyAPlainNameMakesASuffix)
{
    // The program runs elevated: the name must never reach outside its own key or folder.
    struct Case
    {
        const char* name;
        std::wstring value;
        std::wstring suffix;
    };
    const std::vector<Case> cases = {
        {"unset", L"", L""},
        {"letters, digits, dash and underscore", L"e2e-42_Run", L"-e2e-42_Run"},
        {"32 characters", std::wstring(32, L'a'), L"-" + std::wstring(32, L'a')},
        {"33 characters", std::wstring(33, L'a'), L""},
        {"a path separator", L"a\\..\\b", L""},
        {"a forward slash", L"a/b", L""},
        {"dots", L"..", L""},
        {"a space", L"a b", L""},
        {"a drive", L"C:", L""},
        {"a letter outside ASCII", L"\u00e9", L""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ProfileSuffixFor(c.value), c.suffix);
    }
    // This test program runs without the variable: the real names.
    EXPECT_EQ(ProfileProductName(), L"Ternvale");
}

TEST(SettingsStore, ConstructionLeavesTheRegistryAlone)
{
    ScratchRegistryKey scratch(TestProduct);
    SettingsStore store(HKEY_CURRENT_USER, TestProduct);
    EXPECT_EQ(store.KeyPath(), L"Software\\TernvaleSettingsTest");
    EXPECT_FALSE(scratch.Exists());
}

TEST(SettingsStore, FreshKeyGivesTheDefaultsAndAReadCreatesTheEmptyKey)
{
    ScratchRegistryKey scratch(TestProduct);
    SettingsStore store(HKEY_CURRENT_USER, TestProduct);
    bool on = false;
    EXPECT_FALSE(store.GetBool(MethodEfficiencyModeName, on, true));
    EXPECT_TRUE(on);
    EXPECT_FALSE(store.GetBool(MethodCPUAffinityName, on, false));
    EXPECT_FALSE(on);
    EXPECT_FALSE(store.GetBool(MethodCPUSetsName, on, false));
    EXPECT_FALSE(on);
    DWORD count = 7;
    EXPECT_FALSE(store.GetDword(LastScannedCountName, count));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(scratch.Exists());
}

TEST(SettingsStore, ValuesOfEveryShapeReadByTheirRawBytes)
{
    struct Case
    {
        const char* name;
        DWORD type;
        std::vector<BYTE> bytes;
        bool found;
        DWORD number;
    };
    const std::vector<Case> cases = {
        {"dword 2", REG_DWORD, {2, 0, 0, 0}, true, 2},
        {"dword 0", REG_DWORD, {0, 0, 0, 0}, true, 0},
        {"one-character string '0'", REG_SZ, {'0', 0, 0, 0}, true, 0x30},
        {"one-character string 'x'", REG_SZ, {'x', 0, 0, 0}, true, 0x78},
        {"two bytes of binary", REG_BINARY, {1, 2}, true, 0x0201},
        {"longer string", REG_SZ, {'1', 0, '2', 0, 0, 0}, false, 0},
        {"qword", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, false, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScratchRegistryKey scratch(TestProduct);
        ASSERT_TRUE(scratch.SetRaw(L"Value", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size())));
        SettingsStore store(HKEY_CURRENT_USER, TestProduct);
        DWORD number = 12345;
        EXPECT_EQ(store.ReadDword(L"Value", number), c.found);
        EXPECT_EQ(number, c.number);
        bool on = false;
        EXPECT_EQ(store.GetBool(L"Value", on, true), c.found);
        EXPECT_EQ(on, c.found ? c.number != 0 : true);
    }
}

TEST(SettingsStore, AMethodValueOfTwoReadsOnAndAToggleWritesZero)
{
    ScratchRegistryKey scratch(TestProduct);
    ASSERT_TRUE(scratch.SetDword(MethodCPUSetsName, 2));
    SettingsStore store(HKEY_CURRENT_USER, TestProduct);
    bool on = false;
    EXPECT_TRUE(store.GetBool(MethodCPUSetsName, on, false));
    EXPECT_TRUE(on);

    EXPECT_TRUE(store.Toggle(MethodCPUSetsName, false));
    DWORD stored = 99;
    ASSERT_TRUE(scratch.GetDword(MethodCPUSetsName, stored));
    EXPECT_EQ(stored, 0u);
    EXPECT_TRUE(store.GetBool(MethodCPUSetsName, on, true));
    EXPECT_FALSE(on);
}

TEST(SettingsStore, FirstTogglesOnAFreshInstallation)
{
    ScratchRegistryKey scratch(TestProduct);
    SettingsStore store(HKEY_CURRENT_USER, TestProduct);
    store.Toggle(MethodEfficiencyModeName, true);
    store.Toggle(MethodCPUAffinityName, false);
    DWORD efficiency = 9, affinity = 9;
    ASSERT_TRUE(scratch.GetDword(MethodEfficiencyModeName, efficiency));
    ASSERT_TRUE(scratch.GetDword(MethodCPUAffinityName, affinity));
    EXPECT_EQ(efficiency, 0u);
    EXPECT_EQ(affinity, 1u);
}

TEST(SettingsStore, CachesFollowTheirRules)
{
    ScratchRegistryKey scratch(TestProduct);
    SettingsStore store(HKEY_CURRENT_USER, TestProduct);
    bool on = false;

    // An absent value is not cached by the three-argument form: a later value is seen.
    EXPECT_FALSE(store.GetBool(L"Flag", on, false));
    ASSERT_TRUE(scratch.SetDword(L"Flag", 1));
    EXPECT_TRUE(store.GetBool(L"Flag", on, false));
    EXPECT_TRUE(on);

    // A cached value hides changes made behind the store's back...
    ASSERT_TRUE(scratch.SetDword(L"Flag", 0));
    EXPECT_TRUE(store.GetBool(L"Flag", on, false));
    EXPECT_TRUE(on);
    // ...until the name is forgotten.
    store.ForgetValue(L"Flag");
    EXPECT_TRUE(store.GetBool(L"Flag", on, true));
    EXPECT_FALSE(on);

    // The one-argument form caches the "off" of an absent value.
    EXPECT_FALSE(store.GetBool(L"Other"));
    ASSERT_TRUE(scratch.SetDword(L"Other", 1));
    EXPECT_FALSE(store.GetBool(L"Other"));

    // Numbers: cached once read; a write through the store drops the cached value.
    ASSERT_TRUE(scratch.SetDword(L"Number", 5));
    DWORD number = 0;
    EXPECT_TRUE(store.GetDword(L"Number", number));
    ASSERT_TRUE(scratch.SetDword(L"Number", 6));
    EXPECT_TRUE(store.GetDword(L"Number", number));
    EXPECT_EQ(number, 5u);
    EXPECT_TRUE(store.WriteDword(L"Number", 7));
    EXPECT_TRUE(store.GetDword(L"Number", number));
    EXPECT_EQ(number, 7u);

    // SetBool drops the flag as well, so the new state is read back.
    EXPECT_TRUE(store.SetBool(L"Other", true));
    EXPECT_TRUE(store.GetBool(L"Other"));
}

TEST(SettingsStore, AnUnreachableKeyReadsDefaultsAndFailsWrites)
{
    // The root is not a valid key, so the key path can be neither opened nor created.
    SettingsStore store(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345678)), TestProduct);
    bool on = true;
    EXPECT_FALSE(store.GetBool(L"Flag", on, false));
    EXPECT_FALSE(on);
    EXPECT_FALSE(store.WriteDword(L"Flag", 1));
    EXPECT_FALSE(store.SetBool(L"Flag", true));
    EXPECT_FALSE(store.GetBool(L"Flag"));
}

TEST(SettingsStore, BetaUpdatesOnForTheMachineWinsOverOffForTheUser)
{
    ScratchRegistryKey user(L"Ternvale");
    ScratchRegistryKey machine(L"Ternvale", HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(GetBetaUpdates());
    ASSERT_TRUE(user.SetDword(BetaUpdatesName, 0));
    ASSERT_TRUE(machine.SetDword(BetaUpdatesName, 1));
    EXPECT_TRUE(GetBetaUpdates());

    SetBetaUpdates(false);
    DWORD value = 9;
    EXPECT_TRUE(user.GetDword(BetaUpdatesName, value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(machine.GetDword(BetaUpdatesName, value));
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(GetBetaUpdates());
    SetBetaUpdates(true);
    EXPECT_TRUE(user.GetDword(BetaUpdatesName, value));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(GetBetaUpdates());
}

TEST(SettingsStore, CountersDefaultToZeroAndSetReturnsTheValue)
{
    ScratchRegistryKey user(L"Ternvale");
    EXPECT_EQ(GetCounter(LastScannedCountName), 0u);
    EXPECT_EQ(SetCounter(LastScannedCountName, 250), 250u);
    EXPECT_EQ(SetCounter(CurrentEnforcedCountName, 12), 12u);
    EXPECT_EQ(GetCounter(LastScannedCountName), 250u);
    EXPECT_EQ(GetCounter(CurrentEnforcedCountName), 12u);
}

TEST(SettingsStore, ConcurrentReadsAndTogglesLoseNoUpdate)
{
    ScratchRegistryKey scratch(TestProduct);
    SettingsStore store(HKEY_CURRENT_USER, TestProduct);
    constexpr int TogglesPerThread = 200;
    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0};

    // A reader as the monitor thread is: the flag must always read as a clean 0 or 1 state.
    std::thread reader([&] {
        while (!stop)
        {
            bool on = false;
            store.GetBool(MethodCPUAffinityName, on, false);
            DWORD raw = 0;
            if (store.ReadDword(MethodCPUAffinityName, raw) && raw > 1)
                ++badReads;
        }
    });
    auto toggler = [&] {
        for (int i = 0; i < TogglesPerThread; ++i)
            store.Toggle(MethodCPUAffinityName, false);
    };
    std::thread a(toggler), b(toggler);
    a.join();
    b.join();
    stop = true;
    reader.join();

    // An even number of toggles in all: the value is back where it started (off), which only
    // holds when no toggle read a state that another was about to change.
    DWORD value = 9;
    ASSERT_TRUE(scratch.GetDword(MethodCPUAffinityName, value));
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(badReads.load(), 0);
    bool on = true;
    EXPECT_TRUE(store.GetBool(MethodCPUAffinityName, on, true));
    EXPECT_FALSE(on);
}

// A write that fails must still drop the name from both caches: afterwards the store answers from
// the registry, not with what it read before. The store's root is a key deleted while held open,
// so every open below it fails and so does every write.
TEST(SettingsStore, AFailedWriteStillForgetsTheCachedValue)
{
    struct Case
    {
        const char* writer;
        bool (*write)(SettingsStore& store);
    };
    const Case cases[] = {
        {"WriteDword", [](SettingsStore& store) { return store.WriteDword(L"Flag", 0); }},
        {"SetBool", [](SettingsStore& store) { return store.SetBool(L"Flag", false); }},
        {"Toggle", [](SettingsStore& store) { return store.Toggle(L"Flag", false); }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.writer);
        ScratchRegistryKey scratch(TestProduct);
        UniqueHKey root;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, scratch.Path().c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, nullptr, root.Put(), nullptr),
                  ERROR_SUCCESS);
        SettingsStore store(root.Get(), L"Inner");
        ASSERT_TRUE(store.WriteDword(L"Flag", 1));
        bool on = false;
        ASSERT_TRUE(store.GetBool(L"Flag", on, false));
        ASSERT_TRUE(on);
        DWORD number = 0;
        ASSERT_TRUE(store.GetDword(L"Flag", number));
        ASSERT_EQ(number, 1u);

        scratch.Delete();
        EXPECT_FALSE(c.write(store));
        EXPECT_FALSE(store.GetBool(L"Flag", on, false)) << "answered from the flag cache";
        EXPECT_FALSE(on);
        EXPECT_FALSE(store.GetDword(L"Flag", number)) << "answered from the number cache";
        EXPECT_EQ(number, 0u);
    }
}

} // namespace
