// The vault factory: a directory or a bucket, by the location's form.
#include <cerrno>

#include "platform/env.h"
#include "server/s3/credentials_chain.h"
#include "server/s3/s3_vault.h"
#include "server/vault.h"

namespace kdr::server {

namespace pf = kdr::platform;

void Vault::CurrentVersions(const std::vector<std::string>& guids,
                            std::vector<std::string>* versions, std::vector<int>* results,
                            const std::atomic<bool>* cancel) {
  versions->assign(guids.size(), std::string());
  results->assign(guids.size(), ECANCELED);
  for (size_t i = 0; i < guids.size(); ++i) {
    if (cancel != nullptr && cancel->load()) break;
    (*results)[i] = CurrentVersion(guids[i], &(*versions)[i]);
  }
}

bool IsObjectStoreLocation(std::string_view location) { return location.substr(0, 5) == "s3://"; }

int OpenVault(const VaultOptions& options, std::unique_ptr<Vault>* vault, std::string* error) {
  error->clear();
  if (!IsObjectStoreLocation(options.location)) {
    if (options.location.empty()) {
      *error = "no vault given";
      return EINVAL;
    }
    *vault = NewLocalVault(options.location);
    return 0;
  }
  s3::S3Settings s;
  if (!s3::ParseS3Location(options.location, &s.bucket, &s.prefix)) {
    *error =
        "not a bucket location (s3://BUCKET[/PREFIX], a bucket name of 3 characters or "
        "more): " +
        options.location;
    return EINVAL;
  }
  s.endpoint = options.s3Endpoint;
  s.cacheFilesDir = options.cacheFilesDir;
  s.trustMs = options.trustMs;
  s.checkEtags = options.checkEtags;
  std::string value;
  if (pf::GetEnvNonEmpty("AWS_REGION", &value) ||
      pf::GetEnvNonEmpty("AWS_DEFAULT_REGION", &value)) {
    s.region = value;
  }
  // The AWS tools' variable first, then those of OpenSSL and curl.
  if (!pf::GetEnvNonEmpty("AWS_CA_BUNDLE", &s.caBundle) &&
      !pf::GetEnvNonEmpty("SSL_CERT_FILE", &s.caBundle)) {
    pf::GetEnvNonEmpty("CURL_CA_BUNDLE", &s.caBundle);
  }
  int rc = s3::NewDefaultCredentials(&s.credentials, error);
  if (rc != 0) return rc;
  return s3::NewS3Vault(s, vault, error);
}

}  // namespace kdr::server
