#pragma once
// Small owning wrappers for Win32 handles: one type per kind of handle, each with its empty value,
// move-only, released on every path.

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wininet.h>

#include <utility>

template <typename Traits> class UniqueResource
{
  public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : value_(value)
    {
    }
    ~UniqueResource()
    {
        Reset();
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.Release())
    {
    }
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    [[nodiscard]] Type Get() const noexcept
    {
        return value_;
    }
    [[nodiscard]] bool IsValid() const noexcept
    {
        return value_ != Traits::Empty();
    }
    explicit operator bool() const noexcept
    {
        return IsValid();
    }
    void Reset(Type value = Traits::Empty()) noexcept
    {
        Type old = std::exchange(value_, value);
        if (old != Traits::Empty())
            Traits::Close(old);
    }
    [[nodiscard]] Type Release() noexcept
    {
        return std::exchange(value_, Traits::Empty());
    }
    // For out-parameters of APIs that create the resource.
    Type* Put() noexcept
    {
        Reset();
        return &value_;
    }

  private:
    Type value_ = Traits::Empty();
};

struct KernelHandleTraits
{
    using Type = HANDLE;
    static Type Empty() noexcept
    {
        return nullptr;
    }
    static void Close(Type h) noexcept
    {
        ::CloseHandle(h);
    }
};

// Files and Toolhelp snapshots report failure as INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits
{
    using Type = HANDLE;
    static Type Empty() noexcept
    {
        return INVALID_HANDLE_VALUE;
    }
    static void Close(Type h) noexcept
    {
        ::CloseHandle(h);
    }
};

struct RegKeyTraits
{
    using Type = HKEY;
    static Type Empty() noexcept
    {
        return nullptr;
    }
    static void Close(Type h) noexcept
    {
        ::RegCloseKey(h);
    }
};

struct GdiObjectTraits
{
    using Type = HGDIOBJ;
    static Type Empty() noexcept
    {
        return nullptr;
    }
    static void Close(Type h) noexcept
    {
        ::DeleteObject(h);
    }
};

struct MemoryDcTraits
{
    using Type = HDC;
    static Type Empty() noexcept
    {
        return nullptr;
    }
    static void Close(Type h) noexcept
    {
        ::DeleteDC(h);
    }
};

struct MenuTraits
{
    using Type = HMENU;
    static Type Empty() noexcept
    {
        return nullptr;
    }
    static void Close(Type h) noexcept
    {
        ::DestroyMenu(h);
    }
};

struct CoTaskMemTraits
{
    using Type = void*;
    static Type Empty() noexcept
    {
        return nullptr;
    }
    static void Close(Type p) noexcept
    {
        ::CoTaskMemFree(p);
    }
};

struct BstrTraits
{
    using Type = BSTR;
    static Type Empty() noexcept
    {
        return nullptr;
    }
    static void Close(Type s) noexcept
    {
        ::SysFreeString(s);
    }
};

struct IconTraits
{
    using Type = HICON;
    static Type Empty() noexcept
    {
        return nullptr;
    }
    static void Close(Type h) noexcept
    {
        ::DestroyIcon(h);
    }
};

struct InternetHandleTraits
{
    using Type = HINTERNET;
    static Type Empty() noexcept
    {
        return nullptr;
    }
    static void Close(Type h) noexcept
    {
        ::InternetCloseHandle(h);
    }
};

// FindFirstFileW results: INVALID_HANDLE_VALUE when empty, closed with FindClose.
struct FindTraits
{
    using Type = HANDLE;
    static Type Empty() noexcept
    {
        return INVALID_HANDLE_VALUE;
    }
    static void Close(Type h) noexcept
    {
        ::FindClose(h);
    }
};

// LocalAlloc results handed out by the system (security descriptors, SID strings).
struct LocalMemTraits
{
    using Type = HLOCAL;
    static Type Empty() noexcept
    {
        return nullptr;
    }
    static void Close(Type p) noexcept
    {
        ::LocalFree(p);
    }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;   // events, processes, threads
using UniqueFile = UniqueResource<FileHandleTraits>;       // CreateFileW results
using UniqueSnapshot = UniqueResource<FileHandleTraits>;   // CreateToolhelp32Snapshot results
using UniqueHKey = UniqueResource<RegKeyTraits>;
using UniqueGdiObject = UniqueResource<GdiObjectTraits>;   // brushes, bitmaps, fonts
using UniqueMemoryDc = UniqueResource<MemoryDcTraits>;     // CreateCompatibleDC results
using UniqueMenu = UniqueResource<MenuTraits>;
using UniqueCoTaskMem = UniqueResource<CoTaskMemTraits>;
using UniqueBstr = UniqueResource<BstrTraits>;              // SysAllocString results
using UniqueIcon = UniqueResource<IconTraits>;              // LoadImageW icons without LR_SHARED
using UniqueInternet = UniqueResource<InternetHandleTraits>; // WinINet sessions and requests
using UniqueFind = UniqueResource<FindTraits>;             // FindFirstFileW results
using UniqueLocalMem = UniqueResource<LocalMemTraits>;     // LocalAlloc results of the system

// Puts an object back into a device context when it goes out of scope.
class SelectObjectRestorer
{
  public:
    SelectObjectRestorer(HDC dc, HGDIOBJ object) noexcept : dc_(dc), old_(::SelectObject(dc, object))
    {
    }
    ~SelectObjectRestorer()
    {
        if (old_ != nullptr && old_ != HGDI_ERROR)
            ::SelectObject(dc_, old_);
    }
    SelectObjectRestorer(const SelectObjectRestorer&) = delete;
    SelectObjectRestorer& operator=(const SelectObjectRestorer&) = delete;

  private:
    HDC dc_;
    HGDIOBJ old_;
};

// A window's device context from GetDC, released with ReleaseDC.
class WindowDc
{
  public:
    explicit WindowDc(HWND window) noexcept : window_(window), dc_(::GetDC(window))
    {
    }
    ~WindowDc()
    {
        if (dc_ != nullptr)
            ::ReleaseDC(window_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    [[nodiscard]] HDC Get() const noexcept
    {
        return dc_;
    }

  private:
    HWND window_;
    HDC dc_;
};

// BeginPaint/EndPaint as a pair.
class PaintDc
{
  public:
    explicit PaintDc(HWND window) noexcept : window_(window)
    {
        dc_ = ::BeginPaint(window, &paint_);
    }
    ~PaintDc()
    {
        ::EndPaint(window_, &paint_);
    }
    PaintDc(const PaintDc&) = delete;
    PaintDc& operator=(const PaintDc&) = delete;
    [[nodiscard]] HDC Get() const noexcept
    {
        return dc_;
    }
    [[nodiscard]] const PAINTSTRUCT& Paint() const noexcept
    {
        return paint_;
    }

  private:
    HWND window_;
    PAINTSTRUCT paint_{};
    HDC dc_ = nullptr;
};

// A VARIANT cleared with VariantClear (which frees a BSTR or releases an interface it holds).
class OwnedVariant
{
  public:
    OwnedVariant() noexcept
    {
        ::VariantInit(&value_);
    }
    ~OwnedVariant()
    {
        ::VariantClear(&value_);
    }
    OwnedVariant(const OwnedVariant&) = delete;
    OwnedVariant& operator=(const OwnedVariant&) = delete;

    // A VT_BSTR variant holding a copy of text; false when the copy cannot be allocated.
    [[nodiscard]] bool SetString(const wchar_t* text) noexcept
    {
        ::VariantClear(&value_);
        const BSTR copy = ::SysAllocString(text);
        if (copy == nullptr)
            return false;
        value_.vt = VT_BSTR;
        value_.bstrVal = copy;
        return true;
    }
    [[nodiscard]] const VARIANT& Get() const noexcept
    {
        return value_;
    }

  private:
    VARIANT value_;
};

// copy becomes a handle of this process's own to handle, for a thread that waits on it while the
// original may be closed under it (at process exit); a null handle gives a null copy. False only when
// a real handle cannot be duplicated.
[[nodiscard]] inline bool DuplicateOwnHandle(HANDLE handle, UniqueHandle& copy) noexcept
{
    if (handle == nullptr)
        return true;
    const HANDLE process = ::GetCurrentProcess();
    return ::DuplicateHandle(process, handle, process, copy.Put(), 0, FALSE, DUPLICATE_SAME_ACCESS) != FALSE;
}

// COM on the calling thread for the lifetime of the object; CoUninitialize only after a successful
// CoInitializeEx (a thread already in another apartment model gets RPC_E_CHANGED_MODE).
class ComApartment
{
  public:
    explicit ComApartment(DWORD model = COINIT_MULTITHREADED) noexcept
        : initialised_(SUCCEEDED(::CoInitializeEx(nullptr, model)))
    {
    }
    ~ComApartment()
    {
        if (initialised_)
            ::CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    [[nodiscard]] bool IsInitialised() const noexcept
    {
        return initialised_;
    }

  private:
    bool initialised_;
};
