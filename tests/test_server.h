// A loopback HTTP/1.1 server for the Windows tests: bodies by path, faults per path, and a record of every request.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How a path's answer misbehaves; by default a plain 200 with a Content-Length, kept alive.
struct Fault {
    static constexpr uint64_t NoCut = UINT64_MAX;
    int status = 200;
    uint64_t cutAfter = NoCut;    // close the connection after this many body bytes
    uint64_t bytesPerSecond = 0;  // pace of the body; 0: as fast as the socket takes it
    int64_t contentLength = -1;   // announced length; -1: the body's own (a longer body closes)
    bool chunked = false;         // Transfer-Encoding: chunked
    bool noContentLength = false; // the body ends with the connection
    bool slowHead = false;        // the head too comes at bytesPerSecond
    bool silent = false;          // reads the request and never answers
};

struct ServedRequest {
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers; // in the order received
    uint64_t connection = 0; // 1 for the first accepted connection, and so on
    std::string header(const std::string &name) const; // the first value (any letter case), or empty
    bool hasHeader(const std::string &name) const;
};

class TestServer {
public:
    using RawSend = std::function<bool(std::string_view bytes)>; // false once the client is gone
    // Writes a reply of its own, well-formed or not; the connection closes after.
    using RawHandler = std::function<void(const ServedRequest &request, const RawSend &send)>;

    TestServer(); // listens on 127.0.0.1 at a port the system picks; throws when it cannot
    ~TestServer(); // ends every connection and joins all threads within about 50 ms

    uint16_t port() const { return port_; }
    std::wstring url(const std::string &path) const; // "http://127.0.0.1:<port>" + path

    // Each replaces what the path served before; unknown paths get 404.
    void serve(const std::string &path, std::string body, Fault fault = {});
    void serveRaw(const std::string &path, RawHandler handler);
    void setFault(const std::string &path, Fault fault); // keeps the body
    void remove(const std::string &path);

    size_t requestCount(const std::string &path) const;
    std::vector<ServedRequest> requests() const;
    void clearRequests();

private:
    struct Route { std::shared_ptr<const std::string> body; RawHandler handler; Fault fault; }; // no body nor handler: 404
    void acceptLoop();
    void serveConnection(SOCKET socket, uint64_t id);
    bool answer(SOCKET socket, const ServedRequest &request, bool clientCloses);

    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    mutable std::mutex mutex_; // guards everything below
    std::map<std::string, Route> routes_;
    std::vector<ServedRequest> requests_;
    std::vector<std::thread> connectionThreads_;
    uint64_t connections_ = 0;
};
