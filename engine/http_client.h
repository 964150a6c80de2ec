// One synchronous WinHTTP GET at a time, streamed to a sink.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <functional>
#include <string>

// Takes a received chunk (1 to 65,536 bytes); false stops the transfer.
using BodySink = std::function<bool(const char *data, uint64_t size)>;

// A WinHTTP session with the program's user agent and time-outs, or null.
HINTERNET openSession();

// GETs url and hands the body to sink. True for status 200 with the whole
// body taken; false with a message in err otherwise (err is left as it
// was on success).
[[nodiscard]] bool httpGet(HINTERNET session, const std::wstring &url, const BodySink &sink,
                           std::string &err, bool noCache);
