// Writes a small driver image with a version resource, shaped as asked, so
// that the version probe can be tried on both builds with the same file.
#include "tools/pefixture.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

static const char kUsage[] =
    "usage: mksys OUT [--file-version TEXT (Latin-1, default 1.0)] [--uncounted (its length\n"
    "  leaves out the terminator)] [--no-file-version] [--block NAME (default 040904B0)]\n"
    "  [--no-fixed] [--no-resource] [--pe32] [--name-id N (default 1)] [--languages L,...\n"
    "  (hex, default 0409)] [--payload TEXT (extra code bytes)] [--truncate N (bytes kept)]\n";

int main(int argc, char **argv) {
    pefixture::Options o;
    const char *out = nullptr;
    size_t keep = SIZE_MAX;
    const std::map<std::string, std::pair<bool *, bool>> flags = {
        {"--uncounted", {&o.counted, false}},  {"--no-file-version", {&o.withFileVersion, false}},
        {"--no-fixed", {&o.fixedInfo, false}}, {"--no-resource", {&o.resource, false}},
        {"--pe32", {&o.pe32, true}},
    };
    const std::map<std::string, std::function<void(const char *)>> valued = {
        {"--file-version",
         [&](const char *v) {
             for (o.fileVersion.clear(); *v != 0; v++)
                 o.fileVersion += static_cast<unsigned char>(*v);
         }},
        {"--block", [&](const char *v) { o.block = v; }},
        {"--payload", [&](const char *v) { o.payload = v; }},
        {"--name-id",
         [&](const char *v) { o.nameId = static_cast<uint16_t>(strtoul(v, nullptr, 0)); }},
        {"--truncate", [&](const char *v) { keep = strtoul(v, nullptr, 0); }},
        {"--languages",
         [&](const char *v) {
             o.languages.clear();
             for (char *end = nullptr; end == nullptr || *end != 0; v = end + 1)
                 o.languages.push_back(static_cast<uint16_t>(strtoul(v, &end, 16)));
         }},
    };
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto flag = flags.find(arg);
        auto setter = valued.find(arg);
        if (flag != flags.end())
            *flag->second.first = flag->second.second;
        else if (setter != valued.end() && i + 1 < argc)
            setter->second(argv[++i]);
        else if (arg.rfind("--", 0) != 0 && out == nullptr)
            out = argv[i];
        else
            return fprintf(stderr, "mksys: bad argument %s\n%s", arg.c_str(), kUsage), 2;
    }
    pefixture::Bytes image = pefixture::DriverImage(o);
    image.resize(std::min(keep, image.size()));
    FILE *f = out != nullptr ? fopen(out, "wb") : nullptr;
    if (f == nullptr || fwrite(image.data(), 1, image.size(), f) != image.size() ||
        fclose(f) != 0) {
        fprintf(stderr, "mksys: cannot write %s\n%s", out ? out : "(no output named)", kUsage);
        return 1;
    }
    return 0;
}
