// The call layer's own cost: property reads and method calls through the accessors, next to
// the same Invoke calls made by hand, against an in-process object that does nothing.
//
// dispatch_bench [N]   (default 1000000) prints
//   dispatch layer ratio: X.XX
//   dispatch layer: X ns/call
//   dispatch direct: X ns/call
//   dispatch heap growth: N bytes

#include <windows.h>
#include <oaidl.h>

#include <cstdio>
#include <cstdlib>

#include "outlook/members.h"
#include "outlook/variant.h"

// The idle server lives in a translation unit of its own, out of the compiler's sight, as
// Outlook's server is: otherwise the direct calls would be devirtualised and inlined.
IDispatch* idle_server();
ULONG idle_server_references();

namespace {

double seconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Bytes in use in every heap of the process.
long long heap_in_use() {
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  long long total = 0;
  for (DWORD i = 0; i < count && i < 64; ++i) {
    PROCESS_HEAP_ENTRY entry{};
    HeapLock(heaps[i]);
    while (HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) total += entry.cbData;
    }
    HeapUnlock(heaps[i]);
  }
  return total;
}

long long through_layer(IDispatch& server, long n) {
  outlook::DispatchPtr owner;
  owner = &server;
  outlook::Variant index;
  outlook::make_variant(index, 1, VT_I4);
  long long sum = 0;
  for (long i = 0; i < n; ++i) {
    sum += outlook::items_count(owner);
    sum += outlook::items_item(owner, index.get()) ? 1 : 0;
  }
  return sum;
}

long long by_hand(IDispatch& server, long n) {
  VARIANT index;
  VariantInit(&index);
  index.vt = VT_I4;
  index.lVal = 1;
  long long sum = 0;
  for (long i = 0; i < n; ++i) {
    DISPPARAMS none{};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception{};
    UINT argument_error = static_cast<UINT>(-1);
    if (SUCCEEDED(server.Invoke(outlook::dispid::count, IID_NULL, 0, DISPATCH_PROPERTYGET, &none,
                                &result, &exception, &argument_error)) &&
        result.vt == VT_I4)
      sum += result.lVal;

    DISPPARAMS one{};
    one.rgvarg = &index;
    one.cArgs = 1;
    VARIANT object;
    VariantInit(&object);
    EXCEPINFO object_exception{};
    if (SUCCEEDED(server.Invoke(outlook::dispid::item, IID_NULL, 0, DISPATCH_METHOD, &one, &object,
                                &object_exception, &argument_error)) &&
        object.vt == VT_DISPATCH && object.pdispVal != nullptr) {
      sum += 1;
      object.pdispVal->Release();
    }
  }
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000000;
  IDispatch& server = *idle_server();
  through_layer(server, 1000);  // warm-up: first-use allocations are not growth
  by_hand(server, 1000);

  // Alternate the two so that neither gets the machine's quieter moments alone.
  double layer = 0, direct = 0;
  long long sums = 0;
  const long rounds = 10;
  long long heap_before = 0;
  for (long round = 0; round < rounds; ++round) {
    // Growth is counted over the later half, past whatever the first calls set up once.
    if (round == rounds / 2) heap_before = heap_in_use();
    double start = seconds();
    sums += through_layer(server, n / rounds);
    layer += seconds() - start;
    start = seconds();
    sums -= by_hand(server, n / rounds);
    direct += seconds() - start;
  }
  const long long heap_after = heap_in_use();

  if (sums != 0 || idle_server_references() != 1) {
    std::fprintf(stderr, "the two ways disagree (%lld) or references leaked (%lu)\n", sums,
                 idle_server_references());
    return 1;
  }
  const double calls = 2.0 * static_cast<double>(n);
  std::printf("dispatch layer ratio: %.2f\n", layer / direct);
  std::printf("dispatch layer: %.1f ns/call\n", layer / calls * 1e9);
  std::printf("dispatch direct: %.1f ns/call\n", direct / calls * 1e9);
  std::printf("dispatch heap growth: %lld bytes\n", heap_after - heap_before);
  return 0;
}
