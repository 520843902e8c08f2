#include "registry/registry.h"
#include "tests/core/harness.h"

static const char source[] = "A:\\korvex1.sys";
static const char installed[] = "C:\\WINNT\\system32\\drivers\\korvex1.sys";
static const char serviceKey[] = "SYSTEM\\CurrentControlSet\\Services\\korvex1";
static const char eventKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\korvex1";

static std::string Dword(DWORD number) {
    return std::string(reinterpret_cast<const char *>(&number), 4);
}

static std::string Sz(const char *text) {
    return std::string(text, strlen(text) + 1);
}

TEST(Install, TypicalUpgradeRoad) {
    StandardMachine();
    SetVersion(source, "2.1");
    SetVersion(installed, "2.0");
    Outcome out = RunTool({"A:\\drvinst", "-D", "korvex1", "-V"});
    EXPECT_EQ(out.output,
              "Source directory A:\\\n"
              "SystemRoot C:\\WINNT\n"
              "Source File A:\\korvex1.sys\n"
              "A:\\korvex1.sys FileVersion :  2.1\n"
              "Destination directory C:\\WINNT\\system32\\drivers\n"
              "Destination File C:\\WINNT\\system32\\drivers\\korvex1.sys\n"
              "C:\\WINNT\\system32\\drivers\\korvex1.sys FileVersion :  2.0\n"
              "del /F C:\\WINNT\\system32\\drivers\\korvex1.sys.2.0\n"
              "move C:\\WINNT\\system32\\drivers\\korvex1.sys "
              "C:\\WINNT\\system32\\drivers\\korvex1.sys.2.0\n"
              "copy A:\\korvex1.sys C:\\WINNT\\system32\\drivers\n"
              "Created registry key "
              "\\HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\korvex1\n"
              "Created registry key \\HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
              "EventLog\\System\\korvex1\n");
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(fake::state.commands.size(), 3u);
    auto values = fake::Values(serviceKey);
    EXPECT_EQ(values.size(), 6u);
    EXPECT_EQ(values["ErrorControl"].data, Dword(1));
    EXPECT_EQ(values["Group"].data, Sz("SCSI Miniport"));
    EXPECT_EQ(values["Group"].data.size(), 14u);
    EXPECT_EQ(values["ImagePath"].type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(values["ImagePath"].data, Sz("System32\\Drivers\\korvex1.sys"));
    EXPECT_EQ(values["Start"].data, Dword(0));
    EXPECT_EQ(values["Tag"].data, Dword(1));
    EXPECT_EQ(values["Type"].data, Dword(1));
    auto events = fake::Values(eventKey);
    EXPECT_EQ(events["EventMessageFile"].data, Sz("%SystemRoot%\\System32\\IoLogMsg.dll"));
    EXPECT_EQ(events["TypesSupported"].data, Dword(7));
    EXPECT_EQ(fake::OpenHandles(), 2); // only the two roots stay open
}

TEST(Install, Korvex2GetsItsOwnImageAndTag) {
    StandardMachine();
    SetVersion("A:\\korvex2.sys", "1.0");
    EXPECT_EQ(RunTool({"A:\\drvinst", "-D", "korvex2"}).status, 0);
    auto values = fake::Values("SYSTEM\\CurrentControlSet\\Services\\korvex2");
    EXPECT_EQ(values["ImagePath"].data, Sz("System32\\Drivers\\korvex2.sys"));
    EXPECT_EQ(values["Tag"].data, Dword(20));
    EXPECT_EQ(fake::state.commands,
              std::vector<std::string>{"copy A:\\korvex2.sys C:\\WINNT\\system32\\drivers"});
}

TEST(Install, OldKeysAreReplacedNotMerged) {
    StandardMachine();
    SetVersion(source, "2.1");
    fake::SetValue(serviceKey, "Stale", REG_SZ, Sz("x"));
    fake::AddKey(std::string(serviceKey) + "\\Enum\\Deep\\Deeper");
    fake::SetValue(eventKey, "Stale", REG_SZ, Sz("x"));
    EXPECT_EQ(RunTool({"A:\\drvinst", "-D", "korvex1"}).status, 0);
    EXPECT_EQ(fake::Values(serviceKey).size(), 6u);
    EXPECT_TRUE(fake::SubKeys(serviceKey).empty());
    EXPECT_EQ(fake::Values(eventKey).size(), 2u);
}

struct RefusalCase {
    const char *installedText, *sourceText;
    bool force;
    int status;
    std::vector<std::string> commands;
};

TEST(Install, RefusesSameOrNewerUnlessForced) {
    const std::string backup21 = std::string(installed) + ".2.1";
    const RefusalCase cases[] = {
        {"2.1", "2.1", false, 0, {}},
        {"3.0", "2.9", false, 0, {}},
        {"2.10", "2.9", false, 0, {}},
        {"2.1", "2.01", false, 0, {}},
        {"2.1",
         "2.1",
         true,
         0,
         {"del /F " + backup21, std::string("move ") + installed + " " + backup21,
          "copy A:\\korvex1.sys C:\\WINNT\\system32\\drivers"}},
        {"v1.2", "0.0", false, 0, {}},
    };
    for (const RefusalCase &c : cases) {
        StandardMachine();
        SetVersion(source, c.sourceText);
        SetVersion(installed, c.installedText);
        std::vector<std::string> args = {"A:\\drvinst", "-D", "korvex1"};
        if (c.force)
            args.push_back("-F");
        Outcome out = RunTool(args);
        EXPECT_EQ(out.status, c.status);
        EXPECT_EQ(fake::state.commands, c.commands) << c.installedText << c.sourceText;
        if (!c.force) {
            EXPECT_EQ(out.output, std::string("drvinst korvex1 : ") + installed +
                                      " already existed and may have newer version.\n");
            EXPECT_FALSE(fake::HasKey(serviceKey));
        }
    }
}

TEST(Install, UnreadableInstalledVersionIsOverwrittenWithoutBackup) {
    StandardMachine();
    SetVersion(source, "2.1");
    fake::state.versions[installed] = {"7", 1}; // no dot: no version
    EXPECT_EQ(RunTool({"A:\\drvinst", "-D", "korvex1"}).status, 0);
    EXPECT_EQ(fake::state.commands.size(), 1u);
}

TEST(Install, SourceWithoutVersionChangesNothing) {
    StandardMachine();
    Outcome out = RunTool({"A:\\drvinst", "-D", "korvex1"});
    EXPECT_EQ(out.output, "drvinst korvex1 : GetFileVersion failed. File A:\\korvex1.sys\n");
    EXPECT_EQ(out.status, 1);
    EXPECT_TRUE(fake::state.commands.empty());
}

// The installed driver must never be overwritten when it could not be
// kept under its backup name first.
TEST(Install, FailedMoveStopsBeforeTheCopy) {
    StandardMachine();
    SetVersion(source, "2.1");
    SetVersion(installed, "2.0");
    fake::state.onCommand = [](const std::string &c) { return c.rfind("move", 0) == 0 ? 1 : 0; };
    Outcome out = RunTool({"A:\\drvinst", "-D", "korvex1"});
    EXPECT_EQ(out.output, std::string("drvinst korvex1 : Failed to move ") + installed + " to " +
                              installed + ".2.0\n");
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(fake::state.commands.size(), 2u);
    EXPECT_FALSE(fake::HasKey(serviceKey));
}

TEST(Install, FailedCopyRollsBackWithTheCopyStatus) {
    for (int copyStatus : {1, -1, 42}) {
        StandardMachine();
        SetVersion(source, "2.1");
        fake::state.onCommand = [&](const std::string &) { return copyStatus; };
        Outcome out = RunTool({"A:\\drvinst", "-D", "korvex1", "-V"});
        EXPECT_EQ(out.status, copyStatus);
        EXPECT_NE(out.output.find("drvinst korvex1 : Failed to copy A:\\korvex1.sys to " +
                                  std::string(installed) + "\nUninstall korvex1 driver\n"),
                  std::string::npos);
        EXPECT_EQ(fake::state.commands.size(), 1u); // nothing is deleted
    }
}

// Copying into a directory that is not there would make a file of its name
// and look like success; it counts as a failed copy instead.
TEST(Install, MissingDriversDirectoryIsAFailedCopy) {
    StandardMachine();
    SetVersion(source, "2.1");
    fake::state.missingDirectories.insert("C:\\WINNT\\system32\\drivers");
    Outcome out = RunTool({"A:\\drvinst", "-D", "korvex1"});
    EXPECT_EQ(out.output, std::string("drvinst korvex1 : Failed to copy A:\\korvex1.sys to ") +
                              installed + "\n");
    EXPECT_EQ(out.status, 1);
    EXPECT_TRUE(fake::state.commands.empty());
    EXPECT_FALSE(fake::HasKey(serviceKey));
}

// Quoting keeps blanks together and keeps "&" from starting a command; a
// path the interpreter would rewrite even in quotes is refused outright.
TEST(Install, PathsReachTheInterpreterSafely) {
    StandardMachine();
    fake::state.environment["SystemRoot"] = "C:\\My Windows";
    SetVersion("C:\\a&evil\\korvex1.sys", "2.1");
    EXPECT_EQ(RunTool({"C:\\a&evil\\drvinst", "-D", "korvex1"}).status, 0);
    EXPECT_EQ(fake::state.commands,
              std::vector<std::string>{"copy \"C:\\a&evil\\korvex1.sys\" "
                                       "\"C:\\My Windows\\system32\\drivers\""});
    for (const char *bad : {"C:\\100%\\drvinst", "C:\\q\"uote\\drvinst"}) {
        StandardMachine();
        Outcome out = RunTool({bad, "-D", "korvex1"});
        EXPECT_EQ(out.status, 1);
        EXPECT_NE(out.output.find("cannot be passed safely"), std::string::npos);
        EXPECT_TRUE(fake::state.commands.empty());
    }
}

TEST(Registration, ServiceKeyFailuresUndoTheInstallAndEndWithOne) {
    StandardMachine();
    SetVersion(source, "2.1");
    fake::SetValue(eventKey, "Old", REG_SZ, Sz("x"));
    fake::state.failCreate.insert(serviceKey);
    Outcome out = RunTool({"A:\\drvinst", "-D", "korvex1"});
    EXPECT_EQ(out.output, "drvinst korvex1 : RegCreateKeyEx failed to create registry key\n");
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(fake::state.commands.back(), std::string("del /F ") + installed);
    EXPECT_TRUE(fake::HasKey(eventKey)); // registry bit not yet set

    StandardMachine();
    SetVersion(source, "2.1");
    fake::SetValue(eventKey, "Old", REG_SZ, Sz("x"));
    fake::state.failSetValue.insert("Start");
    out = RunTool({"A:\\drvinst", "-D", "korvex1"});
    EXPECT_EQ(out.output, "drvinst korvex1 : RegSetValueEx failed: could not set value Start\n");
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(fake::state.commands.back(), std::string("del /F ") + installed);
    EXPECT_FALSE(fake::HasKey(serviceKey));
    EXPECT_FALSE(fake::HasKey(eventKey));
}

TEST(Registration, EventLogFailuresAreWarnings) {
    StandardMachine();
    SetVersion(source, "2.1");
    fake::state.failCreate.insert(eventKey);
    Outcome out = RunTool({"A:\\drvinst", "-D", "korvex1"});
    EXPECT_EQ(out.output,
              "drvinst korvex1 : Warning: RegCreateKeyEx failed to create event log key\n");
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(fake::Values(serviceKey).size(), 6u);

    StandardMachine();
    SetVersion(source, "2.1");
    fake::state.failSetValue.insert("EventMessageFile");
    out = RunTool({"A:\\drvinst", "-D", "korvex1"});
    EXPECT_EQ(out.output,
              "drvinst korvex1 : Warning: RegSetValueEx failed to set value EventMessageFile\n");
    EXPECT_EQ(out.status, 0);
    EXPECT_TRUE(fake::Values(eventKey).empty()); // no row after the failed one
}

TEST(Uninstall, RemovesFileThenServiceThenEventLog) {
    StandardMachine();
    fake::AddKey(std::string(serviceKey) + "\\A\\B\\C");
    fake::AddKey(eventKey);
    Outcome out = RunTool({"A:\\drvinst", "-U", "-F", "-D", "korvex1"});
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.output, "");
    EXPECT_EQ(fake::state.commands, std::vector<std::string>{std::string("del /F ") + installed});
    EXPECT_EQ(fake::state.deletions.back(), eventKey);
    EXPECT_FALSE(fake::HasKey(serviceKey));
    EXPECT_TRUE(fake::HasKey(eventLogPath));
}
