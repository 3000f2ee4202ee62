#include "sys/md5.h"

#include <windows.h>

#include <cwchar>
#include <string>

#include <gtest/gtest.h>

#include "tests/keys/scratch_dir.h"
#include "tests/support/machine.h"

namespace {

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + 7) % 256);
  return bytes;
}

struct DigestCase {
  const char* name;
  std::string content;
  const wchar_t* digest;
};

TEST(HashFileMd5, GivesTheDigestOfTheWholeFile) {
  const DigestCase cases[] = {
      {"empty", "", L"d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "abc", L"900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
      {"80 digits", "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       L"57edf4a22be3c955ac49da2e2107b67a"},
      {"one byte short of a chunk", Pattern(1023), L"aa217140da10ed9796690dd1ed22a21a"},
      {"exactly one chunk", Pattern(1024), L"63b2177a7af739b5cc52ab1d1c714702"},
      {"one byte past a chunk", Pattern(1025), L"31d56d8e673d2856b7a4eee144ee8275"},
      {"two chunks", Pattern(2048), L"fbb2e3b38a23c7d820533df281b4b6ec"},
      {"uneven tail", Pattern(3000), L"b32692527de03c91ea517449e84c80ed"},
  };
  ScratchDir dir;
  Md5Provider shared;  // one context for every case, as a key check uses it
  for (const DigestCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring path = dir.File(L"key.ppk");
    ASSERT_TRUE(WriteFileBytes(path, c.content));
    wchar_t hex[Md5HexSize], sharedHex[Md5HexSize];
    std::wmemset(hex, L'#', Md5HexSize);
    EXPECT_EQ(HashFileMd5(path.c_str(), hex), 0u);
    EXPECT_EQ(std::wstring(hex, Md5HexSize), std::wstring(c.digest) + L'\0');
    EXPECT_EQ(HashFileMd5(path.c_str(), sharedHex, shared), 0u);
    EXPECT_EQ(std::wstring(sharedHex, Md5HexSize), std::wstring(c.digest) + L'\0');
  }
}

TEST(HashFileMd5, FailureLeavesTheOutputUntouched) {
  ScratchDir dir;
  const std::wstring held = dir.File(L"held.ppk");
  ASSERT_TRUE(WriteFileBytes(held, "abc"));
  // A writer that grants no sharing: the digest of a file in change is refused.
  HANDLE writer = CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);

  struct FailureCase {
    const char* name;
    std::wstring path;
    std::uint32_t error;
  } cases[] = {
      {"missing file", dir.File(L"absent.ppk"), ERROR_FILE_NOT_FOUND},
      {"missing folder", dir.File(L"absent\\key.ppk"), ERROR_PATH_NOT_FOUND},
      {"held by a writer", held, ERROR_SHARING_VIOLATION},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    wchar_t hex[Md5HexSize];
    std::wmemset(hex, L'#', Md5HexSize);
    EXPECT_EQ(HashFileMd5(c.path.c_str(), hex), c.error);
    EXPECT_EQ(std::wstring(hex, Md5HexSize), std::wstring(Md5HexSize, L'#'));
  }
  CloseHandle(writer);
}

}  // namespace
