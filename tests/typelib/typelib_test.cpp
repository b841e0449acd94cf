// The type library: the published identifiers and DISPIDs, the automation forms of identifiers,
// times and statuses, and the library object with its nine classes.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include <comrt/guid.h>
#include <comrt/variant.h>

#include "Scheduler.h"
#include "TransferQueue.h"
#include "XMLArchive.h"
#include "items/schedule_item.h"
#include "typelib.h"

namespace {

TEST(TypeLibrary, PublishedIdentifiersMatchTheirTextAndAreDistinct) {
  const std::pair<const GUID&, const char16_t*> published[] = {
      {LIBID_Scheduler, u"{A2ADB994-121A-4972-884F-6A9EB6478C69}"},
      {CLSID_ScheduleActions, u"{D83B4DD2-1763-4BBB-8931-8EC781BAB25E}"},
      {CLSID_ScheduleInstantiationTrigger, u"{50E96A4D-1CF4-407F-8BA3-17A32D0E494B}"},
      {CLSID_ScheduleQueueAction, u"{EBB2D70B-3677-421E-AE8F-2F181F233E58}"},
      {CLSID_ScheduleTriggers, u"{F6C8B13D-FC5B-4F7F-9EDB-7D8EC216373E}"},
      {CLSID_ScheduleItem, u"{1661ECCB-8B40-4BC5-B486-51B287896B1B}"},
      {CLSID_ScheduleItems, u"{9E01C548-1E53-4EC5-9AB9-80BA97266EA5}"},
      {CLSID_ScheduleMonitorTrigger, u"{6FF942C2-11BD-4019-86B2-16B0CC95D499}"},
      {CLSID_Scheduler, u"{0946E232-81EA-4DF2-B7DB-CAF900E0D209}"},
      {CLSID_ScheduleScheduleTrigger, u"{8428D9B1-0B74-4879-80D1-797848330314}"},
      {IID_IScheduleTriggers, u"{CC09776C-97DF-4156-B24A-7E0CA6B29605}"},
      {IID_IEnumScheduleTrigger, u"{C3D53BCA-C51D-4300-8BAC-717EFF0E148A}"},
      {IID_IScheduleScheduleTrigger, u"{B783B796-6ECF-423E-98EC-E74CE1236B5D}"},
      {IID_IScheduleTrigger, u"{483FE1FB-EC6F-42AD-A7C5-E2CA16191FA9}"},
      {IID_IScheduleTriggerWithOccurrence, u"{556A516A-E595-4D2C-B44E-D46CE58EF290}"},
      {IID_IScheduleInstantiationTrigger, u"{F5878111-D281-44A6-A5E5-2AF850D63009}"},
      {IID_IObjectWithBackReferences, u"{321A6A6A-D61F-4BF3-97AE-14BE2986BB36}"},
      {IID_IXMLArchive, u"{C67D334F-108B-44A7-BEEF-CE661A18B0D1}"},
      {IID_IXMLArchiveSerializable, u"{896C44C4-172F-446B-B703-77BA2C47AC81}"},
      {IID_ITransferQueueItem, u"{AEAE987A-A313-479C-819B-844C6F35E218}"},
      {CLSID_TransferQueueItem, u"{DC73DF5F-8808-458F-BDBF-AD629836296C}"},
      {SID_TransferQueue, u"{ADCC0C68-3F7F-40F3-A9D8-0FD113356403}"},
      {IID_ITransferQueue, u"{E72AD41C-8861-4F3C-B27E-95FE86F64D77}"},
      {CLSID_FolderTree, u"{9C2004FA-7301-41E4-9FCB-08F1250E2CC9}"},
      {IID_IFolderTree, u"{6FE2A6D7-C372-459F-AE57-A5AAA875A62E}"},
      {CLSID_FolderTreeComparer, u"{D85EDB95-CDBE-49B0-9F75-BEA0F9A9BD88}"},
      {IID_IFolderTreeComparer, u"{6B562F51-18D8-43B2-8218-71895B90300B}"},
  };
  std::set<std::u16string> seen;
  for (const auto& [value, text] : published) {
    EXPECT_EQ(comrt::to_u16string(value), text);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), std::size(published)) << "an identifier repeats another";
}

TEST(TypeLibrary, MembersCarryTheirPublishedDispids) {
  const comrt::interface_info& item = comrt::describe<IScheduleItem>();
  const comrt::interface_info& trigger = comrt::describe<IScheduleScheduleTrigger>();
  const comrt::interface_info& items = comrt::describe<IScheduleItems>();
  const comrt::interface_info& events = tolvane::describe_schedule_items_dispatch_events();
  const std::tuple<const comrt::interface_info&, const char16_t*, DISPID> members[] = {
      {comrt::describe<IScheduler>(), u"Items", 1}, {comrt::describe<IScheduler>(), u"Load", 100},
      {comrt::describe<IScheduler>(), u"RunItem", 104}, {item, u"Id", 1}, {item, u"Save", 2},
      {item, u"Triggers", 3}, {item, u"Actions", 4}, {item, u"LastRunTime", 5}, {item, u"Enable", 6},
      {item, u"Name", 7}, {item, u"Description", 8}, {item, u"Created", 10}, {item, u"LastTaskResult", 11},
      {item, u"ScheduleRun", 12}, {item, u"Run", 100}, {item, u"Copy", 101}, {item, u"Clone", 102},
      {item, u"Update", 103}, {items, u"Item", DISPID_VALUE}, {items, u"_NewEnum", DISPID_NEWENUM},
      {items, u"Count", 1}, {items, u"NewEnum", 4}, {items, u"AddItem", 0x65}, {items, u"RemoveItem", 0x66},
      {comrt::describe<IScheduleTriggers>(), u"IsSet", 0x11}, {comrt::describe<IScheduleTriggers>(), u"NextRunTime", 2},
      {comrt::describe<IScheduleActions>(), u"Clone", 0x68}, {trigger, u"Name", 1}, {trigger, u"Clone", 0xd},
      {trigger, u"IsSet", 0xe}, {trigger, u"Next", 0xf}, {trigger, u"ToString", 0x10}, {trigger, u"Copy", 0xb},
      {trigger, u"Enable", 0x13}, {trigger, u"StartTime", 0x1a}, {trigger, u"StartTimeAsUnixTime", 0x1b},
      {trigger, u"ExpireTime", 0x66}, {trigger, u"LastOccurrence", 0x6a}, {trigger, u"RecurrenceTimeInterval", 0x16},
      {trigger, u"Recurrence", 0x18}, {trigger, u"WeekMask", 0x19}, {trigger, u"UTC", 0x1f},
      {trigger, u"ChangeUTC", 0x32}, {trigger, u"UpdateNextOccurrence", 0x33},
      {comrt::describe<IScheduleMonitorTrigger>(), u"Path", 7}, {comrt::describe<IScheduleQueueAction>(), u"Item", 4},
      {comrt::describe<IScheduleQueueAction>(), u"QueueItemPosition", 6}, {events, u"OnAddItem", 1},
      {events, u"OnRemoveItem", 2}, {events, u"OnUpdateItem", 3}, {events, u"OnRemoveAllItems", 4}};
  for (const auto& [info, name, id] : members) {
    const comrt::member_info* found = info.find(name);
    ASSERT_NE(found, nullptr) << std::string(name, name + std::char_traits<char16_t>::length(name));
    EXPECT_EQ(found->id, id) << std::string(name, name + std::char_traits<char16_t>::length(name));
  }
}

TEST(TypeLibrary, IdentifiersTimesAndStatusesTravelAsTheirAutomationForms) {
  auto item = comrt::make<tolvane::CScheduleItem>();
  const auto property = [&](const char16_t* name, WORD flags, comrt::variant* value) {
    std::u16string n = name;
    LPOLESTR names[] = {n.data()};
    DISPID id = 0, put_id = DISPID_PROPERTYPUT;
    EXPECT_EQ(item->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    const bool put = flags == DISPATCH_PROPERTYPUT;
    DISPPARAMS params{put ? value : nullptr, put ? &put_id : nullptr, put ? 1u : 0u, put ? 1u : 0u};
    return item->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, put ? nullptr : value->put(), nullptr,
                        nullptr);
  };
  const auto round_trip = [&](const char16_t* name, comrt::variant in) {
    comrt::variant out;
    EXPECT_EQ(property(name, DISPATCH_PROPERTYPUT, &in), S_OK);
    EXPECT_EQ(property(name, DISPATCH_PROPERTYGET, &out), S_OK);
    EXPECT_EQ(out.vt, in.vt);
    return out;
  };
  const char16_t* id_text = u"{6B1E2C3A-0D4F-4A5B-9C8D-7E6F5A4B3C2D}";
  EXPECT_EQ(comrt::bstr_view(round_trip(u"Id", comrt::variant(id_text)).bstrVal), id_text);
  EXPECT_EQ(round_trip(u"LastRunTime", comrt::variant(ULONGLONG{0x0123456789ABCDEFull})).ullVal, 0x0123456789ABCDEFull);
  EXPECT_EQ(round_trip(u"LastTaskResult", comrt::variant(E_ABORT)).lVal, E_ABORT);
  FILETIME t{};
  item->get_LastRunTime(&t);
  EXPECT_EQ(t.dwHighDateTime, 0x01234567u);
}

TEST(TypeLibrary, NamesItsNineClassesWithTheirDefaultInterfaces) {
  comrt::com_ptr<ITypeLib> library = comrt::make_type_library(tolvane::scheduler_library());
  const std::pair<const CLSID*, const IID*> classes[] = {
      {&CLSID_ScheduleActions, &IID_IScheduleActions},
      {&CLSID_ScheduleInstantiationTrigger, &IID_IScheduleInstantiationTrigger},
      {&CLSID_ScheduleQueueAction, &IID_IScheduleQueueAction},
      {&CLSID_ScheduleTriggers, &IID_IScheduleTriggers},
      {&CLSID_ScheduleItem, &IID_IScheduleItem},
      {&CLSID_ScheduleItems, &IID_IScheduleItems},
      {&CLSID_ScheduleMonitorTrigger, &IID_IScheduleMonitorTrigger},
      {&CLSID_Scheduler, &IID_IScheduler},
      {&CLSID_ScheduleScheduleTrigger, &IID_IScheduleScheduleTrigger},
  };
  for (const auto& [clsid, iid] : classes) {
    comrt::com_ptr<ITypeInfo> coclass, primary;
    ASSERT_EQ(library->GetTypeInfoOfGuid(*clsid, coclass.put()), S_OK);
    UINT i = 0;
    for (INT flags = 0; coclass->GetImplTypeFlags(i, &flags) == S_OK && flags != IMPLTYPEFLAG_FDEFAULT;) ++i;
    HREFTYPE ref = 0;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(i, &ref), S_OK);
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, primary.put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(primary->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, *iid);
    primary->ReleaseTypeAttr(attr);
  }
}

}  // namespace
