#include "engine/flash.h"

#include <algorithm>
#include <iterator>

namespace sim {
namespace {

constexpr FlashModel kModels[] = {
    {"TXM9410", 0x60100000, 4, 0x1F00000, 55},
    {"TXC7390", 0x90000000, 3, 0x7FA0000, 39},
    {"TXC7380", 0x90000000, 3, 0x1FF4000, 38},
    {"TXC7350", 0xC0000000, 3, 0x200000, 35},
    {"TXC7320", 0xC0000000, 3, 0x200000, 32},
    {"TXC6260", 0x00020000, 2, 0x5D000, 10},
    {"TXC5110", 0, 1, 0x18000, 1},
    {"TXC5130", 0, 1, 0x30000, 5},
    {"TXC5150", 0, 1, 0x30000, 8},
};

// clang-format off
constexpr ChipRule kChipRules[] = {
  // chip select               F2     region      first step unit     page     sub      bias    erase   nand
  {55, PageSelect::Page16, false, 0x60000000, 0,    16, 0x1000,  0x10000, 0,       0,      0,      false},
  {39, PageSelect::Page16, false, 0x90000000, 256,  1,  0x20000, 0x20000, 0x10000, 0,      0,      true},
  {38, PageSelect::Page16, false, 0x90000000, 256,  1,  0x4000,  0x4000,  0,       0,      0,      true},
  {35, PageSelect::Page8,  false, 0xC0000000, 0x80, 1,  0x10000, 0x10000, 0,       0,      0xF000, false},
  {32, PageSelect::Page8,  false, 0xC0000000, 0x80, 1,  0x10000, 0x10000, 0,       0,      0xF000, false},
  {10, PageSelect::Page8,  true,  0,          0,    1,  0,       0,       0,       0,      0xF000, false},
  {1,  PageSelect::Page8,  false, 0,          1,    1,  0x8000,  0x8000,  0,       0x8000, 0xF000, false},
  {5,  PageSelect::Page8,  false, 0,          1,    1,  0x8000,  0x8000,  0,       0x8000, 0xF000, false},
  {8,  PageSelect::Page8,  false, 0,          1,    1,  0x8000,  0x8000,  0,       0x8000, 0xF000, false},
};
// clang-format on

// Family 2's sector starts; row k is page k. The last row ends at the
// model's limit.
constexpr uint32_t kSectorTableF2[] = {
    0x00000, 0x01000, 0x02000, 0x03000, 0x04000, 0x05000, 0x06000, 0x07000, 0x08000,
    0x10000, 0x18000, 0x20000, 0x28000, 0x30000, 0x38000, 0x40000, 0x48000, 0x50000,
    0x58000, 0x60000, 0x68000, 0x70000, 0x78000, 0x79000, 0x7A000, 0x7B000, 0x7C000,
};

FlashMemory::Chunk& ChunkAt(FlashMemory& flash, uint32_t key) {
  auto found = flash.chunks.find(key);
  if (found != flash.chunks.end()) return found->second;
  FlashMemory::Chunk& chunk = flash.chunks[key];
  chunk.data.fill(0x00);
  chunk.programmed.set();
  return chunk;
}

}  // namespace

const FlashModel* FindFlashModel(std::string_view name) {
  auto found = std::find_if(std::begin(kModels), std::end(kModels),
                            [&](const FlashModel& m) { return m.name == name; });
  return found == std::end(kModels) ? nullptr : &*found;
}

std::vector<std::string_view> FlashModelNames() {
  std::vector<std::string_view> names;
  for (const FlashModel& m : kModels) names.push_back(m.name);
  return names;
}

const ChipRule* FindChipRule(uint8_t chipCode) {
  auto found = std::find_if(std::begin(kChipRules), std::end(kChipRules),
                            [&](const ChipRule& r) { return r.chipCode == chipCode; });
  return found == std::end(kChipRules) ? nullptr : &*found;
}

std::optional<PageSpan> ResolvePage(const FlashModel& model, const ChipRule& rule, PageSelect kind,
                                    uint32_t page) {
  if (kind != rule.select) return std::nullopt;
  PageSpan span;
  if (rule.sectorTableF2) {
    constexpr size_t rows = std::size(kSectorTableF2);
    if (page >= rows) return std::nullopt;
    span.start = kSectorTableF2[page];
    uint64_t next = page + 1 < rows ? kSectorTableF2[page + 1] : uint64_t{model.base} + model.maxSize;
    if (next <= span.start) return std::nullopt;
    span.size = static_cast<uint32_t>(next - span.start);
  } else {
    if (page < rule.firstPage || page % rule.pageStep != 0) return std::nullopt;
    uint64_t start = uint64_t{rule.regionStart} + uint64_t{page - rule.firstPage} * rule.unitSize;
    if (start > 0xFFFFFFFFull) return std::nullopt;
    span.start = static_cast<uint32_t>(start);
    span.size = rule.pageSize;
  }
  // Only pages wholly inside the model's flash: below the base lies the
  // loader itself.
  uint64_t limit = uint64_t{model.base} + model.maxSize;
  if (span.start < model.base || uint64_t{span.start} + span.size > limit) return std::nullopt;
  return span;
}

void FlashErase(FlashMemory& flash, PageSpan span) {
  for (uint64_t a = span.start; a < uint64_t{span.start} + span.size; a += FlashMemory::kChunk) {
    FlashMemory::Chunk& chunk = flash.chunks[static_cast<uint32_t>(a / FlashMemory::kChunk)];
    chunk.data.fill(0xFF);
    chunk.programmed.reset();
    chunk.damaged = false;
  }
}

uint32_t FlashProgram(FlashMemory& flash, uint32_t address, const uint8_t* bytes, uint32_t count) {
  uint32_t unerased = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t a = address + i;
    FlashMemory::Chunk& chunk = ChunkAt(flash, a / FlashMemory::kChunk);
    uint32_t at = a % FlashMemory::kChunk;
    if (chunk.programmed.test(at)) {
      ++unerased;
      chunk.damaged = true;
    }
    chunk.data[at] &= bytes[i];
    chunk.programmed.set(at);
  }
  if (count != 0) {
    flash.highestEnd = std::max(flash.highestEnd, address + count);
    flash.anyWrite = true;
  }
  return unerased;
}

uint8_t FlashRead(const FlashMemory& flash, uint32_t address) {
  auto found = flash.chunks.find(address / FlashMemory::kChunk);
  return found == flash.chunks.end() ? 0x00 : found->second.data[address % FlashMemory::kChunk];
}

uint32_t FlashDamagedChunks(const FlashMemory& flash) {
  return static_cast<uint32_t>(std::count_if(flash.chunks.begin(), flash.chunks.end(),
                                             [](const auto& entry) { return entry.second.damaged; }));
}

}  // namespace sim
