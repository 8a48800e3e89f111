#pragma once
// The main window (dialog 101) and its Add New Entry and About dialogs.

#include <windows.h>

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
