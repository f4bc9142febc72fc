// Where the S3 vault's keys come from: keys given once, and the services that hand out
// temporary keys (a container's endpoint, the instance metadata service, STS, the SSO portal, a
// credential_process). Which of them a server uses is the chain's choice (credentials_chain.h).
#ifndef KDR_SERVER_S3_CREDENTIALS_H_
#define KDR_SERVER_S3_CREDENTIALS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/mutex.h"
#include "server/s3/http.h"

namespace kdr::server::s3 {

class CredentialSource {
 public:
  virtual ~CredentialSource() = default;
  // The keys to sign with now (temporary ones are refreshed before they expire). 0, or an
  // errno value with *error saying why there are none.
  virtual int Get(Keys* keys, std::string* error) = 0;
};

// Keys given once (settings, the environment, a profile's keys): never refreshed.
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

// Keys that expire, fetched by `fetch` when missing or within five minutes of expiry; a fetch
// that fails while the old keys are still valid keeps them.
class Refreshing : public CredentialSource {
 public:
  // 0 with the keys and their expiry (seconds since 1970), or an errno value and *error.
  using Fetcher = std::function<int(Keys*, int64_t* expires, std::string* error)>;
  explicit Refreshing(Fetcher fetch) : fetch_(std::move(fetch)) {}
  int Get(Keys* keys, std::string* error) override EXCLUDES(mu_);

 private:
  const Fetcher fetch_;
  kdr::Mutex mu_;
  Keys keys_ GUARDED_BY(mu_);
  int64_t expires_ GUARDED_BY(mu_) = 0;  // seconds since 1970
};

// The fetchers of the services. Each is 0, or EHOSTUNREACH (the service did not answer) or
// EACCES (it refused, or answered without keys) with *error naming the service.

// A container's endpoint: `url`, with AWS_CONTAINER_AUTHORIZATION_TOKEN as Authorization.
int FromContainer(const std::string& url, Keys* keys, int64_t* expires, std::string* error);
// The instance metadata service at `host` (IMDSv2: a session token, the role, its keys).
int FromInstance(const std::string& host, Keys* keys, int64_t* expires, std::string* error);
// The profile's credential_process: a command printing the keys' JSON.
int FromProcess(const std::string& command, Keys* keys, int64_t* expires, std::string* error);

// A call of STS, its Query API at `endpoint` (signed for `region` when `signWith` is given).
struct StsCall {
  std::string endpoint;  // https://sts.REGION.amazonaws.com, or the one configured
  std::string region;
  std::string roleArn;
  std::string sessionName;
  std::string externalId;   // empty: none
  int durationSeconds = 0;  // 0: the role's default
};
// AssumeRoleWithWebIdentity with the token in `tokenFile` (read at each call: it is rotated).
int FromWebIdentity(const StsCall& call, const std::string& tokenFile, Keys* keys, int64_t* expires,
                    std::string* error);
// AssumeRole, signed with `source`.
int FromAssumeRole(const StsCall& call, const Keys& source, Keys* keys, int64_t* expires,
                   std::string* error);
// The STS endpoint of `region`: AWS_ENDPOINT_URL_STS when set; the global one when
// `regional` (a profile's sts_regional_endpoints, else AWS_STS_REGIONAL_ENDPOINTS) is
// "legacy"; else the region's own.
std::string StsEndpoint(const std::string& region, const std::string& regional);

// The role credentials of an AWS IAM Identity Center (SSO) sign-in: the access token cached
// by "aws sso login" in `tokenFile`, exchanged at the portal of `region` (AWS_ENDPOINT_URL_SSO
// when set) for keys of `roleName` in `accountId`. An expired token is refused (EACCES) with
// the advice to sign in again.
struct SsoCall {
  std::string tokenFile;  // ~/.aws/sso/cache/<SHA-1 of the session name or start URL>.json
  std::string session;    // the session name or start URL, for the messages
  std::string region;
  std::string accountId;
  std::string roleName;
};
int FromSso(const SsoCall& call, Keys* keys, int64_t* expires, std::string* error);

// The lower-case hex SHA-1 of `text` (the name of an SSO token's cache file).
std::string Sha1Hex(std::string_view text);
// The string value of "name" in a JSON object (the first such member); empty when none.
std::string JsonString(std::string_view json, std::string_view name);
// The integer value of "name" in a JSON object; false when there is none.
bool JsonInteger(std::string_view json, std::string_view name, int64_t* value);
// The text of a file of up to 1 MiB; false when it cannot be read.
bool ReadSmallFile(const std::string& path, std::string* text);

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_CREDENTIALS_H_
