#include "tests/support/ui_driver.h"

#include <algorithm>
#include <cwchar>
#include <mutex>
#include <set>

namespace {

const wchar_t CredentialsCaption[] = L"Verdanto Credentials";
// Control ids of the platform's dialogs.
const int BoxTextId = 0xFFFF;
const int CredentialsMessageId = 103;
const int UserNameId = 101;
const int PasswordId = 102;
const DWORD PollMs = 50;
const DWORD MessageTimeoutMs = 2000;
const DWORD CloseWaitMs = 5000;

bool IsLauncherProcess(DWORD processId) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process == nullptr) return false;
  wchar_t image[MAX_PATH * 2];
  DWORD size = MAX_PATH * 2;
  const BOOL named = QueryFullProcessImageNameW(process, 0, image, &size);
  CloseHandle(process);
  if (!named) return false;
  const wchar_t* base = std::wcsrchr(image, L'\\');
  return _wcsicmp(base != nullptr ? base + 1 : image, L"tollbury.exe") == 0;
}

std::wstring WindowText(HWND window) {
  if (window == nullptr) return std::wstring();
  wchar_t text[8192];
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, 8192, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, MessageTimeoutMs,
                           &length)) {
    return std::wstring();
  }
  return std::wstring(text, std::min<size_t>(length, 8191));
}

struct ButtonCount {
  int visible = 0;
  bool ok = false;
};

BOOL CALLBACK CountButton(HWND child, LPARAM param) {
  wchar_t className[32];
  GetClassNameW(child, className, 32);
  if (_wcsicmp(className, L"Button") == 0 && IsWindowVisible(child)) {
    ButtonCount* count = reinterpret_cast<ButtonCount*>(param);
    ++count->visible;
    if (GetDlgCtrlID(child) == IDOK) count->ok = true;
  }
  return TRUE;
}

// Pixels of a w x h area, 32 bits each.
std::vector<DWORD> ReadPixels(HDC dc, HBITMAP bitmap, int w, int h) {
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  std::vector<DWORD> pixels(static_cast<size_t>(w) * h);
  GetDIBits(dc, bitmap, 0, h, pixels.data(), &info, DIB_RGB_COLORS);
  for (DWORD& pixel : pixels) pixel &= 0x00FFFFFF;
  return pixels;
}

int CountDifferences(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
  int differences = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) differences += a[i] != b[i];
  return differences;
}

// Which system icon the box shows, told by its pixels: icon handles cannot
// be compared across processes on every platform, but the screen can be
// read. The candidates are drawn on the background seen in the corner.
int IdentifyBoxIcon(HWND box) {
  const HWND icon = GetDlgItem(box, 0x0440);
  if (icon == nullptr || !IsWindowVisible(icon)) return 0;
  Sleep(300);  // let the box paint itself
  RECT place;
  GetWindowRect(icon, &place);
  const int w = GetSystemMetrics(SM_CXICON);
  const int h = GetSystemMetrics(SM_CYICON);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, place.left, place.top, SRCCOPY);
  SelectObject(memory, previous);
  const std::vector<DWORD> shown = ReadPixels(memory, bitmap, w, h);
  const DWORD corner = shown.empty() ? 0 : shown[0];

  const int candidates[] = {32515 /* IDI_WARNING */, 32513 /* IDI_ERROR */, 32516 /* IDI_INFORMATION */,
                            32514 /* IDI_QUESTION */};
  int best = 0;
  int bestDifferences = w * h;
  for (int candidate : candidates) {
    previous = SelectObject(memory, bitmap);
    HBRUSH background = CreateSolidBrush(RGB((corner >> 16) & 0xFF, (corner >> 8) & 0xFF, corner & 0xFF));
    RECT all = {0, 0, w, h};
    FillRect(memory, &all, background);
    DeleteObject(background);
    DrawIconEx(memory, 0, 0, LoadIconW(nullptr, MAKEINTRESOURCEW(candidate)), w, h, 0, nullptr, DI_NORMAL);
    SelectObject(memory, previous);
    const int differences = CountDifferences(shown, ReadPixels(memory, bitmap, w, h));
    if (differences < bestDifferences) {
      best = candidate;
      bestDifferences = differences;
    }
  }
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  // A few pixels may differ by blending; a wrong icon differs in hundreds.
  return bestDifferences * 10 < w * h ? best : 0;
}

void SetText(HWND control, const std::wstring& text) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                      MessageTimeoutMs, &ignored);
}

void PressButton(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void WaitUntilClosed(HWND window) {
  const ULONGLONG deadline = GetTickCount64() + CloseWaitMs;
  while (IsWindow(window) && IsWindowVisible(window) && GetTickCount64() < deadline) Sleep(20);
}

struct Candidates {
  std::vector<HWND> windows;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM param) {
  wchar_t className[16];
  GetClassNameW(window, className, 16);

  if (!IsWindowVisible(window) || std::wcscmp(className, L"#32770") != 0) return TRUE;
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (IsLauncherProcess(processId)) reinterpret_cast<Candidates*>(param)->windows.push_back(window);
  return TRUE;
}

}  // namespace

struct UiDriverState {
  HDESK desktop = nullptr;  // the starting thread's, where the launcher's windows appear
  std::vector<CredentialsAnswer> answers;
  size_t nextAnswer = 0;
  std::set<HWND> handled;
  std::vector<SeenWindow> seen;
  std::mutex lock;
  volatile LONG stop = 0;
};

namespace {

SeenWindow Describe(HWND window) {
  SeenWindow seen;
  seen.caption = WindowText(window);
  ButtonCount buttons;
  EnumChildWindows(window, CountButton, reinterpret_cast<LPARAM>(&buttons));
  seen.buttonCount = buttons.visible;
  seen.hasOkButton = buttons.ok;
  if (seen.caption == CredentialsCaption) {
    seen.text = WindowText(GetDlgItem(window, CredentialsMessageId));
  } else {
    seen.text = WindowText(GetDlgItem(window, BoxTextId));
    seen.warningIcon = IdentifyBoxIcon(window) == 32515;
  }
  return seen;
}

void Answer(UiDriverState& state, HWND window, const SeenWindow& seen) {
  if (seen.caption != CredentialsCaption) {
    PressButton(window, IDOK);
    return;
  }
  CredentialsAnswer answer;
  if (state.nextAnswer < state.answers.size()) answer = state.answers[state.nextAnswer++];
  if (!answer.confirm) {
    PressButton(window, IDCANCEL);
    return;
  }
  SetText(GetDlgItem(window, UserNameId), answer.userName);
  SetText(GetDlgItem(window, PasswordId), answer.password);
  PressButton(window, IDOK);
}

DWORD WINAPI DriveWindows(void* param) {
  UiDriverState& state = *static_cast<UiDriverState*>(param);
  // A new thread may start on the default desktop rather than its process's.
  SetThreadDesktop(state.desktop);
  while (InterlockedCompareExchange(&state.stop, 0, 0) == 0) {
    Candidates candidates;
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&candidates));
    for (HWND window : candidates.windows) {
      if (state.handled.count(window) != 0) continue;
      state.handled.insert(window);
      const SeenWindow seen = Describe(window);
      {
        std::lock_guard<std::mutex> guard(state.lock);
        state.seen.push_back(seen);
      }
      Answer(state, window, seen);
      WaitUntilClosed(window);
    }
    Sleep(PollMs);
  }
  return 0;
}

}  // namespace

UiDriver StartUiDriver(const std::vector<CredentialsAnswer>& answers) {
  UiDriver driver;
  driver.state = new UiDriverState();
  driver.state->answers = answers;
  driver.state->desktop = GetThreadDesktop(GetCurrentThreadId());
  driver.thread = CreateThread(nullptr, 0, DriveWindows, driver.state, 0, nullptr);
  return driver;
}

std::vector<SeenWindow> StopUiDriver(UiDriver& driver) {
  std::vector<SeenWindow> seen;
  if (driver.state == nullptr) return seen;
  InterlockedExchange(&driver.state->stop, 1);
  const bool ended = driver.thread == nullptr || WaitForSingleObject(driver.thread, 30000) == WAIT_OBJECT_0;
  if (driver.thread != nullptr) CloseHandle(driver.thread);
  {
    std::lock_guard<std::mutex> guard(driver.state->lock);
    seen = driver.state->seen;
  }
  // A thread still stuck in a window call keeps its state.
  if (ended) delete driver.state;
  driver = UiDriver();
  return seen;
}

bool DisplayAvailable() { return GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) > 0; }
