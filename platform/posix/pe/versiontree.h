// The tree of a version resource: each node is wLength, wValueLength,
// wType, a UTF-16 key with its terminator, then the value and the
// children, each starting 4-byte aligned.  Nodes are read from untrusted
// bytes: one that reaches past its parent, or past the data, is refused.
#ifndef DRVINST_POSIX_PE_VERSIONTREE_H
#define DRVINST_POSIX_PE_VERSIONTREE_H

#include <cstddef>
#include <cstdint>
#include <functional>

struct VersionNode {
    size_t offset;        // of the node in the resource data
    size_t end;           // offset + wLength: trailing padding left out
    uint16_t valueLength; // characters when the value is text, else bytes
    bool text;            // wType 1
    size_t keyOffset;     // the key's UTF-16 units, terminator excluded
    size_t keyUnits;
    size_t valueOffset;
    size_t valueBytes;
    size_t childrenOffset;
};

// A query nests at most this deep; deeper nodes are never looked at.
constexpr int kMaxVersionDepth = 16;

// Reads the root node, which must fit in size bytes.
bool ReadVersionRoot(const uint8_t *data, size_t size, VersionNode *root);

// Steps to the next child of parent; cursor starts at the parent's
// childrenOffset and is advanced.
// False at the last child, or at a child that breaks the layout (the
// children after such a child cannot be told apart from noise).
bool NextVersionChild(const uint8_t *data, const VersionNode &parent, size_t *cursor,
                      VersionNode *child);

// The node that a query names: components separated by backslashes, runs
// of them counting as one, keys matched ignoring case; "" or "\" is the
// root itself.
bool FindVersionNode(const uint8_t *data, size_t size, const char *path, VersionNode *node);

// Calls visit for every node that a query can reach, the root first.
void ForEachVersionNode(const uint8_t *data, size_t size,
                        const std::function<void(const VersionNode &)> &visit);

#endif
