// Start-up of the socket layer and the search for the one free controller
// by UDP broadcast.
#include <cstring>
#include <span>

#include "base/status.h"
#include "link/ethernet/eth_link.h"
#include "link/ethernet/eth_state.h"

EthernetStateRecord EthernetState;

namespace {

const EthSocketApi* gApi = &kSystemEthSocket;

}  // namespace

const EthSocketApi& EthApi() { return *gApi; }

void InstallEthSocketApi(const EthSocketApi* api) { gApi = api ? api : &kSystemEthSocket; }

void ResetEthernetState() { EthernetState = EthernetStateRecord{}; }

int EthStartup() {
  // A second "-eth" starts again; the sockets of the first would only leak.
  if (EthernetState.udpSocket != kInvalidEthSocket) gApi->close(EthernetState.udpSocket);
  if (EthernetState.tcpSocket != kInvalidEthSocket) gApi->close(EthernetState.tcpSocket);
  EthernetState.udpSocket = kInvalidEthSocket;
  EthernetState.tcpSocket = kInvalidEthSocket;

  if (!gApi->startup()) return SetLastStatus(kStatusEthStartupFailed);
  EthernetState.udpSocket = gApi->openDatagram();
  if (EthernetState.udpSocket == kInvalidEthSocket) return SetLastStatus(kStatusEthUdpSocketFailed);
  EthernetState.tcpSocket = gApi->openStream();
  if (EthernetState.tcpSocket == kInvalidEthSocket) return SetLastStatus(kStatusEthTcpSocketFailed);
  return 1;
}

void EthCleanup() { gApi->cleanup(); }

bool ParseIpv4Address(std::string_view text, uint32_t* address) {
  uint32_t value = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text[0] != '.') return false;
      text.remove_prefix(1);
    }
    size_t digits = 0;
    uint32_t number = 0;
    while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9')
      number = number * 10 + static_cast<uint32_t>(text[digits++] - '0');
    if (digits == 0 || digits > 3 || number > 255 || (digits > 1 && text[0] == '0')) return false;
    text.remove_prefix(digits);
    value = (value << 8) | number;
  }
  if (!text.empty()) return false;
  *address = value;
  return true;
}

void SetEthDiscoveryAddress(std::string_view text) {
  EthernetStateRecord& eth = EthernetState;
  eth.discoveryTarget = DiscoveryTarget::Broadcast;
  eth.discoveryAddress = kEthBroadcastAddress;
  if (text.empty()) return;
  eth.discoveryTarget =
      ParseIpv4Address(text, &eth.discoveryAddress) ? DiscoveryTarget::Address : DiscoveryTarget::Unusable;
}

namespace {

// A reply that counts: the right length and magic, and from the address
// asked, when one was.
bool IsReply(const EthernetStateRecord& eth, int32_t got, const EthEndpoint& from, uint32_t* inUse) {
  if (got != kLongReplyLength && got != kShortReplyLength) return false;
  if (eth.discoveryTarget == DiscoveryTarget::Address && from.address != eth.discoveryAddress) return false;
  uint8_t reply[kLongReplyLength] = {};
  std::memcpy(reply, eth.receiveBuffer.data(), static_cast<size_t>(got));
  if (std::memcmp(reply, kDiscoveryRequest, sizeof kDiscoveryRequest) != 0) return false;
  std::memcpy(inUse, reply + kInUseWordOffset, sizeof *inUse);
  return true;
}

}  // namespace

int EthDiscover() {
  EthernetStateRecord& eth = EthernetState;
  // Asking no one finds no one; nothing is broadcast instead.
  if (eth.discoveryTarget == DiscoveryTarget::Unusable) return SetLastStatus(kStatusEthNoDevice);
  if (!gApi->enableBroadcast(eth.udpSocket)) return SetLastStatus(kStatusEthSocketOptionFailed);
  if (gApi->sendTo(eth.udpSocket, kDiscoveryRequest, sizeof kDiscoveryRequest,
                   EthEndpoint{eth.discoveryAddress, DiscoveryPort}) !=
      static_cast<int32_t>(sizeof kDiscoveryRequest))
    return SetLastStatus(kStatusEthBroadcastFailed);

  // Every datagram, counted or not, restarts the wait; the loop ends with a
  // quiet wait, a receive that brings nothing, or the datagram limit.
  uint32_t answered = 0;
  bool candidateInUse = false;
  for (uint32_t datagrams = 0; datagrams < kDiscoveryDatagramLimit; ++datagrams) {
    int32_t ready =
        gApi->waitReadable(eth.udpSocket, kDiscoveryWaitMs / 1000, (kDiscoveryWaitMs % 1000) * 1000);
    if (ready == 0) break;
    if (ready < 0) return SetLastStatus(kStatusEthReceiveFailed);

    EthEndpoint from{};
    int32_t fromLength = 0;
    int32_t got = gApi->receiveFrom(eth.udpSocket, eth.receiveBuffer.data(),
                                    static_cast<uint32_t>(eth.receiveBuffer.size()), &from, &fromLength);
    uint32_t inUse = 0;
    if (IsReply(eth, got, from, &inUse)) {
      ++answered;
      eth.deviceAddress = from;
      eth.deviceAddressLength = fromLength;
      candidateInUse = inUse != 0;
    }
    if (got <= 0) break;
  }

  if (answered == 0) return SetLastStatus(kStatusEthNoDevice);
  if (answered > 1) return SetLastStatus(kStatusEthSeveralDevices);
  if (candidateInUse) return SetLastStatus(kStatusEthDeviceInUse);
  return 1;
}
