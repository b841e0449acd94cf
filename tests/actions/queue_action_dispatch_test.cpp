// A script client's view of the queue action: made through the library's class object and set up
// by member name through IDispatch; what it sets is what a run then does.
#include <gtest/gtest.h>

#include "Scheduler.h"
#include "fakes/dispatch_client.h"
#include "fakes/transfer_queue_mocks.h"
#include "server/module.h"

namespace {

using comrt::com_ptr;
using fakes::identity;
using namespace fakes::by_name;

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
  const auto transfer = identity(host.template_item);

  // Set action.Item = transfer: action.QueueItemPosition = 0
  ASSERT_EQ(put(action.get(), u"Item", variant(transfer), DISPATCH_PROPERTYPUTREF), S_OK);
  ASSERT_EQ(put(action.get(), u"QueueItemPosition", variant(LONG{tvTransferQueueItemPositionHead})), S_OK);
  const variant item = get(action.get(), u"Item");
  ASSERT_EQ(item.vt, VT_UNKNOWN);
  EXPECT_EQ(identity(com_ptr<IUnknown>(item.punkVal)), transfer);
  EXPECT_EQ(get(action.get(), u"UseFolderTree").boolVal, VARIANT_TRUE);
  ASSERT_EQ(action.as<IScheduleAction>()->Run(host.provider.get()), S_OK);
  ASSERT_EQ(host.queued().size(), 1u);
  EXPECT_TRUE(host.queued()[0].at_head);

  // other.Copy action
  const com_ptr<IDispatch> other = new_action();
  ASSERT_EQ(invoke(other.get(), u"Copy", DISPATCH_METHOD, {variant(action.get())}), S_OK);
  EXPECT_EQ(get(other.get(), u"QueueItemPosition").lVal, tvTransferQueueItemPositionHead);
  EXPECT_EQ(identity(com_ptr<IUnknown>(get(other.get(), u"PreviousItem").punkVal)), identity(host.queued()[0].item));

  // An object that is no host transfer is refused (as an exception carrying the query's status)
  // and leaves no item.
  EXPECT_EQ(put(other.get(), u"Item", variant(other.get()), DISPATCH_PROPERTYPUTREF), DISP_E_EXCEPTION);
  EXPECT_EQ(get(other.get(), u"Item").punkVal, nullptr);
}

}  // namespace
