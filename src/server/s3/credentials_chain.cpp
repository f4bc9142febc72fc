#include "server/s3/credentials_chain.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>

#include "platform/clock.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/runtime_dir.h"
#include "server/s3/text.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

namespace {

constexpr uint64_t kMaxProfileFile = 1u << 20;
constexpr int64_t kRefreshAheadSeconds = 300;
constexpr int32_t kProcessWaitMs = 60000;  // a credential_process that takes longer fails
constexpr const char kContainerHost[] = "http://169.254.170.2";
constexpr const char kImdsHost[] = "http://169.254.169.254";

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

// Collects an answer as text.
class TextSink : public ResponseSink {
 public:
  long status = 0;
  std::string body;
  void Line(std::string_view line) override {
    long st = 0;
    if (ParseStatusLine(line, &st)) status = st;
  }
  bool Data(const unsigned char* data, size_t len) override {
    if (body.size() + len > kMaxProfileFile) return false;
    body.append(reinterpret_cast<const char*>(data), len);
    return true;
  }
};

// One plain request to a credential service: 0 and the body of a 200, or an errno value.
int Fetch(const char* method, const std::string& url, std::vector<std::string> headers,
          std::string* body, std::string* error) {
  static const std::shared_ptr<Transport> transport = [] {
    S3Settings s;
    s.connectTimeoutMs = 1000;
    s.requestTimeoutMs = 5000;
    s.stallSeconds = 5;
    return NewCurlTransport(s);
  }();
  Request req;
  req.method = method;
  req.headers = std::move(headers);
  req.sign = false;
  TextSink sink;
  std::string detail;
  Net net = transport->Exchange(req, url, Keys(), &sink, &detail);
  if (net != Net::kOk || sink.status != 200) {
    *error = url + ": " + (net != Net::kOk ? detail : "HTTP " + std::to_string(sink.status));
    return net != Net::kOk ? EHOSTUNREACH : EACCES;
  }
  *body = std::move(sink.body);
  return 0;
}

// Keys that expire, fetched by `fetch` when missing or about to expire.
class Refreshing : public CredentialSource {
 public:
  using Fetcher = std::function<int(Keys*, int64_t* expires, std::string* error)>;
  explicit Refreshing(Fetcher fetch) : fetch_(std::move(fetch)) {}
  int Get(Keys* keys, std::string* error) override {
    std::lock_guard<std::mutex> guard(mu_);
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (keys_.accessKey.empty() || now >= expires_ - kRefreshAheadSeconds) {
      Keys fresh;
      int64_t expires = 0;
      int rc = fetch_(&fresh, &expires, error);
      if (rc == 0) {
        keys_ = fresh;
        expires_ = expires;
      } else if (keys_.accessKey.empty() || now >= expires_) {
        return rc;
      }
    }
    *keys = keys_;
    return 0;
  }

 private:
  Fetcher fetch_;
  std::mutex mu_;
  Keys keys_;            // guarded by mu_
  int64_t expires_ = 0;  // guarded by mu_: seconds since 1970
};

// Keys and expiry from the JSON of the container and instance services.
int FromJson(const std::string& json, Keys* keys, int64_t* expires, std::string* error) {
  keys->accessKey = JsonString(json, "AccessKeyId");
  keys->secretKey = JsonString(json, "SecretAccessKey");
  keys->sessionToken = JsonString(json, "Token");  // credential_process: "SessionToken"
  if (keys->sessionToken.empty()) keys->sessionToken = JsonString(json, "SessionToken");
  std::string expiration = JsonString(json, "Expiration");
  if (keys->accessKey.empty() || keys->secretKey.empty()) {
    *error = "the credential service answered without keys";
    return EACCES;
  }
  // Without a time it may be taken for: an hour.
  if (expiration.empty() || !ParseIsoTime(expiration, expires)) {
    *expires = static_cast<int64_t>(std::time(nullptr)) + 3600;
  }
  return 0;
}

int FromContainer(const std::string& url, Keys* keys, int64_t* expires, std::string* error) {
  std::vector<std::string> headers;
  std::string token;
  if (pf::GetEnvNonEmpty("AWS_CONTAINER_AUTHORIZATION_TOKEN", &token)) {
    headers.push_back("Authorization: " + token);
  }
  std::string json;
  int rc = Fetch("GET", url, headers, &json, error);
  return rc != 0 ? rc : FromJson(json, keys, expires, error);
}

int FromInstance(const std::string& host, Keys* keys, int64_t* expires, std::string* error) {
  std::string token, role, json;
  int rc = Fetch("PUT", host + "/latest/api/token", {"X-aws-ec2-metadata-token-ttl-seconds: 21600"},
                 &token, error);
  if (rc != 0) return rc;
  std::string auth = "X-aws-ec2-metadata-token: " + token;
  rc = Fetch("GET", host + "/latest/meta-data/iam/security-credentials/", {auth}, &role, error);
  if (rc != 0) return rc;
  role = role.substr(0, role.find('\n'));
  if (role.empty()) {
    *error = "the instance has no role";
    return EACCES;
  }
  rc = Fetch("GET", host + "/latest/meta-data/iam/security-credentials/" + role, {auth}, &json,
             error);
  return rc != 0 ? rc : FromJson(json, keys, expires, error);
}

int FromWebIdentity(const std::string& tokenFile, const std::string& role, Keys* keys,
                    int64_t* expires, std::string* error) {
  std::string token, endpoint = "https://sts.amazonaws.com", xml;
  if (!ReadSmallFile(tokenFile, &token)) {
    *error = "cannot read the web identity token " + tokenFile;
    return EACCES;
  }
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
  pf::GetEnvNonEmpty("AWS_ENDPOINT_URL_STS", &endpoint);
  std::string session = "kdrcached-" + std::to_string(std::time(nullptr));
  std::string url = endpoint + "/?" +
                    Query({{"Action", "AssumeRoleWithWebIdentity"},
                           {"RoleArn", role},
                           {"RoleSessionName", session},
                           {"Version", "2011-06-15"},
                           {"WebIdentityToken", token}});
  int rc = Fetch("POST", url, {}, &xml, error);
  if (rc != 0) return rc;
  keys->accessKey = XmlField(xml, "AccessKeyId");
  keys->secretKey = XmlField(xml, "SecretAccessKey");
  keys->sessionToken = XmlField(xml, "SessionToken");
  if (keys->accessKey.empty() || !ParseIsoTime(XmlField(xml, "Expiration"), expires)) {
    *error = "STS answered without keys";
    return EACCES;
  }
  return 0;
}

// Runs the profile's credential_process; its standard output is the keys' JSON. It goes to a
// file of our own in the private runtime directory, read and removed after.
int FromProcess(const std::string& command, Keys* keys, int64_t* expires, std::string* error) {
  static std::atomic<unsigned> serial{0};
  std::string dir;
  int rc = pf::RuntimeDir(&dir);
  if (rc != 0) {
    *error = "no private directory for credential_process (error " + std::to_string(rc) + ")";
    return rc;
  }
  std::string out = dir + "/aws-credentials." + std::to_string(pf::CurrentProcessId()) + "." +
                    std::to_string(serial.fetch_add(1));
  int fd = pf::kNoFile;
  if ((rc = pf::OpenFile(out.c_str(), pf::FileMode::kCreatePrivate, &fd)) != 0) return rc;
  pf::CloseFile(fd);
  std::string quoted;
  for (char c : out) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  long pid = 0;
  rc = pf::SpawnShell(("(" + command + ") > '" + quoted + "'").c_str(), &pid);
  long status = -1;
  int err = 0;
  pf::ProcessState state = pf::ProcessState::kRunning;
  for (int32_t start = pf::MonotonicMs();
       rc == 0 && pf::ElapsedMs(start, pf::MonotonicMs()) < kProcessWaitMs;) {
    state = pf::QueryProcess(pid, &status, &err);
    if (state != pf::ProcessState::kRunning) break;
    pf::SleepMs(10);
  }
  if (rc == 0 && state == pf::ProcessState::kRunning) pf::KillProcessGroup(pid);
  std::string json;
  bool read = ReadSmallFile(out, &json);
  pf::DeleteFile(out.c_str());
  if (rc != 0 || state != pf::ProcessState::kExited || status != 0 || !read) {
    *error =
        "credential_process \"" + command + "\" failed (status " + std::to_string(status) + ")";
    return EACCES;
  }
  rc = FromJson(json, keys, expires, error);
  if (rc == 0 && JsonString(json, "Expiration").empty())
    *expires = INT64_MAX / 2;  // long-term keys
  return rc;
}

}  // namespace

std::string JsonString(std::string_view json, std::string_view name) {
  std::string quoted = "\"" + std::string(name) + "\"";
  size_t at = json.find(quoted);
  if (at == std::string_view::npos) return std::string();
  at = json.find(':', at + quoted.size());
  if (at == std::string_view::npos) return std::string();
  at = json.find('"', at);
  if (at == std::string_view::npos) return std::string();
  std::string out;
  for (size_t i = at + 1; i < json.size(); ++i) {
    if (json[i] == '"') return out;
    if (json[i] == '\\' && i + 1 < json.size()) ++i;
    out += json[i];
  }
  return std::string();
}

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
  std::string tokenFile, role;
  if (pf::GetEnvNonEmpty("AWS_WEB_IDENTITY_TOKEN_FILE", &tokenFile) &&
      pf::GetEnvNonEmpty("AWS_ROLE_ARN", &role)) {
    *source =
        std::make_shared<Refreshing>([tokenFile, role](Keys* k, int64_t* e, std::string* err) {
          return FromWebIdentity(tokenFile, role, k, e, err);
        });
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
  std::string command = settings["credential_process"];
  if (!command.empty()) {
    *source = std::make_shared<Refreshing>([command](Keys* k, int64_t* e, std::string* err) {
      return FromProcess(command, k, e, err);
    });
    return 0;
  }
  std::string url;
  if (pf::GetEnvNonEmpty("AWS_CONTAINER_CREDENTIALS_FULL_URI", &url) ||
      pf::GetEnvNonEmpty("AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", &url)) {
    if (url.front() == '/') url = kContainerHost + url;
    *source = std::make_shared<Refreshing>(
        [url](Keys* k, int64_t* e, std::string* err) { return FromContainer(url, k, e, err); });
    return 0;
  }
  std::string disabled, host = kImdsHost;
  pf::GetEnvNonEmpty("AWS_EC2_METADATA_SERVICE_ENDPOINT", &host);
  while (!host.empty() && host.back() == '/') host.pop_back();
  if (!pf::GetEnvNonEmpty("AWS_EC2_METADATA_DISABLED", &disabled) || disabled != "true") {
    auto imds = std::make_shared<Refreshing>(
        [host](Keys* k, int64_t* e, std::string* err) { return FromInstance(host, k, e, err); });
    Keys probe;
    std::string why;
    if (imds->Get(&probe, &why) == 0) {
      *source = imds;
      return 0;
    }
  }
  *error =
      "no credentials for the object store: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, "
      "or give profile \"" +
      profile + "\" keys in " + credentialsFile + " or " + configFile;
  return EINVAL;
}

}  // namespace kdr::server::s3
