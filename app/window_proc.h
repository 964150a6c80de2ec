// The setup window's procedure: input, hover, cursor, layout, paint and the
// workers' private messages.
#pragma once

#include <windows.h>

// The procedure of the setup window's class. Window thread only.
LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
