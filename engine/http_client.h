// One WinHTTP GET at a time, streamed to a sink.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <array>
#include <chrono>
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

// Tells when a transfer has stalled under its limits, from the bytes it was
// given and when. Times count from the request's start, so the wait for the
// headers is part of the first stretch; the caller leaves out time it spent
// itself (writing to disk). Bytes are counted in buckets of a fixed fraction
// of the stretch: a stall is called only when the last whole stretch of
// buckets brought too little, so never unless some stretch of
// stallMilliseconds did, and always once a stretch one bucket longer did.
class StallRule {
public:
    using Time = std::chrono::steady_clock::duration;

    explicit StallRule(const TransferLimits &limits);

    // Counts bytes that arrived at the time at, which never goes back.
    void received(uint64_t bytes, Time at);

    // True when the stretch that ended at the last bucket edge before now
    // brought fewer bytes than the limits ask for.
    [[nodiscard]] bool stalled(Time now) const;

    // One bucket: how often the rule is worth asking.
    Time step() const { return width_; }

private:
    static constexpr int64_t Buckets = 60;

    Time width_;
    uint64_t stretchBytes_;
    int64_t newest_ = 0; // the latest bucket that counted bytes
    std::array<uint64_t, Buckets + 1> counts_{}; // bucket k at k % (Buckets + 1)
};

// A WinHTTP session with the program's user agent and time-outs, or null.
HINTERNET openSession();

// GETs url and hands the body to sink on the calling thread. True for status
// 200 with the whole body taken; false with a message in err otherwise (err
// is left as it was on success). An address with a user name, a password, a
// query or a fragment is refused as bad before anything is sent. A transfer that stalls under
// installer.transferLimits fails with "the connection stalled"; one that
// installer.cancel stops fails with "stopped", at once even while the server
// keeps it waiting.
[[nodiscard]] bool httpGet(HINTERNET session, const std::wstring &url, const BodySink &sink,
                           std::string &err, bool noCache);
