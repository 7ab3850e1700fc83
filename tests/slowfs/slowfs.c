/* A file system that answers every request after a fixed delay, as a file server on a network
 * does, with many requests served at once so that concurrent ones overlap. Nothing is ever cached
 * by the kernel, so each request goes to the "server" every time. It holds either one flat,
 * read-only folder of empty-content files of known lengths, or with --backing the files of a
 * real folder, read and written (passthrough.c):
 *
 *   slowfs MOUNTPOINT --files=N --delay-us=D [FUSE options, e.g. -f]
 *   slowfs MOUNTPOINT --backing=DIR --delay-us=D [FUSE options]
 *
 * File i is named f%06d.bin and is (i * 7919) % 100000 bytes long. SIGSTOP on the process is a
 * server that stops answering; SIGCONT brings it back. */
#include "slowfs.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

static struct {
    unsigned files;
    unsigned delay_us;
    const char* backing;
} options;

static const struct fuse_opt option_spec[] = {
    { "--files=%u", offsetof(__typeof__(options), files), 0 },
    { "--delay-us=%u", offsetof(__typeof__(options), delay_us), 0 },
    { "--backing=%s", offsetof(__typeof__(options), backing), 0 },
    FUSE_OPT_END,
};

void wait_like_a_server(void)
{
    struct timespec delay = { options.delay_us / 1000000, (options.delay_us % 1000000) * 1000L };
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) { }
}

static long long length_of(unsigned index) { return (long long)index * 7919 % 100000; }

/* The index named by "/f%06d.bin", or -1. */
static long index_of(const char* path)
{
    unsigned index;
    char tail;
    if (sscanf(path, "/f%6u.bi%c", &index, &tail) != 2 || tail != 'n' || strlen(path) != 12
        || index >= options.files)
        return -1;
    return (long)index;
}

static void* slow_init(struct fuse_conn_info* conn, struct fuse_config* cfg)
{
    (void)conn;
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    return NULL;
}

static int slow_getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    (void)fi;
    wait_like_a_server();
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    const long index = index_of(path);
    if (index < 0)
        return -ENOENT;
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = length_of((unsigned)index);
    return 0;
}

static int slow_open(const char* path, struct fuse_file_info* fi)
{
    wait_like_a_server();
    if (index_of(path) < 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EACCES;
    return 0;
}

static int slow_release(const char* path, struct fuse_file_info* fi)
{
    (void)path;
    (void)fi;
    wait_like_a_server();
    return 0;
}

static int slow_read(const char* path, char* buffer, size_t size, off_t offset,
    struct fuse_file_info* fi)
{
    (void)path;
    (void)buffer;
    (void)size;
    (void)offset;
    (void)fi;
    wait_like_a_server();
    return 0;
}

static int slow_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
    struct fuse_file_info* fi, enum fuse_readdir_flags flags)
{
    (void)offset;
    (void)fi;
    (void)flags;
    wait_like_a_server();
    if (strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buffer, ".", NULL, 0, 0);
    fill(buffer, "..", NULL, 0, 0);
    char name[16];
    for (unsigned i = 0; i < options.files; ++i) {
        snprintf(name, sizeof name, "f%06u.bin", i);
        fill(buffer, name, NULL, 0, 0);
    }
    return 0;
}

static const struct fuse_operations operations = {
    .getattr = slow_getattr,
    .open = slow_open,
    .read = slow_read,
    .release = slow_release,
    .readdir = slow_readdir,
    .init = slow_init,
};

int main(int argc, char* argv[])
{
    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
    if (fuse_opt_parse(&args, &options, option_spec, NULL) != 0)
        return 1;
    if (options.files > 1000000) {
        fprintf(stderr, "slowfs: at most 1000000 files\n");
        return 1;
    }
    if (options.backing && !passthrough_open(options.backing)) {
        perror(options.backing);
        return 1;
    }
    /* Enough threads that no request waits for one: the delay is the server's, not ours. */
    fuse_opt_add_arg(&args, "-omax_threads=256,max_idle_threads=256");
    const int status = fuse_main(args.argc, args.argv,
        options.backing ? &passthrough_operations : &operations, NULL);
    fuse_opt_free_args(&args);
    return status;
}
