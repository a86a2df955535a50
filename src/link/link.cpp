#include "link/link.h"

#include <iterator>

#include "base/status.h"
#include "base/timeouts.h"
#include "link/ethernet/eth_link.h"
#include "link/serial/serial_link.h"
#include "link/usb/hid_link.h"
#include "link/usb/winusb_link.h"

LinkStateRecord LinkState;

namespace {

// The serial line's rate, keeping the CTS setting it was opened with.
int SerialSetRate(int32_t baudRate) { return SerialConfigure(baudRate, LinkState.serialNoCts); }

struct LinkOps {
  uint32_t maxBlockSize;  // the largest write block the link carries
  int (*close)();
  int (*send)(const uint8_t* bytes, uint32_t count);
  int (*receiveByte)(uint8_t* byte);
  int (*setTimeouts)(uint32_t receiveMs, uint32_t sendMs);
  int (*setRate)(int32_t baudRate);  // none: the link has no line rate
};

// Indexed by LinkKind.
constexpr LinkOps kLinkOps[] = {
    {.maxBlockSize = 256,
     .close = SerialClose,
     .send = SerialSend,
     .receiveByte = SerialReceiveByte,
     .setTimeouts = SerialSetTimeouts,
     .setRate = SerialSetRate},
    {.maxBlockSize = 256,
     .close = HidClose,
     .send = HidSend,
     .receiveByte = HidReceiveByte,
     .setTimeouts = HidSetTimeouts,
     .setRate = nullptr},
    {.maxBlockSize = 2048,
     .close = EthClose,
     .send = EthSend,
     .receiveByte = EthReceiveByte,
     .setTimeouts = EthSetTimeouts,
     .setRate = nullptr},
    {.maxBlockSize = 2048,
     .close = WinUsbClose,
     .send = WinUsbSend,
     .receiveByte = WinUsbReceiveByte,
     .setTimeouts = WinUsbSetTimeouts,
     .setRate = nullptr},
};
static_assert(std::size(kLinkOps) == static_cast<size_t>(LinkKind::UsbWinUsb) + 1, "one row per LinkKind");

// Without CTS nothing holds the host back, so a block must fit what the
// controller takes in unpaced.
constexpr uint32_t kSerialNoCtsBlockSize = 64;

const LinkOps* OpsOf(LinkKind kind) {
  auto index = static_cast<uint32_t>(kind);
  return index < std::size(kLinkOps) ? &kLinkOps[index] : nullptr;
}

uint32_t MaxBlockSizeOf(LinkKind kind) { return OpsOf(kind)->maxBlockSize; }

bool OpenByKind(std::string_view portName, int32_t baudRate, bool noCts, LinkKind kind) {
  switch (kind) {
    case LinkKind::Serial:
      LinkState.serialNoCts = noCts;
      if (!SerialOpen(portName, baudRate, noCts)) return false;
      LinkState.maxBlockSize = noCts ? kSerialNoCtsBlockSize : MaxBlockSizeOf(LinkKind::Serial);
      return true;
    case LinkKind::UsbHid:
    case LinkKind::UsbWinUsb:
      if (WinUsbOpen()) {
        LinkState.maxBlockSize = MaxBlockSizeOf(LinkKind::UsbWinUsb);
        LinkState.kind = LinkKind::UsbWinUsb;
        LinkState.isSerial = false;
        return true;
      }
      LinkState.maxBlockSize = MaxBlockSizeOf(LinkKind::UsbHid);
      if (!HidOpen()) return false;
      LinkState.kind = LinkKind::UsbHid;
      LinkState.isSerial = false;
      return true;
    case LinkKind::Ethernet:
      LinkState.maxBlockSize = MaxBlockSizeOf(LinkKind::Ethernet);
      if (!EthOpen()) return false;
      LinkState.isSerial = false;
      return true;
  }
  return false;
}

}  // namespace

int LinkOpen(std::string_view portName, int32_t baudRate, bool noCts, LinkKind kind) {
  if (LinkState.isOpen) return SetLastStatus(kStatusLinkAlreadyOpen);
  LinkState.kind = kind;
  if (!OpenByKind(portName, baudRate, noCts, kind)) return 0;
  LinkState.isOpen = true;
  LinkSetTimeouts(kStandingReceiveMs, kStandingSendMs);
  return 1;
}

int LinkClose() {
  if (!LinkState.isOpen) return SetLastStatus(kStatusLinkAlreadyClosed);
  const LinkOps* ops = OpsOf(LinkState.kind);
  if (ops == nullptr) return 0;
  // The run closes the link once; clearing the flag keeps a stray second
  // close from reaching a link that is already shut.
  LinkState.isOpen = false;
  return ops->close();
}

int LinkSend(const uint8_t* bytes, uint32_t count) {
  const LinkOps* ops = OpsOf(LinkState.kind);
  return ops ? ops->send(bytes, count) : 0;
}

int LinkReceiveByte(uint8_t* byte) {
  const LinkOps* ops = OpsOf(LinkState.kind);
  return ops ? ops->receiveByte(byte) : 0;
}

int LinkSetTimeouts(uint32_t receiveMs, uint32_t sendMs) {
  const LinkOps* ops = OpsOf(LinkState.kind);
  return ops ? ops->setTimeouts(receiveMs, sendMs) : 0;
}

int LinkSetRate(int32_t baudRate) {
  if (!LinkState.isOpen) return SetLastStatus(kStatusLinkNotOpen);
  const LinkOps* ops = OpsOf(LinkState.kind);
  if (!LinkState.isSerial || ops == nullptr || ops->setRate == nullptr)
    return SetLastStatus(kStatusLinkNotSerial);
  return ops->setRate(baudRate);
}

void ResetLinkState() { LinkState = LinkStateRecord{}; }
