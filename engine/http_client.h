// One WinHTTP GET at a time, streamed to a sink.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <functional>
#include <string>

// Takes a received chunk (1 to 65,536 bytes); false stops the transfer.
using BodySink = std::function<bool(const char *data, uint64_t size)>;

// How slow a transfer may be before it counts as stalled: fewer than
// minBytesPerSecond on average over any stretch of stallMilliseconds (with
// nothing at all arriving as the extreme case), headers included.
struct TransferLimits {
    uint32_t stallMilliseconds = 60000;
    uint32_t minBytesPerSecond = 1024;
};

// A WinHTTP session with the program's user agent and time-outs, or null.
HINTERNET openSession();

// GETs url and hands the body to sink on the calling thread. True for status
// 200 with the whole body taken; false with a message in err otherwise (err
// is left as it was on success). A transfer that stalls under
// installer.transferLimits fails with "the connection stalled"; one that
// installer.cancel stops fails with "stopped", at once even while the server
// keeps it waiting.
[[nodiscard]] bool httpGet(HINTERNET session, const std::wstring &url, const BodySink &sink,
                           std::string &err, bool noCache);
