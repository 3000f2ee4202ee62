#pragma once
#include <windows.h>

// Closes what it holds when the scope ends, on every path.
template <typename Handle, typename Result, Result(WINAPI* Close)(Handle)>
struct ScopedHandle {
  Handle handle;
  explicit ScopedHandle(Handle h = nullptr) : handle(h) {}
  ~ScopedHandle() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) Close(handle);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
};

using ScopedKernelHandle = ScopedHandle<HANDLE, BOOL, CloseHandle>;
using ScopedRegKey = ScopedHandle<HKEY, LSTATUS, RegCloseKey>;
