#!/usr/bin/env python3
"""A stand-in for the AWS credential services on 127.0.0.1: the container endpoint (/creds,
Authorization "tok"), the instance metadata service (IMDSv2: a token, the role, its keys) and
STS AssumeRoleWithWebIdentity (POST /?Action=...). Every answer hands out keys AK<n>, n
counting the answers, that expire in 200 seconds (inside the client's refresh margin).

Usage: credential_service.py PORT_FILE   (writes the port it listens on, then serves)
"""
import http.server
import sys
import time

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

    def do_GET(self):
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
