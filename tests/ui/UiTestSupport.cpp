#include "UiTestSupport.h"

#include "support/TestSupport.h"

#include "app/Globals.h"

namespace ui_testing
{
namespace
{
FakeUi* ActiveFake = nullptr;
std::atomic<int> UpdateCheckCount{0};

struct DialogSearch
{
    std::wstring caption;
    std::vector<HWND> found;
};

BOOL CALLBACK FindOwnDialog(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<DialogSearch*>(parameter);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    if (process == ::GetCurrentProcessId() && std::wstring(className) == L"#32770" && ::IsWindowVisible(window) &&
        WindowText(window) == search->caption)
        search->found.push_back(window);
    return TRUE;
}
} // namespace

UiThread::UiThread(std::function<void()> body) : done_(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    thread_ = std::thread([this, body = std::move(body)] {
        body();
        ::SetEvent(done_);
    });
}

UiThread::~UiThread()
{
    if (thread_.joinable())
        thread_.join();
    ::CloseHandle(done_);
}

bool UiThread::Join(DWORD timeoutMs)
{
    if (::WaitForSingleObject(done_, timeoutMs) != WAIT_OBJECT_0)
        return false;
    thread_.join();
    return true;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    return testing_support::WaitUntil(condition, timeoutMs);
}

std::vector<HWND> FindDialogs(const std::wstring& caption)
{
    DialogSearch search{caption, {}};
    ::EnumWindows(&FindOwnDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindDialog(const std::wstring& caption)
{
    const std::vector<HWND> found = FindDialogs(caption);
    return found.empty() ? nullptr : found.front();
}

HWND WaitForDialog(const std::wstring& caption, DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindDialog(caption)) != nullptr; }, timeoutMs);
    return found;
}

void Sync(HWND window)
{
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored);
}

std::wstring WindowText(HWND window)
{
    std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

FakeUi::FakeUi() : saved_(Ui())
{
    ActiveFake = this;
    Ui() = UiPlatform{&FakeUi::ShowMessage, &FakeUi::NotifyIcon, &FakeUi::CheckForUpdate, &FakeUi::InstallUpdate,
                      &FakeUi::UpdateCheck};
}

FakeUi::~FakeUi()
{
    Ui() = saved_;
    ActiveFake = nullptr;
}

std::vector<ShownMessage> FakeUi::Messages() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
}

std::vector<FakeUi::IconCall> FakeUi::IconCalls() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return iconCalls_;
}

void FakeUi::Clear()
{
    std::lock_guard<std::mutex> guard(lock_);
    messages_.clear();
    iconCalls_.clear();
    updateCheckOwners_.clear();
    installOwners_.clear();
}

int FakeUi::ShowMessage(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags)
{
    std::lock_guard<std::mutex> guard(ActiveFake->lock_);
    ActiveFake->messages_.push_back({owner, text, caption, flags});
    return ActiveFake->MessageAnswer;
}

BOOL FakeUi::NotifyIcon(DWORD operation, NOTIFYICONDATAW* record)
{
    std::lock_guard<std::mutex> guard(ActiveFake->lock_);
    ActiveFake->iconCalls_.push_back({operation, *record});
    if (operation == NIM_ADD && ActiveFake->FailingAdds > 0)
    {
        --ActiveFake->FailingAdds;
        return FALSE;
    }
    return TRUE;
}

void FakeUi::CheckForUpdate(HWND owner)
{
    std::lock_guard<std::mutex> guard(ActiveFake->lock_);
    ActiveFake->updateCheckOwners_.push_back(owner);
}

void FakeUi::InstallUpdate(HWND owner)
{
    std::lock_guard<std::mutex> guard(ActiveFake->lock_);
    ActiveFake->installOwners_.push_back(owner);
}

std::vector<HWND> FakeUi::UpdateCheckOwners() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return updateCheckOwners_;
}

std::vector<HWND> FakeUi::InstallOwners() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return installOwners_;
}

void FakeUi::UpdateCheck()
{
    ++UpdateCheckCount;
}

int FakeUi::UpdateChecks()
{
    return UpdateCheckCount.load();
}

void UiTest::SetUp()
{
    ModuleInstance = ::GetModuleHandleW(nullptr);
    savedListPath_ = RuleListPath;
    RuleListPath = directory_.File(L"p-core-list.txt");
    for (const wchar_t* name : {MethodEfficiencyModeName, MethodCPUAffinityName, MethodCPUSetsName})
        GlobalSettings.ForgetValue(name);
}

void UiTest::TearDown()
{
    RuleListPath = savedListPath_;
}

void WriteRuleFile(const std::wstring& path, const std::wstring& content)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
    testing_support::WriteFileBytes(path, std::vector<unsigned char>(bytes, bytes + content.size() * 2));
}

std::wstring ReadRuleFile(const std::wstring& path)
{
    const std::vector<unsigned char> bytes = testing_support::ReadFileBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<wchar_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return text;
}

} // namespace ui_testing
