// talo-sim ethernet: the controller on the network.
//
// Answers the discovery broadcast ("zarn" to UDP 3005) from a socket bound
// to the same port number as the TCP listener, so the host connects where
// the reply came from; greets or challenges each new connection, checks the
// login answer with the programmer's own MD5 and CRC-32, and then hands the
// connection's bytes to the command engine. One connection at a time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "frontends.h"
#include "link/ethernet/eth_digest.h"
#include "options.h"
#include "report.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kDiscoveryPort = 3005;
constexpr uint16_t kDefaultTcpPort = 3006;
constexpr int kPollMs = 50;
constexpr int kRebootDrainMs = 2000;  // time the host gets to read the reboot's ACK and close
constexpr size_t kLongReply = 54;
constexpr size_t kShortReply = 46;
constexpr size_t kChallengeBytes = 16;

volatile std::sig_atomic_t gStopSignal = 0;

// Every byte each way on the TCP connections, login included: the
// benchmarks check with them that two hosts moved the same bytes.
struct TcpTotals {
  uint64_t fromHost = 0;
  uint64_t toHost = 0;
};
TcpTotals gTcpTotals;
void OnStopSignal(int signal) { gStopSignal = signal; }

enum class ReplyForm { Long, Short, None };

struct EthernetOptions {
  FrontEndOptions common;
  std::string bindAddress = "0.0.0.0";
  uint16_t tcpPort = kDefaultTcpPort;
  ReplyForm reply = ReplyForm::Long;
  uint32_t inUse = 0;
  bool answerTwice = false;
  bool garbageDatagram = false;
  bool oversizeDatagram = false;
  bool closeDuringLogin = false;
  bool silentLogin = false;
  bool pace = false;       // each reply waits out the controller's modelled time
  bool challenge = false;  // set by --password or --method
  std::string password;
  uint32_t method = 3;
};

void PrintUsage() {
  std::printf(
      "usage: talo-sim ethernet [options]\n"
      "  --bind ADDR           address of the TCP listener and the reply socket (default 0.0.0.0)\n"
      "  --tcp-port N          port of both (default %u); discovery stays on UDP %u\n"
      "  --reply long|short|none  discovery reply form (default long, 54 bytes; short 46)\n"
      "  --in-use N            in-use word of the long reply (default 0: free)\n"
      "  --answer-twice        send the discovery reply twice\n"
      "  --garbage-datagram    before the reply, a 54-byte datagram without the magic\n"
      "                        and a 50-byte one with it\n"
      "  --oversize-datagram   before the reply, a 300-byte datagram with the magic\n"
      "  --password P          challenge every connection; P is the right password\n"
      "  --method N            login method of the challenge, 0..255 (default 3)\n"
      "  --close-during-login  close each connection at once after accepting it\n"
      "  --silent-login        send nothing on a new connection\n"
      "  --pace                send each reply no sooner than the controller's modelled\n"
      "                        time for the command allows (for benchmarks)\n",
      kDefaultTcpPort, kDiscoveryPort);
  PrintCommonOptionsUsage();
}

bool ParseNumber(std::string_view text, uint32_t& value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

constexpr FlagOption<EthernetOptions> kFlags[] = {
    {"--answer-twice", &EthernetOptions::answerTwice},
    {"--garbage-datagram", &EthernetOptions::garbageDatagram},
    {"--oversize-datagram", &EthernetOptions::oversizeDatagram},
    {"--close-during-login", &EthernetOptions::closeDuringLogin},
    {"--silent-login", &EthernetOptions::silentLogin},
    {"--pace", &EthernetOptions::pace},
};

constexpr NamedValue<ReplyForm> kReplyForms[] = {
    {"long", ReplyForm::Long},
    {"short", ReplyForm::Short},
    {"none", ReplyForm::None},
};

std::string SetBind(std::string_view value, EthernetOptions& options) {
  in_addr address{};
  if (inet_pton(AF_INET, std::string(value).c_str(), &address) != 1) return "an IPv4 address";
  options.bindAddress = std::string(value);
  return "";
}

std::string SetTcpPort(std::string_view value, EthernetOptions& options) {
  uint32_t number = 0;
  if (!ParseNumber(value, number) || number == 0 || number > 0xFFFF || number == kDiscoveryPort)
    return "a port from 1 to 65535 other than 3005";
  options.tcpPort = static_cast<uint16_t>(number);
  return "";
}

std::string SetReply(std::string_view value, EthernetOptions& options) {
  if (!FindNamedValue<ReplyForm>(kReplyForms, value, options.reply)) return "long, short or none";
  return "";
}

std::string SetInUse(std::string_view value, EthernetOptions& options) {
  uint32_t number = 0;
  if (!ParseNumber(value, number)) return "a 32-bit number";
  options.inUse = number;
  return "";
}

std::string SetPassword(std::string_view value, EthernetOptions& options) {
  if (value.size() > 16) return "at most 16 characters";
  options.password = std::string(value);
  options.challenge = true;
  return "";
}

std::string SetMethod(std::string_view value, EthernetOptions& options) {
  uint32_t number = 0;
  if (!ParseNumber(value, number) || number > 255) return "a number from 0 to 255";
  options.method = number;
  options.challenge = true;
  return "";
}

constexpr ValuedOption<EthernetOptions> kValued[] = {
    {"--bind", SetBind},    {"--tcp-port", SetTcpPort},  {"--reply", SetReply},
    {"--in-use", SetInUse}, {"--password", SetPassword}, {"--method", SetMethod},
};

// 0: parsed; 3: help shown; otherwise the exit code.
int ParseEthernetOptions(int argc, char** argv, EthernetOptions& options) {
  for (int i = 0; i < argc;) {
    std::string_view arg = argv[i];
    switch (ParseCommonOption(argc, argv, i, options.common)) {
      case OptionParse::Taken: continue;
      case OptionParse::Bad: return 2;
      case OptionParse::NotMine: break;
    }
    if (arg == "--help" || arg == "-h") {
      PrintUsage();
      return 3;
    }
    switch (ParseTableOption<EthernetOptions>(argc, argv, i, kFlags, kValued, options)) {
      case OptionParse::Taken: continue;
      case OptionParse::Bad: return 2;
      case OptionParse::NotMine: break;
    }
    std::printf("talo-sim: unknown ethernet option %s\n", argv[i]);
    PrintUsage();
    return 2;
  }
  return 0;
}

// A socket descriptor closed at scope end.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  void Reset(int f = -1) {
    if (fd >= 0) ::close(fd);
    fd = f;
  }
  bool Valid() const { return fd >= 0; }
};

bool BindSocket(Fd& socket, int type, const std::string& address, uint16_t port, bool shared) {
  socket.Reset(::socket(AF_INET, type, 0));
  if (!socket.Valid()) return false;
  int one = 1;
  // Several simulated controllers may listen for the broadcast side by side.
  if (shared) setsockopt(socket.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (type == SOCK_STREAM) setsockopt(socket.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return ::bind(socket.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

std::string EndpointText(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

// The reply's controller data (bytes 4 to 45): the model name and a made-up
// hardware address; the programmer reads neither.
std::vector<uint8_t> DiscoveryReply(const EthernetOptions& options) {
  std::vector<uint8_t> reply(options.reply == ReplyForm::Short ? kShortReply : kLongReply, 0);
  std::memcpy(reply.data(), "zarn", 4);
  const std::string& model = options.common.config.model;
  std::memcpy(reply.data() + 4, model.data(), std::min<size_t>(model.size(), 20));
  const uint8_t mac[6] = {0x02, 0x00, 0x54, 0x41, 0x4C, 0x4F};
  std::memcpy(reply.data() + 24, mac, sizeof mac);
  if (reply.size() == kLongReply) {
    for (int i = 0; i < 4; ++i) reply[50 + i] = static_cast<uint8_t>(options.inUse >> (24 - 8 * i));
  }
  return reply;
}

void AnswerDiscovery(int listenFd, int replyFd, const EthernetOptions& options, SimReport& report) {
  uint8_t request[512];
  sockaddr_in from{};
  socklen_t length = sizeof from;
  ssize_t got = recvfrom(listenFd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (got < 0) return;
  std::string sender = EndpointText(from);
  if (got != 4 || std::memcmp(request, "zarn", 4) != 0) {
    ReportEvent(report, "discovery-ignored", "\"from\":" + JsonString(sender), "");
    return;
  }
  ReportEvent(report, "discovery", "\"from\":" + JsonString(sender), "discovery request from " + sender);

  std::vector<std::vector<uint8_t>> datagrams;
  if (options.garbageDatagram) {
    std::vector<uint8_t> badMagic(kLongReply, 0);
    std::memcpy(badMagic.data(), "ZARN", 4);
    std::vector<uint8_t> badLength(50, 0);
    std::memcpy(badLength.data(), "zarn", 4);
    datagrams.push_back(badMagic);
    datagrams.push_back(badLength);
  }
  if (options.oversizeDatagram) {
    std::vector<uint8_t> oversize(300, 0);
    std::memcpy(oversize.data(), "zarn", 4);
    datagrams.push_back(oversize);
  }
  if (options.reply != ReplyForm::None) {
    datagrams.push_back(DiscoveryReply(options));
    if (options.answerTwice) datagrams.push_back(DiscoveryReply(options));
  }
  for (const std::vector<uint8_t>& d : datagrams) {
    sendto(replyFd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    ReportEvent(report, "discovery-reply", "\"bytes\":" + std::to_string(d.size()), "");
  }
}

enum class ConnectionState { Login, AwaitAnswer, Serving, Silent };

struct Connection {
  Fd socket;
  ConnectionState state = ConnectionState::Login;
  std::array<uint8_t, kChallengeBytes> challenge{};
  std::vector<uint8_t> answer;  // unescaped login answer so far
  bool pendingAa = false;       // an AA whose partner has not come yet
};

bool SendAll(int fd, const uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::send(fd, bytes + done, count - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
    gTcpTotals.toHost += static_cast<uint64_t>(n);
  }
  return true;
}

// The payload the programmer must send for the challenge; for methods we do
// not know, the header alone.
std::vector<uint8_t> ExpectedAnswer(const EthernetOptions& options, const Connection& c) {
  std::vector<uint8_t> expected{0xAA, 0x24, static_cast<uint8_t>(options.method)};
  std::vector<uint8_t> input(c.challenge.begin(), c.challenge.end());
  input.insert(input.end(), options.password.begin(), options.password.end());
  switch (options.method) {
    case 1:
      expected.insert(expected.end(), options.password.begin(), options.password.end());
      expected.push_back(0);
      break;
    case 2: {
      uint32_t crc = Crc32(input);
      for (int i = 0; i < 4; ++i) expected.push_back(static_cast<uint8_t>(crc >> (8 * i)));
      break;
    }
    case 3: {
      Md5Value digest = Md5(input);
      expected.insert(expected.end(), digest.begin(), digest.end());
      break;
    }
    default: break;
  }
  return expected;
}

void StartLogin(Connection& c, const EthernetOptions& options, SimReport& report, std::mt19937& random) {
  if (options.silentLogin) {
    c.state = ConnectionState::Silent;
    ReportEvent(report, "login", "\"step\":\"silent\"", "login: staying silent");
    return;
  }
  if (!options.challenge) {
    const uint8_t greeting[2] = {0x23, 0x06};
    SendAll(c.socket.fd, greeting, sizeof greeting);
    c.state = ConnectionState::Serving;
    ReportEvent(report, "login", "\"step\":\"greeting\"", "login: greeting, no password");
    return;
  }
  for (uint8_t& b : c.challenge) b = static_cast<uint8_t>(random());
  uint8_t block[2 + kChallengeBytes] = {0x24, static_cast<uint8_t>(options.method)};
  std::memcpy(block + 2, c.challenge.data(), kChallengeBytes);
  SendAll(c.socket.fd, block, sizeof block);
  c.state = ConnectionState::AwaitAnswer;
  ReportEvent(report, "login",
              "\"step\":\"challenge\",\"method\":" + std::to_string(options.method) + ",\"challenge\":\"" +
                  HexBytes(c.challenge.data(), kChallengeBytes) + "\"",
              "login: challenge, method " + std::to_string(options.method));
}

// Takes login-answer bytes; returns how many of `bytes` it used (the rest
// belong to the engine), and sets the verdict once the answer is complete:
// 1 accepted, -1 rejected, 0 still incomplete.
size_t TakeAnswer(Connection& c, const std::vector<uint8_t>& expected, const uint8_t* bytes, size_t count,
                  int& verdict) {
  verdict = 0;
  size_t used = 0;
  while (used < count && c.answer.size() < expected.size()) {
    uint8_t b = bytes[used++];
    // The three header bytes come as they are; the payload's AA is doubled.
    if (c.answer.size() < 3 || b != 0xAA) {
      if (c.pendingAa) {  // an AA not followed by its double
        verdict = -1;
        return used;
      }
      c.answer.push_back(b);
    } else if (c.pendingAa) {
      c.pendingAa = false;
      c.answer.push_back(0xAA);
    } else {
      c.pendingAa = true;
    }
    if (c.answer.back() != expected[c.answer.size() - 1] && !c.pendingAa) {
      verdict = -1;
      return used;
    }
  }
  if (c.answer.size() == expected.size()) verdict = 1;
  return used;
}

struct ServeResult {
  bool connectionOver = false;
  bool rebooted = false;
};

ServeResult ServeBytes(Connection& c, const uint8_t* bytes, size_t count, const EthernetOptions& options,
                       sim::SimEngine& engine, SimReport& report) {
  ServeResult result;
  if (c.state == ConnectionState::Silent) {
    ReportEvent(report, "ignored", "\"bytes\":" + std::to_string(count), "");
    return result;
  }
  if (c.state == ConnectionState::AwaitAnswer) {
    std::vector<uint8_t> expected = ExpectedAnswer(options, c);
    int verdict = 0;
    size_t used = TakeAnswer(c, expected, bytes, count, verdict);
    bytes += used;
    count -= used;
    if (verdict < 0) {
      const uint8_t reject[1] = {0x15};
      SendAll(c.socket.fd, reject, 1);
      ReportEvent(report, "login",
                  "\"step\":\"rejected\",\"answer\":\"" + HexBytes(c.answer.data(), c.answer.size()) + "\"",
                  "login: answer rejected");
      result.connectionOver = true;
      return result;
    }
    if (verdict == 0) return result;
    const uint8_t accept[3] = {0x06, 0x23, 0x06};
    SendAll(c.socket.fd, accept, sizeof accept);
    c.state = ConnectionState::Serving;
    ReportEvent(report, "login", "\"step\":\"accepted\"", "login: answer accepted");
  }
  if (count == 0) return result;
  std::vector<uint8_t> reply;
  const auto arrived = Clock::now();
  const uint64_t busyBefore = sim::SimGetStats(engine).controllerTimeUs;
  uint32_t events = sim::SimFeed(engine, bytes, count, reply);
  if (options.pace && !reply.empty()) {
    // The network is taken as instant: only the controller's own work on the
    // command (its flash time, as the paced serial line models it) holds the
    // reply back, from the moment the command's last byte was read.
    const uint64_t busyUs = sim::SimGetStats(engine).controllerTimeUs - busyBefore;
    std::this_thread::sleep_until(arrived + std::chrono::microseconds(busyUs));
  }
  if (!reply.empty() && !SendAll(c.socket.fd, reply.data(), reply.size()))
    sim::SimNote(engine, "reply lost: the connection is gone");
  if (events & sim::kSimEventDropLink) {
    ReportEvent(report, "drop", "", "dropping the connection");
    result.connectionOver = true;
  }
  if (events & sim::kSimEventReboot) result.rebooted = true;
  return result;
}

// Takes the connection waiting on the listener: it becomes the host, and
// its login starts, unless a host is connected already.
void AcceptHost(Fd& listener, Connection& c, const EthernetOptions& options, SimReport& report,
                std::mt19937& random) {
  sockaddr_in from{};
  socklen_t length = sizeof from;
  int accepted = accept(listener.fd, reinterpret_cast<sockaddr*>(&from), &length);
  if (accepted < 0) return;
  if (c.socket.Valid()) {
    // The controller serves one host; a second one is turned away.
    ReportEvent(report, "refused", "\"from\":" + JsonString(EndpointText(from)), "");
    ::close(accepted);
    return;
  }
  c.socket.Reset(accepted);
  c.state = ConnectionState::Login;
  c.answer.clear();
  c.pendingAa = false;
  int one = 1;
  setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ReportEvent(report, "connect", "\"from\":" + JsonString(EndpointText(from)),
              "connection from " + EndpointText(from));
  if (options.closeDuringLogin) {
    ReportEvent(report, "login", "\"step\":\"closed\"", "login: closing the connection");
    c.socket.Reset();
  } else {
    StartLogin(c, options, report, random);
  }
}

std::string Serve(Fd& discovery, Fd& replySocket, Fd& listener, sim::SimEngine& engine, SimReport& report,
                  const EthernetOptions& options) {
  std::random_device seed;
  std::mt19937 random(seed());
  Connection c;
  bool rebooted = false;
  Clock::time_point rebootedAt{};
  std::vector<uint8_t> input(4096);
  auto lastByte = Clock::now();

  while (gStopSignal == 0) {
    if (rebooted && options.common.exitAfterReboot &&
        (!c.socket.Valid() || Clock::now() - rebootedAt > std::chrono::milliseconds(kRebootDrainMs)))
      return "rebooted";
    pollfd fds[3] = {{discovery.fd, POLLIN, 0}, {listener.fd, POLLIN, 0}, {c.socket.fd, POLLIN, 0}};
    int ready = poll(fds, c.socket.Valid() ? 3 : 2, kPollMs);
    if (ready < 0 && errno != EINTR) return "poll failed";
    if (ready <= 0) {
      auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastByte).count();
      sim::SimLineIdle(engine, static_cast<uint32_t>(idle));
      continue;
    }
    if (fds[0].revents & POLLIN) AnswerDiscovery(discovery.fd, replySocket.fd, options, report);
    if (fds[1].revents & POLLIN) AcceptHost(listener, c, options, report, random);
    if (c.socket.Valid() && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t got = recv(c.socket.fd, input.data(), input.size(), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ReportEvent(report, "disconnect", "", "connection closed by the host");
        c.socket.Reset();
        continue;
      }
      lastByte = Clock::now();
      gTcpTotals.fromHost += static_cast<uint64_t>(got);
      ServeResult r = ServeBytes(c, input.data(), static_cast<size_t>(got), options, engine, report);
      if (r.rebooted && !rebooted) {
        rebooted = true;
        rebootedAt = Clock::now();
      }
      if (r.connectionOver) c.socket.Reset();
    }
  }
  return "signal";
}

}  // namespace

int RunEthernetFrontEnd(int argc, char** argv) {
  EthernetOptions options;
  // This link moves blocks of up to 2048 bytes.
  options.common.config.linkMaxBlock = 2048;
  if (int code = ParseEthernetOptions(argc, argv, options); code != 0) return code == 3 ? 0 : code;

  SimReport report;
  if (!ReportOpen(report, options.common)) return 2;
  sim::SimEngine engine;
  if (!sim::SimInit(engine, options.common.config)) {
    std::printf("talo-sim: %s\n", sim::SimConfigError(engine).c_str());
    return 2;
  }

  // Broadcasts reach only a socket bound to the wildcard address.
  Fd discovery, replySocket, listener;
  if (!BindSocket(discovery, SOCK_DGRAM, "0.0.0.0", kDiscoveryPort, true)) {
    std::printf("talo-sim: cannot bind UDP port %u: %s\n", kDiscoveryPort, std::strerror(errno));
    return 2;
  }
  if (!BindSocket(replySocket, SOCK_DGRAM, options.bindAddress, options.tcpPort, false) ||
      !BindSocket(listener, SOCK_STREAM, options.bindAddress, options.tcpPort, false) ||
      listen(listener.fd, 4) != 0) {
    std::printf("talo-sim: cannot bind %s port %u: %s\n", options.bindAddress.c_str(), options.tcpPort,
                std::strerror(errno));
    return 2;
  }

  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Timer slack would make every paced wait late by up to 50 us.
  if (options.pace) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  std::printf("talo-sim: ethernet %s udp %u tcp %u\n", options.bindAddress.c_str(), kDiscoveryPort,
              options.tcpPort);
  std::fflush(stdout);
  ReportEvent(report, "start",
              "\"address\":" + JsonString(options.bindAddress) + ",\"tcpPort\":" +
                  std::to_string(options.tcpPort) + ",\"model\":" + JsonString(options.common.config.model),
              "");

  std::string reason = Serve(discovery, replySocket, listener, engine, report, options);
  report.summaryFields = "\"fromHost\":" + std::to_string(gTcpTotals.fromHost) +
                         ",\"toHost\":" + std::to_string(gTcpTotals.toHost);
  report.summaryLine = "tcp: " + std::to_string(gTcpTotals.fromHost) + " bytes from the host, " +
                       std::to_string(gTcpTotals.toHost) + " to the host";
  return ReportFinish(report, engine, options.common, reason);
}
