#include "server/s3/credentials.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/clock.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/runtime_dir.h"
#include "server/s3/text.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

namespace {

constexpr uint64_t kMaxFile = 1u << 20;
constexpr int64_t kRefreshAheadSeconds = 300;
constexpr int32_t kProcessWaitMs = 60000;  // a credential_process that takes longer fails

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

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
    if (body.size() + len > kMaxFile) return false;
    body.append(reinterpret_cast<const char*>(data), len);
    return true;
  }
};

S3Settings ServiceSettings() {
  S3Settings s;
  s.connectTimeoutMs = 1000;
  s.requestTimeoutMs = 5000;
  s.stallSeconds = 5;
  return s;
}

// One request to a credential service, plain or (with `sign`) SigV4-signed for STS in
// `region`: 0 and the body of a 200, or an errno value.
int Fetch(const char* method, const std::string& url, std::vector<std::string> headers,
          std::string* body, std::string* error, const Keys* sign = nullptr,
          const std::string& region = std::string()) {
  static const std::shared_ptr<Transport> plain = NewCurlTransport(ServiceSettings());
  std::shared_ptr<Transport> transport = plain;
  if (sign != nullptr) {
    S3Settings s = ServiceSettings();
    s.region = region;
    s.service = "sts";
    transport = NewCurlTransport(s);
  }
  Request req;
  req.method = method;
  req.headers = std::move(headers);
  req.sign = sign != nullptr;
  TextSink sink;
  std::string detail;
  Net net = transport->Exchange(req, url, sign != nullptr ? *sign : Keys(), &sink, &detail);
  if (net != Net::kOk || sink.status != 200) {
    // The services' error documents are short and say what is wrong (an unknown role, a
    // refused token): worth a line.
    std::string said = sink.body.substr(0, 300);
    *error = url.substr(0, url.find('?')) + ": " +
             (net != Net::kOk ? detail : "HTTP " + std::to_string(sink.status) + " " + said);
    return net != Net::kOk ? EHOSTUNREACH : EACCES;
  }
  *body = std::move(sink.body);
  return 0;
}

// Keys and expiry from the JSON of the container and instance services and credential_process.
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
  if (expiration.empty() || !ParseIsoTime(expiration, expires)) *expires = Now() + 3600;
  return 0;
}

// Keys and expiry from an STS answer (AssumeRole, AssumeRoleWithWebIdentity).
int FromStsXml(const std::string& xml, Keys* keys, int64_t* expires, std::string* error) {
  keys->accessKey = XmlField(xml, "AccessKeyId");
  keys->secretKey = XmlField(xml, "SecretAccessKey");
  keys->sessionToken = XmlField(xml, "SessionToken");
  if (keys->accessKey.empty() || keys->secretKey.empty() ||
      !ParseIsoTime(XmlField(xml, "Expiration"), expires)) {
    *error = "STS answered without keys";
    return EACCES;
  }
  return 0;
}

std::vector<std::pair<std::string, std::string>> StsParams(const StsCall& call,
                                                           const char* action) {
  std::vector<std::pair<std::string, std::string>> p = {{"Action", action},
                                                        {"RoleArn", call.roleArn},
                                                        {"RoleSessionName", call.sessionName},
                                                        {"Version", "2011-06-15"}};
  if (call.durationSeconds > 0) {
    p.emplace_back("DurationSeconds", std::to_string(call.durationSeconds));
  }
  if (!call.externalId.empty()) p.emplace_back("ExternalId", call.externalId);
  return p;
}

// SHA-1 as FIPS 180-4 gives it.
class Sha1 {
 public:
  void Update(const unsigned char* p, size_t n) {
    bytes_ += n;
    for (; n > 0; --n) {
      buf_[used_++] = *p++;
      if (used_ == 64) Block();
    }
  }
  std::string Hex() {
    uint64_t bits = bytes_ * 8;
    unsigned char pad = 0x80, zero = 0;
    Update(&pad, 1);
    while (used_ != 56) Update(&zero, 1);
    for (int i = 7; i >= 0; --i) buf_[used_++] = static_cast<unsigned char>(bits >> (8 * i));
    Block();
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (uint32_t word : h_) {
      for (int i = 28; i >= 0; i -= 4) out += kHex[(word >> i) & 15];
    }
    return out;
  }

 private:
  static uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
  void Block() {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      w[i] = uint32_t{buf_[4 * i]} << 24 | uint32_t{buf_[4 * i + 1]} << 16 |
             uint32_t{buf_[4 * i + 2]} << 8 | uint32_t{buf_[4 * i + 3]};
    }
    for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d), k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d, k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d, k = 0xCA62C1D6;
      }
      uint32_t t = Rol(a, 5) + f + e + k + w[i];
      e = d, d = c, c = Rol(b, 30), b = a, a = t;
    }
    h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e;
    used_ = 0;
  }

  uint32_t h_[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  unsigned char buf_[64] = {};
  size_t used_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace

int Refreshing::Get(Keys* keys, std::string* error) {
  kdr::MutexLock hold(&mu_);
  int64_t now = Now();
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

int FromWebIdentity(const StsCall& call, const std::string& tokenFile, Keys* keys, int64_t* expires,
                    std::string* error) {
  std::string token, xml;
  if (!ReadSmallFile(tokenFile, &token)) {
    *error = "cannot read the web identity token " + tokenFile;
    return EACCES;
  }
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
  auto params = StsParams(call, "AssumeRoleWithWebIdentity");
  params.emplace_back("WebIdentityToken", token);
  // Not signed: the token is the proof.
  int rc = Fetch("POST", call.endpoint + "/?" + Query(params), {}, &xml, error);
  return rc != 0 ? rc : FromStsXml(xml, keys, expires, error);
}

int FromAssumeRole(const StsCall& call, const Keys& source, Keys* keys, int64_t* expires,
                   std::string* error) {
  std::string xml;
  int rc = Fetch("GET", call.endpoint + "/?" + Query(StsParams(call, "AssumeRole")), {}, &xml,
                 error, &source, call.region);
  if (rc != 0) {
    *error = "cannot assume role " + call.roleArn + ": " + *error;
    return rc;
  }
  return FromStsXml(xml, keys, expires, error);
}

std::string StsEndpoint(const std::string& region, const std::string& regional) {
  std::string url;
  if (pf::GetEnvNonEmpty("AWS_ENDPOINT_URL_STS", &url)) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
  }
  std::string mode = regional;
  if (mode.empty()) pf::GetEnvNonEmpty("AWS_STS_REGIONAL_ENDPOINTS", &mode);
  if (mode == "legacy" || region.empty()) return "https://sts.amazonaws.com";
  return "https://sts." + region + ".amazonaws.com" + (region.rfind("cn-", 0) == 0 ? ".cn" : "");
}

int FromSso(const SsoCall& call, Keys* keys, int64_t* expires, std::string* error) {
  std::string cached;
  int64_t tokenExpires = 0;
  if (!ReadSmallFile(call.tokenFile, &cached)) {
    *error = "no SSO sign-in for " + call.session + " (" + call.tokenFile +
             " cannot be read): run \"aws sso login\"";
    return EACCES;
  }
  std::string token = JsonString(cached, "accessToken");
  if (token.empty() || !ParseIsoTime(JsonString(cached, "expiresAt"), &tokenExpires)) {
    *error = "the SSO token cache " + call.tokenFile + " holds no token: run \"aws sso login\"";
    return EACCES;
  }
  if (tokenExpires <= Now()) {
    *error = "the SSO sign-in for " + call.session + " has expired: run \"aws sso login\"";
    return EACCES;
  }
  std::string portal;
  if (!pf::GetEnvNonEmpty("AWS_ENDPOINT_URL_SSO", &portal)) {
    portal = "https://portal.sso." + call.region + ".amazonaws.com";
  }
  while (!portal.empty() && portal.back() == '/') portal.pop_back();
  std::string json;
  int rc = Fetch("GET",
                 portal + "/federation/credentials?" +
                     Query({{"account_id", call.accountId}, {"role_name", call.roleName}}),
                 {"x-amz-sso_bearer_token: " + token}, &json, error);
  if (rc != 0) {
    *error = "cannot get the SSO role credentials of " + call.roleName + " in account " +
             call.accountId + ": " + *error;
    return rc;
  }
  int64_t ms = 0;
  keys->accessKey = JsonString(json, "accessKeyId");
  keys->secretKey = JsonString(json, "secretAccessKey");
  keys->sessionToken = JsonString(json, "sessionToken");
  if (keys->accessKey.empty() || keys->secretKey.empty() || !JsonInteger(json, "expiration", &ms)) {
    *error = "the SSO portal answered without keys";
    return EACCES;
  }
  *expires = ms / 1000;
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

std::string Sha1Hex(std::string_view text) {
  Sha1 sha;
  sha.Update(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  return sha.Hex();
}

namespace {

// Where the value of member "name" starts (after its colon and blanks); npos when none.
size_t JsonValueAt(std::string_view json, std::string_view name) {
  std::string quoted = "\"" + std::string(name) + "\"";
  for (size_t at = json.find(quoted); at != std::string_view::npos;
       at = json.find(quoted, at + 1)) {
    size_t i = at + quoted.size();
    while (i < json.size() &&
           (json[i] == ' ' || json[i] == '\t' || json[i] == '\n' || json[i] == '\r')) {
      ++i;
    }
    if (i >= json.size() || json[i] != ':') continue;  // a value that reads like the name
    for (++i; i < json.size() &&
              (json[i] == ' ' || json[i] == '\t' || json[i] == '\n' || json[i] == '\r');
         ++i) {
    }
    return i;
  }
  return std::string_view::npos;
}

}  // namespace

std::string JsonString(std::string_view json, std::string_view name) {
  size_t at = JsonValueAt(json, name);
  if (at == std::string_view::npos || at >= json.size() || json[at] != '"') return std::string();
  std::string out;
  for (size_t i = at + 1; i < json.size(); ++i) {
    if (json[i] == '"') return out;
    if (json[i] == '\\' && i + 1 < json.size()) ++i;
    out += json[i];
  }
  return std::string();
}

bool JsonInteger(std::string_view json, std::string_view name, int64_t* value) {
  size_t at = JsonValueAt(json, name);
  if (at == std::string_view::npos) return false;
  size_t end = at;
  while (end < json.size() && json[end] >= '0' && json[end] <= '9') ++end;
  uint64_t v = 0;
  if (end == at || end - at > 18 || !ParseUnsigned(json.substr(at, end - at), &v)) return false;
  *value = static_cast<int64_t>(v);
  return true;
}

bool ReadSmallFile(const std::string& path, std::string* text) {
  int fd = pf::kNoFile;
  if (pf::OpenFile(path.c_str(), pf::FileMode::kReadOnly, &fd) != 0) return false;
  uint64_t size = 0;
  bool ok = pf::FileSize(fd, &size) == 0 && size <= kMaxFile;
  if (ok) {
    text->resize(static_cast<size_t>(size));
    size_t done = 0;
    ok = pf::ReadFileAt(fd, 0, text->data(), text->size(), &done) == 0;
    text->resize(done);
  }
  pf::CloseFile(fd);
  return ok;
}

}  // namespace kdr::server::s3
