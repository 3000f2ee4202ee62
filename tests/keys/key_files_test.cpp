#include "keys/key_files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/keys/scratch_dir.h"
#include "tests/support/machine.h"

namespace {

std::string Contents(const std::wstring& path) {
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) return "<missing>";
  return bytes;
}

TEST(KeyFilePaths, BothNamesFollowTheSessionName) {
  wchar_t keyPath[PathSize];
  wchar_t uploadKeyPath[PathSize];
  ASSERT_TRUE(BuildKeyFilePaths(L"C:\\Root\\", L"vrd", keyPath, uploadKeyPath));
  EXPECT_STREQ(keyPath, L"C:\\Root\\vrd-key.ppk");
  EXPECT_STREQ(uploadKeyPath, L"C:\\Root\\vrd-upload-key.ppk");
}

TEST(KeyFilePaths, RefusedRatherThanCutWhenTooLong) {
  const std::wstring root = L"C:\\Root\\";
  // root + name + "-upload-key.ppk" of exactly PathSize - 1 characters fits.
  const size_t longest = PathSize - 1 - root.size() - std::wstring(L"-upload-key.ppk").size();
  struct LengthCase {
    size_t nameLength;
    bool fits;
  } cases[] = {{longest, true}, {longest + 1, false}, {300, false}};
  for (const LengthCase& c : cases) {
    SCOPED_TRACE(c.nameLength);
    const std::wstring name(c.nameLength, L's');
    wchar_t keyPath[PathSize];
    wchar_t uploadKeyPath[PathSize];
    EXPECT_EQ(BuildKeyFilePaths(root.c_str(), name.c_str(), keyPath, uploadKeyPath), c.fits);
    if (c.fits) {
      EXPECT_EQ(std::wstring(uploadKeyPath), root + name + L"-upload-key.ppk");
    } else {
      EXPECT_STREQ(keyPath, L"");
      EXPECT_STREQ(uploadKeyPath, L"");
    }
  }
}

struct ReplaceCase {
  const char* name;
  bool oldFile;
  std::string oldContent;
  std::string newContent;
};

TEST(ReplaceFileContents, WritesExactlyTheGivenBytes) {
  const ReplaceCase cases[] = {
      {"no old file", false, "", "fresh key"},
      {"longer old file leaves no tail", true, std::string(5000, 'o'), "short"},
      {"NUL bytes kept", true, "old", std::string("a\0b\0\xff", 5)},
      {"empty key", true, "old", ""},
  };
  ScratchDir dir;
  for (const ReplaceCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring path = dir.File(L"vrd-key.ppk");
    DeleteFileW(path.c_str());
    if (c.oldFile) {
      ASSERT_TRUE(WriteFileBytes(path, c.oldContent));
    }
    EXPECT_EQ(ReplaceFileContents(path.c_str(), c.newContent.data(), static_cast<unsigned long>(c.newContent.size())),
              0ul);
    EXPECT_EQ(Contents(path), c.newContent);
    EXPECT_EQ(dir.Listing(), L"vrd-key.ppk;") << "no temporary file may stay behind";
  }
}

TEST(ReplaceFileContents, FailureKeepsTheOldFileAndCleansUp) {
  ScratchDir dir;
  const std::wstring path = dir.File(L"vrd-key.ppk");
  ASSERT_TRUE(WriteFileBytes(path, "old key"));
  HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const unsigned long result = ReplaceFileContents(path.c_str(), "new key", 7);
  CloseHandle(holder);
  // Windows reports a file held without delete sharing as denied or in use.
  EXPECT_TRUE(result == ERROR_ACCESS_DENIED || result == ERROR_SHARING_VIOLATION) << result;
  EXPECT_EQ(Contents(path), "old key");
  EXPECT_EQ(dir.Listing(), L"vrd-key.ppk;");
}

TEST(ReplaceFileContents, MissingFolderReportsItsError) {
  ScratchDir dir;
  const std::wstring path = dir.File(L"absent\\vrd-key.ppk");
  EXPECT_NE(ReplaceFileContents(path.c_str(), "k", 1), 0ul);
  EXPECT_FALSE(FileExists(path));
}

}  // namespace
