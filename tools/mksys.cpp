// Writes a small driver image with a version resource, shaped as asked, so
// that the version probe can be tried on both builds with the same file.
#include "tools/pefixture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const char kUsage[] = "usage: mksys OUT [options]\n"
                             "  --file-version TEXT  FileVersion text (default \"1.0\")\n"
                             "  --uncounted          its length leaves out the terminator\n"
                             "  --no-file-version    no FileVersion string at all\n"
                             "  --block NAME         string table name (default 040904B0)\n"
                             "  --no-fixed           no VS_FIXEDFILEINFO in the root\n"
                             "  --no-resource        no resource section at all\n"
                             "  --pe32               32-bit image (default: PE32+)\n"
                             "  --oversize-data      resource data entry Size far past the file\n"
                             "  --root-length N      root wLength written as N (e.g. 0xFFFF)\n"
                             "  --name-id N          resource name ID (default 1)\n"
                             "  --languages L,...    language IDs in hex (default 0409)\n"
                             "  --payload TEXT       extra bytes in the code section\n"
                             "  --truncate N         keep only the first N bytes\n";

int main(int argc, char **argv) {
    pefixture::Options o;
    const char *out = nullptr;
    size_t keep = SIZE_MAX;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool valued = arg == "--file-version" || arg == "--block" || arg == "--root-length" ||
                      arg == "--payload" || arg == "--truncate" || arg == "--name-id" ||
                      arg == "--languages";
        if (valued && value == nullptr) {
            fputs(kUsage, stderr);
            return 2;
        }
        i += valued;
        if (arg == "--uncounted")
            o.counted = false;
        else if (arg == "--no-file-version")
            o.withFileVersion = false;
        else if (arg == "--no-fixed")
            o.fixedInfo = false;
        else if (arg == "--no-resource")
            o.resource = false;
        else if (arg == "--pe32")
            o.pe32 = true;
        else if (arg == "--oversize-data")
            o.oversizeData = true;
        else if (arg == "--file-version")
            o.fileVersion = value;
        else if (arg == "--block")
            o.block = value;
        else if (arg == "--payload")
            o.payload = value;
        else if (arg == "--root-length")
            o.setRootLength = true,
            o.rootLength = static_cast<uint16_t>(strtoul(value, nullptr, 0));
        else if (arg == "--truncate")
            keep = strtoul(value, nullptr, 0);
        else if (arg == "--name-id")
            o.nameId = static_cast<uint16_t>(strtoul(value, nullptr, 0));
        else if (arg == "--languages") {
            o.languages.clear();
            for (char *end = nullptr; end == nullptr || *end != 0; value = end + 1)
                o.languages.push_back(static_cast<uint16_t>(strtoul(value, &end, 16)));
        } else if (arg.rfind("--", 0) != 0 && out == nullptr)
            out = argv[i];
        else {
            fprintf(stderr, "mksys: bad argument %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
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
