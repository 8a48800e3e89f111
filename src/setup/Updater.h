#pragma once
// The update check: latest version from the update server, daily check, installer download,
// signature test and elevated start.

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Thread body: checks at once, then every 24 hours until ExitEvent; posts WM_TRAY_UPDATE_BALLOON.
void UpdateCheckThread();
// The latest version text, or empty when nothing usable was learned.
void FetchVersionInfo(std::wstring& version);
// "a.b.c.d" packed as ((a*256|b)*256|c)*256|d with 32-bit wrap-around; 0 for an unusable text.
DWORD ParseVersion(const std::wstring& text);
// Downloads, tests and starts the installer; true when the installer process was started.
bool DownloadAndRunInstaller();

inline constexpr DWORD UpdateCheckIntervalMs = 86400000;
// Bodies beyond these sizes are refused: a version answer is a few lines, an installer a few MiB.
inline constexpr size_t MaxVersionAnswerBytes = 64 * 1024;
inline constexpr size_t MaxInstallerBytes = 256 * 1024 * 1024;
// A body of this size or less cannot be a real installer (an error page, a truncated file).
inline constexpr size_t InstallerSizeFloor = 16384;

// Where the update check and the installer download go. The defaults are the build settings; tests
// point them at a local server and a scratch folder.
struct UpdateEndpoints
{
    std::wstring versionInfoUrl;
    std::wstring downloadBaseUrl;
    std::wstring errorPageUrl;
    std::wstring signerName; // the name the installer's signing certificate must carry
    std::wstring tempFolder; // where the download folders are made; empty: the user's temporary folder
};
UpdateEndpoints DefaultUpdateEndpoints();

// How a transfer ended: with the whole body, with a failure (also a cancel or a stall), or because the
// program is ending (nothing more is shown then).
enum class TransferResult
{
    Complete,
    Failed,
    Ended,
};

// The points of an installer download at which tests may interfere (swap links in, for example).
enum class DownloadStage
{
    FolderCreated,    // path: the new folder
    InstallerWritten, // path: the installer file, written and closed, not yet held
};

// Everything the update code asks of the desktop: message boxes (captioned with the product name),
// opening the maker's page, the installer transfer and the elevated start. Tests answer in its place.
class UpdateHost
{
  public:
    virtual ~UpdateHost() = default;
    // The installer's body. Without a window of its own: a plain DownloadToMemory.
    virtual TransferResult DownloadInstaller(HWND owner, const std::wstring& url, std::vector<unsigned char>& bytes);
    virtual void DownloadReached(DownloadStage stage, const std::wstring& path);
    // Returns the button chosen (IDYES, IDNO, IDOK...).
    virtual int ShowMessage(HWND owner, const std::wstring& text, UINT style) = 0;
    virtual void OpenPage(const std::wstring& url) = 0;
    // Starts the installer at path elevated and silent, the elevation prompt owned by owner; true when a
    // process was started. The file is held open against writers and deletion while this runs.
    virtual bool StartElevated(HWND owner, const std::wstring& path) = 0;
};
// The real desktop: MessageBoxW, the transfer with its progress window, the page opened in the desktop
// user's own context and ShellExecuteExW with "runas".
UpdateHost& DesktopUpdateHost();

// The seams behind the entry points above.
void FetchVersionInfo(const std::wstring& versionInfoUrl, std::wstring& version);
bool DownloadAndRunInstaller(const UpdateEndpoints& endpoints, UpdateHost& host);
// owner: the window the progress window and the elevation prompt belong to.
enum class InstallResult
{
    Started,
    Failed,
    Ended, // the program is ending: the transfer was given up, nothing is to be shown
};
InstallResult DownloadAndRunInstaller(HWND owner, const UpdateEndpoints& endpoints, UpdateHost& host);
// Checks at once and then every interval until exitEvent is set or cannot be waited on; calls
// onNewer after each check that found a newer version.
void RunUpdateChecks(HANDLE exitEvent, DWORD intervalMs, const std::wstring& versionInfoUrl,
                     const std::function<void()>& onNewer);

// The main window's "Check for Update": asks, installs, or says there is nothing new.
void CheckForUpdateNow(HWND owner, const UpdateEndpoints& endpoints, UpdateHost& host);
// A click on the update balloon: installs, or tells the user it could not.
void InstallUpdate(HWND owner, const UpdateEndpoints& endpoints, UpdateHost& host);

// True when the packed version of text is above the running version's, as unsigned numbers.
bool IsNewerVersion(const std::wstring& text);
// The version text of a server answer (its first line), or empty when the answer is not valid.
std::wstring VersionFromAnswer(const std::vector<unsigned char>& body);
// What a transfer running on a worker thread shares with the thread that waits for it: progress, and
// a stop that closes the connection under the worker's blocked read. The connection handles belong to
// it, so that a stop from another thread and the worker's own end never close one twice.
class TransferControl
{
  public:
    TransferControl() = default;
    ~TransferControl();
    TransferControl(const TransferControl&) = delete;
    TransferControl& operator=(const TransferControl&) = delete;

    // The worker's side: takes over a session or request handle; false (and the handle closed) when
    // the transfer has been stopped already.
    bool Adopt(HINTERNET handle);
    void Progress(unsigned long long received, unsigned long long total);
    // Any thread: ends the transfer; the worker's calls then fail.
    void Stop();
    // The worker is done with the handles.
    void CloseHandles();

    [[nodiscard]] bool Stopped() const;
    [[nodiscard]] unsigned long long Received() const
    {
        return received_.load();
    }
    [[nodiscard]] unsigned long long Total() const
    {
        return total_.load();
    }
    // GetTickCount64 of the start or of the last byte received.
    [[nodiscard]] ULONGLONG LastProgressTick() const
    {
        return lastProgress_.load();
    }

  private:
    void CloseHandlesLocked();

    mutable std::mutex lock_;
    std::vector<HINTERNET> handles_;
    bool stopped_ = false;
    std::atomic<unsigned long long> received_{0};
    std::atomic<unsigned long long> total_{0}; // 0 when the server did not say
    std::atomic<ULONGLONG> lastProgress_{::GetTickCount64()};
};

// Whole body of url; false on any failure, a status other than 2xx, an empty body, a body beyond limit
// or a cut transfer. With a control: reports progress to it and ends when it is stopped; stallLimitMs
// (0: the system's) bounds the wait for each piece of the answer.
bool DownloadToMemory(const std::wstring& url, std::vector<unsigned char>& bytes, size_t limit,
                      TransferControl* control = nullptr, DWORD stallLimitMs = 0);
// True for the HTTP status codes that carry the resource (2xx).
bool IsSuccessStatus(DWORD status);
// The read loop of a download: chunks of 4096 bytes from read (false: the transfer broke) until it
// gives 0 bytes. False, and bytes empty, on a broken transfer, nothing at all, or more than limit.
using BodyReader = std::function<bool(unsigned char* into, DWORD size, DWORD& read)>;
bool ReadWholeBody(const BodyReader& read, std::vector<unsigned char>& bytes, size_t limit);
std::wstring Utf8ToUtf16(const unsigned char* bytes, size_t count);

struct SignatureCheck
{
    LONG status = 0;     // WinVerifyTrust's answer
    DWORD lastError = 0; // the thread's last error right after it
    std::wstring signer; // the signing certificate's common name, when the status is 0
    std::wstring organisation; // and its organisation
};
// Tests the Authenticode signature of the file open as `file` (path names the same file).
SignatureCheck CheckFileSignature(const std::wstring& path, HANDLE file);
// True when the certificate's common name or organisation is the maker's name.
bool SignerMatches(const SignatureCheck& check, const std::wstring& signerName);
// The reason shown to the user for a WinVerifyTrust status.
std::wstring SignatureResultText(LONG status, DWORD lastError);
// The warning text (string 117 around the reason).
std::wstring SignatureWarningText(LONG status, DWORD lastError);
// A string of the program's string table, or "ERROR" when it cannot be loaded.
std::wstring LoadResourceString(UINT id);
