#include "preflight.h"

#include "flash/data_file.h"
#include "pendrel_output.h"
#include "system.h"

namespace {

// pendrel without arguments ends at once; under an emulator its start alone
// can take seconds.
constexpr double kProbeSeconds = 30.0;
constexpr int kWaitSliceMs = 100;

// Everything pendrel printed until it ended, or until the bound (then it is ended).
PendrelOutput ProbeOutput(int child) {
  PendrelOutput out;
  double deadline = MonotonicSeconds() + kProbeSeconds;
  bool ended = false, killed = false;
  while (!ended) {
    if (!killed && MonotonicSeconds() > deadline) {
      KillChild(child);
      killed = true;
    }
    std::vector<ChildEvent> events;
    WaitForChildren(kWaitSliceMs, &events);
    for (const ChildEvent& e : events) {
      if (e.child != child) continue;
      if (e.kind == ChildEvent::Kind::Output) FeedPendrelOutput(out, e.data);
      else ended = true;
    }
  }
  EndPendrelOutput(out);
  return out;
}

}  // namespace

bool PrepareImage(const std::string& image, StationImage* out, std::string* error) {
  ImageCopy copy;
  if (!MakeImageCopy(image, &copy, error)) return false;
  out->copy = copy.path;
  out->sha256 = copy.sha256;
  out->fileSize = copy.size;
  // pendrel's own reading of the file: a wrapped image writes less than its file holds.
  FlashDataFile data;
  if (!OpenFlashDataFile(copy.path.c_str(), data)) {
    *error = "cannot read the image's copy " + copy.path;
    return false;
  }
  out->dataLength = LocateImage(data.file.get(), data.size).length;
  return true;
}

bool CheckPendrelVersion(const std::string& pendrel, const std::string& expected, std::string* error) {
  std::string why;
  int child = StartChild({pendrel}, {}, &why);
  if (child < 0) {
    *error = "cannot start " + pendrel + ": " + why;
    return false;
  }
  PendrelOutput out = ProbeOutput(child);
  if (!out.bannerSeen) {
    *error = pendrel + " printed no pendrel banner; this station needs pendrel " + expected;
    return false;
  }
  if (out.version != expected) {
    *error = pendrel + " is pendrel " + out.version + "; this station needs pendrel " + expected;
    return false;
  }
  return true;
}
