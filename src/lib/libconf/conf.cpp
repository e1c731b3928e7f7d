// The configuration front end: a registry of backends and the calls that
// dispatch to a handle's table.
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "iniparser.h"
#include "libconf.h"
#include "liblog.h"

WY_LOG_TAG("conf");

namespace {

std::mutex g_reg_mu;
std::array<const conf_ops*, 4> g_reg{};
bool g_ini_registered = false;

int register_locked(const conf_ops* ops) {
  for (size_t i = 0; i < g_reg.size(); ++i) {
    if (g_reg[i] == nullptr) {
      g_reg[i] = ops;
      return static_cast<int>(i);
    }
  }
  return -1;
}

// Snapshot of the registry with the INI backend in it; the registry only
// grows, so a copy taken under the lock stays right.
std::array<const conf_ops*, 4> backends() {
  std::lock_guard<std::mutex> lk(g_reg_mu);
  if (!g_ini_registered) {
    g_ini_registered = true;
    register_locked(ini_conf_get_ops());
  }
  return g_reg;
}

conf_handle* wrap(std::unique_ptr<conf_backend> be, const conf_ops* ops) {
  if (!be) return nullptr;
  auto h = std::make_unique<conf_handle>();
  h->be = std::move(be);
  h->ops = ops;
  return h.release();  // owned by the caller until conf_close
}

bool usable(const conf_handle* h) { return h != nullptr && h->be && h->ops != nullptr; }

// A table slot the backend left empty.
int no_slot(const char* func) {
  log2_assert_fail(wy_log_tag_, __FILE__, __LINE__, func, "slot != NULL");
  return -1;
}

}  // namespace

int conf_ops::probe(const char*) const { return no_slot(__func__); }
std::unique_ptr<conf_backend> conf_ops::open(const char*, bool) const {
  no_slot(__func__);
  return nullptr;
}
std::unique_ptr<conf_backend> conf_ops::open_str(const char*) const {
  no_slot(__func__);
  return nullptr;
}
const char* conf_ops::get(conf_backend*, const char*, const char*, const char* def) const {
  no_slot(__func__);
  return def;
}
int conf_ops::set(conf_backend*, const char*, const char*, const char*) const { return no_slot(__func__); }
int conf_ops::get_sections(conf_backend*, std::vector<std::string>*) const { return no_slot(__func__); }
int conf_ops::get_keys(conf_backend*, const char*, std::vector<std::string>*) const { return no_slot(__func__); }
int conf_ops::del_section(conf_backend*, const char*) const { return no_slot(__func__); }
int conf_ops::del_key(conf_backend*, const char*, const char*) const { return no_slot(__func__); }
int conf_ops::rename_section(conf_backend*, const char*, const char*) const { return no_slot(__func__); }
int conf_ops::rename_key(conf_backend*, const char*, const char*, const char*) const { return no_slot(__func__); }
int conf_ops::dump(conf_backend*) const { return no_slot(__func__); }
int conf_ops::save(conf_backend*) const { return no_slot(__func__); }

int conf_register(const conf_ops* ops) {
  if (!WY_CHECK(ops != nullptr)) return -1;
  std::lock_guard<std::mutex> lk(g_reg_mu);
  return register_locked(ops);
}

conf_handle* conf_load(const char* path) {
  if (!WY_CHECK(path != nullptr)) return nullptr;
  for (const conf_ops* ops : backends()) {
    if (ops != nullptr && ops->probe(path) == 0) return wrap(ops->open(path, false), ops);
  }
  return nullptr;
}

conf_handle* conf_load_str(const char* text) {
  if (!WY_CHECK(text != nullptr)) return nullptr;
  for (const conf_ops* ops : backends()) {
    if (ops != nullptr && ops->kind() == 0) return wrap(ops->open_str(text), ops);
  }
  return nullptr;
}

int conf_close(conf_handle* h) {
  std::unique_ptr<conf_handle> owned(h);
  return 0;
}

const char* conf_get_str(conf_handle* h, const char* sec, const char* key, const char* def) {
  if (!WY_CHECK(usable(h) && sec != nullptr && key != nullptr)) return def;
  return h->ops->get(h->be.get(), sec, key, def);
}

int conf_get_int(conf_handle* h, const char* sec, const char* key, int def) {
  const char* v = conf_get_str(h, sec, key, "NOT_FOUND");
  if (v == nullptr || strcmp(v, "NOT_FOUND") == 0) return def;
  // strtol gives the leading-blanks, sign and stop-at-non-digit reading;
  // out-of-range values are held at the ends of the int range.
  long n = strtol(v, nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

int conf_set_str(conf_handle* h, const char* sec, const char* key, const char* val) {
  if (!WY_CHECK(usable(h) && sec != nullptr && key != nullptr && val != nullptr)) return -1;
  return h->ops->set(h->be.get(), sec, key, val);
}

int conf_get_sections(conf_handle* h, std::vector<std::string>* out) {
  if (!WY_CHECK(usable(h) && out != nullptr)) return -1;
  return h->ops->get_sections(h->be.get(), out);
}

int conf_get_keys(conf_handle* h, const char* sec, std::vector<std::string>* out) {
  if (!WY_CHECK(usable(h) && sec != nullptr && out != nullptr)) return -1;
  return h->ops->get_keys(h->be.get(), sec, out);
}

int conf_del_section(conf_handle* h, const char* sec) {
  if (!WY_CHECK(usable(h) && sec != nullptr)) return -1;
  return h->ops->del_section(h->be.get(), sec);
}

int conf_del_key(conf_handle* h, const char* sec, const char* key) {
  if (!WY_CHECK(usable(h) && sec != nullptr && key != nullptr)) return -1;
  return h->ops->del_key(h->be.get(), sec, key);
}

int conf_rename_section(conf_handle* h, const char* osec, const char* nsec) {
  if (!WY_CHECK(usable(h) && osec != nullptr && nsec != nullptr)) return -1;
  return h->ops->rename_section(h->be.get(), osec, nsec);
}

int conf_rename_key(conf_handle* h, const char* sec, const char* okey, const char* nkey) {
  if (!WY_CHECK(usable(h) && sec != nullptr && okey != nullptr && nkey != nullptr)) return -1;
  return h->ops->rename_key(h->be.get(), sec, okey, nkey);
}

int conf_dump(conf_handle* h) {
  if (!WY_CHECK(usable(h))) return -1;
  return h->ops->dump(h->be.get());
}

int conf_save(conf_handle* h) {
  if (!WY_CHECK(usable(h))) return -1;
  return h->ops->save(h->be.get());
}
