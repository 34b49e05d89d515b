// outlook_server.exe -Embedding: the Outlook stand-in as Outlook itself runs, a local server of
// its own process, which COM starts for a client that makes Outlook's Application when the
// class is registered as LocalServer32. The objects are the DLL's; what differs is how calls
// arrive: through COM's channel, past this server's message filter, on its one thread.
//
// One client per process (REGCLS_SINGLEUSE): the profile and the log come from the
// environment, which Wine's COM hands on from the client that started the server. The server
// ends when its last object is gone, when the making of the Application failed, when its
// client's process ends, or when nobody made anything within a minute.

#include <windows.h>

#include <ole2.h>
#include <tlhelp32.h>

#include <cstring>
#include <string>

#include "testbed/outlook/server.h"

namespace {

// COM's own interface for a client's references (RemQueryInterface, RemAddRef, RemRelease).
constexpr IID remote_unknown_iid = {
    0x00000131, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID remote_unknown2_iid = {
    0x00000143, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr DWORD idle_limit_ms = 60000;

// COM's threads send the answer of the call that ended the last object after this thread
// has returned from it: the server ends a moment later, not at once.
constexpr ULONGLONG ending_delay_ms = 500;
ULONGLONG ending_at = 0;

void end_serving() { ending_at = GetTickCount64() + ending_delay_ms; }

// Turns calls away while the profile says the server is busy, as Outlook's filter does while
// it starts or shows a modal dialog. Wine's COM hands SERVERCALL_REJECTED to the caller at
// once as RPC_E_CALL_REJECTED; it also passes IRemUnknown's calls through here, which are
// COM's bookkeeping rather than calls into Outlook and are let through.
class MessageFilter : public IMessageFilter {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = iid == IID_IUnknown || iid == IID_IMessageFilter ? this : nullptr;
    return *out != nullptr ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD,
                                             LPINTERFACEINFO info) override {
    if (info != nullptr && (info->iid == remote_unknown_iid || info->iid == remote_unknown2_iid))
      return SERVERCALL_ISHANDLED;
    if (!testbed::turning_call_away()) return SERVERCALL_ISHANDLED;
    try {
      testbed::log_line(
          "reject " + (info != nullptr ? testbed::interface_name(info->iid) : std::string("?")) +
          " method " + std::to_string(info != nullptr ? info->wMethod : 0));
    } catch (...) {
    }
    return SERVERCALL_REJECTED;
  }
  DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return DWORD(-1); }
  DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override {
    return PENDINGMSG_WAITDEFPROCESS;
  }
};

MessageFilter filter;

// Wine's COM starts the server from the client's process: its parent is its client. The
// handle also serves to read the client's token, whose level decides an other_level making.
HANDLE open_parent() {
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  return parent != 0 ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent)
                     : nullptr;
}

bool embedding(const char* command_line) {
  return std::strstr(command_line, "-Embedding") != nullptr ||
         std::strstr(command_line, "/Embedding") != nullptr;
}

// Messages until the server has nothing more to do.
void serve() {
  const HANDLE parent = testbed::client_process;
  const ULONGLONG started = GetTickCount64();
  while (true) {
    const DWORD woken = MsgWaitForMultipleObjects(parent != nullptr ? 1 : 0, &parent, FALSE,
                                                  ending_at != 0 ? 50 : 1000, QS_ALLINPUT);
    if (parent != nullptr && woken == WAIT_OBJECT_0) {
      testbed::log_line("server end: its client is gone");
      return;
    }
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return;
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (ending_at != 0 && GetTickCount64() >= ending_at) return;
    if (testbed::server_counts.calls == 0 && testbed::server_counts.automation == 0 &&
        GetTickCount64() - started > idle_limit_ms) {
      testbed::log_line("server end: nothing was made");
      return;
    }
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR command_line, int) {
  if (!embedding(command_line)) return 2;  // only COM starts it
  testbed::serving_out_of_process = true;
  testbed::client_process = open_parent();
  testbed::last_object_gone = end_serving;
  testbed::log_line("server start pid=" + std::to_string(GetCurrentProcessId()) + " bits=" +
                    std::to_string(8 * sizeof(void*)));
  if (FAILED(CoInitialize(nullptr))) return 1;
  IMessageFilter* previous = nullptr;
  CoRegisterMessageFilter(&filter, &previous);
  IUnknown* factory = nullptr;
  DWORD cookie = 0;
  HRESULT registered = testbed::make_class_factory(IID_IUnknown, reinterpret_cast<void**>(&factory));
  if (SUCCEEDED(registered)) {
    registered = CoRegisterClassObject(testbed::outlook_application_clsid, factory,
                                       CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie);
  }
  if (SUCCEEDED(registered)) {
    serve();
    CoRevokeClassObject(cookie);
  } else {
    testbed::log_line("server end: cannot register its class (" +
                      testbed::hresult_text(registered) + ")");
  }
  if (factory != nullptr) factory->Release();
  CoRegisterMessageFilter(previous, nullptr);
  CoUninitialize();
  testbed::write_summary();
  if (testbed::client_process != nullptr) CloseHandle(testbed::client_process);
  // Under qemu-i386 (the 32-bit build here) the threads COM leaves behind crash the process as
  // it is taken down the usual way; ended at once, it ends cleanly.
  TerminateProcess(GetCurrentProcess(), SUCCEEDED(registered) ? 0 : 1);
  return SUCCEEDED(registered) ? 0 : 1;
}
