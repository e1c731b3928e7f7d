// libconf: one interface to configuration files of named sections holding
// key/value texts. The front end dispatches to a backend through its
// operations table; the INI backend is the one that exists.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

/// A backend's own handle; only its backend knows what is inside.
class conf_backend {
 public:
  virtual ~conf_backend() = default;
};

/// Operations table of a backend. A slot a backend does not fill keeps the
/// default, which logs the assertion line and returns the failure value.
class conf_ops {
 public:
  virtual ~conf_ops() = default;
  /// Backend name, for log lines.
  virtual const char* name() const = 0;
  /// 0 for the INI backend; conf_load_str only uses backends of kind 0.
  virtual int kind() const { return -1; }
  /// 0 when this backend accepts the file name, non-zero otherwise.
  virtual int probe(const char* file) const;
  /// Loads `path` (creating it empty when missing and `create` is set).
  /// Returns the handle, or nullptr.
  virtual std::unique_ptr<conf_backend> open(const char* path, bool create) const;
  /// Parses `text`. Returns the handle, or nullptr.
  virtual std::unique_ptr<conf_backend> open_str(const char* text) const;
  /// Value of `key` in `sec` (borrowed, valid until that entry changes or the
  /// handle closes), or `def` when there is none.
  virtual const char* get(conf_backend* h, const char* sec, const char* key, const char* def) const;
  /// Stores `key` = `val` in `sec`, adding the section when needed. 0 or -1.
  virtual int set(conf_backend* h, const char* sec, const char* key, const char* val) const;
  /// Section names (no duplicates, no empty names) into `out`. Count or -1.
  virtual int get_sections(conf_backend* h, std::vector<std::string>* out) const;
  /// Key names of `sec` (no duplicates, no empty names) into `out`. Count or -1.
  virtual int get_keys(conf_backend* h, const char* sec, std::vector<std::string>* out) const;
  /// Removes `sec` and its keys. 0, or -2 when there was nothing to remove.
  virtual int del_section(conf_backend* h, const char* sec) const;
  /// Removes one key. 0, or -1 when it does not exist.
  virtual int del_key(conf_backend* h, const char* sec, const char* key) const;
  /// Renames a section. 0, -1 when `nsec` exists already, -2 when `osec` does not.
  virtual int rename_section(conf_backend* h, const char* osec, const char* nsec) const;
  /// Renames a key. 0 or negative.
  virtual int rename_key(conf_backend* h, const char* sec, const char* okey, const char* nkey) const;
  /// Writes the whole configuration to standard output. 0 or negative.
  virtual int dump(conf_backend* h) const;
  /// Writes the configuration back to its file. 0 or -1.
  virtual int save(conf_backend* h) const;
};

/// Adds a backend to the process-wide registry (4 slots, filled in order;
/// never emptied; `ops` must outlive the process's use of it). Returns the
/// slot, or -1 when the registry is full or `ops` is null.
int conf_register(const conf_ops* ops);

/// A loaded configuration: the backend's handle and its table.
struct conf_handle {
  std::unique_ptr<conf_backend> be;
  const conf_ops* ops = nullptr;
};

/// Loads the file `path` with the first registered backend whose probe
/// accepts the name (the INI backend registers itself on first use). Returns
/// a handle the caller releases with conf_close, or nullptr when no backend
/// takes the name or the file cannot be read or parsed.
conf_handle* conf_load(const char* path);
/// Parses `text` with the first registered backend of kind 0. Returns a
/// handle for conf_close, or nullptr.
conf_handle* conf_load_str(const char* text);
/// Releases the handle (null is accepted). Returns 0.
int conf_close(conf_handle* h);

/// Owning handle for callers that prefer RAII: conf_ptr c(conf_load(p));
struct conf_closer {
  void operator()(conf_handle* h) const { conf_close(h); }
};
using conf_ptr = std::unique_ptr<conf_handle, conf_closer>;

/// Value of `key` in section `sec` (borrowed: valid until that entry changes
/// or the handle closes), or `def` when absent or `h` is null.
const char* conf_get_str(conf_handle* h, const char* sec, const char* key, const char* def);
/// Value of `key` as a decimal integer (leading blanks and a sign accepted,
/// conversion stops at the first non-digit, no digits give 0, clamped to the
/// int range); `def` when absent or when the stored text is "NOT_FOUND".
int conf_get_int(conf_handle* h, const char* sec, const char* key, int def);
/// Sets `key` = `val` in `sec`. 0, or -1 for a null argument or a name or
/// value the file could not carry back (line ends; "=" in a key; "]" or TAB
/// in a section name).
int conf_set_str(conf_handle* h, const char* sec, const char* key, const char* val);
/// Section names in file order into `out`. Count, or -1.
int conf_get_sections(conf_handle* h, std::vector<std::string>* out);
/// Key names of `sec` in file order into `out`. Count, or -1.
int conf_get_keys(conf_handle* h, const char* sec, std::vector<std::string>* out);
/// Removes a section with its keys. 0, -2 when absent, -1 for bad arguments.
int conf_del_section(conf_handle* h, const char* sec);
/// Removes one key. 0, or -1 when absent or for bad arguments.
int conf_del_key(conf_handle* h, const char* sec, const char* key);
/// Renames a section. 0, -1 when `nsec` exists (nothing changes) or for bad
/// arguments, -2 when `osec` does not exist.
int conf_rename_section(conf_handle* h, const char* osec, const char* nsec);
/// Renames a key. The INI backend does not support it: logs "noimpl" and
/// returns 0 without changing anything.
int conf_rename_key(conf_handle* h, const char* sec, const char* okey, const char* nkey);
/// Writes the configuration to standard output. 0, or -1.
int conf_dump(conf_handle* h);
/// Writes the configuration back to the file it was loaded from (INI: with
/// a leading UTF-8 byte-order mark, comments in place). 0, or -1 when the
/// handle came from text or the file cannot be written.
int conf_save(conf_handle* h);

/// Shape of the decode hook for INI files named "*.dat": transforms the
/// `len` bytes at `buf` in place; non-zero means failure. None is installed
/// by default, so such files do not load.
using conf_decode_hook = int (*)(char* buf, size_t len);
/// Installs (or with nullptr removes) the process-wide decode hook.
void conf_set_decode_hook(conf_decode_hook hook);
