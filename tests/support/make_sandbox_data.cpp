// Makes the archives of a sandbox game installation, as a translator has them before publishing:
//   qdt-sandbox-data OUT_DIR SIZE_MIB [SEED]
// writes OUT_DIR/ZNGame/data.lpk (the original archive), OUT_DIR/translated/data_{EN,EN_M,RU}.lpk
// (one translated archive per language) and OUT_DIR/hashes.json with the archive hashes the tests
// check against. The patches and the manifest are made from them with quen-dara-patch.
//   qdt-sandbox-data --hash FILE
// prints the archive hash of a file.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/Xxh64.h"
#include "tests/support/TestData.h"

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--hash") {
        const auto hash = qdt::hashFile(argv[2]);
        if (!hash) {
            std::fprintf(stderr, "%s\n", hash.status.detail.c_str());
            return 1;
        }
        std::printf("%llu\n", static_cast<unsigned long long>(hash.value));
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUT_DIR SIZE_MIB [SEED]\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    const std::uint64_t size = std::strtoull(argv[2], nullptr, 10) << 20;
    const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
    try {
        fs::create_directories(out / "ZNGame");
        fs::create_directories(out / "translated");
        const fs::path archive = out / "ZNGame" / "data.lpk";
        testdata::writeArchive(archive, size, seed);

        struct Language
        {
            const char* suffix;
            std::size_t records;
        };
        const Language languages[] = {{"EN", 3000}, {"EN_M", 4000}, {"RU", 3500}};
        std::string json = "{\n";
        const auto sourceHash = qdt::hashFile(archive);
        if (!sourceHash) {
            std::fprintf(stderr, "%s\n", sourceHash.status.detail.c_str());
            return 1;
        }
        json += "    \"source\": " + std::to_string(sourceHash.value);
        std::uint64_t languageSeed = seed * 100;
        for (const auto& lang : languages) {
            const auto edits = testdata::translationEdits(size, lang.records, ++languageSeed);
            const fs::path result =
                out / "translated" / ("data_" + std::string(lang.suffix) + ".lpk");
            testdata::makePatchForFile(archive, edits, 0, result);
            const auto resultHash = qdt::hashFile(result);
            json += ",\n    \"result_" + std::string(lang.suffix) +
                    "\": " + std::to_string(resultHash.value);
        }
        json += "\n}\n";
        std::ofstream(out / "hashes.json") << json;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
