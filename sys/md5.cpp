#include "sys/md5.h"

#include <windows.h>
#include <wincrypt.h>

#include "sys/file_retry.h"
#include "sys/handle_guard.h"

namespace {

constexpr DWORD Md5DigestSize = 16;
constexpr DWORD ReadChunkSize = 1024;

void WriteHexDigest(const BYTE* digest, DWORD digestSize, wchar_t (&hexOut)[Md5HexSize]) {
  static const wchar_t digits[] = L"0123456789abcdef";
  int out = 0;
  for (DWORD i = 0; i < digestSize && out + 2 < Md5HexSize; ++i) {
    hexOut[out++] = digits[digest[i] >> 4];
    hexOut[out++] = digits[digest[i] & 0x0F];
  }
  hexOut[out] = L'\0';
}

// Streams the whole file into the hash. Returns 0 or the failing call's code.
DWORD HashWholeFile(HANDLE file, HCRYPTHASH hash) {
  BYTE chunk[ReadChunkSize];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, chunk, ReadChunkSize, &read, nullptr)) return GetLastError();
    if (read == 0) return 0;
    if (!CryptHashData(hash, chunk, read, 0)) return GetLastError();
  }
}

DWORD HashOpenFile(HANDLE file, HCRYPTPROV provider, wchar_t (&hexOut)[Md5HexSize]) {
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) return GetLastError();
  DWORD result = HashWholeFile(file, hash);
  if (result == 0) {
    BYTE digest[Md5DigestSize];
    DWORD digestSize = Md5DigestSize;
    if (CryptGetHashParam(hash, HP_HASHVAL, digest, &digestSize, 0)) {
      WriteHexDigest(digest, digestSize, hexOut);
    } else {
      result = GetLastError();
    }
  }
  CryptDestroyHash(hash);
  return result;
}

// A file that another process holds for a moment is waited for, so that it
// is not taken for a missing one.
HANDLE OpenForHashing(const wchar_t* path) {
  int attempt = 0;
  for (;;) {
    const HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = GetLastError();
    if (!WaitForFileHold(error, HoldErrors::SharingOnly, attempt)) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
  }
}

DWORD HashOpenFileWith(HANDLE file, Md5Provider& provider, wchar_t (&hexOut)[Md5HexSize]) {
  if (provider.context == 0) {
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextW(&context, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return GetLastError();
    provider.context = context;
  }
  return HashOpenFile(file, provider.context, hexOut);
}

}  // namespace

Md5Provider::~Md5Provider() {
  if (context != 0) CryptReleaseContext(context, 0);
}

// The context is released before the file is closed.
std::uint32_t HashFileMd5(const wchar_t* path, wchar_t (&hexOut)[Md5HexSize]) {
  ScopedKernelHandle file(OpenForHashing(path));
  if (file.handle == INVALID_HANDLE_VALUE) return GetLastError();
  Md5Provider provider;
  return HashOpenFileWith(file.handle, provider, hexOut);
}

std::uint32_t HashFileMd5(const wchar_t* path, wchar_t (&hexOut)[Md5HexSize], Md5Provider& provider) {
  ScopedKernelHandle file(OpenForHashing(path));
  if (file.handle == INVALID_HANDLE_VALUE) return GetLastError();
  return HashOpenFileWith(file.handle, provider, hexOut);
}
