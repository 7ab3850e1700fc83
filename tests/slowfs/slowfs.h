/* What the two kinds of share have in common: the server's delay before every answer. */
#ifndef SLOWFS_H
#define SLOWFS_H

#define FUSE_USE_VERSION 35
#include <fuse.h>

void wait_like_a_server(void);

/* The files of a real folder, read and written through the share; false when it cannot be
 * opened. */
int passthrough_open(const char* backing);
extern const struct fuse_operations passthrough_operations;

#endif
