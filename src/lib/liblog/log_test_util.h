// For tests: every log line of the process while a LogCapture lives, so a
// test can check what was logged (and what never was).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "liblog.h"

class LogCapture {
 public:
  LogCapture() {
    text().clear();
    log2_set_call_proc(nullptr, &LogCapture::proc);
  }
  ~LogCapture() { log2_set_call_proc(nullptr, nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  static std::string all() {
    std::lock_guard<std::mutex> g(mu());
    return text();
  }
  static bool has(const std::string& s) { return all().find(s) != std::string::npos; }

 private:
  static std::mutex& mu() {
    static std::mutex m;
    return m;
  }
  static std::string& text() {
    static std::string s;
    return s;
  }
  static void proc(uint32_t, const char*, const char*, int, const char*, int, const char* fmt, va_list ap) {
    char line[8192];
    vsnprintf(line, sizeof line, fmt, ap);
    std::lock_guard<std::mutex> g(mu());
    text() += line;
  }
};
