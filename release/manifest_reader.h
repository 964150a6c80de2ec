// Internal to the release module: the manifest reader shared by parseRelease
// and verifyRelease.
#pragma once

#include <string>
#include <string_view>

#include "release.h"

// Reads manifest text into out (reset first). False with one message in err
// when a line is refused; out then keeps what the lines before it gave.
[[nodiscard]] bool parseReleaseText(std::string_view text, Release &out, std::string &err);
