#include "target.h"

void target_state::reboot(bool come_back_locked) {
  prompt = '>';
  macros.clear();
  if (come_back_locked) {
    lock_by_other();
  }
}

bool target_state::in_use(uint32_t start, uint32_t end) const {
  if (end < start) {
    return false;
  }
  for (const address_range &r : used) {
    if (r.start <= end && start <= r.end) {
      return true;
    }
  }
  return flash.any_in(start, end);
}

void target_state::erase(uint32_t start, uint32_t end) {
  if (end < start) {
    return;
  }
  flash.erase(start, end);
  flash_changed = true;
  // Cut the erased stretch out of every used area; an area that straddles
  // it keeps its parts on either side.
  std::vector<address_range> kept;
  for (const address_range &r : used) {
    if (r.end < start || r.start > end) {
      kept.push_back(r);
      continue;
    }
    if (r.start < start) {
      kept.push_back({r.start, start - 1});
    }
    if (r.end > end) {
      kept.push_back({end + 1, r.end});
    }
  }
  used.swap(kept);
}
