// hivexcost HIVE: what the pieces of an offline install cost on one hive,
// measured once each in this fresh process, because a fresh process is
// what a run is: hivex's two ways of opening the hive, its commit, forcing
// the new file to disk, and two ways of reading the file without hivex.
// Prints one "name milliseconds" line per piece, for bench/bench.py.
#include <fcntl.h>
#include <hivex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

double Millis(const std::function<void()> &step) {
    auto start = std::chrono::steady_clock::now();
    step();
    std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
    return spent.count();
}

void Check(bool ok, const char *what) {
    if (!ok) {
        perror(what);
        exit(1);
    }
}

void Open(const std::string &path, int flags) {
    hive_h *hive = hivex_open(path.c_str(), flags);
    Check(hive != nullptr, "hivex_open");
    hivex_close(hive);
}

// The file read into fresh memory, as hivex does when it opens for writing.
void ReadWhole(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    Check(fd >= 0 && fstat(fd, &st) == 0, "open");
    std::vector<char> buffer(static_cast<size_t>(st.st_size));
    Check(read(fd, buffer.data(), buffer.size()) == st.st_size, "read");
    close(fd);
}

// The file mapped privately and every page touched once, the cheapest way
// to have a writable image of it.
void MapWhole(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    Check(fd >= 0 && fstat(fd, &st) == 0, "open");
    size_t size = static_cast<size_t>(st.st_size);
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    Check(map != MAP_FAILED, "mmap");
    volatile unsigned sum = 0;
    for (size_t off = 0; off < size; off += 4096)
        sum = sum + static_cast<unsigned char *>(map)[off];
    munmap(map, size);
    close(fd);
}

void Report(const char *name, double millis) {
    printf("%s %.3f\n", name, millis);
}

// Each piece runs on memory this process has not touched before, as in a
// run of the installer; the order keeps any one piece from warming another.
void Measure(const std::string &hive, const std::string &copy) {
    Report("open-read-only", Millis([&] { Open(hive, 0); }));
    Report("map-private", Millis([&] { MapWhole(hive); }));
    Report("open-for-writing", Millis([&] { Open(hive, HIVEX_OPEN_WRITE); }));
    Report("read-fresh-memory", Millis([&] { ReadWhole(hive); }));
    hive_h *h = hivex_open(hive.c_str(), HIVEX_OPEN_WRITE);
    Check(h != nullptr, "hivex_open");
    unlink(copy.c_str());
    Report("commit", Millis([&] { Check(hivex_commit(h, copy.c_str(), 0) == 0, "commit"); }));
    hivex_close(h);
    int fd = open(copy.c_str(), O_RDWR | O_CLOEXEC);
    Report("fsync", Millis([&] { Check(fd >= 0 && fsync(fd) == 0, "fsync"); }));
    close(fd);
    unlink(copy.c_str());
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: hivexcost HIVE\n");
        return 2;
    }
    Measure(argv[1], std::string(argv[1]) + ".cost");
    return 0;
}
