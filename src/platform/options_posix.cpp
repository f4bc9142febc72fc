#include "platform/options.h"

#include <getopt.h>

#include <cstring>

namespace kdr::platform {

bool ParseOptions(int argc, const char* const* argv, const std::vector<OptionDef>& defs,
                  std::vector<ParsedOption>* options, std::vector<std::string>* operands,
                  std::string* error) {
  options->clear();
  operands->clear();
  // getopt_long permutes the vector it is given: a copy, so the caller's stays as it is.
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
  args.push_back(nullptr);
  std::vector<option> longs;
  std::string shorts = ":";  // ':' first: a missing value is reported as ':' and not printed
  for (const OptionDef& s : defs) {
    longs.push_back(option{s.name, s.takesValue ? required_argument : no_argument, nullptr,
                           0x100 + s.id});
    if (s.shortName != '\0') {
      shorts += s.shortName;
      if (s.takesValue) shorts += ':';
    }
  }
  longs.push_back(option{nullptr, 0, nullptr, 0});
  opterr = 0;
  optind = 0;  // a full restart of getopt's state
  auto spelled = [&](int at) { return std::string(at > 0 && at < argc ? args[at] : ""); };
  for (;;) {
    int index = -1;
    int c = getopt_long(argc, args.data(), shorts.c_str(), longs.data(), &index);
    if (c == -1) break;
    if (c == '?' || c == ':') {
      std::string what;
      for (const OptionDef& o : defs) {
        if (0x100 + o.id == optopt) what = std::string("--") + o.name;
      }
      if (what.empty() && optopt > 0 && optopt < 0x100) what = std::string("-") + char(optopt);
      if (c == ':') {
        *error = "option " + what + " needs a value";
      } else if (optopt >= 0x100) {
        *error = "option " + what + " takes no value";
      } else if (!what.empty()) {
        *error = "unknown option " + what;
      } else {
        std::string given = spelled(optind - 1);
        *error = "unknown or ambiguous option " + given.substr(0, given.find('='));
      }
      return false;
    }
    int id = -1;
    std::string name;
    if (c >= 0x100) {
      id = c - 0x100;
      name = std::string("--") + longs[static_cast<size_t>(index)].name;
    } else {
      for (const OptionDef& s : defs) {
        if (s.shortName == c) id = s.id;
      }
      name = std::string("-") + char(c);
    }
    options->push_back(ParsedOption{id, optarg != nullptr ? optarg : "", name});
  }
  for (int i = optind; i < argc; ++i) operands->push_back(args[static_cast<size_t>(i)]);
  return true;
}

}  // namespace kdr::platform
