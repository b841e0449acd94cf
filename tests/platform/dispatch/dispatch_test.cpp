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

// One Invoke as a script host makes it: arguments in declaration order (reversed into DISPPARAMS),
// optional named arguments that precede them in DISPPARAMS order.
struct call_result {
  HRESULT hr = E_FAIL;
  variant value;
  UINT arg_error = 0xFFFF;
};

class Dispatch : public ::testing::Test {
 protected:
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
  call_result get(const std::u16string& name) { return invoke(id_of(name), DISPATCH_PROPERTYGET, {}); }
  // The value is the named argument DISPID_PROPERTYPUT; it stands first in DISPPARAMS.
  HRESULT put(const std::u16string& name, variant value) {
    std::vector<variant> args;
    args.push_back(std::move(value));
    return invoke(id_of(name), DISPATCH_PROPERTYPUT, std::move(args), {DISPID_PROPERTYPUT}).hr;
  }

  comrt::com_ptr<Gadget> gadget = comrt::make<Gadget>();
  comrt::com_ptr<IDispatch> disp = gadget.as<IDispatch>();
};

variant of_type(VARTYPE vt, LONG value) {
  variant v;
  v.vt = vt;
  v.lVal = value;
  return v;
}

TEST_F(Dispatch, PropertiesConvertTheirArgumentsAndAnswerWithTheirAutomationTypes) {
  const struct {
    const char16_t* name;
    variant in;
    VARTYPE out_type;
    variant out;
  } rows[] = {
      {u"Name", variant(17), VT_BSTR, variant(u"17")},
      {u"Count", variant(u"42"), VT_I4, variant(42)},
      {u"Enabled", variant(true), VT_BOOL, variant(true)},
      {u"Started", variant(45000.5), VT_DATE, variant::from_date(45000.5)},  // a DATE, not a VT_R8
      {u"Kind", variant(int32_t{wkLarge}), VT_I4, variant(int32_t{wkLarge})},
      {u"Result", of_type(VT_ERROR, E_ACCESSDENIED), VT_I4, variant(E_ACCESSDENIED)},
      {u"Id", variant(u"{6b1e2c3a-0d4f-4a5b-9c8d-7e6f5a4b3c2d}"), VT_BSTR,
       variant(u"{6B1E2C3A-0D4F-4A5B-9C8D-7E6F5A4B3C2D}")},
      {u"Created", variant(ULONGLONG{133'000'000'000'000'123ULL}), VT_UI8,
       variant(ULONGLONG{133'000'000'000'000'123ULL})},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name, row.name + std::char_traits<char16_t>::length(row.name)));
    ASSERT_EQ(put(row.name, row.in), S_OK);
    call_result r = get(row.name);
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.value.vt, row.out_type);
    variant expected = row.out.converted(VT_BSTR), actual = r.value.converted(VT_BSTR);
    EXPECT_EQ(comrt::bstr_view(actual.bstrVal), comrt::bstr_view(expected.bstrVal));
  }
  EXPECT_EQ(gadget->created.dwHighDateTime, static_cast<DWORD>(133'000'000'000'000'123ULL >> 32));
  EXPECT_EQ(get(u"Ratio").value.vt, VT_R8);
  EXPECT_EQ(get(u"Size").value.vt, VT_UI8);
  // Text that is no GUID is a type mismatch, and nothing is stored.
  EXPECT_EQ(put(u"Id", u"6B1E2C3A-0D4F-4A5B-9C8D-7E6F5A4B3C2D"), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(gadget->id.Data1, 0x6B1E2C3Au);
}

TEST_F(Dispatch, MethodsTakeReferencesNamedArgumentsAndGuidsAsText) {
  LONG by_ref = 9;
  variant ref = of_type(VT_BYREF | VT_I4, 0);
  ref.plVal = &by_ref;
  EXPECT_EQ(call(u"Subtract", {variant(u"10"), std::move(ref)}).value.lVal, 1);
  variant inner(u"5");
  variant ref_to_variant = of_type(VT_BYREF | VT_VARIANT, 0);
  ref_to_variant.pvarVal = &inner;
  EXPECT_EQ(call(u"Subtract", {std::move(ref_to_variant), 7}).value.lVal, -2);
  EXPECT_EQ(comrt::bstr_view(call(u"Echo", {variant(u"as is")}).value.bstrVal), u"as is");

  // Names in any case; parameter names give their positions, and named arguments reach their
  // parameters whatever their order.
  std::u16string names[] = {u"sUbTrAcT", u"B", u"a", u"nope"};
  LPOLESTR raw[] = {names[0].data(), names[1].data(), names[2].data(), names[3].data()};
  DISPID ids[4] = {};
  EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, raw, 4, LOCALE_USER_DEFAULT, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(std::vector<DISPID>(ids, ids + 4), (std::vector<DISPID>{100, 1, 0, DISPID_UNKNOWN}));
  EXPECT_EQ(invoke(100, DISPATCH_METHOD, {variant(3), variant(10)}, {1, 0}).value.lVal, 7);
  EXPECT_EQ(invoke(100, DISPATCH_METHOD, {variant(4), variant(10)}, {1}).value.lVal, 6);
  EXPECT_EQ(get(u"extra").value.lVal, 7);  // inherited from the base interface's description

  // A GUID passed by reference ([in] GUID*) arrives as text too.
  const GUID child_id{0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  gadget->child = comrt::make<Gadget>();
  gadget->child_id = child_id;
  EXPECT_EQ(call(u"FindById", {variant(comrt::to_u16string(child_id))}).value.pdispVal,
            gadget->child.as<IDispatch>().get());
  EXPECT_EQ(call(u"FindById", {variant(u"{not a guid}")}).hr, DISP_E_TYPEMISMATCH);
}

TEST_F(Dispatch, BadCallsGetTheStatusesAutomationClientsExpect) {
  variant omitted = of_type(VT_ERROR, DISP_E_PARAMNOTFOUND);
  const struct {
    DISPID id;
    WORD flags;
    std::vector<variant> args;
    std::vector<DISPID> named;
    HRESULT expected;
    UINT arg_error;
  } rows[] = {
      {1, DISPATCH_METHOD, {}, {}, DISP_E_MEMBERNOTFOUND, 0xFFFF},  // the wrong kind of call
      {999, DISPATCH_PROPERTYGET, {}, {}, DISP_E_MEMBERNOTFOUND, 0xFFFF},
      {8, DISPATCH_PROPERTYPUT, {variant(1.0)}, {DISPID_PROPERTYPUT}, DISP_E_MEMBERNOTFOUND, 0xFFFF},  // read-only
      {2, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, {}, S_OK, 0xFFFF},  // as scripts read properties
      {100, DISPATCH_METHOD, {variant(1)}, {}, DISP_E_BADPARAMCOUNT, 0xFFFF},
      {100, DISPATCH_METHOD, {variant(1), variant(2), variant(3)}, {}, DISP_E_BADPARAMCOUNT, 0xFFFF},
      {2, DISPATCH_PROPERTYGET, {variant(1)}, {}, DISP_E_BADPARAMCOUNT, 0xFFFF},
      {2, DISPATCH_PROPERTYPUT, {variant(5)}, {}, DISP_E_PARAMNOTFOUND, 0xFFFF},  // value not named
      {100, DISPATCH_METHOD, {variant(1), omitted}, {}, DISP_E_PARAMNOTOPTIONAL, 0},
      {102, DISPATCH_METHOD, {variant(1)}, {0}, DISP_E_NONAMEDARGS, 0xFFFF},
      {100, DISPATCH_METHOD, {variant(1), variant(2)}, {7, 0}, DISP_E_PARAMNOTFOUND, 0},
      {100, DISPATCH_METHOD, {variant(1), variant(u"abc")}, {}, DISP_E_TYPEMISMATCH, 0},  // b is first
      {100, DISPATCH_METHOD, {variant(u"abc"), variant(1)}, {}, DISP_E_TYPEMISMATCH, 1},
      {101, DISPATCH_METHOD, {variant(5), variant(1)}, {}, DISP_E_TYPEMISMATCH, 1},  // no object
      {102, DISPATCH_METHOD, {}, {}, DISP_E_EXCEPTION, 0xFFFF},  // the method's own failure
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "DISPID " << row.id << " flags " << row.flags);
    call_result r = invoke(row.id, row.flags, row.args, row.named);
    EXPECT_EQ(r.hr, row.expected);
    if (row.arg_error != 0xFFFF) {
      EXPECT_EQ(r.arg_error, row.arg_error);
    }
  }
  EXPECT_EQ(gadget->count, 0);
  EXPECT_EQ(disp->Invoke(100, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(disp->Invoke(102, IID_IDispatch, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
}

TEST_F(Dispatch, ObjectsTravelAsInterfacesAndNoReferenceIsLost) {
  auto other = comrt::make<Gadget>();
  const ULONG base = ref_count(other.get());
  comrt::com_ptr<IDispatch> other_disp = other.as<IDispatch>();
  ASSERT_EQ(call(u"Link", {variant(other_disp.get()), variant(3)}).hr, S_OK);
  EXPECT_EQ(gadget->linked.get(), static_cast<IWidget*>(other.get()));
  ASSERT_EQ(call(u"Link", {variant(), variant(0)}).hr, S_OK);
  EXPECT_FALSE(gadget->linked);
  // A failing conversion after the object was converted releases the converted object.
  EXPECT_EQ(call(u"Link", {variant(other_disp.get()), variant(u"x")}).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(ref_count(other.get()), base + 1);  // other_disp only

  // Results: the default member (DISPID 0) with an index, and _NewEnum (DISPID -4).
  gadget->child = other;
  call_result r = invoke(DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {variant(0)});
  EXPECT_EQ(r.value.pdispVal, other_disp.get());
  EXPECT_EQ(invoke(DISPID_NEWENUM, DISPATCH_PROPERTYGET, {}).value.vt, VT_UNKNOWN);
  r = call_result{};
  // A result nobody asked for, and one handed out by a failing method, are released.
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(disp->Invoke(105, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), DISP_E_EXCEPTION);
  variant index(0);
  DISPPARAMS one{&index, nullptr, 1, 0};
  EXPECT_EQ(disp->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &one, nullptr, nullptr, nullptr), S_OK);
  r = call(u"BrokenChild");
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.value.vt, VT_EMPTY);
  EXPECT_EQ(ref_count(other.get()), base + 2);  // other_disp and child
}

}  // namespace
