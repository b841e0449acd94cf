// Type information and type libraries built from descriptions.
#include <gtest/gtest.h>

#include <string>

#include "widget.h"

namespace {

using comrt::com_ptr;
using widgets::Gadget;

// Reads TYPEATTR and releases it.
TYPEATTR type_attr(ITypeInfo* info) {
  TYPEATTR* p = nullptr;
  EXPECT_EQ(info->GetTypeAttr(&p), S_OK);
  TYPEATTR a = *p;
  info->ReleaseTypeAttr(p);
  return a;
}

std::u16string name_of(ITypeInfo* info, MEMBERID id = MEMBERID_NIL) {
  comrt::bstr name;
  EXPECT_EQ(info->GetDocumentation(id, name.put(), nullptr, nullptr, nullptr), S_OK);
  return name.str();
}

// The index of the function with this DISPID and kind, or -1.
int find_func(ITypeInfo* info, MEMBERID id, INVOKEKIND kind) {
  const TYPEATTR a = type_attr(info);
  for (UINT i = 0; i < a.cFuncs; ++i) {
    FUNCDESC* f = nullptr;
    EXPECT_EQ(info->GetFuncDesc(i, &f), S_OK);
    const bool match = f->memid == id && f->invkind == kind;
    info->ReleaseFuncDesc(f);
    if (match) return static_cast<int>(i);
  }
  return -1;
}

TEST(TypeInfo, DescribesTheDispatchViewOfADualInterface) {
  com_ptr<ITypeInfo> info = comrt::make_type_info(comrt::describe<IGadget>());
  const TYPEATTR a = type_attr(info.get());
  EXPECT_EQ(a.guid, IID_IGadget);
  EXPECT_EQ(a.typekind, TKIND_DISPATCH);
  EXPECT_EQ(a.cFuncs, comrt::describe<IWidget>().members().size() + 1);  // the base's members and its own
  EXPECT_EQ(a.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE), TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
  EXPECT_EQ(name_of(info.get()), u"IGadget");

  // A method: its [in] parameters, and the [out, retval] as the function's result.
  const int sub = find_func(info.get(), 100, INVOKE_FUNC);
  ASSERT_GE(sub, 0);
  FUNCDESC* f = nullptr;
  ASSERT_EQ(info->GetFuncDesc(static_cast<UINT>(sub), &f), S_OK);
  EXPECT_EQ(f->funckind, FUNC_DISPATCH);
  ASSERT_EQ(f->cParams, 2);
  EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_I4);
  EXPECT_EQ(f->lprgelemdescParam[1].paramdesc.wParamFlags, PARAMFLAG_FIN);
  EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_I4);
  info->ReleaseFuncDesc(f);

  // A property write returns nothing; the GUID property reads as text, the DATE one as a date.
  const int put_id = find_func(info.get(), 5, INVOKE_PROPERTYPUT);
  ASSERT_GE(put_id, 0);
  ASSERT_EQ(info->GetFuncDesc(static_cast<UINT>(put_id), &f), S_OK);
  EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_VOID);
  ASSERT_EQ(f->cParams, 1);
  EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_BSTR);
  info->ReleaseFuncDesc(f);
  ASSERT_EQ(info->GetFuncDesc(static_cast<UINT>(find_func(info.get(), 4, INVOKE_PROPERTYGET)), &f), S_OK);
  EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_DATE);
  info->ReleaseFuncDesc(f);
  ASSERT_EQ(info->GetFuncDesc(static_cast<UINT>(find_func(info.get(), DISPID_NEWENUM, INVOKE_PROPERTYGET)), &f), S_OK);
  EXPECT_EQ(f->wFuncFlags, FUNCFLAG_FRESTRICTED);
  EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_UNKNOWN);
  info->ReleaseFuncDesc(f);
}

TEST(TypeInfo, NamesDocumentationAndLookups) {
  com_ptr<ITypeInfo> info = comrt::make_type_info(comrt::describe<IGadget>());
  BSTR names[4] = {};
  UINT count = 0;
  ASSERT_EQ(info->GetNames(100, names, 4, &count), S_OK);
  ASSERT_EQ(count, 3u);  // the member and its two [in] parameters
  EXPECT_EQ(comrt::bstr_view(names[0]), u"Subtract");
  EXPECT_EQ(comrt::bstr_view(names[2]), u"b");
  for (BSTR& b : names) SysFreeString(b);
  EXPECT_EQ(info->GetNames(4242, names, 4, &count), TYPE_E_ELEMENTNOTFOUND);

  EXPECT_EQ(name_of(info.get(), 200), u"Extra");

  std::u16string name = u"subtract";
  LPOLESTR raw[] = {name.data()};
  MEMBERID id = 0;
  ASSERT_EQ(info->GetIDsOfNames(raw, 1, &id), S_OK);
  EXPECT_EQ(id, 100);

  // Invoke through the type information, on an object that implements the interface.
  auto gadget = comrt::make<Gadget>();
  comrt::variant args[2] = {comrt::variant(2), comrt::variant(9)};
  DISPPARAMS params{args, nullptr, 2, 0};
  comrt::variant result;
  ASSERT_EQ(info->Invoke(static_cast<IGadget*>(gadget.get()), 100, DISPATCH_METHOD, &params, &result, nullptr,
                         nullptr),
            S_OK);
  EXPECT_EQ(result.lVal, 7);

  // Outside a library there is no containing library and no referenced type.
  com_ptr<ITypeLib> library;
  EXPECT_EQ(info->GetContainingTypeLib(library.put(), nullptr), E_NOTIMPL);
  EXPECT_EQ(info->GetRefTypeOfImplType(0, nullptr), TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypeLibrary, ListsInterfacesAndCoclassesWithTheirRelations) {
  const int32_t before = comrt::module_lock_count().load();
  {
    com_ptr<ITypeLib> library = comrt::make_type_library(widgets::library());
    // The two listed interfaces, the two only the coclass names, then the coclass.
    ASSERT_EQ(library->GetTypeInfoCount(), 5u);
    com_ptr<ITypeInfo> missing;
    EXPECT_EQ(library->GetTypeInfo(5, missing.put()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(library->GetTypeInfoOfGuid(GUID_NULL, missing.put()), TYPE_E_ELEMENTNOTFOUND);

    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, LIBID_Widgets);
    EXPECT_EQ(attr->syskind, SYS_WIN64);
    library->ReleaseTLibAttr(attr);
    comrt::bstr name, doc;
    ASSERT_EQ(library->GetDocumentation(-1, name.put(), doc.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name, u"Widgets");
    EXPECT_EQ(doc, u"Widgets 1.0 Type Library");
    ASSERT_EQ(library->GetDocumentation(4, name.put(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(name, u"Gadget");

    // The coclass: its interfaces, flags and the way back to the library.
    com_ptr<ITypeInfo> gadget;
    ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_Gadget, gadget.put()), S_OK);
    const TYPEATTR a = type_attr(gadget.get());
    EXPECT_EQ(a.typekind, TKIND_COCLASS);
    EXPECT_EQ(a.guid, CLSID_Gadget);
    ASSERT_EQ(a.cImplTypes, 3);
    const IID expected[] = {IID_IGadget, IID__IWidgetEvents, IID_IWidgetCallback};
    const INT expected_flags[] = {IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE,
                                  IMPLTYPEFLAG_FSOURCE};
    for (UINT i = 0; i < 3; ++i) {
      INT flags = -1;
      ASSERT_EQ(gadget->GetImplTypeFlags(i, &flags), S_OK);
      EXPECT_EQ(flags, expected_flags[i]);
      HREFTYPE ref = 0;
      ASSERT_EQ(gadget->GetRefTypeOfImplType(i, &ref), S_OK);
      com_ptr<ITypeInfo> implemented;
      ASSERT_EQ(gadget->GetRefTypeInfo(ref, implemented.put()), S_OK);
      EXPECT_EQ(type_attr(implemented.get()).guid, expected[i]);
    }
    INT flags = 0;
    EXPECT_EQ(gadget->GetImplTypeFlags(3, &flags), TYPE_E_ELEMENTNOTFOUND);
    com_ptr<ITypeInfo> not_referenced;
    EXPECT_EQ(gadget->GetRefTypeInfo(0, not_referenced.put()), TYPE_E_ELEMENTNOTFOUND);  // IWidget

    com_ptr<ITypeLib> containing;
    UINT index = 0;
    ASSERT_EQ(gadget->GetContainingTypeLib(containing.put(), &index), S_OK);
    EXPECT_EQ(index, 4u);
    EXPECT_EQ(containing.get(), library.get());

    // The dispatch-only interface shows its members; it cannot be invoked through the type information.
    com_ptr<ITypeInfo> events;
    ASSERT_EQ(library->GetTypeInfoOfGuid(IID__IWidgetEvents, events.put()), S_OK);
    const TYPEATTR e = type_attr(events.get());
    EXPECT_EQ(e.wTypeFlags & TYPEFLAG_FDUAL, 0);
    EXPECT_EQ(e.cFuncs, 2);
    FUNCDESC* f = nullptr;
    ASSERT_EQ(events->GetFuncDesc(0, &f), S_OK);
    ASSERT_EQ(f->cParams, 1);
    EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_DISPATCH);
    events->ReleaseFuncDesc(f);
  }
  // Every object made on the way is gone.
  EXPECT_EQ(comrt::module_lock_count().load(), before);
}

}  // namespace
