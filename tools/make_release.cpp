// Publishes a folder of game files as a release that the setup program can
// install: a signed "latest.manifest" and every file under "files/<hash>".
//
//   make_release <game folder> <release folder> <version> <game program> <key file>
//
// The game program is a '/'-separated path inside the game folder. The key
// file holds a line "secret " followed by the 128 hex digits of the EdDSA
// secret key (as in tests/data/test-release-key.txt).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "release/release.h"

namespace fs = std::filesystem;

namespace {

bool readSecretKey(const fs::path &keyFile, uint8_t secretKey[64], std::string &err)
{
    std::ifstream in(keyFile);
    if (!in) {
        err = "cannot open the key file " + keyFile.string();
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("secret ", 0) == 0) {
            if (fromHex(line.substr(7), secretKey, 64))
                return true;
            err = "the secret key in " + keyFile.string() + " is not 128 hex digits";
            return false;
        }
    }
    err = "no \"secret\" line in " + keyFile.string();
    return false;
}

bool writeBytes(const fs::path &file, const std::string &bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// Programs get the "exec" keyword; nothing acts on it yet, but it keeps the
// manifest honest about what the files are.
bool looksExecutable(const fs::path &file)
{
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".exe" || extension == ".dll";
}

int fail(const std::string &message)
{
    std::cerr << "make_release: " << message << "\n";
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6)
        return fail("usage: make_release <game folder> <release folder> <version> <game program> "
                    "<key file>");
    const fs::path gameFolder = argv[1];
    const fs::path releaseFolder = argv[2];

    uint8_t secretKey[64];
    std::string err;
    if (!readSecretKey(argv[5], secretKey, err))
        return fail(err);

    Release release;
    release.version = argv[3];
    release.protocol = 1;
    release.game = argv[4];

    std::error_code ec;
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(gameFolder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file())
            files.push_back(it->path());
    }
    if (ec)
        return fail("cannot read " + gameFolder.string() + ": " + ec.message());
    // A stable order keeps two runs over the same folder byte-identical.
    std::sort(files.begin(), files.end(), [&](const fs::path &a, const fs::path &b) {
        return a.lexically_relative(gameFolder).generic_string() <
               b.lexically_relative(gameFolder).generic_string();
    });

    fs::create_directories(releaseFolder / "files", ec);
    if (ec)
        return fail("cannot create " + (releaseFolder / "files").string() + ": " + ec.message());

    for (const fs::path &file : files) {
        FileEntry entry;
        entry.path = file.lexically_relative(gameFolder).generic_string();
        entry.hash = hashFile(file, &entry.size);
        entry.exec = looksExecutable(file);
        if (entry.hash.empty())
            return fail("cannot read " + file.string());
        // Files are named by their content: one already published is the same.
        const fs::path published = releaseFolder / "files" / entry.hash;
        if (!fs::exists(published, ec))
            fs::copy_file(file, published, ec);
        if (ec)
            return fail("cannot copy " + file.string() + ": " + ec.message());
        release.files.push_back(entry);
        std::cout << entry.hash << " " << entry.size << " " << entry.path << "\n";
    }

    std::string manifest = signRelease(release, secretKey);
    // The signed text must read back, or the setup program would refuse it.
    Release check;
    std::string readErr;
    if (!parseRelease(manifest, check, readErr))
        return fail("the release would be refused: " + readErr);
    if (!writeBytes(releaseFolder / "latest.manifest", manifest))
        return fail("cannot write " + (releaseFolder / "latest.manifest").string());
    std::cout << "latest.manifest: version " << release.version << ", " << release.files.size()
              << " files, " << totalSize(release) << " bytes\n";
    return 0;
}
