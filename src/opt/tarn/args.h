// tarn's command line: the words it accepts, each with its usage line, and
// the parse of a whole command line into a job's parameters.
#pragma once

#include <string>

#include "libcdir.h"

/// What the front end does after the parse.
enum parse_result { PARSE_OK, PARSE_EXIT0, PARSE_USAGE, PARSE_BAD_BS, PARSE_BAD_VALUE };

/// One key the command line accepts.
struct tarn_word {
  const char* key;
  /// Applies `val` to `p`; PARSE_OK or what ends the parse (`*bad` then
  /// holds the offending value).
  parse_result (*apply)(const char* val, cdir_param* p, std::string* bad);
  /// Its line of the usage text, or nullptr for a word the usage text does
  /// not name.
  const char* usage;
};

/// The accepted keys in the order they are matched, ended by a null key.
extern const tarn_word tarn_words[];

/// Words that are no key=value pair: the version and the separator.
extern const char* const tarn_bare_words[];

/// Parses argv[1..argc) into `p` (already holding the defaults).
parse_result tarn_parse_args(int argc, char** argv, cdir_param* p, std::string* bad);

/// The usage text.
std::string tarn_usage();
