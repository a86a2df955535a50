#include "flash/controller.h"

#include <cstring>

CurrentControllerRecord CurrentController;

void ResetCurrentController() { CurrentController = CurrentControllerRecord{}; }

bool LookUpControllerModel(const char* name, uint32_t* maxImageSize) {
  if (name == nullptr) return false;
  for (const ModelRow& row : ModelTable) {
    // strncmp stops at the terminator of a shorter name, which then differs.
    if (std::strncmp(name, row.name, 7) != 0) continue;
    CurrentController.family = row.family;
    CurrentController.chipCode = row.chipCode;
    CurrentController.flashAddress = row.flashBase;
    if (maxImageSize) *maxImageSize = row.maxImageSize;
    return true;
  }
  return false;
}

void LookUpSector(std::span<const SectorRow> table, uint32_t address, FlashMapping& mapping) {
  for (size_t i = 0; i + 1 < table.size() && table[i].start != kSectorTableEnd; ++i) {
    const SectorRow& row = table[i];
    if (address < row.start || address >= table[i + 1].start) continue;
    mapping.page = row.page;
    mapping.offset = static_cast<uint16_t>(address - row.start);
    if (address == row.start) mapping.flags |= NewPage;
    return;
  }
}

namespace {

// TXM9410: page numbers count 4 KB from 0x60000000, erase units are 64 KB.
void MapChip55(uint32_t address, FlashMapping& m) {
  m.page = (address - 0x60000000u) >> 12;
  m.offset = static_cast<uint16_t>(address & 0xFFFF);
  if (m.offset == 0) m.flags |= NewPage;
}

// TXC7390: 128 KB pages from 256 on, each of two 64 KB sub-pages.
void MapChip39(uint32_t address, FlashMapping& m) {
  uint32_t d = address - 0x90000000u;
  m.page = (d >> 17) + 256;
  m.subPage = (d >> 16) & 1;
  m.offset = static_cast<uint16_t>(d & 0xFFFF);
  if ((d & 0x1FFFF) == 0) m.flags |= NewPage;
  if ((d & 0xFFFF) == 0) m.flags |= NewSubPage;
}

// TXC7380: 16 KB pages from 256 on.
void MapChip38(uint32_t address, FlashMapping& m) {
  uint32_t d = address - 0x90000000u;
  m.page = (d >> 14) + 256;
  m.offset = static_cast<uint16_t>(address & 0x3FFF);
  if ((d & 0x3FFF) == 0) m.flags |= NewPage;
}

void MapSectors64K(uint32_t address, FlashMapping& m) { LookUpSector(SectorTable64K, address, m); }

void MapSectorsF2(uint32_t address, FlashMapping& m) { LookUpSector(SectorTableF2, address, m); }

// Family 1: 32 KB pages numbered from 1, written through the upper half of
// the 16-bit offset window.
void MapFamily1(uint32_t address, FlashMapping& m) {
  m.page = (address >> 15) + 1;
  m.offset = static_cast<uint16_t>((address & 0x7FFF) + 0x8000);
  if ((address & 0x7FFF) == 0) m.flags |= NewPage;
}

struct ChipRule {
  ChipCode chipCode;
  void (*map)(uint32_t address, FlashMapping& mapping);
};

constexpr ChipRule kChipRules[] = {
    {55, MapChip55}, {39, MapChip39}, {38, MapChip38}, {32, MapSectors64K}, {35, MapSectors64K},
};

}  // namespace

void MapFlashAddress(uint32_t address, FlashMapping& mapping) {
  mapping.subPage = 0;
  mapping.flags = 0;
  for (const ChipRule& rule : kChipRules) {
    if (rule.chipCode != CurrentController.chipCode) continue;
    rule.map(address, mapping);
    return;
  }
  if (CurrentController.family == 2) MapSectorsF2(address, mapping);
  else MapFamily1(address, mapping);
}
