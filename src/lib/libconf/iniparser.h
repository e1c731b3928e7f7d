// The INI backend's store (dictionary) and parser; private to libconf.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class conf_ops;

/// Entries in file order: a section is stored as its name with no value, a
/// pair as "section<TAB>key" with its value. Each entry keeps the comment
/// and blank lines that preceded it in the file.
struct dictionary {
  struct slot {
    // Values live behind their own allocation so a borrowed value text stays
    // put when the slot array grows.
    std::unique_ptr<std::string> key;  // null: free slot
    std::unique_ptr<std::string> val;  // null: none (sections)
    std::unique_ptr<std::string> comment;
    uint32_t hash = 0;
  };
  int n = 0;                 // entries in use
  std::vector<slot> slots;   // capacity: 128 at creation, doubled when full
  std::string trailing;      // comment and blank lines after the last entry

  dictionary() : slots(128) {}
};

/// Names longer than this are cut before any lookup, store or change.
constexpr size_t DICT_KEY_MAX = 1024;

/// Jenkins one-at-a-time hash, bytes taken as signed char.
uint32_t dictionary_hash(std::string_view key);
/// Value of `key`: the stored text, nullptr for an entry without value, or
/// `def` when there is no such entry.
const char* dictionary_get(const dictionary* d, std::string_view key, const char* def);
/// True when an entry `key` exists.
bool dictionary_has(const dictionary* d, std::string_view key);
/// Stores `key` with `val` (null: none); an existing entry gets the new value
/// and keeps its comment. 0, or -1 when memory runs out (nothing changed).
int dictionary_set(dictionary* d, std::string_view key, const char* val, const char* comment);
/// Removes the entry `key`. 0, or -1 when absent.
int dictionary_unset(dictionary* d, std::string_view key);
/// Removes section `sec` and its pairs. 0, or -2 when nothing matched.
int dictionary_secdel(dictionary* d, std::string_view sec);
/// Renames section `osec` (and its pairs) to `nsec`. 0; -1 when `nsec`
/// exists (logged); -2 when nothing matched.
int dictionary_secrename(dictionary* d, std::string_view osec, std::string_view nsec);
/// Section names / key names of `sec` in slot order, no empties or repeats.
std::vector<std::string> dictionary_sections(const dictionary* d);
std::vector<std::string> dictionary_keys(const dictionary* d, std::string_view sec);
/// The INI text of the whole store, comments in place.
std::string dictionary_write(const dictionary* d);

/// Parses INI text of `size` bytes. nullptr when a line is too long.
std::unique_ptr<dictionary> iniparser_load_all(const char* data, size_t size);

/// Wildcard match without regard to case: "*" any run, "?" one character,
/// "[a-z]" / "[!x]" classes, "\" escapes the next character.
bool ini_wild_match(const char* pattern, const char* name);

/// The INI backend's operations table.
const conf_ops* ini_conf_get_ops();
