// CurrentControlSet.  Offline there is no running system to have picked a
// control set, so the one Select\Current names is the one a boot would
// use; a Select\Default that disagrees is worth a warning, since the
// user's intent may have been the other set.
#include "select.h"

#include "platform/posix/hive/hive.h"

#include <cstdio>
#include <string>

namespace {

std::string ControlSetName(uint32_t number) {
    char name[32];
    snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(number));
    return name;
}

// Reports a problem with Select once per session, on stdout.
void Notice(HiveSession *session, const std::string &text) {
    if (session->selectNoticed)
        return;
    session->selectNoticed = true;
    printf("%s\n", text.c_str());
}

LONG Trouble(HiveSession *session, LONG rc, const std::string &what) {
    Notice(session, "offline registry: " + session->path + ": " + what);
    return rc;
}

void WarnIfDefaultDiffers(HiveSession *session, HiveNode select, uint32_t current) {
    uint32_t fallback = 0;
    if (ReadDword(*session->hive, select, "Default", &fallback) != ERROR_SUCCESS ||
        fallback == current)
        return;
    Notice(session, "warning: offline hive: Select\\Current is " + ControlSetName(current) +
                        " but Select\\Default is " + ControlSetName(fallback));
}

} // namespace

LONG CurrentControlSet(HiveSession *session, HiveNode *node) {
    const HiveCells *hive = session->hive;
    HiveNode select = 0;
    uint32_t current = 0;
    LONG rc = session->subkeys.Find(hive, RootNode(*hive), "Select", &select);
    if (rc == ERROR_SUCCESS)
        rc = ReadDword(*hive, select, "Current", &current);
    if (rc == ERROR_SUCCESS && (current == 0 || current > 999))
        rc = ERROR_BADDB;
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_BADDB)
        return Trouble(session, rc, "Select\\Current is missing or not a control set number");
    if (rc != ERROR_SUCCESS)
        return Trouble(session, rc,
                       "Select\\Current cannot be read (error " + std::to_string(rc) + ")");
    rc = session->subkeys.Find(hive, RootNode(*hive), ControlSetName(current), node);
    if (rc != ERROR_SUCCESS)
        return Trouble(session, rc,
                       "Select\\Current names " + ControlSetName(current) +
                           ", which cannot be found");
    WarnIfDefaultDiffers(session, select, current);
    return ERROR_SUCCESS;
}
