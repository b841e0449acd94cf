// Activation contexts made from manifests (comrt/actctx.h): parsing, the handle table, and the
// per-thread stack of active contexts.
#include "manifest.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include <pugixml.hpp>

#include "comrt/actctx.h"
#include "comrt/object.h"
#include "comrt/strings.h"

namespace comrt::manifest {
namespace {

struct com_class {
  CLSID clsid;
  std::string server;                   // full path of the library
  std::vector<std::u16string> prog_ids;  // the progid attribute first, then the <progid> elements
};

struct context {
  std::vector<com_class> classes;

  const com_class* find(REFCLSID clsid) const noexcept {
    for (const com_class& c : classes)
      if (c.clsid == clsid) return &c;
    return nullptr;
  }
  const com_class* find(std::u16string_view prog_id) const noexcept {
    for (const com_class& c : classes)
      for (const std::u16string& p : c.prog_ids)
        if (p == prog_id) return &c;
    return nullptr;
  }
};

[[noreturn]] void refuse() { throw_hresult(HRESULT_FROM_WIN32(ERROR_SXS_CANT_GEN_ACTCTX)); }

std::u16string text(const char* utf8) { return to_utf16(utf8); }

void add_prog_id(context& ctx, com_class& c, const char* utf8) {
  std::u16string id = text(utf8);
  if (id.empty()) return;
  if (ctx.find(id) || std::find(c.prog_ids.begin(), c.prog_ids.end(), id) != c.prog_ids.end()) refuse();
  c.prog_ids.push_back(std::move(id));
}

context parse(const std::filesystem::path& file) {
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed = doc.load_file(file.c_str(), pugi::parse_default, pugi::encoding_auto);
  if (parsed.status == pugi::status_file_not_found) {
    // Tell a missing file from an unreadable one.
    std::error_code ec;
    throw_hresult(std::filesystem::exists(file, ec) ? E_ACCESSDENIED : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  }
  if (parsed.status == pugi::status_io_error) throw_hresult(E_ACCESSDENIED);
  if (parsed.status == pugi::status_out_of_memory) throw_hresult(E_OUTOFMEMORY);
  if (!parsed) refuse();

  const pugi::xml_node assembly = doc.document_element();
  if (std::string_view(assembly.name()) != "assembly" ||
      std::string_view(assembly.attribute("manifestVersion").value()) != "1.0")
    refuse();
  context ctx;
  const std::filesystem::path folder = std::filesystem::absolute(file).parent_path();
  for (const pugi::xml_node f : assembly.children("file")) {
    const std::string_view name = f.attribute("name").value();
    if (name.empty()) refuse();
    const std::string server = (folder / name).lexically_normal().string();
    for (const pugi::xml_node node : f.children("comClass")) {
      const auto clsid = parse_guid(text(node.attribute("clsid").value()));
      if (!clsid || ctx.find(*clsid)) refuse();
      com_class c{*clsid, server, {}};
      add_prog_id(ctx, c, node.attribute("progid").value());
      for (const pugi::xml_node p : node.children("progid")) add_prog_id(ctx, c, p.child_value());
      ctx.classes.push_back(std::move(c));
    }
  }
  return ctx;
}

// Live handles: a handle is a number, never a pointer, so a stale or made-up one is recognised.
struct handle_table {
  mutex m;
  std::map<uintptr_t, std::shared_ptr<const context>> contexts COMRT_GUARDED_BY(m);
  uintptr_t next COMRT_GUARDED_BY(m) = 1;
};

handle_table& handles() {
  static handle_table t;
  return t;
}

std::shared_ptr<const context> lookup(HACTCTX h) {
  handle_table& t = handles();
  lock_guard guard(t.m);
  const auto it = t.contexts.find(reinterpret_cast<uintptr_t>(h));
  return it == t.contexts.end() ? nullptr : it->second;
}

// The thread's active contexts, innermost last, each with its cookie.
struct activation {
  ULONG_PTR cookie;
  std::shared_ptr<const context> ctx;
};
thread_local std::vector<activation> active;
thread_local ULONG_PTR next_cookie = 1;

const context* innermost() noexcept { return active.empty() ? nullptr : active.back().ctx.get(); }

}  // namespace

std::optional<std::string> active_server(REFCLSID clsid) {
  const context* ctx = innermost();
  const com_class* c = ctx ? ctx->find(clsid) : nullptr;
  if (!c) return std::nullopt;
  return c->server;
}

std::optional<CLSID> active_class(std::u16string_view prog_id) {
  const context* ctx = innermost();
  const com_class* c = ctx ? ctx->find(prog_id) : nullptr;
  if (!c) return std::nullopt;
  return c->clsid;
}

std::optional<std::u16string> active_prog_id(REFCLSID clsid) {
  const context* ctx = innermost();
  const com_class* c = ctx ? ctx->find(clsid) : nullptr;
  if (!c || c->prog_ids.empty()) return std::nullopt;
  return c->prog_ids.front();
}

}  // namespace comrt::manifest

using namespace comrt::manifest;

STDAPI RtCreateActCtx(LPCWSTR manifest, HACTCTX* context_out) {
  return comrt::boundary([&]() -> HRESULT {
    comrt::init_out(context_out);
    if (!manifest || !*manifest) return E_INVALIDARG;
    auto ctx = std::make_shared<const context>(parse(std::filesystem::path(comrt::to_utf8(manifest))));
    handle_table& t = handles();
    comrt::lock_guard guard(t.m);
    const uintptr_t h = t.next++;
    t.contexts.emplace(h, std::move(ctx));
    *context_out = reinterpret_cast<HACTCTX>(h);
    return S_OK;
  });
}

STDAPI RtActivateActCtx(HACTCTX context_handle, ULONG_PTR* cookie) {
  return comrt::boundary([&]() -> HRESULT {
    comrt::init_out(cookie);
    auto ctx = lookup(context_handle);
    if (!ctx) return E_HANDLE;
    active.push_back({next_cookie, std::move(ctx)});
    *cookie = next_cookie++;
    return S_OK;
  });
}

STDAPI RtDeactivateActCtx(ULONG_PTR cookie) {
  if (active.empty() || active.back().cookie != cookie) return E_INVALIDARG;
  active.pop_back();
  return S_OK;
}

STDAPI RtReleaseActCtx(HACTCTX context_handle) {
  return comrt::boundary([&]() -> HRESULT {
    std::shared_ptr<const context> released;  // destroyed after the lock
    handle_table& t = handles();
    comrt::lock_guard guard(t.m);
    const auto it = t.contexts.find(reinterpret_cast<uintptr_t>(context_handle));
    if (it == t.contexts.end()) return E_HANDLE;
    released = std::move(it->second);
    t.contexts.erase(it);
    return S_OK;
  });
}
