#include "release.h"

uint64_t totalSize(const Release &release)
{
    uint64_t total = 0;
    for (const FileEntry &file : release.files)
        total += file.size;
    return total;
}
