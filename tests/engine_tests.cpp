// The engine under Wine against the loopback test server (HTTPS through https-test.sh), installing into scratch folders.
// Expected texts are the program's documented messages; expected bytes are what the test served.
#include <windows.h>
#include <process.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <optional>

#include "engine/file_ops.h"
#include "engine/game_start.h"
#include "engine/handles.h"
#include "engine/helpers.h"
#include "engine/http_client.h"
#include "engine/installer.h"
#include "engine/registration.h"
#include "engine/status.h"
#include "test_files.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

fs::path ownProgram() { wchar_t path[MAX_PATH]; return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH)); }

// A value of the uninstall entry: its text, or its number; "" when it is missing.
std::wstring entry(const wchar_t *name)
{
    wchar_t data[1024] = {};
    DWORD size = sizeof data, type = 0;
    RegGetValueW(HKEY_CURRENT_USER, UninstallKeyPath, name, RRF_RT_REG_SZ | RRF_RT_REG_DWORD, &type, data, &size);
    return type == REG_DWORD ? std::to_wstring(data[0] | DWORD(data[1]) << 16) : data;
}

struct Fetched { bool ok = false; std::string err, body; size_t chunks = 0; uint64_t largestChunk = 0; };

class EngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    void SetUp() override
    {
        installer.options = Options{.baseUrl = server.url("/rel/"), .installDir = dir, .noRegister = true, .snapPath = {},
                                    .logPath = {}};
        installer.latest = installer.installed = Release{};
        installer.haveInstalled = installer.cancel = false;
        installer.logFile = _wfopen(logPath.c_str(), L"wb");
    }
    void TearDown() override
    {
        installer.notify = nullptr;
        if (installer.logFile) fclose(std::exchange(installer.logFile, nullptr));
    }

    // A GET through the test's session; err starts as given.
    Fetched fetch(const std::wstring &url, std::string err = {}, bool noCache = false)
    {
        Fetched f{false, std::move(err), {}, 0, 0};
        f.ok = httpGet(session.get(), url, [&](const char *data, uint64_t size) {
            f.largestChunk = std::max(f.largestChunk, size);
            return f.body.append(data, size), ++f.chunks;
        }, f.err, noCache);
        return f;
    }

    // Signs and serves a release of these files under "/rel/"; the first is the game.
    Release publish(const Files &files, const std::string &version = "1.0", const std::function<void(Release &)> &edit = {})
    {
        Release release = releaseOf(version, files);
        if (edit) edit(release);
        manifest = ::publish(server, "/rel/", release, files);
        return release;
    }

    // "" when a step succeeds and leaves err untouched, else what it said.
    static std::string run(bool (Installer::*step)(std::string &))
    {
        std::string err;
        const bool ok = (installer.*step)(err);
        return ok ? (err.empty() ? "" : "succeeded, yet said: " + err) : err.empty() ? "refused, saying nothing" : err;
    }
    static std::string check() { return run(&Installer::check); }
    static std::string apply() { return run(&Installer::apply); }
    static std::string install() { const std::string said = check(); return said.empty() ? apply() : said; }

    static std::string filePath(const std::string &hash) { return "/rel/files/" + hash; }
    size_t requestsFor(const std::string &bytes) const { return server.requestCount(filePath(hashOf(bytes))); }
    void expectFiles(const Files &files) const
    {
        for (const auto &[path, bytes] : files) EXPECT_EQ(readWholeFile(dir / path), bytes) << path;
    }
    // Where a verified download of this hash waits in staging.
    static fs::path stagedPath(const std::string &hash)
    {
        return installer.options.installDir / ".staging" / hash.substr(0, 2) / hash;
    }
    std::string log() const { return fflush(installer.logFile), readWholeFile(logPath); }

    // Answers the n-th request for path, counted from 0, with body(n), or with a 500 when that is empty;
    // the connection closes after each answer.
    void serveByCall(const std::string &path, std::function<std::optional<std::string>(int)> body)
    {
        server.serveRaw(path, [calls = std::make_shared<std::atomic<int>>(0), body](const ServedRequest &,
                                                                                     const TestServer::RawSend &send) {
            const std::optional<std::string> b = body((*calls)++);
            send((b ? "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(b->size())
                    : std::string("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0")) +
                 "\r\nConnection: close\r\n\r\n" + b.value_or(""));
        });
    }

    ScratchFolder scratch;
    fs::path dir = scratch / "Quill Dunmir", logPath = scratch / "setup.log";
    TestServer server;
    InternetHandle session{openSession()};
    std::string manifest;
};

using Helpers = EngineTest;
using HttpClient = EngineTest;
using InstallTest = EngineTest;

// Run by https-test.sh, which serves QD_HTTPS_DIR/body.bin over TLS on 127.0.0.1:QD_HTTPS_PORT with a
// certificate from the authority in QD_HTTPS_DIR/ca.der, and runs this program once per QD_HTTPS_STEP. Wine
// reads the trusted roots once per process, so the authority that the first step adds is seen by the second.
class Https : public EngineTest {
protected:
    std::optional<Fetched> fetchIn(const char *step) // nothing when this step is not the one running
    {
        const char *port = getenv("QD_HTTPS_PORT"), *folder = getenv("QD_HTTPS_DIR"), *at = getenv("QD_HTTPS_STEP");
        if (!port || !folder || !at || std::string(at) != step) return std::nullopt;
        httpsDir = folder;
        return fetch(L"https://127.0.0.1:" + utf8ToWide(port) + L"/body.bin");
    }
    // Adds the test authority to the current user's trusted roots; each run has a new prefix.
    void trust()
    {
        const std::string ca = readWholeFile(httpsDir / "ca.der");
        HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
        EXPECT_TRUE(root && CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(ca.data()),
                                                             DWORD(ca.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
        CertCloseStore(root, 0);
    }
    fs::path httpsDir;
};

} // namespace

TEST_F(Https, RefusesAServerWhoseAuthorityIsNotTrusted)
{
    const std::optional<Fetched> got = fetchIn("untrusted");
    if (!got) GTEST_SKIP() << "runs through https-test.sh";
    EXPECT_TRUE(!got->ok && got->body.empty() && got->err.starts_with("could not reach 127.0.0.1 (error ")) << got->err;
    trust(); // for the next step
}

TEST_F(Https, FetchesFromAServerWhoseAuthorityIsTrusted)
{
    const std::optional<Fetched> got = fetchIn("trusted");
    if (!got) GTEST_SKIP() << "runs through https-test.sh";
    const std::string expected = readWholeFile(httpsDir / "body.bin");
    EXPECT_TRUE(got->ok && !expected.empty() && got->body == expected) << got->err << got->body.size();
}

TEST_F(Helpers, StatusSamePathLongPathAndGame)
{
    // The status is stored, logged, and shown with the lock free: a repaint takes it.
    bool lockWasFree = true;
    installer.notify = [&] {
        std::thread([&] { installer.mutex.try_lock() ? installer.mutex.unlock() : void(lockWasFree = false); }).join();
    };
    setStatus(L"Gr\x00FC\x00DF" L"e", L"12 MB of 40 MB", 0.3);
    EXPECT_TRUE(lockWasFree);
    EXPECT_EQ(std::tie(installer.statusTitle, installer.statusDetail, installer.fraction),
              std::tuple(L"Gr\x00FC\x00DF" L"e", L"12 MB of 40 MB", 0.3));
    EXPECT_EQ(log(), "Gr\xC3\xBC\xC3\x9F" "e - 12 MB of 40 MB\n");

    writeWholeFile(scratch / "game.exe", "same bytes");
    writeWholeFile(scratch / "other.exe", "same bytes");
    ASSERT_TRUE(CreateHardLinkW((scratch / "link.exe").c_str(), (scratch / "game.exe").c_str(), nullptr));
    const std::tuple<fs::path, fs::path, bool> pairs[] = {{"game.exe", "link.exe", true}, {"game.exe", "GAME.EXE", true},
        {"game.exe", "other.exe", false}, {"game.exe", "missing.exe", false}, {"gone/a.txt", "GONE/A.TXT", true}};
    for (const auto &[a, b, same] : pairs) EXPECT_EQ(samePath(scratch / a, scratch / b), same) << a << " " << b;
    const fs::path previous = fs::current_path();
    fs::current_path(scratch.path()); // a relative missing path is completed against it
    EXPECT_TRUE(samePath("Missing.txt", scratch / "missing.TXT"));
    fs::current_path(previous);
    const std::pair<std::wstring, std::wstring> longPaths[] = {{L"C:/Games/QD/./data/../a.pak", L"\\\\?\\C:\\Games\\QD\\a.pak"},
        {L"C:\\Games\\" + std::wstring(300, L'd'), L"\\\\?\\C:\\Games\\" + std::wstring(300, L'd')},
        {L"//server/share/QD/x/../a.pak", L"\\\\?\\UNC\\server\\share\\QD\\a.pak"}};
    for (const auto &[path, expected] : longPaths) EXPECT_EQ(longPath(path), expected);

    installer.options.installDir = L"C:\\Games\\QD";
    installer.installed.game = "old/qd.exe";
    installer.latest.game = "bin/qd.exe";
    EXPECT_EQ(gameExePath().wstring(), L"C:\\Games\\QD\\bin/qd.exe");
    installer.latest.game.clear(); // before the first check, the installed game
    EXPECT_EQ(gameExePath().wstring(), L"C:\\Games\\QD\\old/qd.exe");
}

TEST_F(HttpClient, FailuresInTheirOwnWordsAndEveryBodyWholeInChunksOfAtMost64KiB)
{
    ASSERT_TRUE(session);
    for (const int status : {203, 304, 500}) server.serve("/odd/" + std::to_string(status), "a body", {.status = status});
    server.serve("/data", patternBytes(200000), {.cutAfter = 70000});
    server.serveRaw("/raw", [](const ServedRequest &, const TestServer::RawSend &send) {
        send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly some");
    });
    const std::string at8 = "127.0.0.1:" + std::to_string(server.port());
    const std::wstring at(at8.begin(), at8.end());
    const std::pair<std::wstring, std::string> failures[] = {{L"not an address", "a bad address: not an address"},
        {L"http://" + std::wstring(300, L'h') + L"/x", "a bad address: http://" + std::string(300, 'h') + "/x"},
        // Never sent: credentials, a query or a fragment, wherever they stand ('@' in a path is a plain name).
        {L"http://player:secret@" + at + L"/r/x", "a bad address: http://player:secret@" + at8 + "/r/x"},
        {L"http://player@" + at + L"/r/x", "a bad address: http://player@" + at8 + "/r/x"},
        {L"http://:secret@" + at + L"/r/x", "a bad address: http://:secret@" + at8 + "/r/x"},
        {server.url("/r/?token=abc/x"), "a bad address: http://" + at8 + "/r/?token=abc/x"},
        {server.url("/r/?"), "a bad address: http://" + at8 + "/r/?"},
        {server.url("/r/#part/x"), "a bad address: http://" + at8 + "/r/#part/x"},
        {server.url("?x/y"), "a bad address: http://" + at8 + "?x/y"}, {server.url("#x/y"), "a bad address: http://" + at8 + "#x/y"},
        {server.url("/r/@home/x"), "the server answered 404 for /r/@home/x"},
        {L"http://127.0.0.1:1/", "could not reach 127.0.0.1 (error 12029)"}, // nothing listens on port 1
        {server.url("/odd/203"), "the server answered 203 for /odd/203"},
        {server.url("/odd/304"), "the server answered 304 for /odd/304"},
        {server.url("/odd/500"), "the server answered 500 for /odd/500"},
        {server.url("/missing/file"), "the server answered 404 for /missing/file"},
        {server.url("/data"), "the connection dropped"}, {server.url("/raw"), "the connection dropped"}};
    for (const auto &[url, message] : failures) {
        const Fetched f = fetch(url);
        EXPECT_TRUE(!f.ok && f.err == message && (f.chunks == 0 || message == "the connection dropped")) << f.err << f.chunks;
    }
    std::string err;
    EXPECT_FALSE(httpGet(nullptr, server.url("/data"), [](const char *, uint64_t) { return true; }, err, false));
    EXPECT_EQ(err, "Windows could not start a web connection");

    const std::string body = patternBytes(3 << 20, 7);
    const std::pair<const char *, Fault> shapes[] = {{"with a length", {}}, {"chunked", {.chunked = true}},
        {"close-delimited", {.noContentLength = true}}, {"slow", {.bytesPerSecond = 8 << 20}},
        {"longer than announced", {.contentLength = 1000}}};
    for (const auto &[name, fault] : shapes) {
        server.serve("/files/body", body, fault);
        const Fetched got = fetch(server.url("/files/body"));
        EXPECT_TRUE(got.ok && got.body == body.substr(0, fault.contentLength < 0 ? body.size() : 1000)) << name << got.err;
        EXPECT_LE(got.largestChunk, 65536u) << name;
    }
    // Both say who asks; only the manifest's asks past caches. One connection serves both.
    server.setFault("/files/body", {});
    server.clearRequests();
    EXPECT_TRUE(fetch(server.url("/files/body"), {}, false).ok && fetch(server.url("/files/body"), {}, true).ok);
    const std::vector<ServedRequest> seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    for (const ServedRequest &request : seen) EXPECT_EQ(request.header("User-Agent"), "QuillmarrowDunmirSetup/1");
    EXPECT_TRUE(!seen[0].hasHeader("Cache-Control") && seen[1].header("Cache-Control") == "no-cache");
    EXPECT_EQ(seen[1].connection, seen[0].connection);
}

TEST_F(InstallTest, FirstInstallShowsProgressPlacesRecordsAndRegisters)
{
    // 20 files of 3,048,575 bytes in all: the check shows progress after the 1st and the 17th.
    Files files{{"game.exe", patternBytes(3030000)}, {"QuillmarrowDunmirSetup.exe", patternBytes(575, 2)}};
    for (int i = 0; i < 18; ++i) files.emplace_back("data/part " + std::to_string(i) + ".pak", patternBytes(1000, 10 + i));
    publish(files);
    installer.options.noRegister = false;
    std::vector<std::pair<std::wstring, double>> shown; // notify runs on this thread, with the lock free
    installer.notify = [&] { shown.emplace_back(installer.statusDetail, installer.fraction); };
    ASSERT_EQ(check(), "");
    EXPECT_EQ(shown, (decltype(shown){{L"", -1.0}, {L"Checking files...", 3030000.0 / 3048575},
                                      {L"Checking files...", 3045575.0 / 3048575}}));
    shown.clear();
    ASSERT_EQ(apply(), "");
    // The download counts the bytes of every needed file so far, up to a full bar; then installing.
    std::vector<std::wstring> texts;
    for (const auto &[text, fraction] : shown) if (texts.empty() || texts.back() != text) texts.push_back(text);
    EXPECT_EQ(texts, (std::vector<std::wstring>{L"1 MB of 3 MB", L"2 MB of 3 MB", L"3 MB of 3 MB", L""}));
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[shown.size() - 2].second, 1.0);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end(), [](auto &a, auto &b) { return a.second < b.second; }));

    expectFiles(files);
    EXPECT_EQ(readWholeFile(dir / "install.manifest"), manifest);
    EXPECT_EQ(readWholeFile(dir / "install.source"), "http://127.0.0.1:" + std::to_string(server.port()) + "/rel/\n");
    EXPECT_EQ(log(), "Looking for the newest version...\nlatest: 1.0, 20 files\nneeded: 20 files, 3048575 bytes\nInstalling...\n"
                     "shortcuts: 3 made in " + (shellFolder(FOLDERID_Programs) / "Quillmarrow Dunmir").string() +
                     "\napps & features entry: written\ninstalled 1.0\n");
    // The shortcuts, the icon and the uninstall command: lifecycle_tests.
    const std::pair<const wchar_t *, std::wstring> values[] = {{L"DisplayName", L"Quillmarrow Dunmir"},
        {L"DisplayVersion", L"1.0"}, {L"Publisher", L"Quillmarrow Dunmir"}, {L"InstallLocation", dir.wstring()},
        {L"URLInfoAbout", L"https://quillmarrowdunmir.com/"}, {L"EstimatedSize", L"2977"}, {L"NoModify", L"1"},
        {L"NoRepair", L"1"}};
    for (const auto &[name, value] : values) EXPECT_EQ(entry(name), value) << name;
}

TEST_F(InstallTest, UpdateWaitsForTheGameOnlyWhenAskedAndTrustsOnlyARecordItCanRead)
{
    publish({{"game.exe", "game one"}, {"Data/X.pak", "x pak"}, {"old.dat", "old"}, {"keep.dat", "keep"},
             {"maps/old/a.map", "a"}, {"maps/b.map", "b"}, {"notes/n.txt", "n"}});
    ASSERT_EQ(install(), "");
    writeWholeFile(dir / "saves/slot 1.sav", "the player's own");
    writeWholeFile(dir / "notes/mine.txt", "the player's own");
    fs::create_directories(dir / "OtherGame/saves");
    publish({{"game.exe", "game two"}, {"data/x.pak", "x pak"}, {"keep.dat", "keep"}, {"new.dat", "new"}}, "2.0");
    server.clearRequests();
    ASSERT_EQ(check(), "");
    EXPECT_EQ(installer.needed, (std::vector<uint64_t>{0, 3}));
    FileHandle held(CreateFileW((dir / "game.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(apply(), "Quillmarrow Dunmir is running. Close it, then try again.");
    installer.options.update = true; // which gives the game about 20 s to let go
    std::thread quit([&] { Sleep(3000); held.reset(); });
    EXPECT_EQ(apply(), "");
    quit.join();
    EXPECT_TRUE(!fs::exists(dir / "old.dat") && requestsFor("x pak") + requestsFor("keep") == 0);
    // The folders the dropped files leave empty go with them; the player's stay, empty or not.
    EXPECT_TRUE(!fs::exists(dir / "maps") && fs::exists(dir / "notes/mine.txt") && fs::exists(dir / "OtherGame/saves"));
    // Only the marker of a stopped placing leaves a run unfinished: something else in staging, or a file by its
    // name, leaves the folder up to date, and stays.
    for (const fs::path &foreign : {dir / ".staging/Thumbs.db", dir / ".staging"}) {
        writeWholeFile(foreign, "the player's own");
        ASSERT_EQ(check(), "");
        EXPECT_TRUE(installer.needed.empty() && !applyUnfinished() && readWholeFile(foreign) == "the player's own");
        fs::remove_all(dir / ".staging");
    }
    expectFiles({{"saves/slot 1.sav", "the player's own"}, {"data/x.pak", "x pak"}, {"game.exe", "game two"},
                 {"new.dat", "new"}});

    // A damaged record is no record: what it lists stays. With nothing needed apply still records,
    // and the built-in source drops "install.source".
    writeWholeFile(dir / "install.manifest", formatRelease(releaseOf("2.0", {{"new.dat", "new"}})) + "damage\n");
    writeWholeFile(dir / "a.dat", "aaaa");
    const Release release = publish({{"game.exe", "game two"}, {"a.dat", "aaaa"}}, "3.0");
    ASSERT_EQ(check(), "");
    ASSERT_TRUE(installer.needed.empty());
    installer.options.baseUrl = DefaultBaseUrl;
    ASSERT_EQ(apply(), "");
    EXPECT_TRUE(readWholeFile(dir / "new.dat") == "new" && readWholeFile(dir / "install.manifest") == manifest);
    EXPECT_FALSE(fs::exists(dir / "install.source"));
    installer.options.baseUrl = server.url("/rel/");

    // A recorded hash spares reading a file only for an exact size match, without --repair.
    const std::string right = release.files[1].hash;
    const struct { std::vector<std::string> recorded; std::string bytes; bool repair, needed; } rows[] = {
        {{right}, "bbbb", false, false}, {{right}, "bbbb", true, true}, {{right, right}, "bbbb", false, false},
        {{hashOf("x"), right}, "bbbb", false, true}, // a record that contradicts itself is not trusted
        {{right}, "aaaab", false, true}};            // longer than listed
    for (const auto &row : rows) {
        Release record = release;
        record.files.resize(1);
        for (const std::string &hash : row.recorded) record.files.push_back({hash, 4, "a.dat", false});
        writeWholeFile(dir / "install.manifest", formatRelease(record));
        writeWholeFile(dir / "a.dat", row.bytes);
        installer.options.repair = row.repair;
        ASSERT_EQ(check(), "");
        EXPECT_EQ(installer.needed.size(), row.needed) << &row - rows;
    }
}

TEST_F(InstallTest, DownloadAndManifestFailuresAfterThreeAttempts)
{
    const std::string listed = patternBytes(100000, 8), mismatch = "a file did not match the release: bad.dat";
    const struct { std::string served; Fault fault; std::string expected; } rows[] = {{listed.substr(1), {}, mismatch},
        {listed.substr(1) + "!", {}, mismatch}, {listed + patternBytes(200000, 9), {}, mismatch},
        {listed, Fault{.cutAfter = 1000}, "the connection dropped"}, {listed, {.status = 500}, "the server answered 500 for "}};
    for (const auto &row : rows) {
        const std::string hash = publish({{"game.exe", "game"}, {"bad.dat", listed}}).files[1].hash;
        server.serve(filePath(hash), row.served, row.fault);
        server.clearRequests();
        EXPECT_EQ(install(), "The download failed: " + row.expected + (row.fault.status == 500 ? filePath(hash) : ""));
        // Never kept under its hash; a longer body stops at the chunk that passes the size.
        const size_t part = readWholeFile(stagedPath(hash).string() + ".part").size();
        EXPECT_TRUE(server.requestCount(filePath(hash)) == 3 && !fs::exists(stagedPath(hash)) &&
                    (row.served.size() <= listed.size() || (part > listed.size() && part <= listed.size() + 65536)))
            << &row - rows;
    }
    // Manifests of exactly so many bytes, padded through the version, and one without its signature.
    const auto sized = [](size_t size) {
        Release release = releaseOf("", {{"game.exe", "g"}});
        release.version.assign(size - signRelease(release, testKey().secret).size(), 'v');
        return signRelease(release, testKey().secret);
    };
    const std::string small = sized(1000);
    const std::tuple<std::string, std::string, size_t> manifests[] = {{sized(8388607), "", 1},
        {sized(8388608), "Could not reach the Quillmarrow Dunmir server: stopped", 3},
        {small.substr(0, small.find("signature ")), "the release is not signed", 1}};
    for (const auto &[text, expected, requests] : manifests) {
        server.serve("/rel/latest.manifest", text);
        server.clearRequests();
        EXPECT_EQ(check(), expected);
        EXPECT_EQ(server.requestCount("/rel/latest.manifest"), requests) << expected;
    }
    // Two names that Windows holds as one file (its case folding goes beyond ASCII): one content is one file, two are
    // refused before anything is fetched.
    const std::string upper = "data/\xC3\x89t\xC3\xA9.txt", lower = "data/\xC3\xA9t\xC3\xA9.txt"; // Été, été
    publish({{"game.exe", "game"}, {upper, "one"}, {"data/f.txt", "f"}, {lower, "one"}});
    EXPECT_EQ(check(), "");
    publish({{"game.exe", "game"}, {upper, "one"}, {"data/f.txt", "f"}, {lower, "two"}});
    server.clearRequests();
    EXPECT_EQ(install(), "a file is listed twice with different hashes: " + lower);
    EXPECT_EQ(server.requests().size(), 1u);
    // Nor can one name hold a file and a folder, listed after a name that sorts between them.
    publish({{"game.exe", "game"}, {lower + "/x.txt", "x"}, {upper + " (1)", "y"}, {upper, "one"}});
    server.clearRequests();
    EXPECT_EQ(install(), "a path is listed as a file and as a folder: " + upper);
    EXPECT_EQ(server.requests().size(), 1u);
    // A stopped attempt keeps what an earlier attempt said.
    serveByCall("/rel/latest.manifest", [](int n) { return n ? std::optional(std::string(8388608, 'x')) : std::nullopt; });
    EXPECT_EQ(check(), "Could not reach the Quillmarrow Dunmir server: the server answered 500 for /rel/latest.manifest");
    // A first attempt that fails is not reported when the second succeeds; what failed runs left in staging goes.
    publish({{"game.exe", "game two"}}, "2.0");
    const auto flaky = [](const std::string &body) { return [body](int n) { return n ? std::optional(body) : std::nullopt; }; };
    serveByCall("/rel/latest.manifest", flaky(manifest));
    serveByCall(filePath(hashOf("game two")), flaky("game two"));
    server.clearRequests();
    ASSERT_EQ(install(), "");
    EXPECT_EQ(server.requestCount("/rel/latest.manifest") + requestsFor("game two"), 4u);
    EXPECT_FALSE(fs::exists(dir / ".staging"));
}

TEST_F(InstallTest, CancelStopsKeepingDownloadsAndTheNextRunFetchesOnlyWhatIsMissing)
{
    const std::string big = patternBytes(400000, 3), part = stagedPath(hashOf(big)).string() + ".part";
    publish({{"game.exe", "small"}, {"big.dat", big}, {"last.dat", "last"}});
    ASSERT_EQ(check(), "");
    const auto cancelFrom = [](double fraction) {
        installer.cancel = false;
        installer.notify = [fraction] { installer.cancel = installer.fraction >= fraction; }; // on this thread
    };
    cancelFrom(6 / 400009.0); // as soon as the first chunk of big.dat has arrived
    EXPECT_EQ(apply(), "Cancelled.");
    EXPECT_TRUE(fs::file_size(part) > 0 && fs::file_size(part) < big.size() && !fs::exists(dir / "game.exe"));
    cancelFrom(2.0);
    server.clearRequests();
    ASSERT_EQ(install(), "");
    EXPECT_EQ(requestsFor("small") + 10 * requestsFor(big) + 100 * requestsFor("last"), 110u);

    // A cancel once the download is verified keeps it as it came, and stops.
    publish({{"game.exe", big}}, "2.0");
    ASSERT_EQ(check(), "");
    cancelFrom(1.0);
    EXPECT_EQ(apply(), "Cancelled.");
    EXPECT_TRUE(readWholeFile(part) == big && readWholeFile(dir / "game.exe") == "small");
    // A cancel during the last failed attempt is what the run reports.
    cancelFrom(2.0);
    serveByCall(filePath(hashOf(big)), [](int n) { installer.cancel = n == 2; return std::optional<std::string>(); });
    EXPECT_EQ(apply(), "Cancelled.");
}

TEST_F(InstallTest, ReplacesTheRunningSetupProgram)
{
    // A copy of this program, started in the install folder, installs a release that lists it; see SelfReplacementChild.
    const fs::path copy = dir / "QuillmarrowDunmirSetup.exe";
    writeWholeFile(copy.wstring() + L".old", "an older setup program");
    fs::copy_file(ownProgram(), copy);
    EXPECT_EQ(_wspawnl(_P_WAIT, copy.c_str(), (L"\"" + copy.wstring() + L"\"").c_str(), L"--gtest_brief=1",
                       L"--gtest_also_run_disabled_tests", L"--gtest_filter=*DISABLED_SelfReplacementChild", nullptr), 0);
    EXPECT_EQ(readWholeFile(copy), "a new setup program");
    EXPECT_EQ(readWholeFile(copy.wstring() + L".old"), readWholeFile(ownProgram()));
}

TEST_F(InstallTest, DISABLED_SelfReplacementChild)
{
    installer.options.installDir = ownProgram().parent_path();
    publish({{"game.exe", "game"}, {"QuillmarrowDunmirSetup.exe", "a new setup program"}});
    ASSERT_EQ(check(), "");
    // A placement that fails after the running program was moved aside puts it back: the download vanishes first.
    installer.notify = [&] { std::error_code ignored; fs::remove(stagedPath(hashOf("a new setup program")), ignored); };
    EXPECT_EQ(apply(), "Could not install QuillmarrowDunmirSetup.exe (error 2).");
    EXPECT_EQ(readWholeFile(ownProgram()).substr(0, 2), "MZ");
    installer.notify = nullptr;
    ASSERT_EQ(install(), "");
}

TEST_F(InstallTest, ApplyFailuresInTheirOwnWordsAndA64MiBMarginOfFreeSpace)
{
    const fs::path blocked = scratch / "a file" / "Quill";
    writeWholeFile(scratch / "a file", "");
    const std::string game = patternBytes(100000, 4);
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[&] { installer.options.installDir = blocked; }, "Could not create " + blocked.string() + ": "},
        {[&] { writeWholeFile(dir / ".staging", ""); }, "Could not write to " + (dir / ".staging").string()},
        {[&] { fs::create_directories(stagedPath(hashOf(game)) / "in the way"); }, "Could not keep a downloaded file."},
        {[&] { fs::create_directories(dir / "install.manifest" / "in the way"); }, "Could not record the installed version."}};
    for (const auto &[spoil, expected] : rows) {
        fs::remove_all(dir);
        installer.options.installDir = dir;
        spoil();
        publish({{"game.exe", game}});
        const std::string message = install(); // the folder's reason is the system's wording
        EXPECT_TRUE(message.starts_with(expected) && (expected.back() != ' ' || message.size() > expected.size() + 3)) << message;
    }
    EXPECT_EQ(readWholeFile(dir / "game.exe"), game) << "placed before the record";

    // A size that the margin would carry past 2^64.
    publish({{"game.exe", "game"}}, "1.0", [](Release &r) { r.files[0].size = UINT64_MAX; });
    EXPECT_EQ(install(), "Not enough free disk space: 18446744073.71 GB are needed.");
    // Q: is a tmpfs of its own (engine_install.cmake), so its free space holds still.
    ULARGE_INTEGER free{};
    if (!GetDiskFreeSpaceExW(L"Q:\\", &free, nullptr, nullptr)) {
        ASSERT_STRNE(std::getenv("CI"), "true") << "no drive Q: in CI";
        GTEST_SKIP() << "no drive Q: (the tmpfs could not be mounted): the margin is not shown";
    }
    ASSERT_GT(free.QuadPart, 66u << 20);
    installer.options.installDir = L"Q:\\Quill Dunmir " + std::to_wstring(GetCurrentProcessId());
    // Listed 1 MiB past and short of what fits beside 64 MiB; the served bytes are short, so a run let through fails.
    for (const auto &[beyond, expected] : {std::pair<int64_t, std::string>{1, "Not enough free disk space: "},
                                           {-1, "The download failed: a file did not match the release: game.exe"}}) {
        publish({{"game.exe", "game"}}, "1.0",
                [&](Release &r) { r.files[0].size = free.QuadPart - (64 << 20) + (beyond << 20); });
        EXPECT_TRUE(install().starts_with(expected)) << expected;
    }
    // A write that fails in a later attempt keeps what an earlier attempt said: the drive fills after a 500.
    publish({{"game.exe", "game"}});
    serveByCall(filePath(hashOf("game")), [filler = installer.options.installDir / "filler"](int n) {
        const std::string block(1 << 20, 'f');
        FileHandle file(n == 1 ? CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr) : nullptr);
        DWORD written = 0;
        for (DWORD size = file ? DWORD(block.size()) : 0; size; size /= 2)
            while (WriteFile(file.get(), block.data(), size, &written, nullptr) && written == size) {}
        return n ? std::optional<std::string>("game") : std::nullopt;
    });
    EXPECT_EQ(install(), "The download failed: the server answered 500 for " + filePath(hashOf("game"))); // Q: goes after the run
}

TEST_F(InstallTest, LaunchGameQuotesThePathAndStartsInTheGamesFolder)
{
    const fs::path in = dir / "bin dir", report = in / "launch.txt";
    fs::create_directories(in);
    fs::copy_file(QD_FAKE_GAME, in / "fake game.exe");
    installer.latest.game = "bin dir/fake game.exe";
    for (const bool updated : {false, true}) {
        fs::remove(report);
        ASSERT_TRUE(launchGame(updated));
        for (int i = 0; i < 600 && !fs::exists(report); ++i) Sleep(50);
        const std::string bytes = readWholeFile(report);
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / 2),
                  L"\"" + in.wstring() + L"/fake game.exe\"" + (updated ? L" --updated" : L"") + L"\n" + in.wstring() + L"\n");
    }
    installer.latest.game = "missing.exe";
    EXPECT_FALSE(launchGame(false));
}

// Install-folder safety
// The quoted Unix name of a path, for a Unix program.
static std::wstring unixName(const fs::path &path)
{
    const auto name = reinterpret_cast<char *(CDECL *)(const wchar_t *)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    return name ? L"\"" + utf8ToWide(name(path.c_str())) + L"\"" : L"";
}

// A Unix symbolic link, which Wine shows as a link to a folder but cannot make.
static void unixLink(const fs::path &link, const fs::path &target)
{
    ASSERT_NE(unixName(link), L"");
    _wspawnl(_P_WAIT, L"Z:\\bin\\ln", L"ln", L"-s", unixName(target).c_str(), unixName(link).c_str(), nullptr);
    for (int i = 0; i < 200 && !isLink(link); ++i) Sleep(10); // Wine does not wait for a Unix program
    ASSERT_TRUE(isLink(link));
}

TEST_F(InstallTest, PlacingNeverWritesThroughALinkAndMakesWayForChangedFolders)
{
    const std::string deep = "deep/" + std::string(100, 'a') + "/" + std::string(100, 'b') + "/" + std::string(100, 'c');
    publish({{"game.exe", "game"}, {"mod.pak", "mod one"}, {"copy.pak", "mod one"}, {deep + "/x", "one"},
             {"maps", "a file"}, {"town/a.map", "a"}, {"town/b/c.map", "c"}});
    ASSERT_EQ(install(), "");
    // Mod managers link placed files; a part, record or setup program temporary may be linked too.
    const std::string linked[] = {"mod.pak", "copy.pak", "install.manifest.tmp", "QuillmarrowDunmirSetup.exe.tmp",
                                  ".staging/" + hashOf("mod two").substr(0, 2) + "/" + hashOf("mod two") + ".part"};
    for (const std::string &name : linked) {
        writeWholeFile(scratch / fs::path(name).filename(), name);
        fs::create_directories((dir / name).parent_path());
        fs::remove(dir / name);
        ASSERT_TRUE(CreateHardLinkW((dir / name).c_str(), (scratch / fs::path(name).filename()).c_str(), nullptr));
    }
    FileHandle held(CreateFileW(longPath(dir / deep / "x").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    std::thread scanner([&] { Sleep(500); held.reset(); }); // as a virus scanner holds a fresh file
    const Files second{{"game.exe", "game"}, {"mod.pak", "mod two"}, {"copy.pak", "mod two"}, {deep + "/x", "two"},
                       {"maps/harbour.map", "harbour"}, {"town", "now a file"}};
    publish(second, "2.0");
    installer.options.noRegister = false; // registration places the setup program the release does not list
    EXPECT_EQ(install(), "");
    installer.options.noRegister = true;
    scanner.join();
    expectFiles(second);
    for (const std::string &name : linked) EXPECT_EQ(readWholeFile(scratch / fs::path(name).filename()), name);
    EXPECT_EQ(readWholeFile(dir / "QuillmarrowDunmirSetup.exe"), readWholeFile(ownProgram()));

    writeWholeFile(dir / "maps/mine.map", "the player's");
    writeWholeFile(dir / "notes", "the player's");
    for (const auto &[path, error] : {std::pair{"maps", "5"}, {"notes/x.txt", "3"}}) {
        publish({{"game.exe", "game"}, {path, "in the way"}}, "3.0");
        EXPECT_EQ(install(), std::string("Could not install ") + path + " (error " + error + ").");
        EXPECT_EQ(readWholeFile(dir / ".staging/placing"), manifest); // what an uninstall may take back
    }
    expectFiles({{"maps/mine.map", "the player's"}, {"notes", "the player's"}});
    writeWholeFile(dir / "game.exe", "gaem"); // the stopped placing left the record untrusted
    ASSERT_EQ(check(), "");
    EXPECT_EQ(installer.needed, (std::vector<uint64_t>{0, 1}));

    // Windows removes a linked staging folder, or subfolder, and makes it anew; Wine cannot remove it, so the run
    // stops. Neither is written through, nor is what it points to removed: Wine removes an empty target.
    ASSERT_TRUE(clearStaging(dir));
    fs::create_directories(scratch / "outside");
    const fs::path sub = dir / ".staging" / hashOf("game").substr(0, 2);
    fs::create_directories(sub.parent_path());
    unixLink(sub, scratch / "outside");
    EXPECT_EQ(apply(), "Could not write to " + wideToUtf8((dir / ".staging").wstring()));
    EXPECT_FALSE(clearStaging(dir));
    EXPECT_TRUE(fs::is_directory(scratch / "outside") && fs::is_empty(scratch / "outside"));
    _wspawnl(_P_WAIT, L"Z:\\bin\\rm", L"rm", unixName(sub).c_str(), nullptr);
    for (int i = 0; i < 200 && isLink(sub); ++i) Sleep(10);
    ASSERT_TRUE(clearStaging(dir));
    writeWholeFile(scratch / "letters/dear.txt", "keep me");
    unixLink(dir / ".staging", scratch / "letters");
    EXPECT_EQ(apply(), "Could not write to " + wideToUtf8((dir / ".staging").wstring()));
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "letters"), {}), 1);
}

// What a stopped placing put where no record names it is known by its bytes: the next release that lacks it removes it,
// also where that release needs a folder, and the release after that when that one stops too. A player's file of the
// listed size at such a path stays.
TEST_F(InstallTest, WhatAStoppedPlacingPutThereGoesWithTheNextReleaseThatLacksIt)
{
    const Files base = {{"game.exe", "game"}, {"a.txt", "a"}};
    publish(base);
    ASSERT_EQ(install(), "");
    fs::create_directories(dir / "zz/blocked.txt/mine"), fs::create_directories(dir / "q/blocked/mine");
    writeWholeFile(dir / "extra/same.dat", "BBBB");
    Files second = base, third = base;
    second.insert(second.end(), {{"extra/new.dat", "new 2"}, {"kept/old.dat", "old 2"}, {"zz/blocked.txt", "z"}, {"extra/same.dat", "AAAA"}});
    publish(second, "2.0");
    EXPECT_EQ(install(), "Could not install zz/blocked.txt (error 5).");
    third.insert(third.end(), {{"extra/new.dat/inner.txt", "inner 3"}, {"q/blocked", "q"}});
    publish(third, "3.0");
    EXPECT_EQ(install(), "Could not install q/blocked (error 5).");
    EXPECT_EQ(readWholeFile(dir / "extra/new.dat/inner.txt"), "inner 3");
    publish(base, "4.0");
    EXPECT_EQ(install(), "");
    EXPECT_FALSE(fs::exists(dir / "extra/new.dat") || fs::exists(dir / "kept") || fs::exists(dir / ".staging"));
    expectFiles({{"extra/same.dat", "BBBB"}});
    EXPECT_TRUE(fs::is_directory(dir / "zz/blocked.txt/mine") && fs::is_directory(dir / "q/blocked/mine"));
}

TEST_F(InstallTest, StagedFilesAreReusedWhenVerifiedAndEachHashIsFetchedOnce)
{
    // Verified downloads in the layout of older versions and in today's, and a wrong one.
    writeWholeFile(dir / ".staging" / hashOf("flat"), "flat");
    writeWholeFile(stagedPath(hashOf("right")), "right");
    writeWholeFile(stagedPath(hashOf("wrong")), "other");
    const std::string shared = patternBytes(1000), last = patternBytes(1000, 2);
    // A release may repeat a path, and a hash.
    const Files files{{"game.exe", "flat"}, {"a.dat", shared}, {"sub/b.dat", shared}, {"c.dat", last}, {"right.dat", "right"},
                      {"wrong.dat", "wrong"}, {"a.dat", shared}};
    publish(files);
    ASSERT_EQ(check(), "");
    double shown = 0; // a repeated hash is downloaded once and counted once
    installer.notify = [&] { if (installer.statusTitle != L"Installing...") shown = installer.fraction; };
    ASSERT_EQ(apply(), "");
    EXPECT_EQ(requestsFor("flat") + requestsFor("right") + 10 * requestsFor("wrong") + 100 * requestsFor(shared) +
              1000 * requestsFor(last), 1110u);
    EXPECT_DOUBLE_EQ(shown, 2014.0 / 4014.0);
    expectFiles(files);

    writeWholeFile(dir / "c.dat", patternBytes(1000, 3)); // same size: only reading it would tell
    publish({{"game.exe", "flat"}, {"c.dat", last}, {"big.dat", patternBytes(100000)}}, "2.0");
    ASSERT_EQ(check(), "");
    installer.cancel = true;
    EXPECT_EQ(apply(), "Cancelled.");
    installer.cancel = false;
    ASSERT_EQ(check(), ""); // the download left its staging folder, yet the record is trusted
    EXPECT_EQ(installer.needed, std::vector<uint64_t>{2});

    fs::remove(dir / "install.manifest");
    fs::create_directory(dir / "install.manifest");
    EXPECT_EQ(apply(), "Could not record the installed version.");
    EXPECT_FALSE(fs::exists(dir / "install.manifest.tmp"));
    installer.latest.files.push_back({hashOf("x"), 1, "install.source", false});
    EXPECT_EQ(apply(), "Could not install install.source (error 123).");
}

// Stalled servers
// The rule on made-up times from a request's start, checked every 0.1 s for 10 minutes: a stall is called once a
// minute (counted in whole seconds) brought under 60 KiB, headers included, and never while each minute held the rate.
TEST(StallRule, AnyMinuteUnderTheRateStallsAndASteadyRateNever)
{
    using namespace std::chrono_literals;
    using Arrivals = std::vector<std::pair<std::chrono::milliseconds, uint64_t>>;
    const auto steady = [](std::chrono::milliseconds from, uint64_t bytes) {
        Arrivals arrivals;
        for (auto at = from; at < 10min; at += 1s) arrivals.emplace_back(at, bytes);
        return arrivals;
    };
    // Two minutes back to back each held 60 KiB, yet (60.1 s, 120.1 s] brought nothing: seen at the next whole second.
    const std::pair<Arrivals, int64_t> rows[] = {{{}, 60000}, {{{59900ms, 60 << 10}, {60100ms, 60 << 10}}, 121000},
        {steady(500ms, 1 << 10), -1}, {steady(0ms, 2 << 10), -1}};
    for (const auto &row : rows) {
        StallRule rule(TransferLimits{});
        int64_t stalledAt = -1;
        auto next = row.first.begin();
        for (auto now = 0ms; now <= 10min && stalledAt < 0; now += 100ms) {
            for (; next != row.first.end() && next->first <= now; ++next) rule.received(next->second, next->first);
            if (rule.stalled(now)) stalledAt = now.count();
        }
        EXPECT_EQ(stalledAt, row.second) << &row - rows;
    }
}

// The stall rule with a one-second span: a server that never answers, one that drips its head, one that drips its body,
// all fail; a steady one above the rate passes. A cancel ends a blocked request at once, in the check's words.
TEST_F(HttpClient, StalledTransfersFailAndCancelEndsThemAtOnce)
{
    installer.transferLimits = {1000, 1024};
    const std::string body(24 * 1024, 'x');
    const std::pair<Fault, const char *> rows[] = {{{.silent = true}, "the connection stalled"},
        {{.bytesPerSecond = 100, .slowHead = true}, "the connection stalled"}, {{.bytesPerSecond = 100}, "the connection stalled"},
        {{.bytesPerSecond = 8192}, ""}};
    for (const auto &[fault, err] : rows) {
        server.serve("/data", body, fault);
        const Fetched f = fetch(server.url("/data"));
        EXPECT_TRUE(f.ok == !*err && f.err == err && (f.body.size() == body.size()) == f.ok) << err << f.err;
    }
    installer.transferLimits = {60000, 1024};
    server.serve("/rel/latest.manifest", "", Fault{.silent = true});
    std::thread closer([] { Sleep(300); installer.cancel = true; });
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(check(), "Cancelled.");
    EXPECT_LT(GetTickCount64() - start, 5000u); // not the minute of the stall rule
    closer.join();
    installer.transferLimits = {};
}
