// The four roads of the setup program, each returning the process exit code.
#pragma once

#include <windows.h>

// Removes the installed game (after a confirmation unless quiet).
int runUninstall();

// Checks and installs without a window.
int runQuiet();

// The setup window with its message loop; holds the snapshot road.
int runWindowRoad(HINSTANCE instance, int showCommand);
