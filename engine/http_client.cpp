#include "engine/http_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cwchar>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/handles.h"
#include "engine/helpers.h"
#include "engine/installer.h"

namespace {

constexpr wchar_t UserAgent[] = L"QuillmarrowDunmirSetup/1";
constexpr DWORD ReadBufferSize = 65536;
constexpr DWORD HostBufferSize = 256;
constexpr DWORD PathBufferSize = 4096;

// A query or a fragment would swallow the names appended to the base URL.
// '?' and '#' mean nothing else in an address, so either one anywhere marks
// one; the text is looked at because Wine's WinHttpCrackUrl leaves a '#' in
// the path, and a '?' right after the port in no part at all.
bool hasQueryOrFragment(const std::wstring &url)
{
    return url.find_first_of(L"?#") != std::wstring::npos;
}

std::string unreachable(const std::wstring &host, DWORD error)
{
    return "could not reach " + wideToUtf8(host) + " (error " + std::to_string(error) + ")";
}

// The body length that the answer announces, when it has one. WinHTTP as Wine
// implements it ends a body quietly when the connection closes before that
// length, and hands over bytes that follow it; counting against the length
// keeps a cut or overlong body from passing as whole. A transfer coding
// overrides the length.
bool announcedLength(HINTERNET request, uint64_t &length)
{
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text,
                             &size, WINHTTP_NO_HEADER_INDEX))
        return false;
    wchar_t coding[64] = {};
    DWORD codingSize = sizeof coding;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX,
                            coding, &codingSize, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        return false;
    wchar_t *end = nullptr;
    errno = 0;
    length = _wcstoui64(text, &end, 10);
    return end != text && *end == L'\0' && errno == 0;
}

// One GET, run on a thread of its own so that the caller can give up on
// it. The session's time-outs bound one wait for data, not a transfer, so a
// server that drips a byte now and then holds a request for as long as it
// likes. Wine 8 applies the receive time-out only to reads of the body (a
// read that waits that long fails with WSAETIMEDOUT, which ends the
// transfer as "the connection dropped"); it reads the answer's head inside
// WinHttpSendRequest with no time-out at all, so a server that never
// answers holds that call without end. The caller closes the request
// handle to end a blocked call (Windows then fails it at once); a transfer
// that does not end that way is left to finish on its own and owns
// everything it still touches through this shared state.
struct Transfer {
    HINTERNET session = nullptr;
    std::wstring host;
    std::wstring path;
    INTERNET_PORT port = 0;
    DWORD flags = 0;
    bool noCache = false;

    SlimLock mutex;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    // Guarded by mutex:
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    bool abandoned = false;     // the caller returned; nothing more is handed over
    bool requestClosed = false; // closed by the caller to end a blocked call
    uint64_t chunk = 0;         // bytes in buffer waiting for the caller, 0: none
    bool done = false;
    bool ok = false;
    bool sinkStopped = false;
    std::string message;
    std::unique_ptr<char[]> buffer;
};

enum class Step { go, stop };

// Ends a call that is blocked in WinHTTP. The handle is closed once only,
// by whichever side gets to it first, always under the mutex.
void abandon(Transfer &t)
{
    t.abandoned = true;
    if (t.request && !t.requestClosed) {
        WinHttpCloseHandle(t.request);
        t.requestClosed = true;
    }
    WakeAllConditionVariable(&t.changed);
}

bool stillWanted(Transfer &t)
{
    std::lock_guard lock(t.mutex);
    return !t.abandoned;
}

void finish(Transfer &t, bool ok, std::string message)
{
    std::lock_guard lock(t.mutex);
    t.done = true;
    t.ok = ok;
    t.message = std::move(message);
    if (t.request && !t.requestClosed) {
        WinHttpCloseHandle(t.request);
        t.requestClosed = true;
    }
    if (t.connection) WinHttpCloseHandle(t.connection);
    t.connection = nullptr;
    WakeAllConditionVariable(&t.changed);
}

// Hands one chunk to the caller and waits until it has been taken.
Step deliver(Transfer &t, uint64_t size)
{
    std::lock_guard lock(t.mutex);
    t.chunk = size;
    WakeAllConditionVariable(&t.changed);
    while (t.chunk != 0 && !t.abandoned)
        SleepConditionVariableSRW(&t.changed, t.mutex.get(), INFINITE, 0);
    return t.abandoned || t.sinkStopped ? Step::stop : Step::go;
}

void runTransfer(const std::shared_ptr<Transfer> &shared)
{
    Transfer &t = *shared;
    HINTERNET connection = WinHttpConnect(t.session, t.host.c_str(), t.port, 0);
    if (!connection) return finish(t, false, "could not reach " + wideToUtf8(t.host));
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", t.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, t.flags);
    {
        std::lock_guard lock(t.mutex);
        t.connection = connection;
        t.request = request;
    }
    if (!request) return finish(t, false, unreachable(t.host, GetLastError()));

    const wchar_t *headers = t.noCache ? L"Cache-Control: no-cache\r\n" : WINHTTP_NO_ADDITIONAL_HEADERS;
    const DWORD headersLength = t.noCache ? static_cast<DWORD>(-1) : 0;
    if (!stillWanted(t)) return finish(t, false, "");
    if (!WinHttpSendRequest(request, headers, headersLength, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr))
        return finish(t, false, unreachable(t.host, GetLastError()));
    if (!stillWanted(t)) return finish(t, false, "");

    // A failed query leaves 0, which is refused like any other status.
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    (void)WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
    if (status != 200)
        return finish(t, false, "the server answered " + std::to_string(status) + " for " + wideToUtf8(t.path));

    uint64_t announced = 0;
    const bool counted = announcedLength(request, announced);
    uint64_t received = 0;
    // The data ran out: whole unless it fell short of the announced length.
    const auto ended = [&] { return counted ? finish(t, false, "the connection dropped") : finish(t, true, ""); };
    t.buffer = std::make_unique<char[]>(ReadBufferSize);
    for (;;) {
        if (counted && received == announced) return finish(t, true, "");
        DWORD available = 0;
        DWORD read = 0;
        if (!stillWanted(t)) return finish(t, false, "");
        if (!WinHttpQueryDataAvailable(request, &available)) return finish(t, false, "the connection dropped");
        if (available == 0) return ended();
        if (!stillWanted(t)) return finish(t, false, "");
        if (!WinHttpReadData(request, t.buffer.get(), available < ReadBufferSize ? available : ReadBufferSize, &read))
            return finish(t, false, "the connection dropped");
        if (read == 0) return ended();
        const uint64_t taken = counted && read > announced - received ? announced - received : read;
        received += taken;
        if (deliver(t, taken) == Step::stop) return finish(t, false, "");
    }
}

// The threads that run transfers, each kept for the next request once its
// transfer ends: under Wine a new thread costs about a millisecond, as much
// as fetching a small file. A thread left blocked in an abandoned transfer
// is simply not idle, and the next request gets a new one. Never destroyed:
// idle threads wait on it until the process ends.
struct TransferThreads {
    SlimLock mutex;
    CONDITION_VARIABLE posted = CONDITION_VARIABLE_INIT;
    // Guarded by mutex:
    std::deque<std::shared_ptr<Transfer>> waiting;
    size_t idle = 0;
};

TransferThreads &transferThreads()
{
    static TransferThreads *const threads = new TransferThreads;
    return *threads;
}

void serveTransfers(std::shared_ptr<Transfer> transfer)
{
    TransferThreads &threads = transferThreads();
    for (;;) {
        runTransfer(transfer);
        transfer.reset();
        std::lock_guard lock(threads.mutex);
        ++threads.idle;
        while (threads.waiting.empty())
            SleepConditionVariableSRW(&threads.posted, threads.mutex.get(), INFINITE, 0);
        --threads.idle;
        transfer = std::move(threads.waiting.front());
        threads.waiting.pop_front();
    }
}

// False when no thread could be had for the transfer.
bool startTransfer(std::shared_ptr<Transfer> transfer)
{
    TransferThreads &threads = transferThreads();
    {
        std::lock_guard lock(threads.mutex);
        if (threads.idle > threads.waiting.size()) {
            threads.waiting.push_back(std::move(transfer));
            WakeConditionVariable(&threads.posted);
            return true;
        }
    }
    try {
        std::thread(serveTransfers, std::move(transfer)).detach();
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

StallRule::StallRule(const TransferLimits &limits)
    : width_(std::max<Time>(Time(1), (Time(std::chrono::milliseconds(limits.stallMilliseconds)) + Time(Buckets - 1)) /
                                         Buckets)),
      stretchBytes_(uint64_t{limits.minBytesPerSecond} * limits.stallMilliseconds / 1000)
{
}

void StallRule::received(uint64_t bytes, Time at)
{
    const int64_t bucket = std::max<int64_t>(at / width_, newest_);
    // Buckets between the newest and this one saw nothing; their slots may
    // still hold counts of a whole round earlier.
    for (int64_t k = newest_ + 1; k <= bucket && k <= newest_ + Buckets + 1; ++k)
        counts_[static_cast<size_t>(k % (Buckets + 1))] = 0;
    newest_ = bucket;
    counts_[static_cast<size_t>(bucket % (Buckets + 1))] += bytes;
}

bool StallRule::stalled(Time now) const
{
    const int64_t current = now / width_;
    if (current < Buckets)
        return false; // no whole stretch yet
    // The Buckets whole buckets before the current one; those past the
    // newest saw nothing.
    uint64_t sum = 0;
    for (int64_t k = current - Buckets; k < current && k <= newest_; ++k)
        if (k >= newest_ - Buckets)
            sum += counts_[static_cast<size_t>(k % (Buckets + 1))];
    return sum < stretchBytes_;
}

HINTERNET openSession()
{
    HINTERNET session = WinHttpOpen(UserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    // Systems before Windows 8.1 refuse the automatic proxy choice.
    if (!session)
        session = WinHttpOpen(UserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    if (session) (void)WinHttpSetTimeouts(session, 15000, 15000, 30000, 60000);
    return session;
}

bool httpGet(HINTERNET session, const std::wstring &url, const BodySink &sink, std::string &err,
             bool noCache)
{
    if (!session) {
        err = "Windows could not start a web connection";
        return false;
    }

    wchar_t hostBuffer[HostBufferSize] = {};
    wchar_t pathBuffer[PathBufferSize] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = hostBuffer;
    parts.dwHostNameLength = HostBufferSize;
    parts.lpszUrlPath = pathBuffer;
    parts.dwUrlPathLength = PathBufferSize;
    // Asked for only to be refused (a null pointer with a length asks where
    // each lies in url): a user name or password is never sent, yet would
    // be kept in plain text in the install folder's record.
    parts.dwUserNameLength = parts.dwPasswordLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts) || parts.dwUserNameLength != 0 || parts.dwPasswordLength != 0 ||
        hasQueryOrFragment(url)) {
        err = "a bad address: " + wideToUtf8(url);
        return false;
    }

    const auto shared = std::make_shared<Transfer>();
    Transfer &t = *shared;
    t.session = session;
    t.host.assign(hostBuffer, parts.dwHostNameLength);
    t.path.assign(pathBuffer, parts.dwUrlPathLength);
    t.port = parts.nPort;
    t.flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    t.noCache = noCache;
    if (!startTransfer(shared)) {
        err = "Windows could not start a web connection";
        return false;
    }

    using Clock = std::chrono::steady_clock;
    StallRule rule(installer.transferLimits);
    const DWORD tick = static_cast<DWORD>(std::clamp<int64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(rule.step()).count(), 1, 100));
    const auto start = Clock::now();
    // Time spent in the sink (writing to disk) is ours, not the server's.
    Clock::duration sinkTime{};
    const auto serverTime = [&] { return Clock::now() - start - sinkTime; };

    std::unique_lock lock(t.mutex);
    for (;;) {
        if (t.chunk == 0 && !t.done)
            SleepConditionVariableSRW(&t.changed, t.mutex.get(), tick, 0);
        if (t.chunk != 0) {
            const uint64_t size = t.chunk;
            lock.unlock();
            rule.received(size, serverTime());
            const auto sinkStart = Clock::now();
            const bool go = sink(t.buffer.get(), size);
            sinkTime += Clock::now() - sinkStart;
            lock.lock();
            t.chunk = 0;
            WakeAllConditionVariable(&t.changed);
            if (!go) {
                t.sinkStopped = true;
                if (err.empty()) err = "stopped";
                return false;
            }
        } else if (t.done) {
            if (!t.ok) err = t.message;
            return t.ok;
        }
        if (installer.cancel.load()) {
            abandon(t);
            err = "stopped";
            return false;
        }
        if (rule.stalled(serverTime())) {
            abandon(t);
            err = "the connection stalled";
            return false;
        }
    }
}
