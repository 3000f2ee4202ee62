#include "sys/registry.h"

#include <cstdlib>

namespace {

HRESULT HresultFromQuery(LSTATUS status) {
  // Negative results are no Windows error codes: pass them on as they are.
  return status > 0 ? HRESULT_FROM_WIN32(static_cast<unsigned long>(status)) : static_cast<HRESULT>(status);
}

}  // namespace

HRESULT ReadRegistryString(HKEY key, const wchar_t* valueName, wchar_t** text) {
  if (text != nullptr) *text = nullptr;
  if (key == nullptr || text == nullptr) return E_INVALIDARG;

  DWORD type = REG_SZ;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size);
  if (status != ERROR_SUCCESS) return HresultFromQuery(status);
  if (type != REG_SZ) return DISP_E_TYPEMISMATCH;

  // Room for a terminator the stored data may lack.
  const size_t blockSize = static_cast<size_t>(size) + sizeof(wchar_t);
  wchar_t* block = static_cast<wchar_t*>(std::malloc(blockSize));
  if (block == nullptr) return E_OUTOFMEMORY;

  DWORD readSize = size;
  status = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(block), &readSize);
  if (status != ERROR_SUCCESS || type != REG_SZ) {
    std::free(block);
    return status != ERROR_SUCCESS ? HresultFromQuery(status) : DISP_E_TYPEMISMATCH;
  }
  // An odd byte count leaves half a character; the terminator still lands
  // inside the block.
  block[blockSize / sizeof(wchar_t) - 1] = L'\0';
  *text = block;
  return S_OK;
}

HRESULT ReadRegistryDword(HKEY key, const wchar_t* valueName, DWORD* value) {
  if (value != nullptr) *value = 0;
  if (key == nullptr || value == nullptr) return E_INVALIDARG;

  DWORD read = 0;
  DWORD type = REG_NONE;
  DWORD size = sizeof(read);
  // Longer data of any type fails here with ERROR_MORE_DATA.
  const LSTATUS status = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size);
  if (status != ERROR_SUCCESS) return HresultFromQuery(status);
  if (type != REG_DWORD || size != sizeof(read)) return DISP_E_TYPEMISMATCH;
  *value = read;
  return S_OK;
}
