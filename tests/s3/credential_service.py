#!/usr/bin/env python3
"""A stand-in for the AWS credential services on 127.0.0.1: the container endpoint (/creds,
Authorization "tok"), the instance metadata service (IMDSv2: a token, the role, its keys), STS
AssumeRoleWithWebIdentity (POST /?Action=...) and AssumeRole (GET /?Action=AssumeRole, signed
for "sts": role r1 with the keys BASE, session name "sess", external id "ext" and 900 s; role
r2 with r1's session token "TK1"), and the SSO portal's GetRoleCredentials (account 111, role
Admin, bearer token "ssotok"). Every answer hands out keys AK<n>, n counting the answers, that
expire in 200 seconds (inside the client's refresh margin).

Usage: credential_service.py PORT_FILE   (writes the port it listens on, then serves)
"""
import http.server
import re
import sys
import time
import urllib.parse

count = 0


def expiry():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 200))


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def reply(self, code, body):
        data = body.encode()
        self.send_response(code)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def keys_json(self):
        global count
        count += 1
        return ('{"AccessKeyId": "AK%d", "SecretAccessKey": "SK", "Token": "TK", '
                '"Expiration": "%s"}' % (count, expiry()))

    def do_PUT(self):
        if self.path == "/latest/api/token":
            return self.reply(200, "T1")
        self.reply(404, "")

    def assume_role(self, q):
        global count
        auth = self.headers.get("Authorization", "")
        m = re.search(r"Credential=([^/]+)/\d{8}/([^/]+)/sts/aws4_request", auth)
        token = self.headers.get("x-amz-security-token")
        role = q.get("RoleArn", [""])[0]
        if m is None or q.get("Version") != ["2011-06-15"]:
            return self.reply(403, "<Error><Code>SignatureDoesNotMatch</Code></Error>")
        if role == "arn:aws:iam::1:role/r1":
            ok = (m.group(1) == "BASE" and token is None and q.get("ExternalId") == ["ext"]
                  and q.get("DurationSeconds") == ["900"] and q.get("RoleSessionName") == ["sess"])
            session = "TK1"
        else:
            ok = role == "arn:aws:iam::1:role/r2" and token == "TK1"
            session = "TK"
        if not ok:
            return self.reply(403, "<Error><Code>AccessDenied</Code></Error>")
        count += 1
        self.reply(200, "<AssumeRoleResponse><AssumeRoleResult><Credentials>"
                        "<AccessKeyId>AK%d</AccessKeyId><SecretAccessKey>SK</SecretAccessKey>"
                        "<SessionToken>%s</SessionToken><Expiration>%s</Expiration></Credentials>"
                        "</AssumeRoleResult></AssumeRoleResponse>" % (count, session, expiry()))

    def do_GET(self):
        global count
        url = urllib.parse.urlsplit(self.path)
        q = urllib.parse.parse_qs(url.query)
        if url.path == "/" and q.get("Action") == ["AssumeRole"]:
            return self.assume_role(q)
        if url.path == "/federation/credentials":
            if (self.headers.get("x-amz-sso_bearer_token") != "ssotok"
                    or q.get("account_id") != ["111"] or q.get("role_name") != ["Admin"]):
                return self.reply(401, "")
            count += 1
            return self.reply(200, '{"roleCredentials": {"accessKeyId": "AK%d", "secretAccessKey": '
                                   '"SK", "sessionToken": "TK", "expiration": %d}}'
                                   % (count, int(time.time() + 200) * 1000))
        if self.path == "/creds":
            if self.headers.get("Authorization") != "tok":
                return self.reply(403, "")
            return self.reply(200, self.keys_json())
        if self.headers.get("X-aws-ec2-metadata-token") != "T1":
            return self.reply(401, "")
        if self.path == "/latest/meta-data/iam/security-credentials/":
            return self.reply(200, "role1\n")
        if self.path == "/latest/meta-data/iam/security-credentials/role1":
            return self.reply(200, self.keys_json())
        self.reply(404, "")

    def do_POST(self):
        global count
        if "Action=AssumeRoleWithWebIdentity" not in self.path or "WebIdentityToken=jwt" not in self.path:
            return self.reply(400, "")
        count += 1
        self.reply(200, "<AssumeRoleWithWebIdentityResponse><AssumeRoleWithWebIdentityResult>"
                        "<Credentials><AccessKeyId>AK%d</AccessKeyId><SecretAccessKey>SK</SecretAccessKey>"
                        "<SessionToken>TK</SessionToken><Expiration>%s</Expiration></Credentials>"
                        "</AssumeRoleWithWebIdentityResult></AssumeRoleWithWebIdentityResponse>"
                        % (count, expiry()))


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
import os
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
server.serve_forever()
