#include "engine/http_client.h"

#include <cerrno>
#include <cwchar>
#include <memory>

#include "engine/handles.h"
#include "engine/helpers.h"

namespace {

constexpr wchar_t UserAgent[] = L"QuillmarrowDunmirSetup/1";
constexpr DWORD ReadBufferSize = 65536;
constexpr DWORD HostBufferSize = 256;
constexpr DWORD PathBufferSize = 4096;

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

} // namespace

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
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        err = "a bad address: " + wideToUtf8(url);
        return false;
    }
    const std::wstring host(hostBuffer, parts.dwHostNameLength);
    const std::wstring path(pathBuffer, parts.dwUrlPathLength);

    // Declared in this order so that they close request first, then connection.
    InternetHandle connection(WinHttpConnect(session, host.c_str(), parts.nPort, 0));
    if (!connection) {
        err = "could not reach " + wideToUtf8(host);
        return false;
    }
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              flags));
    if (!request) {
        err = unreachable(host, GetLastError());
        return false;
    }

    const wchar_t *headers = noCache ? L"Cache-Control: no-cache\r\n" : WINHTTP_NO_ADDITIONAL_HEADERS;
    const DWORD headersLength = noCache ? static_cast<DWORD>(-1) : 0;
    if (!WinHttpSendRequest(request.get(), headers, headersLength, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        err = unreachable(host, GetLastError());
        return false;
    }

    // A failed query leaves 0, which is refused like any other status.
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    (void)WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                              WINHTTP_NO_HEADER_INDEX);
    if (status != 200) {
        err = "the server answered " + std::to_string(status) + " for " + wideToUtf8(path);
        return false;
    }

    uint64_t announced = 0;
    const bool counted = announcedLength(request.get(), announced);
    uint64_t received = 0;
    // The data ran out: whole unless it fell short of the announced length.
    const auto ended = [&] {
        if (!counted) return true;
        err = "the connection dropped";
        return false;
    };
    const auto buffer = std::make_unique<char[]>(ReadBufferSize);
    for (;;) {
        if (counted && received == announced) return true;
        DWORD available = 0;
        DWORD read = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) {
            err = "the connection dropped";
            return false;
        }
        if (available == 0) return ended();
        if (!WinHttpReadData(request.get(), buffer.get(),
                             available < ReadBufferSize ? available : ReadBufferSize, &read)) {
            err = "the connection dropped";
            return false;
        }
        if (read == 0) return ended();
        const uint64_t taken = counted && read > announced - received ? announced - received : read;
        received += taken;
        if (!sink(buffer.get(), taken)) {
            if (err.empty()) err = "stopped";
            return false;
        }
    }
}
