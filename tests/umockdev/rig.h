// The emulated controllers of one test and the ticker that ends their held
// calls: pendrel's own runs and the station's share it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "umockdev/bulk_emulation.h"
#include "umockdev/emulated_bed.h"
#include "umockdev/hid_emulation.h"

namespace emu {

struct Rig {
  Bed bed;
  std::list<HidController> hid;
  std::list<BulkController> bulk;
  std::unique_ptr<Ticker> ticker;

  HidController& AddHid(const HidDeviceDescription& description, sim::SimEngine* engine = nullptr) {
    return AddController(bed, hid, description, engine, AddHidController);
  }
  BulkController& AddBulk(const BulkDeviceDescription& description, sim::SimEngine* engine = nullptr) {
    return AddController(bed, bulk, description, engine, AddBulkController);
  }
  // Started once every device is in: it walks the lists.
  void Tick() {
    ticker = std::make_unique<Ticker>([this] {
      for (HidController& d : hid) HidTick(d);
      for (BulkController& d : bulk) BulkTick(d);
    });
  }
  // pendrel ARGS, with `environment` ("NAME=value") added to ours.
  ChildResult Run(const std::vector<std::string>& args,
                  std::chrono::seconds timeout = std::chrono::seconds(120),
                  const std::vector<std::string>& environment = {}) {
    Tick();
    ChildResult r = RunPendrel(bed, args, timeout, environment);
    ticker.reset();
    if (std::getenv("PENDREL_UMOCKDEV_VERBOSE") != nullptr) std::printf("%s\n", Describe(r).c_str());
    return r;
  }
  ~Rig() {
    ticker.reset();
    for (HidController& d : hid) HidDetach(bed, d);
    for (BulkController& d : bulk) BulkDetach(bed, d);
  }
};

}  // namespace emu
