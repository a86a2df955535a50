// What the station needs from the operating system, one family of calls per
// group. system_posix.cpp + links_linux.cpp fill it on Linux, system_win32.cpp
// + links_win32.cpp on Windows; every decision stays in the portable files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---- child processes ----

struct ChildEvent {
  enum class Kind { Output, Ended };
  int child = -1;
  Kind kind = Kind::Output;
  std::string data;      // Output: bytes as they came
  int exitCode = 0;      // Ended
  bool crashed = false;  // Ended: killed by a signal / ended by an exception
  std::string how;       // Ended and crashed: "signal 11 (Segmentation fault)", "exception 0xC0000005"
};

// Starts argv[0] with argv, with no console or controlling terminal, standard
// input from the null device, standard output and error into one pipe, and
// the station's environment changed by `envEdits` (see EditEnvironment).
// Returns the child's number (>= 0), or -1 with the system's reason in *error.
int StartChild(const std::vector<std::string>& argv, const std::vector<std::string>& envEdits,
               std::string* error);
// Waits at most timeoutMs for something from any child, or an interrupt, and
// appends what came. A child's Ended comes after all its Output and only once.
void WaitForChildren(int timeoutMs, std::vector<ChildEvent>* events);
// Ends the child at once (it still reports Ended).
void KillChild(int child);
// Asks the child to end (SIGTERM; on Windows the same as KillChild).
void StopChild(int child);

// ---- interrupts ----

// Ctrl-C / SIGINT, SIGTERM, SIGHUP; on Windows also Ctrl-Break and the
// console's close, log-off and shut-down: sets the flag and wakes
// WaitForChildren. Children end with the station however it ends (Linux:
// their parent-death signal; Windows: a job object that kills them when its
// last handle closes).
void InstallInterruptHandler();
// Windows: the end of the session (log-off, shut-down) interrupts too, heard
// by a hidden window on a thread of its own. Started when the run begins, not
// with the handler: a station that ends on bad input at once never meets a
// thread still making its window. Elsewhere nothing (SIGHUP covers it).
void ListenForSessionEnd();
bool Interrupted();
// The station has ended its children and written their records. On Windows a
// console close, log-off or shut-down ends the process once its handler
// returns: the handler waits for this (bounded) before it lets Windows go on.
void InterruptHandled();

// ---- the terminal ----

bool StdoutIsTerminal();  // on Windows this also turns on the escape sequences
int TerminalColumns();    // 80 when unknown

// ---- the image ----

struct ImageCopy {
  std::string path;    // what every pendrel is given in place of the image
  uint64_t size = 0;   // bytes in the copy
  std::string sha256;  // of the bytes in the copy, lower-case hex
};

// A private, read-only copy of the image, made once at start, so that every
// pendrel flashes exactly the bytes whose hash the records name, whatever
// happens to the image file meanwhile. Linux: a file without a name (its
// directory is gone at once; children open it as /proc/self/fd/N), so
// nothing stays behind however the station ends. Windows: a temporary file
// the station holds open (others may only read it) and deletes in
// RemoveImageCopy. False with the system's reason in *error.
bool MakeImageCopy(const std::string& image, ImageCopy* copy, std::string* error);
void RemoveImageCopy();

// SHA-256 from the system's library (libcrypto on Linux, BCrypt on Windows),
// lower-case hex; empty when the library failed.
std::string Sha256Hex(std::string_view data);

// ---- texts ----

// A text the system gave us in its own encoding — a path from the command
// line, a system error text, what pendrel printed — as UTF-8 for the records.
// Windows: from the ANSI code page; Linux: as it is (its texts are UTF-8).
// Bytes that still are not UTF-8 are replaced when the record is written.
std::string Utf8FromSystemText(const std::string& text);

// ---- files and programs ----

bool FileExists(const std::string& path);
std::string OwnExecutableDirectory();
// A program in one of PATH's folders, or empty; on Windows never in the
// current folder (a relative PATH entry is passed over).
std::string FindOnPath(const std::string& name);
std::string PendrelProgramName();  // "pendrel" / "pendrel.exe"

// ---- links ----

struct LinkInfo {
  std::string kind;    // "serial", "usb-bulk", "usb-hid"
  std::string path;    // what pendrel is given (-p value) or the device path
  std::string usbId;   // "0483:1512", empty when not USB
  std::string serial;  // USB serial number, empty when unknown
  std::string detail;  // /dev/serial/by-id name, device description
  // A USB controller's port, as pendrel takes it in PENDREL_USB_DEVICE: the
  // USB device's sysfs name (Linux), location path (Windows); and Windows'
  // location information ("Port_#0004.Hub_#0001").
  std::string location;
  std::string locationInfo;
  std::string otherPath;  // Linux bulk: pendrel's own name of the device path, usb:BBB:DDD
};

// Every link a controller may be on. Reads the system's tables only; opens no port.
std::vector<LinkInfo> ListLinks();
// The Talo USB controllers present, bulk before HID (pendrel's order).
std::vector<LinkInfo> UsbControllers();
// Whether USB locations and device paths are compared without case (Windows).
bool UsbNamesIgnoreCase();
// Serial ports for --all-serial: the serial entries of ListLinks().
std::vector<std::string> SerialPortNames();
// The same port always gets the same name (symlinks resolved, COM3: -> COM3).
std::string CanonicalPortName(const std::string& port);
// Whether the port is there now (for --watch).
bool PortPresent(const std::string& port);
// The USB serial number of the adapter behind a serial port, or empty.
std::string UsbSerialOfPort(const std::string& port);

// ---- time ----

double MonotonicSeconds();
std::string UtcTimestamp();  // 2026-12-09T19:30:00.123Z
