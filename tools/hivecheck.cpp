// hivecheck HIVE [IMAGE]: checks a hive's structure from its bytes with the
// backend's structure walk, every check on; the walk is not the code that
// edits hives, so a damaged write cannot hide behind the misreading that
// produced it.  With IMAGE, a dirty hive is checked as it loads, recovered from the
// logs beside it, and IMAGE receives the bytes checked.  Exit status 0 when sound (one
// summary line), 1 when not (one line per problem), 2 on usage.
#include "platform/posix/hive/hive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: %s HIVE [IMAGE]\n", argv[0]);
        return 2;
    }
    std::string path = argv[1], note, problem;
    int imageFd = -1, fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    int dirFd = open(path.substr(0, path.rfind('/') + 1).append(".").c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (argc == 3 && fd >= 0 && dirFd >= 0 && fstat(fd, &st) == 0 &&
        ReplayDirtyHive(fd, static_cast<uint64_t>(st.st_size), dirFd, path, &imageFd, &note,
                        &problem) != ERROR_SUCCESS) {
        printf("%s: %s\n", argv[1], problem.c_str());
        return 1;
    }
    std::string source = imageFd < 0 ? path : "/proc/self/fd/" + std::to_string(imageFd);
    std::ifstream in(source, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    if (!in.good() && !in.eof()) {
        printf("%s: cannot be read\n", argv[1]);
        return 1;
    }
    if (argc == 3)
        std::ofstream(argv[2], std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    HiveCheckOptions options;
    options.strict = true;
    options.mostProblems = 50;
    HiveStructureReport report = CheckHiveStructure(bytes.data(), bytes.size(), options);
    for (const std::string &problem : report.problems)
        printf("%s: %s\n", argv[1], problem.c_str());
    if (report.problems.empty())
        printf("%s: sound: %zu keys, %zu values, %zu security cells%s\n", argv[1], report.keys,
               report.values, report.securityCells, note.empty() ? "" : ", after its logs");
    return report.problems.empty() ? 0 : 1;
}
