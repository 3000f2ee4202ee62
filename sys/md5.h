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
