#include <gtest/gtest.h>

#include <string>

#include "base/status.h"

namespace {
// Read before any test runs: the record as the program finds it.
const std::string kInitialText = LastStatusText();
const StatusCode kInitialCode = LastStatusCode();
}  // namespace

TEST(Status, StartsAsNoError) {
  EXPECT_EQ(kInitialText, "No error");
  EXPECT_EQ(kInitialCode, 0);
}

TEST(Status, TableHasEveryCodeOnceAndEndsWithMinusOne) {
  int count = 0;
  for (const StatusEntry* e = StatusTable; e->code >= 0; ++e) {
    for (const StatusEntry* f = e + 1; f->code >= 0; ++f) EXPECT_NE(e->code, f->code);
    ++count;
  }
  EXPECT_EQ(count, 72);
}

TEST(Status, PlainCodesCarryNoSystemText) {
  EXPECT_EQ(SetLastStatus(0x20A), 0);
  EXPECT_STREQ(LastStatusText(), "Failed to open Flash data file");
  EXPECT_EQ(LastStatusCode(), 0x20A);
  EXPECT_EQ(LastSystemError(), 0u);
  SetLastStatus(0x309);
  EXPECT_STREQ(LastStatusText(), "Error writing complete data USB device");
  SetLastStatus(0x40D);
  EXPECT_STREQ(LastStatusText(), "Device is not connected");
}

TEST(Status, StaleSystemErrorIsMaskedByLaterPlainCode) {
  SetLastStatus(0x4107);
  SetLastStatus(0x113);
  EXPECT_EQ(LastSystemError(), 0u);
  EXPECT_STREQ(LastStatusText(), "Invalid serial port name specified");
}

TEST(Status, UnknownCodeKeepsItsNumberAndZeroClears) {
  SetLastStatus(0x999);
  EXPECT_STREQ(LastStatusText(), "Unknown error");
  EXPECT_EQ(LastStatusCode(), 0x999);
  SetLastStatus(0x4999);  // unknown with the system bit: nothing is attached
  EXPECT_STREQ(LastStatusText(), "Unknown error");
  SetLastStatus(0);
  EXPECT_STREQ(LastStatusText(), "No error");
  EXPECT_EQ(LastStatusCode(), 0);
}

TEST(Status, TextsKeepTheirOwnSpelling) {
  SetLastStatus(0x408);
  EXPECT_STREQ(LastStatusText(), "Got no repsone from device (Timeout)");
  SetLastStatus(0x30C);
  EXPECT_STREQ(LastStatusText(), "Error enumbering USB devices");
  SetLastStatus(0x20C);
  EXPECT_STREQ(LastStatusText(), "Selected file is not an Talo Flash data file");
  SetLastStatus(0x410);
  EXPECT_STREQ(LastStatusText(), "Device is already connected with another application or PC.");
}
