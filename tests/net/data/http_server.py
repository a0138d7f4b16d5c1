#!/usr/bin/env python3
"""HTTP(S) server for the network tests, bound to 127.0.0.1 on a free port.

Serves the files under --root like any web server and adds the few answers that a real
server cannot be made to give on purpose:
  /__truncated        announces 5000 bytes, sends 1000 and closes
  /__stall            announces 5000 bytes, sends 1000 and then nothing until the client leaves
  /__nolength         3000 bytes without Content-Length, ended by closing the connection
  /__redirect?to=URL  302 to URL
With --tls it serves HTTPS with a certificate for 127.0.0.1 and localhost, signed by a CA
that it first makes with the openssl tool and leaves as ca.pem in the root folder.
With --mode proxy407 it is instead a proxy that demands credentials and refuses whatever
it is given, for plain requests and CONNECT alike. With --tinyproxy USER:PASSWORD it starts
tinyproxy with BasicAuth instead, logging to tinyproxy.log in the root folder, and prints its
port once it accepts connections.

Prints the port on the first line of standard output, then one line per request:
"<method> <path> auth=<0|1>", auth telling whether Proxy-Authorization was sent.
Ends when standard input closes, so it never outlives the test that started it.
"""
import argparse
import ctypes
import http.server
import os
import select
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body leave in separate writes; without this a client that keeps the
    # connection waits for the delayed acknowledgement of the first before the second comes.
    disable_nagle_algorithm = True
    mode = "files"
    quiet = False

    def log_message(self, format, *args):
        pass

    def record(self):
        if self.quiet:
            return
        auth = 1 if self.headers.get("Proxy-Authorization") else 0
        print(f"{self.command} {self.path} auth={auth}", flush=True)

    def refuse_proxy(self):
        body = b"proxy authentication required"
        self.send_response(407)
        self.send_header("Proxy-Authenticate", 'Basic realm="orvex-test"')
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_CONNECT(self):
        self.record()
        if self.mode == "proxy407":
            self.refuse_proxy()
        else:
            self.send_error(405)

    def do_GET(self):
        self.record()
        if self.mode == "proxy407":
            self.refuse_proxy()
            return
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/__truncated":
            self.partial_body(stall=False)
        elif url.path == "/__stall":
            self.partial_body(stall=True)
        elif url.path == "/__nolength":
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(b"n" * 3000)
            self.close_connection = True
        elif url.path == "/__redirect":
            target = urllib.parse.parse_qs(url.query).get("to", [""])[0]
            self.send_response(302)
            self.send_header("Location", target)
            self.send_header("Content-Length", "0")
            self.end_headers()
        else:
            super().do_GET()

    def partial_body(self, stall):
        self.send_response(200)
        self.send_header("Content-Length", "5000")
        self.end_headers()
        self.wfile.write(b"p" * 1000)
        self.wfile.flush()
        if stall:
            # Held until the client gives up and closes its end, for ten minutes at most:
            # a client without a stall limit hangs here, and the test's time limit fails it.
            select.select([self.connection], [], [], 600)
        self.close_connection = True


def make_certificates(folder):
    """ca.pem and server.pem/server.key signed by it; short-lived EC keys, quick to make."""

    def openssl(*args):
        result = subprocess.run(["openssl", *args], cwd=folder, capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit(result.stderr)

    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=ORVEX Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    with open(os.path.join(folder, "server.ext"), "w") as ext:
        ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext")
    return os.path.join(folder, "server.pem"), os.path.join(folder, "server.key")


def start_tinyproxy(root, credentials):
    """tinyproxy on a free port of 127.0.0.1; returns the process and the port."""
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    user, password = credentials.split(":", 1)
    config = os.path.join(root, "tinyproxy.conf")
    with open(config, "w") as out:
        out.write(f"Port {port}\nListen 127.0.0.1\nTimeout 30\nMaxClients 50\n"
                  f"Allow 127.0.0.1\nDisableViaHeader Yes\nLogLevel Connect\n"
                  f'LogFile "{os.path.join(root, "tinyproxy.log")}"\n'
                  f"BasicAuth {user} {password}\n")
    libc = ctypes.CDLL(None)
    # Dies with this script, however it ends.
    proxy = subprocess.Popen(["tinyproxy", "-d", "-c", config],
                             preexec_fn=lambda: libc.prctl(1, signal.SIGKILL))
    deadline = time.monotonic() + 10
    while proxy.poll() is None and time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proxy, port
        except OSError:
            time.sleep(0.02)
    proxy.kill()
    sys.exit("tinyproxy did not start")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=".")
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--mode", choices=["files", "proxy407"], default="files")
    parser.add_argument("--tinyproxy", metavar="USER:PASSWORD")
    parser.add_argument("--quiet", action="store_true", help="print only the port")
    args = parser.parse_args()

    if args.tinyproxy:
        proxy, port = start_tinyproxy(os.path.abspath(args.root), args.tinyproxy)
        print(port, flush=True)
        # Stopped by SIGTERM or by standard input closing; either way tinyproxy is reaped.
        signal.signal(signal.SIGTERM, lambda *_: sys.exit())
        try:
            sys.stdin.read()
        finally:
            proxy.kill()
            proxy.wait()
        return

    Handler.mode = args.mode
    Handler.quiet = args.quiet
    root = os.path.abspath(args.root)

    def make_handler(*a, **kw):
        return Handler(*a, directory=root, **kw)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), make_handler)
    server.daemon_threads = True
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*make_certificates(root))
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)

    def watch_stdin():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
