// The engine under Wine: its helpers, status publication and WinHTTP client
// (HTTPS through https-test.sh), then check and apply against the loopback
// test server into a scratch install folder, with registration and game start
// in the prefix's own registry and shell folders. Expected texts are the
// program's documented messages; expected bytes are what the test served.
#include <windows.h>
#include <process.h>
#include <shobjidl.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

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

using Lines = std::vector<std::string>;

fs::path ownProgram()
{
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

fs::path startMenu() { return shellFolder(FOLDERID_Programs) / L"Quillmarrow Dunmir"; }
fs::path desktopLink() { return shellFolder(FOLDERID_Desktop) / L"Quillmarrow Dunmir.lnk"; }

// Every value of the uninstall entry by name: its type and raw data.
using Values = std::map<std::wstring, std::pair<DWORD, std::string>>;
Values uninstallEntry()
{
    Values values;
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, UninstallKeyPath, 0, KEY_READ, key.out())) return values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameSize = 256, type = 0, size = 4096;
        std::string data(size, '\0');
        if (RegEnumValueW(key.get(), i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &size))
            return values;
        values[name] = {type, data.substr(0, size)};
    }
}

// REG_SZ bytes, NUL included, and REG_DWORD bytes.
std::string textData(const std::wstring &s) { return {reinterpret_cast<const char *>(s.c_str()), 2 * s.size() + 2}; }
std::string numberData(DWORD value) { return {reinterpret_cast<const char *>(&value), 4}; }

// A shortcut as the shell's own link object reads it back: target, working
// folder, description, icon and icon index.
using Link = std::tuple<std::wstring, std::wstring, std::wstring, std::wstring, int>;
Link readLink(const fs::path &file)
{
    ComPtr<IShellLinkW> shell;
    ComPtr<IPersistFile> persist;
    wchar_t text[4][1024] = {};
    int index = -1;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, shell.out())) &&
        SUCCEEDED(shell->QueryInterface(IID_IPersistFile, persist.out())) &&
        SUCCEEDED(persist->Load(file.c_str(), STGM_READ))) {
        shell->GetPath(text[0], 1024, nullptr, SLGP_RAWPATH);
        shell->GetWorkingDirectory(text[1], 1024);
        shell->GetDescription(text[2], 1024);
        shell->GetIconLocation(text[3], 1024, &index);
    }
    return {text[0], text[1], text[2], text[3], index};
}

struct Fetched {
    bool ok = false;
    std::string err, body;
    size_t chunks = 0;
    uint64_t largestChunk = 0;
};

class EngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }

    void SetUp() override
    {
        installer.options = Options{};
        installer.options.installDir = dir;
        installer.options.baseUrl = server.url("/rel/");
        installer.options.noRegister = true;
        installer.latest = installer.installed = Release{};
        installer.haveInstalled = false;
        installer.needed.clear();
        installer.neededBytes = 0;
        installer.cancel = false;
        installer.notify = nullptr;
        installer.logFile = _wfopen(logPath.c_str(), L"w");
        RegDeleteKeyW(HKEY_CURRENT_USER, UninstallKeyPath);
        std::error_code ignored;
        fs::remove_all(startMenu(), ignored);
        fs::remove(desktopLink(), ignored);
    }

    void TearDown() override
    {
        installer.notify = nullptr;
        if (installer.logFile) fclose(installer.logFile);
        installer.logFile = nullptr;
    }

    // A GET through the test's session; err starts as given.
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

    // Signs and serves a release of these files under "/rel/"; the first is the game.
    Release publish(const Files &files, const std::string &version = "1.0",
                    const std::function<void(Release &)> &edit = {})
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

    // Answers 500 to the first request, the body to every later one.
    void serveFlaky(const std::string &path, const std::string &body)
    {
        auto calls = std::make_shared<std::atomic<int>>(0);
        server.serveRaw(path, [calls, body](const ServedRequest &, const TestServer::RawSend &send) {
            send((*calls)++ == 0 ? std::string("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n")
                                 : "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                                       body);
        });
    }

    std::string logText() const { return fflush(installer.logFile), readWholeFile(logPath); }
    Lines logLines() const
    {
        Lines lines;
        std::istringstream in(logText());
        for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find('\r')));
        return lines;
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

// Run by https-test.sh, which serves QD_HTTPS_DIR/body.bin over TLS on
// 127.0.0.1:QD_HTTPS_PORT with a certificate from the authority in
// QD_HTTPS_DIR/ca.der, and runs this program once per QD_HTTPS_STEP. Wine
// reads the trusted roots once per process (opening the root store already
// does), so the authority that the first step adds is seen by the second.
class Https : public EngineTest {
protected:
    // Nothing when this step is not the one running.
    std::optional<Fetched> fetchIn(const char *step)
    {
        const char *port = std::getenv("QD_HTTPS_PORT"), *folder = std::getenv("QD_HTTPS_DIR");
        const char *current = std::getenv("QD_HTTPS_STEP");
        if (!port || !folder || !current || std::string(current) != step) return std::nullopt;
        httpsDir = folder;
        return fetch(L"https://127.0.0.1:" + std::wstring(port, port + strlen(port)) + L"/body.bin");
    }

    // Adds the test authority to the current user's trusted roots, or takes it out again.
    void trust(bool add)
    {
        const std::string ca = readWholeFile(httpsDir / "ca.der");
        HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
        PCCERT_CONTEXT authority = CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(ca.data()), static_cast<DWORD>(ca.size()));
        ASSERT_TRUE(root && authority);
        if (add) {
            EXPECT_TRUE(CertAddCertificateContextToStore(root, authority, CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
        } else {
            PCCERT_CONTEXT stored =
                CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, authority, nullptr);
            EXPECT_TRUE(stored && CertDeleteCertificateFromStore(stored)); // which frees stored
        }
        CertFreeCertificateContext(authority);
        CertCloseStore(root, 0);
    }

    fs::path httpsDir;
};

} // namespace

TEST_F(Helpers, FormatSizeAndTextConversion)
{
    const std::pair<uint64_t, const wchar_t *> sizes[] = {
        {0, L"1 MB"}, {400000, L"1 MB"}, {2400000, L"2 MB"}, {999999999, L"1000 MB"},
        {1000000000, L"1.00 GB"}, {1234567890, L"1.23 GB"}, {UINT64_MAX, L"18446744073.71 GB"},
    };
    for (const auto &[bytes, text] : sizes) EXPECT_EQ(formatSize(bytes), text) << bytes;

    // U+00FC U+00DF, then U+1D11E and U+1F600, which take surrogate pairs in UTF-16.
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9D\x84\x9E \xF0\x9F\x98\x80";
    const std::wstring wide = L"Gr\x00FC\x00DF" L"e \xD834\xDD1E \xD83D\xDE00";
    EXPECT_EQ(utf8ToWide(utf8), wide);
    EXPECT_EQ(wideToUtf8(wide), utf8);
    EXPECT_EQ(utf8ToWide(""), L"");
    EXPECT_EQ(wideToUtf8(L""), "");
}

TEST_F(Helpers, ReadAndReplaceWholeFiles)
{
    EXPECT_EQ(readFile(scratch / "missing"), "");
    const std::string large = patternBytes(200000); // several read buffers
    writeWholeFile(scratch / "large", large);
    EXPECT_EQ(readFile(scratch / "large"), large);

    const fs::path target = scratch / "install.manifest";
    writeWholeFile(target, "an older and much longer record");
    ASSERT_TRUE(writeFileAtomic(target, "new"));
    EXPECT_EQ(readWholeFile(target), "new");
    EXPECT_FALSE(fs::exists(scratch / "install.manifest.tmp"));

    // A folder in the way: the target stays, the temporary holds everything.
    fs::create_directory(scratch / "install.source");
    EXPECT_FALSE(writeFileAtomic(scratch / "install.source", large));
    EXPECT_TRUE(fs::is_directory(scratch / "install.source"));
    EXPECT_EQ(readWholeFile(scratch / "install.source.tmp"), large);
}

TEST_F(Helpers, SamePathKnownFolderInstallPathAndGame)
{
    writeWholeFile(scratch / "game.exe", "same bytes");
    writeWholeFile(scratch / "other.exe", "same bytes");
    ASSERT_TRUE(CreateHardLinkW((scratch / "link.exe").c_str(), (scratch / "game.exe").c_str(), nullptr));
    const std::tuple<fs::path, fs::path, bool> pairs[] = {
        {"game.exe", "link.exe", true}, {"game.exe", "GAME.EXE", true}, {"game.exe", "other.exe", false},
        {"game.exe", "missing.exe", false}, {"gone/a.txt", "GONE/A.TXT", true},
    };
    for (const auto &[a, b, same] : pairs) EXPECT_EQ(samePath(scratch / a, scratch / b), same) << a << " " << b;
    const fs::path previous = fs::current_path();
    fs::current_path(scratch.path()); // a relative missing path is completed against it
    EXPECT_TRUE(samePath("Missing.txt", scratch / "missing.TXT"));
    fs::current_path(previous);

    const KNOWNFOLDERID unknown = {0x5e1f0a11, 0x2b3c, 0x4d5e, {0x8f, 0x90, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6}};
    EXPECT_TRUE(knownFolder(unknown).empty());

    installer.options.installDir = L"C:\\Games\\Quillmarrow Dunmir";
    EXPECT_EQ(installPath("install.manifest").wstring(), L"C:\\Games\\Quillmarrow Dunmir\\install.manifest");
    installer.options.installDir = L"C:\\Games\\QD\\";
    installer.installed.game = "old/qd.exe";
    installer.latest.game = "bin/qd.exe";
    EXPECT_EQ(gameExePath().wstring(), L"C:\\Games\\QD\\bin/qd.exe");
    installer.latest.game.clear(); // before the first check, the installed game
    EXPECT_EQ(gameExePath().wstring(), L"C:\\Games\\QD\\old/qd.exe");
}

TEST_F(Helpers, SetStatusStoresLogsAndNotifiesAfterUnlocking)
{
    int calls = 0;
    bool lockWasFree = true;
    installer.notify = [&] {
        ++calls;
        // Probe from another thread: a try_lock by the holder itself is undefined.
        std::thread([&] {
            if (installer.mutex.try_lock())
                installer.mutex.unlock();
            else
                lockWasFree = false;
        }).join();
        std::lock_guard<std::mutex> lock(installer.mutex); // as a repaint does
    };

    setStatus(L"Looking for the newest version...", L"", -1.0);
    setStatus(L"Gr\x00FC\x00DF" L"e", L"12 MB of 40 MB", 0.3);
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(lockWasFree);
    EXPECT_EQ(std::tie(installer.statusTitle, installer.statusDetail, installer.fraction),
              std::tuple(L"Gr\x00FC\x00DF" L"e", L"12 MB of 40 MB", 0.3));
    // A text stream: each line ends in CR LF here.
    EXPECT_EQ(logText(), "Looking for the newest version...\r\nGr\xC3\xBC\xC3\x9F" "e - 12 MB of 40 MB\r\n");

    fclose(installer.logFile);
    installer.logFile = nullptr;
    installer.notify = nullptr;
    setStatus(L"", L"", -1.0); // without a log or notify only the state changes
    EXPECT_EQ(installer.fraction, -1.0);
}

TEST_F(HttpClient, ReportsEachFailureInItsOwnWords)
{
    ASSERT_TRUE(session);
    std::string err;
    EXPECT_FALSE(httpGet(nullptr, server.url("/data"), [](const char *, uint64_t) { return true; }, err, false));
    EXPECT_EQ(err, "Windows could not start a web connection");
    EXPECT_EQ(server.requestCount("/data"), 0u);

    // Bound but not listening: the connection is refused (ERROR_WINHTTP_CANNOT_CONNECT).
    SOCKET closed = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{AF_INET, 0, {{{127, 0, 0, 1}}}, {}};
    int length = sizeof address;
    ::bind(closed, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::getsockname(closed, reinterpret_cast<sockaddr *>(&address), &length);
    for (const int status : {203, 304, 500})
        server.serve("/odd/" + std::to_string(status), "a body", {.status = status});
    server.serve("/data", patternBytes(200000), {.cutAfter = 70000});
    server.serveRaw("/raw", [](const ServedRequest &, const TestServer::RawSend &send) {
        send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly some");
    });
    const std::pair<std::wstring, std::string> failures[] = {
        {L"not an address", "a bad address: not an address"},
        {L"http://" + std::wstring(300, L'h') + L"/x", // longer than the host buffer
         "a bad address: http://" + std::string(300, 'h') + "/x"},
        {L"http://127.0.0.1:" + std::to_wstring(ntohs(address.sin_port)) + L"/",
         "could not reach 127.0.0.1 (error 12029)"},
        {server.url("/odd/203"), "the server answered 203 for /odd/203"},
        {server.url("/odd/304"), "the server answered 304 for /odd/304"},
        {server.url("/odd/500"), "the server answered 500 for /odd/500"},
        {server.url("/missing/file"), "the server answered 404 for /missing/file"},
        {server.url("/data"), "the connection dropped"},
        {server.url("/raw"), "the connection dropped"},
    };
    for (const auto &[url, message] : failures) {
        const Fetched f = fetch(url);
        EXPECT_FALSE(f.ok) << fs::path(url);
        EXPECT_EQ(f.err, message);
        EXPECT_TRUE(f.chunks == 0 || message == "the connection dropped") << f.chunks << " chunks";
    }
    closesocket(closed);

    server.setFault("/data", {});
    const Fetched whole = fetch(server.url("/data"), "an earlier failure");
    EXPECT_TRUE(whole.ok);
    EXPECT_EQ(whole.err, "an earlier failure");

    // A sink that stops says "stopped", unless an earlier message is there.
    for (const std::string before : {"", "the server answered 503 for /data"}) {
        err = before;
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
    EXPECT_TRUE(fetch(server.url("/latest.manifest"), {}, true).ok);
    server.serve("/latest.manifest", "changed");
    EXPECT_EQ(fetch(server.url("/latest.manifest"), {}, false).body, "changed");
    const std::vector<ServedRequest> seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    for (const ServedRequest &request : seen) EXPECT_EQ(request.header("User-Agent"), "QuillmarrowDunmirSetup/1");
    EXPECT_EQ(seen[0].header("Cache-Control"), "no-cache");
    EXPECT_FALSE(seen[1].hasHeader("Cache-Control"));
    EXPECT_EQ(seen[1].connection, seen[0].connection);
}

TEST_F(HttpClient, EveryBodyShapeArrivesWholeInChunksOfAtMost64KiB)
{
    const std::string body = patternBytes(3 << 20, 7);
    const std::pair<const char *, Fault> shapes[] = {
        {"with a length", {}},
        {"chunked", {.chunked = true}},
        {"close-delimited", {.noContentLength = true}},
        {"slow", {.bytesPerSecond = 8 << 20}},
    };
    for (const auto &[name, fault] : shapes) {
        server.serve("/files/body", body, fault);
        const Fetched got = fetch(server.url("/files/body"));
        EXPECT_TRUE(got.ok) << name << ": " << got.err;
        EXPECT_TRUE(got.body == body) << name << ": " << got.body.size() << " bytes";
        EXPECT_LE(got.largestChunk, 65536u) << name;
    }

    server.serve("/files/longer", body.substr(0, 5000), {.contentLength = 1000});
    const Fetched longer = fetch(server.url("/files/longer")); // what follows the announced length is not body
    EXPECT_TRUE(longer.ok && longer.body == body.substr(0, 1000)) << longer.body.size() << " bytes";

    server.serve("/files/empty", "");
    const Fetched empty = fetch(server.url("/files/empty"));
    EXPECT_TRUE(empty.ok);
    EXPECT_EQ(empty.chunks, 0u);
}

TEST_F(Https, RefusesAServerWhoseAuthorityIsNotTrusted)
{
    const std::optional<Fetched> got = fetchIn("untrusted");
    if (!got) GTEST_SKIP() << "runs through https-test.sh";
    EXPECT_FALSE(got->ok);
    EXPECT_EQ(got->err.rfind("could not reach 127.0.0.1 (error ", 0), 0u) << got->err;
    EXPECT_TRUE(got->body.empty());
    trust(true); // for the next step
}

TEST_F(Https, FetchesFromAServerWhoseAuthorityIsTrusted)
{
    const std::optional<Fetched> got = fetchIn("trusted");
    if (!got) GTEST_SKIP() << "runs through https-test.sh";
    const std::string expected = readWholeFile(httpsDir / "body.bin");
    EXPECT_TRUE(got->ok) << got->err;
    EXPECT_TRUE(!expected.empty() && got->body == expected) << got->body.size() << " bytes of " << expected.size();
    trust(false); // leave the prefix's trust as it was
}

TEST_F(InstallTest, FirstInstallPlacesRecordsAndRegisters)
{
    // 20 files of 1,048,575 bytes in all: progress after the 1st and the 17th
    // file, and 1023 KiB in the uninstall entry.
    Files files{{"game.exe", patternBytes(1030000)}, {"QuillmarrowDunmirSetup.exe", patternBytes(575, 2)}};
    for (int i = 0; i < 18; ++i)
        files.emplace_back("data/part " + std::to_string(i) + ".pak", patternBytes(1000, 10 + i));
    publish(files);
    installer.options.noRegister = false;
    int notified = 0;
    installer.notify = [&] { ++notified; };
    ASSERT_EQ(check(), "");
    EXPECT_EQ(notified, 3);
    installer.notify = nullptr;
    ASSERT_EQ(apply(), "");

    expectFiles(files);
    EXPECT_EQ(readWholeFile(dir / "install.manifest"), manifest);
    EXPECT_EQ(readWholeFile(dir / "install.source"), "http://127.0.0.1:" + std::to_string(server.port()) + "/rel/\n");
    EXPECT_FALSE(fs::exists(dir / ".staging"));
    EXPECT_EQ(logLines(), (Lines{"Looking for the newest version...", "latest: 1.0, 20 files",
                                 "needed: 20 files, 1048575 bytes", "Installing...",
                                 "shortcuts: 3 made in " + startMenu().string(), "apps & features entry: written",
                                 "installed 1.0"}));

    const std::wstring folder = dir.wstring(), game = folder + L"\\game.exe",
                       setup = folder + L"\\QuillmarrowDunmirSetup.exe";
    EXPECT_EQ(uninstallEntry(), (Values{
        {L"DisplayName", {REG_SZ, textData(L"Quillmarrow Dunmir")}},
        {L"DisplayVersion", {REG_SZ, textData(L"1.0")}},
        {L"Publisher", {REG_SZ, textData(L"Quillmarrow Dunmir")}},
        {L"DisplayIcon", {REG_SZ, textData(game)}},
        {L"InstallLocation", {REG_SZ, textData(folder)}},
        {L"UninstallString", {REG_SZ, textData(L"\"" + setup + L"\" --uninstall")}},
        {L"URLInfoAbout", {REG_SZ, textData(L"https://quillmarrowdunmir.com/")}},
        {L"EstimatedSize", {REG_DWORD, numberData(1023)}},
        {L"NoModify", {REG_DWORD, numberData(1)}},
        {L"NoRepair", {REG_DWORD, numberData(1)}},
    }));

    const Link play{game, folder, L"Play Quillmarrow Dunmir", game, 0};
    EXPECT_EQ(readLink(startMenu() / L"Quillmarrow Dunmir.lnk"), play);
    EXPECT_EQ(readLink(desktopLink()), play);
    EXPECT_EQ(readLink(startMenu() / L"Update Quillmarrow Dunmir.lnk"),
              Link(setup, folder, L"Look for a new version of Quillmarrow Dunmir", setup, 0));
}

TEST_F(InstallTest, UpdateDropsOldFilesKeepsThePlayersAndCaseRenames)
{
    publish({{"game.exe", "game one"}, {"Data/X.pak", "x pak"}, {"old.dat", "old"}, {"keep.dat", "keep"}});
    ASSERT_EQ(install(), "");
    writeWholeFile(dir / "saves/slot 1.sav", "the player's own");

    publish({{"game.exe", "game two"}, {"data/x.pak", "x pak"}, {"keep.dat", "keep"}, {"new.dat", "new"}}, "2.0");
    server.clearRequests();
    ASSERT_EQ(check(), "");
    EXPECT_EQ(installer.needed, (std::vector<uint64_t>{0, 3}));
    ASSERT_EQ(apply(), "");
    EXPECT_FALSE(fs::exists(dir / "old.dat"));
    expectFiles({{"saves/slot 1.sav", "the player's own"}, {"data/x.pak", "x pak"}, {"game.exe", "game two"},
                 {"new.dat", "new"}});
    EXPECT_EQ(requestsFor("x pak") + requestsFor("keep"), 0u);
    // Registration was not asked for.
    EXPECT_FALSE(fs::exists(startMenu()));
    EXPECT_FALSE(fs::exists(desktopLink()));
    EXPECT_TRUE(uninstallEntry().empty());

    // Nothing needed: apply still records; the built-in source drops "install.source".
    ASSERT_EQ(check(), "");
    EXPECT_TRUE(installer.needed.empty());
    installer.options.baseUrl = DefaultBaseUrl;
    ASSERT_EQ(apply(), "");
    EXPECT_FALSE(fs::exists(dir / "install.source"));
    EXPECT_EQ(readWholeFile(dir / "install.manifest"), manifest);
    const Lines lines = logLines();
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              (Lines{"needed: 0 files, 0 bytes", "Installing...", "installed 2.0"}));
}

TEST_F(InstallTest, RecordedHashIsTrustedOnlyWhenExactAndNotRepairing)
{
    Release record = publish({{"game.exe", "game"}, {"a.dat", "aaaa"}});
    ASSERT_EQ(install(), "");
    writeWholeFile(dir / "a.dat", "bbbb"); // same size, other content
    ASSERT_EQ(check(), "");
    EXPECT_TRUE(installer.needed.empty()) << "a matching record spares reading the file";
    installer.options.repair = true;
    ASSERT_EQ(check(), "");
    EXPECT_EQ(installer.needed, std::vector<uint64_t>{1});

    installer.options.repair = false;
    for (char &c : record.files[1].hash) c = static_cast<char>(toupper(c));
    writeWholeFile(dir / "install.manifest", formatRelease(record));
    ASSERT_EQ(check(), "");
    EXPECT_EQ(installer.needed, std::vector<uint64_t>{1});
}

TEST_F(InstallTest, FetchesEachHashOnceAndReusesVerifiedStagedFiles)
{
    const std::string shared = patternBytes(70000, 5), stagedRight = "staged right", stagedWrong = "staged wrong";
    writeWholeFile(dir / ".staging" / hashOf(stagedRight), stagedRight);
    writeWholeFile(dir / ".staging" / hashOf(stagedWrong), "other content");
    // "a.dat" twice: a release may repeat a path.
    const Files files{{"game.exe", "game"}, {"a.dat", shared}, {"sub/b.dat", shared}, {"right.dat", stagedRight},
                      {"wrong.dat", stagedWrong}, {"a.dat", shared}};
    publish(files);
    ASSERT_EQ(install(), "");
    EXPECT_EQ(requestsFor(shared), 1u);
    EXPECT_EQ(requestsFor(stagedRight), 0u);
    EXPECT_EQ(requestsFor(stagedWrong), 1u);
    expectFiles(files);
}

TEST_F(InstallTest, DownloadFailuresAfterThreeAttempts)
{
    const std::string listed = patternBytes(100000, 8);
    const std::string mismatch = "The download failed: a file did not match the release: bad.dat";
    const struct {
        const char *name;
        std::string served;
        Fault fault;
        bool upperCaseHash;
        std::string expected; // the status 500 row adds the file's path
    } rows[] = {
        {"shorter body", listed.substr(1), {}, false, mismatch},
        {"wrong hash", listed.substr(1) + "!", {}, false, mismatch},
        {"longer body", listed + patternBytes(200000, 9), {}, false, mismatch},
        {"upper-case hash", listed, {}, true, mismatch},
        {"cut short", listed, Fault{.cutAfter = 1000}, false, "The download failed: the connection dropped"},
        {"status 500", listed, Fault{.status = 500}, false, "The download failed: the server answered 500 for "},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string hash = publish({{"game.exe", "game"}, {"bad.dat", listed}}, "1.0", [&](Release &r) {
            if (row.upperCaseHash) for (char &c : r.files[1].hash) c = static_cast<char>(toupper(c));
        }).files[1].hash;
        server.serve(filePath(hash), row.served, row.fault);
        server.clearRequests();
        ASSERT_EQ(check(), "");
        EXPECT_EQ(apply(), row.expected + (row.fault.status == 500 ? filePath(hash) : ""));
        EXPECT_EQ(server.requestCount(filePath(hash)), 3u);
        EXPECT_FALSE(fs::exists(dir / ".staging" / hash)) << "never kept under its hash";
        if (row.served.size() > listed.size()) {
            // Stopped at the chunk that passed the size: at most one chunk more.
            const auto partSize = fs::file_size(dir / ".staging" / (hash + ".part"));
            EXPECT_GT(partSize, listed.size());
            EXPECT_LE(partSize, listed.size() + 65536);
        }
    }
}

TEST_F(InstallTest, ManifestRefusals)
{
    // A release whose manifest is exactly `size` bytes, padded through its version.
    const auto sized = [](size_t size) {
        Release release = releaseOf("", {{"game.exe", "g"}});
        release.version.assign(size - signRelease(release, testKey().secret).size(), 'v');
        std::string text = signRelease(release, testKey().secret);
        EXPECT_EQ(text.size(), size);
        return text;
    };
    uint8_t seed[32] = {7}, otherSecret[64], otherPublic[32];
    crypto_eddsa_key_pair(otherSecret, otherPublic, seed);
    const std::string good = sized(1000);
    const std::tuple<const char *, std::string, std::string, size_t> rows[] = {
        {"largest accepted", sized(8388607), "", 1},
        {"one byte too long", sized(8388608), "Could not reach the Quillmarrow Dunmir server: stopped", 3},
        {"no signature", good.substr(0, good.find("signature ")), "the release is not signed", 1},
        {"another key", signRelease(releaseOf("1.0", {{"game.exe", "g"}}), otherSecret),
         "the release's signature does not match: it was not published by Quillmarrow Dunmir", 1},
    };
    for (const auto &[name, text, expected, requests] : rows) {
        SCOPED_TRACE(name);
        server.serve("/rel/latest.manifest", text);
        server.clearRequests();
        EXPECT_EQ(check(), expected);
        EXPECT_EQ(server.requestCount("/rel/latest.manifest"), requests);
    }
}

TEST_F(InstallTest, FirstAttemptFailsSecondSucceeds)
{
    publish({{"game.exe", "game"}});
    serveFlaky("/rel/latest.manifest", manifest);
    serveFlaky(filePath(hashOf("game")), "game");
    ASSERT_EQ(install(), ""); // and no word of the failed attempts
    EXPECT_EQ(server.requestCount("/rel/latest.manifest"), 2u);
    EXPECT_EQ(requestsFor("game"), 2u);
    EXPECT_EQ(readWholeFile(dir / "game.exe"), "game");
}

TEST_F(InstallTest, CancelKeepsThePartAndTheNextRunFetchesOnlyWhatIsMissing)
{
    const std::string big = patternBytes(400000, 3);
    publish({{"game.exe", "small"}, {"big.dat", big}, {"last.dat", "last"}});
    ASSERT_EQ(check(), "");
    // Cancels as soon as the first chunk of big.dat has arrived.
    installer.notify = [] {
        const std::lock_guard<std::mutex> lock(installer.mutex);
        if (installer.fraction * 400009 > 5.5) installer.cancel = true;
    };
    EXPECT_EQ(apply(), "Cancelled.");
    const fs::path part = dir / ".staging" / (hashOf(big) + ".part");
    ASSERT_TRUE(fs::exists(part));
    EXPECT_GT(fs::file_size(part), 0u);
    EXPECT_LT(fs::file_size(part), big.size());
    EXPECT_FALSE(fs::exists(dir / "game.exe"));

    installer.notify = nullptr;
    installer.cancel = false;
    server.clearRequests();
    ASSERT_EQ(install(), "");
    EXPECT_EQ(requestsFor("small"), 0u);
    EXPECT_EQ(requestsFor(big), 1u);
    EXPECT_EQ(requestsFor("last"), 1u);
    EXPECT_EQ(readWholeFile(dir / "big.dat"), big);
}

TEST_F(InstallTest, WaitsForARunningGameOnlyWhenUpdating)
{
    publish({{"game.exe", "game one"}});
    ASSERT_EQ(install(), "");
    publish({{"game.exe", "game two"}}, "2.0");
    ASSERT_EQ(check(), "");

    FileHandle held(CreateFileW((dir / "game.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(apply(), "Quillmarrow Dunmir is running. Close it, then try again.");
    EXPECT_EQ(requestsFor("game two"), 0u);

    installer.options.update = true;
    std::thread quit([&] {
        Sleep(700);
        held.reset();
    });
    EXPECT_EQ(apply(), "");
    quit.join();
    EXPECT_EQ(readWholeFile(dir / "game.exe"), "game two");
}

TEST_F(InstallTest, ReplacesTheRunningSetupProgram)
{
    // A copy of this program, started in the install folder, installs a
    // release that lists it; see SelfReplacementChild.
    const fs::path copy = dir / "QuillmarrowDunmirSetup.exe";
    writeWholeFile(copy.wstring() + L".old", "an older setup program");
    fs::copy_file(ownProgram(), copy);
    EXPECT_EQ(_wspawnl(_P_WAIT, copy.c_str(), (L"\"" + copy.wstring() + L"\"").c_str(), L"--gtest_brief=1",
                       L"--gtest_also_run_disabled_tests", L"--gtest_filter=InstallTest.DISABLED_SelfReplacementChild",
                       nullptr), 0);
    EXPECT_EQ(readWholeFile(copy), "a new setup program");
    EXPECT_EQ(readWholeFile(copy.wstring() + L".old"), readWholeFile(ownProgram()));
}

TEST_F(InstallTest, DISABLED_SelfReplacementChild)
{
    installer.options.installDir = ownProgram().parent_path();
    publish({{"game.exe", "game"}, {"QuillmarrowDunmirSetup.exe", "a new setup program"}});
    ASSERT_EQ(check(), "");
    // A placement that fails after the running program was moved aside puts
    // it back: the verified download vanishes before it can be moved.
    const fs::path staged = installer.options.installDir / ".staging" / hashOf("a new setup program");
    installer.notify = [&] {
        std::error_code ignored;
        fs::remove(staged, ignored);
    };
    EXPECT_EQ(apply(), "Could not install QuillmarrowDunmirSetup.exe (error 2).");
    EXPECT_EQ(readWholeFile(ownProgram()).substr(0, 2), "MZ");
    installer.notify = nullptr;
    ASSERT_EQ(install(), "");
}

TEST_F(InstallTest, RefusesWhenTheDiskIsTooSmall)
{
    // A size that the margin would carry past 2^64.
    publish({{"game.exe", "game"}}, "1.0", [](Release &r) { r.files[0].size = UINT64_MAX; });
    ASSERT_EQ(check(), "");
    EXPECT_EQ(apply(), "Not enough free disk space: 18446744073.71 GB are needed.");

    ULARGE_INTEGER free{};
    if (!GetDiskFreeSpaceExW(L"Q:\\", &free, nullptr, nullptr) || free.QuadPart > (16u << 20))
        GTEST_SKIP() << "no 8 MiB drive Q: (the tmpfs could not be mounted): the refusal on a really small "
                        "disk is not shown";
    const fs::path small = L"Q:\\Quill Dunmir " + std::to_wstring(GetCurrentProcessId());
    installer.options.installDir = small;
    publish({{"game.exe", patternBytes(2400000)}});
    ASSERT_EQ(check(), "");
    EXPECT_EQ(apply(), "Not enough free disk space: 2 MB are needed.");
    std::error_code ignored;
    fs::remove_all(small, ignored);
}

TEST_F(InstallTest, RegisteringAgainRefreshesButMakesNoSecondDesktopShortcut)
{
    installer.latest = Release{"1.0", 0, "game.exe", {{hashOf("g"), 1048575, "game.exe", false}}, {}};
    registerInstall(true);
    ASSERT_TRUE(fs::exists(desktopLink()));
    EXPECT_EQ(uninstallEntry()[L"EstimatedSize"].second, numberData(1023));
    fs::remove(desktopLink());

    installer.latest = Release{"2.0 beta", 0, "play.exe", {}, {}};
    registerInstall(false);
    const std::wstring game = dir.wstring() + L"\\play.exe";
    EXPECT_FALSE(fs::exists(desktopLink()));
    EXPECT_EQ(std::get<0>(readLink(startMenu() / L"Quillmarrow Dunmir.lnk")), game);
    Values entry = uninstallEntry();
    EXPECT_EQ(entry[L"DisplayVersion"].second, textData(L"2.0 beta"));
    EXPECT_EQ(entry[L"DisplayIcon"].second, textData(game));
    EXPECT_EQ(entry[L"EstimatedSize"].second, numberData(0));
}

TEST_F(InstallTest, LaunchGameQuotesThePathAndStartsInTheGamesFolder)
{
    fs::create_directories(dir / "bin dir");
    fs::copy_file(QD_FAKE_GAME, dir / "bin dir" / "fake game.exe");
    installer.latest.game = "bin dir/fake game.exe";
    const fs::path report = dir / "bin dir" / "launch.txt";
    const std::wstring program = dir.wstring() + L"\\bin dir/fake game.exe";
    for (const bool updated : {false, true}) {
        SCOPED_TRACE(updated);
        std::error_code ignored;
        fs::remove(report, ignored);
        ASSERT_TRUE(launchGame(updated));
        for (int i = 0; i < 600 && !fs::exists(report); ++i) Sleep(50);
        const std::string bytes = readWholeFile(report);
        const std::wstring text(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / 2);
        EXPECT_EQ(text, L"\"" + program + L"\"" + (updated ? L" --updated" : L"") + L"\n" + dir.wstring() +
                            L"\\bin dir\n");
    }
    installer.latest.game = "missing.exe";
    EXPECT_FALSE(launchGame(false));
}

// Stalled servers
// The stall rule with a one-second span: a server that never answers, one that
// drips its head, one that drips its body, all fail; a steady one above the
// rate passes. A cancel ends a blocked request at once, in the check's words.
TEST_F(HttpClient, StalledTransfersFailAndCancelEndsThemAtOnce)
{
    installer.transferLimits = {1000, 1024};
    const std::string body(24 * 1024, 'x');
    const struct { Fault fault; const char *err; } rows[] = {
        {Fault{.silent = true}, "the connection stalled"},
        {Fault{.bytesPerSecond = 100, .slowHead = true}, "the connection stalled"},
        {Fault{.bytesPerSecond = 100}, "the connection stalled"},
        {Fault{.bytesPerSecond = 8192}, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.err);
        server.serve("/data", body, row.fault);
        const Fetched f = fetch(server.url("/data"));
        EXPECT_EQ(f.ok, !*row.err);
        EXPECT_EQ(f.err, row.err);
        EXPECT_EQ(f.body.size() == body.size(), f.ok);
    }
    installer.transferLimits = {60000, 1024};
    server.serve("/rel/latest.manifest", "", Fault{.silent = true});
    std::thread closer([] { Sleep(300); installer.cancel = true; });
    std::string err;
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(installer.check(err));
    EXPECT_LT(GetTickCount64() - start, 5000u); // not the minute of the stall rule
    closer.join();
    EXPECT_EQ(err, "Cancelled.");
    installer.transferLimits = {};
}
