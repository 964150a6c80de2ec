// The real setup program ended abruptly (TerminateProcess) at moments spread
// over a quiet install and a quiet update of a release of many files, some
// large. After each kill a normal quiet run must complete, leaving exactly
// the release, the records and the player's own files in the install folder,
// without fetching again a download that the killed run had verified.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "e2e_support.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

const fs::path SetupExe = QD_SETUP_EXE;
constexpr DWORD KillCode = 77;
constexpr uint64_t Piece = 16384;

const Files PlayerFiles = {
    {"saves/hero.sav", "the player's own save"},
    {"data/maps/my-own.map", "a map the player made"},
    {"game/Dunmir.cfg", "volume=7"},
};

// The first release: the game, three large packs, many maps with one copy,
// and notes that the second release drops.
Files firstFiles()
{
    Files files = {{"game/Dunmir.exe", patternBytes(20000, 1)},
                   {"data/world.pak", patternBytes(6 << 20, 2)},
                   {"data/music.pak", patternBytes(4 << 20, 3)},
                   {"data/voices.pak", patternBytes(3 << 20, 4)}};
    for (int i = 0; i < 120; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "data/maps/m%03d.map", i);
        files.push_back({name, patternBytes(1000 + static_cast<size_t>(i) * 263, 100 + static_cast<uint32_t>(i))});
    }
    files.push_back({"data/maps/copy-of-m000.map", files[4].second});
    for (int i = 0; i < 5; ++i)
        files.push_back({"old/dropped-" + std::to_string(i) + ".txt", "dropped in 2.0 #" + std::to_string(i)});
    return files;
}

// The second release: a new game program and world, the same music, new
// voices of the same size, every other map changed (some to the same size),
// new maps, and no notes.
Files secondFiles()
{
    const Files first = firstFiles();
    Files files = {{"game/Dunmir.exe", patternBytes(21000, 11)},
                   {"data/world.pak", patternBytes(6 << 20, 12)},
                   first[2],
                   {"data/voices.pak", patternBytes(3 << 20, 14)}};
    for (int i = 0; i < 120; ++i) {
        const auto &[path, bytes] = first[4 + static_cast<size_t>(i)];
        files.push_back(i % 2 ? std::make_pair(path, patternBytes(bytes.size() + (i % 4 == 1 ? 0 : 17),
                                                                   500 + static_cast<uint32_t>(i)))
                              : first[4 + static_cast<size_t>(i)]);
    }
    files.push_back({"data/maps/copy-of-m001.map", files[5].second});
    for (int i = 0; i < 10; ++i)
        files.push_back({"data/maps/new-" + std::to_string(i) + ".map",
                         patternBytes(5000, 900 + static_cast<uint32_t>(i))});
    return files;
}

struct Published {
    std::string version;
    Files files;
    Release release;
    std::string manifest;
};

Published makeRelease(const std::string &version, Files files)
{
    Published published{version, std::move(files), {}, {}};
    published.release = releaseOf(version, published.files);
    published.manifest = signRelease(published.release, testKey().secret);
    return published;
}

bool isHashName(const std::wstring &name)
{
    return name.size() == 64 && name.find_first_not_of(L"0123456789abcdef") == std::wstring::npos;
}

// The bare hash names in the staging folder's two-digit subfolders (verified downloads).
std::vector<std::string> stagedHashes(const fs::path &staging)
{
    std::vector<std::string> hashes;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(staging, ec), end; !ec && it != end; it.increment(ec))
        if (it.depth() == 1 && isHashName(it->path().filename().wstring()))
            hashes.push_back(it->path().filename().string());
    return hashes;
}

// A file's bytes, read with every kind of sharing, so that the program can
// still replace or delete it while the test watches.
std::string peek(const fs::path &file)
{
    std::string bytes;
    const HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    for (DWORD got = 0; ReadFile(handle, buffer, sizeof buffer, &got, nullptr) && got > 0;)
        bytes.append(buffer, got);
    CloseHandle(handle);
    return bytes;
}

bool logHas(const fs::path &log, const std::string &line)
{
    return peek(log).find(line) != std::string::npos;
}

// Every file below folder by its '/'-separated relative path. Folders that
// an update emptied stay by design, so folders are left out.
std::map<std::string, std::string> folderContent(const fs::path &folder)
{
    std::map<std::string, std::string> content;
    for (const auto &item : fs::recursive_directory_iterator(folder))
        if (!item.is_directory())
            content[item.path().lexically_relative(folder).generic_string()] = readWholeFile(item.path());
    return content;
}

// When the killed run should end. Download moments come from the server as
// it sends; the later ones from watching the log and the install folder.
struct Moment {
    enum Kind {
        Manifest, Requests, BodyBytes, Installing, DroppedGone, Recorded, StagingGone, Registering, AfterLastByte
    };
    Kind kind;
    uint64_t value = 0; // file requests; body bytes sent; percent of the staged files moved; milliseconds
    std::string name() const
    {
        static const char *names[] = {"at the manifest request", "file requests", "body bytes sent",
                                      "% of staged files moved", "a dropped file deleted", "record written",
                                      "staging removed", "first shortcut made", "ms after the last body byte"};
        return (kind == Requests || kind == BodyBytes || kind == Installing || kind == AfterLastByte
                    ? std::to_string(value)
                    : "") +
               (kind == Installing ? "" : " ") + names[kind];
    }
};

class CrashTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        startMenu = shellFolder(FOLDERID_Programs) / "Quillmarrow Dunmir";
        clearRegistration();
        for (const Published *published : {&first, &second})
            for (size_t i = 0; i < published->files.size(); ++i)
                serveFile(published->release.files[i].hash, published->files[i].second);
        server.serveRaw("/rel/latest.manifest", [this](const ServedRequest &, const TestServer::RawSend &send) {
            if (moment.kind == Moment::Manifest && killNow())
                return;
            const std::string manifest = *served.load();
            send("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + std::to_string(manifest.size()) +
                 "\r\n\r\n" + manifest);
        });
    }

    void TearDown() override { clearRegistration(); }

    void clearRegistration()
    {
        std::error_code ec;
        deleteUninstallKey();
        fs::remove_all(startMenu, ec);
        fs::remove(shellFolder(FOLDERID_Desktop) / "Quillmarrow Dunmir.lnk", ec);
    }

    // Sends a file's body in small pieces, so that a kill by byte count
    // lands within one piece of its mark.
    void serveFile(const std::string &hash, const std::string &bytes)
    {
        auto body = std::make_shared<const std::string>(bytes);
        server.serveRaw("/rel/files/" + hash, [this, body](const ServedRequest &, const TestServer::RawSend &send) {
            if (moment.kind == Moment::Requests && ++fileRequests == moment.value && killNow())
                return;
            if (!send("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + std::to_string(body->size()) +
                      "\r\n\r\n"))
                return;
            for (uint64_t offset = 0; offset < body->size(); offset += Piece) {
                const uint64_t n = std::min<uint64_t>(Piece, body->size() - offset);
                if (!send(std::string_view(body->data() + offset, n)))
                    return;
                const uint64_t total = bodyBytes += n;
                if (moment.kind == Moment::BodyBytes && total >= moment.value && killNow())
                    return;
            }
            lastByteAt = std::chrono::steady_clock::now().time_since_epoch().count();
        });
    }

    // Ends the running program once; true when this call ended it.
    bool killNow()
    {
        SetupProcess *process = running.load();
        return process && !killed.exchange(true) && process->kill(KillCode);
    }

    bool due(const fs::path &dir, const fs::path &log, size_t stagedAtStart, const Published &to)
    {
        switch (moment.kind) {
        case Moment::Installing:
            return logHas(log, "Installing...") &&
                   stagedHashes(dir / ".staging").size() + stagedAtStart * moment.value / 100 <= stagedAtStart;
        case Moment::DroppedGone:
            return !fs::exists(dir / "old/dropped-0.txt");
        case Moment::Recorded: {
            // Looked at without opening it: an open record cannot be replaced.
            WIN32_FILE_ATTRIBUTE_DATA data;
            return GetFileAttributesExW((dir / "install.manifest").c_str(), GetFileExInfoStandard, &data) &&
                   data.nFileSizeLow == to.manifest.size();
        }
        case Moment::StagingGone:
            return logHas(log, "Installing...") && !fs::exists(dir / ".staging");
        case Moment::Registering:
            return fs::exists(startMenu / "Quillmarrow Dunmir.lnk");
        case Moment::AfterLastByte: {
            const int64_t last = lastByteAt.load();
            return bodyBytes.load() >= neededBytes && last != 0 &&
                   std::chrono::steady_clock::now().time_since_epoch().count() - last >=
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::milliseconds(moment.value))
                           .count();
        }
        default:
            return false;
        }
    }

    // Which step the killed run had reached, read from what it left.
    static std::string reached(const fs::path &dir, const fs::path &log, const Published &to)
    {
        if (logHas(log, "installed " + to.version))
            return "done";
        if (logHas(log, "shortcuts:") || (logHas(log, "Installing...") && !fs::exists(dir / ".staging")))
            return "registration";
        if (readWholeFile(dir / "install.manifest") == to.manifest)
            return "records";
        if (logHas(log, "Installing..."))
            return "install";
        if (fs::exists(dir / ".staging"))
            return "download";
        return "check";
    }

    // One kill and the run after it, from the state that prepare leaves.
    void cycle(int number, const Moment &when, const Published &to, const fs::path &dir,
               const std::function<void()> &prepare)
    {
        SCOPED_TRACE("kill " + std::to_string(number) + " " + when.name());
        std::error_code ec;
        fs::remove_all(dir, ec);
        prepare();
        for (const auto &[path, bytes] : PlayerFiles)
            writeWholeFile(dir / path, bytes);

        // What the killed run must fetch: every hash not already in place.
        std::set<std::string> fetch;
        neededBytes = 0;
        for (size_t i = 0; i < to.files.size(); ++i)
            if (readWholeFile(dir / to.files[i].first) != to.files[i].second &&
                fetch.insert(to.release.files[i].hash).second)
                neededBytes += to.files[i].second.size();

        served = &to.manifest;
        moment = when;
        bodyBytes = 0;
        fileRequests = 0;
        lastByteAt = 0;
        killed = false;
        server.clearRequests();
        const fs::path log = root / ("kill-" + std::to_string(number) + ".log");
        const std::wstring arguments =
            L"--quiet --dir " + quoted(dir) + L" --source " + server.url("/rel/") + L" --log ";
        clearRegistration();
        processes.push_back(std::make_unique<SetupProcess>(SetupExe, arguments + quoted(log), root));
        SetupProcess &process = *processes.back();
        running = &process;
        const bool watched =
            when.kind != Moment::Manifest && when.kind != Moment::Requests && when.kind != Moment::BodyBytes;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (WaitForSingleObject(process.handle(), watched ? 0 : 5) == WAIT_TIMEOUT &&
               std::chrono::steady_clock::now() < deadline) {
            if (watched && due(dir, log, fetch.size(), to))
                killNow();
        }
        running = nullptr;
        const DWORD code = process.wait(30000);
        const bool ended = code == KillCode;
        EXPECT_TRUE(ended || code == 0) << "the killed run itself failed, exit code " << code;
        kills += ended;
        const std::string step = ended ? reached(dir, log, to) : "finished before the kill";
        ++steps[step];
        const size_t killedRunRequests = server.requests().size();

        // A bare hash name is only ever given to verified bytes. Those, and
        // the bytes already in place, must not cross the network again.
        std::set<std::string> verified;
        for (const std::string &hash : stagedHashes(dir / ".staging")) {
            EXPECT_EQ(hashFile(dir / ".staging" / hash.substr(0, 2) / hash, nullptr), hash)
                << "a staged file under a wrong name";
            verified.insert(hash);
        }
        for (size_t i = 0; i < to.files.size(); ++i)
            if (readWholeFile(dir / to.files[i].first) == to.files[i].second)
                verified.insert(to.release.files[i].hash);

        server.clearRequests();
        const fs::path log2 = root / ("after-" + std::to_string(number) + ".log");
        ASSERT_EQ(runSetup(SetupExe, arguments + quoted(log2), root), 0u) << readWholeFile(log2);
        size_t refetched = 0;
        for (const ServedRequest &request : server.requests()) {
            const std::string hash = request.path.substr(request.path.rfind('/') + 1);
            if (verified.count(hash)) {
                ++refetched;
                ADD_FAILURE() << "a verified download was fetched again: " << hash;
            }
        }

        std::map<std::string, std::string> expected;
        for (const auto &[path, bytes] : to.files)
            expected[path] = bytes;
        for (const auto &[path, bytes] : PlayerFiles)
            expected[path] = bytes;
        expected["install.manifest"] = to.manifest;
        expected["install.source"] = utf8(server.url("/rel/")) + "\n";
        const auto actual = folderContent(dir);
        EXPECT_TRUE(actual == expected) << [&] {
            std::string diff;
            for (const auto &[path, bytes] : actual)
                if (!expected.count(path) || expected.at(path) != bytes)
                    diff += " " + path + (expected.count(path) ? " (wrong bytes)" : " (extra)");
            for (const auto &[path, bytes] : expected)
                if (!actual.count(path))
                    diff += " " + path + " (missing)";
            return "the install folder differs from the release:" + diff;
        }();
        EXPECT_TRUE(fs::exists(startMenu / "Quillmarrow Dunmir.lnk"));
        EXPECT_TRUE(uninstallKeyExists());
        std::printf("kill %2d, %-34s %s, %-26s killed run %3zu requests, next run %3zu, fetched again %zu\n",
                    number, (when.name() + ":").c_str(), ended ? "killed" : "missed", step.c_str(), killedRunRequests,
                    server.requests().size(), refetched);
        std::fflush(stdout);
    }

    // Moments for a run that fetches hashes files of neededTotal body bytes:
    // the manifest, ten marks by bytes and five by requests across the
    // download (the large files take most bytes, the small ones most
    // requests), then the steps after it.
    static std::vector<Moment> moments(uint64_t hashes, uint64_t neededTotal, bool update)
    {
        std::vector<Moment> list = {{Moment::Manifest}};
        for (uint64_t k = 0; k < 10; ++k)
            list.push_back({Moment::BodyBytes, 1 + neededTotal * k / 10});
        for (uint64_t k = 1; k <= 5; ++k)
            list.push_back({Moment::Requests, hashes * k / 6});
        list.push_back({Moment::AfterLastByte, 0});
        list.push_back({Moment::Installing, 0});
        list.push_back({Moment::Installing, 2});
        list.push_back({Moment::Installing, 50});
        list.push_back({Moment::Installing, 90});
        list.push_back({update ? Moment::DroppedGone : Moment::AfterLastByte, update ? 0u : 30u});
        list.push_back({Moment::Recorded});
        list.push_back({Moment::StagingGone});
        list.push_back({Moment::Registering});
        return list;
    }

    // The distinct hashes of to that from lacks at their path, and their bytes.
    static std::pair<uint64_t, uint64_t> toFetch(const Release &from, const Published &to)
    {
        std::map<std::string, std::string> had;
        for (const FileEntry &entry : from.files)
            had[entry.path] = entry.hash;
        std::set<std::string> hashes;
        uint64_t total = 0;
        for (size_t i = 0; i < to.files.size(); ++i) {
            const FileEntry &entry = to.release.files[i];
            if (had[entry.path] != entry.hash && hashes.insert(entry.hash).second)
                total += entry.size;
        }
        return {hashes.size(), total};
    }

    ScratchFolder scratch;
    fs::path root = scratch.path();
    fs::path startMenu;
    TestServer server;
    const Published first = makeRelease("1.0", firstFiles());
    const Published second = makeRelease("2.0", secondFiles());

    std::atomic<const std::string *> served{nullptr};
    Moment moment{Moment::Manifest};
    std::atomic<SetupProcess *> running{nullptr};
    // Killed runs stay owned until the end: a server thread may still be
    // inside kill() when the test thread sees the program gone.
    std::vector<std::unique_ptr<SetupProcess>> processes;
    std::atomic<bool> killed{false};
    std::atomic<uint64_t> bodyBytes{0};
    std::atomic<uint64_t> fileRequests{0};
    std::atomic<int64_t> lastByteAt{0};
    uint64_t neededBytes = 0;
    int kills = 0;
    std::map<std::string, int> steps;
};

TEST_F(CrashTest, KilledInstallsAndUpdatesCompleteOnTheNextRun)
{
    const fs::path dir = root / "Quill Dunmir";
    const fs::path updateFrom = root / "installed-1.0";
    ASSERT_NE(first.manifest.size(), second.manifest.size()) << "the record's size tells the releases apart";
    served = &first.manifest;
    ASSERT_EQ(runSetup(SetupExe, L"--quiet --no-register --dir " + quoted(updateFrom) + L" --source " +
                                     server.url("/rel/"),
                       root),
              0u);

    int number = 0;
    const auto [firstHashes, firstBytes] = toFetch(Release{}, first);
    for (const Moment &when : moments(firstHashes, firstBytes, false))
        cycle(++number, when, first, dir, [] {});
    const auto [secondHashes, secondBytes] = toFetch(first.release, second);
    for (const Moment &when : moments(secondHashes, secondBytes, true))
        cycle(++number, when, second, dir, [&] { fs::copy(updateFrom, dir, fs::copy_options::recursive); });

    std::string summary;
    for (const auto &[step, count] : steps)
        summary += " " + step + " " + std::to_string(count) + ";";
    std::printf("%d moments, %d kills of a running program; where the kills landed:%s\n", number, kills,
                summary.c_str());
    // Timing may let a late moment miss a program that already finished;
    // most must land.
    EXPECT_GE(kills, number * 4 / 5);
}

} // namespace

namespace {

// What a run leaves when it is stopped while placing files, built by hand so
// that the next run meets it every time.
class StoppedRun : public ::testing::Test {
protected:
    // Serves files as the newest release and returns its manifest.
    std::string serve(const std::string &version, const Files &files)
    {
        return publish(server, "/rel/", releaseOf(version, files), files);
    }

    DWORD quietRun(const std::wstring &more = L"--no-register")
    {
        return runSetup(SetupExe,
                        L"--quiet --dir " + quoted(dir) + L" --source " + server.url("/rel/") + L" " + more +
                            L" --log " + quoted(scratch / "run.log"),
                        scratch.path());
    }

    ScratchFolder scratch;
    fs::path dir = scratch / "Quill";
    TestServer server;
};

const std::string Tower = patternBytes(4000, 7), Tower2 = patternBytes(4000, 8);

TEST_F(StoppedRun, AnUpdateStoppedBeforeItsRecordIsFinishedAndItsRecordNotTrusted)
{
    const Files first = {{"game.exe", "MZ 1"}, {"maps/tower.map", Tower}, {"old.txt", "dropped in 2"}};
    const Files second = {{"game.exe", "MZ 1"}, {"maps/tower.map", Tower2}, {"new.txt", "new in 2"}};
    const std::string firstManifest = serve("1", first);
    ASSERT_EQ(quietRun(), 0u);

    // Stopped after placing the second release's files, before deleting the
    // dropped one and recording: the staging folder keeps its marker, the record is the
    // first release's.
    const auto stopHalfWay = [&] {
        writeWholeFile(dir / "maps/tower.map", Tower2);
        writeWholeFile(dir / "new.txt", "new in 2");
        writeWholeFile(dir / ".staging" / "placing", "");
    };
    stopHalfWay();
    const std::string secondManifest = serve("2", second);
    ASSERT_EQ(quietRun(), 0u) << readWholeFile(scratch / "run.log");
    EXPECT_EQ(readWholeFile(dir / "install.manifest"), secondManifest);
    EXPECT_FALSE(fs::exists(dir / "old.txt"));
    EXPECT_FALSE(fs::exists(dir / ".staging"));

    // The publisher takes the second release back. The stale record says the
    // map holds the first release's bytes, which have the same size: only
    // hashing finds that it does not.
    ASSERT_EQ(quietRun(), 0u);
    writeWholeFile(dir / "install.manifest", firstManifest);
    stopHalfWay();
    serve("1", first);
    ASSERT_EQ(quietRun(), 0u) << readWholeFile(scratch / "run.log");
    EXPECT_TRUE(readWholeFile(dir / "maps/tower.map") == Tower) << "the map keeps the withdrawn release's bytes";
    EXPECT_EQ(readWholeFile(dir / "install.manifest"), firstManifest);
}

TEST_F(StoppedRun, BytesPlacedAtOnePathAreCopiedToTheOthersNotFetchedAgain)
{
    const Files files = {{"game.exe", "MZ"}, {"maps/a.map", Tower}, {"maps/b.map", Tower}};
    const std::string manifest = serve("1", files);
    // Stopped after moving the map's download to its first path, before
    // copying it to the second.
    writeWholeFile(dir / "maps/a.map", Tower);
    writeWholeFile(dir / ".staging" / "placing", "");
    ASSERT_EQ(quietRun(), 0u) << readWholeFile(scratch / "run.log");
    EXPECT_TRUE(readWholeFile(dir / "maps/b.map") == Tower);
    EXPECT_EQ(readWholeFile(dir / "install.manifest"), manifest);
    EXPECT_EQ(server.requestCount("/rel/files/" + hashOf(Tower)), 0u);
}

} // namespace
