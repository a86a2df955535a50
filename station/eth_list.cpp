#include "eth_list.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/syserror.h"
#include "link/ethernet/eth_state.h"
#include "unit_name.h"

namespace {

std::string Failed(const char* what) {
  uint32_t code = CaptureSocketError();
  char text[256];
  std::string reason = what;
  if (SystemErrorText(code, text, sizeof text) > 0) reason += std::string(": ") + text;
  return reason;
}

// A reply as pendrel's discovery counts it: either length, the request's
// magic first; a short reply has no in-use word and counts as free.
bool ReadReply(const uint8_t* bytes, int32_t length, bool* inUse) {
  if (length != kLongReplyLength && length != kShortReplyLength) return false;
  if (std::memcmp(bytes, kDiscoveryRequest, sizeof kDiscoveryRequest) != 0) return false;
  uint32_t word = 0;
  if (length == kLongReplyLength) std::memcpy(&word, bytes + kInUseWordOffset, sizeof word);
  *inUse = word != 0;
  return true;
}

void Note(std::vector<EthController>* found, uint32_t address, bool inUse) {
  for (EthController& c : *found) {
    if (c.address != address) continue;
    c.inUse = c.inUse || inUse;  // a controller that answers twice is one controller
    return;
  }
  found->push_back({address, inUse});
}

bool Collect(const EthSocketApi& api, EthSocket s, std::vector<EthController>* found, std::string* error) {
  if (!api.enableBroadcast(s)) {
    *error = Failed("cannot allow broadcasts on the UDP socket");
    return false;
  }
  if (api.sendTo(s, kDiscoveryRequest, sizeof kDiscoveryRequest, {kEthBroadcastAddress, DiscoveryPort}) !=
      static_cast<int32_t>(sizeof kDiscoveryRequest)) {
    *error = Failed("the discovery broadcast could not be sent");
    return false;
  }
  std::array<uint8_t, kEthReceiveBufferSize> buffer{};
  // Bounded as pendrel's discovery is: a network that never falls quiet ends it too.
  for (uint32_t datagrams = 0; datagrams < kDiscoveryDatagramLimit; ++datagrams) {
    int32_t ready = api.waitReadable(s, kDiscoveryWaitMs / 1000, (kDiscoveryWaitMs % 1000) * 1000);
    if (ready == 0) break;
    if (ready < 0) {
      *error = Failed("waiting for discovery replies failed");
      return false;
    }
    EthEndpoint from{};
    int32_t fromLength = 0;
    // A datagram that cannot be read (too long, say) is passed over: others may follow.
    int32_t got = api.receiveFrom(s, buffer.data(), static_cast<uint32_t>(buffer.size()), &from, &fromLength);
    bool inUse = false;
    if (got > 0 && ReadReply(buffer.data(), got, &inUse)) Note(found, from.address, inUse);
  }
  return true;
}

}  // namespace

bool DiscoverEthControllers(const EthSocketApi& api, std::vector<EthController>* found, std::string* error) {
  if (!api.startup()) {
    *error = Failed("cannot start the socket layer");
    return false;
  }
  EthSocket s = api.openDatagram();
  bool ok = s != kInvalidEthSocket;
  if (!ok) *error = Failed("cannot open a UDP socket");
  else ok = Collect(api, s, found, error);
  if (s != kInvalidEthSocket) api.close(s);
  api.cleanup();
  std::sort(found->begin(), found->end(),
            [](const EthController& a, const EthController& b) { return a.address < b.address; });
  return ok;
}

std::string EthListLine(const EthController& c) {
  return "eth  eth:" + FormatIpv4(c.address) + (c.inUse ? "  in use" : "  free");
}
