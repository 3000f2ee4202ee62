#include "launcher/winsparkle_api.h"

#include <cwchar>

#include "sys/client_root.h"
#include "sys/debug_log.h"

namespace {

// In the order of the WinSparkleApi members.
const char* const ExportNames[] = {
    "win_sparkle_set_appcast_url",
    "win_sparkle_set_app_details",
    "win_sparkle_set_registry_path",
    "win_sparkle_set_automatic_check_for_updates",
    "win_sparkle_set_can_shutdown_callback",
    "win_sparkle_set_shutdown_request_callback",
    "win_sparkle_set_did_not_find_update_callback",
    "win_sparkle_set_update_cancelled_callback",
    "win_sparkle_set_error_callback",
    "win_sparkle_init",
    "win_sparkle_check_update_without_ui",
    "win_sparkle_cleanup",
    "win_sparkle_set_user_run_installer_callback",
};
constexpr int ExportCount = sizeof(ExportNames) / sizeof(ExportNames[0]);
static_assert(ExportCount == WinSparkleFunctionCountWithRunInstaller, "one name per function");

// Through void(*)() because that converts to every function pointer type
// without a cast-function-type warning.
template <typename Function>
void Bind(Function& target, FARPROC address) {
  target = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

void BindAll(WinSparkleApi& api, const FARPROC (&addresses)[ExportCount]) {
  Bind(api.setAppcastUrl, addresses[0]);
  Bind(api.setAppDetails, addresses[1]);
  Bind(api.setRegistryPath, addresses[2]);
  Bind(api.setAutomaticCheckForUpdates, addresses[3]);
  Bind(api.setCanShutdownCallback, addresses[4]);
  Bind(api.setShutdownRequestCallback, addresses[5]);
  Bind(api.setDidNotFindUpdateCallback, addresses[6]);
  Bind(api.setUpdateCancelledCallback, addresses[7]);
  Bind(api.setErrorCallback, addresses[8]);
  Bind(api.init, addresses[9]);
  Bind(api.checkUpdateWithoutUi, addresses[10]);
  Bind(api.cleanup, addresses[11]);
  if (addresses[12] != nullptr) Bind(api.setUserRunInstallerCallback, addresses[12]);
}

void LogLoadFailure(DWORD error) {
  LogLineNumber(L"[tollbury] Cannot load WinSparkle.dll from the program's directory (error ", error,
                L"), skipping upgrade check\n");
}

// Export names are plain ASCII.
void LogAsciiName(const char* name) {
  wchar_t wide[64];
  int i = 0;
  for (; i < 63 && name[i] != '\0'; ++i) wide[i] = static_cast<wchar_t>(name[i]);
  wide[i] = L'\0';
  LogText(wide);
}

// Every missing name goes on one line. The run-installer setter is looked up
// only when wanted: a build without the update key never calls it.
bool ResolveAll(HMODULE module, int wanted, FARPROC (&addresses)[ExportCount], WinSparkleLoadFailure& failure) {
  bool complete = true;
  for (int i = 0; i < ExportCount; ++i) {
    addresses[i] = i < wanted ? GetProcAddress(module, ExportNames[i]) : nullptr;
    if (addresses[i] != nullptr || i >= wanted) continue;
    failure.missing[failure.missingCount++] = ExportNames[i];
    LogText(complete ? L"[tollbury] WinSparkle.dll lacks " : L", ");
    LogAsciiName(ExportNames[i]);
    complete = false;
  }
  if (complete) return true;
  // A framework without the setter (before 0.8) cannot verify signatures
  // either: it would run whatever the feed names.
  LogText(addresses[ExportCount - 1] == nullptr && wanted == ExportCount
              ? L", which a build with an update key needs, skipping upgrade check\n"
              : L", skipping upgrade check\n");
  return false;
}

}  // namespace

bool LoadWinSparkle(WinSparkleApi& api, WinSparkleLoadFailure* failure, bool withRunInstaller) {
  api = WinSparkleApi();
  WinSparkleLoadFailure unreported = {};
  WinSparkleLoadFailure& told = failure ? *failure : unreported;
  told = WinSparkleLoadFailure();
  // Only the copy beside the program: a WinSparkle.dll planted in the working
  // directory, on PATH or in System32 would run with the user's
  // administrator rights. The search flags then govern the DLL's own
  // imports: beside the program, then System32.
  wchar_t path[PathSize];
  HMODULE module =
      PathBesideProgram(L"WinSparkle.dll", path)
          ? LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)
          : nullptr;
  if (module == nullptr) {
    told.loadError = GetLastError();
    LogLoadFailure(told.loadError);
    return false;
  }
  FARPROC addresses[ExportCount];
  if (!ResolveAll(module, withRunInstaller ? ExportCount : WinSparkleFunctionCount, addresses, told)) {
    FreeLibrary(module);
    return false;
  }
  BindAll(api, addresses);
  api.module = module;
  return true;
}
