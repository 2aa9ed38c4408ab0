// Files and paths: names under the installation root, and the scan and
// download of absolute files.
#pragma once

#include <cstdint>

struct gtw_conn;

// Full path of a name under the installation root; into dest when given,
// else a new allocation the caller frees.  nullptr on failure.
char *fxrname(const char *name, char *dest);
#ifndef _WIN32
char *fxrname_getpath(int row, const char *name, char *dest);
#endif

// Lowest and highest address that the file's records cover.  1 when the
// whole record sequence was read, 0 on any failure.
int range_x(const char *path, uint32_t *lowest, uint32_t *highest);

// Downloads an absolute file ("lcd -qfb" when flash is non-zero, else
// "lcd -qb").  0 on success, 3 for a file or socket failure, else the
// result of the final prompt read.
int loadfile(gtw_conn *conn, const char *path, int count, unsigned char flash);
