// A loopback HTTP/1.1 server for the Windows tests: serves bodies by path,
// from memory or streamed from a file, with faults injected per path, and
// records every request it reads.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// How a path's answer misbehaves. The default is a plain 200 with a
// Content-Length and a keep-alive connection.
struct Fault {
    static constexpr uint64_t NoCut = UINT64_MAX;

    int status = 200;
    uint64_t cutAfter = NoCut;  // close the connection after this many body bytes
    uint64_t bytesPerSecond = 0; // 0: as fast as the socket takes it
    int64_t contentLength = -1;  // announced length; -1: the body's own. A body longer
                                 // than announced is sent whole with "Connection: close"
    bool chunked = false;        // Transfer-Encoding: chunked
    bool noContentLength = false; // the end of the body is the end of the connection
};

struct ServedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers; // in the order received
    uint64_t connection = 0; // 1 for the first accepted connection, and so on

    // The first value of the named header (any letter case), or empty.
    std::string header(const std::string &name) const;
    bool hasHeader(const std::string &name) const;
};

class TestServer {
public:
    // Sends bytes to the client; false once it has gone or the server stops.
    using RawSend = std::function<bool(std::string_view bytes)>;
    // Writes a reply of its own, well-formed or not; the connection closes after.
    using RawHandler = std::function<void(const ServedRequest &request, const RawSend &send)>;

    // Listens on 127.0.0.1 at a port the system picks; throws std::runtime_error
    // when it cannot.
    TestServer();
    // Stops accepting, ends every open connection and joins all threads
    // (within about 50 ms: every wait checks for the stop that often).
    ~TestServer();
    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by path (which begins with "/").
    std::wstring url(const std::string &path) const;

    // Each of these replaces whatever the path served before. Unknown paths get 404.
    void serve(const std::string &path, std::string body, Fault fault = {});
    void serveFile(const std::string &path, const std::filesystem::path &file, Fault fault = {});
    void serveRaw(const std::string &path, RawHandler handler);
    // Keeps the path's body, changes how it is sent.
    void setFault(const std::string &path, Fault fault);
    void remove(const std::string &path);

    size_t requestCount(const std::string &path) const;
    std::vector<ServedRequest> requests() const;
    void clearRequests();

private:
    struct Route {
        std::shared_ptr<const std::string> body;
        std::filesystem::path file; // used when body is null and handler empty
        RawHandler handler;
        Fault fault;
    };

    void acceptLoop();
    void serveConnection(SOCKET socket, uint64_t id);
    bool answer(SOCKET socket, const ServedRequest &request, bool clientCloses);
    bool waitFor(SOCKET socket, bool writable) const;
    bool sendAll(SOCKET socket, const char *data, uint64_t size) const;
    bool sendText(SOCKET socket, std::string_view text) const { return sendAll(socket, text.data(), text.size()); }
    bool readHead(SOCKET socket, std::string &pending, std::string &head) const;

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
