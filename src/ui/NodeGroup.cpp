#include "ui/NodeGroup.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <cwchar>

#include "app/Handles.h"
#include "ui/CoreGraphLayout.h"

static_assert(sizeof(void*) != 8 || sizeof(TOOLINFOW) == 72, "the tool record carries every field up to lpReserved");

namespace
{
HINSTANCE ThisModule()
{
    return ::GetModuleHandleW(nullptr);
}

void FillWith(HDC dc, const RECT& rect, HBRUSH brush)
{
    if (brush != nullptr)
        ::FillRect(dc, &rect, brush);
}

void FrameWith(HDC dc, const RECT& rect, HBRUSH brush)
{
    if (brush != nullptr)
        ::FrameRect(dc, &rect, brush);
}
} // namespace

void DrawBar(HDC dc, const RECT& rect, const BarLook& look, const GroupBrushes& brushes, const MarkerImage& marker)
{
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (look.parked)
    {
        FillWith(dc, rect, brushes.parkedFill);
        FrameWith(dc, rect, brushes.frame);
    }
    else
    {
        FillWith(dc, rect, brushes.barBackground);
        FrameWith(dc, rect, brushes.frame);
        if (rect.bottom - 1 > rect.top + 1 && rect.right - 1 > rect.left + 1)
        {
            // The fill covers the bottom frame line: a full bar leaves only the top frame line and
            // one background row.
            const int fill = LoadFillHeight(look.low, look.high, look.position, height);
            const RECT filled{rect.left + 1, rect.bottom - fill, rect.right - 1, rect.bottom};
            if (fill > 0)
                FillWith(dc, filled, brushes.loadFill);
        }
    }

    const int drawWidth = marker.drawWidth > 0 ? marker.drawWidth : marker.width;
    const int drawHeight = marker.drawHeight > 0 ? marker.drawHeight : marker.height;
    if (look.efficient && marker.bitmap != nullptr && marker.width > 0 && marker.height > 0 && drawWidth < width &&
        drawHeight < height)
    {
        UniqueMemoryDc markerDc(::CreateCompatibleDC(dc));
        if (!markerDc)
            return;
        SelectObjectRestorer selected(markerDc.Get(), marker.bitmap);
        // AND keeps the bar where the marker is white.
        const DWORD mode = marker.andMode ? SRCAND : SRCCOPY;
        const int left = rect.left + (width - drawWidth) / 2;
        const int top = rect.top + (height - drawHeight) / 2;
        if (drawWidth == marker.width && drawHeight == marker.height)
        {
            ::BitBlt(dc, left, top, drawWidth, drawHeight, markerDc.Get(), 0, 0, mode);
        }
        else
        {
            // Whole pixels of a two-colour image: no blending that would grey the AND mask.
            const int oldMode = ::SetStretchBltMode(dc, COLORONCOLOR);
            ::StretchBlt(dc, left, top, drawWidth, drawHeight, markerDc.Get(), 0, 0, marker.width, marker.height, mode);
            ::SetStretchBltMode(dc, oldMode);
        }
    }
}

NodeGroup::NodeGroup(std::wstring parkedLabel, std::wstring efficientLabel)
    : parkedLabel_(std::move(parkedLabel)), efficientLabel_(std::move(efficientLabel))
{
}

NodeGroup::~NodeGroup()
{
    // The windows may outlive the group (a rebuilt graph whose old windows were not destroyed);
    // their procedures must not reach a freed group.
    for (size_t i = 0; i < bars_.size(); ++i)
    {
        DropTooltip(i);
        if (bars_[i] != nullptr && ::IsWindow(bars_[i]))
            ::RemoveWindowSubclass(bars_[i], BarProc, BarSubclassId);
    }
    if (box_ != nullptr && ::IsWindow(box_))
        ::RemoveWindowSubclass(box_, BoxProc, BoxSubclassId);
}

bool NodeGroup::Create(HWND parent, DWORD count, const std::wstring& title, const GroupBrushes& brushes, HFONT font)
{
    std::lock_guard<std::mutex> creation(creationLock_);
    parent_ = parent;
    brushes_ = brushes;
    box_ = ::CreateWindowExW(0, L"Button", title.c_str(), WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | BS_GROUPBOX, 0, 0,
                             0, 0, parent, nullptr, ThisModule(), nullptr);
    if (box_ == nullptr)
        return false;
    // Without visual styles the box takes the colours the graph hands out.
    ::SetWindowTheme(box_, L"", L"");
    // A child made by hand draws in the system font, taller than the dialog's at high DPI.
    if (font != nullptr)
        ::SendMessageW(box_, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    {
        const WindowDc dc(box_);
        if (dc.Get() != nullptr)
        {
            const auto boxFont = reinterpret_cast<HFONT>(::SendMessageW(box_, WM_GETFONT, 0, 0));
            const SelectObjectRestorer selected(dc.Get(), boxFont != nullptr ? boxFont : ::GetStockObject(SYSTEM_FONT));
            TEXTMETRICW metrics{};
            dpi_ = ::GetDeviceCaps(dc.Get(), LOGPIXELSY);
            insets_ = InsetsFor(dpi_, ::GetTextMetricsW(dc.Get(), &metrics) ? metrics.tmHeight : 0);
        }
    }
    ::SetWindowSubclass(box_, BoxProc, BoxSubclassId, reinterpret_cast<DWORD_PTR>(this));
    for (DWORD i = 0; i < count; ++i)
        AddBar();
    for (HWND bar : bars_)
        ::SetWindowSubclass(bar, BarProc, BarSubclassId, reinterpret_cast<DWORD_PTR>(this));
    return true;
}

int NodeGroup::AddBar()
{
    if (box_ == nullptr)
        return -1;
    HWND bar = ::CreateWindowExW(WS_EX_CONTROLPARENT, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_VERTICAL, 0,
                                 0, 0, 0, box_, nullptr, ThisModule(), nullptr);
    if (bar == nullptr)
        return -1;
    ::ShowWindow(bar, SW_HIDE);
    ::SetWindowPos(bar, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOOWNERZORDER);

    HWND tooltip =
        ::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, box_, nullptr, ThisModule(), nullptr);
    if (tooltip != nullptr)
    {
        // The text is asked for at display time (TTN_GETDISPINFOW to the box), so it follows the
        // bar's parked state.
        TOOLINFOW tool{};
        tool.cbSize = sizeof(tool);
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = box_;
        tool.uId = reinterpret_cast<UINT_PTR>(bar);
        tool.lpszText = LPSTR_TEXTCALLBACKW;
        ::SendMessageW(tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }

    const size_t index = bars_.size();
    unparked_.push_back(true);
    bars_.push_back(bar);
    tooltips_.push_back(tooltip);
    barIndex_[bar] = index;
    {
        std::lock_guard<std::mutex> state(stateLock_);
        shownLoads_.push_back(0);
        efficient_.push_back(false);
    }
    return static_cast<int>(index);
}

bool NodeGroup::Layout(int x, int width, int height)
{
    if (box_ == nullptr)
        return false;
    ::ShowWindow(box_, GroupBoxVisible(x, width, height) ? SW_SHOWNORMAL : SW_HIDE);
    ::SetWindowPos(box_, nullptr, x, 0, width, height, SWP_NOZORDER);
    if (bars_.empty())
        return false;

    RECT client{};
    ::GetClientRect(box_, &client);
    const std::vector<BarPlacement> placements =
        LayoutBars(bars_.size(), client.right - client.left, height, insets_);
    for (size_t i = 0; i < bars_.size(); ++i)
    {
        if (bars_[i] == nullptr)
            continue;
        const BarPlacement& place = placements[i];
        ::ShowWindow(bars_[i], place.visible ? SW_SHOWNORMAL : SW_HIDE);
        ::SetWindowPos(bars_[i], nullptr, place.left, place.top, place.width, place.height, SWP_NOZORDER);
    }
    return true;
}

// Hide and Show touch no guarded state, and a window call made under the state lock could come
// back into a procedure that takes it; so neither holds the lock.
void NodeGroup::Hide()
{
    for (HWND bar : bars_)
        if (bar != nullptr)
            ::ShowWindow(bar, SW_HIDE);
    if (box_ != nullptr)
        ::ShowWindow(box_, SW_HIDE);
}

void NodeGroup::Show()
{
    for (HWND bar : bars_)
        if (bar != nullptr)
            ::ShowWindow(bar, SW_SHOWNORMAL);
    if (box_ != nullptr)
        ::ShowWindow(box_, SW_SHOWNORMAL);
}

void NodeGroup::SetLoad(size_t index, LONG value)
{
    std::lock_guard<std::mutex> state(stateLock_);
    if (index >= bars_.size() || bars_[index] == nullptr || shownLoads_[index] == value)
        return;
    // Posted: a changed load costs one queued message and one repaint, never a synchronous redraw.
    if (::PostMessageW(bars_[index], PBM_SETPOS, static_cast<WPARAM>(value), 0))
        shownLoads_[index] = value;
}

void NodeGroup::MarkUnparked(size_t index)
{
    if (!IsKnownBar(index) || unparked_[index])
        return;
    unparked_[index] = true;
    ::SendMessageW(bars_[index], PBM_SETSTATE, PBST_NORMAL, 0);
    ::RedrawWindow(bars_[index], nullptr, nullptr, RDW_INVALIDATE);
}

void NodeGroup::MarkParked(size_t index)
{
    if (!IsKnownBar(index) || !unparked_[index])
        return;
    SetLoad(index, 0);
    unparked_[index] = false;
    ::SendMessageW(bars_[index], PBM_SETSTATE, PBST_ERROR, 0);
    ::RedrawWindow(bars_[index], nullptr, nullptr, RDW_INVALIDATE);
}

bool NodeGroup::IsEfficient(HWND bar) const
{
    const auto found = barIndex_.find(bar);
    if (found == barIndex_.end())
        return false;
    return IsEfficientAt(found->second);
}

size_t NodeGroup::BarCount() const
{
    return bars_.size();
}

HWND NodeGroup::Bar(size_t index) const
{
    return index < bars_.size() ? bars_[index] : nullptr;
}

HWND NodeGroup::Box() const
{
    return box_;
}

bool NodeGroup::IsEfficientAt(size_t index) const
{
    std::lock_guard<std::mutex> state(stateLock_);
    return index < efficient_.size() && efficient_[index];
}

void NodeGroup::SetEfficient(size_t index, bool efficient)
{
    std::lock_guard<std::mutex> state(stateLock_);
    if (index < efficient_.size())
        efficient_[index] = efficient;
}

LONG NodeGroup::ShownLoad(size_t index) const
{
    std::lock_guard<std::mutex> state(stateLock_);
    return index < shownLoads_.size() ? shownLoads_[index] : 0;
}

bool NodeGroup::SetTipText(size_t index, std::wstring text)
{
    if (!IsKnownBar(index))
        return false;
    tipTexts_[bars_[index]] = std::move(text);
    return true;
}

std::wstring NodeGroup::TooltipText(HWND bar) const
{
    const auto tip = tipTexts_.find(bar);
    if (tip == tipTexts_.end())
        return {};
    const auto index = barIndex_.find(bar);
    const bool parked = index == barIndex_.end() || !unparked_[index->second];
    return ComposeTooltip(tip->second, IsEfficient(bar), parked, efficientLabel_, parkedLabel_);
}

void NodeGroup::SetBrushes(const GroupBrushes& brushes)
{
    brushes_ = brushes;
}

void NodeGroup::SetMarker(const MarkerImage& marker)
{
    marker_ = marker;
    marker_.drawWidth = ScaleForDpi(marker.width, dpi_);
    marker_.drawHeight = ScaleForDpi(marker.height, dpi_);
}

GroupInsets NodeGroup::Insets() const
{
    return insets_;
}

bool NodeGroup::IsKnownBar(size_t index) const
{
    return index < bars_.size() && bars_[index] != nullptr;
}

void NodeGroup::ForgetBar(HWND bar)
{
    const auto found = barIndex_.find(bar);
    if (found != barIndex_.end())
    {
        DropTooltip(found->second);
        bars_[found->second] = nullptr;
        barIndex_.erase(found);
    }
    tipTexts_.erase(bar);
}

void NodeGroup::DropTooltip(size_t index)
{
    // A tooltip is a popup, owned by the top-level window and not by the box, so the box's end does
    // not take it along: only the end of the main window would. It goes with its bar instead.
    if (index >= tooltips_.size() || tooltips_[index] == nullptr)
        return;
    if (::IsWindow(tooltips_[index]))
        ::DestroyWindow(tooltips_[index]);
    tooltips_[index] = nullptr;
}

void NodeGroup::PaintBar(HWND bar, HDC target) const
{
    RECT rect{};
    ::GetClientRect(bar, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (target == nullptr || width <= 0 || height <= 0)
        return;

    BarLook look;
    // The parked state comes from the group's own flag, which the control's state mirrors: not every
    // progress control keeps PBST_ERROR (Wine's answers PBM_GETSTATE with PBST_NORMAL regardless).
    const auto index = barIndex_.find(bar);
    look.parked = index != barIndex_.end() && !unparked_[index->second];
    PBRANGE range{};
    ::SendMessageW(bar, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    look.low = range.iLow;
    look.high = range.iHigh;
    look.position = static_cast<int>(::SendMessageW(bar, PBM_GETPOS, 0, 0));
    look.efficient = IsEfficient(bar);

    // Drawn off screen and copied in one go, so the once-a-second updates do not flicker.
    UniqueMemoryDc memory(::CreateCompatibleDC(target));
    UniqueGdiObject bitmap(::CreateCompatibleBitmap(target, width, height));
    if (!memory || !bitmap)
        return;
    SelectObjectRestorer selected(memory.Get(), bitmap.Get());
    DrawBar(memory.Get(), rect, look, brushes_, marker_);
    ::BitBlt(target, 0, 0, width, height, memory.Get(), 0, 0, SRCCOPY);
}

LRESULT CALLBACK NodeGroup::BoxProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR data) noexcept
{
    auto* group = reinterpret_cast<NodeGroup*>(data);
    switch (message)
    {
    case WM_ERASEBKGND:
        if (group->brushes_.groupBackground != nullptr)
        {
            RECT client{};
            ::GetClientRect(window, &client);
            ::FillRect(reinterpret_cast<HDC>(wParam), &client, group->brushes_.groupBackground);
            return 1;
        }
        break;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header == nullptr || header->code != TTN_GETDISPINFOW)
            break;
        auto* info = reinterpret_cast<NMTTDISPINFOW*>(lParam);
        // Line breaks in the text take effect only with a maximum width.
        ::SendMessageW(header->hwndFrom, TTM_SETMAXTIPWIDTH, 0, 150);
        std::wstring text;
        try
        {
            text = group->TooltipText(reinterpret_cast<HWND>(header->idFrom));
        }
        catch (...)
        {
            text.clear();
        }
        const size_t length = text.size() < TipBufferChars ? text.size() : TipBufferChars - 1;
        std::wmemcpy(info->szText, text.c_str(), length);
        info->szText[length] = L'\0';
        info->lpszText = info->szText;
        info->hinst = nullptr;
        return 0;
    }
    case WM_DESTROY:
        ::RemoveWindowSubclass(window, BoxProc, id);
        group->box_ = nullptr;
        break;
    default:
        break;
    }
    return ::DefSubclassProc(window, message, wParam, lParam);
}

LRESULT CALLBACK NodeGroup::BarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR data) noexcept
{
    auto* group = reinterpret_cast<NodeGroup*>(data);
    switch (message)
    {
    case WM_ERASEBKGND:
        return 0; // the paint covers every pixel
    case WM_PAINT: {
        PaintDc paint(window);
        group->PaintBar(window, paint.Get());
        return 0;
    }
    case WM_PRINTCLIENT:
        group->PaintBar(window, reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_NCDESTROY:
        ::RemoveWindowSubclass(window, BarProc, id);
        group->ForgetBar(window);
        break;
    default:
        break;
    }
    return ::DefSubclassProc(window, message, wParam, lParam);
}
