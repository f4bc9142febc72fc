// The usual sources of AWS credentials, tried in the usual order:
//   1. the environment: AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN;
//   2. the profile AWS_PROFILE (default "default") of the shared credentials file
//      (AWS_SHARED_CREDENTIALS_FILE, default ~/.aws/credentials) or the config file
//      (AWS_CONFIG_FILE, default ~/.aws/config, sections "[profile NAME]"): its
//      aws_access_key_id, aws_secret_access_key and aws_session_token.
#ifndef KDR_SERVER_S3_CREDENTIALS_CHAIN_H_
#define KDR_SERVER_S3_CREDENTIALS_CHAIN_H_

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "server/s3/credentials.h"

namespace kdr::server::s3 {

// The first source of the chain that has keys. 0, or EINVAL with *error naming what was
// looked at.
int NewDefaultCredentials(std::shared_ptr<CredentialSource>* source, std::string* error);

// The settings of section `section` of an INI-style AWS file ("key = value" lines).
std::map<std::string, std::string> ReadProfile(std::string_view text, std::string_view section);

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_CREDENTIALS_CHAIN_H_
