// The DLL's entry points: the class object COM asks for, the unload check, and the counts that
// tests read in process.

#include <windows.h>

#include "testbed/outlook/server.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) testbed::write_summary();
  return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI
    DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != testbed::outlook_application_clsid) return CLASS_E_CLASSNOTAVAILABLE;
  return testbed::make_class_factory(iid, out);
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow() {
  return testbed::server_counts.objects == 0 && testbed::server_counts.locks == 0 ? S_OK : S_FALSE;
}

extern "C" __declspec(dllexport) void WINAPI
    outlook_standin_counters(LONG* calls, LONG* objects, LONG* references) {
  if (calls != nullptr) *calls = testbed::server_counts.calls;
  if (objects != nullptr) *objects = testbed::server_counts.objects;
  if (references != nullptr) *references = testbed::server_counts.references;
}
