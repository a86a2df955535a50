#include "app/run.h"

#include <cstdio>

#include "base/status.h"
#include "flash/program.h"
#include "link/ethernet/eth_link.h"
#include "link/link.h"
#include "protocol/commands.h"

namespace {

int FailAfterClose() {
  LinkClose();
  std::printf("%s\n", LastStatusText());
  return 1;
}

}  // namespace

int RunSequence(RunOptions o) {
  PrintBanner();
  if (o.kind != LinkKind::Serial) {
    // USB and Ethernet have no line rate; an upload rate of 0 also keeps
    // the programming run from switching.
    o.commandBaudRate = 0;
    o.uploadBaudRate = 0;
  }
  if (!LinkOpen(o.portName, o.commandBaudRate, o.noCts, o.kind)) {
    std::printf("%s\n", LastStatusText());
    return 1;
  }
  if (!Handshake()) {
    std::printf("No or invalid response from Talo device\n");
    std::fflush(stdout);  // before the close, which may take its time
    LinkClose();
    return 1;
  }
  const char* identification = QueryIdentification();
  if (identification == nullptr) return FailAfterClose();
  std::printf("%s\n", identification);
  std::fflush(stdout);  // the file check and the erase come next
  if (!ProgramFlash(o.fileName.c_str(), o.commandBaudRate, o.uploadBaudRate)) return FailAfterClose();
  if (!Reboot()) {
    LinkClose();
    std::printf("Unable to reboot the Talo device\n");
    return 1;
  }
  LinkClose();
  // The open may have turned a USB request into the WinUSB kind; only an
  // Ethernet run ends the socket layer.
  if (LinkState.kind == LinkKind::Ethernet) EthCleanup();
  return 0;
}
