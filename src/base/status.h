// Status codes and the process-wide last-status record.
//
// Every operation that can fail records a StatusCode with SetLastStatus and
// returns its 0. Bit 0x4000 attaches the system's text for the calling
// thread's last error, bit 0x2000 the text of the last socket error; the
// error number is captured inside SetLastStatus, so callers record the
// status straight after the failing system call.
#pragma once

#include <cstdint>

using StatusCode = int32_t;

inline constexpr StatusCode kStatusAttachSystemError = 0x4000;
inline constexpr StatusCode kStatusAttachSocketError = 0x2000;
inline constexpr int kStatusTextCapacity = 512;  // 511 characters and the terminator

struct StatusEntry {
  StatusCode code;
  const char* message;
};

// The message table, ended by an entry whose code is -1.
extern const StatusEntry StatusTable[];

// Records `code`; always returns 0. Safe to call from any thread.
int SetLastStatus(StatusCode code);
StatusCode LastStatusCode();
// A copy of the text, so that a reader thread's status cannot change it
// under the caller's feet.
const char* LastStatusText();
// The captured error number when the last code carried bit 0x4000, else 0.
uint32_t LastSystemError();
