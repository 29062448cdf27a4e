// Runs stored inputs through one fuzz target without libFuzzer, so that every
// build replays the seed corpora and the inputs of past findings:
//
//   fuzz_replay TARGET CORPUS_DIR [MORE_DIRS...]
//
// Every regular file of each folder (in name order) goes to the target once;
// a folder that does not exist is skipped, except the first, which must hold
// at least one input. A failed invariant aborts with the file's name.

#include "FuzzSupport.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define FUZZ_TARGET(name) extern "C" int tallyscope_fuzz_##name(const uint8_t* data, size_t size);
#include "ReplayTargets.inc"
#undef FUZZ_TARGET

namespace {

using Entry = int (*)(const uint8_t*, size_t);

struct Target {
    const char* name;
    Entry entry;
};

const Target kTargets[] = {
#define FUZZ_TARGET(name) {#name, tallyscope_fuzz_##name},
#include "ReplayTargets.inc"
#undef FUZZ_TARGET
};

// The regular files of a folder, sorted; false when it cannot be read.
bool listFiles(const std::string& dir, std::vector<std::string>& out) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return false;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string path = dir + "/" + e->d_name;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) out.push_back(path);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s TARGET CORPUS_DIR [MORE_DIRS...]\n", argv[0]);
        return 2;
    }
    const Target* target = nullptr;
    for (const Target& t : kTargets)
        if (std::strcmp(t.name, argv[1]) == 0) target = &t;
    if (target == nullptr) {
        std::fprintf(stderr, "%s: no fuzz target named %s\n", argv[0], argv[1]);
        return 2;
    }
    int replayed = 0;
    for (int i = 2; i < argc; ++i) {
        std::vector<std::string> files;
        if (!listFiles(argv[i], files) && i > 2) continue;
        if (i == 2 && files.empty()) {
            std::fprintf(stderr, "%s: no inputs in %s\n", argv[0], argv[i]);
            return 1;
        }
        for (const std::string& path : files) {
            std::ifstream in(path, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            fuzz::currentInput() = path;
            target->entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    fuzz::currentInput().clear();
    std::printf("%s: %d inputs replayed\n", target->name, replayed);
    return 0;
}
