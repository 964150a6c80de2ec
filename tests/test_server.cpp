#include "test_server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>

// Every socket is non-blocking and every wait is a short select: Wine does
// not wake a thread blocked in recv or accept when another thread shuts the
// socket down, so a stop is noticed by polling instead.

namespace {

constexpr size_t MaxHeadSize = 65536;
constexpr uint64_t FastPiece = 1 << 20;
constexpr long PollMicroseconds = 50000;

bool sameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return tolower(static_cast<unsigned char>(x)) == tolower(static_cast<unsigned char>(y));
           });
}

void makeNonBlocking(SOCKET socket)
{
    u_long on = 1;
    ioctlsocket(socket, FIONBIO, &on);
}

// Reads a route's body piece by piece, from memory or from its file.
class BodyReader {
public:
    BodyReader(const std::shared_ptr<const std::string> &body, const std::filesystem::path &file)
        : body_(body)
    {
        if (!body_ && !file.empty()) file_ = _wfopen(file.c_str(), L"rb");
    }
    ~BodyReader()
    {
        if (file_) fclose(file_);
    }
    BodyReader(const BodyReader &) = delete;
    BodyReader &operator=(const BodyReader &) = delete;

    bool ok() const { return body_ || file_; }
    uint64_t size() const
    {
        if (body_) return body_->size();
        _fseeki64(file_, 0, SEEK_END);
        const int64_t size = _ftelli64(file_);
        _fseeki64(file_, 0, SEEK_SET);
        return size < 0 ? 0 : static_cast<uint64_t>(size);
    }
    // The n bytes at offset, read in order; valid until the next call.
    const char *next(uint64_t offset, uint64_t n)
    {
        if (body_) return body_->data() + offset;
        buffer_.resize(n);
        return fread(buffer_.data(), 1, n, file_) == n ? buffer_.data() : nullptr;
    }

private:
    std::shared_ptr<const std::string> body_;
    FILE *file_ = nullptr;
    std::string buffer_;
};

ServedRequest parseHead(const std::string &head, uint64_t connection)
{
    ServedRequest request;
    request.connection = connection;
    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t space1 = requestLine.find(' ');
    const size_t space2 = requestLine.find(' ', space1 + 1);
    request.method = requestLine.substr(0, space1);
    if (space1 != std::string::npos) request.path = requestLine.substr(space1 + 1, space2 - space1 - 1);
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const size_t valueStart = line.find_first_not_of(' ', colon + 1);
        request.headers.emplace_back(line.substr(0, colon),
                                     valueStart == std::string::npos ? "" : line.substr(valueStart));
    }
    return request;
}

} // namespace

std::string ServedRequest::header(const std::string &name) const
{
    for (const auto &[key, value] : headers)
        if (sameText(key, name)) return value;
    return {};
}

bool ServedRequest::hasHeader(const std::string &name) const
{
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto &entry) { return sameText(entry.first, name); });
}

TestServer::TestServer()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (listener_ == INVALID_SOCKET ||
        ::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener_, SOMAXCONN) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        const int error = WSAGetLastError();
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        WSACleanup();
        throw std::runtime_error("the test server cannot listen (error " + std::to_string(error) + ")");
    }
    makeNonBlocking(listener_);
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestServer::~TestServer()
{
    stopping_ = true;
    acceptThread_.join();
    // The accept thread has ended, so nobody adds connection threads any more.
    for (std::thread &thread : connectionThreads_) thread.join();
    closesocket(listener_);
    WSACleanup();
}

std::wstring TestServer::url(const std::string &path) const
{
    return L"http://127.0.0.1:" + std::to_wstring(port_) + std::wstring(path.begin(), path.end());
}

void TestServer::serve(const std::string &path, std::string body, Fault fault)
{
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = Route{std::make_shared<const std::string>(std::move(body)), {}, {}, fault};
}

void TestServer::serveFile(const std::string &path, const std::filesystem::path &file, Fault fault)
{
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = Route{nullptr, file, {}, fault};
}

void TestServer::serveRaw(const std::string &path, RawHandler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = Route{nullptr, {}, std::move(handler), {}};
}

void TestServer::setFault(const std::string &path, Fault fault)
{
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path].fault = fault;
}

void TestServer::remove(const std::string &path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    routes_.erase(path);
}

size_t TestServer::requestCount(const std::string &path) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(requests_.begin(), requests_.end(),
                                             [&](const ServedRequest &r) { return r.path == path; }));
}

std::vector<ServedRequest> TestServer::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void TestServer::clearRequests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

bool TestServer::waitFor(SOCKET socket, bool writable) const
{
    while (!stopping_) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(socket, &ready);
        timeval timeout{0, PollMicroseconds};
        // One set only: a socket in two sets at once can trip an assertion in
        // Wine 8's server. An error shows as readable or writable anyway.
        const int count = ::select(0, writable ? nullptr : &ready, writable ? &ready : nullptr, nullptr, &timeout);
        if (count != 0) return count > 0;
    }
    return false;
}

bool TestServer::sendAll(SOCKET socket, const char *data, uint64_t size) const
{
    while (size > 0) {
        const int sent = ::send(socket, data, static_cast<int>(std::min<uint64_t>(size, 1 << 20)), 0);
        if (sent > 0) {
            data += sent;
            size -= static_cast<uint64_t>(sent);
        } else if (WSAGetLastError() != WSAEWOULDBLOCK || !waitFor(socket, true)) {
            return false;
        }
    }
    return true;
}

// Reads up to the blank line that ends a request head; false when the
// connection ends first, the head grows beyond reason or the server stops.
bool TestServer::readHead(SOCKET socket, std::string &pending, std::string &head) const
{
    size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        if (pending.size() > MaxHeadSize) return false;
        char chunk[4096];
        const int got = ::recv(socket, chunk, sizeof chunk, 0);
        if (got > 0)
            pending.append(chunk, static_cast<size_t>(got));
        else if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK || !waitFor(socket, false))
            return false;
    }
    head = pending.substr(0, end);
    pending.erase(0, end + 4);
    return true;
}

void TestServer::acceptLoop()
{
    while (waitFor(listener_, false)) {
        const SOCKET socket = ::accept(listener_, nullptr, nullptr);
        if (socket == INVALID_SOCKET) continue;
        makeNonBlocking(socket);
        BOOL noDelay = TRUE; // a head and a small body must not wait for each other
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&noDelay), sizeof noDelay);
        std::lock_guard<std::mutex> lock(mutex_);
        const uint64_t id = ++connections_;
        connectionThreads_.emplace_back([this, socket, id] { serveConnection(socket, id); });
    }
}

void TestServer::serveConnection(SOCKET socket, uint64_t id)
{
    std::string pending, head;
    while (readHead(socket, pending, head)) {
        const ServedRequest request = parseHead(head, id);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        if (!answer(socket, request, sameText(request.header("Connection"), "close"))) break;
    }
    ::shutdown(socket, SD_SEND);
    closesocket(socket);
}

// Sends one reply; false when the connection must close after it.
bool TestServer::answer(SOCKET socket, const ServedRequest &request, bool clientCloses)
{
    Route route;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = routes_.find(request.path);
        if (found != routes_.end()) {
            route = found->second;
            known = true;
        }
    }
    if (route.handler) {
        route.handler(request, [&](std::string_view bytes) { return sendText(socket, bytes); });
        return false;
    }
    BodyReader reader(route.body, route.file);
    if (!known || !reader.ok())
        return sendText(socket, "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found") && !clientCloses;

    const Fault &fault = route.fault;
    const uint64_t size = reader.size();
    const uint64_t announced = fault.contentLength >= 0 ? static_cast<uint64_t>(fault.contentLength) : size;
    std::string head = "HTTP/1.1 " + std::to_string(fault.status) + (fault.status == 200 ? " OK" : " Other") + "\r\n" +
                       "Content-Type: application/octet-stream\r\n";
    if (fault.chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else if (fault.noContentLength)
        head += "Connection: close\r\n";
    else
        head += "Content-Length: " + std::to_string(announced) + "\r\n";
    // The surplus of an overlong body must not be read as the next reply on a
    // reused connection.
    if (!fault.chunked && !fault.noContentLength && announced < size) head += "Connection: close\r\n";
    head += "\r\n";
    if (!sendText(socket, head)) return false;

    const uint64_t limit = std::min(size, fault.cutAfter);
    const uint64_t piece =
        fault.bytesPerSecond ? std::clamp<uint64_t>(fault.bytesPerSecond / 20, 1, 65536) : FastPiece;
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t sent = 0; sent < limit;) {
        const uint64_t n = std::min(piece, limit - sent);
        const char *data = reader.next(sent, n);
        if (!data) return false;
        if (fault.chunked) {
            char prefix[32];
            snprintf(prefix, sizeof prefix, "%llx\r\n", static_cast<unsigned long long>(n));
            if (!sendText(socket, prefix) || !sendAll(socket, data, n) || !sendText(socket, "\r\n")) return false;
        } else if (!sendAll(socket, data, n)) {
            return false;
        }
        sent += n;
        if (fault.bytesPerSecond) {
            const auto due = start + std::chrono::microseconds(sent * 1000000 / fault.bytesPerSecond);
            while (!stopping_ && std::chrono::steady_clock::now() < due)
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                    due - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
        }
        if (stopping_) return false;
    }
    if (limit < size) return false; // cut short: the connection ends mid-body
    if (fault.chunked && !sendText(socket, "0\r\n\r\n")) return false;
    const bool lengthDiffers = !fault.chunked && !fault.noContentLength && announced != size;
    return !fault.noContentLength && !lengthDiffers && !clientCloses;
}
