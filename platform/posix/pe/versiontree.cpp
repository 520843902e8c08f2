#include "versiontree.h"

#include "image.h"
#include "text.h"

#include <cstring>

static size_t Align4(size_t value) {
    return (value + 3) & ~static_cast<size_t>(3);
}

// The key's terminator must lie inside the node; sets keyUnits.
static bool ReadKey(const uint8_t *data, VersionNode *node) {
    size_t at = node->keyOffset;
    while (at + 2 <= node->end && Le16(data + at) != 0)
        at += 2;
    if (at + 2 > node->end)
        return false;
    node->keyUnits = (at - node->keyOffset) / 2;
    return true;
}

// The value follows the key's padding.  An empty value may sit past the
// node's end, where the padding was left out of wLength; a value with
// bytes must fit inside the node.
static bool PlaceValue(VersionNode *node) {
    size_t start = Align4(node->keyOffset + 2 * node->keyUnits + 2);
    node->valueBytes = node->text ? 2u * node->valueLength : node->valueLength;
    if (node->valueBytes == 0)
        start = start < node->end ? start : node->end;
    else if (start > node->end || node->valueBytes > node->end - start)
        return false;
    node->valueOffset = start;
    node->childrenOffset = Align4(start + node->valueBytes);
    return true;
}

// Reads the node at offset, which must end by limit.
static bool ReadNode(const uint8_t *data, size_t offset, size_t limit, VersionNode *node) {
    if (offset > limit || limit - offset < 6)
        return false;
    size_t length = Le16(data + offset);
    if (length < 6 || length > limit - offset)
        return false;
    node->offset = offset;
    node->end = offset + length;
    node->valueLength = Le16(data + offset + 2);
    node->text = Le16(data + offset + 4) == 1;
    node->keyOffset = offset + 6;
    return ReadKey(data, node) && PlaceValue(node);
}

bool ReadVersionRoot(const uint8_t *data, size_t size, VersionNode *root) {
    return ReadNode(data, 0, size, root);
}

bool NextVersionChild(const uint8_t *data, const VersionNode &parent, size_t *cursor,
                      VersionNode *child) {
    if (!ReadNode(data, *cursor, parent.end, child))
        return false;
    *cursor = Align4(child->end);
    return true;
}

static bool FindChild(const uint8_t *data, const VersionNode &parent, const char *name,
                      size_t length, VersionNode *found) {
    size_t cursor = parent.childrenOffset;
    VersionNode child;
    while (NextVersionChild(data, parent, &cursor, &child)) {
        if (KeyMatches(data + child.keyOffset, child.keyUnits, name, length)) {
            *found = child;
            return true;
        }
    }
    return false;
}

bool FindVersionNode(const uint8_t *data, size_t size, const char *path, VersionNode *node) {
    VersionNode current;
    if (!ReadVersionRoot(data, size, &current))
        return false;
    for (int depth = 0;; depth++) {
        while (*path == '\\')
            path++;
        if (*path == 0)
            break;
        size_t length = strcspn(path, "\\");
        if (depth == kMaxVersionDepth || !FindChild(data, current, path, length, &current))
            return false;
        path += length;
    }
    *node = current;
    return true;
}

static void Visit(const uint8_t *data, const VersionNode &node, int depth,
                  const std::function<void(const VersionNode &)> &visit) {
    visit(node);
    if (depth == kMaxVersionDepth)
        return;
    size_t cursor = node.childrenOffset;
    VersionNode child;
    while (NextVersionChild(data, node, &cursor, &child))
        Visit(data, child, depth + 1, visit);
}

void ForEachVersionNode(const uint8_t *data, size_t size,
                        const std::function<void(const VersionNode &)> &visit) {
    VersionNode root;
    if (ReadVersionRoot(data, size, &root))
        Visit(data, root, 0, visit);
}
