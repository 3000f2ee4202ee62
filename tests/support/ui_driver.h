#pragma once
// Answers the windows that tollbury.exe shows while it runs under a display
// (Xvfb): message boxes are read and confirmed with OK, credentials dialogs
// are read and answered from a script. Only top-level dialogs of processes
// whose image is tollbury.exe are touched.

#include <windows.h>

#include <string>
#include <vector>

struct CredentialsAnswer {
  bool confirm = false;  // true: type the texts and press OK; false: Cancel
  std::wstring userName;
  std::wstring password;
};

// One window the driver met, in the order met.
struct SeenWindow {
  std::wstring caption;
  std::wstring text;         // a box's text, or the credentials dialog's message
  bool warningIcon = false;  // boxes: the icon shown is the system's warning icon
  int buttonCount = 0;       // visible buttons
  bool hasOkButton = false;  // a visible button with id IDOK
};

struct UiDriverState;

struct UiDriver {
  UiDriverState* state = nullptr;
  HANDLE thread = nullptr;
};

// Starts answering on a thread of its own. Credentials dialogs take the
// answers in order; once they are used up every further dialog is cancelled.
UiDriver StartUiDriver(const std::vector<CredentialsAnswer>& answers = {});

// Stops the driver and returns what it met.
std::vector<SeenWindow> StopUiDriver(UiDriver& driver);

// True when a display is configured for this process (DISPLAY is set).
bool DisplayAvailable();
