// Identifier text forms, random identifiers, task memory and the errno mapping.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <tuple>

#include "comrt/combase.h"
#include "comrt/guid.h"
#include "platform/registry/registry_sandbox.h"

namespace {

constexpr GUID sample{0x0946E232, 0x81EA, 0x4DF2, {0xB7, 0xDB, 0xCA, 0xF9, 0x00, 0xE0, 0xD2, 0x09}};

std::tuple<uint32_t, uint16_t, uint16_t, uint64_t> fields(const GUID& g) {
  uint64_t tail = 0;
  for (uint8_t b : g.Data4) tail = (tail << 8) | b;
  return {g.Data1, g.Data2, g.Data3, tail};
}

TEST(Identifiers, TextFormRoundTrips) {
  const GUID all_ones{0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
  for (const GUID& g : {sample, GUID_NULL, all_ones}) {
    OLECHAR text[39];
    ASSERT_EQ(StringFromGUID2(g, text, 39), 39);
    EXPECT_EQ(std::u16string(text), comrt::to_u16string(g));
    CLSID back{};
    ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
    EXPECT_EQ(fields(back), fields(g));
  }
  EXPECT_EQ(comrt::to_u16string(sample), u"{0946E232-81EA-4DF2-B7DB-CAF900E0D209}");
  auto lower = comrt::parse_guid(u"{0946e232-81ea-4df2-b7db-caf900e0d209}");
  ASSERT_TRUE(lower);
  EXPECT_EQ(fields(*lower), fields(sample));

  OLECHAR small[38];
  EXPECT_EQ(StringFromGUID2(sample, small, 38), 0);
  EXPECT_EQ(StringFromGUID2(sample, nullptr, 39), 0);
  LPOLESTR allocated = nullptr;
  ASSERT_EQ(StringFromCLSID(sample, &allocated), S_OK);
  EXPECT_EQ(std::u16string(allocated), u"{0946E232-81EA-4DF2-B7DB-CAF900E0D209}");
  CoTaskMemFree(allocated);
}

TEST(Identifiers, MalformedTextIsRejected) {
  tolvane::test::registry_sandbox sandbox;  // text that is no GUID is looked up as a ProgID
  for (const char16_t* bad : {u"", u"0946E232-81EA-4DF2-B7DB-CAF900E0D209", u"{0946E232-81EA-4DF2-B7DB-CAF900E0D20}",
                              u"{0946E232-81EA-4DF2-B7DB-CAF900E0D2099}", u"{0946E232-81EA-4DF2-B7DBCCAF900E0D209}",
                              u"{0946E232-81EA-4DF2-B7DB-CAF900E0D2G9}", u"{+946E232-81EA-4DF2-B7DB-CAF900E0D209}",
                              u"(0946E232-81EA-4DF2-B7DB-CAF900E0D209)", u" {0946E232-81EA-4DF2-B7DB-CAF900E0D209}"}) {
    SCOPED_TRACE(std::string(bad, bad + std::char_traits<char16_t>::length(bad)));
    EXPECT_FALSE(comrt::parse_guid(bad));
    CLSID clsid = sample;
    EXPECT_EQ(CLSIDFromString(bad, &clsid), CO_E_CLASSSTRING);  // also not a registered ProgID
    EXPECT_EQ(fields(clsid), fields(GUID_NULL));
    IID iid = sample;
    EXPECT_EQ(IIDFromString(bad, &iid), E_INVALIDARG);
    EXPECT_EQ(fields(iid), fields(sample));  // untouched
  }
  // A null string is the null identifier; a null result pointer is an error.
  CLSID clsid = sample;
  EXPECT_EQ(CLSIDFromString(nullptr, &clsid), S_OK);
  EXPECT_EQ(fields(clsid), fields(GUID_NULL));
  IID iid = sample;
  EXPECT_EQ(IIDFromString(nullptr, &iid), S_OK);
  EXPECT_EQ(fields(iid), fields(GUID_NULL));
  EXPECT_EQ(CLSIDFromString(u"{0946E232-81EA-4DF2-B7DB-CAF900E0D209}", nullptr), E_INVALIDARG);
}

TEST(Identifiers, NewIdentifiersAreRandomVersion4) {
  std::set<std::tuple<uint32_t, uint16_t, uint16_t, uint64_t>> seen;
  for (int i = 0; i < 200; ++i) {
    GUID g;
    ASSERT_EQ(CoCreateGuid(&g), S_OK);
    EXPECT_EQ(g.Data3 >> 12, 4);
    EXPECT_EQ(g.Data4[0] >> 6, 2);
    seen.insert(fields(g));
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

TEST(Identifiers, ErrnoValuesMapToStatuses) {
  const std::pair<int, HRESULT> table[] = {
      {0, S_OK},
      {ENOENT, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {ENOTDIR, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
      {EACCES, E_ACCESSDENIED},
      {EPERM, E_ACCESSDENIED},
      {ENOMEM, E_OUTOFMEMORY},
      {EEXIST, HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)},
      {ENOSPC, HRESULT_FROM_WIN32(ERROR_DISK_FULL)},
      {EINVAL, E_INVALIDARG},
      {EBUSY, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)},
      {ENAMETOOLONG, HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)},
      {EIO, HRESULT_FROM_WIN32(ERROR_READ_FAULT)},
      {EPIPE, E_FAIL},
      {-5, E_FAIL},
  };
  for (auto [err, hr] : table) EXPECT_EQ(HResultFromErrno(err), hr) << "errno " << err;
  try {
    comrt::throw_errno(ENOENT);
    ADD_FAILURE();
  } catch (const comrt::hresult_error& e) {
    EXPECT_EQ(e.code(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  }
}

TEST(Identifiers, TaskMemoryReallocation) {
  void* p = CoTaskMemRealloc(nullptr, 8);  // a null block is allocated
  ASSERT_NE(p, nullptr);
  static_cast<char*>(p)[7] = 'x';
  p = CoTaskMemRealloc(p, 4096);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(static_cast<char*>(p)[7], 'x');
  EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // frees
  void* empty = CoTaskMemAlloc(0);
  EXPECT_NE(empty, nullptr);
  CoTaskMemFree(empty);
  CoTaskMemFree(nullptr);
}

}  // namespace
