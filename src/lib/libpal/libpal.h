// libpal: the platform layer. Every system call for files, threads, sockets
// and time lives behind these headers.
#pragma once

#include "pal_err.h"
#include "pal_fmt.h"
#include "pal_str.h"
#include "pal_url.h"
#include "pal_hash.h"
#include "pal_thread.h"
#include "pal_pool.h"
#include "pal_queue.h"
#include "pal_cmder.h"
#include "pal_qbuf.h"
#include "pal_init.h"
#include "pal_file.h"
#include "pal_root.h"
#include "pal_wyfile.h"
#include "pal_sock.h"
#include "pal_signal.h"
#include "pal_exe.h"
#include "pal_mem.h"
