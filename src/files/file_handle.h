// A FILE that closes itself on every path out of a routine.
#pragma once

#include <cstdio>

class file_handle {
 public:
  explicit file_handle(FILE *f) : f_(f) {}
  ~file_handle() {
    if (f_) {
      fclose(f_);
    }
  }
  file_handle(const file_handle &) = delete;
  file_handle &operator=(const file_handle &) = delete;

  FILE *get() const { return f_; }
  // Hands the file over; it is no longer closed here.
  FILE *release() {
    FILE *f = f_;
    f_ = nullptr;
    return f;
  }
  explicit operator bool() const { return f_ != nullptr; }

 private:
  FILE *f_;
};

// Absolute files are byte streams: never open them with line-end translation.
inline file_handle open_binary(const char *path) { return file_handle(fopen(path, "rb")); }
