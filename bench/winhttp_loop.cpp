// Fetches files one after another over one WinHTTP session, each read with
// WinHttpReadData into one 64 KiB buffer and thrown away: no hashing, no
// files written. Under Wine this is the ceiling of any program that fetches
// files through one synchronous WinHTTP stream, the reference that
// scripts/bench.sh sets beside the setup program.
//
//   winhttp_loop <base URL> <list file>
// The list file holds one path a line, each fetched as <base URL><path>.
// Prints the count of files, bytes and WinHttpReadData calls; fails on any
// status but 200.
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace {

constexpr DWORD BufferSize = 65536;

struct Handle {
    HINTERNET h;
    explicit Handle(HINTERNET handle) : h(handle) {}
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle()
    {
        if (h)
            WinHttpCloseHandle(h);
    }
};

std::wstring widen(const std::string &text) { return std::wstring(text.begin(), text.end()); }

long long reads = 0;

// Bytes of the body, or -1 when the fetch fails.
long long fetch(HINTERNET session, const std::wstring &url, char *buffer)
{
    wchar_t host[256] = {}, path[2048] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts))
        return -1;
    // A connection handle for each file as the setup program makes it;
    // WinHTTP keeps the socket alive underneath.
    const Handle connection(WinHttpConnect(session, host, parts.nPort, 0));
    const Handle request(connection.h ? WinHttpOpenRequest(connection.h, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                           WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                      : nullptr);
    if (!request.h ||
        !WinHttpSendRequest(request.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.h, nullptr))
        return -1;
    DWORD status = 0, size = sizeof status;
    WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    if (status != 200)
        return -1;
    long long total = 0;
    for (;;) {
        DWORD available = 0, read = 0;
        if (!WinHttpQueryDataAvailable(request.h, &available))
            return -1;
        if (available == 0)
            return total;
        if (!WinHttpReadData(request.h, buffer, available < BufferSize ? available : BufferSize, &read))
            return -1;
        if (read == 0)
            return total;
        ++reads;
        total += read;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: winhttp_loop <base URL> <list file>\n");
        return 2;
    }
    const Handle session(WinHttpOpen(L"winhttp_loop/1", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, 0));
    std::ifstream list(argv[2]);
    if (!session.h || !list) {
        std::fprintf(stderr, "winhttp_loop: cannot start (no session or no list %s)\n", argv[2]);
        return 1;
    }
    const auto buffer = std::make_unique<char[]>(BufferSize);
    const std::wstring base = widen(argv[1]);
    long long files = 0, bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (std::string line; std::getline(list, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        const long long got = fetch(session.h, base + widen(line), buffer.get());
        if (got < 0) {
            std::fprintf(stderr, "winhttp_loop: fetching %s failed (error %lu)\n", line.c_str(), GetLastError());
            return 1;
        }
        ++files;
        bytes += got;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%lld files, %lld bytes in %.2f s, %lld reads\n", files, bytes, seconds, reads);
    return 0;
}
