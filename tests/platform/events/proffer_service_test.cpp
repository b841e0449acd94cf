// A host that offers its IProfferService only as a service of its site, as hosts commonly do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "comrt/site.h"

struct IProfferTestWidget : IUnknown {};
COMRT_INTERFACE_ID(IProfferTestWidget, IUnknown, 0x5E0A1C20, 0x2B7D, 0x4C3E, 0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C,
                   0x20)
inline constexpr GUID SID_ProfferTestWidget{0x5E0A1C21, 0x2B7D, 0x4C3E, {0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x21}};

namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Eq;
using ::testing::Return;
using ::testing::SetArgPointee;

class ProfferedWidget final
    : public comrt::object_with_proffered_site<
          comrt::implements<ProfferedWidget, IProfferTestWidget, IObjectWithSite, IServiceProvider>,
          SID_ProfferTestWidget> {};

class MockProffer final : public comrt::implements<MockProffer, IProfferService> {
 public:
  MOCK_METHOD(HRESULT, ProfferService, (REFGUID sid, IServiceProvider* provider, DWORD* cookie), (override));
  MOCK_METHOD(HRESULT, RevokeService, (DWORD cookie), (override));
};

// A site that is only a service provider; its proffer service is a separate object.
class ServiceSite final : public comrt::implements<ServiceSite, IServiceProvider> {
 public:
  comrt::com_ptr<MockProffer> proffer = comrt::make<MockProffer>();
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID sid, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(sid == SID_SProfferService)) return E_NOINTERFACE;
    return proffer->QueryInterface(riid, ppv);
  }
};

TEST(ProfferService, IsFoundThroughTheSitesServiceProvider) {
  auto widget = comrt::make<ProfferedWidget>();
  auto site = comrt::make<ServiceSite>();
  EXPECT_CALL(*site->proffer, ProfferService(Eq(SID_ProfferTestWidget), _, _))
      .WillOnce(DoAll(SetArgPointee<2>(42u), Return(S_OK)));
  EXPECT_CALL(*site->proffer, RevokeService(42u)).WillOnce(Return(S_OK));
  ASSERT_EQ(widget->SetSite(site->identity()), S_OK);
  EXPECT_EQ(widget->proffer_cookie(), 42u);
  ASSERT_EQ(widget->SetSite(nullptr), S_OK);
  EXPECT_EQ(widget->proffer_cookie(), comrt::proffered_site::no_cookie);
}

}  // namespace
