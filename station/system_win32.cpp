// Child processes, console control, the image copy and the console on
// Windows. Each pendrel starts as a DETACHED_PROCESS: it has no console at
// all, so its exit prompt finds none and ends at once (CREATE_NO_WINDOW would
// give it a hidden console to wait on). One reader thread per child turns its
// pipe into events for the main loop. Every child is in a job object that
// kills it when the station's handle closes, however the station ends.
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "system.h"
#include "unit_name.h"

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
HANDLE gJob = nullptr;
HANDLE gHandled = nullptr;  // set once the children are ended and recorded
HANDLE gImageCopy = INVALID_HANDLE_VALUE;
std::string gImageCopyPath;

// Windows ends a process 5 s after its close, log-off or shut-down handler
// starts; the records must be out before.
constexpr DWORD kHandOverMs = 4000;

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

std::string UpperName(const std::string& entry) {
  std::string name = entry.substr(0, entry.find('=', 1));
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

// The child's environment block: ours with the edits, sorted by name without
// case as Windows keeps it, each entry ended by a NUL, and one NUL more.
std::string EnvironmentBlock(const std::vector<std::string>& edits) {
  std::vector<std::string> current;
  if (char* block = GetEnvironmentStringsA()) {
    for (const char* p = block; *p; p += std::strlen(p) + 1) current.emplace_back(p);
    FreeEnvironmentStringsA(block);
  }
  std::vector<std::string> env = EditEnvironment(current, edits, true);
  std::stable_sort(env.begin(), env.end(),
                   [](const std::string& a, const std::string& b) { return UpperName(a) < UpperName(b); });
  std::string out;
  for (const std::string& e : env) out += e + '\0';
  if (env.empty()) out += '\0';
  return out + '\0';
}

// Standard input from `in`, output and error into `out`.
STARTUPINFOA StandardHandles(HANDLE in, HANDLE out) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = out;
  return si;
}

// Runs on a thread of its own. The main loop ends the children and writes
// their records; for a close, log-off or shut-down Windows ends the station
// when this returns, so it waits for that (bounded), for every event alike.
BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: break;
    default: return FALSE;
  }
  {
    std::lock_guard<std::mutex> hold(gLock);
    InterlockedExchange(&gInterrupted, 1);
  }
  gWake.notify_all();
  if (gHandled != nullptr) WaitForSingleObject(gHandled, kHandOverMs);
  return TRUE;
}

// A console program that loads user32, as SetupAPI does, is sent no log-off
// or shut-down event; a hidden top-level window of its own is sent the end
// of the session instead, and answers it as the console handler would.
LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_QUERYENDSESSION) return TRUE;
  if (message != WM_ENDSESSION) return DefWindowProcA(window, message, wParam, lParam);
  if (wParam) OnConsoleControl(CTRL_LOGOFF_EVENT);
  return 0;
}

void WatchSessionEnd() {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = OnSessionMessage;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "pendrel-station-session";
  if (RegisterClassA(&windowClass) == 0) return;
  // Never shown; not a message-only window, which the session's end does not reach.
  HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
  if (window == nullptr) return;
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
}

// Kills every process in it when its last handle, ours, closes: also when the
// station is terminated. Not inheritable, so no child holds it open.
HANDLE Job() {
  if (gJob != nullptr) return gJob;
  gJob = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (gJob != nullptr)
    SetInformationJobObject(gJob, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return gJob;
}

struct Sha256State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~Sha256State() {
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  bool Start() {
    return BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
           BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
  }
  bool Add(const void* data, size_t size) {
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    for (size_t done = 0; done < size;) {
      ULONG piece = static_cast<ULONG>(size - done > (1u << 30) ? (1u << 30) : size - done);
      if (BCryptHashData(hash, bytes + done, piece, 0) < 0) return false;
      done += piece;
    }
    return true;
  }
  std::string Hex() {
    UCHAR digest[32];
    if (BCryptFinishHash(hash, digest, sizeof digest, 0) < 0) return {};
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (UCHAR b : digest) {
      hex += kDigits[b >> 4];
      hex += kDigits[b & 15];
    }
    return hex;
  }
};

// Copies `in` into `out` from the current positions; the byte count, or -1.
int64_t CopyAll(HANDLE in, HANDLE out) {
  std::vector<char> buffer(1 << 20);
  int64_t total = 0;
  DWORD got = 0, put = 0;
  while (ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
    if (got == 0) return total;
    if (!WriteFile(out, buffer.data(), got, &put, nullptr) || put != got) return -1;
    total += got;
  }
  return -1;
}

// The SHA-256 of the file from its start.
std::string DigestOfFile(HANDLE file) {
  Sha256State sha;
  if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !sha.Start()) return {};
  std::vector<char> buffer(1 << 20);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return {};
    if (got == 0) return sha.Hex();
    if (!sha.Add(buffer.data(), got)) return {};
  }
}

}  // namespace

int StartChild(const std::vector<std::string>& argv, const std::vector<std::string>& envEdits,
               std::string* error) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    *error = SystemText(GetLastError());
    return -1;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                           0, nullptr);
  STARTUPINFOA si = StandardHandles(nul, writeEnd);
  std::string line;
  for (const std::string& a : argv) AppendQuoted(line, a);
  std::string environment = EnvironmentBlock(envEdits);
  PROCESS_INFORMATION pi{};
  // Children are started one at a time from this thread, and each one's write
  // end is closed right after: no child inherits another's pipe. Suspended
  // until it is in the job, so it runs nothing outside it. No breakaway: a
  // job the station itself runs in (a service manager's, a CI runner's) keeps
  // its say over the children; jobs nest from Windows 8 on.
  HANDLE job = Job();
  BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE,
                                DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED,
                                environment.data(), nullptr, &si, &pi);
  DWORD startError = GetLastError();
  CloseHandle(writeEnd);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) {
    CloseHandle(readEnd);
    *error = SystemText(startError);
    return -1;
  }
  // Should the job refuse it (an older Windows inside another job), the
  // child still runs: the station's own ending of its children remains.
  if (job != nullptr) AssignProcessToJobObject(job, pi.hProcess);
  ResumeThread(pi.hThread);
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

void InstallInterruptHandler() {
  if (gHandled != nullptr) return;
  gHandled = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void ListenForSessionEnd() {
  // Called once, as the run begins. It lives as long as the station and holds nothing to release.
  std::thread(WatchSessionEnd).detach();
}

bool Interrupted() { return gInterrupted != 0; }

void InterruptHandled() {
  if (gHandled != nullptr) SetEvent(gHandled);
}

namespace {

// The image copies' own folder in %TEMP%. A station that was terminated
// could not delete its copy; the next one does: a copy a running station
// holds cannot be deleted (it shares no delete), so only leftovers go.
std::string CopyFolder() {
  char temp[MAX_PATH];
  DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n >= sizeof temp) return {};
  std::string dir = std::string(temp) + "pendrel-station";
  if (!CreateDirectoryA(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return {};
  WIN32_FIND_DATAA found;
  HANDLE walk = FindFirstFileA((dir + "\\pst*.tmp").c_str(), &found);
  if (walk != INVALID_HANDLE_VALUE) {
    do DeleteFileA((dir + "\\" + found.cFileName).c_str());
    while (FindNextFileA(walk, &found));
    FindClose(walk);
  }
  return dir;
}

}  // namespace

bool MakeImageCopy(const std::string& image, ImageCopy* copy, std::string* error) {
  HANDLE in = CreateFileA(image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (in == INVALID_HANDLE_VALUE) {
    *error = image + ": " + SystemText(GetLastError());
    return false;
  }
  std::string dir = CopyFolder();
  char name[MAX_PATH];
  HANDLE out = INVALID_HANDLE_VALUE;
  // Others may read it (every pendrel does) but neither write, rename nor delete it while we hold it.
  if (!dir.empty() && GetTempFileNameA(dir.c_str(), "pst", 0, name) != 0)
    out = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_TEMPORARY, nullptr);
  int64_t size = out == INVALID_HANDLE_VALUE ? -1 : CopyAll(in, out);
  DWORD why = GetLastError();
  CloseHandle(in);
  std::string sha = size < 0 ? std::string() : DigestOfFile(out);
  if (sha.empty()) {
    *error = "the image's copy: " + (size < 0 ? SystemText(why) : std::string("SHA-256 failed"));
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (!dir.empty()) DeleteFileA(name);
    return false;
  }
  gImageCopy = out;
  gImageCopyPath = name;
  copy->path = name;
  copy->size = static_cast<uint64_t>(size);
  copy->sha256 = sha;
  return true;
}

void RemoveImageCopy() {
  if (gImageCopy == INVALID_HANDLE_VALUE) return;
  CloseHandle(gImageCopy);
  DeleteFileA(gImageCopyPath.c_str());
  gImageCopy = INVALID_HANDLE_VALUE;
}

std::string Sha256Hex(std::string_view data) {
  Sha256State sha;
  if (!sha.Start() || !sha.Add(data.data(), data.size())) return {};
  return sha.Hex();
}

std::string Utf8FromSystemText(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return text;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return text;
  std::string utf8(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, utf8.data(), m, nullptr, nullptr);
  return utf8;
}

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
