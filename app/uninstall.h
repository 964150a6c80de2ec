// Removing the installed game.
#pragma once

#include <filesystem>

// True when a's text is longer than b's, so that sorting with it puts every
// folder before its parents.
bool longerPathFirst(const std::filesystem::path &a, const std::filesystem::path &b);
