#include "setup/Updater.h"

#include <shellapi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wininet.h>
#include <wintrust.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <iterator>

#include "app/Globals.h"
#include "app/Handles.h"
#include "rules/SettingsStore.h"
#include "setup/DesktopShell.h"
#include "setup/DownloadFolder.h"
#include "setup/DownloadProgress.h"
#include "ui/PrivateMessages.h"
#include "ui/resource.h"

namespace
{

constexpr wchar_t UserAgent[] = L"Ternvale/1.0.0.2";
constexpr char ValidityMarker[] = "orlenby_updatevalidsig";
constexpr wchar_t BetaPath[] = L"beta/";
constexpr wchar_t NewerVersionQuestion[] = L"A newer version is available. Update now?";
constexpr wchar_t NoUpdateText[] = L"No update available.";
constexpr DWORD ReadChunk = 4096;
constexpr int StringBufferChars = 1024;

// WINTRUST_ACTION_GENERIC_VERIFY_V2, spelt out so that no SDK GUID definition is needed.
constexpr GUID GenericVerifyV2Action = {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

std::wstring ReplaceFirst(std::wstring text, const wchar_t* token, const std::wstring& value)
{
    const size_t at = text.find(token);
    if (at != std::wstring::npos)
        text.replace(at, std::wcslen(token), value);
    return text;
}

std::wstring Hex(DWORD value)
{
    wchar_t buffer[16] = {};
    std::swprintf(buffer, std::size(buffer), L"%lx", static_cast<unsigned long>(value));
    return buffer;
}

std::wstring WithBeta(const std::wstring& base, bool beta)
{
    return beta ? base + BetaPath : base;
}

// The folder the download folders are made in.
std::wstring DownloadBase(const UpdateEndpoints& endpoints)
{
    if (!endpoints.tempFolder.empty())
        return endpoints.tempFolder;
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, buffer);
    if (length == 0 || length > MAX_PATH)
        return {};
    return std::wstring(buffer, length);
}

[[nodiscard]] bool ReadWholeFile(HANDLE file, std::vector<unsigned char>& bytes)
{
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart < 0 || static_cast<ULONGLONG>(size.QuadPart) > MaxInstallerBytes)
        return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() &&
        (!::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size()))
        return false;
    LARGE_INTEGER start{};
    return ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != FALSE;
}

struct HeldInstaller
{
    UniqueFile file;
    std::wstring path; // the final path of the held file: the one the shell is given
};

// Writes the installer into the new folder and returns a handle that keeps it from being changed,
// replaced or deleted until it is closed. Windows will not start an image that any handle may still
// write, so the writing handle is traded for a reading one that shares only reading; the bytes read
// back through it must be the download, and it must be open on the file made, at the intended path,
// which catches a swap between the two opens.
HeldInstaller WriteAndHoldInstaller(const DownloadFolder& folder, const std::vector<unsigned char>& body,
                                    UpdateHost& host)
{
    const std::wstring path = folder.Path() + L"\\" + InstallerFileName;
    {
        // Never opened when it exists: whatever is there is not ours.
        UniqueFile writer(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!writer || !IsPlainFile(writer.Get()))
            return {};
        DWORD written = 0;
        if (!::WriteFile(writer.Get(), body.data(), static_cast<DWORD>(body.size()), &written, nullptr) ||
            written != body.size() || !::FlushFileBuffers(writer.Get()))
            return {};
    }
    host.DownloadReached(DownloadStage::InstallerWritten, path);
    HeldInstaller held;
    held.file.Reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!held.file || !IsPlainFile(held.file.Get()))
        return {};
    std::vector<unsigned char> onDisk;
    if (!ReadWholeFile(held.file.Get(), onDisk) || onDisk != body)
        return {};
    held.path = FinalPathOf(held.file.Get());
    if (held.path.empty() || !SamePath(held.path, path))
        return {};
    return held;
}

std::wstring CertificateAttribute(PCCERT_CONTEXT cert, const char* oid)
{
    wchar_t buffer[512] = {};
    const DWORD length = ::CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(oid), buffer,
                                              static_cast<DWORD>(std::size(buffer)));
    return length > 1 ? std::wstring(buffer) : std::wstring();
}

// WinVerifyTrust keeps state between its verify and close calls; the close must follow every verify.
class TrustState
{
  public:
    explicit TrustState(WINTRUST_DATA& data) noexcept : data_(data)
    {
    }
    ~TrustState()
    {
        GUID action = GenericVerifyV2Action;
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        ::WinVerifyTrust(nullptr, &action, &data_);
    }
    TrustState(const TrustState&) = delete;
    TrustState& operator=(const TrustState&) = delete;

  private:
    WINTRUST_DATA& data_;
};

class Desktop final : public UpdateHost
{
  public:
    int ShowMessage(HWND owner, const std::wstring& text, UINT style) override
    {
        return ::MessageBoxW(owner, text.c_str(), ProductName, style);
    }
    TransferResult DownloadInstaller(HWND owner, const std::wstring& url, std::vector<unsigned char>& bytes) override
    {
        ProgressSettings settings;
        settings.exitEvent = ExitEvent.Get();
        return DownloadWithProgress(owner, url, bytes, MaxInstallerBytes, settings);
    }
    void OpenPage(const std::wstring& url) override
    {
        // An elevated browser would run the web with the user's administrator rights.
        OpenUnelevated(url, SystemPageOpening());
    }
    bool StartElevated(HWND owner, const std::wstring& path) override
    {
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.hwnd = owner; // the elevation prompt belongs to the window that asked for it
        info.lpVerb = L"runas";
        info.lpFile = path.c_str();
        info.lpParameters = L"/S";
        info.nShow = SW_SHOWNORMAL;
        if (!::ShellExecuteExW(&info) || info.hProcess == nullptr)
            return false;
        UniqueHandle process(info.hProcess); // not waited for: the installer takes over
        return true;
    }
};

} // namespace

UpdateEndpoints DefaultUpdateEndpoints()
{
    return UpdateEndpoints{VersionInfoUrl, DownloadBaseUrl, ErrorPageUrl, SignerName, std::wstring()};
}

TransferResult UpdateHost::DownloadInstaller(HWND, const std::wstring& url, std::vector<unsigned char>& bytes)
{
    return DownloadToMemory(url, bytes, MaxInstallerBytes) ? TransferResult::Complete : TransferResult::Failed;
}

void UpdateHost::DownloadReached(DownloadStage, const std::wstring&)
{
}

UpdateHost& DesktopUpdateHost()
{
    static Desktop desktop;
    return desktop;
}

std::wstring LoadResourceString(UINT id)
{
    wchar_t buffer[StringBufferChars] = {};
    HINSTANCE module = ModuleInstance != nullptr ? ModuleInstance : ::GetModuleHandleW(nullptr);
    if (::LoadStringW(module, id, buffer, StringBufferChars) <= 0)
        return L"ERROR";
    return buffer;
}

DWORD ParseVersion(const std::wstring& text)
{
    if (text.size() < 7)
        return 0;
    unsigned int part[4] = {};
    std::swscanf(text.c_str(), L"%u.%u.%u.%u", &part[0], &part[1], &part[2], &part[3]);
    // Parts are not masked: one of 256 or more spills into the part before it.
    uint32_t packed = part[0];
    for (int i = 1; i < 4; ++i)
        packed = (packed * 256u) | part[i];
    return packed;
}

bool IsNewerVersion(const std::wstring& text)
{
    return ParseVersion(text) > ParseVersion(VersionText);
}

std::wstring Utf8ToUtf16(const unsigned char* bytes, size_t count)
{
    if (count == 0 || count > static_cast<size_t>(INT_MAX))
        return {};
    const char* source = reinterpret_cast<const char*>(bytes);
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, source, static_cast<int>(count), nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, source, static_cast<int>(count), text.data(), length);
    return text;
}

std::wstring VersionFromAnswer(const std::vector<unsigned char>& body)
{
    // The answer is a NUL-terminated string: a NUL byte inside it ends it.
    const auto end = std::find(body.begin(), body.end(), static_cast<unsigned char>(0));
    const size_t count = static_cast<size_t>(end - body.begin());
    const std::wstring text = Utf8ToUtf16(body.data(), count);
    const std::wstring marker(std::begin(ValidityMarker), std::end(ValidityMarker) - 1);
    const size_t lineEnd = text.find_first_of(L"\r\n");
    if (text.size() < 3 || lineEnd == std::wstring::npos || text.find(L'.') == std::wstring::npos ||
        text.find(marker) == std::wstring::npos)
        return {};
    return text.substr(0, lineEnd);
}

bool ReadWholeBody(const BodyReader& read, std::vector<unsigned char>& bytes, size_t limit)
{
    bytes.clear();
    std::vector<unsigned char> body;
    size_t total = 0;
    for (;;)
    {
        // Doubling keeps a large download linear (growing by one chunk would copy it again per chunk);
        // the limit caps it, so a body near the limit does not reserve twice the limit.
        if (body.size() < total + ReadChunk)
            body.resize(std::min(std::max(total + ReadChunk, body.size() * 2), limit + ReadChunk));
        DWORD got = 0;
        if (!read(body.data() + total, ReadChunk, got))
            return false; // a broken transfer: what arrived is incomplete
        if (got == 0)
            break;
        total += std::min<size_t>(got, ReadChunk);
        if (total > limit)
            return false;
    }
    if (total == 0)
        return false;
    body.resize(total);
    bytes = std::move(body);
    return true;
}

TransferControl::~TransferControl()
{
    CloseHandles();
}

bool TransferControl::Adopt(HINTERNET handle)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (stopped_)
    {
        if (handle != nullptr)
            ::InternetCloseHandle(handle);
        return false;
    }
    if (handle != nullptr)
        handles_.push_back(handle);
    return handle != nullptr;
}

void TransferControl::Progress(unsigned long long received, unsigned long long total)
{
    received_ = received;
    total_ = total;
    lastProgress_ = ::GetTickCount64();
}

void TransferControl::Stop()
{
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
    CloseHandlesLocked();
}

void TransferControl::CloseHandles()
{
    std::lock_guard<std::mutex> guard(lock_);
    CloseHandlesLocked();
}

void TransferControl::CloseHandlesLocked()
{
    // Closing a handle ends the operations pending on it; children go before their session.
    for (auto it = handles_.rbegin(); it != handles_.rend(); ++it)
        ::InternetCloseHandle(*it);
    handles_.clear();
}

bool TransferControl::Stopped() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return stopped_;
}

bool IsSuccessStatus(DWORD status)
{
    return status >= 200 && status <= 299;
}

bool DownloadToMemory(const std::wstring& url, std::vector<unsigned char>& bytes, size_t limit,
                      TransferControl* control, DWORD stallLimitMs)
{
    bytes.clear();
    TransferControl own;
    TransferControl& transfer = control != nullptr ? *control : own;
    const HINTERNET session = ::InternetOpenW(UserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!transfer.Adopt(session))
        return false;
    if (stallLimitMs != 0)
    {
        ::InternetSetOptionW(session, INTERNET_OPTION_CONNECT_TIMEOUT, &stallLimitMs, sizeof(stallLimitMs));
        ::InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &stallLimitMs, sizeof(stallLimitMs));
    }
    const HINTERNET request =
        ::InternetOpenUrlW(session, url.c_str(), nullptr, 0, INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (!transfer.Adopt(request))
        return false;

    // An error page is a body too; only a 2xx answer is the resource asked for.
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr) ||
        !IsSuccessStatus(status))
        return false;
    DWORD announced = 0;
    size = sizeof(announced);
    const bool announces =
        ::HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced, &size, nullptr) !=
        FALSE;
    const unsigned long long total = announces ? announced : 0;
    transfer.Progress(0, total);

    unsigned long long received = 0;
    auto read = [&](unsigned char* into, DWORD chunk, DWORD& got) {
        if (transfer.Stopped() || !::InternetReadFile(request, into, chunk, &got) || transfer.Stopped())
            return false;
        received += got;
        transfer.Progress(received, total);
        return true;
    };
    std::vector<unsigned char> body;
    const bool whole = ReadWholeBody(read, body, limit);
    transfer.CloseHandles();
    if (!whole)
        return false;
    // A connection closed early ends the reads like a complete body does; the announced length tells them apart.
    if (announces && announced != body.size())
        return false;
    bytes = std::move(body);
    return true;
}

void FetchVersionInfo(const std::wstring& versionInfoUrl, std::wstring& version)
{
    version.clear();
    std::vector<unsigned char> body;
    if (!DownloadToMemory(WithBeta(versionInfoUrl, GetBetaUpdates()), body, MaxVersionAnswerBytes))
        return;
    version = VersionFromAnswer(body);
}

void FetchVersionInfo(std::wstring& version)
{
    FetchVersionInfo(VersionInfoUrl, version);
}

std::wstring SignatureResultText(LONG status, DWORD lastError)
{
    switch (static_cast<DWORD>(status))
    {
    case 0:
        return LoadResourceString(IDS_SIGNATURE_VERIFIED);
    case static_cast<DWORD>(TRUST_E_NOSIGNATURE):
        if (lastError == static_cast<DWORD>(TRUST_E_NOSIGNATURE) ||
            lastError == static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN) ||
            lastError == static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN))
            return LoadResourceString(IDS_NOT_SIGNED);
        break;
    case static_cast<DWORD>(TRUST_E_EXPLICIT_DISTRUST):
        return LoadResourceString(IDS_SIGNATURE_DISALLOWED);
    case static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED):
        return LoadResourceString(IDS_SIGNED_NOT_TRUSTED);
    case static_cast<DWORD>(CRYPT_E_SECURITY_SETTINGS):
        return LoadResourceString(IDS_ADMIN_POLICY_NO_USER_TRUST);
    default:
        break;
    }
    const std::wstring text = ReplaceFirst(LoadResourceString(IDS_SIGNATURE_ERROR), L"%x", Hex(lastError));
    return ReplaceFirst(text, L"%x", Hex(static_cast<DWORD>(status)));
}

std::wstring SignatureWarningText(LONG status, DWORD lastError)
{
    return ReplaceFirst(LoadResourceString(IDS_UPDATE_SIGNATURE_QUESTION), L"%s",
                        SignatureResultText(status, lastError));
}

SignatureCheck CheckFileSignature(const std::wstring& path, HANDLE file)
{
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;

    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    SignatureCheck check;
    GUID action = GenericVerifyV2Action;
    check.status = ::WinVerifyTrust(nullptr, &action, &data);
    check.lastError = ::GetLastError();
    TrustState state(data);
    if (check.status != 0)
        return check;

    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (signer != nullptr && signer->csCertChain > 0 && signer->pasCertChain != nullptr &&
        signer->pasCertChain[0].pCert != nullptr)
    {
        check.signer = CertificateAttribute(signer->pasCertChain[0].pCert, szOID_COMMON_NAME);
        check.organisation = CertificateAttribute(signer->pasCertChain[0].pCert, szOID_ORGANIZATION_NAME);
    }
    return check;
}

bool SignerMatches(const SignatureCheck& check, const std::wstring& signerName)
{
    auto same = [&](const std::wstring& name) {
        return !name.empty() && ::CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), signerName.c_str(),
                                                       static_cast<int>(signerName.size()), TRUE) == CSTR_EQUAL;
    };
    return !signerName.empty() && (same(check.signer) || same(check.organisation));
}

InstallResult DownloadAndRunInstaller(HWND owner, const UpdateEndpoints& endpoints, UpdateHost& host)
{
    const std::wstring base = DownloadBase(endpoints);
    if (base.empty())
        return InstallResult::Failed;
    // Earlier installers have done their work (or failed); a running one keeps its file, which is fine.
    RemoveLeftoverDownloads(base);
    const std::wstring url = WithBeta(endpoints.downloadBaseUrl, GetBetaUpdates()) + InstallerFileName;

    DownloadFolder folder;
    HeldInstaller installer;
    {
        std::vector<unsigned char> body;
        const TransferResult transfer = host.DownloadInstaller(owner, url, body);
        if (transfer == TransferResult::Ended)
            return InstallResult::Ended;
        if (transfer != TransferResult::Complete || body.size() <= InstallerSizeFloor)
            return InstallResult::Failed;
        folder = DownloadFolder::Create(base);
        if (!folder.IsValid())
            return InstallResult::Failed;
        host.DownloadReached(DownloadStage::FolderCreated, folder.Path());
        installer = WriteAndHoldInstaller(folder, body, host);
    }
    if (!installer.file)
        return InstallResult::Failed;

    SignatureCheck check = CheckFileSignature(installer.path, installer.file.Get());
    if (check.status == 0 && !SignerMatches(check, endpoints.signerName))
    {
        // A valid signature by someone else must not start anything elevated.
        check.status = TRUST_E_SUBJECT_NOT_TRUSTED;
        check.lastError = static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED);
    }
    if (check.status != 0)
    {
        installer.file.Reset();
        if (host.ShowMessage(nullptr, SignatureWarningText(check.status, check.lastError), MB_YESNO | MB_ICONWARNING) ==
            IDYES)
            host.OpenPage(endpoints.errorPageUrl);
        return InstallResult::Failed;
    }
    // The handle stays open until the start has been made, so the file started is the file tested.
    return host.StartElevated(owner, installer.path) ? InstallResult::Started : InstallResult::Failed;
}

bool DownloadAndRunInstaller(const UpdateEndpoints& endpoints, UpdateHost& host)
{
    return DownloadAndRunInstaller(nullptr, endpoints, host) == InstallResult::Started;
}

bool DownloadAndRunInstaller()
{
    return DownloadAndRunInstaller(DefaultUpdateEndpoints(), DesktopUpdateHost());
}

void InstallUpdate(HWND owner, const UpdateEndpoints& endpoints, UpdateHost& host)
{
    if (DownloadAndRunInstaller(owner, endpoints, host) == InstallResult::Failed)
        host.ShowMessage(owner, LoadResourceString(IDS_UPDATER_LAUNCH_ERROR), MB_ICONERROR);
}

void CheckForUpdateNow(HWND owner, const UpdateEndpoints& endpoints, UpdateHost& host)
{
    std::wstring version;
    FetchVersionInfo(endpoints.versionInfoUrl, version);
    if (version.empty())
        return;
    if (!IsNewerVersion(version))
    {
        host.ShowMessage(owner, NoUpdateText, MB_ICONINFORMATION);
        return;
    }
    if (host.ShowMessage(owner, NewerVersionQuestion, MB_YESNO | MB_ICONINFORMATION) == IDYES)
        InstallUpdate(owner, endpoints, host);
}

void RunUpdateChecks(HANDLE exitEvent, DWORD intervalMs, const std::wstring& versionInfoUrl,
                     const std::function<void()>& onNewer)
{
    for (;;)
    {
        std::wstring version;
        FetchVersionInfo(versionInfoUrl, version);
        if (!version.empty() && IsNewerVersion(version) && onNewer)
            onNewer();
        // Signalled means the program is ending; a failed wait would fail again at once, so it ends the
        // checks rather than turning them into a tight loop of requests.
        if (::WaitForSingleObject(exitEvent, intervalMs) != WAIT_TIMEOUT)
            return;
    }
}

void UpdateCheckThread()
{
    // A handle of its own, as the watchers have: the global one is closed at process exit, possibly
    // while this detached thread still waits on it.
    UniqueHandle exitEvent;
    if (!DuplicateOwnHandle(ExitEvent.Get(), exitEvent) || !exitEvent)
        return;
    try
    {
        RunUpdateChecks(exitEvent.Get(), UpdateCheckIntervalMs, VersionInfoUrl, [] {
            if (HWND tray = TrayWindowHandle.load())
                ::PostMessageW(tray, WM_TRAY_UPDATE_BALLOON, 0, 0);
        });
    }
    catch (...)
    {
        // Out of memory in a detached thread: no update check this session rather than a crash.
    }
}
