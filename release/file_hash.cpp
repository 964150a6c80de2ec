#include "release.h"

#include <fstream>
#include <memory>

namespace {

constexpr size_t hashBlockSize = 1 << 20;

} // namespace

std::string hashFile(const std::filesystem::path &file, uint64_t *sizeOut)
{
    // A filesystem::path opens by its wide name on Windows, so any Unicode
    // file name works, not only those of the ANSI code page.
    std::ifstream in(file, std::ios::in | std::ios::binary);
    if (!in.is_open())
        return std::string();

    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, 32);
    // One block for the whole file, so memory stays flat whatever its size,
    // and one per thread for all files: a fresh zero-filled MiB for each of
    // thousands of small files costs more than hashing them (page faults,
    // above all under Wine). It is zero-filled when made: under Wine a block
    // left unfilled measured slower.
    thread_local const std::unique_ptr<char[]> block = std::make_unique<char[]>(hashBlockSize);
    uint64_t count = 0;
    for (;;) {
        in.read(block.get(), std::streamsize(hashBlockSize));
        std::streamsize got = in.gcount();
        if (got <= 0)
            break;
        crypto_blake2b_update(&ctx, reinterpret_cast<const uint8_t *>(block.get()), size_t(got));
        count += uint64_t(got);
        // A short block sets failbit at the end of the file; a read error
        // ends the loop the same way, and the digest then differs.
        if (in.fail())
            break;
    }
    if (sizeOut)
        *sizeOut = count;
    return finishHashHex(ctx);
}

std::string finishHashHex(crypto_blake2b_ctx &ctx)
{
    uint8_t digest[32];
    crypto_blake2b_final(&ctx, digest);
    return toHex(digest, sizeof digest);
}
