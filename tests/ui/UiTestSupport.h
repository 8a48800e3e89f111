#pragma once
// Helpers for the tests that drive the real main window and tray window: a thread of their own
// for the modal windows, waiting for windows, and stand-ins for the calls behind UiPlatform.

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "ui/UiPlatform.h"

namespace ui_testing
{

// Runs body on a new thread; the main window and its dialogs are modal and block the thread
// that runs them, so the test drives them from its own thread with window messages.
class UiThread
{
  public:
    explicit UiThread(std::function<void()> body);
    ~UiThread();
    UiThread(const UiThread&) = delete;
    UiThread& operator=(const UiThread&) = delete;
    // False when the thread did not end within the time.
    bool Join(DWORD timeoutMs = 10000);

  private:
    std::thread thread_;
    HANDLE done_ = nullptr;
};

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 30000);
// A visible dialog of this process with the caption, or null after the time-out.
HWND WaitForDialog(const std::wstring& caption, DWORD timeoutMs = 10000);
// The same, without waiting.
HWND FindDialog(const std::wstring& caption);
// Every visible dialog of this process with the caption.
std::vector<HWND> FindDialogs(const std::wstring& caption);
// Returns once the window's thread takes messages again, that is, when whatever it was handling has
// ended. Messages posted before may still be waiting: sent messages go first.
void Sync(HWND window);
std::wstring WindowText(HWND window);

struct ShownMessage
{
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT flags;
};

// Replaces every entry of Ui() for its lifetime: message boxes are recorded and answered,
// notification-icon calls and the requests to the updater recorded.
class FakeUi
{
  public:
    FakeUi();
    ~FakeUi();
    FakeUi(const FakeUi&) = delete;
    FakeUi& operator=(const FakeUi&) = delete;

    std::vector<ShownMessage> Messages() const;
    struct IconCall
    {
        DWORD operation;
        NOTIFYICONDATAW record;
    };
    std::vector<IconCall> IconCalls() const;
    void Clear();

    int MessageAnswer = IDOK;
    // NIM_ADD fails this many times before it succeeds.
    int FailingAdds = 0;
    // Owners given to the updater's manual check and balloon install, in call order.
    std::vector<HWND> UpdateCheckOwners() const;
    std::vector<HWND> InstallOwners() const;
    // Update-check threads started (they are detached, so the count outlives the fake).
    static int UpdateChecks();

  private:
    static int ShowMessage(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags);
    static BOOL NotifyIcon(DWORD operation, NOTIFYICONDATAW* record);
    static void CheckForUpdate(HWND owner);
    static void InstallUpdate(HWND owner);
    static void UpdateCheck();

    mutable std::mutex lock_;
    std::vector<ShownMessage> messages_;
    std::vector<IconCall> iconCalls_;
    std::vector<HWND> updateCheckOwners_;
    std::vector<HWND> installOwners_;
    UiPlatform saved_;
};

// The common ground of the window tests: resources from this program, the rule list file in a
// fresh folder, a scratch settings key (the program's own name, since the window reads it), the
// process-wide settings cache forgotten, and the stand-ins of FakeUi.
class UiTest : public testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    testing_support::TempDirectory directory_;
    testing_support::ScratchRegistryKey settings_{L"Ternvale"};
    FakeUi fake_;

  private:
    std::wstring savedListPath_;
};

// The rule list file as UTF-16LE with CR LF line ends, and back.
void WriteRuleFile(const std::wstring& path, const std::wstring& content);
std::wstring ReadRuleFile(const std::wstring& path);

} // namespace ui_testing
