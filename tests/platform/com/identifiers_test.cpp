// Identifier text forms and random identifiers.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

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

// Identifiers come from a batch of random bytes per thread: a forked child must not repeat the ones
// its parent goes on to make.
TEST(Identifiers, AForkedChildMakesOtherIdentifiersThanItsParent) {
  GUID first;
  ASSERT_EQ(CoCreateGuid(&first), S_OK);  // the parent now holds a batch
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    GUID g{};
    CoCreateGuid(&g);
    _exit(write(fds[1], &g, sizeof g) == sizeof g ? 0 : 1);
  }
  GUID parent, in_child{};
  ASSERT_EQ(CoCreateGuid(&parent), S_OK);
  ASSERT_EQ(read(fds[0], &in_child, sizeof in_child), static_cast<ssize_t>(sizeof in_child));
  waitpid(child, nullptr, 0);
  close(fds[0]);
  close(fds[1]);
  EXPECT_NE(comrt::to_u16string(parent), comrt::to_u16string(in_child));
}

}  // namespace
