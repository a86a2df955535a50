// Child processes, Ctrl-C and the console on Windows. Each pendrel starts as a
// DETACHED_PROCESS: it has no console at all, so its exit prompt finds none and
// ends at once (CREATE_NO_WINDOW would give it a hidden console to wait on).
// One reader thread per child turns its pipe into events for the main loop.
#include <windows.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "system.h"

namespace {

struct Child {
  HANDLE process = nullptr;
  HANDLE pipe = nullptr;
  std::thread reader;
};

std::mutex gLock;
std::condition_variable gWake;
std::deque<ChildEvent> gQueue;   // guarded by gLock
std::map<int, Child> gChildren;  // main thread only
int gNextChild = 0;
volatile LONG gInterrupted = 0;

void Push(ChildEvent e) {
  {
    std::lock_guard<std::mutex> hold(gLock);
    gQueue.push_back(std::move(e));
  }
  gWake.notify_one();
}

void ReadUntilEnd(int id, HANDLE pipe, HANDLE process) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    ChildEvent e;
    e.child = id;
    e.data.assign(buffer, got);
    Push(std::move(e));
  }
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  ChildEvent e;
  e.child = id;
  e.kind = ChildEvent::Kind::Ended;
  // An unhandled exception ends a process with its NTSTATUS code (0xC0000005 ...).
  if (code >= 0xC0000000u) {
    char how[48];
    std::snprintf(how, sizeof how, "exception 0x%08lX", static_cast<unsigned long>(code));
    e.crashed = true;
    e.exitCode = -1;
    e.how = how;
  } else {
    e.exitCode = static_cast<int>(code);
  }
  Push(std::move(e));
}

// One argument as the C runtime's command-line parser will read it back.
void AppendQuoted(std::string& line, const std::string& arg) {
  if (!line.empty()) line += ' ';
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
    line += arg;
    return;
  }
  line += '"';
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') line.append(backslashes * 2 + 1, '\\');
    else line.append(backslashes, '\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, '\\');
  line += '"';
}

std::string SystemText(DWORD error) {
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                           text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = '\0';
  return n > 0 ? std::string(text) : "error " + std::to_string(error);
}

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  InterlockedExchange(&gInterrupted, 1);
  gWake.notify_all();
  return TRUE;
}

}  // namespace

int StartChild(const std::vector<std::string>& argv, std::string* error) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    *error = SystemText(GetLastError());
    return -1;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                           0, nullptr);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nul;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  std::string line;
  for (const std::string& a : argv) AppendQuoted(line, a);
  PROCESS_INFORMATION pi{};
  // Children are started one at a time from this thread, and each one's write
  // end is closed right after: no child inherits another's pipe.
  BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE,
                                DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi);
  DWORD startError = GetLastError();
  CloseHandle(writeEnd);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) {
    CloseHandle(readEnd);
    *error = SystemText(startError);
    return -1;
  }
  CloseHandle(pi.hThread);
  int id = gNextChild++;
  Child& c = gChildren[id];
  c.process = pi.hProcess;
  c.pipe = readEnd;
  c.reader = std::thread(ReadUntilEnd, id, readEnd, pi.hProcess);
  return id;
}

void WaitForChildren(int timeoutMs, std::vector<ChildEvent>* events) {
  std::deque<ChildEvent> taken;
  {
    std::unique_lock<std::mutex> hold(gLock);
    gWake.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                   [] { return !gQueue.empty() || gInterrupted != 0; });
    taken.swap(gQueue);
  }
  for (ChildEvent& e : taken) {
    if (e.kind == ChildEvent::Kind::Ended) {
      auto it = gChildren.find(e.child);
      if (it != gChildren.end()) {
        it->second.reader.join();  // it has nothing left to do
        CloseHandle(it->second.pipe);
        CloseHandle(it->second.process);
        gChildren.erase(it);
      }
    }
    events->push_back(std::move(e));
  }
}

void KillChild(int child) {
  auto it = gChildren.find(child);
  if (it != gChildren.end()) TerminateProcess(it->second.process, 1);
}

// A detached child has no console to send Ctrl-C to: ending it is all there is.
void StopChild(int child) { KillChild(child); }

void InstallInterruptHandler() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool Interrupted() { return gInterrupted != 0; }

bool StdoutIsTerminal() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;
  // The live view moves the cursor with escape sequences; a console that
  // cannot take them gets plain lines.
  return SetConsoleMode(out, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */) != 0;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
}

bool FileExists(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string OwnExecutableDirectory() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return {};
  std::string p(path, n);
  size_t slash = p.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

namespace {

// "C:\\tools", "\\\\server\\share\\tools": a folder that does not depend on
// where the user stands.
bool IsAbsoluteFolder(const std::string& dir) {
  if (dir.size() >= 3 && std::isalpha(static_cast<unsigned char>(dir[0])) && dir[1] == ':')
    return dir[2] == '\\' || dir[2] == '/';
  return dir.rfind("\\\\", 0) == 0;
}

}  // namespace

// PATH's folders only: SearchPathA would look in the program's folder and the
// current folder too, and run a pendrel.exe someone put where the user stands.
std::string FindOnPath(const std::string& name) {
  std::string path(GetEnvironmentVariableA("PATH", nullptr, 0), '\0');
  const DWORD length = GetEnvironmentVariableA("PATH", path.data(), static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  for (size_t start = 0; start < path.size();) {
    size_t end = path.find(';', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (dir.size() >= 2 && dir.front() == '"' && dir.back() == '"') dir = dir.substr(1, dir.size() - 2);
    start = end + 1;
    if (!IsAbsoluteFolder(dir)) continue;
    std::string candidate = dir + (dir.back() == '\\' || dir.back() == '/' ? "" : "\\") + name;
    if (FileExists(candidate)) return candidate;
  }
  return {};
}

std::string PendrelProgramName() { return "pendrel.exe"; }

double MonotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string UtcTimestamp() {
  SYSTEMTIME t;
  GetSystemTime(&t);
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay, t.wHour,
                t.wMinute, t.wSecond, t.wMilliseconds);
  return text;
}
