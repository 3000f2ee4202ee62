#pragma once
// Scripting the stand-in credui.dll (tools/credui) beside the installed
// launcher, for what the platform's dialog cannot show: the exact flags,
// message and sizes that the launcher hands over.

#include <windows.h>

#include <string>
#include <vector>

// One scripted answer: confirm with the texts, cancel, or fail with a code.
struct CredUiAnswer {
  enum Kind { Confirm, Cancel, Fail } kind = Cancel;
  std::wstring userName;
  std::wstring password;
  DWORD error = 0;
};
CredUiAnswer ConfirmWith(const std::wstring& userName, const std::wstring& password);
CredUiAnswer CancelDialog();
CredUiAnswer FailDialog(DWORD error);

// What one call was handed.
struct CredUiCall {
  DWORD flags = 0;
  std::wstring caption;
  std::wstring message;
  std::wstring target;
  DWORD userNameSize = 0;
  DWORD passwordSize = 0;
  int saveOnEntry = -1;
  DWORD authError = 0;
  bool userNameEmptyOnEntry = false;
  bool passwordEmptyOnEntry = false;
};

// Copies the stand-in beside InstallDir()\tollbury.exe (call after
// PrepareInstall), with its script and an empty record. Once the script is
// used up the stand-in cancels.
void InstallCredUiStandIn(const std::vector<CredUiAnswer>& script);

// Every call recorded since InstallCredUiStandIn, in order.
std::vector<CredUiCall> CredUiCalls();
