// Type information and type libraries built from descriptions, and their registration.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "comrt/guid.h"
#include "comrt/registry.h"
#include "comrt/strings.h"
#include "platform/registry/registry_sandbox.h"
#include "widget.h"

namespace {

using comrt::com_ptr;

TYPEATTR type_attr(ITypeInfo* info) {
  TYPEATTR* p = nullptr;
  EXPECT_EQ(info->GetTypeAttr(&p), S_OK);
  const TYPEATTR a = *p;
  return info->ReleaseTypeAttr(p), a;
}

// The function with this DISPID and kind (FUNCDESCs live as long as their type information).
const FUNCDESC* func(ITypeInfo* info, MEMBERID id, INVOKEKIND kind) {
  for (UINT i = 0; i < type_attr(info).cFuncs; ++i) {
    FUNCDESC* f = nullptr;
    EXPECT_EQ(info->GetFuncDesc(i, &f), S_OK);
    if (f->memid == id && f->invkind == kind) return f;
  }
  ADD_FAILURE() << "no function " << id;
  static const FUNCDESC none{};
  return &none;
}

TEST(TypeInfo, DescribesTheDispatchViewOfADualInterface) {
  com_ptr<ITypeInfo> info = comrt::make_type_info(comrt::describe<IWidget>());
  const TYPEATTR a = type_attr(info.get());
  EXPECT_EQ(a.typekind, TKIND_DISPATCH);
  EXPECT_EQ(a.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE), TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);

  // A method: its [in] parameters, and the [out, retval] as the function's result.
  const FUNCDESC* f = func(info.get(), 100, INVOKE_FUNC);
  ASSERT_EQ(f->cParams, 2);
  EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_I4);
  EXPECT_EQ(f->lprgelemdescParam[1].paramdesc.wParamFlags, PARAMFLAG_FIN);
  EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_I4);
  f = func(info.get(), 106, INVOKE_FUNC);
  EXPECT_EQ(f->cParamsOpt, 2);
  EXPECT_EQ(f->lprgelemdescParam[2].paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FOPT);
  // A property write returns nothing; the GUID property reads as text, the DATE one as a date.
  f = func(info.get(), 5, INVOKE_PROPERTYPUT);
  EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_VOID);
  ASSERT_EQ(f->cParams, 1);
  EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_BSTR);
  EXPECT_EQ(func(info.get(), 4, INVOKE_PROPERTYGET)->elemdescFunc.tdesc.vt, VT_DATE);
  EXPECT_EQ(func(info.get(), DISPID_NEWENUM, INVOKE_PROPERTYGET)->wFuncFlags, FUNCFLAG_FRESTRICTED);
}

TEST(TypeLibrary, ListsInterfacesAndCoclassesWithTheirRelations) {
  const int32_t before = comrt::module_lock_count().load();
  {
    com_ptr<ITypeLib> library = comrt::make_type_library(widgets::library());
    // The listed interface, the two only the coclass names, then the coclass.
    ASSERT_EQ(library->GetTypeInfoCount(), 4u);
    com_ptr<ITypeInfo> gadget, events;
    ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_Gadget, gadget.put()), S_OK);
    ASSERT_EQ(type_attr(gadget.get()).cImplTypes, 3);
    const IID expected[] = {IID_IWidget, IID__IWidgetEvents, IID_IWidgetCallback};
    const INT expected_flags[] = {IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE, IMPLTYPEFLAG_FSOURCE};
    for (UINT i = 0; i < 3; ++i) {
      INT flags = -1;
      HREFTYPE ref = 0;
      com_ptr<ITypeInfo> implemented;
      EXPECT_EQ(gadget->GetImplTypeFlags(i, &flags), S_OK);
      EXPECT_EQ(flags, expected_flags[i]);
      ASSERT_EQ(gadget->GetRefTypeOfImplType(i, &ref), S_OK);
      ASSERT_EQ(gadget->GetRefTypeInfo(ref, implemented.put()), S_OK);
      EXPECT_EQ(type_attr(implemented.get()).guid, expected[i]);
    }
    com_ptr<ITypeLib> containing; UINT index = 0;
    ASSERT_EQ(gadget->GetContainingTypeLib(containing.put(), &index), S_OK);
    EXPECT_EQ(containing.get(), library.get());
    ASSERT_EQ(library->GetTypeInfoOfGuid(IID__IWidgetEvents, events.put()), S_OK);
    EXPECT_EQ(type_attr(events.get()).wTypeFlags & TYPEFLAG_FDUAL, 0);
    EXPECT_EQ(func(events.get(), 1, INVOKE_FUNC)->lprgelemdescParam[0].tdesc.vt, VT_DISPATCH);
  }
  EXPECT_EQ(comrt::module_lock_count().load(), before);  // every object made on the way is gone
}

const std::u16string kLib = u"TypeLib\\" + comrt::to_u16string(LIBID_Widgets), kVersion = kLib + u"\\1.0",
                     kUser = u"Software\\Classes\\", kWidget = u"Interface\\" + comrt::to_u16string(IID_IWidget);

// The default value of a key, or nullopt when the key or value is missing.
std::optional<std::u16string> read(const std::u16string& key, HKEY root = HKEY_CLASSES_ROOT) {
  char16_t data[512]; DWORD size = sizeof(data);
  const LONG status = RegGetValueW(root, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, data, &size);
  return status == ERROR_SUCCESS ? std::optional<std::u16string>(data) : std::nullopt;
}

void write(const std::u16string& key, const std::u16string& text) {
  comrt::unique_hkey k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
            ERROR_SUCCESS);
  auto data = reinterpret_cast<const BYTE*>(text.c_str());
  ASSERT_EQ(RegSetValueExW(k.get(), nullptr, 0, REG_SZ, data, static_cast<DWORD>((text.size() + 1) * 2)), ERROR_SUCCESS);
}

TEST(Registration, WritesTheLibraryAndItsAutomationInterfacesAndRemovesExactlyThatMachineWideOrPerUser) {
  tolvane::test::registry_sandbox sandbox;
  com_ptr<ITypeLib> library = comrt::make_type_library(widgets::library());
  // Somebody else's interface and another version of the library stay.
  const std::u16string foreign = u"Interface\\{11111111-2222-3333-4444-555555555555}";
  write(foreign, u"IForeign");
  write(foreign + u"\\TypeLib", u"{11111111-2222-3333-4444-000000000000}");
  ASSERT_EQ(RegisterTypeLib(library.get(), u"/opt/widgets/libWidgets.so", u"/opt/widgets/help"), S_OK);
  EXPECT_EQ(read(kVersion), u"Widgets 1.0 Type Library");
  EXPECT_EQ(read(kVersion + u"\\0\\linux64"), u"/opt/widgets/libWidgets.so");
  // Dual interfaces use the automation marshaler, dispatch-only ones the dispatch marshaler, plain
  // vtable interfaces none.
  EXPECT_EQ(read(kWidget), u"IWidget");
  EXPECT_EQ(read(kWidget + u"\\ProxyStubClsid32"), u"{00020424-0000-0000-C000-000000000046}");
  const std::u16string events = u"Interface\\" + comrt::to_u16string(IID__IWidgetEvents);
  EXPECT_EQ(read(events + u"\\ProxyStubClsid32"), u"{00020420-0000-0000-C000-000000000046}");
  EXPECT_EQ(read(u"Interface\\" + comrt::to_u16string(IID_IWidgetCallback)), std::nullopt);
  EXPECT_EQ(read(kUser + kVersion, HKEY_CURRENT_USER), std::nullopt);  // machine-wide only

  write(kLib + u"\\2.0\\0\\linux64", u"/opt/widgets2/libWidgets.so");
  ASSERT_EQ(UnRegisterTypeLib(LIBID_Widgets, 1, 0, 0, SYS_WIN64), S_OK);
  for (auto& key : {kVersion, kWidget, events}) EXPECT_EQ(read(key), std::nullopt) << comrt::to_utf8(key);
  EXPECT_EQ(read(kLib + u"\\2.0\\0\\linux64"), u"/opt/widgets2/libWidgets.so");
  EXPECT_EQ(read(foreign), u"IForeign");
  // Once no version is left the library's key goes too; unregistering again changes nothing.
  ASSERT_EQ(UnRegisterTypeLib(LIBID_Widgets, 2, 0, 0, SYS_WIN64), S_OK);
  comrt::unique_hkey gone;
  EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, kLib.c_str(), 0, KEY_READ, gone.put()), ERROR_SUCCESS);
  EXPECT_EQ(UnRegisterTypeLib(LIBID_Widgets, 1, 0, 0, SYS_WIN64), TYPE_E_REGISTRYACCESS);

  // Per-user registration stays in the user's classes; machine-wide unregistration does not touch it.
  ASSERT_EQ(RegisterTypeLibForUser(library.get(), u"/home/u/libWidgets.so", nullptr), S_OK);
  EXPECT_EQ(read(kUser + kVersion + u"\\0\\linux64", HKEY_CURRENT_USER), u"/home/u/libWidgets.so");
  EXPECT_EQ(read(kUser + kWidget, HKEY_CURRENT_USER), u"IWidget");
  EXPECT_EQ(read(kVersion), u"Widgets 1.0 Type Library");  // the merged view shows it
  EXPECT_EQ(UnRegisterTypeLib(LIBID_Widgets, 1, 0, 0, SYS_WIN64), TYPE_E_REGISTRYACCESS);
  ASSERT_EQ(UnRegisterTypeLibForUser(LIBID_Widgets, 1, 0, 0, SYS_WIN64), S_OK);
  EXPECT_EQ(read(kUser + kWidget, HKEY_CURRENT_USER), std::nullopt);
}

}  // namespace
