// Interface descriptions and the converters that need the runtime.
#include <algorithm>

#include "comrt/dispatch.h"
#include "comrt/guid.h"
#include "comrt/variant.h"
#include "comrt/strings.h"

namespace comrt {

interface_info::interface_info(const IID& iid, std::u16string_view name, std::initializer_list<member_info> members,
                               interface_kind kind)
    : iid_(iid), name_(name), kind_(kind), members_(members) {}

interface_info::interface_info(const IID& iid, std::u16string_view name, const interface_info& base,
                               std::initializer_list<member_info> members)
    : iid_(iid), name_(name), kind_(base.kind()), members_(base.members()) {
  members_.insert(members_.end(), members.begin(), members.end());
}

WORD interface_info::type_flags() const noexcept {
  switch (kind_) {
    case interface_kind::dual:
      return TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FOLEAUTOMATION;
    case interface_kind::dispatch_only:
      return TYPEFLAG_FDISPATCHABLE;
    case interface_kind::custom:
      break;
  }
  return 0;
}

const member_info* interface_info::find(DISPID id, unsigned kinds) const noexcept {
  const auto it = std::find_if(members_.begin(), members_.end(), [&](const member_info& m) {
    return m.id == id && (static_cast<unsigned>(m.kind) & kinds) != 0;
  });
  return it == members_.end() ? nullptr : &*it;
}

const member_info* interface_info::find(std::u16string_view name) const noexcept {
  const auto it = std::find_if(members_.begin(), members_.end(),
                               [&](const member_info& m) { return equal_ignoring_case(m.name, name); });
  return it == members_.end() ? nullptr : &*it;
}

member_info dispatch_method(std::u16string_view name, DISPID id, std::initializer_list<param_info> params,
                            param_info result, WORD flags) {
  member_info m;
  m.name = name;
  m.id = id;
  m.kind = member_kind::method;
  m.params = params;
  m.result = std::move(result);
  m.flags = flags;
  return m;
}

GUID as_guid_text::from_variant(const VARIANT& v) {
  const std::optional<GUID> g = parse_guid(bstr_view(v.bstrVal));
  if (!g) throw_hresult(DISP_E_TYPEMISMATCH);
  return *g;
}

void as_guid_text::to_variant(value_type& x, VARIANT& out) {
  char16_t text[guid_text_size];
  format_guid(x, text);
  out.bstrVal = bstr(std::u16string_view(text, guid_text_length)).detach();
  out.vt = VT_BSTR;
}

}  // namespace comrt
