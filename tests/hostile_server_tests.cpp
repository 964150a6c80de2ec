// Quiet runs of the real setup program against a server that misbehaves at
// random on every request: bodies cut short, brief stalls, 404 and 500,
// wrong bytes of the right length, more bytes than the file has. Each run
// either installs the release byte for byte or fails with one of the
// program's own messages and exit code 1; no wrong byte is ever in place,
// no run crashes, none hangs.
//
// QD_HOSTILE_RUNS sets the number of runs (200 by default), QD_HOSTILE_SEED
// the seed of the faults (fixed by default so that CI repeats itself; printed,
// to repeat any run).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "e2e_support.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

const fs::path SetupExe = QD_SETUP_EXE;

enum class Fault { None, Cut, Stall, NotFound, ServerError, WrongByte, LongerAnnounced, LongerThanAnnounced,
                   LongerUnannounced, Count };
const char *const FaultNames[] = {"none", "cut short", "stall", "404", "500", "wrong byte", "longer (announced)",
                                  "longer than announced", "longer (no length)"};

uint64_t environmentNumber(const char *name, uint64_t fallback)
{
    const char *text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

class HostileServer : public ::testing::Test {
protected:
    void serve(const std::string &path, const std::string &bytes)
    {
        auto body = std::make_shared<const std::string>(bytes);
        server.serveRaw(path, [this, body](const ServedRequest &, const TestServer::RawSend &send) {
            answer(*body, send);
        });
    }

    // One reply, misbehaving in a way drawn at random for this request.
    void answer(const std::string &body, const TestServer::RawSend &send)
    {
        Fault fault = Fault::None;
        uint64_t at = 0, extra = 0, pause = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (std::uniform_real_distribution<double>(0, 1)(random) < 0.4)
                fault = static_cast<Fault>(1 + random() % (static_cast<unsigned>(Fault::Count) - 1));
            at = body.empty() ? 0 : random() % body.size();
            extra = 1 + random() % 70000;
            pause = 100 + random() % 400;
            ++faults[fault];
        }
        const auto head = [&](int status, const std::string &fields) {
            return send("HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Oops") +
                        "\r\nConnection: close\r\n" + fields + "\r\n");
        };
        const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
        switch (fault) {
        case Fault::None:
            head(200, length) && send(body);
            break;
        case Fault::Cut:
            head(200, length) && send(std::string_view(body).substr(0, at));
            break;
        case Fault::Stall:
            if (head(200, length) && send(std::string_view(body).substr(0, at))) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause));
                send(std::string_view(body).substr(at));
            }
            break;
        case Fault::NotFound:
        case Fault::ServerError:
            head(fault == Fault::NotFound ? 404 : 500, "Content-Length: 5\r\n") && send("oops!");
            break;
        case Fault::WrongByte: {
            std::string wrong = body;
            if (!wrong.empty())
                wrong[at] = static_cast<char>(wrong[at] ^ (1 + extra % 255));
            else
                wrong = "x";
            head(200, "Content-Length: " + std::to_string(wrong.size()) + "\r\n") && send(wrong);
            break;
        }
        case Fault::LongerAnnounced:
            head(200, "Content-Length: " + std::to_string(body.size() + extra) + "\r\n") && send(body) &&
                send(patternBytes(extra, static_cast<uint32_t>(at)));
            break;
        case Fault::LongerThanAnnounced:
            head(200, length) && send(body) && send(patternBytes(extra, static_cast<uint32_t>(at)));
            break;
        case Fault::LongerUnannounced:
            head(200, "") && send(body) && send(patternBytes(extra, static_cast<uint32_t>(at)));
            break;
        case Fault::Count:
            break;
        }
    }

    // The kind of a failure when the log's last line is one of the
    // program's own messages; empty otherwise.
    static std::string programMessage(const std::string &line)
    {
        static const std::string causes[] = {"the connection dropped", "the server answered 404 for /rel/",
                                             "the server answered 500 for /rel/", "could not reach 127.0.0.1 (error ",
                                             "a file did not match the release: "};
        static const std::string exact[] = {
            "failed: the release is not signed", "failed: the release's signature is malformed",
            "failed: the release's signature does not match: it was not published by Quillmarrow Dunmir"};
        for (const std::string &message : exact)
            if (line == message)
                return message.substr(8);
        for (const std::string prefix : {"failed: Could not reach the Quillmarrow Dunmir server: ",
                                         "failed: The download failed: "})
            if (line.rfind(prefix, 0) == 0)
                for (const std::string &cause : causes)
                    if (line.compare(prefix.size(), cause.size(), cause) == 0)
                        return prefix.substr(8) + cause + (cause.back() == ' ' || cause.back() == '/' ? "..." : "");
        return "";
    }

    ScratchFolder scratch;
    TestServer server;
    std::mutex mutex; // guards random and faults
    std::mt19937_64 random;
    std::map<Fault, int> faults;
};

// Every file below folder by its '/'-separated relative path, without the
// staging folder.
std::map<std::string, std::string> installed(const fs::path &folder)
{
    std::map<std::string, std::string> content;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string path = it->path().lexically_relative(folder).generic_string();
        if (path.rfind(".staging", 0) != 0 && it->is_regular_file())
            content[path] = readWholeFile(it->path());
    }
    return content;
}

TEST_F(HostileServer, EveryRunInstallsExactlyOrFailsWithItsOwnMessage)
{
    const uint64_t runs = environmentNumber("QD_HOSTILE_RUNS", 200);
    const uint64_t seed = environmentNumber("QD_HOSTILE_SEED", 20261206);
    random.seed(seed);
    std::printf("%llu runs, seed %llu\n", static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(seed));

    // Two releases, so that runs also update and go back; files of no
    // bytes, of one byte, of more than one receive buffer, and a copy.
    const Files first = {{"game/Dunmir.exe", patternBytes(9000, 1)}, {"data/world.pak", patternBytes(200000, 2)},
                         {"data/empty.txt", ""},       {"data/one.txt", "1"},
                         {"data/maps/a.map", patternBytes(70000, 3)}, {"data/maps/b.map", patternBytes(3000, 4)},
                         {"data/maps/a-copy.map", patternBytes(70000, 3)}};
    Files second = first;
    second[0].second = patternBytes(9500, 11);
    second[1].second = patternBytes(200000, 12);
    second[4].second = patternBytes(70001, 13);
    second.push_back({"data/maps/c.map", patternBytes(40000, 14)});
    struct Served {
        Files files;
        std::string manifest;
    };
    std::vector<Served> releases;
    for (const auto &[version, files] : {std::pair{"1.0", first}, std::pair{"2.0", second}}) {
        const Release release = releaseOf(version, files);
        for (size_t i = 0; i < files.size(); ++i)
            serve("/rel/files/" + release.files[i].hash, files[i].second);
        releases.push_back({files, signRelease(release, testKey().secret)});
    }

    const fs::path dir = scratch / "Quill";
    const fs::path log = scratch / "run.log";
    std::map<std::string, std::string> before; // what the last successful run left
    std::map<std::string, int> outcomes;
    double slowest = 0;
    for (uint64_t run = 1; run <= runs; ++run) {
        const Served &release = releases[random() % 2];
        serve("/rel/latest.manifest", release.manifest);
        const auto start = std::chrono::steady_clock::now();
        const DWORD code = runSetup(SetupExe,
                                    L"--quiet --no-register --dir " + quoted(dir) + L" --source " +
                                        server.url("/rel/") + L" --log " + quoted(log),
                                    scratch.path());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        slowest = std::max(slowest, seconds);
        const std::vector<std::string> lines = logLines(log);
        const std::string last = lines.empty() ? "(no log)" : lines.back();
        SCOPED_TRACE("run " + std::to_string(run) + ", seed " + std::to_string(seed) + ": " + last);

        const auto now = installed(dir);
        if (code == 0) {
            std::map<std::string, std::string> expected(release.files.begin(), release.files.end());
            expected["install.manifest"] = release.manifest;
            expected["install.source"] = utf8(server.url("/rel/")) + "\n";
            EXPECT_TRUE(now == expected) << "a successful run left other files";
            EXPECT_FALSE(fs::exists(dir / ".staging"));
            before = now;
            ++outcomes["installed"];
        } else {
            ASSERT_EQ(code, 1u) << "the program crashed or hung";
            const std::string kind = programMessage(last);
            EXPECT_NE(kind, "") << "not one of the program's messages";
            // A failure under a misbehaving server comes before anything is
            // placed; what is staged is verified.
            EXPECT_TRUE(now == before) << "a failed run changed the installed files";
            std::error_code ec;
            for (fs::directory_iterator it(dir / ".staging", ec), end; !ec && it != end; it.increment(ec)) {
                if (it->path().extension().empty()) {
                    EXPECT_EQ(hashFile(it->path(), nullptr), it->path().filename().string());
                }
            }
            ++outcomes[kind];
        }
        // A stall is a fraction of a second; WinHTTP gives up on a silent
        // server after 60 s, and a run that came near would be a hang.
        EXPECT_LT(seconds, 30.0) << "a run took too long";
    }

    std::printf("outcomes:\n");
    for (const auto &[outcome, count] : outcomes)
        std::printf("  %4d  %s\n", count, outcome.c_str());
    std::printf("\nfaults served:");
    for (const auto &[fault, count] : faults)
        std::printf(" %s: %d;", FaultNames[static_cast<int>(fault)], count);
    std::printf("\nslowest run: %.2f s\n", slowest);
}

} // namespace
