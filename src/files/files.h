// Files and paths: names under the installation root, and the scan and
// download of absolute files.
#pragma once

#include <cstddef>
#include <cstdint>

struct gtw_conn;
class held_image;

// Full path of a name under the installation root (one leading "/" of the
// name dropped); into dest when given (the caller makes room), else a new
// allocation the caller frees with free().  nullptr on failure.
char *fxrname(const char *name, char *dest);
#ifndef _WIN32
// fxrname under the root of row `row`: 0 $XR52000, 1 $XR52SETUP, 2 $XR52TMPDIR
// (1 and 2 default to row 0's root), 3 the built-in root whatever the
// environment says.  nullptr for another row.
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

// loadfile's result for a failure of the file or of the socket, whose reason
// it has printed itself.
inline constexpr int LOADFILE_FAILED = 3;

// Told how a download goes: the data bytes of the records handed to the
// connection so far, of the count announced; `done` once when the stream
// has ended or broken off, before anything about it is printed.
using load_progress = void (*)(unsigned long long sent, unsigned long long total, bool done);

// Downloads an absolute file ("lcd -qfb" when flash is non-zero, else
// "lcd -qb", announcing `count` bytes): the records as the walk reads them,
// a missing last fill byte supplied, then the end of records.  0 on success,
// LOADFILE_FAILED, or else the gtw_ result bits of the final prompt read (or
// of the refusal the target sent instead of its go-ahead, with GTW_FAILED
// set), reasons queued.
// `progress`, when given, follows the record stream.
int loadfile(gtw_conn *conn, const char *path, int count, unsigned char flash,
             load_progress progress = nullptr);
// The same for an image held open since its check (image_file.h): it is sent
// from that open file, and only as it was checked.  A file that changed is
// named on standard error and nothing more is sent for it: before the "lcd"
// when the change shows already, else without the end of records, so that
// the target never takes other bytes for a whole image.  LOADFILE_FAILED.
int loadfile(gtw_conn *conn, const held_image &image, uint32_t count, unsigned char flash,
             load_progress progress = nullptr);
