// In-memory file system with the kernel's inotify behaviour, for the tree
// translation's tests and fuzz targets.
#include "fake_tree.h"

#include "tree_nodes.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <stdio.h>
#include <sys/inotify.h>

namespace {

const size_t HEADER = sizeof(inotify_event);

// An open directory, and its listing once asked for.
struct listing {
    int directory = -1; // the node opened
    bool listed = false;
    std::vector<std::string> names;
    std::vector<bool> directories;
    size_t next = 0;
};

fake_fs *fs_of(void *context) { return static_cast<fake_fs *>(context); }

void called(fake_fs *fs, fake_call call) {
    fs->calls++;
    fs->call = call;
    if (fs->on_call) fs->on_call(fs, fs->on_call_context);
}

int child_of(const fake_fs *fs, int directory, const std::string &name) {
    for (int c : fs->nodes[static_cast<size_t>(directory)].children) {
        if (fs->nodes[static_cast<size_t>(c)].alive && fs->nodes[static_cast<size_t>(c)].name == name) return c;
    }
    return -1;
}

int followed(const fake_fs *fs, int node) {
    int bind = fs->nodes[static_cast<size_t>(node)].bind;
    return bind >= 0 ? bind : node;
}

// A path's components lead through mounts, and through links only where the
// caller follows them.
int through(const fake_fs *fs, int node, bool links) {
    node = followed(fs, node);
    int link = fs->nodes[static_cast<size_t>(node)].link;
    return links && link >= 0 ? followed(fs, link) : node;
}

// Resolves every component but the last: the directory it lies in and its
// name. 0 or errno. Only system calls taking a path (the tree's) are held to
// PATH_MAX; the tests build deeper trees the way openat would.
int split_path(const fake_fs *fs, const char *path, int *parent, std::string *last,
               bool limited = false) {
    if (limited && strlen(path) >= PATH_MAX) return ENAMETOOLONG;
    int node = 0;
    std::string part;
    bool have = false; // a component waits in part
    for (const char *p = path;;) {
        while (*p == '/') p++;
        if (!*p) break;
        const char *end = strchr(p, '/');
        size_t length = end ? static_cast<size_t>(end - p) : strlen(p);
        if (length > NAME_MAX) return ENAMETOOLONG;
        if (have) { // not the last: walk into it
            if (part == "..") {
                int up = fs->nodes[static_cast<size_t>(node)].parent;
                node = up >= 0 ? up : 0;
            } else if (part != ".") {
                int c = child_of(fs, node, part);
                if (c < 0) return ENOENT;
                c = through(fs, c, true);
                if (!fs->nodes[static_cast<size_t>(c)].is_dir) return ENOTDIR;
                node = c;
            }
        }
        part.assign(p, length);
        have = true;
        p += length;
    }
    if (!have) return EINVAL;
    *parent = node;
    *last = part;
    return 0;
}

fake_node &at(fake_fs *fs, int node) { return fs->nodes[static_cast<size_t>(node)]; }
const fake_node &at(const fake_fs *fs, int node) { return fs->nodes[static_cast<size_t>(node)]; }

bool below(const fake_fs *fs, int node, int ancestor) {
    for (int n = node; n >= 0; n = at(fs, n).parent) {
        if (n == ancestor) return true;
    }
    return false;
}

bool below_root(const fake_fs *fs, int node) { return fs->root >= 0 && below(fs, node, fs->root); }

// Changes in this directory are the tree's to report: it is watched, or it
// appeared while watched and its files are due when it is listed.
bool covered(const fake_fs *fs, int directory) {
    return below_root(fs, directory) && (at(fs, directory).wd != 0 || at(fs, directory).arrived);
}

void notify(fake_fs *fs, int directory, uint32_t mask, bool is_dir, uint32_t cookie,
            const std::string &name) {
    const fake_node &d = at(fs, directory);
    if (d.wd == 0 || !(d.mask & mask)) return;
    fake_queue(fs, d.wd, mask | (is_dir ? IN_ISDIR : 0u), cookie, name.c_str());
}

void drop_watch(fake_fs *fs, int node) {
    fake_node &n = at(fs, node);
    if (n.wd == 0) return;
    fake_queue(fs, n.wd, IN_IGNORED, 0, "");
    n.wd = 0;
    n.mask = 0;
    fs->watch_count--;
}

// The end of a directory inode: its own watch says so and goes.
void directory_gone(fake_fs *fs, int node) {
    fake_node &n = at(fs, node);
    if (n.wd && (n.mask & IN_DELETE_SELF)) fake_queue(fs, n.wd, IN_DELETE_SELF, 0, "");
    drop_watch(fs, node);
}

void detach(fake_fs *fs, int node) {
    fake_node &n = at(fs, node);
    std::vector<int> &siblings = at(fs, n.parent).children;
    for (size_t i = 0; i < siblings.size(); i++) {
        if (siblings[i] == node) {
            siblings.erase(siblings.begin() + static_cast<long>(i));
            break;
        }
    }
    n.parent = -1;
}

void attach(fake_fs *fs, int node, int parent, const std::string &name) {
    at(fs, node).parent = parent;
    at(fs, node).name = name;
    at(fs, parent).children.push_back(node);
}

int new_node(fake_fs *fs, int parent, const std::string &name, bool is_dir) {
    fake_node n;
    n.is_dir = is_dir;
    fs->nodes.push_back(n);
    int node = static_cast<int>(fs->nodes.size() - 1);
    attach(fs, node, parent, name);
    return node;
}

const int64_t TICK = 3000000000;

void make_dirty(fake_fs *fs, int file) {
    std::string relative;
    if (!fake_relative(fs, file, &relative)) return;
    if (fs->dirty_paths.size() < fs->nodes.size()) fs->dirty_paths.resize(fs->nodes.size());
    at(fs, file).dirty = true;
    fs->dirty_paths[static_cast<size_t>(file)] = {relative};
}

// Files below node: their paths join the names that existed, and changed
// ones may now be scanned under the new path as well.
void note_paths_below(fake_fs *fs, int node, const std::string &relative) {
    const fake_node &n = at(fs, node);
    if (n.bind >= 0) return;
    if (!n.is_dir) {
        if (fs->dirty_paths.size() < fs->nodes.size()) fs->dirty_paths.resize(fs->nodes.size());
        fs->named.insert(relative);
        if (n.dirty) fs->dirty_paths[static_cast<size_t>(node)].insert(relative);
        return;
    }
    for (int c : n.children) {
        note_paths_below(fs, c, relative.empty() ? at(fs, c).name : relative + "/" + at(fs, c).name);
    }
}

void note_paths(fake_fs *fs, int node) {
    std::string relative;
    if (fake_relative(fs, node, &relative)) note_paths_below(fs, node, relative);
}

// A directory that came in from outside: every file in it is a change.
void mark_arrived(fake_fs *fs, int node) {
    fake_node &n = at(fs, node);
    if (n.bind >= 0) return;
    if (!n.is_dir) {
        make_dirty(fs, node);
        return;
    }
    n.arrived = true;
    std::vector<int> children = n.children;
    for (int c : children) mark_arrived(fs, c);
}

} // namespace

void fake_init(fake_fs *fs) {
    fs->nodes.clear();
    fake_node slash;
    slash.is_dir = true;
    fs->nodes.push_back(slash);
}

void fake_set_root(fake_fs *fs, const char *path) {
    fs->root_path = path;
    fs->root = fake_lookup(fs, path);
    if (fs->root >= 0) note_paths(fs, fs->root);
}

namespace {
int lookup(const fake_fs *fs, const char *path, bool limited) {
    int parent = 0;
    std::string last;
    int error = split_path(fs, path, &parent, &last, limited);
    if (error == EINVAL) return 0; // "/"
    if (error) return -error;
    if (last == ".") return parent;
    if (last == "..") return at(fs, parent).parent >= 0 ? at(fs, parent).parent : 0;
    int node = child_of(fs, parent, last);
    return node < 0 ? -ENOENT : through(fs, node, true);
}
} // namespace

int fake_lookup(const fake_fs *fs, const char *path) { return lookup(fs, path, false); }

namespace {
// The names from node up to (not including) top, joined with "/".
std::string join_up(const fake_fs *fs, int node, int top) {
    std::vector<int> chain;
    for (int n = node; n != top && n > 0; n = at(fs, n).parent) chain.push_back(n);
    std::string path;
    for (size_t i = chain.size(); i-- > 0;) {
        if (!path.empty() || top == 0) path += "/";
        path += at(fs, chain[i]).name;
    }
    return path;
}
} // namespace

std::string fake_path(const fake_fs *fs, int node) {
    return node == 0 ? "/" : join_up(fs, node, 0);
}

bool fake_relative(const fake_fs *fs, int node, std::string *out) {
    if (!below_root(fs, node)) return false;
    *out = join_up(fs, node, fs->root);
    return true;
}

void fake_queue(fake_fs *fs, int wd, uint32_t mask, uint32_t cookie, const char *name) {
    if (!fs->queue.empty()) {
        const fake_event &last = fs->queue.back();
        if (last.wd == wd && last.mask == mask && last.cookie == cookie && last.name == name) return;
    }
    if (fs->queue.size() >= fs->queue_limit) {
        for (const fake_event &e : fs->queue) {
            if (e.mask & IN_Q_OVERFLOW) return;
        }
        fs->queue.push_back({-1, IN_Q_OVERFLOW, 0, ""});
        return;
    }
    fs->queue.push_back({wd, mask, cookie, name});
}

void fake_encode(std::vector<unsigned char> *out, int wd, uint32_t mask, uint32_t cookie,
                 const std::string &name, long name_space) {
    size_t space = 0;
    if (name_space >= 0) {
        space = static_cast<size_t>(name_space);
    } else if (!name.empty()) {
        space = (name.size() + 1 + HEADER - 1) / HEADER * HEADER;
    }
    inotify_event header;
    memset(&header, 0, sizeof header);
    header.wd = wd;
    header.mask = mask;
    header.cookie = cookie;
    header.len = static_cast<uint32_t>(space);
    size_t start = out->size();
    out->resize(start + HEADER + space, 0);
    memcpy(out->data() + start, &header, HEADER);
    memcpy(out->data() + start + HEADER, name.data(), name.size() < space ? name.size() : space);
}

size_t fake_read(fake_fs *fs, unsigned char *buffer, size_t capacity) {
    fs->events_since = fs->last_read;
    fs->last_read = fs->clock;
    std::vector<unsigned char> bytes;
    size_t taken = 0;
    while (taken < fs->queue.size()) {
        const fake_event &e = fs->queue[taken];
        size_t before = bytes.size();
        fake_encode(&bytes, e.wd, e.mask, e.cookie, e.name);
        if (bytes.size() > capacity) {
            bytes.resize(before);
            break;
        }
        taken++;
    }
    fs->queue.erase(fs->queue.begin(), fs->queue.begin() + static_cast<long>(taken));
    if (!bytes.empty()) memcpy(buffer, bytes.data(), bytes.size());
    return bytes.size();
}

int fake_mkdir(fake_fs *fs, const char *path) {
    fs->clock += TICK;
    int parent = 0;
    std::string name;
    if (int error = split_path(fs, path, &parent, &name)) return error;
    if (child_of(fs, parent, name) >= 0) return EEXIST;
    int node = new_node(fs, parent, name, true);
    at(fs, node).arrived = covered(fs, parent);
    notify(fs, parent, IN_CREATE, true, 0, name);
    return 0;
}

int fake_create(fake_fs *fs, const char *path) {
    fs->clock += TICK;
    int parent = 0;
    std::string name;
    if (int error = split_path(fs, path, &parent, &name)) return error;
    if (child_of(fs, parent, name) >= 0) return EEXIST;
    int node = new_node(fs, parent, name, false);
    at(fs, node).ctime = fs->clock;
    notify(fs, parent, IN_CREATE, false, 0, name);
    note_paths(fs, node);
    if (covered(fs, parent)) make_dirty(fs, node);
    return 0;
}

int fake_write(fake_fs *fs, const char *path) {
    fs->clock += TICK;
    int parent = 0;
    std::string name;
    if (int error = split_path(fs, path, &parent, &name)) return error;
    int node = child_of(fs, parent, name);
    if (node < 0) {
        fake_create(fs, path);
        node = child_of(fs, parent, name);
    } else if (at(fs, node).is_dir || at(fs, node).bind >= 0) {
        return EISDIR;
    }
    at(fs, node).ctime = fs->clock;
    notify(fs, parent, IN_MODIFY, false, 0, name);
    if (covered(fs, parent)) make_dirty(fs, node);
    return 0;
}

int fake_unlink(fake_fs *fs, const char *path) {
    int parent = 0;
    std::string name;
    if (int error = split_path(fs, path, &parent, &name)) return error;
    int node = child_of(fs, parent, name);
    if (node < 0) return ENOENT;
    if (at(fs, node).is_dir) return EISDIR;
    detach(fs, node);
    at(fs, node).alive = false;
    notify(fs, parent, IN_DELETE, false, 0, name);
    return 0;
}

int fake_rmdir(fake_fs *fs, const char *path) {
    int parent = 0;
    std::string name;
    if (int error = split_path(fs, path, &parent, &name)) return error;
    int node = child_of(fs, parent, name);
    if (node < 0) return ENOENT;
    fake_node &n = at(fs, node);
    if (n.bind >= 0) return EBUSY;
    if (!n.is_dir) return ENOTDIR;
    if (!n.children.empty()) return ENOTEMPTY;
    detach(fs, node);
    at(fs, node).alive = false;
    directory_gone(fs, node);
    notify(fs, parent, IN_DELETE, true, 0, name);
    return 0;
}

int fake_rename(fake_fs *fs, const char *from, const char *to) {
    fs->clock += TICK;
    int old_parent = 0, new_parent = 0;
    std::string old_name, new_name;
    if (int error = split_path(fs, from, &old_parent, &old_name)) return error == EINVAL ? EBUSY : error;
    if (int error = split_path(fs, to, &new_parent, &new_name)) return error == EINVAL ? EBUSY : error;
    int node = child_of(fs, old_parent, old_name);
    if (node < 0) return ENOENT;
    bool is_dir = at(fs, node).is_dir || at(fs, node).bind >= 0;
    if (at(fs, node).bind >= 0) return EBUSY;
    if (is_dir && below(fs, new_parent, node)) return EINVAL;
    int target = child_of(fs, new_parent, new_name);
    if (target == node) return 0;
    if (target >= 0) {
        const fake_node &t = at(fs, target);
        if (t.bind >= 0) return EBUSY;
        if (is_dir && !t.is_dir) return ENOTDIR;
        if (!is_dir && t.is_dir) return EISDIR;
        if (t.is_dir && !t.children.empty()) return ENOTEMPTY;
    }
    bool was_below = below_root(fs, old_parent);
    uint32_t cookie = fs->next_cookie++;
    notify(fs, old_parent, IN_MOVED_FROM, is_dir, cookie, old_name);
    notify(fs, new_parent, IN_MOVED_TO, is_dir, cookie, new_name);
    const fake_node &moved = at(fs, node);
    if (moved.wd && (moved.mask & IN_MOVE_SELF)) fake_queue(fs, moved.wd, IN_MOVE_SELF, 0, "");
    detach(fs, node);
    attach(fs, node, new_parent, new_name);
    if (target >= 0) {
        detach(fs, target);
        at(fs, target).alive = false;
        if (at(fs, target).is_dir) directory_gone(fs, target);
    }
    at(fs, node).ctime = fs->clock; // a rename changes the moved inode's status
    note_paths(fs, node);
    if (covered(fs, new_parent)) {
        if (!is_dir) {
            make_dirty(fs, node);
        } else if (!was_below) {
            mark_arrived(fs, node);
        }
    }
    return 0;
}

int fake_bind(fake_fs *fs, const char *directory, const char *at_path) {
    int shown = fake_lookup(fs, directory);
    if (shown < 0) return -shown;
    int parent = 0;
    std::string name;
    if (int error = split_path(fs, at_path, &parent, &name)) return error;
    if (child_of(fs, parent, name) >= 0) return EEXIST;
    int node = new_node(fs, parent, name, false);
    at(fs, node).bind = shown;
    return 0;
}

// ---- tree_ops ----

namespace {

listing *open_node(fake_fs *fs, int node, int *error) {
    if (fs->open_directories >= fs->open_limit) {
        *error = EMFILE;
        return nullptr;
    }
    listing *l = new listing;
    l->directory = node;
    fs->open_directories++;
    return l;
}

void *fake_open_root(void *context, const char *path, int *error) {
    fake_fs *fs = fs_of(context);
    called(fs, FAKE_OPEN);
    if (fs->trace) fprintf(stderr, "      open root %s\n", path);
    int node = lookup(fs, path, true);
    if (node < 0) {
        *error = -node;
        return nullptr;
    }
    if (!at(fs, node).is_dir) {
        *error = ENOTDIR;
        return nullptr;
    }
    return open_node(fs, node, error);
}

// As openat2 with RESOLVE_BENEATH and RESOLVE_NO_SYMLINKS does: a link on
// the way is refused.
void *fake_open_below(void *context, void *from, const char *relative, int *error) {
    fake_fs *fs = fs_of(context);
    called(fs, FAKE_OPEN);
    if (fs->trace) fprintf(stderr, "      open %s below %s\n", relative,
                           from ? fake_path(fs, static_cast<listing *>(from)->directory).c_str() : "the root");
    int node = from ? static_cast<listing *>(from)->directory : lookup(fs, fs->root_path.c_str(), true);
    if (node != fs->root && !from) {
        *error = ENOENT; // the root's path names another directory by now
        return nullptr;
    }
    for (const char *p = relative; *p;) {
        const char *end = strchr(p, '/');
        size_t length = end ? static_cast<size_t>(end - p) : strlen(p);
        int c = child_of(fs, node, std::string(p, length));
        if (c < 0) {
            *error = ENOENT;
            return nullptr;
        }
        c = through(fs, c, false);
        if (!at(fs, c).is_dir) {
            *error = ENOTDIR;
            return nullptr;
        }
        node = c;
        p += length + (end ? 1 : 0);
    }
    return open_node(fs, node, error);
}

int fake_list(void *context, void *directory) {
    fake_fs *fs = fs_of(context);
    called(fs, FAKE_LIST);
    listing *l = static_cast<listing *>(directory);
    fake_node &n = at(fs, l->directory);
    if (fs->trace) fprintf(stderr, "      list %s\n", fake_path(fs, l->directory).c_str());
    if (n.open_error) {
        n.refused = true;
        return n.open_error;
    }
    if (l->listed) return 0;
    l->listed = true;
    for (int c : n.children) {
        l->names.push_back(at(fs, c).name);
        l->directories.push_back(at(fs, c).is_dir || at(fs, c).bind >= 0);
    }
    fs->open_listings++;
    return 0;
}

const char *fake_next_entry(void *context, void *directory, bool *is_directory) {
    called(fs_of(context), FAKE_NEXT);
    listing *l = static_cast<listing *>(directory);
    if (l->next == l->names.size()) return nullptr;
    *is_directory = l->directories[l->next];
    return l->names[l->next++].c_str();
}

int64_t fake_changed_at(void *context, void *directory, const char *name) {
    fake_fs *fs = fs_of(context);
    listing *l = static_cast<listing *>(directory);
    int node = l->directory >= 0 ? child_of(fs, l->directory, name) : -1;
    return node >= 0 ? at(fs, node).ctime : -1;
}

void fake_close(void *context, void *directory) {
    fake_fs *fs = fs_of(context);
    listing *l = static_cast<listing *>(directory);
    if (l->listed) fs->open_listings--;
    fs->open_directories--;
    delete l;
}

int fake_add_watch(void *context, void *directory, uint32_t mask) {
    fake_fs *fs = fs_of(context);
    called(fs, FAKE_ADD_WATCH);
    int node = static_cast<listing *>(directory)->directory;
    fake_node &n = at(fs, node);
    int wd = 0;
    if (n.add_error) {
        n.refused = true;
        wd = -n.add_error;
    } else if (n.wd == 0 && fs->watch_count >= fs->watch_limit) {
        n.refused = true;
        wd = -ENOSPC;
    } else {
        if (n.wd == 0) {
            n.wd = fs->next_wd++;
            fs->watch_count++;
        }
        n.mask = (mask & IN_MASK_ADD) ? n.mask | mask : mask;
        wd = n.wd;
    }
    if (fs->trace) fprintf(stderr, "      add_watch %s = %d\n", fake_path(fs, node).c_str(), wd);
    return wd;
}

void fake_remove_watch(void *context, int wd) {
    fake_fs *fs = fs_of(context);
    called(fs, FAKE_REMOVE_WATCH);
    if (fs->trace) fprintf(stderr, "      remove_watch %d\n", wd);
    for (size_t i = 0; i < fs->nodes.size(); i++) {
        if (fs->nodes[i].wd == wd) {
            fs->removed.push_back(wd);
            drop_watch(fs, static_cast<int>(i));
            return;
        }
    }
    fs->bad_removes++;
}

// Bytes of events queued and not yet read, as the kernel's FIONREAD tells.
size_t fake_queued_bytes(void *context) {
    std::vector<unsigned char> bytes;
    for (const fake_event &e : fs_of(context)->queue) fake_encode(&bytes, e.wd, e.mask, e.cookie, e.name);
    return bytes.size();
}

} // namespace

lister_ops fake_lister(fake_fs *fs) {
    lister_ops ops = {fake_open_root,  fake_open_below, fake_list, fake_next_entry,
                      fake_changed_at, fake_close,      fs};
    return ops;
}

tree_ops fake_ops(fake_fs *fs) {
    // Hard links need a real kernel: followed end to end.
    tree_ops ops = {fake_lister(fs), fake_add_watch, fake_remove_watch, fake_queued_bytes, fs,
                    nullptr};
    return ops;
}

int fake_symlink(fake_fs *fs, const char *target, const char *at_path) {
    fs->clock += TICK;
    int shown = fake_lookup(fs, target);
    if (shown < 0) return -shown;
    int parent = 0;
    std::string name;
    if (int error = split_path(fs, at_path, &parent, &name)) return error;
    if (child_of(fs, parent, name) >= 0) return EEXIST;
    int node = new_node(fs, parent, name, false);
    at(fs, node).link = shown;
    at(fs, node).ctime = fs->clock;
    notify(fs, parent, IN_CREATE, false, 0, name);
    return 0;
}

// ---- checks ----

namespace {

bool fail(std::string *why, const std::string &text) {
    *why = text;
    return false;
}

// Refused, or too deep for a path the kernel accepts.
bool refused_above(const fake_fs *fs, int node) {
    if (fake_path(fs, node).size() >= PATH_MAX) return true;
    for (int n = node; n >= 0; n = at(fs, n).parent) {
        if (at(fs, n).refused) return true;
        if (n == fs->root) break;
    }
    return false;
}

std::string tree_path(const watch_tree *tree, int node) {
    static char out[PATH_CAPACITY];
    if (!tree_relative_path(tree, node, out, sizeof out)) return "<too long>";
    return out;
}

} // namespace

bool fake_check_structure(const watch_tree *tree, std::string *why) {
    int live = 0;
    for (int n = 0; n < tree->node_count; n++) {
        const tree_node &node = tree->nodes[n];
        if (node.wd < 0) continue;
        live++;
        std::string at_node = "node " + std::to_string(n) + " (wd " + std::to_string(node.wd) + ")";
        if (strlen(node_name(node)) != node.name_length) return fail(why, at_node + " has no name of its length");
        if (tree_find(tree, node.wd) != n) return fail(why, at_node + " is not found by its wd");
        if (n == TREE_ROOT) {
            if (node.parent != -1) return fail(why, "the root has a parent");
            continue;
        }
        if (node.parent < 0 || node.parent >= tree->node_count || tree->nodes[node.parent].wd < 0) {
            return fail(why, at_node + " has no live parent");
        }
        bool named = false;
        size_t slot = 0;
        for (int c = next_named(tree, node.parent, node_name(node), node.name_length, &slot, true); c >= 0;
             c = next_named(tree, node.parent, node_name(node), node.name_length, &slot, false)) {
            named = named || c == n;
        }
        if (!named) return fail(why, at_node + " is not found by its parent and name");
        int found = 0;
        for (int c = tree->nodes[node.parent].first_child, prev = -1, steps = 0; c >= 0;
             prev = c, c = tree->nodes[c].next_sibling) {
            if (++steps > tree->node_count) return fail(why, "a child list loops");
            if (tree->nodes[c].prev_sibling != prev) return fail(why, at_node + ": a sibling's back link is wrong");
            if (c == n) found++;
        }
        if (found != 1) return fail(why, at_node + " is listed " + std::to_string(found) + " times by its parent");
        int steps = 0;
        for (int p = n; p != TREE_ROOT; p = tree->nodes[p].parent) {
            if (p < 0 || ++steps > tree->node_count) return fail(why, at_node + " does not lead to the root");
        }
    }
    if (static_cast<size_t>(live) != tree->by_wd.used) {
        return fail(why, "index holds " + std::to_string(tree->by_wd.used) + " of " + std::to_string(live) + " nodes");
    }
    if (static_cast<size_t>(live - 1) != tree->by_name.used) {
        return fail(why, "name index holds " + std::to_string(tree->by_name.used) + " of " + std::to_string(live - 1));
    }
    int free_count = 0;
    for (int s = tree->free_slot; s >= 0; s = tree->nodes[s].next_sibling) {
        if (tree->nodes[s].wd >= 0 || ++free_count > tree->node_count) return fail(why, "the free list is broken");
    }
    if (free_count + live != tree->node_count) return fail(why, "slots are neither live nor free");
    return true;
}

bool fake_check_mirror(const fake_fs *fs, const watch_tree *tree, std::string *why) {
    if (at(fs, fs->root).wd != tree->nodes[TREE_ROOT].wd) return fail(why, "the root's watch changed");
    size_t watched_below = 0;
    for (size_t i = 0; i < fs->nodes.size(); i++) {
        int d = static_cast<int>(i);
        const fake_node &n = at(fs, d);
        if (!n.alive || !n.is_dir || d == 0) continue;
        if (n.wd && below_root(fs, d)) watched_below++;
        if (!below_root(fs, d) || refused_above(fs, d)) {
            if (n.wd && tree_find(tree, n.wd) >= 0 && !below_root(fs, d)) {
                return fail(why, fake_path(fs, d) + " lies outside the root but is still in the tree");
            }
            continue;
        }
        std::string relative;
        fake_relative(fs, d, &relative);
        if (!n.wd) return fail(why, relative + " is not watched");
        int node = tree_find(tree, n.wd);
        if (node < 0) return fail(why, relative + " is watched but the tree lost it");
        std::string known = tree_path(tree, node);
        if (known != relative) return fail(why, relative + " is known as " + known);
    }
    int live = 0;
    for (int n = 0; n < tree->node_count; n++) {
        if (tree->nodes[n].wd < 0) continue;
        live++;
        bool found = false;
        for (const fake_node &d : fs->nodes) found = found || (d.alive && d.wd == tree->nodes[n].wd);
        if (!found) return fail(why, "node " + tree_path(tree, n) + " watches nothing the kernel has");
    }
    if (static_cast<size_t>(live) != fs->watch_count) {
        return fail(why, "the kernel holds " + std::to_string(fs->watch_count) + " watches, the tree " +
                             std::to_string(live) + " (" + std::to_string(watched_below) + " below the root)");
    }
    return true;
}

void fake_note_record(fake_fs *fs, const watch_record *record) {
    if (record->kind == RECORD_LOST || record->kind == RECORD_UNREADABLE) return;
    if (!record->path) return;
    if (record->kind == RECORD_UNWATCHED) {
        std::string path = fake_path(fs, fs->root) + "/" + record->path;
        int node = fake_lookup(fs, path.c_str());
        if (node >= 0) at(fs, node).refused = true;
        return;
    }
    if (record->kind != RECORD_CHANGE) return;
    for (size_t i = 0; i < fs->nodes.size() && i < fs->dirty_paths.size(); i++) {
        if (fs->nodes[i].dirty && fs->dirty_paths[i].count(record->path)) fs->nodes[i].dirty = false;
    }
}

bool fake_ever_named(const fake_fs *fs, const char *relative) { return fs->named.count(relative) != 0; }


bool fake_check_scanned(const fake_fs *fs, std::string *why) {
    for (size_t i = 0; i < fs->nodes.size(); i++) {
        int f = static_cast<int>(i);
        const fake_node &n = at(fs, f);
        if (!n.alive || !n.dirty || !below_root(fs, f) || refused_above(fs, n.parent)) continue;
        if (fake_path(fs, f).size() >= PATH_MAX) continue; // named as unrepresentable
        std::string relative;
        fake_relative(fs, f, &relative);
        return fail(why, relative + " changed and was never scanned");
    }
    return true;
}
