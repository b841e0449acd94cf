// Identifier text forms and random identifiers.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "comrt/combase.h"
#include "comrt/guid.h"
#include "platform/registry/registry_sandbox.h"

namespace {

constexpr GUID sample{0x0946E232, 0x81EA, 0x4DF2, {0xB7, 0xDB, 0xCA, 0xF9, 0x00, 0xE0, 0xD2, 0x09}};
constexpr char16_t kSampleText[] = u"{0946E232-81EA-4DF2-B7DB-CAF900E0D209}";

TEST(Identifiers, TextFormRoundTripsAndMalformedTextIsRejected) {
  OLECHAR text[39];
  ASSERT_EQ(StringFromGUID2(sample, text, 39), 39);
  EXPECT_EQ(std::u16string(text), kSampleText);
  EXPECT_EQ(StringFromGUID2(sample, text, 38), 0);
  CLSID back{};
  ASSERT_EQ(CLSIDFromString(u"{0946e232-81ea-4df2-b7db-caf900e0d209}", &back), S_OK);
  EXPECT_EQ(back, sample);

  tolvane::test::registry_sandbox sandbox;  // text that is no GUID is looked up as a ProgID
  for (const char16_t* bad : {u"", u"0946E232-81EA-4DF2-B7DB-CAF900E0D209", u"{0946E232-81EA-4DF2-B7DB-CAF900E0D20}",
                              u"{0946E232-81EA-4DF2-B7DB-CAF900E0D2099}", u"{0946E232-81EA-4DF2-B7DBCCAF900E0D209}",
                              u"{0946E232-81EA-4DF2-B7DB-CAF900E0D2G9}", u"{+946E232-81EA-4DF2-B7DB-CAF900E0D209}"}) {
    SCOPED_TRACE(std::string(bad, bad + std::char_traits<char16_t>::length(bad)));
    CLSID clsid = sample;
    EXPECT_EQ(CLSIDFromString(bad, &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(clsid, GUID_NULL);
    IID iid = sample;
    EXPECT_EQ(IIDFromString(bad, &iid), E_INVALIDARG);
    EXPECT_EQ(iid, sample);  // untouched
  }
  // A null string is the null identifier.
  IID iid = sample;
  EXPECT_EQ(IIDFromString(nullptr, &iid), S_OK);
  EXPECT_EQ(iid, GUID_NULL);
}

TEST(Identifiers, NewIdentifiersAreRandomVersion4) {
  std::set<std::u16string> seen;
  for (int i = 0; i < 200; ++i) {
    GUID g;
    ASSERT_EQ(CoCreateGuid(&g), S_OK);
    EXPECT_EQ(g.Data3 >> 12, 4);
    EXPECT_EQ(g.Data4[0] >> 6, 2);
    seen.insert(comrt::to_u16string(g));
  }
  EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
