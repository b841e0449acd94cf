// Sites and services: GetSite rules, QueryService passed on to the site, the proffer to the site's
// IProfferService, and the typed QueryService helpers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "comrt/site.h"
#include "event_doubles.h"

struct ITestWidget : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Nothing() = 0;
};
COMRT_INTERFACE_ID(ITestWidget, IUnknown, 0x5E0A1C10, 0x2B7D, 0x4C3E, 0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x10)
inline constexpr GUID SID_TestWidget{0x5E0A1C11, 0x2B7D, 0x4C3E, {0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x11}};
inline constexpr GUID SID_Other{0x5E0A1C12, 0x2B7D, 0x4C3E, {0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x12}};
inline constexpr CLSID CLSID_TestWidget{0x5E0A1C13, 0x2B7D, 0x4C3E, {0x9A, 0x11, 0x42, 0x6F, 0x10, 0x8B, 0x7C, 0x13}};

namespace event_test {
namespace {

using comrt::com_ptr;
using ::testing::_;
using ::testing::DoAll;
using ::testing::Eq;
using ::testing::Invoke;
using ::testing::Return;
using ::testing::SetArgPointee;

// An object that keeps a site and passes service requests on to it.
class Widget final
    : public comrt::object_with_site<comrt::implements<Widget, ITestWidget, IObjectWithSite, IServiceProvider, IPersist>> {
 public:
  HRESULT STDMETHODCALLTYPE Nothing() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID sid, REFIID riid, void** ppv) override {
    return site().query_service(sid, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* p) override { return comrt::persist_class_id(p, CLSID_TestWidget); }
};

// An object that proffers itself to its site as SID_TestWidget.
class ProfferedWidget final
    : public comrt::object_with_proffered_site<
          comrt::implements<ProfferedWidget, ITestWidget, IObjectWithSite, IServiceProvider>, SID_TestWidget> {
 public:
  HRESULT STDMETHODCALLTYPE Nothing() override { return S_OK; }
};

class MockProvider final : public comrt::implements<MockProvider, IServiceProvider> {
 public:
  MOCK_METHOD(HRESULT, QueryService, (REFGUID sid, REFIID riid, void** ppv), (override));
};

class MockProfferSite final : public comrt::implements<MockProfferSite, IServiceProvider, IProfferService> {
 public:
  MOCK_METHOD(HRESULT, QueryService, (REFGUID sid, REFIID riid, void** ppv), (override));
  MOCK_METHOD(HRESULT, ProfferService, (REFGUID sid, IServiceProvider* provider, DWORD* cookie), (override));
  MOCK_METHOD(HRESULT, RevokeService, (DWORD cookie), (override));
};

com_ptr<Item> plain_object() { return comrt::make<Item>(); }

TEST(Site, GetSiteFollowsTheStoredSite) {
  auto widget = comrt::make<Widget>();
  void* out = reinterpret_cast<void*>(8);
  EXPECT_EQ(widget->GetSite(IID_IUnknown, &out), E_FAIL);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(widget->GetSite(IID_IUnknown, nullptr), E_POINTER);

  auto site = comrt::make<MockProvider>();
  ASSERT_EQ(widget->SetSite(site->identity()), S_OK);
  EXPECT_EQ(ref_count(site->identity()), 2u);
  com_ptr<IServiceProvider> got;
  ASSERT_EQ(widget->GetSite(IID_IServiceProvider, got.put_void()), S_OK);
  EXPECT_EQ(got.get(), static_cast<IServiceProvider*>(site.get()));
  got = nullptr;
  out = reinterpret_cast<void*>(8);
  EXPECT_EQ(widget->GetSite(IID_IProfferService, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  // Replacing and clearing release the previous site.
  auto other = plain_object();
  ASSERT_EQ(widget->SetSite(other->identity()), S_OK);
  EXPECT_EQ(ref_count(site->identity()), 1u);
  ASSERT_EQ(widget->SetSite(nullptr), S_OK);
  EXPECT_EQ(ref_count(other->identity()), 1u);
  EXPECT_EQ(widget->GetSite(IID_IUnknown, &out), E_FAIL);
  EXPECT_EQ(widget->SetSite(nullptr), S_OK);
}

TEST(Site, QueryServiceIsPassedOnToTheSite) {
  auto widget = comrt::make<Widget>();
  void* out = reinterpret_cast<void*>(8);
  EXPECT_EQ(widget->QueryService(SID_Other, IID_IUnknown, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(widget->QueryService(SID_Other, IID_IUnknown, nullptr), E_POINTER);

  // A site that is no service provider.
  widget->SetSite(plain_object()->identity());
  out = reinterpret_cast<void*>(8);
  EXPECT_EQ(widget->QueryService(SID_Other, IID_IUnknown, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  // A provider gets the request unchanged; its status and object come back.
  auto site = comrt::make<MockProvider>();
  auto service = plain_object();
  widget->SetSite(site->identity());
  EXPECT_CALL(*site, QueryService(Eq(SID_Other), Eq(IID_ITestItem), _))
      .WillOnce(Invoke([&](REFGUID, REFIID, void** ppv) {
        EXPECT_EQ(*ppv, nullptr);  // cleared before the call
        *ppv = com_ptr<ITestItem>(service.get()).detach();
        return S_FALSE;
      }));
  EXPECT_CALL(*site, QueryService(Eq(SID_TestWidget), _, _)).WillOnce(Return(E_ACCESSDENIED));
  com_ptr<ITestItem> got;
  out = reinterpret_cast<void*>(8);
  EXPECT_EQ(widget->QueryService(SID_Other, IID_ITestItem, got.put_void()), S_FALSE);
  EXPECT_EQ(got.get(), service.get());
  EXPECT_EQ(widget->QueryService(SID_TestWidget, IID_IUnknown, &out), E_ACCESSDENIED);
  EXPECT_EQ(out, nullptr);
  widget->SetSite(nullptr);
}

TEST(Site, PersistClassIdFromAConstant) {
  auto widget = comrt::make<Widget>();
  CLSID clsid{};
  EXPECT_EQ(widget->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_TestWidget);
  EXPECT_EQ(widget->GetClassID(nullptr), E_FAIL);
}

TEST(ProfferedSite, IsProfferedWhileSetAndRevokedWhenCleared) {
  auto widget = comrt::make<ProfferedWidget>();
  auto site = comrt::make<MockProfferSite>();
  EXPECT_EQ(widget->proffer_cookie(), 0xEFEFEFEFu);
  {
    ::testing::InSequence order;
    EXPECT_CALL(*site, ProfferService(Eq(SID_TestWidget), static_cast<IServiceProvider*>(widget.get()), _))
        .WillOnce(DoAll(SetArgPointee<2>(0x1234u), Return(S_OK)));
    EXPECT_CALL(*site, RevokeService(0x1234u)).WillOnce(Return(S_OK));
  }
  ASSERT_EQ(widget->SetSite(site->identity()), S_OK);
  EXPECT_EQ(widget->proffer_cookie(), 0x1234u);
  com_ptr<IUnknown> got;
  EXPECT_EQ(widget->GetSite(IID_IUnknown, got.put_void()), S_OK);
  EXPECT_EQ(got.get(), site->identity());
  got = nullptr;
  ASSERT_EQ(widget->SetSite(nullptr), S_OK);
  EXPECT_EQ(widget->proffer_cookie(), 0xEFEFEFEFu);
  EXPECT_EQ(ref_count(site->identity()), 1u);
}

TEST(ProfferedSite, FailedRevokeChangesNothing) {
  auto widget = comrt::make<ProfferedWidget>();
  auto site = comrt::make<MockProfferSite>();
  EXPECT_CALL(*site, ProfferService(_, _, _)).WillOnce(DoAll(SetArgPointee<2>(5u), Return(S_OK)));
  EXPECT_CALL(*site, RevokeService(5u)).WillOnce(Return(E_ACCESSDENIED)).WillOnce(Return(S_OK));
  ASSERT_EQ(widget->SetSite(site->identity()), S_OK);
  EXPECT_EQ(widget->SetSite(nullptr), E_ACCESSDENIED);
  EXPECT_EQ(widget->proffer_cookie(), 5u);
  com_ptr<IUnknown> got;
  EXPECT_EQ(widget->GetSite(IID_IUnknown, got.put_void()), S_OK);
  got = nullptr;
  EXPECT_EQ(widget->SetSite(nullptr), S_OK);
}

TEST(ProfferedSite, FailedProfferDoesNotStoreTheNewSite) {
  auto widget = comrt::make<ProfferedWidget>();
  auto first = comrt::make<MockProfferSite>();
  auto second = comrt::make<MockProfferSite>();
  EXPECT_CALL(*first, ProfferService(_, _, _)).WillOnce(DoAll(SetArgPointee<2>(1u), Return(S_OK)));
  EXPECT_CALL(*first, RevokeService(1u)).WillOnce(Return(S_OK));
  EXPECT_CALL(*second, ProfferService(_, _, _)).WillOnce(Return(E_OUTOFMEMORY));
  ASSERT_EQ(widget->SetSite(first->identity()), S_OK);
  EXPECT_EQ(widget->SetSite(second->identity()), E_OUTOFMEMORY);
  // The first site stays, but its proffer has already been revoked.
  com_ptr<IUnknown> got;
  ASSERT_EQ(widget->GetSite(IID_IUnknown, got.put_void()), S_OK);
  EXPECT_EQ(got.get(), first->identity());
  EXPECT_EQ(widget->proffer_cookie(), 0xEFEFEFEFu);
  EXPECT_EQ(ref_count(second->identity()), 1u);
  got = nullptr;
  EXPECT_EQ(widget->SetSite(nullptr), S_OK);  // nothing left to revoke
}

TEST(ProfferedSite, SiteWithoutProfferServiceIsStoredAsIs) {
  auto widget = comrt::make<ProfferedWidget>();
  auto site = comrt::make<MockProvider>();
  ASSERT_EQ(widget->SetSite(site->identity()), S_OK);
  EXPECT_EQ(widget->proffer_cookie(), 0xEFEFEFEFu);
  com_ptr<IServiceProvider> got;
  EXPECT_EQ(widget->GetSite(IID_IServiceProvider, got.put_void()), S_OK);
  EXPECT_EQ(widget->SetSite(nullptr), S_OK);
}

TEST(ProfferedSite, ServesItselfAndPassesOtherServicesOn) {
  auto widget = comrt::make<ProfferedWidget>();
  // Its own service works without a site.
  com_ptr<ITestWidget> self;
  ASSERT_EQ(widget->QueryService(SID_TestWidget, IID_ITestWidget, self.put_void()), S_OK);
  EXPECT_EQ(self.get(), static_cast<ITestWidget*>(widget.get()));
  void* out = reinterpret_cast<void*>(8);
  EXPECT_EQ(widget->QueryService(SID_TestWidget, IID_IPersist, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(8);
  EXPECT_EQ(widget->QueryService(SID_Other, IID_IUnknown, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(widget->QueryService(SID_Other, IID_IUnknown, nullptr), E_POINTER);

  auto site = comrt::make<MockProvider>();
  widget->SetSite(site->identity());
  EXPECT_CALL(*site, QueryService(Eq(SID_Other), Eq(IID_IUnknown), _)).WillOnce(Return(E_ABORT));
  EXPECT_EQ(widget->QueryService(SID_Other, IID_IUnknown, &out), E_ABORT);
  widget->SetSite(nullptr);
}

TEST(ProfferedSite, SetSiteFromInsideTheProfferIsRefused) {
  auto widget = comrt::make<ProfferedWidget>();
  auto site = comrt::make<MockProfferSite>();
  HRESULT inner = S_OK;
  EXPECT_CALL(*site, ProfferService(_, _, _)).WillOnce(Invoke([&](REFGUID, IServiceProvider*, DWORD* cookie) {
    inner = widget->SetSite(nullptr);
    *cookie = 9;
    return S_OK;
  }));
  EXPECT_CALL(*site, RevokeService(9u)).WillOnce(Return(S_OK));
  EXPECT_EQ(widget->SetSite(site->identity()), S_OK);
  EXPECT_EQ(inner, E_UNEXPECTED);
  EXPECT_EQ(widget->proffer_cookie(), 9u);
  EXPECT_EQ(widget->SetSite(nullptr), S_OK);
}

TEST(QueryServiceHelper, ReturnsTypedServicesOrThrowsTheStatus) {
  auto provider = comrt::make<MockProvider>();
  auto service = plain_object();
  EXPECT_CALL(*provider, QueryService(Eq(SID_Other), Eq(IID_ITestItem), _))
      .WillRepeatedly(Invoke([&](REFGUID, REFIID, void** ppv) {
        *ppv = com_ptr<ITestItem>(service.get()).detach();
        return S_OK;
      }));
  EXPECT_CALL(*provider, QueryService(Eq(SID_TestWidget), _, _)).WillRepeatedly(Return(E_ACCESSDENIED));
  EXPECT_CALL(*provider, QueryService(Eq(IID_IUnknown), _, _)).WillRepeatedly(Return(S_OK));  // success, no object

  EXPECT_EQ(comrt::query_service<ITestItem>(static_cast<IServiceProvider*>(provider.get()), SID_Other).get(),
            service.get());
  EXPECT_EQ(comrt::query_service<ITestItem>(provider->identity(), SID_Other).get(), service.get());
  auto status_of = [](auto&& f) {
    try {
      f();
    } catch (const comrt::hresult_error& e) {
      return e.code();
    }
    return S_OK;
  };
  EXPECT_EQ(status_of([&] { comrt::query_service<ITestItem>(provider->identity(), SID_TestWidget); }),
            E_ACCESSDENIED);
  EXPECT_EQ(status_of([&] { comrt::query_service<ITestItem>(provider->identity(), IID_IUnknown); }), E_NOINTERFACE);
  EXPECT_EQ(status_of([&] { comrt::query_service<ITestItem>(service->identity(), SID_Other); }), E_NOINTERFACE);
  EXPECT_EQ(status_of([&] { comrt::query_service<ITestItem>(static_cast<IUnknown*>(nullptr), SID_Other); }),
            E_POINTER);
  EXPECT_FALSE(comrt::try_query_service<ITestItem>(provider->identity(), SID_TestWidget));
  EXPECT_FALSE(comrt::try_query_service<ITestItem>(nullptr, SID_Other));
  EXPECT_TRUE(comrt::try_query_service<ITestItem>(provider->identity(), SID_Other));
}

}  // namespace
}  // namespace event_test
