// Where the S3 vault's keys come from.
#ifndef KDR_SERVER_S3_CREDENTIALS_H_
#define KDR_SERVER_S3_CREDENTIALS_H_

#include <memory>
#include <string>

#include "server/s3/http.h"

namespace kdr::server::s3 {

class CredentialSource {
 public:
  virtual ~CredentialSource() = default;
  // The keys to sign with now (temporary ones are refreshed before they expire). 0, or an
  // errno value with *error saying why there are none.
  virtual int Get(Keys* keys, std::string* error) = 0;
};

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_CREDENTIALS_H_
