#include "server/s3/credentials_chain.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/env.h"
#include "server/s3/text.h"

namespace kdr::server::s3 {

namespace pf = kdr::platform;

namespace {

constexpr const char kContainerHost[] = "http://169.254.170.2";
constexpr const char kImdsHost[] = "http://169.254.169.254";

std::string UnderHome(const char* name) {
  std::string home;
  return pf::GetEnvNonEmpty("HOME", &home) ? home + "/.aws/" + name : std::string();
}

std::string SessionName() { return "kdrcached-" + std::to_string(std::time(nullptr)); }

// The region STS and SSO are asked in when a profile names none.
std::string DefaultRegion() {
  std::string region;
  if (!pf::GetEnvNonEmpty("AWS_REGION", &region) &&
      !pf::GetEnvNonEmpty("AWS_DEFAULT_REGION", &region)) {
    region = "us-east-1";
  }
  return region;
}

std::shared_ptr<CredentialSource> ContainerSource(const std::string& url) {
  return std::make_shared<Refreshing>(
      [url](Keys* k, int64_t* e, std::string* err) { return FromContainer(url, k, e, err); });
}

// The container's endpoint the environment names; empty when none.
std::string ContainerUrl() {
  std::string url;
  if (pf::GetEnvNonEmpty("AWS_CONTAINER_CREDENTIALS_FULL_URI", &url) ||
      pf::GetEnvNonEmpty("AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", &url)) {
    if (url.front() == '/') url = kContainerHost + url;
  }
  return url;
}

std::shared_ptr<CredentialSource> InstanceSource() {
  std::string host = kImdsHost;
  pf::GetEnvNonEmpty("AWS_EC2_METADATA_SERVICE_ENDPOINT", &host);
  while (!host.empty() && host.back() == '/') host.pop_back();
  return std::make_shared<Refreshing>(
      [host](Keys* k, int64_t* e, std::string* err) { return FromInstance(host, k, e, err); });
}

// The profiles of the shared files, read once.
class Profiles {
 public:
  Profiles(std::string credentialsFile, std::string configFile)
      : credentialsFile_(std::move(credentialsFile)), configFile_(std::move(configFile)) {
    if (!configFile_.empty()) ReadSmallFile(configFile_, &config_);
    if (!credentialsFile_.empty()) ReadSmallFile(credentialsFile_, &credentials_);
  }

  const std::string& credentialsFile() const { return credentialsFile_; }
  const std::string& configFile() const { return configFile_; }

  // The settings of profile `name`: those of the config file, the credentials file's winning.
  std::map<std::string, std::string> Of(const std::string& name) const {
    auto out = ReadProfile(config_, name == "default" ? "default" : "profile " + name);
    for (auto& [k, v] : ReadProfile(credentials_, name)) out[k] = v;
    return out;
  }

  // The source of profile `name`'s keys: 0; ENOENT when the profile gives none; EINVAL with
  // *error when it is set up wrong. `chain` holds the profiles that led here; `top` is false
  // for a source_profile, whose own keys win over its role.
  int Source(const std::string& name, std::vector<std::string>* chain, bool top,
             std::shared_ptr<CredentialSource>* out, std::string* error) const {
    if (std::find(chain->begin(), chain->end(), name) != chain->end() ||
        int(chain->size()) >= kMaxProfileChain) {
      std::string path;
      for (const std::string& p : *chain) path += p + " -> ";
      *error = "the source_profile chain " + path + name +
               (int(chain->size()) >= kMaxProfileChain
                    ? " is longer than " + std::to_string(kMaxProfileChain) + " profiles"
                    : " goes round in a circle");
      return EINVAL;
    }
    chain->push_back(name);
    std::map<std::string, std::string> s = Of(name);
    Keys keys{s["aws_access_key_id"], s["aws_secret_access_key"], s["aws_session_token"]};
    bool hasKeys = !keys.accessKey.empty() && !keys.secretKey.empty();
    if (!s["role_arn"].empty() && (top || !hasKeys)) return Role(name, s, chain, out, error);
    if (hasKeys) {
      *out = std::make_shared<FixedKeys>(keys);
      return 0;
    }
    if (std::string command = s["credential_process"]; !command.empty()) {
      *out = std::make_shared<Refreshing>([command](Keys* k, int64_t* e, std::string* err) {
        return FromProcess(command, k, e, err);
      });
      return 0;
    }
    if (!s["sso_session"].empty() || !s["sso_start_url"].empty()) return Sso(name, s, out, error);
    return ENOENT;
  }

 private:
  int Role(const std::string& name, std::map<std::string, std::string>& s,
           std::vector<std::string>* chain, std::shared_ptr<CredentialSource>* out,
           std::string* error) const {
    StsCall call;
    call.roleArn = s["role_arn"];
    call.region = s["region"].empty() ? DefaultRegion() : s["region"];
    call.endpoint = StsEndpoint(call.region, s["sts_regional_endpoints"]);
    if (call.endpoint == "https://sts.amazonaws.com") call.region = "us-east-1";
    call.sessionName = s["role_session_name"].empty() ? SessionName() : s["role_session_name"];
    call.externalId = s["external_id"];
    const std::string what = "profile \"" + name + "\" (role " + call.roleArn + ")";
    if (std::string d = s["duration_seconds"]; !d.empty()) {
      uint64_t v = 0;
      if (!ParseUnsigned(d, &v) || v < 900 || v > 43200) {
        *error = what + ": duration_seconds " + d + " is not 900 to 43200";
        return EINVAL;
      }
      call.durationSeconds = int(v);
    }
    if (!s["mfa_serial"].empty()) {
      *error = what + " asks for an MFA code (mfa_serial), which a server cannot type in";
      return EINVAL;
    }
    std::shared_ptr<CredentialSource> base;
    const std::string& from = s["source_profile"];
    const std::string& kind = s["credential_source"];
    if (!from.empty()) {
      int rc = from == name ? ENOENT : Source(from, chain, false, &base, error);
      if (from == name && !s["aws_access_key_id"].empty() && !s["aws_secret_access_key"].empty()) {
        // A profile that is its own source signs with its own keys.
        base = std::make_shared<FixedKeys>(
            Keys{s["aws_access_key_id"], s["aws_secret_access_key"], s["aws_session_token"]});
        rc = 0;
      }
      if (rc == ENOENT) {
        *error = what + ": source_profile \"" + from + "\" has no credentials";
        return EINVAL;
      }
      if (rc != 0) return rc;
    } else if (kind == "Environment") {
      Keys env;
      if (!pf::GetEnvNonEmpty("AWS_ACCESS_KEY_ID", &env.accessKey) ||
          !pf::GetEnvNonEmpty("AWS_SECRET_ACCESS_KEY", &env.secretKey)) {
        *error = what +
                 ": credential_source Environment, but AWS_ACCESS_KEY_ID and "
                 "AWS_SECRET_ACCESS_KEY are not set";
        return EINVAL;
      }
      pf::GetEnvNonEmpty("AWS_SESSION_TOKEN", &env.sessionToken);
      base = std::make_shared<FixedKeys>(env);
    } else if (kind == "EcsContainer") {
      std::string url = ContainerUrl();
      if (url.empty()) {
        *error = what +
                 ": credential_source EcsContainer, but no container endpoint is set "
                 "(AWS_CONTAINER_CREDENTIALS_FULL_URI or _RELATIVE_URI)";
        return EINVAL;
      }
      base = ContainerSource(url);
    } else if (kind == "Ec2InstanceMetadata") {
      base = InstanceSource();
    } else if (!kind.empty()) {
      *error = what + ": credential_source \"" + kind +
               "\" is none of Environment, Ec2InstanceMetadata, EcsContainer";
      return EINVAL;
    } else if (std::string file = s["web_identity_token_file"]; !file.empty()) {
      *out = std::make_shared<Refreshing>([call, file](Keys* k, int64_t* e, std::string* err) {
        return FromWebIdentity(call, file, k, e, err);
      });
      return 0;
    } else {
      *error = what + " names neither source_profile nor credential_source";
      return EINVAL;
    }
    *out = std::make_shared<Refreshing>([call, base](Keys* k, int64_t* e, std::string* err) {
      Keys source;
      int rc = base->Get(&source, err);
      return rc != 0 ? rc : FromAssumeRole(call, source, k, e, err);
    });
    return 0;
  }

  int Sso(const std::string& name, std::map<std::string, std::string>& s,
          std::shared_ptr<CredentialSource>* out, std::string* error) const {
    SsoCall call;
    std::string startUrl = s["sso_start_url"];
    call.region = s["sso_region"];
    if (std::string session = s["sso_session"]; !session.empty()) {
      auto section = ReadProfile(config_, "sso-session " + session);
      if (section.empty()) {
        *error = "profile \"" + name + "\": no [sso-session " + session + "] in " + configFile_;
        return EINVAL;
      }
      startUrl = section["sso_start_url"];
      call.region = section["sso_region"];
      call.session = "session \"" + session + "\"";
      call.tokenFile = Sha1Hex(session);
    } else {
      call.session = startUrl;
      call.tokenFile = Sha1Hex(startUrl);
    }
    call.accountId = s["sso_account_id"];
    call.roleName = s["sso_role_name"];
    if (startUrl.empty() || call.region.empty() || call.accountId.empty() ||
        call.roleName.empty()) {
      *error = "profile \"" + name +
               "\": SSO needs sso_start_url, sso_region, sso_account_id "
               "and sso_role_name";
      return EINVAL;
    }
    std::string cacheDir = UnderHome("sso/cache");
    call.tokenFile = cacheDir + "/" + call.tokenFile + ".json";
    *out = std::make_shared<Refreshing>(
        [call](Keys* k, int64_t* e, std::string* err) { return FromSso(call, k, e, err); });
    return 0;
  }

  const std::string credentialsFile_, configFile_;
  std::string credentials_, config_;
};

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
  std::string tokenFile;
  StsCall call;
  if (pf::GetEnvNonEmpty("AWS_WEB_IDENTITY_TOKEN_FILE", &tokenFile) &&
      pf::GetEnvNonEmpty("AWS_ROLE_ARN", &call.roleArn)) {
    call.region = DefaultRegion();
    call.endpoint = StsEndpoint(call.region, "");
    if (!pf::GetEnvNonEmpty("AWS_ROLE_SESSION_NAME", &call.sessionName)) {
      call.sessionName = SessionName();
    }
    *source =
        std::make_shared<Refreshing>([call, tokenFile](Keys* k, int64_t* e, std::string* err) {
          return FromWebIdentity(call, tokenFile, k, e, err);
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
  Profiles profiles(credentialsFile, configFile);
  std::vector<std::string> chain;
  int rc = profiles.Source(profile, &chain, true, source, error);
  if (rc != ENOENT) return rc;
  if (std::string url = ContainerUrl(); !url.empty()) {
    *source = ContainerSource(url);
    return 0;
  }
  std::string disabled;
  if (!pf::GetEnvNonEmpty("AWS_EC2_METADATA_DISABLED", &disabled) || disabled != "true") {
    auto imds = InstanceSource();
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
