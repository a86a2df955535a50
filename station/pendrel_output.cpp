#include "pendrel_output.h"

#include <cstdlib>

#include "base/status.h"

namespace {

constexpr std::string_view kProgramming = "Programming application data: ";
constexpr std::string_view kTotal = "Total size is ";
constexpr std::string_view kPrompt = "Press any key to exit program";

// The endings pendrel puts on the programming line after " - Ok".
struct WriteEnding {
  std::string_view suffix;
  const char* message;  // nullptr: the run went on
};
constexpr WriteEnding kWriteEndings[] = {
    {" - Ok - Verifying - Ok", nullptr},
    {" - Ok - Verifying - Verify error", "Verify error"},
    {" - Ok - Flushing error", "Flushing error"},
    {" - Ok", nullptr},
};

// The lines pendrel prints when it gives up, besides its status table: a
// first line that is one of them is not the controller's identification.
constexpr std::string_view kRunTexts[] = {
    "No or invalid response from Talo device",
    "Unable to reboot the Talo device",
    "Unknown error",
};

bool IsPendrelStatusText(std::string_view line) {
  for (std::string_view t : kRunTexts)
    if (line == t) return true;
  for (const StatusEntry* e = StatusTable; e->code >= 0; ++e)
    if (line == e->message) return true;
  return false;
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool EndsWith(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

long NumberBefore(std::string_view s, size_t end) {
  size_t start = end;
  while (start > 0 && s[start - 1] >= '0' && s[start - 1] <= '9') --start;
  if (start == end) return -1;
  return std::strtol(std::string(s.substr(start, end - start)).c_str(), nullptr, 10);
}

constexpr std::string_view kBannerStart = "Pendrel ";
constexpr std::string_view kBannerEnd = " - Loads raw flash data files";

bool IsBanner(std::string_view line) {
  return StartsWith(line, kBannerStart) && line.find(kBannerEnd) != std::string_view::npos;
}

// "Pendrel VX.YY - Loads ..." -> "X.YY"
std::string BannerVersion(std::string_view line) {
  std::string_view v = line.substr(kBannerStart.size(), line.find(kBannerEnd) - kBannerStart.size());
  if (StartsWith(v, "V")) v.remove_prefix(1);
  return std::string(v);
}

void ConfirmIdentification(PendrelOutput& o, OutputNews& news) {
  if (o.identified || o.firstLine.empty()) return;
  o.identification = o.firstLine;
  o.identified = true;
  news.identified = true;
}

// The partial programming line: "...Total size is NkB" then, after the
// backspaces, "XkB (P%) of NkB written".
void ReadProgress(PendrelOutput& o, OutputNews& news) {
  std::string_view l = o.line;
  size_t of = l.rfind("%) of ");
  if (of != std::string_view::npos) {
    size_t open = l.rfind("kB (", of);
    if (open == std::string_view::npos) return;
    long kb = NumberBefore(l, open);
    long pct = NumberBefore(l, of);
    long total = std::strtol(std::string(l.substr(of + 6)).c_str(), nullptr, 10);
    if (kb < 0 || pct < 0) return;
    if (kb != o.writtenKb || pct != o.percent) news.progressed = true;
    o.writtenKb = kb;
    o.percent = pct;
    o.totalKb = total;
    return;
  }
  size_t t = l.find(kTotal);
  if (t != std::string_view::npos && o.totalKb < 0) {
    size_t kbEnd = l.find("kB", t);
    if (kbEnd != std::string_view::npos) o.totalKb = NumberBefore(l, kbEnd);
  }
}

// The programming line has begun: the line before it was the identification.
void NoticeWriting(PendrelOutput& o, OutputNews& news) {
  if (!o.bannerSeen || !StartsWith(o.line, kProgramming)) return;
  if (!o.writing) {
    ConfirmIdentification(o, news);
    o.writing = true;
    news.writeStarted = true;
  }
  ReadProgress(o, news);
}

void CompleteLine(PendrelOutput& o, OutputNews& news) {
  // A whole run can come in one piece: the line's end may follow its last redraw at once.
  NoticeWriting(o, news);
  std::string line = std::move(o.line);
  o.line.clear();
  if (!o.bannerSeen) {
    if (IsBanner(line)) {
      o.bannerSeen = true;
      o.version = BannerVersion(line);
    } else if (!line.empty()) o.messages.push_back(line);  // not pendrel's banner: keep it as said
    return;
  }
  if (line.empty() || (StartsWith(line, "Copyright") && o.firstLine.empty() && !o.writing)) return;
  if (o.writing && StartsWith(line, kProgramming)) {
    for (const WriteEnding& e : kWriteEndings) {
      if (!EndsWith(line, e.suffix)) continue;
      if (e.message) o.messages.push_back(e.message);
      else o.writeOk = true;
      break;
    }
    return;
  }
  if (!o.identified && o.firstLine.empty() && o.messages.empty()) {
    // A status text there is why the link could not be opened or did not
    // answer (a system text may follow on the next line); anything else is
    // what the controller calls itself.
    if (IsPendrelStatusText(line)) o.messages.push_back(line);
    else o.firstLine = line;
    ConfirmIdentification(o, news);
    return;
  }
  ConfirmIdentification(o, news);
  o.messages.push_back(line);
}

}  // namespace

OutputNews FeedPendrelOutput(PendrelOutput& o, std::string_view bytes) {
  OutputNews news;
  for (char c : bytes) {
    if (o.carriageReturn) {
      o.carriageReturn = false;
      if (c != '\n') o.line.clear();  // a bare "\r" redraws the line from its start
    }
    if (c == '\r') {
      o.carriageReturn = true;
    } else if (c == '\n') {
      CompleteLine(o, news);
    } else if (c == '\b') {
      if (!o.line.empty()) o.line.pop_back();
    } else {
      o.line += c;
    }
  }
  NoticeWriting(o, news);
  return news;
}

void EndPendrelOutput(PendrelOutput& o) {
  if (o.carriageReturn) o.carriageReturn = false;
  if (!o.line.empty() && o.line != kPrompt) {
    OutputNews ignored;
    CompleteLine(o, ignored);
  }
  o.line.clear();
  // A failure text we did not know, taken for the identification: with
  // nothing after it, it is the only reason given.
  if (o.identified && !o.writing && o.messages.empty()) o.messages.push_back(o.identification);
}

std::string FailureText(const PendrelOutput& o) {
  std::string text;
  for (const std::string& m : o.messages) {
    if (!text.empty()) text += ": ";
    text += m;
  }
  return text;
}
