// A script client's view of the queue action: made through the library's class object and set up
// by member name through IDispatch; what it sets is what a run then does.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include <comrt/variant.h>

#include "Scheduler.h"
#include "fakes/transfer_queue_mocks.h"
#include "server/module.h"

namespace {

using comrt::com_ptr;
using comrt::variant;

HRESULT invoke(IDispatch* object, const char16_t* name, WORD flags, std::vector<variant> args = {},
               VARIANT* result = nullptr) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  std::reverse(args.begin(), args.end());  // positional arguments arrive last first
  DISPID put = DISPID_PROPERTYPUT;
  const bool is_put = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
  DISPPARAMS params{args.data(), is_put ? &put : nullptr, static_cast<UINT>(args.size()), is_put ? 1u : 0u};
  UINT arg_error = 0;
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, &arg_error);
}
HRESULT put(IDispatch* object, const char16_t* name, variant value, WORD flags = DISPATCH_PROPERTYPUT) {
  return invoke(object, name, flags, {std::move(value)});
}
variant get(IDispatch* object, const char16_t* name) {
  variant value;
  EXPECT_EQ(invoke(object, name, DISPATCH_PROPERTYGET, {}, value.put()), S_OK) << "reading a property";
  return value;
}

com_ptr<IUnknown> identity(IUnknown* p) {
  com_ptr<IUnknown> unknown;
  if (p) {
    EXPECT_EQ(p->QueryInterface(IID_IUnknown, unknown.put_void()), S_OK);
  }
  return unknown;
}

com_ptr<IDispatch> new_action() {
  com_ptr<IClassFactory> factory;
  EXPECT_EQ(tolvane::CSchedulerModule::instance().get_class_object(CLSID_ScheduleQueueAction, IID_IClassFactory,
                                                                   factory.put_void()),
            S_OK);
  com_ptr<IDispatch> action;
  if (factory) {
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, action.put_void()), S_OK);
  }
  return action;
}

TEST(QueueActionScriptClient, SetsUpAnActionByNameThatThenRunsAsSetUp) {
  fakes::transfer_host host;
  const com_ptr<IDispatch> action = new_action();
  ASSERT_TRUE(action);
  IUnknown* const transfer = host.template_item.get();

  // Set action.Item = transfer, action.QueueItemPosition = 0, action.DependOnPreviousItem = True
  ASSERT_EQ(put(action.get(), u"Item", variant(transfer), DISPATCH_PROPERTYPUTREF), S_OK);
  ASSERT_EQ(put(action.get(), u"QueueItemPosition", variant(LONG{tvTransferQueueItemPositionHead})), S_OK);
  ASSERT_EQ(put(action.get(), u"DependOnPreviousItem", variant(true)), S_OK);
  const variant item = get(action.get(), u"Item");
  ASSERT_EQ(item.vt, VT_UNKNOWN);
  EXPECT_EQ(identity(item.punkVal), identity(transfer));
  EXPECT_EQ(get(action.get(), u"UseFolderTree").boolVal, VARIANT_TRUE);

  const auto run = action.as<IScheduleAction>();
  ASSERT_EQ(run->Run(host.provider.get()), S_OK);
  ASSERT_EQ(run->Run(host.provider.get()), S_OK);
  const auto queued = host.queued();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_TRUE(queued[0].at_head && queued[1].at_head);
  const auto copies = host.template_item->copies();
  ASSERT_EQ(copies[1]->dependencies->added().size(), 1u);
  EXPECT_EQ(identity(copies[1]->dependencies->added()[0].get()), identity(queued[0].item.get()));

  // other.Copy action
  const com_ptr<IDispatch> other = new_action();
  ASSERT_EQ(invoke(other.get(), u"Copy", DISPATCH_METHOD, {variant(action.get())}), S_OK);
  EXPECT_EQ(get(other.get(), u"QueueItemPosition").lVal, tvTransferQueueItemPositionHead);
  EXPECT_EQ(identity(get(other.get(), u"Item").punkVal), identity(transfer));
  EXPECT_EQ(identity(get(other.get(), u"PreviousItem").punkVal), identity(queued[1].item.get()));

  // An object that is no host transfer is refused with the query's status and leaves no item.
  EXPECT_EQ(put(other.get(), u"Item", variant(static_cast<IUnknown*>(host.queue.get())), DISPATCH_PROPERTYPUTREF),
            E_NOINTERFACE);
  EXPECT_EQ(get(other.get(), u"Item").punkVal, nullptr);
}

}  // namespace
