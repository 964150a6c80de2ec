// Writes the fuzzer's seed manifests, signed with the test key, into the
// folder given on the command line.
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>

#include "release/release.h"

int main(int argc, char **argv)
{
    uint8_t secretKey[64];
    if (argc != 2 || !fromHex(QD_TEST_SECRET, secretKey, 64)) {
        std::fprintf(stderr, "usage: manifest_seeds FOLDER\n");
        return 2;
    }
    const std::string a(64, 'a'), b = "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8";
    const Release seeds[] = {
        {"1.0", 0, "game.exe", {{b, 0, "game.exe", true}}, {}},
        {"2.3.1 (winter)", 7, "bin/Quillmarrow Dunmir.exe",
         {{a, 123456789, "bin/Quillmarrow Dunmir.exe", true}, {b, 0, "data/levels/one.pak", false},
          {std::string(64, 'E'), 42, "data/.config/readme.txt", false}},
         {{"../data/levels/one.pak", "bin/levels.pak"}, {"./readme.txt", "data/.config/latest"}}},
        {" spaced  version ", std::numeric_limits<int32_t>::min(), "g",
         {{a, std::numeric_limits<uint64_t>::max(), "g", false}, {a, 1, "g", false}},
         {{"x/../y", "a/b\tc"}}},
    };
    int index = 0;
    for (const Release &release : seeds) {
        std::string name = std::string(argv[1]) + "/release-" + std::to_string(++index) + ".manifest";
        std::ofstream(name, std::ios::binary) << signRelease(release, secretKey);
    }
    return 0;
}
