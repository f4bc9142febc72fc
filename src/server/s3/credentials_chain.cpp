#include "server/s3/credentials_chain.h"

#include <cerrno>

#include "platform/env.h"
#include "platform/fs.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

namespace {

constexpr uint64_t kMaxProfileFile = 1u << 20;

class FixedKeys : public CredentialSource {
 public:
  explicit FixedKeys(Keys keys) : keys_(std::move(keys)) {}
  int Get(Keys* keys, std::string*) override {
    *keys = keys_;
    return 0;
  }

 private:
  Keys keys_;
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool ReadSmallFile(const std::string& path, std::string* text) {
  int fd = pf::kNoFile;
  if (pf::OpenFile(path.c_str(), pf::FileMode::kReadOnly, &fd) != 0) return false;
  uint64_t size = 0;
  bool ok = pf::FileSize(fd, &size) == 0 && size <= kMaxProfileFile;
  if (ok) {
    text->resize(static_cast<size_t>(size));
    size_t done = 0;
    ok = pf::ReadFileAt(fd, 0, text->data(), text->size(), &done) == 0;
    text->resize(done);
  }
  pf::CloseFile(fd);
  return ok;
}

std::string UnderHome(const char* name) {
  std::string home;
  return pf::GetEnvNonEmpty("HOME", &home) ? home + "/.aws/" + name : std::string();
}

}  // namespace

std::map<std::string, std::string> ReadProfile(std::string_view text, std::string_view section) {
  std::map<std::string, std::string> out;
  bool in = false;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = Trim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      in = close != std::string_view::npos && Trim(line.substr(1, close - 1)) == section;
      continue;
    }
    size_t eq = line.find('=');
    if (!in || eq == std::string_view::npos) continue;
    out[std::string(Trim(line.substr(0, eq)))] = std::string(Trim(line.substr(eq + 1)));
  }
  return out;
}

int NewDefaultCredentials(std::shared_ptr<CredentialSource>* source, std::string* error) {
  Keys keys;
  if (pf::GetEnvNonEmpty("AWS_ACCESS_KEY_ID", &keys.accessKey) &&
      pf::GetEnvNonEmpty("AWS_SECRET_ACCESS_KEY", &keys.secretKey)) {
    pf::GetEnvNonEmpty("AWS_SESSION_TOKEN", &keys.sessionToken);
    *source = std::make_shared<FixedKeys>(keys);
    return 0;
  }
  std::string profile = "default";
  pf::GetEnvNonEmpty("AWS_PROFILE", &profile);
  std::string credentialsFile, configFile;
  if (!pf::GetEnvNonEmpty("AWS_SHARED_CREDENTIALS_FILE", &credentialsFile)) {
    credentialsFile = UnderHome("credentials");
  }
  if (!pf::GetEnvNonEmpty("AWS_CONFIG_FILE", &configFile)) configFile = UnderHome("config");
  std::map<std::string, std::string> settings;
  std::string text;
  if (!configFile.empty() && ReadSmallFile(configFile, &text)) {
    settings = ReadProfile(text, profile == "default" ? "default" : "profile " + profile);
  }
  if (!credentialsFile.empty() && ReadSmallFile(credentialsFile, &text)) {
    for (auto& [k, v] : ReadProfile(text, profile)) settings[k] = v;  // the credentials file wins
  }
  keys.accessKey = settings["aws_access_key_id"];
  keys.secretKey = settings["aws_secret_access_key"];
  keys.sessionToken = settings["aws_session_token"];
  if (!keys.accessKey.empty() && !keys.secretKey.empty()) {
    *source = std::make_shared<FixedKeys>(keys);
    return 0;
  }
  *error = "no credentials for the object store: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, "
           "or give profile \"" + profile + "\" keys in " + credentialsFile + " or " + configFile;
  return EINVAL;
}

}  // namespace kdr::server::s3
