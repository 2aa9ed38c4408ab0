// The plan of the programming sequence: what the run intends to write,
// worked out before the target is rebooted (with -b, before anything on it
// changes), so that a bad image ends the run while the target is as it was.
//
// The plan is made once, quietly.  Every image is found, walked and fitted
// to its ROM here, and held open until it is sent; the sequence prints its
// progress and warning lines from the plan and checks, before it erases or
// sends anything, that no image has changed since.
#pragma once

#include <memory>

#include "bounds.h"
#include "config/config.h"
#include "driver/program_compose.h"
#include "files/image_file.h"

// One image the run will send: the file, held since its check, and where it
// goes.
struct planned_image {
  held_image file;
  image_plan fit;
};

// One entry of the table as the plan sees it.
struct planned_entry {
  // The target's class rules the entry out whatever its hardware says: the
  // skip message.  Null when the entry may apply; it then has its images.
  const char *excluded = nullptr;
  std::unique_ptr<planned_image> control;
  std::unique_ptr<planned_image> lan;  // the 38126 product only
};

struct run_plan {
  int count = 0;                          // entries of the table, at most MAX_CONFIG_ENTRIES
  std::unique_ptr<planned_image> loader;  // a 38100A's flash programming loader
  planned_entry entries[MAX_CONFIG_ENTRIES];
};

// Ends the run, naming the image, when an image of the plan is no longer the
// file that was checked.  Called before the first command that erases or
// writes anything.
void verify_plan(const run_plan &plan);
