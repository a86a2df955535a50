#include "flash/program.h"

#include <array>
#include <cstdio>

#include "base/status.h"
#include "flash/controller.h"
#include "flash/data_file.h"
#include "link/link.h"
#include "protocol/commands.h"

namespace {

struct FamilyFeatures {
  ControllerFamily family;
  bool switchesUploadRate;
  bool flushesAndVerifies;
};

constexpr std::array<FamilyFeatures, 4> kFamilyFeatures = {{
    {1, false, false},
    {2, true, true},
    {3, true, true},
    {4, true, true},
}};

const FamilyFeatures& FeaturesOf(ControllerFamily family) {
  for (const FamilyFeatures& f : kFamilyFeatures)
    if (f.family == family) return f;
  return kFamilyFeatures[0];
}

constexpr uint16_t kErase8Parameter = 0xF000;
constexpr uint32_t kNandIndexPage = 256;

struct RunState {
  uint32_t total = 0;
  uint32_t written = 0;
  uint32_t remaining = 0;
  int32_t printed = 0;
  FlashDataFile data;
  FlashMapping mapping;
  std::array<uint8_t, kMaxChunkSize> block{};
};

RunState gRun;

uint32_t BlockSize() {
  // The buffer bounds every block; a link never asks for more than it holds.
  uint32_t size = LinkState.maxBlockSize;
  if (size > kMaxChunkSize) size = kMaxChunkSize;
  return size == 0 ? 1 : size;
}

uint32_t RoundDownToPowerOfTwo(uint32_t value) {
  uint32_t power = 1;
  while (power <= value / 2) power <<= 1;
  return power;
}

// A controller's block size only ever lowers the link's. A zero answer
// would stall the run, and one that is not a power of two would let a
// block straddle a page boundary whose page was never erased.
void AdoptControllerBlockSize(uint16_t answer) {
  if (answer == 0) return;
  uint32_t size = RoundDownToPowerOfTwo(answer);
  if (size < LinkState.maxBlockSize) LinkState.maxBlockSize = size;
}

// Erases or selects what the mapping of the block's first address asks for.
int EraseChip55(const FlashMapping& m) { return ErasePage16(m.page) ? 1 : SetLastStatus(kStatusEraseFailed); }

int EraseNand(const FlashMapping& m) {
  if (m.flags & NewPage) {
    if (m.page == kNandIndexPage && !EraseNandIndex()) return SetLastStatus(kStatusNandIndexEraseFailed);
    return ErasePage16(m.page) ? 1 : SetLastStatus(kStatusEraseFailed);
  }
  return SelectSubPage(m.subPage) ? 1 : SetLastStatus(kStatusSubPageFailed);
}

int ErasePaged8(const FlashMapping& m) {
  return ErasePage8(m.page, kErase8Parameter) ? 1 : SetLastStatus(kStatusEraseFailed);
}

struct EraseRule {
  ChipCode chipCode;
  int (*erase)(const FlashMapping& mapping);
};

// Every chip code not listed erases 8-bit pages.
constexpr std::array<EraseRule, 3> kEraseRules = {{
    {55, EraseChip55},
    {39, EraseNand},
    {38, EraseNand},
}};

int EraseForBlock(const FlashMapping& m) {
  for (const EraseRule& rule : kEraseRules)
    if (rule.chipCode == CurrentController.chipCode) return rule.erase(m);
  return ErasePaged8(m);
}

void RedrawProgress() {
  long percent = gRun.remaining == 0 ? 100 : static_cast<long>(ProgressPercent(gRun.written, gRun.total));
  long shownKb = static_cast<long>((gRun.remaining == 0 ? gRun.total : gRun.written) >> 10);
  for (int32_t i = 0; i < gRun.printed; ++i) std::putchar(0x08);
  gRun.printed =
      std::printf("%ldkB (%ld%%) of %ldkB written", shownKb, percent, static_cast<long>(gRun.total >> 10));
  std::fflush(stdout);
}

// Every line piece goes out at once: a wait follows each (the controller's
// flush or verify, the link's close, the reboot), and standard output on a
// pipe or file would otherwise hold it until the run ends.
void Show(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

bool FlushAndVerify() {
  if (!Flush()) {
    Show(" - Flushing error\n");
    return false;
  }
  Show(" - Verifying");
  if (!Verify()) {
    Show(" - Verify error\n");
    return false;
  }
  Show(" - Ok\n");
  return true;
}

// Both rates are tried on the host's port before the controller hears of
// the switch, so a refused rate leaves the controller untouched.
int SwitchToUploadRate(int32_t commandRate, int32_t uploadRate) {
  if (!FeaturesOf(CurrentController.family).switchesUploadRate)
    return SetLastStatus(kStatusUploadRateUnsupported);
  if (!SetHostBaudRate(uploadRate) || !SetHostBaudRate(commandRate)) return 0;
  if (!SetControllerBaudRate(static_cast<uint32_t>(uploadRate)))
    return SetLastStatus(kStatusRateSwitchFailed);
  if (!SetHostBaudRate(uploadRate)) return SetLastStatus(kStatusControllerLeftAtUploadRate);
  return 1;
}

int SwitchBackToCommandRate(int32_t commandRate) {
  if (!SetControllerBaudRate(static_cast<uint32_t>(commandRate)))
    return SetLastStatus(kStatusRateSwitchFailed);
  return SetHostBaudRate(commandRate);
}

int WriteImage(int32_t commandRate, int32_t uploadRate) {
  const char* name = QueryControllerName();
  // Asked before the model is known: an unanswered query falls back by
  // the chip code the run starts with.
  AdoptControllerBlockSize(QueryMaxBlockSize(CurrentController.chipCode));
  if (name == nullptr) return SetLastStatus(kStatusControllerNameUnknown);
  uint32_t maxImageSize = 0;
  if (!LookUpControllerModel(name, &maxImageSize)) return SetLastStatus(kStatusControllerNameUnknown);

  std::FILE* file = gRun.data.file.get();
  ImageLocation image = LocateImage(file, gRun.data.size);
  if (!CheckImage(file, image, maxImageSize, BlockSize())) return 0;
  gRun.remaining = image.length;

  bool switched = uploadRate != 0 && uploadRate != commandRate;
  if (switched && !SwitchToUploadRate(commandRate, uploadRate)) return 0;

  gRun.total = image.length;
  gRun.written = 0;
  std::printf("Programming application data: ");
  gRun.printed = std::printf("Total size is %ldkB", static_cast<long>(gRun.total >> 10));
  std::fflush(stdout);

  bool allWritten = true;
  while (gRun.remaining != 0) {
    if (!WriteNextBlock()) {
      allWritten = false;
      break;
    }
  }
  if (!allWritten) {
    Show("\nPrograming Error\n");
    return 0;
  }
  Show(" - Ok");
  if (FeaturesOf(CurrentController.family).flushesAndVerifies) {
    if (!FlushAndVerify()) return 0;
  } else {
    Show("\n");
  }
  if (switched && !SwitchBackToCommandRate(commandRate)) return 0;
  return 1;
}

}  // namespace

int ProgramFlash(const char* path, int32_t commandRate, int32_t uploadRate) {
  gRun = RunState{};
  if (!OpenFlashDataFile(path, gRun.data)) return 0;
  int result = WriteImage(commandRate, uploadRate);
  gRun.data = FlashDataFile{};  // closes the file on every path
  return result;
}

int WriteNextBlock() {
  std::FILE* file = gRun.data.file.get();
  if (file == nullptr) return SetLastStatus(kStatusDataFileReadFailed);
  if (gRun.remaining == 0) return 1;
  uint32_t blockSize = BlockSize();
  uint32_t n = gRun.remaining < blockSize ? gRun.remaining : blockSize;

  MapFlashAddress(CurrentController.flashAddress, gRun.mapping);
  if (gRun.mapping.flags != 0 && !EraseForBlock(gRun.mapping)) return 0;

  size_t got = std::fread(gRun.block.data(), 1, n, file);
  if (got != n)
    return SetLastStatus(std::ferror(file) ? kStatusDataFileReadFailed : kStatusDataFileUnexpectedEnd);
  if (!WriteBlock(gRun.block.data(), n, gRun.mapping.offset)) return SetLastStatus(kStatusFlashWriteFailed);

  CurrentController.flashAddress += n;
  gRun.written += n;
  gRun.remaining -= n;

  if (gRun.written % 1024 != 0 && gRun.remaining != 0) return 1;
  RedrawProgress();
  return 1;
}

uint32_t ProgressPercent(uint32_t written, uint32_t total) {
  // 64-bit: written x 100 passes 32 bits beyond 42 MB, well inside the models' limits.
  return total == 0 ? 100 : static_cast<uint32_t>(static_cast<uint64_t>(written) * 100 / total);
}

int SetHostBaudRate(int32_t rate) { return LinkSetRate(rate); }
