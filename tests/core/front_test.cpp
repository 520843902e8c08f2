#include "tests/core/harness.h"

static const char usageText[] = "\nUsage: drvinst -D DriverName [-U] [-F] [-V]\n\n"
                                "-D: Specify the name of the driver to be installed or "
                                "uninstalled.\n"
                                "    DriverName can be either korvex1 or korvex2.\n\n"
                                "-U: Uninstall driver.\n\n"
                                "-F: Force driver installation.\n\n"
                                "-V: Turn on verbose mode.\n\n";

struct ScanCase {
    std::vector<std::string> args;
    std::string driverName; // "" when the usage text is expected
    bool verbose, force, uninstall;
};

// Cases that end before anything is touched are told apart by their
// output; accepted ones by the flags the scanner set.
TEST(OptionScanner, AcceptsAndRefusesAsDocumented) {
    const ScanCase cases[] = {
        {{"drvinst"}, "", false, false, false},
        {{"drvinst", "korvex1"}, "", false, false, false},
        {{"drvinst", "-D"}, "", false, false, false},
        {{"drvinst", "-D", ""}, "", false, false, false},
        {{"drvinst", "-"}, "", false, false, false},
        {{"drvinst", "-D", "korvex1", "-x"}, "", false, false, false},
        {{"drvinst", "-d", "korvex1"}, "korvex1", false, false, false},
        {{"drvinst", "-verbose", "-D", "korvex1"}, "korvex1", true, false, false},
        {{"drvinst", "-Dkorvex2", "korvex1"}, "korvex1", false, false, false},
        {{"drvinst", "-D", "korvex1", "-D", "korvex2"}, "korvex2", false, false, false},
        {{"drvinst", "x", "-f", "-u", "-D", "korvex1", "y"}, "korvex1", false, true, true},
    };
    for (const ScanCase &c : cases) {
        fake::Reset(); // no SystemRoot: an accepted line stops right after the scan
        Outcome out = RunTool(c.args);
        EXPECT_EQ(out.status, 1);
        if (c.driverName.empty()) {
            EXPECT_EQ(out.output, usageText) << c.args.size();
            continue;
        }
        EXPECT_EQ(state.driverName, c.driverName);
        EXPECT_EQ(state.verboseFlag != 0, c.verbose);
        EXPECT_EQ(state.forceFlag != 0, c.force);
        EXPECT_EQ(state.uninstallFlag != 0, c.uninstall);
    }
}

TEST(OptionScanner, UnsupportedNamesPrintOnlyTheirLine) {
    StandardMachine();
    EXPECT_EQ(RunTool({"drvinst", "-D", "KORVEX1"}).output, "Driver KORVEX1 not supported\n");
    Outcome out = RunTool({"drvinst", "-D", "-V"});
    EXPECT_EQ(out.output, "Driver -V not supported\n");
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(state.verboseFlag, 0);
    // A long name that starts like a supported one is refused, never cut.
    EXPECT_EQ(RunTool({"drvinst", "-D", "korvex1" + std::string(300, 'x')}).status, 1);
}

struct SourceCase {
    const char *argv0, *workingDirectory, *programName, *sourceDirectory;
};

TEST(SourceDirectory, FollowsArgumentZeroAsTyped) {
    const SourceCase cases[] = {
        {"C:\\drivers\\drvinst.exe", "C:\\work", "drvinst.exe", "C:\\drivers\\"},
        {"drvinst", "C:\\work", "drvinst", "C:\\work\\"},
        {"A:drvinst", "C:\\work", "drvinst", "A:"},
        {"sub\\drvinst", "C:\\work", "drvinst", "C:\\work\\sub\\"},
        {"\\tools\\drvinst", "C:\\work", "drvinst", "\\tools\\"},
        {"drvinst", "C:\\", "drvinst", "C:\\\\"},
        {"tools/drvinst", "C:\\work", "tools/drvinst", "C:\\work\\"},
        {"C:/drivers/drvinst", "C:\\work", "/drivers/drvinst", "C:"},
        {"sub\\drvinst", "", "drvinst", "\\sub\\"},
    };
    for (const SourceCase &c : cases) {
        fake::Reset();
        fake::state.workingDirectory = c.workingDirectory;
        state = InstallerState();
        SetSourceDirectory(c.argv0);
        EXPECT_EQ(state.programName, c.programName) << c.argv0;
        EXPECT_EQ(state.sourceDirectory, c.sourceDirectory) << c.argv0;
    }
}

TEST(SourceDirectory, LongPathsAreKeptWhole) {
    fake::Reset();
    std::string deep = "C:\\" + std::string(300, 'd');
    fake::state.workingDirectory = deep;
    state = InstallerState();
    SetSourceDirectory("sub\\drvinst");
    EXPECT_EQ(state.sourceDirectory, deep + "\\sub\\");
}

TEST(StartUp, EnvironmentAndRegistryFailuresEndWithStatusOne) {
    StandardMachine();
    fake::state.environment.erase("SystemRoot");
    Outcome out = RunTool({"A:\\drvinst", "-D", "korvex1"});
    EXPECT_EQ(out.output, "drvinst korvex1 : Could not find SystemRoot environment variable\n");
    EXPECT_EQ(out.status, 1);

    fake::state.environment["SystemRoot"] = "";
    EXPECT_EQ(RunTool({"A:\\drvinst", "-D", "korvex1"}).status, 1);

    fake::Reset();
    fake::state.environment["SystemRoot"] = "C:\\WINNT";
    out = RunTool({"A:\\drvinst", "-D", "korvex2"});
    EXPECT_EQ(out.output, "drvinst korvex2 : RegOpenKeyEx failed to open Service key\n");

    fake::AddKey(servicesPath);
    out = RunTool({"A:\\drvinst", "-D", "korvex2"});
    EXPECT_EQ(out.output, "drvinst korvex2 : RegOpenKeyEx failed to open EventLog key\n");
    EXPECT_EQ(out.status, 1);
    EXPECT_TRUE(fake::state.commands.empty());
}

TEST(StartUp, LongSystemRootIsReadWhole) {
    StandardMachine();
    std::string root = "C:\\" + std::string(120, 'w');
    fake::state.environment["SystemRoot"] = root;
    Outcome out = RunTool({"A:\\drvinst", "-U", "-V", "-D", "korvex1"});
    EXPECT_EQ(out.output, "Source directory A:\\\nSystemRoot " + root +
                              "\nUninstall korvex1 driver\ndel /F " + root +
                              "\\system32\\drivers\\korvex1.sys\n");
    EXPECT_EQ(out.status, 0);
}
