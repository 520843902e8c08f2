// mkbighive OUT [--mb N] [--services N] [--old-service N] [--leaf N]:
// writes a SYSTEM hive shaped like a working installation's, about N MB
// (30 by default), and prints how many keys and values it holds.
#include "bench/systemhive.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] = "usage: mkbighive OUT [--mb N] [--services N] [--old-service N] [--leaf N]\n"
                      "  --mb N           size to aim at in MB (default 30)\n"
                      "  --services N     subkeys of Services (default: 2000 at 30 MB, scaled)\n"
                      "  --old-service N  leave Services\\korvex1 with N subkeys below it\n"
                      "  --leaf N         longest subkey list before an index (default 500)\n";

[[noreturn]] void Usage(const char *problem) {
    fprintf(stderr, "mkbighive: %s\n%s", problem, kUsage);
    exit(2);
}

double Number(const char *text, double max) {
    char *end = nullptr;
    errno = 0;
    double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > max)
        Usage("bad number");
    return value;
}

bool WriteNew(const char *path, const std::vector<uint8_t> &image) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
    return close(fd) == 0 && ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc % 2 != 0)
        Usage("expected OUT and option-value pairs");
    SystemHiveShape shape;
    size_t leaf = 500;
    for (int i = 2; i < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--mb")
            shape.megabytes = Number(argv[i + 1], 1500);
        else if (option == "--services")
            shape.services = static_cast<size_t>(Number(argv[i + 1], 60000));
        else if (option == "--old-service")
            shape.oldServiceSubkeys = static_cast<long>(Number(argv[i + 1], 1e6));
        else if (option == "--leaf")
            leaf = static_cast<size_t>(Number(argv[i + 1], 65535));
        else
            Usage("unknown option");
    }
    if (leaf < 1 || shape.megabytes <= 0)
        Usage("--leaf and --mb must be positive");
    HiveCounts counts;
    std::vector<uint8_t> image = LayOutHive(*BuildSystemHive(shape), leaf, &counts);
    if (image.empty()) {
        fprintf(stderr, "mkbighive: two sibling keys share a name\n");
        return 1;
    }
    if (!WriteNew(argv[1], image)) {
        fprintf(stderr, "mkbighive: cannot write %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    printf("keys=%zu values=%zu bytes=%zu\n", counts.keys, counts.values, image.size());
    return 0;
}
