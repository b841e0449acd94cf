// Sites and services: the proffer to the site's IProfferService (its own or one its service provider
// offers), GetSite, and QueryService passed on to the site.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "comrt/site.h"
#include "event_doubles.h"

struct ITestWidget : IUnknown {};
COMRT_INTERFACE_ID(ITestWidget, IUnknown, 0x5E0A1C10, 0x2B7D, 0x4C3E, 0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x10)
inline constexpr GUID SID_TestWidget{0x5E0A1C11, 0x2B7D, 0x4C3E, {0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x11}};
inline constexpr GUID SID_Other{0x5E0A1C12, 0x2B7D, 0x4C3E, {0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x12}};

namespace event_test {
namespace {

using ::testing::_, ::testing::DoAll, ::testing::Eq, ::testing::Return, ::testing::SetArgPointee;
constexpr DWORD no_cookie = comrt::proffered_site::no_cookie;

class Widget final
    : public comrt::object_with_site<comrt::implements<Widget, ITestWidget, IObjectWithSite, IServiceProvider>> {
 public:
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID s, REFIID r, void** p) override { return site().query_service(s, r, p); }
};

class ProfferedWidget final
    : public comrt::object_with_proffered_site<
          comrt::implements<ProfferedWidget, ITestWidget, IObjectWithSite, IServiceProvider>, SID_TestWidget> {};

TEST(ProfferedSite, IsProfferedWhileSetAndRevokedWhenReplaced) {
  auto widget = comrt::make<ProfferedWidget>();
  auto site = comrt::make<MockSite>(), refusing = comrt::make<MockSite>();
  ::testing::InSequence order;
  EXPECT_CALL(*site, ProfferService(Eq(SID_TestWidget), static_cast<IServiceProvider*>(widget.get()), _))
      .WillOnce(DoAll(SetArgPointee<2>(0x1234u), Return(S_OK)));
  EXPECT_CALL(*site, RevokeService(0x1234u)).WillOnce(Return(E_ACCESSDENIED)).WillOnce(Return(S_OK));
  EXPECT_CALL(*refusing, ProfferService(_, _, _)).WillOnce(Return(E_OUTOFMEMORY));
  ASSERT_EQ(widget->SetSite(site->identity()), S_OK);
  EXPECT_EQ(widget->proffer_cookie(), 0x1234u);
  EXPECT_EQ(widget->SetSite(nullptr), E_ACCESSDENIED);  // a failed revoke changes nothing
  EXPECT_EQ(widget->proffer_cookie(), 0x1234u);
  // A failed proffer keeps the old site, without its proffer.
  EXPECT_EQ(widget->SetSite(refusing->identity()), E_OUTOFMEMORY);
  EXPECT_EQ(widget->proffer_cookie(), no_cookie);
  com_ptr<IUnknown> got;
  ASSERT_EQ(widget->GetSite(IID_IUnknown, got.put_void()), S_OK);
  EXPECT_EQ(got.get(), site->identity());
  ASSERT_EQ(widget->SetSite(nullptr), S_OK);
  EXPECT_EQ(ref_count(site->identity()), 2u);  // ours and got
}

TEST(ProfferedSite, ServesItselfAndPassesOtherServicesOn) {
  auto widget = comrt::make<ProfferedWidget>();
  com_ptr<ITestWidget> self;
  ASSERT_EQ(widget->QueryService(SID_TestWidget, IID_ITestWidget, self.put_void()), S_OK);  // also without a site
  EXPECT_EQ(self.get(), static_cast<ITestWidget*>(widget.get()));
  void* out = nullptr;
  EXPECT_EQ(widget->QueryService(SID_Other, IID_IUnknown, &out), E_NOINTERFACE);
  // A site without IProfferService is stored as it is and serves the other requests.
  auto plain = comrt::make<Widget>();
  auto provider = comrt::make<MockSite>();
  plain->SetSite(provider->identity());
  ASSERT_EQ(widget->SetSite(plain->identity()), S_OK);
  EXPECT_EQ(widget->proffer_cookie(), no_cookie);
  EXPECT_CALL(*provider, QueryService(Eq(SID_Other), Eq(IID_IUnknown), _)).WillOnce(Return(E_ABORT));
  EXPECT_EQ(widget->QueryService(SID_Other, IID_IUnknown, &out), E_ABORT);
}

TEST(ProfferedSite, IsFoundThroughTheSitesServiceProviderAndSetSiteFromInsideItIsRefused) {
  auto widget = comrt::make<ProfferedWidget>();
  auto site = comrt::make<Widget>();  // serves services only through its own site
  auto host = comrt::make<MockSite>();
  site->SetSite(host->identity());
  EXPECT_CALL(*host, QueryService(Eq(SID_SProfferService), _, _)).WillRepeatedly([&](REFGUID, REFIID riid, void** ppv) {
    return host->QueryInterface(riid, ppv);
  });
  EXPECT_CALL(*host, ProfferService(Eq(SID_TestWidget), _, _)).WillOnce([&](REFGUID, IServiceProvider*, DWORD* cookie) {
    EXPECT_EQ(widget->SetSite(nullptr), E_UNEXPECTED);
    return *cookie = 9, S_OK;
  });
  EXPECT_CALL(*host, RevokeService(9u)).WillOnce(Return(S_OK));
  EXPECT_EQ(widget->SetSite(site->identity()), S_OK);
  EXPECT_EQ(widget->proffer_cookie(), 9u);
  EXPECT_EQ(widget->SetSite(nullptr), S_OK);
}

}  // namespace
}  // namespace event_test
