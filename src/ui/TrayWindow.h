#pragma once
// The hidden tray window: notification icon, context menu, update balloon and the switchboard of
// the program's private messages.

// Registers the class, creates the window and adds the icon; always true.
bool CreateTrayWindow();
void RemoveTrayIcon();
