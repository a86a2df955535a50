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

// Every status the program records, by name. The value is the code; bit
// 0x4000 in it attaches the system's text, bit 0x2000 the socket layer's.
inline constexpr StatusCode kStatusNone = 0;
// The serial link.
inline constexpr StatusCode kStatusSerialSetTimeoutsFailed = 0x4101;
inline constexpr StatusCode kStatusSerialSetTimeoutsNotOpen = 0x102;
inline constexpr StatusCode kStatusSerialGetStateFailed = 0x4103;
inline constexpr StatusCode kStatusSerialConfigNotOpen = 0x104;
inline constexpr StatusCode kStatusSerialSetStateFailed = 0x4105;
inline constexpr StatusCode kStatusSerialAlreadyOpen = 0x106;
inline constexpr StatusCode kStatusSerialOpenFailed = 0x4107;
inline constexpr StatusCode kStatusSerialNotCharacterDevice = 0x108;
inline constexpr StatusCode kStatusSerialCloseNotOpen = 0x109;
inline constexpr StatusCode kStatusSerialCloseFailed = 0x10A;
inline constexpr StatusCode kStatusSerialSendNotOpen = 0x10B;
inline constexpr StatusCode kStatusSerialSendFailed = 0x410C;
inline constexpr StatusCode kStatusSerialSendIncomplete = 0x10D;
inline constexpr StatusCode kStatusSerialSendTimedOut = 0x10E;
inline constexpr StatusCode kStatusSerialReceiveNotOpen = 0x10F;
inline constexpr StatusCode kStatusSerialReadFailed = 0x4111;
inline constexpr StatusCode kStatusSerialNoData = 0x112;
inline constexpr StatusCode kStatusLinkNotSerial = 0x110;
inline constexpr StatusCode kStatusSerialBadPortName = 0x113;
// The programming run, the flash data file and the link dispatch.
inline constexpr StatusCode kStatusEraseFailed = 0x201;
inline constexpr StatusCode kStatusSubPageFailed = 0x202;
inline constexpr StatusCode kStatusNandIndexEraseFailed = 0x203;
inline constexpr StatusCode kStatusUploadRateUnsupported = 0x204;
inline constexpr StatusCode kStatusRateSwitchFailed = 0x205;
inline constexpr StatusCode kStatusControllerLeftAtUploadRate = 0x206;
inline constexpr StatusCode kStatusFlashWriteFailed = 0x207;
inline constexpr StatusCode kStatusDataFileReadFailed = 0x208;
inline constexpr StatusCode kStatusDataFileUnexpectedEnd = 0x209;
inline constexpr StatusCode kStatusDataFileOpenFailed = 0x20A;
inline constexpr StatusCode kStatusDataFileSizeUnknown = 0x20B;
inline constexpr StatusCode kStatusNotFlashDataFile = 0x20C;
inline constexpr StatusCode kStatusLinkAlreadyOpen = 0x20D;
inline constexpr StatusCode kStatusLinkAlreadyClosed = 0x20E;
inline constexpr StatusCode kStatusLinkNotOpen = 0x20F;
inline constexpr StatusCode kStatusImageTooBig = 0x210;
inline constexpr StatusCode kStatusControllerNameUnknown = 0x211;
inline constexpr StatusCode kStatusDataFileBadChecksum = 0x212;
inline constexpr StatusCode kStatusImageForOtherModel = 0x213;
inline constexpr StatusCode kStatusAbortedByUser = 0x214;
// The USB links.
inline constexpr StatusCode kStatusUsbDllLoadFailed = 0x301;
inline constexpr StatusCode kStatusUsbDllEntryMissing = 0x302;
inline constexpr StatusCode kStatusUsbEnumerationFailed = 0x4303;
inline constexpr StatusCode kStatusUsbAlreadyOpen = 0x304;
inline constexpr StatusCode kStatusUsbOpenFailed = 0x4305;
inline constexpr StatusCode kStatusUsbNotOpen = 0x306;
inline constexpr StatusCode kStatusUsbTimedOut = 0x4307;
inline constexpr StatusCode kStatusUsbWriteFailed = 0x4308;
inline constexpr StatusCode kStatusUsbWriteIncomplete = 0x309;
inline constexpr StatusCode kStatusUsbConnectionLost = 0x430A;
inline constexpr StatusCode kStatusUsbNoData = 0x30B;
inline constexpr StatusCode kStatusUsbNoDeviceList = 0x30C;
inline constexpr StatusCode kStatusUsbNoDevice = 0x30D;
inline constexpr StatusCode kStatusUsbLibraryInitFailed = 0x30E;
inline constexpr StatusCode kStatusUsbReaderStartFailed = 0x30F;
inline constexpr StatusCode kStatusUsbReaderOpenFailed = 0x4310;
// The Ethernet link.
inline constexpr StatusCode kStatusEthStartupFailed = 0x2401;
inline constexpr StatusCode kStatusEthUdpSocketFailed = 0x2402;
inline constexpr StatusCode kStatusEthTcpSocketFailed = 0x2403;
inline constexpr StatusCode kStatusEthSocketOptionFailed = 0x2404;
inline constexpr StatusCode kStatusEthBroadcastFailed = 0x2405;
inline constexpr StatusCode kStatusEthBindFailed = 0x2406;
inline constexpr StatusCode kStatusEthNoValidReply = 0x407;
inline constexpr StatusCode kStatusEthTimedOut = 0x408;
inline constexpr StatusCode kStatusEthWrongPassword = 0x409;
inline constexpr StatusCode kStatusEthReceiveFailed = 0x40A;
inline constexpr StatusCode kStatusEthNoDevice = 0x40B;
inline constexpr StatusCode kStatusEthConnectFailed = 0x240C;
inline constexpr StatusCode kStatusEthNotConnected = 0x40D;
inline constexpr StatusCode kStatusEthSeveralDevices = 0x40E;
inline constexpr StatusCode kStatusEthNoPassword = 0x40F;
inline constexpr StatusCode kStatusEthDeviceInUse = 0x410;

struct StatusEntry {
  StatusCode code;
  const char* message;
};

// The message table, ended by an entry whose code is -1.
extern const StatusEntry StatusTable[];

// Records `code`; always returns 0. Safe to call from any thread.
int SetLastStatus(StatusCode code);
// Records `code` without the system's text, for a failure that no system
// call reported (a transfer that moved too few bytes, a device the link
// refuses): the thread's last error is then an older call's and tells
// nothing about this one.
int SetLastStatusWithoutCause(StatusCode code);
StatusCode LastStatusCode();
// A copy of the text, so that a reader thread's status cannot change it
// under the caller's feet.
const char* LastStatusText();
// The captured error number when the last code carried bit 0x4000, else 0.
uint32_t LastSystemError();
