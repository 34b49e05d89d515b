// outlook_window.exe [--for MS]: a top-level window of Outlook's main window class
// ("rctrl_renwnd32"), as a running Outlook shows, until it is closed (WM_CLOSE) or MS
// milliseconds have passed. It stands for an Outlook that runs at another privilege level.

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr char window_class[] = "rctrl_renwnd32";

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int) {
  const char* limit = std::strstr(command_line, "--for ");
  const UINT lifetime_ms = limit != nullptr ? UINT(std::strtoul(limit + 6, nullptr, 10)) : 0;
  WNDCLASSA registered{};
  registered.lpfnWndProc = window_procedure;
  registered.hInstance = instance;
  registered.lpszClassName = window_class;
  if (RegisterClassA(&registered) == 0) return 1;
  const HWND window = CreateWindowExA(0, window_class, "Inbox - Outlook", WS_OVERLAPPEDWINDOW,
                                      40, 40, 320, 200, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 1;
  ShowWindow(window, SW_SHOWNOACTIVATE);
  if (lifetime_ms != 0) SetTimer(window, 1, lifetime_ms, nullptr);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER && message.hwnd == window) DestroyWindow(window);
    DispatchMessageA(&message);
  }
  return 0;
}
