// Start-up of the setup program: the command line into Options, the install
// folder and the release server's base URL.
#include "app/startup.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <string_view>

#include "crypto/monocypher.h"
#include "engine/file_ops.h"
#include "engine/handles.h"
#include "engine/helpers.h"
#include "release/release.h"

namespace {

// Owns the vector that CommandLineToArgvW allocates with LocalAlloc.
class ArgvOwner {
public:
    explicit ArgvOwner(wchar_t **argv) : argv_(argv) {}
    ~ArgvOwner()
    {
        if (argv_)
            LocalFree(argv_);
    }
    ArgvOwner(const ArgvOwner &) = delete;
    ArgvOwner &operator=(const ArgvOwner &) = delete;

private:
    wchar_t **argv_;
};

// The path the system itself gives an existing file or folder, whatever
// name it was opened by; empty when it cannot be opened. The volume's GUID
// form is the same through every drive letter and mount point; a network
// share has none, and its form without one is the same for a mapped drive.
std::wstring finalPath(const std::wstring &path)
{
    const FileHandle item(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!item)
        return {};
    for (const DWORD form : {VOLUME_NAME_GUID, VOLUME_NAME_DOS}) {
        const DWORD size = GetFinalPathNameByHandleW(item.get(), nullptr, 0, form);
        if (size == 0)
            continue;
        std::wstring text(size, L'\0');
        const DWORD length = GetFinalPathNameByHandleW(item.get(), text.data(), size, form);
        if (length > 0 && length < size) {
            text.resize(length);
            return text;
        }
    }
    return {};
}

// The install folder by what it is rather than how it is spelt: another
// drive letter, a short name or a link to it give the same text. Its
// nearest part that exists is asked for its final path; the parts a run
// has still to make are added to that in their normal form.
std::wstring folderIdentity(const std::filesystem::path &folder)
{
    std::wstring existing = longPath(folder), rest;
    const size_t root = rootLength(existing);
    while (existing.size() > root && existing.back() == L'\\')
        existing.pop_back();
    std::wstring found = finalPath(existing);
    for (size_t cut; found.empty() && existing.size() > root && (cut = existing.find_last_of(L'\\')) != std::wstring::npos;) {
        rest.insert(0, existing.substr(cut));
        existing.resize(std::max(cut, root));
        found = finalPath(existing);
    }
    // Nothing of it can be opened (a drive that is not there): its spelling
    // is all there is to go by.
    if (found.empty())
        found = existing;
    while (!found.empty() && found.back() == L'\\')
        found.pop_back();
    return found + rest;
}

// A typed folder as Windows reads it: a name's trailing blanks and dots are
// dropped, which Windows does with every folder it is asked to make. Left
// in, they would name another folder in every call that takes a path in
// the extended-length form.
std::wstring asWindowsReadsIt(const std::wstring &text)
{
    std::wstring read;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find_first_of(L"\\/", start);
        std::wstring name = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (name != L"." && name != L"..") {
            const bool named = !name.empty();
            while (!name.empty() && (name.back() == L' ' || name.back() == L'.'))
                name.pop_back();
            // Nothing but dots and blanks names the folder it stands in.
            if (named && name.empty())
                name = L".";
        }
        read += name;
        if (end == std::wstring::npos)
            return read;
        read += L'\\';
        start = end + 1;
    }
}

} // namespace

std::vector<std::wstring> commandLineArguments()
{
    int count = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &count);
    ArgvOwner owner(argv);
    std::vector<std::wstring> arguments;
    if (!argv)
        return arguments;
    for (int i = 1; i < count; ++i)
        arguments.emplace_back(argv[i]);
    return arguments;
}

std::filesystem::path settleInstallDir(const std::filesystem::path &given,
                                       const std::filesystem::path &setupFolder)
{
    std::filesystem::path folder = given;
    if (folder.empty()) {
        // The uninstall entry and the update shortcut start the copy inside
        // the install folder without "--dir": that copy must work on its own
        // folder, which the installed manifest beside it marks.
        std::error_code ec;
        if (std::filesystem::exists(setupFolder / manifestFileName, ec)) {
            folder = setupFolder;
        } else {
            std::filesystem::path programs = knownFolder(FOLDERID_UserProgramFiles);
            if (programs.empty())
                programs = knownFolder(FOLDERID_LocalAppData) / L"Programs";
            folder = programs / productName;
        }
    }
    // Absolute and normal as Windows makes it ('/' read as '\', "." and ".."
    // resolved, a relative folder taken against the current one; a folder
    // given in the extended-length form is the one it names), then back from
    // that form, which the footer and shortcuts show.
    std::wstring text = longPath(asWindowsReadsIt(folder.wstring()));
    // "C:\Games\", "C:\Games\." and "C:\Games\x\.." name C:\Games; only a root keeps its '\'.
    const size_t root = rootLength(text);
    while (text.size() > root && text.back() == L'\\')
        text.pop_back();
    if (text.rfind(L"\\\\?\\UNC\\", 0) == 0)
        return L"\\\\" + text.substr(8);
    if (text.rfind(L"\\\\?\\", 0) == 0)
        return text.substr(4);
    return text;
}

bool claimInstallDir(const std::filesystem::path &installDir)
{
    // Windows compares file names without regard to letter case.
    std::wstring folded = folderIdentity(installDir);
    CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
    uint8_t digest[16];
    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, sizeof digest);
    crypto_blake2b_update(&ctx, reinterpret_cast<const uint8_t *>(folded.data()), folded.size() * sizeof(wchar_t));
    crypto_blake2b_final(&ctx, digest);
    // A path is too long for a mutex name; its hash is not. The handle stays
    // open until the process ends, which releases it however the run ends.
    const std::string name = "Local\\QuillmarrowDunmirSetup-" + toHex(digest, sizeof digest);
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, utf8ToWide(name).c_str());
    return mutex && GetLastError() != ERROR_ALREADY_EXISTS;
}

std::wstring settleBaseUrl(const std::wstring &baseUrl, bool sourceGiven,
                           const std::filesystem::path &installDir)
{
    std::wstring url = baseUrl;
    if (!sourceGiven) {
        // A person may have saved the record in an editor: Notepad puts a
        // byte-order mark in front, and blanks, tabs and line ends around
        // the address are no part of it.
        const std::string text = readFile(installDir / sourceFileName);
        std::string_view recorded = text;
        if (recorded.starts_with("\xEF\xBB\xBF"))
            recorded.remove_prefix(3);
        constexpr std::string_view space = " \t\r\n";
        const size_t first = recorded.find_first_not_of(space);
        if (first != std::string_view::npos)
            url = utf8ToWide(std::string(recorded.substr(first, recorded.find_last_not_of(space) + 1 - first)));
    }
    if (!url.empty() && url.back() != L'/')
        url += L'/';
    return url;
}
