// The platform's answers to the log core: system thread ids, the display
// names of the thread-name map, error texts in English, the terminal test
// and the stack.
#include "liblog.h"
#include "log2_ext.h"
#include "pal_err.h"
#include "pal_exe.h"
#include "pal_thread.h"

namespace {

class pal_log_sys final : public log2_sys {
 public:
  uint32_t thread_id() const override { return static_cast<uint32_t>(os_thread_id()); }
  const char* thread_name() const override { return os_thread_display_name(); }
  const char* errno_text(int eno, char* buf, size_t len) const override { return os_errno_str(eno, buf, len); }
  bool stderr_tty() const override { return os_exe_stderr_tty(); }
  size_t stack_text(char* buf, size_t len) const override { return os_exe_stack_text(buf, len); }
};

const pal_log_sys g_sys{};

}  // namespace

// Installed while static objects are built, so that every line of a program
// that links libpal carries them, before pl_init too. Nothing calls this
// unit: INSTALLS in libpal's CMakeLists keeps it in every such program.
extern "C" const bool pal_log_sys_installed = (log2_set_sys(&g_sys), true);
