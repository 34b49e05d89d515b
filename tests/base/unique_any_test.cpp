#include "base/unique_any.h"

#include <unknwn.h>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

std::vector<int> closed;

struct CountingTraits {
  using type = int;
  static type empty() { return 0; }
  static void close(type value) { closed.push_back(value); }
};
using unique_counted = base::unique_any<CountingTraits>;

TEST(UniqueAny, ClosesEveryValueExactlyOnceThroughMovesResetsAndPut) {
  closed.clear();
  {
    unique_counted first(1);
    unique_counted second(std::move(first));
    EXPECT_FALSE(first);
    unique_counted third(3);
    third = std::move(second);  // 3 goes now, 1 moves on
    EXPECT_EQ(closed, std::vector<int>{3});
    auto& same = third;
    third = std::move(same);  // self-move keeps the value
    EXPECT_EQ(third.get(), 1);
    *third.put() = 4;  // 1 goes before the slot is handed out
    EXPECT_EQ(closed, (std::vector<int>{3, 1}));
    unique_counted fifth(5);
    EXPECT_EQ(fifth.release(), 5);  // released values are the caller's
  }
  EXPECT_EQ(closed, (std::vector<int>{3, 1, 4}));
}

TEST(UniqueAny, ClosesARealHandleOnceAndOnlyOnce) {
  HANDLE raw = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  {
    base::unique_handle owner(raw);
    base::unique_handle moved(std::move(owner));
    DWORD flags = 0xdeadbeef;
    EXPECT_TRUE(GetHandleInformation(raw, &flags));
  }
  DWORD flags = 0xdeadbeef;
  EXPECT_FALSE(GetHandleInformation(raw, &flags));
}

TEST(UniqueAny, FileOwnerTreatsInvalidHandleAsEmpty) {
  base::unique_file none(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(none);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  base::unique_hkey owner(key);
  owner.reset();
  EXPECT_FALSE(owner);
  EXPECT_NE(RegQueryValueExA(key, "", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS)
      << "the key should be closed";
}

struct CountedObject : IUnknown {
  ULONG references = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
};

TEST(UniqueCom, ReleasesTheReferenceItOwnsOnce) {
  CountedObject object;
  {
    base::unique_com<IUnknown> owner(&object);
    base::unique_com<IUnknown> moved(std::move(owner));
    EXPECT_EQ(object.references, 1u);
  }
  EXPECT_EQ(object.references, 0u);
}

}  // namespace
