// The plan: the images the run will write, each found, walked once, fitted
// to its ROM and held open, before anything on the target changes.
#include "driver/program_plan.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "driver/driver.h"
#include "files/files.h"
#include "run_state.h"

namespace {

// First identifier of 38100B-only code, which has no identifier to ask for.
constexpr uint32_t kId38100B = 0x38100B;

struct free_deleter {
  void operator()(char *p) const { free(p); }
};
using owned_path = std::unique_ptr<char, free_deleter>;

}  // namespace

const char *class_excludes(const product_config &e) {
  if (e.for_38100a && quokka) {
    return "Skipping executable for 38100A\n";
  }
  if (e.for_38100b && !quokka) {
    return "Skipping executable for 38100B\n";
  }
  // 38100B code carries no identifier to ask for; only a 38100B takes it.
  if (!bdm_flag && e.romident[0] == kId38100B && !quokka) {
    return "Skipping executable for 38100A\n";
  }
  return nullptr;
}

namespace {

// The path of one of the entry's images.  `kind` names the image in the
// message when there is no path for it.
owned_path image_path(const product_config &e, const char *name, const char *kind) {
  owned_path path(config_image_path(e, name));
  if (!path) {
    fail("Error in getting %s binary path name\n", kind);
  }
  return path;
}

// Opens and walks the image; a file that does not open or is malformed ends
// the run.
std::unique_ptr<planned_image> hold_image(const char *path) {
  auto image = std::make_unique<planned_image>();
  char why[ABS_WALK_REASON_SIZE];
  if (!image->file.check(path, why, sizeof why)) {
    if (why[0] != '\0') {
      fprintf(stderr, "%s: %s\n", path, why);
    }
    fail("Can't read '%s'\n", path);
  }
  return image;
}

[[noreturn]] void refuse_empty_image(const char *path) { fail("No data records in '%s'\n", path); }

// An image that would write outside its ROM: named with the ROM's
// addresses and the record that leaves them.
[[noreturn]] void refuse_outside_rom(const planned_image &image) {
  const image_scan &scan = image.file.scan();
  const image_record_place &record =
      scan.lowest < image.fit.rom_first ? scan.lowest_record : scan.highest_record;
  fail(
      "Image '%s' does not fit its ROM at %lXH to %lXH: the record at offset %llu writes "
      "%lXH to %lXH\n",
      image.file.path(), static_cast<unsigned long>(image.fit.rom_first),
      static_cast<unsigned long>(image.fit.rom_last),
      static_cast<unsigned long long>(record.offset), static_cast<unsigned long>(record.first),
      static_cast<unsigned long>(record.last));
}

// The flash programming loader of a 38100A, always from the installation.
std::unique_ptr<planned_image> plan_loader(const product_config &first) {
  owned_path path(fxrname(first.pfname, nullptr));
  if (!path) {
    fail("Error in getting loader path name\n");
  }
  auto image = hold_image(path.get());
  const image_scan &scan = image->file.scan();
  if (scan.lowest > scan.highest) {
    refuse_empty_image(path.get());
  }
  image->fit = image_plan{};
  image->fit.code_start = scan.lowest;
  image->fit.count = scan.highest - scan.lowest + 1;
  return image;
}

// The ROM an image is fitted to.  The size error of the control image goes
// to standard error, that of the LAN image to standard output.
struct rom_target {
  const char *kind;      // names the image: "Control", "LAN"
  const char *rom_name;  // names the ROM in the size error: "Rom", "LAN Rom"
  uint32_t start;
  uint32_t size;
  bool quokka_rule;  // the control ROM on a 38100B
  FILE *size_error_stream;
};

std::unique_ptr<planned_image> plan_rom_image(const product_config &e, const char *name,
                                              const rom_target &rom) {
  owned_path path = image_path(e, name, rom.kind);
  auto image = hold_image(path.get());
  const image_scan &scan = image->file.scan();
  switch (
      plan_image(scan.lowest, scan.highest, rom.start, rom.size, rom.quokka_rule, &image->fit)) {
    case image_fit::ok:
      break;
    case image_fit::no_data:
      refuse_empty_image(path.get());
    case image_fit::too_large:
      fprintf(rom.size_error_stream, "ERROR:  Code size %lXH > %s size %lXH\n",
              static_cast<unsigned long>(shown_size(image->fit.size)), rom.rom_name,
              static_cast<unsigned long>(rom.size));
      exit_romupdate(1);
    case image_fit::ends_below:
      fail("Image '%s' ends below code start %lXH\n", path.get(),
           static_cast<unsigned long>(image->fit.code_start));
    case image_fit::leaves_rom:
      refuse_outside_rom(*image);
  }
  return image;
}

std::unique_ptr<planned_image> plan_control_image(const product_config &e) {
  return plan_rom_image(e, e.binname,
                        {"Control", "Rom", e.romstart, e.romsize, quokka != 0, stderr});
}

std::unique_ptr<planned_image> plan_lan_image(const product_config &e) {
  return plan_rom_image(e, e.lan_binname,
                        {"LAN", "LAN Rom", e.lan_romstart, e.lan_romsize, false, stdout});
}

void verify_image(const std::unique_ptr<planned_image> &image) {
  if (!image) {
    return;
  }
  if (const char *what = image->file.change(true)) {
    fail("Image '%s' changed since it was checked (%s); nothing is sent\n", image->file.path(),
         what);
  }
}

}  // namespace

run_plan check_images(const product_config *table, int count) {
  run_plan plan;
  plan.count = count < MAX_CONFIG_ENTRIES ? count : MAX_CONFIG_ENTRIES;
  if (marlin && plan.count > 0) {
    plan.loader = plan_loader(table[0]);
  }
  for (int i = 0; i < plan.count; ++i) {
    const product_config &e = table[i];
    planned_entry &entry = plan.entries[i];
    entry.excluded = class_excludes(e);
    if (entry.excluded) {
      continue;
    }
    entry.control = plan_control_image(e);
    if (programming_lan) {
      entry.lan = plan_lan_image(e);
    }
  }
  return plan;
}

void verify_plan(const run_plan &plan) {
  verify_image(plan.loader);
  for (int i = 0; i < plan.count; ++i) {
    verify_image(plan.entries[i].control);
    verify_image(plan.entries[i].lan);
  }
}
