#pragma once
// The end of the resident run, apart from the entry point so that tests run the very loop it runs.

// Turns the message loop until WM_QUIT, then deletes the notification icon: the tray window may
// still exist then (Exit in its menu only quits the loop). Returns the run's exit code, 0.
int RunResidentLoop();
