#include "keys/key_files.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include <gtest/gtest.h>

#include "sys/md5.h"
#include "tests/keys/file_holder.h"
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

// An antivirus or backup agent that holds a file for a moment must not make
// a key file look missing, nor fail its replacement.
TEST(FileHeldForAMoment, DigestAndReplacementWaitForIt) {
  ScratchDir dir;
  const std::wstring path = dir.File(L"vrd-key.ppk");
  for (bool replacing : {false, true}) {
    SCOPED_TRACE(replacing ? "replacing" : "digest");
    ASSERT_TRUE(WriteFileBytes(path, "abc"));
    FileHolder holder = HoldFile(path, 150);  // well inside FileHoldBudgetMs
    ASSERT_TRUE(StillHeld(holder));
    wchar_t digest[Md5HexSize] = L"";
    const unsigned long result =
        replacing ? ReplaceFileContents(path.c_str(), "new key", 7) : HashFileMd5(path.c_str(), digest);
    EXPECT_EQ(0u, ReleaseFile(holder)) << "the helper really held the file";
    EXPECT_EQ(0ul, result);
    if (replacing) {
      EXPECT_EQ(Contents(path), "new key");
      EXPECT_EQ(dir.Listing(), L"vrd-key.ppk;");
    } else {
      EXPECT_STREQ(digest, L"900150983cd24fb0d6963f7d28e17f72");
    }
  }
}

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"<bad sid>";
  std::wstring result(text);
  LocalFree(text);
  return result;
}

std::wstring CurrentUserSid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  BYTE buffer[256];
  DWORD size = 0;
  const bool read = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
  CloseHandle(token);
  return read ? SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : L"<no user>";
}

// What a descriptor's access list says: "protected" or "inherits", then one
// "sid:mask" per allowing entry (anything else shows as such).
std::wstring DescribeAccessList(PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
    return L"<no access list>";
  }
  std::wstring text = (control & SE_DACL_PROTECTED) ? L"protected" : L"inherits";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    GetAce(dacl, i, reinterpret_cast<void**>(&header));
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || header->AceFlags != 0) {
      text += L";<other entry>";
      continue;
    }
    ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    wchar_t mask[16];
    swprintf(mask, 16, L"%lx", static_cast<unsigned long>(ace->Mask));
    text += L";" + SidText(&ace->SidStart) + L":" + mask;
  }
  return text;
}

std::wstring AccessListOfFile(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return L"<unreadable>";
  }
  const std::wstring text = DescribeAccessList(descriptor);
  LocalFree(descriptor);
  return text;
}

// Windows keeps the access list a file is given. Wine keeps it only where
// its server was built with extended-attribute support; otherwise it makes
// one up from the Unix mode.
bool FilesKeepTheirAccessList(const ScratchDir& dir) {
  const std::wstring probe = dir.File(L"probe");
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!WriteFileBytes(probe, "p") || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                         L"D:P(A;;FA;;;SY)", SDDL_REVISION_1, &descriptor, nullptr)) {
    return false;
  }
  HANDLE file = CreateFileW(probe.c_str(), WRITE_DAC, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  const bool set = file != INVALID_HANDLE_VALUE && SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, descriptor);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  LocalFree(descriptor);
  const bool kept = set && AccessListOfFile(probe) == L"protected;S-1-5-18:1f01ff";
  DeleteFileW(probe.c_str());
  return kept;
}

// A key is a secret and the client root directory is readable by every
// local user: each new key file gets an access list of its own, before its
// first byte is written.
TEST(StagedKeyFile, IsPrivateToTheUserSystemAndAdministrators) {
  const std::wstring fullControl = L":1f01ff";
  const std::wstring expected =
      L"protected;" + CurrentUserSid() + fullControl + L";S-1-5-18" + fullControl + L";S-1-5-32-544" + fullControl;
  PrivateFileSecurity security;
  ASSERT_EQ(0ul, BuildPrivateFileSecurity(security));
  EXPECT_EQ(DescribeAccessList(&security.descriptor), expected) << "what the temporary file is created with";

  ScratchDir dir;
  const std::wstring path = dir.File(L"vrd-key.ppk");
  ASSERT_TRUE(WriteFileBytes(path, "old key"));
  wchar_t temporary[PathSize];
  ASSERT_EQ(0ul, StageFileContents(path.c_str(), "new key", 7, temporary));
  const std::wstring staged = AccessListOfFile(temporary);
  ASSERT_EQ(0ul, CommitStagedFile(temporary, path.c_str()));
  EXPECT_EQ(Contents(path), "new key");
  if (!FilesKeepTheirAccessList(dir)) {
    GTEST_SKIP() << "this system does not keep a file's access list (Wine without extended attributes): "
                    "the files read back as "
                 << std::string(staged.begin(), staged.end());
  }
  EXPECT_EQ(staged, expected) << "the temporary file, before it replaced the key";
  EXPECT_EQ(AccessListOfFile(path), expected) << "the key file";
}

}  // namespace
