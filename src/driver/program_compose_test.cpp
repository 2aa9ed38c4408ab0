// What the programming sequence sends for an entry and an image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/program_compose.h"
#include "driver/romupdate.h"

namespace {

product_config entry_with_ids(std::initializer_list<uint32_t> ids) {
  product_config e{};
  for (uint32_t id : ids) {
    e.romident[e.romident_count++] = id;
  }
  e.romidentloc = 0x2FFFF0;
  e.romstart = 0x280000;
  e.romsize = 0x40000;
  e.romwidth = 16;
  e.lan_romstart = 0x40000;
  e.lan_romsize = 0x40000;
  e.lan_romwidth = 8;
  e.vppctladdr = 0x2FFFF7;
  e.vppvalue = 0xFFFF;
  e.vppmask = 0;
  return e;
}

std::string program_command(char letter, const product_config &e, uint32_t start, uint32_t size,
                            int width, const image_plan &plan) {
  char buf[CMDSTRING_SIZE];
  EXPECT_TRUE(compose_pf_program(buf, sizeof buf, letter, e, start, size, width, plan));
  return buf;
}

}  // namespace

TEST(HardwareIdList, SeparatorsDependOnWhatRemains) {
  program_name = "rup";
  EXPECT_EQ(hardware_id_list(entry_with_ids({0x1A})), "rup: Hardware ID 1A");
  EXPECT_EQ(hardware_id_list(entry_with_ids({0x1A, 0x2B})), "rup: Hardware ID 1A or 2B");
  EXPECT_EQ(hardware_id_list(entry_with_ids({0x1A, 0x2B, 0x3C})), "rup: Hardware ID 1A, 2B or 3C");
  EXPECT_EQ(hardware_id_list(entry_with_ids({0x1A, 0x2B, 0x3C, 0xFFFFFFFF})),
            "rup: Hardware ID 1A, 2B, 3C or FFFFFFFF");
  program_name = "romupdate";
}

TEST(ImagePlan, ImageAgainstItsRom) {
  image_plan p{};
  ASSERT_EQ(plan_image(0x280000, 0x28FFFF, 0x280000, 0x40000, false, &p), image_fit::ok);
  EXPECT_EQ(p.code_start, 0x280000u);
  EXPECT_EQ(p.size_arg, 0x10000u);
  EXPECT_EQ(p.count, 0x10000u);

  // Exactly the ROM's size fits, one byte more does not.
  EXPECT_EQ(plan_image(0x280000, 0x2BFFFF, 0x280000, 0x40000, false, &p), image_fit::ok);
  EXPECT_EQ(plan_image(0x280000, 0x2C0000, 0x280000, 0x40000, false, &p), image_fit::too_large);
  EXPECT_EQ(p.size, 0x40001u);
  // A span of the whole address space does not wrap to a small size.
  EXPECT_EQ(plan_image(0, 0xFFFFFFFF, 0, 0xFFFFFFFF, false, &p), image_fit::too_large);
  EXPECT_EQ(shown_size(p.size), 0xFFFFFFFFu);

  // Small enough, but not inside the ROM's addresses: the bytes outside
  // would land on what the run keeps.  Inside, starting late, is allowed.
  struct {
    uint32_t lowest, highest, rom_start, rom_size;
    image_fit fit;
  } places[] = {
      {0x27FFFF, 0x28FFFF, 0x280000, 0x40000, image_fit::leaves_rom},  // one byte below
      {0x290000, 0x2C0000, 0x280000, 0x40000, image_fit::leaves_rom},  // one byte above
      {0x290000, 0x2BFFFF, 0x280000, 0x40000, image_fit::ok},          // starts late
      {0xFFFF0000, 0xFFFFFFFF, 0xFFFF0000, 0x20000, image_fit::ok},    // ROM at the top
      {0x10000000, 0x1003FFFF, 0x10040000, 0x40000, image_fit::leaves_rom},
  };
  for (const auto &c : places) {
    EXPECT_EQ(plan_image(c.lowest, c.highest, c.rom_start, c.rom_size, false, &p), c.fit)
        << std::hex << c.lowest << "-" << c.highest;
    EXPECT_EQ(plan_image(c.lowest, c.highest, c.rom_start, c.rom_size, true, &p), c.fit)
        << std::hex << c.lowest << "-" << c.highest << " on a 38100B";
  }
}

TEST(ImagePlan, ImagesWithoutData) {
  image_plan p{};
  // No records at all, and a single record of no bytes at 0x280000.
  EXPECT_EQ(plan_image(0xFFFFFFFF, 0, 0x280000, 0x40000, false, &p), image_fit::no_data);
  EXPECT_EQ(plan_image(0x280000, 0x27FFFF, 0x280000, 0x40000, true, &p), image_fit::no_data);
}

TEST(ImagePlan, QuokkaRule) {
  image_plan p{};
  // The 1 MB card: code start and size of its upper part, the only part the
  // image may write.
  EXPECT_EQ(plan_image(0x10000000, 0x100FFFFF, 0x10000000, 0x100000, true, &p),
            image_fit::leaves_rom);
  EXPECT_EQ(p.code_start, 0x100C0000u);
  EXPECT_EQ(p.size_arg, 0x40000u);
  EXPECT_EQ(p.count, 0x40000u);
  EXPECT_EQ(plan_image(0x100C0000, 0x100FFFFF, 0x10000000, 0x100000, true, &p), image_fit::ok);

  // Any other ROM of the board: size argument 0, the download unchanged.
  ASSERT_EQ(plan_image(0x10040000, 0x1004FFFF, 0x10040000, 0x40000, true, &p), image_fit::ok);
  EXPECT_EQ(p.code_start, 0x10040000u);
  EXPECT_EQ(p.size_arg, 0u);
  EXPECT_EQ(p.count, 0x10000u);

  // An image for the card that ends below its upper part has nothing there.
  EXPECT_EQ(plan_image(0x10000000, 0x100BFFFF, 0x10000000, 0x100000, true, &p),
            image_fit::ends_below);
  EXPECT_EQ(plan_image(0x10000000, 0x100C0000, 0x10000000, 0x100000, true, &p),
            image_fit::leaves_rom);
  EXPECT_EQ(p.count, 1u);
}

TEST(ProgrammingCommands, ProgramAndLanCommands) {
  product_config e = entry_with_ids({0x5806});
  image_plan plan{};
  ASSERT_EQ(plan_image(0x280000, 0x28FFFF, e.romstart, e.romsize, false, &plan), image_fit::ok);
  EXPECT_EQ(program_command('p', e, e.romstart, e.romsize, e.romwidth, plan),
            "pf -p 02FFFF7 0FFFF 00 0280000 040000 16 0280000 65536 0\n");

  e.romstart = 0x10000000;
  e.romsize = 0x100000;
  ASSERT_EQ(plan_image(0x100C0000, 0x100FFFFF, e.romstart, e.romsize, true, &plan), image_fit::ok);
  EXPECT_EQ(program_command('p', e, e.romstart, e.romsize, e.romwidth, plan),
            "pf -p 02FFFF7 0FFFF 00 010000000 0100000 16 0100C0000 262144 0\n");

  ASSERT_EQ(plan_image(0x40000, 0x43FFF, e.lan_romstart, e.lan_romsize, false, &plan),
            image_fit::ok);
  EXPECT_EQ(program_command('P', e, e.lan_romstart, e.lan_romsize, e.lan_romwidth, plan),
            "pf -P 02FFFF7 0FFFF 00 040000 040000 8 040000 16384 0\n");

  // The longest numbers still fit the command buffer.
  e.vppctladdr = 0xFFFFFFFF;
  plan = {0xFFFFFFFF, 0xFFFFFFFF, 0, 0, 0, 0};
  EXPECT_EQ(program_command('p', e, 0xFFFFFFFF, 0xFFFFFFFF, -2147483647 - 1, plan),
            "pf -p 0FFFFFFFF 0FFFF 00 0FFFFFFFF 0FFFFFFFF -2147483648 0FFFFFFFF -1 0\n");
}

TEST(ProgrammingCommands, NwireAndFinish) {
  product_config e = entry_with_ids({0x5806});
  char buf[CMDSTRING_SIZE];
  ASSERT_TRUE(compose_pf_nwire(buf, sizeof buf, e, false));
  EXPECT_STREQ(buf, "pf -b 0280000 040000\n");
  ASSERT_TRUE(compose_pf_nwire(buf, sizeof buf, e, true));
  EXPECT_STREQ(buf, "pf -n 0280000 040000\n");

  ASSERT_TRUE(compose_pf_finish(buf, sizeof buf, e, false));
  EXPECT_STREQ(buf, "pf -f 0280000 16\n");
  ASSERT_TRUE(compose_pf_finish(buf, sizeof buf, e, true));
  EXPECT_STREQ(buf, "pf -f\n");

  // An nwire command goes out with a line end, and must fit with it.
  std::string longest(CMDSTRING_SIZE - 2, 'n');
  EXPECT_TRUE(nwire_command_fits(longest.c_str()));
  ASSERT_TRUE(compose_nwire_command(buf, sizeof buf, longest.c_str()));
  EXPECT_EQ(std::string(buf), longest + "\n");
  std::string too_long = longest + "n";
  EXPECT_FALSE(nwire_command_fits(too_long.c_str()));
  EXPECT_FALSE(compose_nwire_command(buf, sizeof buf, too_long.c_str()));
}
