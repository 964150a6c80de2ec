#include <gtest/gtest.h>

#include "engine/handles.h"
#include "engine/http_client.h"
#include "test_files.h"
#include "test_server.h"

namespace {

struct Fetched {
    bool ok = false;
    std::string err, body;
    size_t chunks = 0;
    uint64_t largestChunk = 0;
};

class HttpClient : public ::testing::Test {
protected:
    Fetched fetch(const std::wstring &url, std::string err = {}, bool noCache = false)
    {
        Fetched f;
        f.err = std::move(err);
        f.ok = httpGet(session.get(), url, [&](const char *data, uint64_t size) {
            f.body.append(data, size);
            ++f.chunks;
            f.largestChunk = std::max(f.largestChunk, size);
            return true;
        }, f.err, noCache);
        return f;
    }
    Fetched fetch(const std::string &path, std::string err = {}, bool noCache = false)
    {
        return fetch(server.url(path), std::move(err), noCache);
    }

    TestServer server;
    InternetHandle session{openSession()};
};

} // namespace

TEST_F(HttpClient, ReportsEachFailureInItsOwnWords)
{
    ASSERT_TRUE(session);
    server.serve("/data", patternBytes(200000));
    std::string err;
    EXPECT_FALSE(httpGet(nullptr, server.url("/data"), [](const char *, uint64_t) { return true; }, err, false));
    EXPECT_EQ(err, "Windows could not start a web connection");
    EXPECT_EQ(server.requestCount("/data"), 0u);

    EXPECT_EQ(fetch(L"not an address").err, "a bad address: not an address");
    EXPECT_EQ(fetch(L"http://" + std::wstring(300, L'h') + L"/x").err, // longer than the host buffer
              "a bad address: http://" + std::string(300, 'h') + "/x");

    // Bound but not listening: the connection is refused (ERROR_WINHTTP_CANNOT_CONNECT).
    SOCKET closed = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{AF_INET, 0, {{{127, 0, 0, 1}}}, {}};
    int length = sizeof address;
    ::bind(closed, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::getsockname(closed, reinterpret_cast<sockaddr *>(&address), &length);
    EXPECT_EQ(fetch(L"http://127.0.0.1:" + std::to_wstring(ntohs(address.sin_port)) + L"/").err,
              "could not reach 127.0.0.1 (error 12029)");
    closesocket(closed);

    for (const int status : {203, 304, 500}) {
        server.serve("/odd/status", "a body", {.status = status});
        const Fetched odd = fetch("/odd/status");
        EXPECT_EQ(odd.err, "the server answered " + std::to_string(status) + " for /odd/status");
        EXPECT_EQ(odd.chunks, 0u);
    }
    EXPECT_EQ(fetch("/missing/file").err, "the server answered 404 for /missing/file");

    server.setFault("/data", {.cutAfter = 70000});
    EXPECT_EQ(fetch("/data").err, "the connection dropped");
    server.serveRaw("/raw", [](const ServedRequest &, const TestServer::RawSend &send) {
        send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly some");
    });
    EXPECT_EQ(fetch("/raw").err, "the connection dropped");

    server.setFault("/data", {});
    const Fetched whole = fetch("/data", "an earlier failure");
    EXPECT_TRUE(whole.ok);
    EXPECT_EQ(whole.err, "an earlier failure");
}

TEST_F(HttpClient, AStoppingSinkKeepsAnEarlierMessage)
{
    server.serve("/data", patternBytes(500000));
    for (const std::string before : {"", "the server answered 503 for /data"}) {
        std::string err = before;
        int calls = 0;
        EXPECT_FALSE(httpGet(session.get(), server.url("/data"), [&](const char *, uint64_t) { return ++calls > 1; },
                             err, false));
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(err, before.empty() ? "stopped" : before);
    }
}

TEST_F(HttpClient, SendsTheUserAgentAndNoCacheOnlyWhenAskedOnOneConnection)
{
    server.serve("/latest.manifest", "quillmarrow-release 1\n");
    EXPECT_TRUE(fetch("/latest.manifest", {}, true).ok);
    server.serve("/latest.manifest", "changed");
    EXPECT_EQ(fetch("/latest.manifest", {}, false).body, "changed");
    const std::vector<ServedRequest> seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    for (const ServedRequest &request : seen) EXPECT_EQ(request.header("User-Agent"), "QuillmarrowDunmirSetup/1");
    EXPECT_EQ(seen[0].header("Cache-Control"), "no-cache");
    EXPECT_FALSE(seen[1].hasHeader("Cache-Control"));
    EXPECT_EQ(seen[1].connection, seen[0].connection);
}

TEST_F(HttpClient, EveryBodyShapeArrivesWholeInChunksOfAtMost64KiB)
{
    ScratchFolder folder;
    const std::string body = patternBytes(3 << 20, 7);
    writeWholeFile(folder / "body.bin", body);
    const struct { const char *name; Fault fault; bool fromFile = false; } shapes[] = {
        {"with a length", {}},
        {"chunked", {.chunked = true}},
        {"close-delimited", {.noContentLength = true}},
        {"from a file", {}, true},
        {"slow", {.bytesPerSecond = 8 << 20}},
    };
    for (const auto &shape : shapes) {
        if (shape.fromFile)
            server.serveFile("/files/body", folder / "body.bin", shape.fault);
        else
            server.serve("/files/body", body, shape.fault);
        const Fetched got = fetch("/files/body");
        EXPECT_TRUE(got.ok) << shape.name << ": " << got.err;
        EXPECT_TRUE(got.body == body) << shape.name << ": " << got.body.size() << " bytes";
        EXPECT_LE(got.largestChunk, 65536u) << shape.name;
    }

    server.serve("/files/longer", body.substr(0, 5000), {.contentLength = 1000});
    const Fetched longer = fetch("/files/longer"); // what follows the announced length is not body
    EXPECT_TRUE(longer.ok && longer.body == body.substr(0, 1000)) << longer.body.size() << " bytes";

    server.serve("/files/empty", "");
    const Fetched empty = fetch("/files/empty");
    EXPECT_TRUE(empty.ok);
    EXPECT_EQ(empty.chunks, 0u);
}
