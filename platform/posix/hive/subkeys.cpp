#include "subkeys.h"

#include "node.h"
#include "text.h"

// The lookup maps, over the subkeys still there; of two subkeys with one
// folded name the first in the hive's order is the one found.
void SubkeyCache::Index(Entry *entry) {
    entry->position.clear();
    entry->byName.clear();
    for (size_t i = 0; i < entry->list.nodes.size(); i++) {
        if (entry->list.nodes[i] == 0)
            continue;
        entry->position.emplace(entry->list.nodes[i], i);
        entry->byName.emplace(FoldRegistryName(entry->list.names[i]), i);
    }
}

LONG SubkeyCache::Load(const HiveCells *hive, HiveNode node, Entry **entry) {
    auto found = entries_.find(node);
    if (found != entries_.end()) {
        *entry = &found->second;
        return ERROR_SUCCESS;
    }
    Entry fresh;
    LONG rc = ChildNodes(*hive, node, &fresh.list.nodes);
    fresh.list.names.resize(fresh.list.nodes.size());
    for (size_t i = 0; rc == ERROR_SUCCESS && i < fresh.list.nodes.size(); i++)
        rc = NodeName(*hive, fresh.list.nodes[i], &fresh.list.names[i]);
    if (rc != ERROR_SUCCESS)
        return rc;
    Index(&fresh);
    fresh.duplicates = fresh.byName.size() != fresh.list.nodes.size();
    *entry = &entries_.emplace(node, std::move(fresh)).first->second;
    return ERROR_SUCCESS;
}

// Removed subkeys keep their place until the list is next wanted whole, so
// that removing every subkey of a long list one by one stays linear.
void SubkeyCache::Compact(Entry *entry) {
    SubkeyList kept;
    for (size_t i = 0; i < entry->list.nodes.size(); i++) {
        if (entry->list.nodes[i] == 0)
            continue;
        kept.nodes.push_back(entry->list.nodes[i]);
        kept.names.push_back(std::move(entry->list.names[i]));
    }
    entry->list = std::move(kept);
    entry->gone = 0;
    Index(entry);
}

LONG SubkeyCache::List(const HiveCells *hive, HiveNode node, const SubkeyList **list) {
    Entry *entry = nullptr;
    LONG rc = Load(hive, node, &entry);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (entry->gone != 0)
        Compact(entry);
    *list = &entry->list;
    return ERROR_SUCCESS;
}

LONG SubkeyCache::Find(const HiveCells *hive, HiveNode parent, const std::string &name,
                       HiveNode *child) {
    Entry *entry = nullptr;
    LONG rc = Load(hive, parent, &entry);
    if (rc != ERROR_SUCCESS)
        return rc;
    auto found = entry->byName.find(FoldRegistryName(name));
    if (found == entry->byName.end())
        return ERROR_FILE_NOT_FOUND;
    *child = entry->list.nodes[found->second];
    return ERROR_SUCCESS;
}

void SubkeyCache::Forget(HiveNode node) {
    entries_.erase(node);
}

void SubkeyCache::Remove(HiveNode parent, HiveNode child) {
    entries_.erase(child);
    auto found = entries_.find(parent);
    if (found == entries_.end())
        return;
    Entry &entry = found->second;
    auto at = entry.position.find(child);
    if (at == entry.position.end())
        return;
    size_t i = at->second;
    entry.position.erase(at);
    entry.list.nodes[i] = 0;
    entry.gone++;
    // In a damaged hive with two subkeys of one name, the other one is
    // what a lookup must find now.  The list is not read again from the
    // hive, which still holds the deleted subkey until the run writes.
    if (entry.duplicates)
        Index(&entry);
    else
        entry.byName.erase(FoldRegistryName(entry.list.names[i]));
}

void SubkeyCache::Clear() {
    entries_.clear();
}
