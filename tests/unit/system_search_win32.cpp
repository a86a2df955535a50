// Where the Windows programs look for what they run: the system's DLLs in
// the system folder only, pendrel.exe in PATH's folders only. A DLL or a
// program put in the folder the user stands in is never taken.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "link/usb/usb_setupapi_win32.h"
#include "system.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A fresh folder under the temporary one, which the test stands in; the
// current folder and PATH are put back afterwards.
class WindowsSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    here_ = std::string(temp) + "pendrel-search-" + std::to_string(GetCurrentProcessId());
    elsewhere_ = here_ + "-path";
    ASSERT_TRUE(CreateDirectoryA(here_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(elsewhere_.c_str(), nullptr));
    char dir[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, dir);
    oldDir_ = dir;
    char path[32767] = "";
    GetEnvironmentVariableA("PATH", path, sizeof path);
    oldPath_ = path;
    ASSERT_TRUE(SetCurrentDirectoryA(here_.c_str()));
  }

  void TearDown() override {
    SetCurrentDirectoryA(oldDir_.c_str());
    SetEnvironmentVariableA("PATH", oldPath_.c_str());
    for (const std::string& dir : {here_, elsewhere_}) {
      for (const char* name : {"pendrel-planted.dll", "pendrel-probe.exe"})
        DeleteFileA((dir + "\\" + name).c_str());
      RemoveDirectoryA(dir.c_str());
    }
  }

  static void Plant(const std::string& path) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(f, "MZ not a program", 16, &written, nullptr);
    CloseHandle(f);
  }

  std::string here_, elsewhere_, oldDir_, oldPath_;
};

TEST_F(WindowsSearch, SystemLibraryComesFromTheSystemFolderOnly) {
  Plant(here_ + "\\pendrel-planted.dll");
  // A load by bare name finds the planted file (and cannot load it) ...
  ASSERT_EQ(LoadLibraryA("pendrel-planted.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
  // ... the system folder has no such DLL, and nothing else is looked at.
  EXPECT_EQ(LoadSystemLibrary("pendrel-planted.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  HMODULE hid = LoadSystemLibrary("HID.DLL");
  ASSERT_NE(hid, nullptr);
  char file[MAX_PATH], system[MAX_PATH];
  GetModuleFileNameA(hid, file, MAX_PATH);
  GetSystemDirectoryA(system, MAX_PATH);
  EXPECT_EQ(Lower(file), Lower(std::string(system) + "\\hid.dll"));
  FreeLibrary(hid);
}

TEST_F(WindowsSearch, PendrelOnPathNeverInTheCurrentFolder) {
  Plant(here_ + "\\pendrel-probe.exe");
  SetEnvironmentVariableA("PATH", (std::string(".;pendrel-search;") + oldPath_).c_str());
  EXPECT_EQ(FindOnPath("pendrel-probe.exe"), "");
  Plant(elsewhere_ + "\\pendrel-probe.exe");
  SetEnvironmentVariableA("PATH", ("\"" + elsewhere_ + "\";" + oldPath_).c_str());
  EXPECT_EQ(Lower(FindOnPath("pendrel-probe.exe")), Lower(elsewhere_ + "\\pendrel-probe.exe"));
}

}  // namespace
