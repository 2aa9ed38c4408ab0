#include "products.h"

#include <gtest/gtest.h>

namespace {

TEST(Revision, FirstRevisionWordOfTheVersionText) {
  struct {
    std::vector<std::string> version;
    int revision;
    const char *shown;
  } cases[] = {
      {{"XR 38100B Emulation System", "System firmware A.03.10"}, 310, "A.03.10"},
      {{"XR T5821 processor probe (A.3.7)", "Firmware revision A.03.10"}, 307, "A.3.7"},
      {{"firmware A.04.01.", "A.05.00"}, 401, "A.04.01"},
      {{"XR emulation system", "System firmware B.03.10"}, -1, ""},
      {{"rev A.003.10 A.03.100 A..10 A.03 xA.03.10"}, -1, ""},
      {{}, -1, ""},
  };
  for (const auto &c : cases) {
    std::string shown;
    EXPECT_EQ(revision_of(c.version, &shown), c.revision) << testing::PrintToString(c.version);
    EXPECT_EQ(shown, c.shown);
  }
  EXPECT_EQ(genrev_text(305), "A.03.05");
  EXPECT_EQ(genrev_text(1210), "A.12.10");
}

product_config entry(int genrev, uint32_t first_id, unsigned char for_a, unsigned char for_b) {
  product_config e{};
  e.genrev = genrev;
  e.romident_count = 1;
  e.romident[0] = first_id;
  e.for_38100a = for_a;
  e.for_38100b = for_b;
  return e;
}

TEST(Fit, AnUpdatesClassRulesDecideAndTheAppliedEntriesSetTheGenrev) {
  product_entries p;
  p.name = "T5806";
  // A 38100B entry closed by oldflash, its 38100A variant, and the same
  // from the reading for a 38100B board, which dropped nothing here.
  p.for_others = {entry(305, 0x5806, 0, 1), entry(410, 0x5806, 1, 0)};
  p.for_quokka = p.for_others;
  struct {
    unsigned char yak, quokka, marlin;
    bool applies;
    int genrev;
  } cases[] = {
      {0, 1, 0, true, 305},  // 38100B: only the entry before oldflash
      {0, 0, 1, true, 410},  // 38100A: only the variant
      {0, 0, 0, true, 410},  // unknown class: as a 38100A
      {1, 1, 0, true, 305},  // flags both set: quokka rules
  };
  for (const auto &c : cases) {
    product_fit fit = fit_product(p, c.yak, c.quokka, c.marlin);
    EXPECT_EQ(fit.applies, c.applies) << int(c.yak) << int(c.quokka) << int(c.marlin);
    EXPECT_EQ(fit.genrev, c.genrev) << int(c.yak) << int(c.quokka) << int(c.marlin);
  }

  // 38100B code without an identifier to ask for fits a 38100B only; the
  // reading for a 38100B board is the one used for it.
  product_entries b;
  b.for_others = {entry(300, 0x38100B, 0, 0)};
  b.for_quokka = {};
  EXPECT_FALSE(fit_product(b, 0, 0, 1).applies);
  EXPECT_FALSE(fit_product(b, 0, 1, 0).applies);
  b.for_quokka = b.for_others;
  EXPECT_TRUE(fit_product(b, 0, 1, 0).applies);

  product_entries lan;
  lan.lan = true;
  lan.for_others = lan.for_quokka = {entry(300, 0x38126, 0, 0)};
  EXPECT_TRUE(fit_product(lan, 0, 0, 1).applies);
  EXPECT_FALSE(fit_product(lan, 0, 1, 0).applies);
}

}  // namespace
