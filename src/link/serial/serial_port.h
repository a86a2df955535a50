// The operating system's side of the serial link, as a table of entry points.
// Each entry translates one family of system calls and decides nothing:
// statuses, the time-out cache and the open state live in serial_link.cpp.
// A failing entry leaves the system's error number set (errno or
// GetLastError) for the status that the caller records next.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

using SerialHandle = intptr_t;
inline constexpr SerialHandle kInvalidSerialHandle = -1;

// The COMMTIMEOUTS members, in milliseconds.
struct SerialTimeouts {
  uint32_t readInterval;
  uint32_t readMultiplier;
  uint32_t readConstant;
  uint32_t writeMultiplier;
  uint32_t writeConstant;
};

enum class SerialConfigResult {
  Ok,
  GetStateFailed,  // the current line settings cannot be read
  SetStateFailed,  // the new line settings were refused
};

struct SerialPortApi {
  // The device path for the user's port name; false when the name is not a
  // serial port name on this system. No system call.
  bool (*devicePath)(std::string_view portName, std::string& path);
  // Opens the device for exclusive read/write, without becoming its
  // controlling terminal. kInvalidSerialHandle on failure.
  SerialHandle (*open)(const char* path);
  bool (*isCharacterDevice)(SerialHandle handle);
  // 8 data bits, no parity, 2 stop bits, raw binary, no XON/XOFF, DTR and
  // RTS raised, output held back by CTS unless noCts, at baudRate.
  SerialConfigResult (*configure)(SerialHandle handle, int32_t baudRate, bool noCts);
  void (*setupQueues)(SerialHandle handle, uint32_t receiveBytes, uint32_t sendBytes);
  bool (*setTimeouts)(SerialHandle handle, const SerialTimeouts& timeouts);
  bool (*close)(SerialHandle handle);
  // Both return false only when the call itself fails; a time-out is a
  // success with fewer bytes moved.
  bool (*write)(SerialHandle handle, const uint8_t* bytes, uint32_t count, uint32_t* written);
  bool (*read)(SerialHandle handle, uint8_t* bytes, uint32_t count, uint32_t* got);
  // Bytes written but not yet on the line (a write may return while they
  // still wait in the system's queue, e.g. for CTS); false when the driver
  // cannot tell. No wait.
  bool (*outputPending)(SerialHandle handle, uint32_t* bytes);
  // Drops output not yet sent, so that a close does not wait for it.
  void (*discardOutput)(SerialHandle handle);
};

// The system's table, defined by serial_port_posix.cpp or serial_port_win32.cpp.
extern const SerialPortApi kSystemSerialPort;

// Tests install a fake table; nullptr puts the system's back.
void InstallSerialPortApi(const SerialPortApi* api);

// Port-name rules of both systems, kept here so both are tested everywhere.
// Windows: at most 100 characters, lower-cased, must begin with "com", one
// trailing colon dropped, "\\.\" in front, the path cut to 100 characters.
bool SerialPathWindows(std::string_view portName, std::string& path);
// POSIX: "/..." is the device path as it stands; comN (any case, optional
// trailing colon, N >= 1) is /dev/ttyS(N-1); anything else is refused.
bool SerialPathPosix(std::string_view portName, std::string& path);
