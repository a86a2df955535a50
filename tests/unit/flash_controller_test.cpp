// Model lookup and the mapping of flash addresses, at every boundary.
#include <gtest/gtest.h>

#include "flash/controller.h"

namespace {

struct ControllerScope {
  ControllerScope() { ResetCurrentController(); }
  ~ControllerScope() { ResetCurrentController(); }
};

FlashMapping Map(const char* model, uint32_t address) {
  EXPECT_TRUE(LookUpControllerModel(model, nullptr)) << model;
  FlashMapping m;
  m.page = 0xDEAD;
  m.offset = 0xBEEF;
  MapFlashAddress(address, m);
  return m;
}

TEST(ModelLookup, MatchesTheFirstSevenCharacters) {
  ControllerScope scope;
  EXPECT_EQ(CurrentController.family, 1u);
  EXPECT_EQ(CurrentController.chipCode, 8u);
  EXPECT_EQ(CurrentController.flashAddress, 0u);

  uint32_t max = 0;
  ASSERT_TRUE(LookUpControllerModel("TXC7390 rev B", &max));
  EXPECT_EQ(max, 133824512u);
  EXPECT_EQ(CurrentController.family, 3u);
  EXPECT_EQ(CurrentController.chipCode, 39u);
  EXPECT_EQ(CurrentController.flashAddress, 0x90000000u);

  ResetCurrentController();
  max = 7;
  EXPECT_FALSE(LookUpControllerModel("TXC739", &max));
  EXPECT_FALSE(LookUpControllerModel("txc7390", &max));
  EXPECT_FALSE(LookUpControllerModel("", &max));
  EXPECT_FALSE(LookUpControllerModel(nullptr, &max));
  EXPECT_EQ(max, 7u);
  EXPECT_EQ(CurrentController.family, 1u) << "no match leaves the initial record";
  EXPECT_EQ(CurrentController.chipCode, 8u);
}

TEST(ModelLookup, EveryRowSetsItsFacts) {
  ControllerScope scope;
  struct Row {
    const char* name;
    uint32_t base, family, max, chip;
  };
  const Row rows[] = {
      {"TXM9410", 0x60100000, 4, 32505856, 55},
      {"TXC7390", 0x90000000, 3, 133824512, 39},
      {"TXC7380", 0x90000000, 3, 33505280, 38},
      {"TXC7350", 0xC0000000, 3, 0x200000, 35},
      {"TXC7320", 0xC0000000, 3, 0x200000, 32},
      {"TXC6260", 0x20000, 2, 380928, 10},
      {"TXC5110", 0, 1, 98304, 1},
      {"TXC5130", 0, 1, 196608, 5},
      {"TXC5150", 0, 1, 196608, 8},
  };
  for (const Row& r : rows) {
    uint32_t max = 0;
    ASSERT_TRUE(LookUpControllerModel(r.name, &max)) << r.name;
    EXPECT_EQ(max, r.max) << r.name;
    EXPECT_EQ(CurrentController.flashAddress, r.base) << r.name;
    EXPECT_EQ(CurrentController.family, r.family) << r.name;
    EXPECT_EQ(CurrentController.chipCode, r.chip) << r.name;
  }
}

struct MapCase {
  const char* model;
  uint32_t address;
  uint32_t flags, page, subPage;
  uint16_t offset;
};

TEST(MapFlashAddress, ExamplesOfEveryRule) {
  ControllerScope scope;
  const uint32_t both = NewPage | NewSubPage;
  const MapCase cases[] = {
      {"TXC7390", 0x90000000, both, 256, 0, 0},     {"TXC7390", 0x90010000, NewSubPage, 256, 1, 0},
      {"TXC7390", 0x90010800, 0, 256, 1, 0x0800},   {"TXC7390", 0x90020000, both, 257, 0, 0},
      {"TXC7390", 0x9001F800, 0, 256, 1, 0xF800},   {"TXC7380", 0x90004000, NewPage, 257, 0, 0},
      {"TXC7380", 0x90003F00, 0, 256, 0, 0x3F00},   {"TXM9410", 0x60100000, NewPage, 0x100, 0, 0},
      {"TXM9410", 0x60101000, 0, 0x101, 0, 0x1000}, {"TXM9410", 0x60110000, NewPage, 0x110, 0, 0},
      {"TXC5110", 0, NewPage, 1, 0, 0x8000},        {"TXC5110", 0x8100, 0, 2, 0, 0x8100},
      {"TXC5130", 0x7FFF, 0, 1, 0, 0xFFFF},         {"TXC5150", 0x28000, NewPage, 6, 0, 0x8000},
      {"TXC6260", 0x20000, NewPage, 11, 0, 0},      {"TXC6260", 0x7C800, 0, 26, 0, 0x0800},
      {"TXC6260", 0x7CFFF, 0, 26, 0, 0x0FFF},       {"TXC7350", 0xC0010000, NewPage, 129, 0, 0},
      {"TXC7320", 0xC01FFF00, 0, 0x9F, 0, 0xFF00},
  };
  for (const MapCase& c : cases) {
    FlashMapping m = Map(c.model, c.address);
    EXPECT_EQ(m.flags, c.flags) << c.model << " " << std::hex << c.address;
    EXPECT_EQ(m.page, c.page) << c.model << " " << std::hex << c.address;
    EXPECT_EQ(m.subPage, c.subPage) << c.model << " " << std::hex << c.address;
    EXPECT_EQ(m.offset, c.offset) << c.model << " " << std::hex << c.address;
  }
}

// Walks a sector table: every row start is a new page with offset 0, the
// byte before it still belongs to the previous row.
void ExpectTableBoundaries(const char* model, std::span<const SectorRow> table) {
  for (size_t k = 0; k + 1 < table.size(); ++k) {
    FlashMapping m = Map(model, table[k].start);
    EXPECT_EQ(m.flags, NewPage) << model << " row " << k;
    EXPECT_EQ(m.page, table[k].page) << model << " row " << k;
    EXPECT_EQ(m.offset, 0) << model << " row " << k;
    if (k == 0) continue;
    m = Map(model, table[k].start - 1);
    EXPECT_EQ(m.flags, 0u) << model << " row " << k;
    EXPECT_EQ(m.page, table[k - 1].page) << model << " row " << k;
    EXPECT_EQ(m.offset, static_cast<uint16_t>(table[k].start - 1 - table[k - 1].start));
  }
}

TEST(MapFlashAddress, SectorTableBoundaries) {
  ControllerScope scope;
  ASSERT_EQ(SectorTableF2.size(), 28u);
  for (size_t k = 0; k + 1 < SectorTableF2.size(); ++k) EXPECT_EQ(SectorTableF2[k].page, k);
  EXPECT_EQ(SectorTableF2.back().start, kSectorTableEnd);
  EXPECT_EQ(SectorTable64K[31].start, 0xC01F0000u);
  EXPECT_EQ(SectorTable64K[31].page, 0x9Fu);
  ExpectTableBoundaries("TXC6260", SectorTableF2);
  ExpectTableBoundaries("TXC7350", SectorTable64K);
  ExpectTableBoundaries("TXC7320", SectorTable64K);
}

TEST(MapFlashAddress, UncoveredAddressKeepsPageAndOffset) {
  ControllerScope scope;
  FlashMapping m = Map("TXC7320", 0x00001000);
  EXPECT_EQ(m.flags, 0u);
  EXPECT_EQ(m.page, 0xDEADu);
  EXPECT_EQ(m.offset, 0xBEEF);
  m.subPage = 1;
  m.flags = NewSubPage;
  MapFlashAddress(0xFFFFFFFF, m);
  EXPECT_EQ(m.flags, 0u) << "flags and sub-page always start cleared";
  EXPECT_EQ(m.subPage, 0u);
}

}  // namespace
