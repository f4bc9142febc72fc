// The usual sources of AWS credentials, tried in the usual order:
//   1. the environment: AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN;
//   2. web identity: the token in AWS_WEB_IDENTITY_TOKEN_FILE exchanged for keys of role
//      AWS_ROLE_ARN by STS AssumeRoleWithWebIdentity (at AWS_ENDPOINT_URL_STS, default
//      https://sts.amazonaws.com);
//   3. the profile AWS_PROFILE (default "default") of the shared credentials file
//      (AWS_SHARED_CREDENTIALS_FILE, default ~/.aws/credentials) or the config file
//      (AWS_CONFIG_FILE, default ~/.aws/config, sections "[profile NAME]"): its
//      aws_access_key_id, aws_secret_access_key and aws_session_token, or its
//      credential_process (a command printing the keys' JSON);
//   4. the container's credentials endpoint: AWS_CONTAINER_CREDENTIALS_FULL_URI, or
//      http://169.254.170.2 + AWS_CONTAINER_CREDENTIALS_RELATIVE_URI, with the
//      Authorization header of AWS_CONTAINER_AUTHORIZATION_TOKEN;
//   5. the instance metadata service (IMDSv2, at AWS_EC2_METADATA_SERVICE_ENDPOINT, default
//      http://169.254.169.254), unless AWS_EC2_METADATA_DISABLED is "true".
// Temporary keys (2, 3 by a process, 4, 5) are fetched again five minutes before they expire; a
// fetch that fails while the old keys are still valid keeps them.
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

// The string value of "name" in a flat JSON object; empty when there is none.
std::string JsonString(std::string_view json, std::string_view name);

// The settings of section `section` of an INI-style AWS file ("key = value" lines).
std::map<std::string, std::string> ReadProfile(std::string_view text, std::string_view section);

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_CREDENTIALS_CHAIN_H_
