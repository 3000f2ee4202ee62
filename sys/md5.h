#pragma once
// MD5 digest of a file's contents, as the key service expects it.

#include <cstdint>

// 32 lower-case hexadecimal digits and a NUL.
constexpr int Md5HexSize = 33;

// Hashes the file at `path` through CryptoAPI and writes its digest to
// `hexOut`. Returns 0, or the Windows error code of the call that failed, in
// which case `hexOut` is left untouched. The file is opened with read sharing
// only, so a file that another process is writing cannot be hashed; a file
// held for a moment is waited for (at most FileHoldBudgetMs, sys/file_retry.h).
std::uint32_t HashFileMd5(const wchar_t* path, wchar_t (&hexOut)[Md5HexSize]);

// A CryptoAPI provider context that several digests share, released when its
// scope ends. Acquiring a context loads the provider's DLLs and releasing it
// unloads them, some of which a secure connection loads again.
struct Md5Provider {
  std::uintptr_t context = 0;  // HCRYPTPROV, 0 until a digest acquires it
  Md5Provider() = default;
  ~Md5Provider();
  Md5Provider(const Md5Provider&) = delete;
  Md5Provider& operator=(const Md5Provider&) = delete;
};

// The same through `provider`, acquired once a file has opened if it is not
// yet; a failed acquisition is tried again by the next digest.
std::uint32_t HashFileMd5(const wchar_t* path, wchar_t (&hexOut)[Md5HexSize], Md5Provider& provider);
