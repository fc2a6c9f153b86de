// A directory tree read as it stands, symbolic links never followed: one side
// of a delta package.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class entry_kind { directory, regular, symlink, char_device, block_device, fifo };

struct tree_entry {
    std::string path;                 // relative to the root, '/'-separated; "" is the root
    entry_kind kind = entry_kind::regular;
    uint32_t mode = 0;                // permission bits with setuid, setgid and sticky
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t size = 0;                // regular files
    uint32_t major = 0;               // devices
    uint32_t minor = 0;
    std::string link_target;          // symbolic links
    uint64_t dev = 0;                 // file identity, for hard links
    uint64_t ino = 0;
    uint32_t nlink = 0;
};

struct tree {
    std::string root;
    std::vector<tree_entry> entries;  // sorted by path byte for byte, the root first
    std::vector<std::string> skipped; // sockets, which no package can carry
    // Regular files with more than one name in this tree: every name of the
    // file, sorted. Files with a single name here are not listed.
    std::map<std::string, std::vector<std::string>> links;
};

// Reads the tree under `root` (itself a directory, or a link to one). 0, or -1
// with *error naming the entry that could not be read.
int scan_tree(const std::string& root, tree* out, std::string* error);

// The entry at `path`, or null.
const tree_entry* find_entry(const tree& t, const std::string& path);

// The other names of the regular file at `path` in this tree, itself included;
// empty when it has only the one.
const std::vector<std::string>& link_names(const tree& t, const std::string& path);

// "ROOT/PATH" on the host.
std::string host_path(const tree& t, const std::string& path);
