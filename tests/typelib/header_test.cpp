// The public headers against the published identifiers and slot orders: hosts compile against
// them, so a transposed byte or a swapped method breaks every client silently.
#include <gtest/gtest.h>

#include <comrt/guid.h>

#include <cstring>
#include <optional>
#include <set>
#include <string_view>
#include <type_traits>
#include <vector>

#include "Scheduler.h"
#include "TransferQueue.h"
#include "XMLArchive.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Identifiers

GUID parse(std::u16string_view text) {
  const std::optional<GUID> g = comrt::parse_guid(text);
  EXPECT_TRUE(g.has_value()) << "malformed identifier text";
  return g.value_or(GUID_NULL);
}

struct named_guid {
  const char* name;
  const GUID& value;
  const char16_t* text;
};

// Every identifier that is published (and so fixed) for the library, its classes and interfaces.
const std::vector<named_guid>& published() {
  static const std::vector<named_guid> list{
      {"LIBID_Scheduler", LIBID_Scheduler, u"{A2ADB994-121A-4972-884F-6A9EB6478C69}"},
      {"CLSID_ScheduleActions", CLSID_ScheduleActions, u"{D83B4DD2-1763-4BBB-8931-8EC781BAB25E}"},
      {"CLSID_ScheduleInstantiationTrigger", CLSID_ScheduleInstantiationTrigger,
       u"{50E96A4D-1CF4-407F-8BA3-17A32D0E494B}"},
      {"CLSID_ScheduleQueueAction", CLSID_ScheduleQueueAction, u"{EBB2D70B-3677-421E-AE8F-2F181F233E58}"},
      {"CLSID_ScheduleTriggers", CLSID_ScheduleTriggers, u"{F6C8B13D-FC5B-4F7F-9EDB-7D8EC216373E}"},
      {"CLSID_ScheduleItem", CLSID_ScheduleItem, u"{1661ECCB-8B40-4BC5-B486-51B287896B1B}"},
      {"CLSID_ScheduleItems", CLSID_ScheduleItems, u"{9E01C548-1E53-4EC5-9AB9-80BA97266EA5}"},
      {"CLSID_ScheduleMonitorTrigger", CLSID_ScheduleMonitorTrigger, u"{6FF942C2-11BD-4019-86B2-16B0CC95D499}"},
      {"CLSID_Scheduler", CLSID_Scheduler, u"{0946E232-81EA-4DF2-B7DB-CAF900E0D209}"},
      {"CLSID_ScheduleScheduleTrigger", CLSID_ScheduleScheduleTrigger, u"{8428D9B1-0B74-4879-80D1-797848330314}"},
      {"IID_IScheduleTriggers", IID_IScheduleTriggers, u"{CC09776C-97DF-4156-B24A-7E0CA6B29605}"},
      {"IID_IEnumScheduleTrigger", IID_IEnumScheduleTrigger, u"{C3D53BCA-C51D-4300-8BAC-717EFF0E148A}"},
      {"IID_IScheduleScheduleTrigger", IID_IScheduleScheduleTrigger, u"{B783B796-6ECF-423E-98EC-E74CE1236B5D}"},
      {"IID_IScheduleTrigger", IID_IScheduleTrigger, u"{483FE1FB-EC6F-42AD-A7C5-E2CA16191FA9}"},
      {"IID_IScheduleTriggerWithOccurrence", IID_IScheduleTriggerWithOccurrence,
       u"{556A516A-E595-4D2C-B44E-D46CE58EF290}"},
      {"IID_IScheduleInstantiationTrigger", IID_IScheduleInstantiationTrigger,
       u"{F5878111-D281-44A6-A5E5-2AF850D63009}"},
      {"IID_IObjectWithBackReferences", IID_IObjectWithBackReferences, u"{321A6A6A-D61F-4BF3-97AE-14BE2986BB36}"},
      {"IID_IXMLArchive", IID_IXMLArchive, u"{C67D334F-108B-44A7-BEEF-CE661A18B0D1}"},
      {"IID_IXMLArchiveSerializable", IID_IXMLArchiveSerializable, u"{896C44C4-172F-446B-B703-77BA2C47AC81}"},
      {"IID_ITransferQueueItem", IID_ITransferQueueItem, u"{AEAE987A-A313-479C-819B-844C6F35E218}"},
      {"CLSID_TransferQueueItem", CLSID_TransferQueueItem, u"{DC73DF5F-8808-458F-BDBF-AD629836296C}"},
      {"SID_TransferQueue", SID_TransferQueue, u"{ADCC0C68-3F7F-40F3-A9D8-0FD113356403}"},
      {"IID_ITransferQueue", IID_ITransferQueue, u"{E72AD41C-8861-4F3C-B27E-95FE86F64D77}"},
      {"CLSID_FolderTree", CLSID_FolderTree, u"{9C2004FA-7301-41E4-9FCB-08F1250E2CC9}"},
      {"IID_IFolderTree", IID_IFolderTree, u"{6FE2A6D7-C372-459F-AE57-A5AAA875A62E}"},
      {"CLSID_FolderTreeComparer", CLSID_FolderTreeComparer, u"{D85EDB95-CDBE-49B0-9F75-BEA0F9A9BD88}"},
      {"IID_IFolderTreeComparer", IID_IFolderTreeComparer, u"{6B562F51-18D8-43B2-8218-71895B90300B}"},
  };
  return list;
}

// Identifiers of our own choosing: only their uniqueness matters.
const std::vector<named_guid>& chosen() {
  static const std::vector<named_guid> list{
      {"IID_IScheduler", IID_IScheduler, nullptr},
      {"IID_IScheduleItem", IID_IScheduleItem, nullptr},
      {"IID_IScheduleItemEvents", IID_IScheduleItemEvents, nullptr},
      {"IID_IScheduleItems", IID_IScheduleItems, nullptr},
      {"DIID__IScheduleItemsEvents", DIID__IScheduleItemsEvents, nullptr},
      {"IID_IScheduleItemsEvents", IID_IScheduleItemsEvents, nullptr},
      {"IID_IEnumScheduleItem", IID_IEnumScheduleItem, nullptr},
      {"IID_IEnumScheduleAction", IID_IEnumScheduleAction, nullptr},
      {"IID_IScheduleMonitorTrigger", IID_IScheduleMonitorTrigger, nullptr},
      {"IID_IScheduleActions", IID_IScheduleActions, nullptr},
      {"IID_IScheduleAction", IID_IScheduleAction, nullptr},
      {"IID_IScheduleQueueAction", IID_IScheduleQueueAction, nullptr},
      {"IID_ITransferSourceDescriptor", IID_ITransferSourceDescriptor, nullptr},
      {"IID_ITransferDependencies", IID_ITransferDependencies, nullptr},
      {"IID_IFolderTreeChangeSet", IID_IFolderTreeChangeSet, nullptr},
  };
  return list;
}

std::string bytes_of(const GUID& g) { return std::string(reinterpret_cast<const char*>(&g), sizeof g); }

TEST(TypeLibraryIdentifiers, PublishedIdentifiersMatchTheirRegistryText) {
  for (const auto& id : published()) {
    const GUID expected = parse(id.text);
    EXPECT_TRUE(id.value == expected) << id.name << " differs from its published text";
  }
}

TEST(TypeLibraryIdentifiers, EveryIdentifierIsDistinctAndNotNull) {
  std::set<std::string> seen;
  for (const auto* list : {&published(), &chosen()}) {
    for (const auto& id : *list) {
      EXPECT_FALSE(id.value == GUID_NULL) << id.name;
      EXPECT_TRUE(seen.insert(bytes_of(id.value)).second) << id.name << " repeats another identifier";
    }
  }
  // The standard interfaces must not be shadowed either.
  for (const GUID* standard : {&IID_IUnknown, &IID_IDispatch, &IID_IEnumVARIANT, &IID_IClassFactory})
    EXPECT_FALSE(seen.count(bytes_of(*standard)));
}

// The declared bases drive QueryInterface (an interface answers for its bases), so they must be
// the real ones.
static_assert(std::is_same_v<comrt::interface_traits<IScheduleScheduleTrigger>::base, IScheduleTrigger>);
static_assert(std::is_same_v<comrt::interface_traits<IScheduleMonitorTrigger>::base, IScheduleTrigger>);
static_assert(std::is_same_v<comrt::interface_traits<IScheduleInstantiationTrigger>::base, IScheduleTrigger>);
static_assert(std::is_same_v<comrt::interface_traits<IScheduleTrigger>::base, IDispatch>);
static_assert(std::is_same_v<comrt::interface_traits<IScheduleAction>::base, IUnknown>);
static_assert(std::is_same_v<comrt::interface_traits<IScheduleItemEvents>::base, IUnknown>);
static_assert(std::is_same_v<comrt::interface_traits<IScheduleItemsEvents>::base, IUnknown>);
static_assert(std::is_same_v<comrt::interface_traits<_IScheduleItemsEvents>::base, IDispatch>);
static_assert(std::is_same_v<comrt::interface_traits<IScheduleQueueAction>::base, IDispatch>);

// ---------------------------------------------------------------------------------------------
// Binary shape: an interface is a vtable pointer and nothing else, without a virtual destructor.

template <class... I>
constexpr bool all_interfaces_are_bare() {
  return ((sizeof(I) == sizeof(void*) && std::is_abstract_v<I> && !std::has_virtual_destructor_v<I>) && ...);
}
static_assert(all_interfaces_are_bare<
              IScheduler, IScheduleItem, IScheduleItemEvents, IScheduleItems, _IScheduleItemsEvents,
              IScheduleItemsEvents, IEnumScheduleItem, IEnumScheduleTrigger, IEnumScheduleAction, IScheduleTriggers,
              IScheduleTrigger, IScheduleScheduleTrigger, IScheduleMonitorTrigger, IScheduleInstantiationTrigger,
              IScheduleActions, IScheduleAction, IScheduleQueueAction, IScheduleTriggerWithOccurrence,
              IObjectWithBackReferences, IXMLArchive, IXMLArchiveSerializable, ITransferQueueItem,
              ITransferSourceDescriptor, ITransferDependencies, ITransferQueue, IFolderTree, IFolderTreeComparer,
              IFolderTreeChangeSet>());

TEST(TypeLibraryEnumerations, ValuesAndWidthAreThoseOfTheLibrary) {
  static_assert(sizeof(ScheduleScheduleTriggerRecurrence) == 4 && sizeof(ScheduleScheduleTriggerWeekMask) == 4 &&
                sizeof(TransferQueueItemPosition) == 4);
  EXPECT_EQ(tvScheduleScheduleTriggerRecurrenceNone, 0);
  EXPECT_EQ(tvScheduleScheduleTriggerRecurrenceMonthly, 4);
  // Bit n is the day with day-of-week number n, Sunday first.
  const ScheduleScheduleTriggerWeekMask days[] = {
      tvScheduleScheduleTriggerWeekSunday,   tvScheduleScheduleTriggerWeekMonday, tvScheduleScheduleTriggerWeekTuesday,
      tvScheduleScheduleTriggerWeekWednesday, tvScheduleScheduleTriggerWeekThursday, tvScheduleScheduleTriggerWeekFriday,
      tvScheduleScheduleTriggerWeekSaturday};
  for (int day = 0; day < 7; ++day) EXPECT_EQ(days[day], 1 << day) << "day " << day;
  EXPECT_EQ(tvTransferQueueItemPositionHead, 0);
  EXPECT_EQ(tvTransferQueueItemPositionTail, 1);
}

// ---------------------------------------------------------------------------------------------
// Slot order. The vtable slot of a virtual member function is read from its pointer-to-member
// representation (Itanium C++ ABI: the pointer field holds 1 + the slot's byte offset for a virtual
// function on x86; on ARM the offset itself, with the virtual flag in the adjustment).

template <class M>
size_t slot_of(M pmf) {
  static_assert(sizeof(M) == 2 * sizeof(ptrdiff_t));
  ptrdiff_t repr[2];
  std::memcpy(repr, &pmf, sizeof repr);
#if defined(__arm__) || defined(__aarch64__)
  EXPECT_TRUE(repr[1] & 1) << "not a virtual function";
  return static_cast<size_t>(repr[0]) / sizeof(void*);
#else
  EXPECT_TRUE(repr[0] & 1) << "not a virtual function";
  return static_cast<size_t>(repr[0] - 1) / sizeof(void*);
#endif
}

constexpr size_t kFirstAfterUnknown = 3;
constexpr size_t kFirstAfterDispatch = 7;

TEST(TypeLibrarySlots, BaseInterfacesKeepTheirStandardSlots) {
  EXPECT_EQ(slot_of(&IScheduler::QueryInterface), 0u);
  EXPECT_EQ(slot_of(&IScheduler::Release), 2u);
  EXPECT_EQ(slot_of(&IScheduler::GetTypeInfoCount), 3u);
  EXPECT_EQ(slot_of(&IScheduler::Invoke), 6u);
  EXPECT_EQ(slot_of(&IScheduler::get_Items), kFirstAfterDispatch);
  EXPECT_EQ(slot_of(&IScheduleAction::Run), kFirstAfterUnknown);
}

// The slots of `members` follow one another from `first` on.
void expect_consecutive(std::initializer_list<size_t> members, size_t first) {
  size_t index = 0;
  for (size_t slot : members) {
    EXPECT_EQ(slot, first + index) << "member " << index;
    ++index;
  }
}

TEST(TypeLibrarySlots, TriggerCollectionMembersFollowTheirPublishedOrder) {
  using C = IScheduleTriggers;
  expect_consecutive({slot_of(&C::get_Item), slot_of(&C::get__NewEnum), slot_of(&C::get_Count),
                      slot_of(&C::get_NewEnum), slot_of(&C::get_NextRunTime), slot_of(&C::get_NextRunTimeAsUnixTime),
                      slot_of(&C::Clone), slot_of(&C::Copy), slot_of(&C::Empty), slot_of(&C::Add),
                      slot_of(&C::AddItems), slot_of(&C::Remove), slot_of(&C::IsSet), slot_of(&C::Next),
                      slot_of(&C::HasNextRunTime)},
                     kFirstAfterDispatch);
}

TEST(TypeLibrarySlots, TriggerKindsBeginWithTheCommonTriggerMembers) {
  using T = IScheduleScheduleTrigger;
  // The five members of IScheduleTrigger, then the time trigger's own, a property's get before its put.
  expect_consecutive({slot_of(&T::get_Name), slot_of(&T::Clone), slot_of(&T::IsSet), slot_of(&T::Next),
                      slot_of(&T::ToString), slot_of(&T::Copy), slot_of(&T::get_Enable), slot_of(&T::put_Enable),
                      slot_of(&T::get_StartTime), slot_of(&T::put_StartTime), slot_of(&T::get_StartTimeAsUnixTime),
                      slot_of(&T::put_StartTimeAsUnixTime), slot_of(&T::get_ExpireTime), slot_of(&T::put_ExpireTime),
                      slot_of(&T::get_ExpireTimeAsUnixTime), slot_of(&T::put_ExpireTimeAsUnixTime),
                      slot_of(&T::get_LastOccurrence), slot_of(&T::put_LastOccurrence),
                      slot_of(&T::get_LastOccurrenceAsUnixTime), slot_of(&T::put_LastOccurrenceAsUnixTime),
                      slot_of(&T::get_RecurrenceTimeInterval), slot_of(&T::put_RecurrenceTimeInterval),
                      slot_of(&T::get_Recurrence), slot_of(&T::put_Recurrence), slot_of(&T::get_WeekMask),
                      slot_of(&T::put_WeekMask), slot_of(&T::get_UTC), slot_of(&T::put_UTC), slot_of(&T::ChangeUTC),
                      slot_of(&T::UpdateNextOccurrence)},
                     kFirstAfterDispatch);
  EXPECT_EQ(slot_of(&IScheduleInstantiationTrigger::Copy), 12u);
  EXPECT_EQ(slot_of(&IScheduleMonitorTrigger::get_Path), 12u);
  EXPECT_EQ(slot_of(&IScheduleMonitorTrigger::Copy), 14u);
}

TEST(TypeLibrarySlots, InternalAndEventInterfacesFollowTheirPublishedOrder) {
  using E = IScheduleItemsEvents;
  expect_consecutive({slot_of(&E::OnAddItem), slot_of(&E::OnRemoveItem), slot_of(&E::OnUpdateItem),
                      slot_of(&E::OnRemoveAllItems)},
                     kFirstAfterUnknown);
  expect_consecutive({slot_of(&IScheduleTriggerWithOccurrence::NextOccurrence),
                      slot_of(&IScheduleTriggerWithOccurrence::HasNextOccurrence)},
                     kFirstAfterUnknown);
  EXPECT_EQ(slot_of(&IXMLArchiveSerializable::Serialize), kFirstAfterUnknown);
}

TEST(TypeLibrarySlots, HostTransferOperationsFollowTheOrderOfOneRun) {
  using T = ITransferQueueItem;
  expect_consecutive({slot_of(&T::CreateQueueCopy), slot_of(&T::get_Kind), slot_of(&T::get_Source),
                      slot_of(&T::ApplyChangeSet), slot_of(&T::get_Dependencies)},
                     kFirstAfterUnknown);
  expect_consecutive({slot_of(&ITransferSourceDescriptor::get_Mode), slot_of(&ITransferSourceDescriptor::get_Path)},
                     kFirstAfterUnknown);
  expect_consecutive({slot_of(&ITransferQueue::InsertHead), slot_of(&ITransferQueue::InsertTail)}, kFirstAfterUnknown);
}

TEST(TypeLibrarySlots, ArchiveOperationsFollowTheirPublishedOrder) {
  using A = IXMLArchive;
  expect_consecutive({slot_of(&A::ExchangeObject), slot_of(&A::ExchangeValue), slot_of(&A::ExchangeValueEx),
                      slot_of(&A::ExchangeGuid), slot_of(&A::ExchangeTime), slot_of(&A::ExchangeTimeSpan),
                      slot_of(&A::GetChildNode), slot_of(&A::SetMode), slot_of(&A::GetMode), slot_of(&A::SetUserValue),
                      slot_of(&A::GetUserValue), slot_of(&A::PutPreserveWhiteSpace),
                      slot_of(&A::GetPreserveWhiteSpace), slot_of(&A::IsLoading), slot_of(&A::IsStoring),
                      slot_of(&A::GetDocument), slot_of(&A::CreateDocument), slot_of(&A::Save), slot_of(&A::Load)},
                     kFirstAfterUnknown);
}

}  // namespace
