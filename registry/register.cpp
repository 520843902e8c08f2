#include "front/messages.h"
#include "front/state.h"
#include "registry/registry.h"
#include "rollback/rollback.h"

#include <cstring>
#include <string>

const RegistryValueSpec serviceValues[] = {
    {"ErrorControl", REG_DWORD, nullptr, 1},
    {"Group", REG_SZ, "SCSI Miniport", 0},
    {"ImagePath", REG_EXPAND_SZ, "System32\\Drivers", 0},
    {"Start", REG_DWORD, nullptr, 0},
    {"Tag", REG_DWORD, nullptr, 1},
    {"Type", REG_DWORD, nullptr, 1},
};
const int32_t serviceValueCount = sizeof serviceValues / sizeof serviceValues[0];

const RegistryValueSpec eventLogValues[] = {
    {"EventMessageFile", REG_EXPAND_SZ, "%SystemRoot%\\System32\\IoLogMsg.dll", 0},
    {"TypesSupported", REG_DWORD, nullptr, 7},
};
const int32_t eventLogValueCount = sizeof eventLogValues / sizeof eventLogValues[0];

struct ValueData {
    DWORD type;
    std::string bytes;
};

// The service table carries two values that depend on the driver: the
// image path names its file, and korvex2 loads with its own tag.
static ValueData RowData(const RegistryValueSpec *row, bool isService) {
    if (row->valueType == REG_DWORD) {
        DWORD number = row->number;
        if (isService && strcmp(row->valueName, "Tag") == 0 && state.driverName == "korvex2")
            number = 20;
        return {REG_DWORD, std::string(reinterpret_cast<const char *>(&number), sizeof number)};
    }
    std::string text = row->text;
    if (isService && strcmp(row->valueName, "ImagePath") == 0)
        text = Format("%s\\%s.sys", row->text, state.driverName.c_str());
    return {row->valueType, std::string(text.c_str(), text.size() + 1)};
}

static LONG SetValue(HKEY key, const RegistryValueSpec *row, bool isService) {
    ValueData value = RowData(row, isService);
    return RegSetValueExA(key, row->valueName, 0, value.type,
                          reinterpret_cast<const BYTE *>(value.bytes.data()),
                          static_cast<DWORD>(value.bytes.size()));
}

bool ServiceKeyComplete() {
    HKEY key;
    if (RegOpenKeyExA(state.servicesKey, state.driverName.c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    bool complete = true;
    for (int32_t i = 0; i < serviceValueCount && complete; i++) {
        ValueData want = RowData(&serviceValues[i], true);
        // One byte more than wanted, so that longer data shows as longer.
        std::string got(want.bytes.size() + 1, '\0');
        DWORD type = 0, size = static_cast<DWORD>(got.size());
        complete = RegQueryValueExA(key, serviceValues[i].valueName, nullptr, &type,
                                    reinterpret_cast<BYTE *>(&got[0]), &size) == ERROR_SUCCESS &&
                   type == want.type && got.substr(0, size) == want.bytes;
    }
    RegCloseKey(key);
    return complete;
}

static LONG CreateKey(HKEY parent, HKEY *key) {
    DWORD disposition;
    // The class is a text kept with the key that nothing reads; "REG_SZ" is
    // the one every install writes, in an array because the call's
    // parameter is not const.
    char keyClass[] = "REG_SZ";
    return RegCreateKeyExA(parent, state.driverName.c_str(), 0, keyClass, 0, KEY_ALL_ACCESS,
                           nullptr, key, &disposition);
}

// A failure on the service key leaves a driver that cannot load, so the
// install is undone; and since the driver is then not installed, the run
// must not end with the status of success.
[[noreturn]] static void RollBack(const std::string &message) {
    Report("%s", message.c_str());
    state.lastCommandStatus = 1;
    UninstallDriver();
}

static void WriteServiceKey() {
    RemoveKeyTree(state.servicesKey, state.driverName.c_str());
    HKEY key;
    if (CreateKey(state.servicesKey, &key) != ERROR_SUCCESS)
        RollBack("RegCreateKeyEx failed to create registry key\n");
    Verbose("Created registry key \\HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\%s\n",
            state.driverName.c_str());
    state.installState |= INSTALLED_REGISTRY;
    for (int32_t i = 0; i < serviceValueCount; i++)
        if (SetValue(key, &serviceValues[i], true) != ERROR_SUCCESS)
            RollBack(Format("RegSetValueEx failed: could not set value %s\n",
                            serviceValues[i].valueName));
    RegCloseKey(key);
}

// The event-log source only lets the driver's messages be read; failing
// to register it is a warning and the install stands.
static void WriteEventLogKey() {
    RemoveKeyTree(state.eventLogKey, state.driverName.c_str());
    HKEY key;
    if (CreateKey(state.eventLogKey, &key) != ERROR_SUCCESS) {
        Report("Warning: RegCreateKeyEx failed to create event log key\n");
        return;
    }
    Verbose("Created registry key "
            "\\HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\%s\n",
            state.driverName.c_str());
    for (int32_t i = 0; i < eventLogValueCount; i++) {
        if (SetValue(key, &eventLogValues[i], false) != ERROR_SUCCESS) {
            Report("Warning: RegSetValueEx failed to set value %s\n", eventLogValues[i].valueName);
            break;
        }
    }
    RegCloseKey(key);
}

void InstallRegistry() {
    WriteServiceKey();
    WriteEventLogKey();
}
