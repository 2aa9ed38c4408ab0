#include "harness/scenarios.h"

#include <stdexcept>

#include "harness/harness.h"

namespace e2e {

std::vector<std::string> Scenario::sim_options(const std::vector<std::string> &extra) const {
  std::vector<std::string> o = {"--reboot-time", "0.2"};
  o.insert(o.end(), sim.begin(), sim.end());
  o.insert(o.end(), extra.begin(), extra.end());
  return o;
}

std::vector<std::string> Scenario::arguments(const std::string &address) const {
  std::vector<std::string> a = flags;
  a.push_back(address);
  a.push_back(product);
  return a;
}

const std::vector<Scenario> &target_classes() {
  static const std::vector<Scenario> classes = {
      {"A38100AWithTheLoader",
       "38100A with the loader",
       // 5807 is the second of the two identifiers the product accepts.
       {"--target", "38100a", "--hwid", "2FFFF0=5807"},
       {"-v"},
       "T5806",
       {"t5806a.X"},
       true,
       {"npf.X", "t5806a.X"},
       "init -r",
       {
           "lcd -qb 1000",
           "pf -i 02FFFF0",
           "pf -p 02FFFF7 0FFFF 00 0280000 040000 16 0280000 65536 0",
           "lcd -qfb 10000",
           "pf -f 0280000 16",
           "init -p",
       },
       20,
       1},
      {"A38100BWithEraseProbes",
       "38100B with erase probes",
       // Parts of the flash card outside the product's range are in use and
       // must survive the erase.
       {"--target", "38100b", "--used", "10000000-1000FFFF", "--used", "10040000-10040FFF"},
       {"-v"},
       "T5806",
       {"t5806b.X"},
       true,
       {"t5806b.X"},
       "init -r",
       {
           "pf -a 010040000 040000",
           "pf -a 010000000 040000",
           "pf -a 010080000 080000",
           "pf -e 010000000 040000",
           "pf -p 02FFFF7 0FFFF 00 010040000 040000 16 010040000 0 0",
           "lcd -qfb 10000",
           "pf -f 010040000 16",
           "init -p",
       },
       8,
       1},
      {"ProcessorProbe",
       "processor probe",
       {"--target", "probe", "--hwid", "7FFF0=5821"},
       {"-v"},
       "T5821",
       {"t5821.X"},
       true,
       {"t5821.X"},
       "init -p",  // a probe is rebooted with "init -p" both times
       {
           "pf -i 07FFF0",
           "pf -p 0FFFFFFFF 0FFFF 00 00 080000 16 00 32768 0",
           "lcd -qfb 8000",
           "pf -f 00 16",
           "init -p",
       },
       8,
       1},
      {"LanCard",
       "LAN card",
       {"--target", "38100a", "--hwid", "97FFF0=38126"},
       {"-v"},
       "38126",
       {"t38126.X", "l38126.X"},
       false,
       {"lpf.X", "t38126.X", "l38126.X"},
       "init -r",
       {
           "lcd -qb 1000",
           "pf -i 097FFF0",
           "pf -p 097FFF7 0FFFF 00 0900000 040000 16 0900000 32768 0",
           "lcd -qfb 8000",
           "pf -P 097FFF7 0FFFF 00 040000 040000 8 040000 16384 0",
           "lcd -qfb 4000",
           "pf -f",
           "init -p",
       },
       20,
       2},  // its "pf -f" is written without waiting for an answer
      {"NwireBoxWithB",
       "nwire box with -b",
       // The identity register is compared under the product's mask: the
       // bits outside it are ignored.
       {"--target", "38100a", "--register", "2ffff7=1A5"},
       {"-v", "-b"},
       "T7710",
       {"t7710.X"},
       true,
       {"npf.X", "t7710.X"},
       "",
       {
           "lcd -qb 1000",
           "rst",
           "b",
           "m -a4 -d4 0a6c@reg=70087b3f",
           "m -a4 -d4 0a6e@reg=7b3f1200",
           "m -a2 -d2 2ffff7",
           "nw -s 1",
           "nw -w 0 cfg=3",
           "pf -n 00 020000",
           "lcd -qfb 4000",
           "pf -f 00 8",
           "mac -d lockinfo",
           "po -p >",
       },
       0,
       0},
  };
  return classes;
}

const Scenario &target_class(const std::string &key) {
  for (const Scenario &s : target_classes()) {
    if (s.key == key) {
      return s;
    }
  }
  throw std::invalid_argument("no target class " + key);
}

std::string lib_image(const std::string &name) { return examples_root() + "/lib/" + name; }

}  // namespace e2e
