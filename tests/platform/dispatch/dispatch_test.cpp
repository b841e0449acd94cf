// IDispatch served from a description, driven entirely by name as a script host drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "comrt/guid.h"
#include "widget.h"

namespace {

using comrt::variant;
using widgets::Gadget;
using widgets::ref_count;

constexpr GUID kChildId{0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

// One Invoke as a script host makes it: arguments in declaration order (reversed into DISPPARAMS),
// optional named arguments that precede them in DISPPARAMS order.
struct call_result {
  HRESULT hr = E_FAIL;
  variant value;
  UINT arg_error = 0xFFFF;
};

class Dispatch : public ::testing::Test {
 protected:
  Dispatch() : gadget(comrt::make<Gadget>()), disp(gadget.as<IDispatch>()) {}

  DISPID id_of(std::u16string name) {
    LPOLESTR names[] = {name.data()};
    DISPID id = 12345;
    EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    return id;
  }

  call_result invoke(DISPID id, WORD flags, std::vector<variant> args, std::vector<DISPID> named = {}) {
    std::reverse(args.begin() + static_cast<ptrdiff_t>(named.size()), args.end());
    DISPPARAMS params{args.data(), named.empty() ? nullptr : named.data(), static_cast<UINT>(args.size()),
                      static_cast<UINT>(named.size())};
    call_result r;
    r.hr = disp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &r.value, nullptr, &r.arg_error);
    return r;
  }
  call_result call(const std::u16string& name, std::vector<variant> args = {}) {
    return invoke(id_of(name), DISPATCH_METHOD, std::move(args));
  }
  call_result get(const std::u16string& name, std::vector<variant> args = {}) {
    return invoke(id_of(name), DISPATCH_PROPERTYGET, std::move(args));
  }
  // The value is the named argument DISPID_PROPERTYPUT; it stands first in DISPPARAMS.
  HRESULT put(const std::u16string& name, variant value) {
    std::vector<variant> args;
    args.push_back(std::move(value));
    return invoke(id_of(name), DISPATCH_PROPERTYPUT, std::move(args), {DISPID_PROPERTYPUT}).hr;
  }

  comrt::com_ptr<Gadget> gadget;
  comrt::com_ptr<IDispatch> disp;
};

TEST_F(Dispatch, PropertiesRoundTripWithTheirAutomationTypes) {
  ASSERT_EQ(put(u"Name", u"Nightly"), S_OK);
  EXPECT_EQ(gadget->name, u"Nightly");
  call_result r = get(u"Name");
  ASSERT_EQ(r.hr, S_OK);
  ASSERT_EQ(r.value.vt, VT_BSTR);
  EXPECT_EQ(comrt::bstr_view(r.value.bstrVal), u"Nightly");

  ASSERT_EQ(put(u"Enabled", variant(true)), S_OK);
  EXPECT_EQ(gadget->enabled, VARIANT_TRUE);
  r = get(u"Enabled");
  EXPECT_EQ(r.value.vt, VT_BOOL);
  EXPECT_EQ(r.value.boolVal, VARIANT_TRUE);

  // A DATE property answers VT_DATE although the C++ type is double; a plain double is VT_R8.
  ASSERT_EQ(put(u"Started", 45000.5), S_OK);
  EXPECT_DOUBLE_EQ(gadget->started, 45000.5);
  r = get(u"Started");
  EXPECT_EQ(r.value.vt, VT_DATE);
  EXPECT_DOUBLE_EQ(r.value.date, 45000.5);
  r = get(u"Ratio");
  EXPECT_EQ(r.value.vt, VT_R8);
  EXPECT_DOUBLE_EQ(r.value.dblVal, 0.25);

  ASSERT_EQ(put(u"Kind", static_cast<int32_t>(wkLarge)), S_OK);
  EXPECT_EQ(gadget->kind, wkLarge);
  r = get(u"Kind");
  EXPECT_EQ(r.value.vt, VT_I4);
  EXPECT_EQ(r.value.lVal, wkLarge);

  r = get(u"Size");
  EXPECT_EQ(r.value.vt, VT_UI8);
  EXPECT_EQ(r.value.ullVal, ULONGLONG{1} << 40);
}

TEST_F(Dispatch, ArgumentsAreConvertedToTheParameterType) {
  // Text to number, number to text, and references dereferenced.
  ASSERT_EQ(put(u"Count", u"42"), S_OK);
  EXPECT_EQ(gadget->count, 42);
  ASSERT_EQ(put(u"Name", 17), S_OK);
  EXPECT_EQ(gadget->name, u"17");

  LONG by_ref = 9;
  variant ref;
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &by_ref;
  call_result r = call(u"Subtract", {variant(u"10"), std::move(ref)});
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.value.vt, VT_I4);
  EXPECT_EQ(r.value.lVal, 1);

  variant inner(u"5");
  variant ref_to_variant;
  ref_to_variant.vt = VT_BYREF | VT_VARIANT;
  ref_to_variant.pvarVal = &inner;
  r = call(u"Subtract", {std::move(ref_to_variant), 7});
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.value.lVal, -2);

  // A status property takes VT_ERROR as well as numbers.
  variant error;
  error.vt = VT_ERROR;
  error.scode = E_ACCESSDENIED;
  ASSERT_EQ(put(u"Result", std::move(error)), S_OK);
  EXPECT_EQ(gadget->result, E_ACCESSDENIED);
  r = get(u"Result");
  EXPECT_EQ(r.value.vt, VT_I4);
  EXPECT_EQ(r.value.lVal, E_ACCESSDENIED);

  // VARIANT parameters take the argument as it is.
  r = call(u"Echo", {variant(u"as is")});
  ASSERT_EQ(r.hr, S_OK);
  ASSERT_EQ(r.value.vt, VT_BSTR);
  EXPECT_EQ(comrt::bstr_view(r.value.bstrVal), u"as is");
}

TEST_F(Dispatch, GuidAndFiletimeTravelThroughTheirMappings) {
  ASSERT_EQ(put(u"Id", u"{6b1e2c3a-0d4f-4a5b-9c8d-7e6f5a4b3c2d}"), S_OK);
  const GUID expected{0x6B1E2C3A, 0x0D4F, 0x4A5B, {0x9C, 0x8D, 0x7E, 0x6F, 0x5A, 0x4B, 0x3C, 0x2D}};
  EXPECT_EQ(gadget->id, expected);
  call_result r = get(u"Id");
  ASSERT_EQ(r.value.vt, VT_BSTR);
  EXPECT_EQ(comrt::bstr_view(r.value.bstrVal), u"{6B1E2C3A-0D4F-4A5B-9C8D-7E6F5A4B3C2D}");

  // Text that is no GUID is a type mismatch, and nothing is stored.
  EXPECT_EQ(put(u"Id", u"6B1E2C3A-0D4F-4A5B-9C8D-7E6F5A4B3C2D"), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(gadget->id, expected);

  const ULONGLONG ticks = 133'000'000'000'000'123ULL;
  ASSERT_EQ(put(u"Created", ticks), S_OK);
  EXPECT_EQ(gadget->created.dwLowDateTime, static_cast<DWORD>(ticks));
  EXPECT_EQ(gadget->created.dwHighDateTime, static_cast<DWORD>(ticks >> 32));
  r = get(u"Created");
  EXPECT_EQ(r.value.vt, VT_UI8);
  EXPECT_EQ(r.value.ullVal, ticks);

  // A GUID passed by reference ([in] GUID*) arrives as text too.
  gadget->child = comrt::make<Gadget>();
  gadget->child_id = kChildId;
  r = call(u"FindById", {variant(comrt::to_u16string(kChildId))});
  ASSERT_EQ(r.hr, S_OK);
  ASSERT_EQ(r.value.vt, VT_DISPATCH);
  EXPECT_EQ(r.value.pdispVal, gadget->child.as<IDispatch>().get());
  r = call(u"FindById", {variant(u"{not a guid}")});
  EXPECT_EQ(r.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(r.arg_error, 0u);
}

TEST_F(Dispatch, NamesAreMatchedWithoutRegardToCaseAndNameTheirParameters) {
  std::u16string names[] = {u"sUbTrAcT", u"B", u"a"};
  LPOLESTR raw[] = {names[0].data(), names[1].data(), names[2].data()};
  DISPID ids[3] = {};
  ASSERT_EQ(disp->GetIDsOfNames(IID_NULL, raw, 3, LOCALE_USER_DEFAULT, ids), S_OK);
  EXPECT_EQ(ids[0], 100);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], 0);

  // Named arguments reach their parameters whatever their order.
  call_result r = invoke(100, DISPATCH_METHOD, {variant(3), variant(10)}, {1, 0});
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.value.lVal, 7);
  // A positional first argument and a named second one.
  r = invoke(100, DISPATCH_METHOD, {variant(4), variant(10)}, {1});
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.value.lVal, 6);

  // Inherited members are found through the derived interface's description.
  EXPECT_EQ(id_of(u"EXTRA"), 200);
  r = get(u"extra");
  EXPECT_EQ(r.value.lVal, 7);
}

TEST_F(Dispatch, UnknownNamesAreReportedSlotBySlot) {
  std::u16string names[] = {u"Subtract", u"a", u"nope"};
  LPOLESTR raw[] = {names[0].data(), names[1].data(), names[2].data()};
  DISPID ids[3] = {5, 5, 5};
  EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, raw, 3, LOCALE_USER_DEFAULT, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 100);
  EXPECT_EQ(ids[1], 0);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);

  std::u16string missing = u"Launch";
  LPOLESTR one[] = {missing.data(), names[1].data()};
  DISPID two[2] = {5, 5};
  EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, one, 2, LOCALE_USER_DEFAULT, two), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(two[0], DISPID_UNKNOWN);
  EXPECT_EQ(two[1], DISPID_UNKNOWN);

  const IID other{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(disp->GetIDsOfNames(other, raw, 1, LOCALE_USER_DEFAULT, ids), DISP_E_UNKNOWNINTERFACE);
}

TEST_F(Dispatch, BadCallsGetTheStatusesAutomationClientsExpect) {
  // The wrong kind of call, an unknown DISPID, a write to a read-only property.
  EXPECT_EQ(invoke(1, DISPATCH_METHOD, {}).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(invoke(999, DISPATCH_PROPERTYGET, {}).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(put(u"Ratio", 1.0), DISP_E_MEMBERNOTFOUND);
  // Scripts call properties as METHOD|PROPERTYGET.
  EXPECT_EQ(invoke(2, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}).hr, S_OK);

  // Argument counts.
  EXPECT_EQ(call(u"Subtract", {variant(1)}).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(call(u"Subtract", {variant(1), variant(2), variant(3)}).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(get(u"Count", {variant(1)}).hr, DISP_E_BADPARAMCOUNT);

  // A property write whose value is not the named argument DISPID_PROPERTYPUT.
  EXPECT_EQ(invoke(2, DISPATCH_PROPERTYPUT, {variant(5)}).hr, DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(gadget->count, 0);
  // A required argument marked as omitted.
  variant omitted;
  omitted.vt = VT_ERROR;
  omitted.scode = DISP_E_PARAMNOTFOUND;
  call_result r = call(u"Subtract", {variant(1), std::move(omitted)});
  EXPECT_EQ(r.hr, DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(r.arg_error, 0u);
  // Named arguments for a member without parameters, or naming no parameter.
  EXPECT_EQ(invoke(102, DISPATCH_METHOD, {variant(1)}, {0}).hr, DISP_E_NONAMEDARGS);
  r = invoke(100, DISPATCH_METHOD, {variant(1), variant(2)}, {7, 0});
  EXPECT_EQ(r.hr, DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(r.arg_error, 0u);

  // Malformed parameter blocks and foreign interface identifiers.
  EXPECT_EQ(disp->Invoke(100, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  DISPPARAMS broken{nullptr, nullptr, 2, 0};
  EXPECT_EQ(disp->Invoke(100, IID_NULL, 0, DISPATCH_METHOD, &broken, nullptr, nullptr, nullptr), E_INVALIDARG);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(disp->Invoke(102, IID_IDispatch, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);

  // The method's own failure is reported as an exception (its details: error_info_test.cpp).
  EXPECT_EQ(call(u"Fail").hr, DISP_E_EXCEPTION);
}

TEST_F(Dispatch, TypeMismatchNamesTheArgumentInParameterBlockOrder) {
  // Subtract(a, b): b stands first in DISPPARAMS.
  call_result r = call(u"Subtract", {variant(1), variant(u"abc")});
  EXPECT_EQ(r.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(r.arg_error, 0u);
  r = call(u"Subtract", {variant(u"abc"), variant(1)});
  EXPECT_EQ(r.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(r.arg_error, 1u);
  // Something that is no object for an interface parameter.
  r = call(u"Link", {variant(5), variant(1)});
  EXPECT_EQ(r.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(r.arg_error, 1u);
  EXPECT_EQ(r.value.vt, VT_EMPTY);
}

TEST_F(Dispatch, ObjectsTravelAsInterfacesAndNoReferenceIsLost) {
  auto other = comrt::make<Gadget>();
  const ULONG base = ref_count(other.get());
  comrt::com_ptr<IDispatch> other_disp = other.as<IDispatch>();

  // The argument is queried for the parameter's interface.
  ASSERT_EQ(call(u"Link", {variant(other_disp.get()), variant(3)}).hr, S_OK);
  EXPECT_EQ(gadget->linked.get(), static_cast<IWidget*>(other.get()));
  EXPECT_EQ(gadget->link_weight, 3);
  ASSERT_EQ(call(u"Link", {variant(), variant(0)}).hr, S_OK);
  EXPECT_FALSE(gadget->linked);
  // A failing conversion after the object was converted releases the converted object.
  EXPECT_EQ(call(u"Link", {variant(other_disp.get()), variant(u"x")}).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(ref_count(other.get()), base + 1);  // other_disp only

  // Results: the default member (DISPID 0) with an index, and _NewEnum (DISPID -4).
  gadget->child = other;
  call_result r = invoke(DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {variant(0)});
  ASSERT_EQ(r.hr, S_OK);
  ASSERT_EQ(r.value.vt, VT_DISPATCH);
  EXPECT_EQ(r.value.pdispVal, other_disp.get());
  r = invoke(DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {});
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.value.vt, VT_UNKNOWN);
  r = call_result{};
  EXPECT_EQ(ref_count(other.get()), base + 2);  // other_disp and child

  // A result nobody asked for, and one handed out by a failing method, are released.
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(disp->Invoke(105, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), DISP_E_EXCEPTION);
  variant index(0);
  DISPPARAMS one{&index, nullptr, 1, 0};
  EXPECT_EQ(disp->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &one, nullptr, nullptr, nullptr), S_OK);
  r = call(u"BrokenChild");
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.value.vt, VT_EMPTY);
  EXPECT_EQ(ref_count(other.get()), base + 2);
}

TEST_F(Dispatch, TypeInformationIsOffered) {
  UINT count = 0;
  ASSERT_EQ(disp->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  comrt::com_ptr<ITypeInfo> info;
  EXPECT_EQ(disp->GetTypeInfo(1, 0, info.put()), DISP_E_BADINDEX);
  EXPECT_FALSE(info);
  ASSERT_EQ(disp->GetTypeInfo(0, 0, info.put()), S_OK);
  // The description names its library, so the type information knows where it belongs.
  comrt::com_ptr<ITypeLib> library;
  UINT index = 99;
  ASSERT_EQ(info->GetContainingTypeLib(library.put(), &index), S_OK);
  EXPECT_EQ(index, 1u);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, LIBID_Widgets);
  library->ReleaseTLibAttr(attr);
}

}  // namespace
