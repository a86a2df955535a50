// The simulated controller's flash: the model table, each chip's page rules
// (the inverse of the host's address mapping) and a sparse flash memory.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sim {

struct FlashModel {
  std::string_view name;
  uint32_t base;
  uint8_t family;
  uint32_t maxSize;
  uint8_t chipCode;
};

const FlashModel* FindFlashModel(std::string_view name);
std::vector<std::string_view> FlashModelNames();

enum class PageSelect : uint8_t { Page8, Page16 };

// How one chip code names its erase pages and where its writes land.
struct ChipRule {
  uint8_t chipCode;
  PageSelect select;     // which select command names a page
  bool sectorTableF2;    // pages are rows of the family-2 sector table
  uint32_t regionStart;  // address of page firstPage
  uint32_t firstPage;
  uint32_t pageStep;        // page numbers that start an erase unit are multiples of this
  uint32_t unitSize;        // bytes per page number
  uint32_t pageSize;        // bytes one erase covers
  uint32_t subPageSize;     // 0: no sub-pages
  uint16_t offsetBias;      // write offsets start here (family 1: 0x8000)
  uint16_t eraseParameter;  // the only erase parameter the loader takes
  bool nandIndex;           // the NAND index must be erased before the first page
};

const ChipRule* FindChipRule(uint8_t chipCode);

struct PageSpan {
  uint32_t start = 0;
  uint32_t size = 0;
};

// The erase unit a select names, or none when the page does not name one of
// this model's pages inside its limits.
std::optional<PageSpan> ResolvePage(const FlashModel& model, const ChipRule& rule, PageSelect kind,
                                    uint32_t page);

// Sparse flash in 4 KB chunks. A chunk never touched holds the previous
// firmware (0x00, not erased); erasing gives 0xFF and makes every byte
// writable once.
struct FlashMemory {
  static constexpr uint32_t kChunk = 4096;
  struct Chunk {
    std::array<uint8_t, kChunk> data;
    std::bitset<kChunk> programmed;  // written (or never erased) since the last erase
    bool damaged = false;            // a write landed on a programmed byte
  };
  std::unordered_map<uint32_t, Chunk> chunks;  // key: address / kChunk
  uint32_t highestEnd = 0;                     // one past the highest byte written; 0: none
  bool anyWrite = false;
};

void FlashErase(FlashMemory& flash, PageSpan span);
// Programs the bytes (flash can only clear bits); returns how many of them
// landed on bytes that were not erased.
uint32_t FlashProgram(FlashMemory& flash, uint32_t address, const uint8_t* bytes, uint32_t count);
uint8_t FlashRead(const FlashMemory& flash, uint32_t address);
uint32_t FlashDamagedChunks(const FlashMemory& flash);

}  // namespace sim
