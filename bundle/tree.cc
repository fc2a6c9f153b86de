#include "bundle/tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

struct dir_closer {
    void operator()(DIR* d) const { closedir(d); }
};

std::string join(const std::string& dir, const std::string& name)
{
    return dir.empty() ? name : dir + "/" + name;
}

// Fills the entry from lstat; false for a socket, which is skipped.
bool describe(const struct stat& st, tree_entry* e)
{
    if (S_ISDIR(st.st_mode))
        e->kind = entry_kind::directory;
    else if (S_ISREG(st.st_mode))
        e->kind = entry_kind::regular;
    else if (S_ISLNK(st.st_mode))
        e->kind = entry_kind::symlink;
    else if (S_ISCHR(st.st_mode))
        e->kind = entry_kind::char_device;
    else if (S_ISBLK(st.st_mode))
        e->kind = entry_kind::block_device;
    else if (S_ISFIFO(st.st_mode))
        e->kind = entry_kind::fifo;
    else
        return false;
    e->mode = st.st_mode & 07777;
    e->uid = st.st_uid;
    e->gid = st.st_gid;
    e->size = e->kind == entry_kind::regular ? (uint64_t)st.st_size : 0;
    if (e->kind == entry_kind::char_device || e->kind == entry_kind::block_device) {
        e->major = major(st.st_rdev);
        e->minor = minor(st.st_rdev);
    }
    e->dev = st.st_dev;
    e->ino = st.st_ino;
    e->nlink = (uint32_t)st.st_nlink;
    return true;
}

int read_link(const std::string& file, std::string* target, std::string* error)
{
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = ::readlink(file.c_str(), buffer.data(), buffer.size());
        if (n < 0) {
            *error = file + ": " + strerror(errno);
            return -1;
        }
        if ((size_t)n < buffer.size()) {
            target->assign(buffer.data(), (size_t)n);
            return 0;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Lists the directory `path` (relative) and descends into its subdirectories.
int scan_dir(tree* t, const std::string& path, std::string* error)
{
    std::string dir_path = host_path(*t, path);
    std::unique_ptr<DIR, dir_closer> dir(opendir(dir_path.c_str()));
    if (!dir) {
        *error = dir_path + ": " + strerror(errno);
        return -1;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* d = readdir(dir.get())) {
        if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0)
            names.emplace_back(d->d_name);
        errno = 0;
    }
    if (errno != 0) {
        *error = dir_path + ": " + strerror(errno);
        return -1;
    }
    dir.reset();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        tree_entry e;
        e.path = join(path, name);
        std::string file = host_path(*t, e.path);
        struct stat st;
        if (::lstat(file.c_str(), &st) < 0) {
            *error = file + ": " + strerror(errno);
            return -1;
        }
        if (!describe(st, &e)) {
            t->skipped.push_back(e.path);
            continue;
        }
        if (e.kind == entry_kind::symlink && read_link(file, &e.link_target, error) < 0)
            return -1;
        t->entries.push_back(e);
        if (e.kind == entry_kind::directory && scan_dir(t, e.path, error) < 0)
            return -1;
    }
    return 0;
}

}  // namespace

int scan_tree(const std::string& root, tree* out, std::string* error)
{
    *out = tree{};
    out->root = root;
    struct stat st;
    if (::stat(root.c_str(), &st) < 0) {
        *error = root + ": " + strerror(errno);
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = root + ": not a directory";
        return -1;
    }
    tree_entry top;
    describe(st, &top);
    out->entries.push_back(top);
    if (scan_dir(out, "", error) < 0)
        return -1;
    // The walk visits each directory's names in order, but "a/b" must come after
    // "a-b" for lookups by path: one sort by the whole path settles it.
    std::sort(out->entries.begin(), out->entries.end(),
              [](const tree_entry& a, const tree_entry& b) { return a.path < b.path; });
    std::map<std::pair<uint64_t, uint64_t>, std::vector<std::string>> by_inode;
    for (const tree_entry& e : out->entries)
        if (e.kind == entry_kind::regular && e.nlink > 1)
            by_inode[{e.dev, e.ino}].push_back(e.path);
    for (auto& [inode, names] : by_inode)
        if (names.size() > 1)
            for (const std::string& name : names)
                out->links[name] = names;
    return 0;
}

const tree_entry* find_entry(const tree& t, const std::string& path)
{
    auto at = std::lower_bound(t.entries.begin(), t.entries.end(), path,
                               [](const tree_entry& e, const std::string& p) { return e.path < p; });
    return at != t.entries.end() && at->path == path ? &*at : nullptr;
}

const std::vector<std::string>& link_names(const tree& t, const std::string& path)
{
    static const std::vector<std::string> none;
    auto at = t.links.find(path);
    return at == t.links.end() ? none : at->second;
}

std::string host_path(const tree& t, const std::string& path)
{
    return path.empty() ? t.root : t.root + "/" + path;
}
