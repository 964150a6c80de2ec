#include "test_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>

// Every socket is non-blocking and every wait is a short select: Wine does
// not wake a thread blocked in recv or accept when another thread shuts the
// socket down, so a stop is noticed by polling instead.

namespace {

using Clock = std::chrono::steady_clock;
constexpr long PollMicroseconds = 50000;

bool sameText(std::string_view a, std::string_view b) { return a.size() == b.size() && _strnicmp(a.data(), b.data(), a.size()) == 0; }

void makeNonBlocking(SOCKET socket) { u_long on = 1; ioctlsocket(socket, FIONBIO, &on); }

bool waitFor(SOCKET socket, bool writable, const std::atomic<bool> &stopping)
{
    while (!stopping) {
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

bool sendAll(SOCKET socket, std::string_view bytes, const std::atomic<bool> &stopping)
{
    while (!bytes.empty()) {
        const int sent = ::send(socket, bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), 1 << 20)), 0);
        if (sent > 0)
            bytes.remove_prefix(static_cast<size_t>(sent));
        else if (WSAGetLastError() != WSAEWOULDBLOCK || !waitFor(socket, true, stopping))
            return false;
    }
    return true;
}

void sleepUntil(Clock::time_point due, const std::atomic<bool> &stopping)
{
    for (auto now = Clock::now(); !stopping && now < due; now = Clock::now())
        std::this_thread::sleep_for(std::min<Clock::duration>(due - now, std::chrono::milliseconds(50)));
}

// Reads up to the blank line that ends a request head; false when the
// connection ends first, the head grows beyond reason or the server stops.
bool readHead(SOCKET socket, std::string &pending, std::string &head, const std::atomic<bool> &stopping)
{
    size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        if (pending.size() > 65536) return false;
        char chunk[4096];
        const int got = ::recv(socket, chunk, sizeof chunk, 0);
        if (got > 0)
            pending.append(chunk, static_cast<size_t>(got));
        else if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK || !waitFor(socket, false, stopping))
            return false;
    }
    head = pending.substr(0, end);
    pending.erase(0, end + 4);
    return true;
}

ServedRequest parseHead(const std::string &head, uint64_t connection)
{
    ServedRequest request;
    request.connection = connection;
    size_t lineEnd = head.find("\r\n");
    const size_t space = head.find(' ');
    if (space < lineEnd) request.path = head.substr(space + 1, head.find(' ', space + 1) - space - 1);
    for (size_t start = lineEnd + 2; lineEnd != std::string::npos; start = lineEnd + 2) {
        const std::string line = head.substr(start, (lineEnd = head.find("\r\n", start)) - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const size_t valueStart = line.find_first_not_of(' ', colon + 1);
        request.headers.emplace_back(line.substr(0, colon), valueStart == std::string::npos ? "" : line.substr(valueStart));
    }
    return request;
}

} // namespace

std::string ServedRequest::header(const std::string &name) const { for (const auto &[key, value] : headers) if (sameText(key, name)) return value; return {}; }

bool ServedRequest::hasHeader(const std::string &name) const { return std::any_of(headers.begin(), headers.end(), [&](const auto &entry) { return sameText(entry.first, name); }); }

TestServer::TestServer()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (listener_ == INVALID_SOCKET || ::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener_, SOMAXCONN) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::runtime_error("the test server cannot listen (error " + std::to_string(WSAGetLastError()) + ")");
    makeNonBlocking(listener_);
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestServer::~TestServer()
{
    stopping_ = true;
    acceptThread_.join(); // after this nobody adds connection threads
    for (std::thread &thread : connectionThreads_) thread.join();
    closesocket(listener_);
    WSACleanup();
}

std::wstring TestServer::url(const std::string &path) const { return L"http://127.0.0.1:" + std::to_wstring(port_) + std::wstring(path.begin(), path.end()); }

void TestServer::serve(const std::string &path, std::string body, Fault fault) { std::lock_guard<std::mutex> lock(mutex_); routes_[path] = Route{std::make_shared<const std::string>(std::move(body)), {}, fault}; }

void TestServer::serveRaw(const std::string &path, RawHandler handler) { std::lock_guard<std::mutex> lock(mutex_); routes_[path] = Route{nullptr, std::move(handler), {}}; }

void TestServer::setFault(const std::string &path, Fault fault) { std::lock_guard<std::mutex> lock(mutex_); routes_[path].fault = fault; }

void TestServer::remove(const std::string &path) { std::lock_guard<std::mutex> lock(mutex_); routes_.erase(path); }

size_t TestServer::requestCount(const std::string &path) const { std::lock_guard<std::mutex> lock(mutex_); return static_cast<size_t>(std::count_if(requests_.begin(), requests_.end(), [&](const ServedRequest &r) { return r.path == path; })); }

std::vector<ServedRequest> TestServer::requests() const { std::lock_guard<std::mutex> lock(mutex_); return requests_; }

void TestServer::clearRequests() { std::lock_guard<std::mutex> lock(mutex_); requests_.clear(); }

void TestServer::acceptLoop()
{
    while (waitFor(listener_, false, stopping_)) {
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
    while (readHead(socket, pending, head, stopping_)) {
        const ServedRequest request = parseHead(head, id);
        { std::lock_guard<std::mutex> lock(mutex_); requests_.push_back(request); }
        if (!answer(socket, request, sameText(request.header("Connection"), "close"))) break;
    }
    ::shutdown(socket, SD_SEND);
    closesocket(socket);
}

// Sends one reply; false when the connection must close after it.
bool TestServer::answer(SOCKET socket, const ServedRequest &request, bool clientCloses)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const auto found = routes_.find(request.path);
    const Route route = found != routes_.end() ? found->second : Route{};
    lock.unlock();
    if (route.handler) {
        route.handler(request, [&](std::string_view bytes) { return sendAll(socket, bytes, stopping_); });
        return false;
    }
    if (!route.body) return sendAll(socket, "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", stopping_) && !clientCloses;
    const std::string_view body = *route.body;
    const Fault &fault = route.fault;
    if (fault.silent) {
        sleepUntil(Clock::time_point::max(), stopping_);
        return false;
    }
    const uint64_t announced = fault.contentLength >= 0 ? static_cast<uint64_t>(fault.contentLength) : body.size();
    std::string head = "HTTP/1.1 " + std::to_string(fault.status) + (fault.status == 200 ? " OK" : " Other") +
                       "\r\nContent-Type: application/octet-stream\r\n";
    const std::string length = fault.noContentLength ? "" : "Content-Length: " + std::to_string(announced) + "\r\n";
    head += fault.chunked ? "Transfer-Encoding: chunked\r\n" : length;
    // The surplus of an overlong body must not be read as the next reply on a reused connection.
    head += fault.noContentLength || announced < body.size() ? "Connection: close\r\n\r\n" : "\r\n";

    // Sends bytes in pieces, each a chunk when chunked; when slow, paced at the fault's rate in twentieths of a second.
    const auto start = Clock::now();
    uint64_t paced = 0;
    const auto send = [&](std::string_view bytes, bool slow, bool chunk) {
        slow = slow && fault.bytesPerSecond;
        const size_t piece = slow ? std::clamp<size_t>(fault.bytesPerSecond / 20, 1, 65536) : 1 << 20;
        for (; !bytes.empty() && !stopping_; bytes.remove_prefix(std::min(piece, bytes.size()))) {
            const std::string_view part = bytes.substr(0, piece);
            char prefix[32];
            snprintf(prefix, sizeof prefix, "%llx\r\n", static_cast<unsigned long long>(part.size()));
            const bool sent = (!chunk || sendAll(socket, prefix, stopping_)) && sendAll(socket, part, stopping_);
            if (!sent || (chunk && !sendAll(socket, "\r\n", stopping_))) return false;
            paced += slow ? part.size() : 0; // the head's bytes count only when they too are slow
            if (slow) sleepUntil(start + std::chrono::microseconds(paced * 1000000 / fault.bytesPerSecond), stopping_);
        }
        return !stopping_;
    };
    if (!send(head, fault.slowHead, false) || !send(body.substr(0, fault.cutAfter), true, fault.chunked)) return false;
    if (fault.cutAfter < body.size()) return false; // cut short: the connection ends mid-body
    if (fault.chunked && !sendAll(socket, "0\r\n\r\n", stopping_)) return false;
    return !fault.noContentLength && (fault.chunked || announced == body.size()) && !clientCloses;
}
