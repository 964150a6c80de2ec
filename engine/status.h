// Publishing what the window shows.
#pragma once

#include <string>

// Stores title, detail and fraction for the window, logs the status and asks
// for a repaint. A negative fraction hides the progress bar.
void setStatus(const std::wstring &title, const std::wstring &detail, double fraction);
