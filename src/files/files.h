// Files and paths: names under the installation root, and the scan and
// download of absolute files.
#pragma once

#include <cstddef>
#include <cstdint>

struct gtw_conn;

// Full path of a name under the installation root; into dest when given,
// else a new allocation the caller frees.  nullptr on failure.
char *fxrname(const char *name, char *dest);
#ifndef _WIN32
char *fxrname_getpath(int row, const char *name, char *dest);
#endif

// Lowest and highest address that the file's records cover.  1 when the
// file is a well-formed image (abs_records.h), 0 on any failure; a file that
// opens but is malformed is named on standard error with the fault and its
// offset.
int range_x(const char *path, uint32_t *lowest, uint32_t *highest);
// The same, silent: the fault goes into why (empty when the file did not
// open).
int range_x(const char *path, uint32_t *lowest, uint32_t *highest, char *why, size_t why_size);

// Downloads an absolute file ("lcd -qfb" when flash is non-zero, else
// "lcd -qb"): the records as the walk reads them, a missing last fill byte
// supplied, then the end of records.  0 on success, 3 for a file or socket
// failure, else the result of the final prompt read (or of the refusal the
// target sent instead of its go-ahead, with GTW_FAILED set).
int loadfile(gtw_conn *conn, const char *path, int count, unsigned char flash);
