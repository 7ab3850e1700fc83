/* The writable share: every request goes to the same name in the backing folder, after the
 * server's delay. What a save does to a file on a share (create, link, rename, truncate, sync,
 * unlink) reaches that folder only when the answer comes, so a process that ends too early
 * leaves there what it had done so far. */
#define _GNU_SOURCE
#include "slowfs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

static int backing_fd = -1;

int passthrough_open(const char* backing)
{
    backing_fd = open(backing, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return backing_fd >= 0;
}

/* The name in the backing folder: FUSE's paths start at the mount's root. */
static const char* relative(const char* path)
{
    while (*path == '/')
        ++path;
    return *path ? path : ".";
}

/* 0, or the error of the call that failed, as FUSE answers it. */
static int answer(int result) { return result < 0 ? -errno : 0; }

/* A file unlinked while open: FUSE renames it to a hidden name of its own making until its last
 * handle goes, as a network share's client does. Here it leaves the backing folder at once, as
 * on a local disk, and is still found under the hidden name, through a handle of the server's,
 * until FUSE unlinks that name. Nothing of it shows in either folder's listing meanwhile. */
struct hidden {
    char* name;
    int fd;
    struct hidden* next;
};
static struct hidden* hidden_files;
static pthread_mutex_t hidden_lock = PTHREAD_MUTEX_INITIALIZER;

static int is_hidden_name(const char* path) { return strncmp(path, "/.fuse_hidden", 13) == 0; }

static int hide(const char* from, const char* to)
{
    struct hidden* entry = malloc(sizeof *entry);
    if (!entry || !(entry->name = strdup(to))) {
        free(entry);
        return -ENOMEM;
    }
    entry->fd = openat(backing_fd, relative(from), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (entry->fd < 0 || unlinkat(backing_fd, relative(from), 0) != 0) {
        const int error = errno;
        if (entry->fd >= 0)
            close(entry->fd);
        free(entry->name);
        free(entry);
        return -error;
    }
    pthread_mutex_lock(&hidden_lock);
    entry->next = hidden_files;
    hidden_files = entry;
    pthread_mutex_unlock(&hidden_lock);
    return 0;
}

/* The entry of the hidden file of that name, or where it would be linked; under the lock. */
static struct hidden** find_hidden(const char* path)
{
    struct hidden** at = &hidden_files;
    while (*at && strcmp((*at)->name, path) != 0)
        at = &(*at)->next;
    return at;
}

/* Answers getattr for the hidden file of that name, under the lock that keeps its handle open;
 * false if there is none. */
static int stat_hidden(const char* path, struct stat* st, int* result)
{
    pthread_mutex_lock(&hidden_lock);
    const struct hidden* entry = *find_hidden(path);
    if (entry)
        *result = answer(fstatat(entry->fd, "", st, AT_EMPTY_PATH));
    pthread_mutex_unlock(&hidden_lock);
    return entry != NULL;
}

/* Lets the hidden file of that name go; false if there is none. */
static int forget_hidden(const char* path)
{
    pthread_mutex_lock(&hidden_lock);
    struct hidden** at = find_hidden(path);
    struct hidden* entry = *at;
    if (entry)
        *at = entry->next;
    pthread_mutex_unlock(&hidden_lock);
    if (!entry)
        return 0;
    close(entry->fd);
    free(entry->name);
    free(entry);
    return 1;
}

static void* pass_init(struct fuse_conn_info* conn, struct fuse_config* cfg)
{
    (void)conn;
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    /* Two names of one file are one file here too, as the save checks by inode. */
    cfg->use_ino = 1;
    /* What an open handle is asked goes to the handle, without a path. */
    cfg->nullpath_ok = 1;
    return NULL;
}

static int pass_getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    wait_like_a_server();
    if (fi)
        return answer(fstat((int)fi->fh, st));
    int result;
    if (is_hidden_name(path) && stat_hidden(path, st, &result))
        return result;
    return answer(fstatat(backing_fd, relative(path), st, AT_SYMLINK_NOFOLLOW));
}

static int pass_access(const char* path, int mask)
{
    wait_like_a_server();
    return answer(faccessat(backing_fd, relative(path), mask, AT_SYMLINK_NOFOLLOW));
}

static int pass_readlink(const char* path, char* buffer, size_t size)
{
    wait_like_a_server();
    const ssize_t length = readlinkat(backing_fd, relative(path), buffer, size - 1);
    if (length < 0)
        return -errno;
    buffer[length] = '\0';
    return 0;
}

static int pass_opendir(const char* path, struct fuse_file_info* fi)
{
    wait_like_a_server();
    const int fd = openat(backing_fd, relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

/* All entries in one answer, from the start, through a handle of its own. */
static int pass_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
    struct fuse_file_info* fi, enum fuse_readdir_flags flags)
{
    (void)path;
    (void)offset;
    (void)flags;
    wait_like_a_server();
    const int fd = openat((int)fi->fh, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        const int error = errno;
        close(fd);
        return -error;
    }
    for (const struct dirent* entry; (entry = readdir(dir)) != NULL;)
        fill(buffer, entry->d_name, NULL, 0, 0);
    closedir(dir);
    return 0;
}

static int pass_fsyncdir(const char* path, int datasync, struct fuse_file_info* fi)
{
    (void)path;
    wait_like_a_server();
    return answer(datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static int pass_releasedir(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    wait_like_a_server();
    close((int)fi->fh);
    return 0;
}

static int pass_open(const char* path, struct fuse_file_info* fi)
{
    wait_like_a_server();
    const int fd = openat(backing_fd, relative(path), fi->flags | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int pass_create(const char* path, mode_t mode, struct fuse_file_info* fi)
{
    wait_like_a_server();
    const int fd = openat(backing_fd, relative(path), fi->flags | O_CLOEXEC, mode);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int pass_read(const char* path, char* buffer, size_t size, off_t offset,
    struct fuse_file_info* fi)
{
    (void)path;
    wait_like_a_server();
    const ssize_t got = pread((int)fi->fh, buffer, size, offset);
    return got < 0 ? -errno : (int)got;
}

static int pass_write(const char* path, const char* buffer, size_t size, off_t offset,
    struct fuse_file_info* fi)
{
    (void)path;
    wait_like_a_server();
    const ssize_t put = pwrite((int)fi->fh, buffer, size, offset);
    return put < 0 ? -errno : (int)put;
}

static int pass_truncate(const char* path, off_t size, struct fuse_file_info* fi)
{
    wait_like_a_server();
    if (fi)
        return answer(ftruncate((int)fi->fh, size));
    const int fd = openat(backing_fd, relative(path), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int result = answer(ftruncate(fd, size));
    close(fd);
    return result;
}

static int pass_fsync(const char* path, int datasync, struct fuse_file_info* fi)
{
    (void)path;
    wait_like_a_server();
    return answer(datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

/* Every close of a handle: what the backing file system reports on close, reported here. */
static int pass_flush(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    wait_like_a_server();
    return answer(close(dup((int)fi->fh)));
}

static int pass_release(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    wait_like_a_server();
    close((int)fi->fh);
    return 0;
}

static int pass_rename(const char* from, const char* to, unsigned int flags)
{
    wait_like_a_server();
    if (is_hidden_name(to) && flags == 0)
        return hide(from, to);
    return answer(renameat2(backing_fd, relative(from), backing_fd, relative(to), flags));
}

static int pass_unlink(const char* path)
{
    wait_like_a_server();
    if (is_hidden_name(path) && forget_hidden(path))
        return 0;
    return answer(unlinkat(backing_fd, relative(path), 0));
}

static int pass_link(const char* from, const char* to)
{
    wait_like_a_server();
    return answer(linkat(backing_fd, relative(from), backing_fd, relative(to), 0));
}

static int pass_chmod(const char* path, mode_t mode, struct fuse_file_info* fi)
{
    wait_like_a_server();
    if (fi)
        return answer(fchmod((int)fi->fh, mode));
    return answer(fchmodat(backing_fd, relative(path), mode, 0));
}

static int pass_chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info* fi)
{
    wait_like_a_server();
    if (fi)
        return answer(fchown((int)fi->fh, uid, gid));
    return answer(fchownat(backing_fd, relative(path), uid, gid, AT_SYMLINK_NOFOLLOW));
}

static int pass_utimens(const char* path, const struct timespec times[2], struct fuse_file_info* fi)
{
    wait_like_a_server();
    if (fi)
        return answer(futimens((int)fi->fh, times));
    return answer(utimensat(backing_fd, relative(path), times, AT_SYMLINK_NOFOLLOW));
}

static int pass_statfs(const char* path, struct statvfs* st)
{
    (void)path;
    wait_like_a_server();
    return answer(fstatvfs(backing_fd, st));
}

const struct fuse_operations passthrough_operations = {
    .getattr = pass_getattr,
    .readlink = pass_readlink,
    .unlink = pass_unlink,
    .rename = pass_rename,
    .link = pass_link,
    .chmod = pass_chmod,
    .chown = pass_chown,
    .truncate = pass_truncate,
    .open = pass_open,
    .read = pass_read,
    .write = pass_write,
    .statfs = pass_statfs,
    .flush = pass_flush,
    .release = pass_release,
    .fsync = pass_fsync,
    .opendir = pass_opendir,
    .readdir = pass_readdir,
    .releasedir = pass_releasedir,
    .fsyncdir = pass_fsyncdir,
    .init = pass_init,
    .access = pass_access,
    .create = pass_create,
    .utimens = pass_utimens,
};
