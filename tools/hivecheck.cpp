// hivecheck HIVE: checks the structure of a registry hive file by reading
// the bytes itself, without the library that wrote them, so that a damaged
// write cannot hide behind the same misreading that produced it.  It uses
// the backend's own walk with every check on.
//
// Exit status 0 when the hive is sound (one summary line on stdout), 1
// when it is not (one line per problem on stdout), 2 on usage.
#include "platform/posix/hive/hive.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr size_t kMostProblemsShown = 50;

bool ReadFile(const char *path, std::vector<uint8_t> *bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

int Report(const char *path, const HiveStructureReport &report) {
    if (report.problems.empty()) {
        printf("%s: sound: %zu keys, %zu values, %zu security cells\n", path, report.keys,
               report.values, report.securityCells);
        return 0;
    }
    for (const std::string &problem : report.problems)
        printf("%s: %s\n", path, problem.c_str());
    if (report.problems.size() >= kMostProblemsShown)
        printf("%s: and perhaps more problems\n", path);
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s HIVE\n", argv[0]);
        return 2;
    }
    std::vector<uint8_t> bytes;
    if (!ReadFile(argv[1], &bytes)) {
        printf("%s: cannot be read\n", argv[1]);
        return 1;
    }
    HiveCheckOptions options;
    options.strict = true;
    options.mostProblems = kMostProblemsShown;
    return Report(argv[1], CheckHiveStructure(bytes.data(), bytes.size(), options));
}
