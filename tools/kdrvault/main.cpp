// kdrvault: the vault tool for people who run a cache.
//
// VAULT is a directory or s3://BUCKET[/PREFIX] (with --s3-endpoint URL), as kdrcached takes it.
//
//   kdrvault [--vault DIR] put FILE [--type v|F|M] [--guid GUID] [--name NAME]
//   kdrvault [--vault DIR] ticket GUID [--type v|F|M]
//   kdrvault [--vault DIR] list
//   kdrvault [--vault DIR] init
//
// `put` and `ticket` print one ticket on standard output and nothing else, so a script can
// take it with $(...). Diagnostics go to standard error.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/dirs.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/options.h"
#include "platform/process.h"
#include "server/log.h"
#include "server/ticket.h"
#include "server/vault.h"

namespace {

using kdr::server::Vault;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotFound = 3;

const char kUsage[] =
    "Usage: kdrvault [--vault DIR] COMMAND ...\n"
    "The vault of the KDR cache server (kdrcached): files named by GUID, each a stack of\n"
    "volumes whose newest is the file's content.\n\n"
    "Commands:\n"
    "  put FILE [--type v|F|M] [--guid GUID] [--name NAME]\n"
    "                    store FILE (a new file, or a new volume of GUID) and print a\n"
    "                    ticket for it; NAME defaults to FILE's own name, the type to v\n"
    "  ticket GUID [--type v|F|M]\n"
    "                    print a fresh ticket for a file already in the vault\n"
    "  list              one line per file: GUID, size, volumes, current volume, name\n"
    "  init              make an empty vault directory (every other command needs an\n"
    "                    existing vault)\n\n"
    "Options:\n"
    "  --vault VAULT     the vault: a directory, or s3://BUCKET[/PREFIX] of an S3 object\n"
    "                    store [KDRCACHED_VAULT or KDRCACHED_VAULT_DIR, else\n"
    "                    $KDR_HOME/vault]\n"
    "  --s3-endpoint URL\n"
    "                    the object store of an s3:// vault [KDRCACHED_S3_ENDPOINT];\n"
    "                    credentials from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and\n"
    "                    AWS_REGION; KDRCACHED_S3_ETAG_CHECK=off: the store's ETags\n"
    "                    are not compared with the MD5s of the bytes\n"
    "  --version         print the version\n"
    "  --help            show this text\n\n"
    "Exit status: 0 success, 1 failure, 2 usage error, 3 no such file.\n";

int Usage(const char* why) {
  std::fprintf(stderr, "kdrvault: %s\n(see kdrvault --help)\n", why);
  return kExitUsage;
}

std::string ErrText(int err) {
  char buf[256];
  if (!kdr::platform::SystemErrorText(err, buf, sizeof buf)) {
    std::snprintf(buf, sizeof buf, "error %d", err);
  }
  return buf;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ValidType(const std::string& t) { return t == "v" || t == "F" || t == "M"; }

// Parses the options `names` ("--type", ...; each takes a value) out of args, GNU style
// ("--opt VALUE", "--opt=VALUE", anywhere among the operands); unknown options are an error.
// The operands stay in args, in order.
bool TakeOptions(std::vector<std::string>* args, const std::vector<std::string>& names,
                 std::vector<std::string>* values, std::string* error) {
  values->assign(names.size(), "");
  std::vector<kdr::platform::OptionDef> defs;
  for (size_t k = 0; k < names.size(); ++k) {
    defs.push_back({names[k].c_str() + 2, true, static_cast<int>(k)});
  }
  std::vector<const char*> argv = {"kdrvault"};
  for (const std::string& a : *args) argv.push_back(a.c_str());
  std::vector<kdr::platform::ParsedOption> given;
  std::vector<std::string> operands;
  if (!kdr::platform::ParseOptions(static_cast<int>(argv.size()), argv.data(), defs, &given,
                                   &operands, error)) {
    return false;
  }
  for (const auto& g : given) (*values)[static_cast<size_t>(g.id)] = g.value;
  *args = operands;
  return true;
}

int Put(Vault* vault, std::vector<std::string> args) {
  std::vector<std::string> v;
  std::string error;
  if (!TakeOptions(&args, {"--type", "--guid", "--name"}, &v, &error)) return Usage(error.c_str());
  if (args.size() != 1) return Usage("put takes one FILE");
  std::string type = v[0].empty() ? "v" : v[0];
  if (!ValidType(type)) return Usage("the type is v, F or M");
  const std::string& file = args[0];
  std::string guid = v[1].empty() ? kdr::server::NewGuid(type[0]) : v[1];
  std::string name = v[2].empty() ? BaseName(file) : v[2];
  std::string ticket = kdr::server::MakeTicket(type[0], guid);
  if (ticket.empty()) {
    std::fprintf(stderr, "kdrvault: %s is not a GUID for a ticket of type %s (%s characters)\n",
                 guid.c_str(), type.c_str(), type == "M" ? "36" : "32");
    return kExitUsage;
  }
  std::string volume;
  int rc = vault->Put(guid, name, file, &volume);
  if (rc != 0) {
    std::fprintf(stderr, "kdrvault: cannot store %s: %s\n", file.c_str(), ErrText(rc).c_str());
    return rc == ENOENT ? kExitNotFound : kExitFailed;
  }
  std::fprintf(stderr, "kdrvault: stored %s as %s volume %s\n", file.c_str(), guid.c_str(),
               volume.c_str());
  std::printf("%s\n", ticket.c_str());
  return kExitOk;
}

int Ticket(Vault* vault, std::vector<std::string> args) {
  std::vector<std::string> v;
  std::string error;
  if (!TakeOptions(&args, {"--type"}, &v, &error)) return Usage(error.c_str());
  if (args.size() != 1) return Usage("ticket takes one GUID");
  std::string type = v[0].empty() ? (args[0].size() == 36 ? "M" : "v") : v[0];
  if (!ValidType(type)) return Usage("the type is v, F or M");
  std::shared_ptr<kdr::server::VaultFile> f;
  int rc = vault->Open(args[0], &f);
  if (rc != 0) {
    std::fprintf(stderr, "kdrvault: %s: %s\n", args[0].c_str(),
                 rc == ENOENT || rc == EINVAL ? "no such file in the vault" : ErrText(rc).c_str());
    return rc == ENOENT || rc == EINVAL ? kExitNotFound : kExitFailed;
  }
  std::string ticket = kdr::server::MakeTicket(type[0], args[0]);
  if (ticket.empty()) {
    std::fprintf(stderr, "kdrvault: %s cannot go into a ticket of type %s\n", args[0].c_str(),
                 type.c_str());
    return kExitUsage;
  }
  std::printf("%s\n", ticket.c_str());
  return kExitOk;
}

int List(Vault* vault, const std::vector<std::string>& args) {
  if (!args.empty()) return Usage("list takes no arguments");
  std::vector<kdr::server::VaultFileInfo> files;
  int rc = vault->List(&files);
  if (rc != 0) {
    std::fprintf(stderr, "kdrvault: cannot list the vault: %s\n", ErrText(rc).c_str());
    return kExitFailed;
  }
  for (const auto& f : files) {
    std::printf("%-36s %12" PRIu64 " %3d %s %s\n", f.guid.c_str(), f.size, f.volumes,
                f.version.c_str(), f.name.c_str());
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  kdr::server::SetLogProgram("kdrvault");
  kdr::server::SetLogProcessId(kdr::platform::CurrentProcessId());
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string dir;
  std::string endpoint;
  kdr::platform::GetEnvNonEmpty("KDRCACHED_S3_ENDPOINT", &endpoint);
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (args[i] == "--version" || args[i] == "-V") {
      std::printf("kdrvault %s\n", KDR_VERSION);
      return kExitOk;
    }
    if (rest.empty() && args[i] == "--vault") {
      if (i + 1 >= args.size()) return Usage("option --vault needs a value");
      dir = args[++i];
    } else if (rest.empty() && args[i].rfind("--vault=", 0) == 0) {
      dir = args[i].substr(8);
    } else if (rest.empty() && args[i] == "--s3-endpoint") {
      if (i + 1 >= args.size()) return Usage("option --s3-endpoint needs a value");
      endpoint = args[++i];
    } else if (rest.empty() && args[i].rfind("--s3-endpoint=", 0) == 0) {
      endpoint = args[i].substr(14);
    } else {
      rest.push_back(args[i]);
    }
  }
  if (dir.empty() && !kdr::platform::GetEnvNonEmpty("KDRCACHED_VAULT", &dir) &&
      !kdr::platform::GetEnvNonEmpty("KDRCACHED_VAULT_DIR", &dir)) {
    std::string home;
    if (!kdr::platform::GetEnvNonEmpty("KDR_HOME", &home)) {
      return Usage("no vault: give --vault DIR or set KDR_HOME");
    }
    dir = home + "/vault";
  }
  if (rest.empty()) return Usage("no command");
  std::string command = rest[0];
  rest.erase(rest.begin());
  const bool local = !kdr::server::IsObjectStoreLocation(dir);
  if (command == "init") {
    if (!local) return Usage("init makes a vault directory; an object store bucket is made by its own tools");
    if (!rest.empty()) return Usage("init takes no arguments");
    int rc = kdr::platform::MakeDirectories(dir, 0777);
    if (rc != 0 || !kdr::platform::IsDirectory(dir)) {
      std::fprintf(stderr, "kdrvault: cannot make the vault %s: %s\n", dir.c_str(),
                   rc != 0 ? kdr::platform::ErrorString(rc).c_str() : "not a directory");
      return kExitFailed;
    }
    std::fprintf(stderr, "kdrvault: the vault %s is ready\n", dir.c_str());
    return kExitOk;
  }
  if (local && !kdr::platform::IsDirectory(dir)) {
    // A typo must not grow a new vault: making one is the explicit init.
    std::fprintf(stderr,
                 "kdrvault: the vault %s does not exist: give the right --vault (or KDR_HOME), "
                 "or make it with `kdrvault --vault %s init`\n",
                 dir.c_str(), dir.c_str());
    return kExitFailed;
  }
  kdr::server::VaultOptions options{dir, endpoint, ""};
  std::string check;
  if (kdr::platform::GetEnvNonEmpty("KDRCACHED_S3_ETAG_CHECK", &check)) {
    if (check != "on" && check != "off") return Usage("KDRCACHED_S3_ETAG_CHECK: on or off");
    options.checkEtags = check == "on";
  }
  std::unique_ptr<Vault> vault;
  std::string error;
  if (kdr::server::OpenVault(options, &vault, &error) != 0) {
    std::fprintf(stderr, "kdrvault: %s\n", error.c_str());
    return kExitFailed;
  }
  if (!error.empty()) std::fprintf(stderr, "kdrvault: %s\n", error.c_str());
  if (command == "put") return Put(vault.get(), rest);
  if (command == "ticket") return Ticket(vault.get(), rest);
  if (command == "list") return List(vault.get(), rest);
  return Usage(("unknown command " + command).c_str());
}
