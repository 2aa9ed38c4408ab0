// Clock and arithmetic of the report.
#include <algorithm>
#include <chrono>

#include "bench.h"

namespace bench {

double now_seconds() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// The middle value; the mean of the two middle values for an even count.
double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

bool take_turns(int repeat, const std::function<double(bool on)> &download,
                std::vector<double> *off, std::vector<double> *on) {
  auto timed = [&](bool option, bool keep) {
    double took = download(option);
    if (took >= 0 && keep) {
      (option ? on : off)->push_back(took);
    }
    return took >= 0;
  };
  bool ok = true;
  for (int round = 0; ok && round <= repeat; ++round) {
    bool keep = round > 0;
    ok = round % 2 ? timed(true, keep) && timed(false, keep)
                   : timed(false, keep) && timed(true, keep);
  }
  return ok;
}

}  // namespace bench
