// hivecheck HIVE: checks a hive's structure from its bytes, without the
// library that wrote them, so that a damaged write cannot hide behind the
// same misreading that produced it: the backend's own walk, every check on.
// Exit status 0 when sound (one summary line), 1 when not (one line per
// problem), 2 on usage.
#include "platform/posix/hive/hive.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 2)
        return fprintf(stderr, "usage: %s HIVE\n", argv[0]), 2;
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    if (!in.good() && !in.eof())
        return printf("%s: cannot be read\n", argv[1]), 1;
    HiveCheckOptions options;
    options.strict = true;
    options.mostProblems = 50;
    HiveStructureReport report = CheckHiveStructure(bytes.data(), bytes.size(), options);
    for (const std::string &problem : report.problems)
        printf("%s: %s\n", argv[1], problem.c_str());
    if (report.problems.empty())
        printf("%s: sound: %zu keys, %zu values, %zu security cells\n", argv[1], report.keys,
               report.values, report.securityCells);
    return report.problems.empty() ? 0 : 1;
}
