#include "ui/ResourceText.h"

#include <iterator>

#include "app/Globals.h"

std::wstring LoadResourceString(UINT id)
{
    wchar_t buffer[1024] = {};
    if (::LoadStringW(ModuleInstance, id, buffer, static_cast<int>(std::size(buffer))) <= 0)
        return L"ERROR";
    return buffer;
}
