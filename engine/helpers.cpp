#include "engine/helpers.h"

#include <cwchar>
#include <memory>
#include <system_error>

#include "engine/file_ops.h"
#include "engine/handles.h"
#include "engine/installer.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD ReadBufferSize = 65536;

} // namespace

void logLine(const char *line)
{
    if (!installer.logFile) return;
    // One formatted write per line: the stream's lock keeps lines from two
    // threads whole.
    fprintf(installer.logFile, "%s\n", line);
    fflush(installer.logFile);
}

std::wstring formatSize(uint64_t bytes)
{
    wchar_t text[64];
    if (bytes <= 999999999) {
        double value = static_cast<double>(bytes) / 1000000.0;
        if (value < 1.0) value = 1.0; // never offer "0 MB" for a small download
        swprintf(text, 64, L"%.0f MB", value);
    } else {
        swprintf(text, 64, L"%.2f GB", static_cast<double>(bytes) / 1000000000.0);
    }
    return text;
}

std::wstring utf8ToWide(const std::string &text)
{
    if (text.empty()) return {};
    const int inLength = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), inLength, nullptr, 0);
    if (length <= 0) return {};
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), inLength, out.data(), length);
    return out;
}

std::string wideToUtf8(const std::wstring &text)
{
    if (text.empty()) return {};
    const int inLength = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), inLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), inLength, out.data(), length, nullptr, nullptr);
    return out;
}

std::string readFile(const fs::path &file)
{
    std::string result;
    FileHandle handle(CreateFileW(longPath(file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (!handle) return result;
    const auto buffer = std::make_unique<char[]>(ReadBufferSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(handle.get(), buffer.get(), ReadBufferSize, &read, nullptr) || read == 0)
            break;
        result.append(buffer.get(), read);
    }
    return result;
}

fs::path selfPath()
{
    wchar_t buffer[1040];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, 1040);
    return fs::path(std::wstring(buffer, length));
}

bool samePath(const fs::path &a, const fs::path &b)
{
    // File identity catches hard links and short or differently spelled
    // names, also in the extended-length form.
    BY_HANDLE_FILE_INFORMATION infoA{}, infoB{};
    bool bothExist = true;
    for (const auto &[path, info] : {std::pair{&a, &infoA}, std::pair{&b, &infoB}}) {
        const FileHandle file(CreateFileW(longPath(*path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        bothExist = bothExist && file && GetFileInformationByHandle(file.get(), info);
    }
    if (bothExist)
        return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber && infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
               infoA.nFileIndexLow == infoB.nFileIndexLow;
    std::error_code error;
    const fs::path absoluteA = fs::absolute(a, error);
    const fs::path absoluteB = fs::absolute(b, error);
    return _wcsicmp(absoluteA.c_str(), absoluteB.c_str()) == 0;
}

bool writeFileAtomic(const fs::path &target, const std::string &bytes)
{
    fs::path temporary = target;
    temporary += L".tmp";
    // A fresh file, never one linked to the temporary's name; flushed before
    // the rename, so that a power cut leaves the old record or the whole new
    // one, not an empty file.
    bool written = false;
    if (removeFile(temporary)) {
        FileHandle file(CreateFileW(longPath(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        DWORD count = 0;
        written = file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr) &&
                  count == bytes.size() && FlushFileBuffers(file.get());
    }
    if (written && replaceFile(temporary, target))
        return true;
    (void)removeFile(temporary);
    return false;
}

fs::path installPath(const fs::path &relative)
{
    return installer.options.installDir / relative;
}

fs::path gameExePath()
{
    // On the uninstall road no newest release has been read.
    const std::string &game =
        installer.latest.game.empty() ? installer.installed.game : installer.latest.game;
    return installPath(utf8ToWide(game));
}

fs::path knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR text = nullptr;
    fs::path folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &text))) folder = text;
    CoTaskMemFree(text);
    return folder;
}
