// The one walk of an image before the run changes anything, and the check
// that the file is still the one walked.
#include "files/image_file.h"

#include <cstdio>

#include "formats/abs/abs_records.h"
#include "files/file_handle.h"

bool scan_image(FILE *file, image_scan *scan, char *why, size_t why_size) {
  *scan = image_scan{};
  if (why && why_size > 0) {
    why[0] = '\0';
  }
  abs_walk walk(file);
  abs_record_view record;
  stream_fingerprint sent;
  static const unsigned char fill_byte = 0;
  int step;
  while ((step = walk.next(&record)) > 0) {
    // A count of 0 gives address - 1 (modulo 2^32) as its last address.
    const image_record_place place{record.offset, record.address,
                                   record.address + record.count - 1};
    if (record.address < scan->lowest) {
      scan->lowest = record.address;
      scan->lowest_record = place;
    }
    if (place.last > scan->highest) {
      scan->highest = place.last;
      scan->highest_record = place;
    }
    // The bytes exactly as the download sends them.
    sent.add(record.bytes, record.size);
    if (record.fill_missing) {
      sent.add(&fill_byte, 1);
    }
  }
  if (step < 0) {
    if (why && why_size > 0) {
      snprintf(why, why_size, "%s", walk.reason());
    }
    return false;
  }
  scan->stream_bytes = sent.bytes();
  scan->fingerprint = sent.value();
  return true;
}

bool held_image::check(const char *path, char *why, size_t why_size) {
  path_ = path;
  if (why && why_size > 0) {
    why[0] = '\0';
  }
  // Opened without translation, as every image is (file_handle.h).
  file_.reset(open_binary(path).release());
  if (!file_) {
    return false;
  }
  // The stamp is taken before the walk: a file still being written shows
  // as changed, whatever the walk saw of it.
  if (!plat_stamp_file(file_.get(), &stamp_)) {
    file_.reset();
    return false;
  }
  if (!scan_image(file_.get(), &scan_, why, why_size)) {
    return false;
  }
  if (const char *what = change(false)) {
    if (why && why_size > 0) {
      snprintf(why, why_size, "%s while it was read", what);
    }
    return false;
  }
  return true;
}

const char *held_image::change(bool by_name) const {
  plat_file_stamp now;
  if (!file_ || !plat_stamp_file(file_.get(), &now)) {
    return "it can no longer be read";
  }
  if (now.size != stamp_.size) {
    return "its size changed";
  }
  if (now.written != stamp_.written) {
    return "it was written to";
  }
  if (by_name) {
    if (!plat_stamp_path(path(), &now)) {
      return "its name no longer names a file";
    }
    if (now.device != stamp_.device || now.file != stamp_.file) {
      return "its name now names another file";
    }
  }
  return nullptr;
}
