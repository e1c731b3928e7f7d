// Internal seams between the portable file object (file.cpp) and the POSIX
// implementations under posix/. Not part of the public interface.
#pragma once

#include <functional>
#include <memory>

#include "pal_file.h"

/// Private ioctl of the local file: applies an os_set_stat through its fd.
constexpr uint32_t OS_IOCTL_SET_STAT_IMP = 0x100;
/// Private ioctl of the local file: the descriptor of a regular file (int*).
constexpr uint32_t OS_IOCTL_FD_IMP = 0x101;
/// Private ioctl of the local file: its os_file_id as seen at open.
constexpr uint32_t OS_IOCTL_ID_IMP = 0x102;
/// Private ioctl of the local file: runs the delete hook of a file opened
/// beneath a root (int*: set to 1 when the file has one, 0 otherwise), so a
/// delete_on_close never unlinks by the peer's path.
constexpr uint32_t OS_IOCTL_UNLINK_IMP = 0x103;

/// Built-in device kind by name ("null", "zero", ...); nullptr when the name
/// is no kind.
std::unique_ptr<os_file_ops> os_file_dev_init(const char* kind, uint64_t flags);
/// The local file; nullptr with errno on failure.
std::unique_ptr<os_file_ops> os_file_local_init(const char* path, uint64_t flags);
/// The open(2) flags of os_file_open's flags (O_CLOEXEC included); `writable`
/// tells whether the access mode can write.
int os_file_open_flags(uint64_t flags, bool* writable);
/// The local file around `fd`, already opened with os_file_open_flags(flags)
/// (taken over, closed on failure too). `path` names it in log lines and
/// gives the last component for the attribute word; `unlink_hook`, when set,
/// removes the file for delete_on_close. nullptr with errno on failure.
std::unique_ptr<os_file_ops> os_file_local_from_fd(int fd, const char* path, uint64_t flags,
                                                   std::function<int()> unlink_hook = {});
/// statx (birth time where the file system has it) relative to `dirfd`
/// (AT_FDCWD, or an fd with an empty path and AT_EMPTY_PATH in `at_flags`).
/// Fills everything but attrib. 0 or -1 with errno.
int os_statx_at(int dirfd, const char* path, int at_flags, os_stat_t* st);
/// Owner and mode of an open file as they were when it was opened: what
/// applying a stat to it may leave alone.
struct os_known_owner {
  bool valid = false;
  uint32_t uid = 0, gid = 0, mode = 0;  // mode with its type bits
};
/// Applies `st` to an fd (when fd >= 0) or a path (`follow` for links).
/// With `known` (an fd's owner and mode since its open), an owner or mode
/// that is already so is not set again (a system call each, per file), and
/// `known` is kept up to date with what was set; a failure leaves it
/// invalid.
int os_apply_stat(int fd, const char* path, bool follow, const os_set_stat* st,
                  os_known_owner* known = nullptr);
/// Applies an attribute word to an fd (fd >= 0) or a path: 0x01 set clears
/// every write bit, clear gives the owner write permission back.
int os_apply_attrib(int fd, const char* path, uint32_t attrib);
/// Listing of an open directory `fd` (taken over, closed on failure too).
/// When `link_dir` is set it decides link_is_dir of a link entry (given its
/// name) instead of following the link. nullptr with errno on failure.
os_dir_uptr os_dir_from_fd(int fd, std::function<bool(const char* name)> link_dir);
/// Removes `name` beneath `dfd` with everything below it, never following
/// a link. A name already gone counts as removed. 0 or -1 with errno.
int os_remove_tree_at(int dfd, const char* name);
/// Last component of a path ("" for none).
const char* os_path_last(const char* path);
