// Writes a small driver image with a version resource, shaped as asked, so
// that the version probe can be tried on both builds with the same file.
#include "tools/pefixture.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const char kUsage[] = "usage: mksys OUT [options]\n"
                             "  --file-version TEXT  FileVersion text (default \"1.0\")\n"
                             "  --uncounted          its length leaves out the terminator\n"
                             "  --no-file-version    no FileVersion string at all\n"
                             "  --string KEY=TEXT    one more string in the table (repeatable)\n"
                             "  --block NAME         string table name (default 040904B0)\n"
                             "  --no-fixed           no VS_FIXEDFILEINFO in the root\n"
                             "  --no-resource        no resource section at all\n"
                             "  --pe32               32-bit image (default: PE32+)\n"
                             "  --name-id N          resource name ID (default 1)\n"
                             "  --languages L,...    language IDs in hex (default 0409); the last\n"
                             "                       holds the string table, the others their own\n"
                             "  --oversize-data      resource data entry Size far past the file\n"
                             "  --root-length N      root wLength written as N (e.g. 0xFFFF)\n"
                             "  --payload TEXT       extra bytes in the code section\n"
                             "  --truncate N         keep only the first N bytes\n";

struct Command {
    std::string out;
    pefixture::Options options;
    bool truncate = false;
    unsigned long truncateAt = 0;
};

[[noreturn]] static void Usage(const char *problem) {
    fprintf(stderr, "mksys: %s\n%s", problem, kUsage);
    exit(2);
}

static unsigned long Number(const char *text, unsigned long max) {
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != 0 || value > max || text[0] == '-')
        Usage("bad number");
    return value;
}

static void AddString(pefixture::Options &o, const std::string &entry) {
    size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0)
        Usage("--string needs KEY=TEXT");
    o.extraStrings.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
}

// Options that take no value; false when name is not one of them.
static bool ParseFlag(const std::string &name, pefixture::Options &o) {
    if (name == "--uncounted")
        o.counted = false;
    else if (name == "--no-file-version")
        o.withFileVersion = false;
    else if (name == "--no-fixed")
        o.fixedInfo = false;
    else if (name == "--no-resource")
        o.resource = false;
    else if (name == "--pe32")
        o.pe32 = true;
    else if (name == "--oversize-data")
        o.oversizeData = true;
    else
        return false;
    return true;
}

static void ParseValued(const std::string &name, const char *value, Command &c) {
    pefixture::Options &o = c.options;
    if (name == "--file-version") {
        o.fileVersion = value;
    } else if (name == "--string") {
        AddString(o, value);
    } else if (name == "--block") {
        o.block = value;
    } else if (name == "--root-length") {
        o.setRootLength = true;
        o.rootLength = static_cast<uint16_t>(Number(value, 0xFFFF));
    } else if (name == "--name-id") {
        o.nameId = static_cast<uint16_t>(Number(value, 0xFFFF));
    } else if (name == "--languages") {
        o.languages.clear();
        for (const char *at = value; *at != 0; at += *at == ',') {
            char *end = nullptr;
            o.languages.push_back(static_cast<uint16_t>(strtoul(at, &end, 16)));
            if (end == at || (*end != ',' && *end != 0))
                Usage("--languages needs hex IDs separated by commas");
            at = end;
        }
        if (o.languages.empty())
            Usage("--languages needs at least one ID");
    } else if (name == "--payload") {
        o.payload = value;
    } else if (name == "--truncate") {
        c.truncate = true;
        c.truncateAt = Number(value, 0xFFFFFFFF);
    } else {
        Usage(("unknown option " + name).c_str());
    }
}

static Command Parse(int argc, char **argv) {
    Command c;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            if (!c.out.empty())
                Usage("more than one output file");
            c.out = arg;
        } else if (!ParseFlag(arg, c.options)) {
            if (i + 1 >= argc)
                Usage((arg + " needs a value").c_str());
            ParseValued(arg, argv[++i], c);
        }
    }
    if (c.out.empty())
        Usage("no output file");
    return c;
}

int main(int argc, char **argv) {
    Command c = Parse(argc, argv);
    pefixture::Bytes image = pefixture::DriverImage(c.options);
    if (c.truncate && c.truncateAt < image.size())
        image.resize(c.truncateAt);
    FILE *f = fopen(c.out.c_str(), "wb");
    if (f == nullptr) {
        fprintf(stderr, "mksys: %s: %s\n", c.out.c_str(), strerror(errno));
        return 1;
    }
    bool ok = fwrite(image.data(), 1, image.size(), f) == image.size();
    if (fclose(f) != 0 || !ok) {
        fprintf(stderr, "mksys: %s: write failed\n", c.out.c_str());
        return 1;
    }
    return 0;
}
