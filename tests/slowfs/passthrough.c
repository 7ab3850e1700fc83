/* The writable share: every request goes to the same name in the backing folder, after the
 * server's delay. What a save does to a file on a share (create, link, rename, truncate, sync,
 * unlink) reaches that folder only when the answer comes, so a process that ends too early
 * leaves there what it had done so far. */
#define _GNU_SOURCE
#include "slowfs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
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

static void* pass_init(struct fuse_conn_info* conn, struct fuse_config* cfg)
{
    (void)conn;
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    /* Two names of one file are one file here too, as the save checks by inode. */
    cfg->use_ino = 1;
    /* A file unlinked while open goes at once: the backing folder keeps it for the open handle,
     * so no hidden stand-in is left in the listing until its release. */
    cfg->hard_remove = 1;
    return NULL;
}

static int pass_getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    wait_like_a_server();
    if (fi)
        return answer(fstat((int)fi->fh, st));
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

static int pass_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
    struct fuse_file_info* fi, enum fuse_readdir_flags flags)
{
    (void)offset;
    (void)fi;
    (void)flags;
    wait_like_a_server();
    const int fd = openat(backing_fd, relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
    (void)fi;
    wait_like_a_server();
    const int fd = openat(backing_fd, relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int result = answer(datasync ? fdatasync(fd) : fsync(fd));
    close(fd);
    return result;
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
    return answer(renameat2(backing_fd, relative(from), backing_fd, relative(to), flags));
}

static int pass_unlink(const char* path)
{
    wait_like_a_server();
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
    .readdir = pass_readdir,
    .fsyncdir = pass_fsyncdir,
    .init = pass_init,
    .access = pass_access,
    .create = pass_create,
    .utimens = pass_utimens,
};
