// The option form's parser: gzip's and zstd's conventions, short options
// that combine (-dkf), long ones with '=', '--' before files that begin
// with '-'.
#include "driver/options.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Options that have no short name.
constexpr int opt_rm = 256, opt_first_copy = 257;

struct long_option {
  const char* name;
  int code;  // the short option's letter, or opt_…
  bool value;
};
constexpr long_option cfg_long_options[] = {
    {"decompress", 'd', false}, {"uncompress", 'd', false}, {"stdout", 'c', false},
    {"keep", 'k', false},       {"rm", opt_rm, false},      {"force", 'f', false},
    {"quiet", 'q', false},      {"verbose", 'v', false},    {"threads", 'T', true},
    {"first-copy", opt_first_copy, false}, {"help", 'h', false}, {"version", 'V', false}};

constexpr char cfg_short_flags[] = "dckfqvhV";
constexpr char cfg_short_values[] = "To";

void error_line(const std::string& msg) { std::fprintf(stderr, "lrdedup: %s\n", msg.c_str()); }

bool unknown(const std::string& opt) {
  error_line("unknown option '" + opt + "' (lrdedup --help lists them)");
  return false;
}

// A count of threads: digits only, within an unsigned.
bool parse_count(const char* s, unsigned* n) {
  unsigned long long v = 0;
  if (!*s) return false;
  for (; *s; s++) {
    if (*s < '0' || *s > '9') return false;
    v = v * 10 + static_cast<unsigned>(*s - '0');
    if (v > UINT_MAX) return false;
  }
  *n = static_cast<unsigned>(v);
  return true;
}

// Applies option `code` (with its value, where it takes one); *end is set
// for help and version. False after the message.
bool apply(int code, const char* value, cli_options* o, options_end* end) {
  switch (code) {
    case 'd': o->decode = true; break;
    case 'c': o->to_stdout = true; o->out_path = nullptr; break;
    case 'o': o->out_path = value; o->to_stdout = false; break;
    case 'k': o->remove_input = false; break;
    case opt_rm: o->remove_input = true; break;
    case 'f': o->force = true; break;
    case 'q': o->verbosity = o->verbosity > 0 ? o->verbosity - 1 : 0; break;
    case 'v': o->verbosity = o->verbosity < 2 ? o->verbosity + 1 : 2; break;
    case opt_first_copy: o->first_copy = true; break;
    case 'h': *end = options_end::help; break;
    case 'V': *end = options_end::version; break;
    case 'T':
      if (!parse_count(value, &o->threads)) {
        error_line(std::string("-T takes a number of helper threads, not '") + value + "'");
        return false;
      }
      o->threads_set = true;
      break;
  }
  return true;
}

// The value of an option at argv[*i] that takes one: `inline_value` when
// not empty, else the next argument. Null after the message.
const char* take_value(const char* inline_value, const std::string& opt, int argc, char** argv, int* i) {
  if (inline_value && *inline_value) return inline_value;
  if (*i + 1 < argc) return argv[++*i];
  error_line("option '" + opt + "' needs a value");
  return nullptr;
}

// Reads the long option argv[*i] ("--name" or "--name=value"). False after
// the message.
bool parse_long(int argc, char** argv, int* i, cli_options* o, options_end* end) {
  const char* arg = argv[*i];
  const char* eq = std::strchr(arg, '=');
  const std::string name(arg + 2, eq ? static_cast<size_t>(eq - arg - 2) : std::strlen(arg + 2));
  for (const long_option& l : cfg_long_options) {
    if (name != l.name) continue;
    if (!l.value && eq) {
      error_line("option '--" + name + "' takes no value");
      return false;
    }
    const char* value = l.value ? take_value(eq ? eq + 1 : nullptr, "--" + name, argc, argv, i) : nullptr;
    return (!l.value || value) && apply(l.code, value, o, end);
  }
  return unknown("--" + name);
}

// Reads the short options of argv[*i] ("-dkf", "-T4", "-o out"). False
// after the message.
bool parse_short(int argc, char** argv, int* i, cli_options* o, options_end* end) {
  const char* arg = argv[*i];
  for (const char* c = arg + 1; *c && *end == options_end::run; c++) {
    if (std::strchr(cfg_short_values, *c)) {
      const char* value = take_value(c + 1, std::string("-") + *c, argc, argv, i);
      return value && apply(*c, value, o, end);
    }
    if (!std::strchr(cfg_short_flags, *c)) return unknown(std::string("-") + *c);
    apply(*c, nullptr, o, end);
  }
  return true;
}

}  // namespace

options_end parse_options(int argc, char** argv, cli_options* o) {
  options_end end = options_end::run;
  bool files_only = false;
  for (int i = 1; i < argc && end == options_end::run; i++) {
    const char* arg = argv[i];
    if (files_only || arg[0] != '-' || arg[1] == '\0') {
      o->files.push_back(arg);
    } else if (!std::strcmp(arg, "--")) {
      files_only = true;
    } else if (!(arg[1] == '-' ? parse_long(argc, argv, &i, o, &end) : parse_short(argc, argv, &i, o, &end))) {
      return options_end::failed;
    }
  }
  if (end != options_end::run) return end;
  // Never two inputs into one output.
  if ((o->out_path || o->to_stdout) && o->files.size() > 1) {
    error_line(std::string(o->out_path ? "-o" : "-c") + " takes the output of one input, not of " +
               std::to_string(o->files.size()));
    return options_end::failed;
  }
  return options_end::run;
}

bool output_name(const cli_options& o, const char* file, std::string* out, std::string* err) {
  const bool from_stdin = !std::strcmp(file, "-");
  if (o.to_stdout || (from_stdin && !o.out_path)) {
    out->assign(1, '-');  // GCC 12 warns falsely of an overlap for operator=("-")
  } else if (o.out_path) {
    *out = o.out_path;
  } else if (!o.decode) {
    *out = std::string(file) + cfg_suffix;
  } else {
    // The suffix goes; a name that would be left empty, or a folder's, is refused.
    const std::string name = file;
    const size_t n = sizeof cfg_suffix - 1;
    if (name.size() <= n || name.compare(name.size() - n, n, cfg_suffix) != 0 || name[name.size() - n - 1] == '/') {
      *err = name + ": not named *" + cfg_suffix + "; name the output with -o, or use -c";
      return false;
    }
    *out = name.substr(0, name.size() - n);
  }
  return true;
}
