#include "tests/fake/fakeplatform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace fake {

Fake state;

struct Node {
    std::string name;
    std::map<std::string, std::unique_ptr<Node>> children; // by lower-case name
    std::map<std::string, Value> values;
};

static Node root;
static int openHandles;

// Handles the tool leaves open, as a process that is about to end may; the
// fake takes them back between tests so that leak checks stay meaningful.
struct LiveHandles {
    std::set<PosixKey *> keys;
    void Clear();
    ~LiveHandles() {
        Clear();
    }
};
static LiveHandles live;

static std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return text;
}

static std::vector<std::string> Split(const std::string &path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

static Node *Find(const std::string &path, bool create = false) {
    Node *node = &root;
    for (const std::string &part : Split(path)) {
        auto it = node->children.find(Lower(part));
        if (it == node->children.end()) {
            if (!create)
                return nullptr;
            auto child = std::make_unique<Node>();
            child->name = part;
            it = node->children.emplace(Lower(part), std::move(child)).first;
        }
        node = it->second.get();
    }
    return node;
}

void Reset() {
    state = Fake();
    root.children.clear();
    live.Clear();
    openHandles = 0;
}

void AddKey(const std::string &path) {
    Find(path, true);
}

bool HasKey(const std::string &path) {
    return Find(path) != nullptr;
}

void SetValue(const std::string &path, const std::string &name, DWORD type,
              const std::string &data) {
    Find(path, true)->values[name] = Value{type, data};
}

std::map<std::string, Value> Values(const std::string &path) {
    Node *node = Find(path);
    return node ? node->values : std::map<std::string, Value>();
}

std::vector<std::string> SubKeys(const std::string &path) {
    std::vector<std::string> names;
    if (Node *node = Find(path))
        for (auto &child : node->children)
            names.push_back(child.second->name);
    return names;
}

int OpenHandles() {
    return openHandles;
}

} // namespace fake

using fake::Find;

struct PosixKey {
    std::string path;
};

void fake::LiveHandles::Clear() {
    for (PosixKey *key : keys)
        delete key;
    keys.clear();
}

static std::string Join(HKEY key, const char *subKey) {
    std::string base = key == HKEY_LOCAL_MACHINE ? "" : key->path;
    return base.empty() ? subKey : base + "\\" + subKey;
}

static bool Listed(const std::set<std::string> &set, const std::string &path) {
    for (const std::string &entry : set)
        if (fake::Lower(entry) == fake::Lower(path))
            return true;
    return false;
}

static HKEY NewHandle(const std::string &path) {
    fake::openHandles++;
    PosixKey *key = new PosixKey{path};
    fake::live.keys.insert(key);
    return key;
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    auto it = fake::state.environment.find(name);
    if (it == fake::state.environment.end() || it->second.empty())
        return 0;
    if (it->second.size() >= size)
        return static_cast<DWORD>(it->second.size() + 1);
    memcpy(buffer, it->second.c_str(), it->second.size() + 1);
    return static_cast<DWORD>(it->second.size());
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    const std::string &dir = fake::state.workingDirectory;
    if (dir.empty())
        return 0;
    if (dir.size() >= size)
        return static_cast<DWORD>(dir.size() + 1);
    memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
    std::string path = Join(key, subKey);
    if (Listed(fake::state.failOpen, path) || Find(path) == nullptr)
        return ERROR_FILE_NOT_FOUND;
    *result = NewHandle(path);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD disposition) {
    std::string path = Join(key, subKey);
    if (Listed(fake::state.failCreate, path) || Find(key->path) == nullptr)
        return ERROR_ACCESS_DENIED;
    *disposition = Find(path) ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    Find(path, true);
    *result = NewHandle(path);
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE *data, DWORD size) {
    fake::Node *node = Find(key->path);
    if (node == nullptr || fake::state.failSetValue.count(name))
        return ERROR_ACCESS_DENIED;
    node->values[name] = fake::Value{type, std::string(reinterpret_cast<const char *>(data), size)};
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    std::string path = Join(key, subKey);
    fake::state.deletions.push_back(path);
    fake::Node *node = Find(path);
    if (node == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (!node->children.empty())
        return ERROR_ACCESS_DENIED;
    Find(key->path)->children.erase(fake::Lower(subKey));
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR, LPDWORD, LPDWORD, LPDWORD subKeys, LPDWORD maxSubKeyLen,
                      LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, PFILETIME) {
    fake::Node *node = Find(key->path);
    if (node == nullptr)
        return ERROR_FILE_NOT_FOUND;
    DWORD longest = 0;
    for (auto &child : node->children)
        longest = std::max<DWORD>(longest, static_cast<DWORD>(child.second->name.size()));
    *subKeys = static_cast<DWORD>(node->children.size());
    *maxSubKeyLen = longest;
    return ERROR_SUCCESS;
}

LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD size) {
    fake::Node *node = Find(key->path);
    if (node == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (static_cast<int>(index) == fake::state.enumFailIndex)
        return ERROR_ACCESS_DENIED;
    if (index >= node->children.size())
        return ERROR_NO_MORE_ITEMS;
    auto it = std::next(node->children.begin(), index);
    if (it->second->name.size() >= size)
        return ERROR_MORE_DATA;
    memcpy(name, it->second->name.c_str(), it->second->name.size() + 1);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    fake::openHandles--;
    fake::live.keys.erase(key);
    delete key;
    return ERROR_SUCCESS;
}

DWORD GetFileAttributesA(LPCSTR path) {
    return fake::state.missingDirectories.count(path) ? INVALID_FILE_ATTRIBUTES
                                                      : FILE_ATTRIBUTE_DIRECTORY;
}

// A version block is the count followed by the text, as the query gives it.
DWORD GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle) {
    *handle = 0;
    auto it = fake::state.versions.find(path);
    return it == fake::state.versions.end()
               ? 0
               : static_cast<DWORD>(sizeof(UINT) + it->second.first.size() + 1);
}

BOOL GetFileVersionInfoA(LPCSTR path, DWORD, DWORD size, LPVOID data) {
    auto it = fake::state.versions.find(path);
    if (it == fake::state.versions.end() || size < sizeof(UINT) + it->second.first.size() + 1)
        return 0;
    memcpy(data, &it->second.second, sizeof(UINT));
    memcpy(static_cast<char *>(data) + sizeof(UINT), it->second.first.c_str(),
           it->second.first.size() + 1);
    return 1;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID *buffer, PUINT length) {
    const char *base = static_cast<const char *>(block);
    if (strcmp(subBlock, "\\") == 0) {
        *buffer = const_cast<char *>(base);
        *length = sizeof(UINT);
        return 1;
    }
    if (strcmp(subBlock, "\\StringFileInfo\\040904B0\\FileVersion") != 0)
        return 0;
    memcpy(length, base, sizeof(UINT));
    *buffer = const_cast<char *>(base + sizeof(UINT));
    return 1;
}

int RunCommand(const char *command) {
    fflush(stdout);
    fake::state.commands.push_back(command);
    return fake::state.onCommand ? fake::state.onCommand(command) : 0;
}

void SetPlatformVerbose(bool) {}

void EndProcess(int status) {
    fflush(stdout);
    throw fake::ProcessEnded{status};
}
