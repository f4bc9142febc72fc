// Where the S3 vault's keys come from.
#ifndef KDR_SERVER_S3_CREDENTIALS_H_
#define KDR_SERVER_S3_CREDENTIALS_H_

#include <memory>
#include <string>
#include <utility>

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

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_CREDENTIALS_H_
