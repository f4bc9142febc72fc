// The usual sources of AWS credentials, tried in the usual order:
//   1. the environment: AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN;
//   2. web identity: the token in AWS_WEB_IDENTITY_TOKEN_FILE exchanged for keys of role
//      AWS_ROLE_ARN by STS AssumeRoleWithWebIdentity;
//   3. the profile AWS_PROFILE (default "default") of the shared credentials file
//      (AWS_SHARED_CREDENTIALS_FILE, default ~/.aws/credentials) and the config file
//      (AWS_CONFIG_FILE, default ~/.aws/config, sections "[profile NAME]"), in this order:
//      - role_arn: keys of that role from STS AssumeRole (role_session_name, external_id,
//        duration_seconds), signed with the keys of source_profile (whose own keys win over
//        its role_arn, as the AWS tools have it; a chain of roles is followed up to
//        kMaxProfileChain profiles, a circle is an error), of credential_source
//        (Environment, Ec2InstanceMetadata or EcsContainer), or, with
//        web_identity_token_file, by AssumeRoleWithWebIdentity;
//      - aws_access_key_id, aws_secret_access_key and aws_session_token;
//      - credential_process (a command printing the keys' JSON);
//      - SSO: sso_session (a "[sso-session NAME]" section with sso_start_url and sso_region)
//        or sso_start_url and sso_region on the profile itself, with sso_account_id and
//        sso_role_name: the token "aws sso login" cached, exchanged for the role's keys;
//   4. the container's credentials endpoint: AWS_CONTAINER_CREDENTIALS_FULL_URI, or
//      http://169.254.170.2 + AWS_CONTAINER_CREDENTIALS_RELATIVE_URI, with the
//      Authorization header of AWS_CONTAINER_AUTHORIZATION_TOKEN;
//   5. the instance metadata service (IMDSv2, at AWS_EC2_METADATA_SERVICE_ENDPOINT, default
//      http://169.254.169.254), unless AWS_EC2_METADATA_DISABLED is "true".
// STS is asked at AWS_ENDPOINT_URL_STS, else the regional endpoint of the profile's region
// (AWS_REGION, AWS_DEFAULT_REGION, us-east-1), or the global one where sts_regional_endpoints
// (AWS_STS_REGIONAL_ENDPOINTS) is "legacy". Temporary keys are fetched again five minutes
// before they expire; a fetch that fails while the old keys are still valid keeps them.
#ifndef KDR_SERVER_S3_CREDENTIALS_CHAIN_H_
#define KDR_SERVER_S3_CREDENTIALS_CHAIN_H_

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "server/s3/credentials.h"

namespace kdr::server::s3 {

// The most profiles one chain of roles may pass through.
inline constexpr int kMaxProfileChain = 8;

// The first source of the chain that has keys. 0, or EINVAL with *error naming what was
// looked at or what is wrong with the profile.
int NewDefaultCredentials(std::shared_ptr<CredentialSource>* source, std::string* error);

// The settings of section `section` of an INI-style AWS file ("key = value" lines).
std::map<std::string, std::string> ReadProfile(std::string_view text, std::string_view section);

}  // namespace kdr::server::s3

#endif  // KDR_SERVER_S3_CREDENTIALS_CHAIN_H_
