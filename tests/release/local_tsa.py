"""A time-stamp authority on 127.0.0.1 for the release tests: RFC 3161 requests over HTTP,
answered by `openssl ts -reply` with the throwaway certificate of make_inputs.sh.

    with LocalTsa("inputs/tsa.cnf") as url:
        ...  # sign with -ts url
"""
import http.server
import os
import subprocess
import tempfile
import threading

REPLY_CONTENT_TYPE = "application/timestamp-reply"
OPENSSL_TIMEOUT_S = 30


class _Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with tempfile.TemporaryDirectory() as work:
            query_path, reply_path = os.path.join(work, "query.tsq"), os.path.join(work, "reply.tsr")
            with open(query_path, "wb") as f:
                f.write(query)
            run = subprocess.run(["openssl", "ts", "-reply", "-config", self.server.config, "-queryfile", query_path,
                                  "-out", reply_path], capture_output=True, timeout=OPENSSL_TIMEOUT_S)
            if run.returncode != 0:
                self.server.errors.append(run.stderr.decode(errors="replace"))
                self.send_error(500)
                return
            with open(reply_path, "rb") as f:
                reply = f.read()
        self.server.replies += 1
        self.send_response(200)
        self.send_header("Content-Type", REPLY_CONTENT_TYPE)
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


class LocalTsa:
    def __init__(self, config):
        self.server = http.server.HTTPServer(("127.0.0.1", 0), _Handler)
        self.server.config = os.path.abspath(config)
        self.server.errors = []
        self.server.replies = 0
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    @property
    def replies(self):
        return self.server.replies

    @property
    def errors(self):
        return self.server.errors

    def __enter__(self):
        self.thread.start()
        return f"http://127.0.0.1:{self.server.server_address[1]}/"

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()
