// The outputs beyond the console: the log file, syslog and the bsv record
// channel. They arrive with the file, socket and thread layers.
#include "log2_imp.h"

int log2_file_set_name(log2*, const char*) { return -1; }
int log2_file_set_dir(log2*, const char*) { return -1; }
int log2_file_set_limit(log2*, int) { return -1; }
void log2_file_write(log2*, const log2_rec&) {}
int log2_syslog_set_target(log2*, const char*) { return -1; }
void log2_syslog_write(log2*, const log2_rec&) {}
int log2_bsv_set_target(log2*, const char*) { return -1; }
void log2_bsv_write(log2*, const log2_rec&) {}
int log2_set_file_mode(log2*, const char*) { return -1; }
void log2_outputs_flush(log2*) {}
void log2_outputs_close(log2*) {}
