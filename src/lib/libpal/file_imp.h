// Internal seams between the portable file object (file.cpp) and the POSIX
// implementations under posix/. Not part of the public interface.
#pragma once

#include <memory>

#include "pal_file.h"

/// Private ioctl of the local file: applies an os_set_stat through its fd.
constexpr uint32_t OS_IOCTL_SET_STAT_IMP = 0x100;
/// Private ioctl of the local file: the descriptor of a regular file (int*).
constexpr uint32_t OS_IOCTL_FD_IMP = 0x101;
/// Private ioctl of the local file: its os_file_id as seen at open.
constexpr uint32_t OS_IOCTL_ID_IMP = 0x102;

/// Built-in device kind by name ("null", "zero", ...); nullptr when the name
/// is no kind.
std::unique_ptr<os_file_ops> os_file_dev_init(const char* kind, uint64_t flags);
/// The local file; nullptr with errno on failure.
std::unique_ptr<os_file_ops> os_file_local_init(const char* path, uint64_t flags);
/// statx (birth time where the file system has it) relative to `dirfd`
/// (AT_FDCWD, or an fd with an empty path and AT_EMPTY_PATH in `at_flags`).
/// Fills everything but attrib. 0 or -1 with errno.
int os_statx_at(int dirfd, const char* path, int at_flags, os_stat_t* st);
/// Applies `st` to an fd (when fd >= 0) or a path (`follow` for links).
int os_apply_stat(int fd, const char* path, bool follow, const os_set_stat* st);
/// Applies an attribute word to an fd (fd >= 0) or a path: 0x01 set clears
/// every write bit, clear gives the owner write permission back.
int os_apply_attrib(int fd, const char* path, uint32_t attrib);
/// Last component of a path ("" for none).
const char* os_path_last(const char* path);
