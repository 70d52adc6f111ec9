"""An HTTPS git server on 127.0.0.1 for the agent tests: `git http-backend` as CGI behind a check
that every request carries the expected Authorization value. Answers 401 to any other request.

usage: git_https_server.py CERT KEY PROJECT_ROOT EXPECTED_AUTHORIZATION

Prints "url https://127.0.0.1:PORT" once it listens, then one line per request:
"METHOD PATH STATUS" and "auth=ok" or "auth=bad"."""
import os
import ssl
import subprocess
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

cert, key, root, expected = sys.argv[1:5]
backend = os.path.join(
    subprocess.run(["git", "--exec-path"], capture_output=True, text=True, check=True, timeout=30).stdout.strip(),
    "git-http-backend")


def log(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30  # per socket operation, so that no connection holds a thread for ever

    def log_message(self, *args):
        pass

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return body
                body += self.rfile.read(size)
                self.rfile.readline()
        return self.rfile.read(int(self.headers.get("Content-Length") or 0))

    def send(self, status, headers, body):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def serve(self):
        body = self.read_body()
        url = urlsplit(self.path)
        good = self.headers.get("Authorization") == expected
        if not good:
            status = 401
            self.send(status, [("Content-Type", "text/plain")], b"the secret did not arrive\n")
        else:
            env = {
                "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                "GIT_PROJECT_ROOT": root,
                "GIT_HTTP_EXPORT_ALL": "1",
                "REQUEST_METHOD": self.command,
                "PATH_INFO": url.path,
                "QUERY_STRING": url.query,
                "CONTENT_TYPE": self.headers.get("Content-Type", ""),
                "CONTENT_LENGTH": str(len(body)),
                "REMOTE_ADDR": self.client_address[0],
                "REMOTE_USER": "agent",
            }
            for name, value in self.headers.items():
                env["HTTP_" + name.upper().replace("-", "_")] = value
            out = subprocess.run([backend], input=body, env=env, capture_output=True, timeout=60).stdout
            head, _, payload = out.partition(b"\r\n\r\n")
            if not _:
                head, _, payload = out.partition(b"\n\n")
            status, headers = 200, []
            for line in head.decode("latin-1").splitlines():
                name, _, value = line.partition(":")
                if name.lower() == "status":
                    status = int(value.split()[0])
                elif name:
                    headers.append((name, value.strip()))
            self.send(status, headers, payload)
        log("%s %s %d auth=%s" % (self.command, url.path, status, "ok" if good else "bad"))

    do_GET = serve
    do_POST = serve


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
# The handshake runs in the request's thread, under its time-out, not in the accepting one.
server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
log("url https://127.0.0.1:%d" % server.server_address[1])
try:
    server.serve_forever()
except KeyboardInterrupt:
    pass
