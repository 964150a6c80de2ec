// One drawn push button of the setup window.
#pragma once

#include <windows.h>

#include <string>

struct Button {
    RECT rect{};
    std::wstring label; // empty: the button is absent, neither drawn nor hit
    bool hot = false;
};
