// Controller models, their flash layouts and the mapping of a flash address
// to the page, sub-page and offset that the erase and write commands take.
#pragma once

#include <array>
#include <cstdint>
#include <span>

using ControllerFamily = uint32_t;  // 1 to 4
using ChipCode = uint32_t;          // 55, 39, 38, 35, 32, 10, 1, 5, 8

struct CurrentControllerRecord {
  ControllerFamily family = 1;
  ChipCode chipCode = 8;
  uint32_t flashAddress = 0;  // next address the run writes
};

extern CurrentControllerRecord CurrentController;

// Back to family 1, chip code 8, address 0 (tests only; one run per process).
void ResetCurrentController();

struct ModelRow {
  const char* name;
  uint32_t flashBase;
  ControllerFamily family;
  uint32_t maxImageSize;
  ChipCode chipCode;
};

inline constexpr std::array<ModelRow, 9> ModelTable = {{
    {"TXM9410", 0x60100000, 4, 0x1F00000, 55},
    {"TXC7390", 0x90000000, 3, 0x7FA0000, 39},
    {"TXC7380", 0x90000000, 3, 0x1FF4000, 38},
    {"TXC7350", 0xC0000000, 3, 0x200000, 35},
    {"TXC7320", 0xC0000000, 3, 0x200000, 32},
    {"TXC6260", 0x00020000, 2, 0x5D000, 10},
    {"TXC5110", 0, 1, 0x18000, 1},
    {"TXC5130", 0, 1, 0x30000, 5},
    {"TXC5150", 0, 1, 0x30000, 8},
}};

struct SectorRow {
  uint32_t start;
  uint32_t page;
};

inline constexpr uint32_t kSectorTableEnd = 0xFFFFFFFF;

inline constexpr std::array<SectorRow, 28> SectorTableF2 = {{
    {0x00000, 0},  {0x01000, 1},  {0x02000, 2},  {0x03000, 3},         {0x04000, 4},  {0x05000, 5},
    {0x06000, 6},  {0x07000, 7},  {0x08000, 8},  {0x10000, 9},         {0x18000, 10}, {0x20000, 11},
    {0x28000, 12}, {0x30000, 13}, {0x38000, 14}, {0x40000, 15},        {0x48000, 16}, {0x50000, 17},
    {0x58000, 18}, {0x60000, 19}, {0x68000, 20}, {0x70000, 21},        {0x78000, 22}, {0x79000, 23},
    {0x7A000, 24}, {0x7B000, 25}, {0x7C000, 26}, {kSectorTableEnd, 0},
}};

namespace detail {
constexpr std::array<SectorRow, 33> MakeSectorTable64K() {
  std::array<SectorRow, 33> rows{};
  for (uint32_t k = 0; k < 32; ++k) rows[k] = {0xC0000000u + k * 0x10000u, 128 + k};
  rows[32] = {kSectorTableEnd, 0};
  return rows;
}
}  // namespace detail

inline constexpr std::array<SectorRow, 33> SectorTable64K = detail::MakeSectorTable64K();

enum MapFlag : uint32_t {
  NewPage = 1u << 0,     // a page begins here and is erased before it is written
  NewSubPage = 1u << 1,  // a sub-page begins here
};

struct FlashMapping {
  uint32_t flags = 0;
  uint32_t page = 0;
  uint32_t subPage = 0;
  uint16_t offset = 0;
};

// Compares the first 7 characters of `name` with each row, in order; the
// first match sets the current family, chip code and flash address (the
// row's flash base) and gives the row's maximum image size. nullptr or no
// match: false, the record unchanged.
bool LookUpControllerModel(const char* name, uint32_t* maxImageSize);

// Maps `address` under the current chip code and family. Sub-page and flags
// start out cleared; page and offset keep their incoming values when a sector
// table covers no such address (which the model limits rule out).
void MapFlashAddress(uint32_t address, FlashMapping& mapping);

// The table lookup by itself, for a table ended by kSectorTableEnd.
void LookUpSector(std::span<const SectorRow> table, uint32_t address, FlashMapping& mapping);
