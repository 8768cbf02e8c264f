#!/usr/bin/python3
"""A small OAuth2 authorization server for tests (standard library only).

Usage: oauth_server.py USER [--lifetime SECONDS]. Prints the port when ready; ends when its
standard input closes. Every sign-in is USER's, approved at once (a browser that follows the
redirect signs in).

  GET  /authorize   code flow; PKCE S256 required; redirects to redirect_uri with code and state
  POST /token       authorization_code (code_verifier checked), refresh_token, device_code
  POST /device      device authorization (RFC 8628); POST /device/approve user_code=... approves
  POST /revoke      token=... revokes a refresh token and its access tokens (RFC 7009)
  POST /introspect  token=... -> {"active": true, "username": USER} or {"active": false}
  POST /control     lifetime=SECONDS for access tokens issued from now on
  GET  /stats       {"refresh": n, "code": n, "device": n}: the tokens issued by each grant
"""
import base64
import hashlib
import http.server
import json
import secrets
import socket
import sys
import threading
import time
import urllib.parse


class State:
    def __init__(self, user, lifetime):
        self.user = user
        self.lifetime = lifetime
        self.codes = {}    # code -> (client_id, redirect_uri, challenge)
        self.access = {}   # token -> (expires, refresh token)
        self.refresh = {}  # token -> client_id
        self.devices = {}  # device_code -> [user_code, client_id, approved]
        self.stats = {"refresh": 0, "code": 0, "device": 0}
        self.lock = threading.Lock()

    def issue(self, client_id, grant):
        refresh = secrets.token_urlsafe(24)
        self.refresh[refresh] = client_id
        return self.access_for(refresh, grant, include_refresh=True)

    def access_for(self, refresh, grant, include_refresh=False):
        token = secrets.token_urlsafe(24)
        self.access[token] = (time.time() + self.lifetime, refresh)
        self.stats[grant] += 1
        reply = {"access_token": token, "token_type": "Bearer", "expires_in": self.lifetime}
        if include_refresh:
            reply["refresh_token"] = refresh
        return reply


def s256(verifier):
    digest = hashlib.sha256(verifier.encode()).digest()
    return base64.urlsafe_b64encode(digest).rstrip(b"=").decode()


class Handler(http.server.BaseHTTPRequestHandler):
    state = None

    def log_message(self, *args):
        pass

    def reply(self, status, body=None, headers=()):
        data = json.dumps(body).encode() if body is not None else b""
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def error(self, code, status=400):
        self.reply(status, {"error": code})

    def form(self):
        length = int(self.headers.get("Content-Length") or 0)
        data = self.rfile.read(length).decode()
        return {k: v[0] for k, v in urllib.parse.parse_qs(data).items()}

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = {k: v[0] for k, v in urllib.parse.parse_qs(url.query).items()}
        st = self.state
        if url.path == "/stats":
            with st.lock:
                return self.reply(200, st.stats)
        if url.path != "/authorize":
            return self.error("not_found", 404)
        if query.get("response_type") != "code" or not query.get("redirect_uri"):
            return self.error("invalid_request")
        if query.get("code_challenge_method") != "S256" or not query.get("code_challenge"):
            return self.error("invalid_request")
        code = secrets.token_urlsafe(16)
        with st.lock:
            st.codes[code] = (query.get("client_id"), query["redirect_uri"], query["code_challenge"])
        target = query["redirect_uri"] + "?" + urllib.parse.urlencode(
            {"code": code, "state": query.get("state", "")})
        self.reply(302, None, [("Location", target)])

    def do_POST(self):
        path = urllib.parse.urlsplit(self.path).path
        form = self.form()
        st = self.state
        with st.lock:
            if path == "/token":
                return self.token(form)
            if path == "/device":
                device_code, user_code = secrets.token_urlsafe(16), secrets.token_hex(4).upper()
                st.devices[device_code] = [user_code, form.get("client_id"), False]
                host = "http://127.0.0.1:%d" % self.server.server_address[1]
                return self.reply(200, {"device_code": device_code, "user_code": user_code,
                                        "verification_uri": host + "/device/verify",
                                        "expires_in": 600, "interval": 1})
            if path == "/device/approve":
                for entry in st.devices.values():
                    if entry[0] == form.get("user_code"):
                        entry[2] = True
                        return self.reply(200, {})
                return self.error("invalid_request")
            if path == "/revoke":
                token = form.get("token")
                st.refresh.pop(token, None)
                for access in [a for a, (_, r) in st.access.items() if r == token or a == token]:
                    del st.access[access]
                return self.reply(200, {})
            if path == "/introspect":
                expires, _ = st.access.get(form.get("token"), (0, None))
                if expires > time.time():
                    return self.reply(200, {"active": True, "username": st.user})
                return self.reply(200, {"active": False})
            if path == "/control":
                st.lifetime = int(form["lifetime"])
                return self.reply(200, {})
        self.error("not_found", 404)

    def token(self, form):
        st = self.state
        grant = form.get("grant_type")
        client_id = form.get("client_id")
        if grant == "authorization_code":
            entry = st.codes.pop(form.get("code"), None)
            if entry is None or entry[0] != client_id or entry[1] != form.get("redirect_uri"):
                return self.error("invalid_grant")
            if not form.get("code_verifier") or s256(form["code_verifier"]) != entry[2]:
                return self.error("invalid_grant")
            return self.reply(200, st.issue(client_id, "code"))
        if grant == "refresh_token":
            refresh = form.get("refresh_token")
            if st.refresh.get(refresh) != client_id:
                return self.error("invalid_grant")
            return self.reply(200, st.access_for(refresh, "refresh"))
        if grant == "urn:ietf:params:oauth:grant-type:device_code":
            entry = st.devices.get(form.get("device_code"))
            if entry is None or entry[1] != client_id:
                return self.error("invalid_grant")
            if not entry[2]:
                return self.error("authorization_pending")
            del st.devices[form["device_code"]]
            return self.reply(200, st.issue(client_id, "device"))
        self.error("unsupported_grant_type")


def main():
    user = sys.argv[1]
    lifetime = int(sys.argv[sys.argv.index("--lifetime") + 1]) if "--lifetime" in sys.argv else 3600
    Handler.state = State(user, lifetime)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    while sys.stdin.buffer.read1(4096):
        pass
    server.shutdown()


if __name__ == "__main__":
    main()
