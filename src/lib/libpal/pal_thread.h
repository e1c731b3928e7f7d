// Threads and the thread-name map.
#pragma once

/// Display name of the calling thread for log lines.
const char* os_thread_display_name();
