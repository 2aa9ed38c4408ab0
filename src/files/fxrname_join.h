// Putting an installation root and a relative name together; shared by the
// Unix and the Windows resolution of the root.
#pragma once

#include <cstddef>

// The root followed by the name, less one leading "/" of the name (only one:
// a name is always taken relative to the root).  Written into dest when it
// is given (the caller guarantees root_len + strlen(name) + 1 characters),
// else into a new allocation of exactly that size, which the caller frees.
// nullptr when that allocation fails.
char *fxrname_join(const char *root, size_t root_len, const char *name, char *dest);

// A heap copy of an environment value to serve as a root: the value with a
// "/" appended unless it already ends in one.  nullptr when out of memory.
char *fxrname_root_copy(const char *value);
