// Command-line options in the GNU style (getopt_long): "--name value" and "--name=value",
// "-x value" for a short name, a unique prefix of a long name, options and operands in any
// order, "--" ends the options. Nothing is printed: a fault comes back as one line of text.
#ifndef KDR_PLATFORM_OPTIONS_H_
#define KDR_PLATFORM_OPTIONS_H_

#include <string>
#include <vector>

namespace kdr::platform {

struct OptionDef {
  const char* name;       // long name without "--"
  bool takesValue;
  int id;                 // what ParsedOption::id reports; >= 0
  char shortName = '\0';  // '\0': none
};

struct ParsedOption {
  int id;
  std::string value;  // empty for an option without a value
  std::string spelled;  // the option as given ("--segments", "-n")
};

// Parses argv[1..argc) against `defs`: options in order into *options, operands into
// *operands. False with *error ("unknown option --x", "option --segments needs a value",
// "option --create takes no value") on the first fault. Not thread-safe (getopt's state).
bool ParseOptions(int argc, const char* const* argv, const std::vector<OptionDef>& defs,
                  std::vector<ParsedOption>* options, std::vector<std::string>* operands,
                  std::string* error);

}  // namespace kdr::platform

#endif  // KDR_PLATFORM_OPTIONS_H_
