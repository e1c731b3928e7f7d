// The root jail: a directory opened once, beneath which every path a peer
// names is resolved by the kernel, and the path operations of the directory
// reader and the multi-file object with an optional root.
//
// A peer's path is first checked lexically (os_root_check), then resolved
// beneath the root's descriptor; every later step works on a descriptor (an
// *at() call on the verified parent, an f*() call on the open object), so a
// directory swapped for a link between two steps never leads out. Links
// inside the root that lead out (absolute links included) are refused, never
// followed.
//
// Every os_at_* call takes a root that may be null: then `path` is a plain
// host path and the call is the ordinary one of pal_file.h. With a root,
// `path` is a peer's path ("/" and "\" separate, a leading separator means
// the root); a path that fails the lexical check or leads out of the root
// fails with errno EACCES ("Access denied.") and touches nothing. A link
// inside the root that stays beneath it may be passed through on the way
// (and is followed as a listing base); as the last component of any other
// call it is the link itself, never its target.
//
// Nothing is remembered between calls: each one resolves its path afresh,
// so a directory replaced by a link since an earlier call is seen as one.
// Files and listings opened beneath a root keep its directory open, so the
// root may be closed while they are still in use.
//
// Failures are -1 (or nullptr) with the cause in errno, as in pal_file.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "pal_file.h"

/// Longest peer path the lexical check accepts, in bytes.
constexpr size_t OS_ROOT_MAX_PATH = 4095;

struct os_root;

/// Opens `dir` (it must be an existing directory) as a root. The directory
/// opened here stays the root even if its name is later replaced by a link.
/// Returns the root (free it with os_root_close), or nullptr with errno.
os_root* os_root_open(const char* dir);
/// Frees the root and its descriptors. Null is ignored.
void os_root_close(os_root* r);
/// Names `trash` (an existing directory on the root's file system, outside
/// the served tree; opened now) as the place where os_at_remove moves what it
/// removes. Returns 0, or -1 with errno (EXDEV when it is on another file
/// system, EINVAL when it lies inside the root).
int os_root_set_trash(os_root* r, const char* trash);

/// Lexical check of a peer's path, done before anything is resolved.
/// Separators are "/" and "\"; one leading separator means the root; one
/// trailing separator is allowed; "." components are dropped. Refused: an
/// empty path, a ".." component, an empty component elsewhere ("a//b",
/// "//x"), a NUL byte, a drive form ("C:..."), more than OS_ROOT_MAX_PATH
/// bytes. On success returns 0 with the relative form in `rel` ("a/b", ""
/// for the root itself: "/", "\" or "."; `rel` may be null); else -1 with
/// errno EACCES.
int os_root_check(std::string_view path, std::string* rel);
/// Forces the component-by-component walk instead of openat2 (the fallback
/// for kernels without it, taken by itself on ENOSYS), so tests can run
/// both. The walk opens each component O_PATH | O_NOFOLLOW beneath the one
/// before and resolves a link itself, to the same answers openat2 gives: an
/// absolute link, or one whose ".." climbs above the root, is refused
/// (EACCES); more than 40 links are ELOOP. Process-wide.
void os_root_force_walk(bool on);

/// os_file_open beneath the root. With OS_FILE_CREATE missing parents are
/// created beneath the root and the open is tried again, so it succeeds at
/// once (os_file_open only leaves the parents for a second attempt). The
/// last component is never followed when it is a link (EACCES) with a root;
/// without one, `flags` decide as usual. Devices and drivers are not looked
/// for beneath a root ("/dev/null" is a name in it). The object works as one
/// from os_file_open; its `path` is the peer's path, and delete_on_close
/// removes it beneath the root.
os_file2* os_at_file_open(const os_root* r, const char* path, uint64_t flags);
/// Stat of the object itself (a link is not followed), attrib filled.
int os_at_stat(const os_root* r, const char* path, os_stat_t* st);
/// The text of a link, verbatim.
int os_at_readlink(const os_root* r, const char* path, std::string* target);
/// Opens a directory for listing (os_dir_read reads it). With a root, a
/// base that is a link is followed only where it stays beneath, and
/// link_is_dir of an entry is true only for a link that resolves to a
/// directory beneath the root.
os_dir_uptr os_at_dir_open(const os_root* r, const char* path);
/// os_mkdirs beneath the root: every missing component is created with
/// mkdirat on the verified parent. An existing directory (the root
/// included) succeeds; a non-directory on the way is EACCES.
int os_at_mkdirs(const os_root* r, const char* path);
/// os_path_set_stat on the object itself: permissions, owners and times of a
/// file or directory through its descriptor; a link gets its times and
/// owners on the verified parent.
int os_at_set_stat(const os_root* r, const char* path, const os_set_stat* st);
/// Sets access and write times (0 seconds: unchanged) of the object itself.
int os_at_set_times(const os_root* r, const char* path, const os_file_times* t);
/// Deletes a file or link (not a directory). The root itself is EACCES.
int os_at_unlink(const os_root* r, const char* path);
/// Removes an empty directory. The root itself cannot be removed (EACCES).
int os_at_rmdir(const os_root* r, const char* path);
/// os_symlink2 beneath the root: creates the link `link` holding `target`
/// verbatim (never resolved; a leading "\\?\" or "\?\" is dropped as
/// there), creating missing parents; `st` (may be null) sets its times and
/// owners, and when that fails the link is removed again.
int os_at_symlink(const os_root* r, const char* link, const char* target, const os_set_stat* st);
/// Removes a file, link or directory tree. With a root: moved into the
/// root's trash under a fresh name when one is set, else removed tree-wise
/// beneath the root without following any link. Without a root:
/// os_win_remove_maybe_recycle. A path that does not exist counts as removed.
/// The root itself is EACCES.
int os_at_remove(const os_root* r, const char* path);
