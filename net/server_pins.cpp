#include "net/server_pins.h"

int HashServerKey(const CERT_CONTEXT* certificate, unsigned char (&digest)[ServerKeyDigestSize]) {
  if (certificate == nullptr || certificate->pCertInfo == nullptr) return ERROR_INVALID_PARAMETER;
  BYTE* encoded = nullptr;
  DWORD encodedSize = 0;
  if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &certificate->pCertInfo->SubjectPublicKeyInfo,
                           CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded, &encodedSize)) {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : ERROR_INVALID_DATA;
  }
  DWORD digestSize = ServerKeyDigestSize;
  const BOOL hashed = CryptHashCertificate2(L"SHA256", 0, nullptr, encoded, encodedSize, digest, &digestSize);
  const DWORD error = hashed ? 0 : GetLastError();
  LocalFree(encoded);
  if (!hashed) return error != 0 ? static_cast<int>(error) : ERROR_INVALID_DATA;
  return digestSize == ServerKeyDigestSize ? 0 : ERROR_INVALID_DATA;
}
