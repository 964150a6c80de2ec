// The controller between the window and the install engine: the phases of a
// window run, what the two buttons do in each, and the worker threads that
// run the check and the install.
#pragma once

#include <windows.h>

#include <string>

// Posted by a worker to hand the next step of an unattended run back to the
// window thread.
inline constexpr UINT WM_APP_START_APPLY = WM_APP + 1;
inline constexpr UINT WM_APP_PLAY = WM_APP + 2;
inline constexpr UINT WM_APP_CLOSE = WM_APP + 3;

// Shows the window's questions and warnings; MessageBoxW unless a test
// answers in the user's place.
extern int (WINAPI *showMessageBox)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style);

// Publishes the two button labels (empty: no button) and asks for a repaint.
// Callable from any thread.
void setButtons(const std::wstring &primary, const std::wstring &secondary);

// Asks the window, when there is one, to repaint; the window road's notify.
void requestRepaint();

// Joins the previous worker and starts a check on a new one. Window thread only.
void startCheck();

// Joins the previous worker and starts an install of what the last check
// found needed. Window thread only.
void startApply();

// Body of the check worker: runs the check and publishes its outcome.
void runCheck();

// Body of the install worker: runs the install and publishes its outcome.
void runApply();

// The primary button or Enter: what it does depends on the phase.
void pressPrimary();

// The secondary button, Esc or the close box: closes the window, or stops the
// running check or (after asking) the running install.
void requestClose();
