#!/usr/bin/env python3
"""HTTP(S) server for the network tests, bound to 127.0.0.1 on a free port.

Serves the files under --root like any web server and adds the few answers that a real
server cannot be made to give on purpose:
  /__truncated        announces 5000 bytes, sends 1000 and closes
  /__stall            announces 5000 bytes, sends 1000 and then nothing until the client leaves
  /__nolength         3000 bytes without Content-Length, ended by closing the connection
  /__redirect?to=URL  302 to URL
  /__gzip/NAME        NAME gzip-compressed, with Content-Encoding: gzip whether asked for or not
  /__hang             accepts the request and answers nothing until the client leaves
  /__401              401 with a Basic challenge, as a server that wants its own login
  /__500              500, as a server whose script failed
  /__viaproxy/NAME    NAME when the request came through a proxy (it carries Via), otherwise
                      the 407 that a transparent proxy in front of the server would give
  /__close/NAME       NAME, then the connection closes without a word, as a server whose
                      keep-alive time ran out closes it
  /__huge?length=N    bytes as fast as the client takes them until it leaves, announcing N of
                      them (no length when N is left out)
  /__trickle?every=S  announces 100 bytes and sends one every S seconds
  /__slowsig/NAME     NAME, and for a NAME ending in ".minisig" the trickle of one byte a second
With --tls it serves HTTPS with a certificate for 127.0.0.1 and localhost, signed by a CA
that it first makes with the openssl tool and leaves as ca.pem in the root folder; with
--handshake-delay SECONDS as well, it accepts each connection at once but begins the TLS
handshake only that long after, as a slow proxy or server does. With --cert KIND as well,
the server's certificate is one a client must refuse although it trusts ca.pem: "expired"
(signed by the CA, valid through 2020-01-31 only), "wrong-name" (signed by the CA for
other.example) or "self-signed" (for 127.0.0.1, signed by nobody but itself).
With --tinyproxy USER:PASSWORD it starts tinyproxy with BasicAuth instead, logging to
tinyproxy.log in the root folder, and prints its port once it accepts connections. With
--squid USER:PASSWORD it starts squid likewise, with basic_ncsa_auth over a password file made
for it; squid's files (its configuration, access.log, cache.log) are in the squid folder of the
root folder. With --digest as well, squid offers Digest authentication first and Basic second,
and its access log ends each line with the request's Proxy-Authorization header, URL-encoded
("-" when there was none); --squid-log-auth logs that header with Basic alone too. With
--squid-open squid lets every request from 127.0.0.1 through without a login, as a proxy that
a proxy script names often does. With --squid-hosts NAME,... as well, squid resolves those names to
127.0.0.1 from a hosts file of its own, as a company's proxy resolves names that its clients
cannot.
With --h2 as well as --tls it starts nghttpd instead (Debian package nghttp2-server), serving
the root folder over TLS with ALPN "h2" only, and prints its port once it listens; nghttpd's
verbose output goes to h2.log in the root folder, where every line about a frame starts with
"[id=<connection>]" and names its stream: a request shows as
"[id=1] [  0.012] recv (stream_id=3) :path: /x.xml" (seconds since nghttpd started), its end
as "stream_id=3 closed".
With --hold-ms N every answer waits N ms before it is sent, so that requests a client makes
at once are in flight together. The plain server then adds " busy=<k>" before conn= on each
request line, k counting the requests being answered at that moment, this one included. With
--h2 the answers pass through a relay of this script that holds what nghttpd sends N ms: a
client that waits for each answer before the next request makes no two requests within N ms.

Prints the port on the first line of standard output, then one line per request:
"<method> <path> auth=<0|1> conn=<n>", auth telling whether Proxy-Authorization was sent and
n numbering the connections in the order they were accepted, from 1.
Ends when standard input closes, so it never outlives the test that started it.
"""
import argparse
import ctypes
import gzip
import http.server
import os
import pwd
import queue
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

RECORD_LOCK = threading.Lock()


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body leave in separate writes; without this a client that keeps the
    # connection waits for the delayed acknowledgement of the first before the second comes.
    disable_nagle_algorithm = True
    quiet = False
    handshake_delay = 0
    connections = 0
    connections_lock = threading.Lock()
    hold = 0  # seconds each answer waits, from --hold-ms
    busy = 0  # requests being answered now

    def setup(self):
        with Handler.connections_lock:
            Handler.connections += 1
            self.connection_number = Handler.connections
        # The handshake runs in this connection's own thread, so that a slow or silent client
        # holds up no other: connections made at once are set up at once, as by a real server.
        if isinstance(self.request, ssl.SSLSocket):
            time.sleep(self.handshake_delay)
            self.request.do_handshake()
        super().setup()

    def log_message(self, format, *args):
        pass

    def record(self, busy=None):
        if self.quiet:
            return
        auth = 1 if self.headers.get("Proxy-Authorization") else 0
        busy = "" if busy is None else f" busy={busy}"
        # One write per line: requests on several connections are served at once.
        with RECORD_LOCK:
            sys.stdout.write(f"{self.command} {self.path} auth={auth}{busy} "
                             f"conn={self.connection_number}\n")
            sys.stdout.flush()

    def challenge(self, status, header):
        body = b"authentication required"
        self.send_response(status)
        self.send_header(header, 'Basic realm="orvex-test"')
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


    def do_CONNECT(self):
        self.record()
        self.send_error(405)

    def do_GET(self):
        if not self.hold:
            self.record()
            self.answer()
            return
        with Handler.connections_lock:
            Handler.busy += 1
            busy = Handler.busy
        try:
            self.record(busy)
            time.sleep(self.hold)
            self.answer()
        finally:
            with Handler.connections_lock:
                Handler.busy -= 1

    def answer(self):
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
        elif url.path.startswith("/__gzip/"):
            self.send_gzipped(url.path[len("/__gzip/"):])
        elif url.path.startswith("/__close/"):
            self.path = url.path[len("/__close"):]
            super().do_GET()
            self.close_connection = True
        elif url.path == "/__huge":
            self.send_endless(urllib.parse.parse_qs(url.query).get("length", [None])[0])
        elif url.path == "/__trickle":
            self.trickle(float(urllib.parse.parse_qs(url.query).get("every", ["1"])[0]))
        elif url.path.startswith("/__slowsig/"):
            if url.path.endswith(".minisig"):
                self.trickle(1)
            else:
                self.path = url.path[len("/__slowsig"):]
                super().do_GET()
        elif url.path == "/__hang":
            self.wait_for_client_to_leave()
        elif url.path == "/__401":
            self.challenge(401, "WWW-Authenticate")
        elif url.path == "/__500":
            self.send_error(500)
        elif url.path.startswith("/__viaproxy/"):
            if self.headers.get("Via"):
                self.path = url.path[len("/__viaproxy"):]
                super().do_GET()
            else:
                self.challenge(407, "Proxy-Authenticate")
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
            self.wait_for_client_to_leave()
        self.close_connection = True

    def send_endless(self, length):
        self.send_response(200)
        if length:
            self.send_header("Content-Length", length)
        self.send_header("Connection", "close")
        self.end_headers()
        chunk = b"h" * 65536
        try:
            while True:
                self.wfile.write(chunk)
        except OSError:
            pass
        self.close_connection = True

    def trickle(self, every):
        self.send_response(200)
        self.send_header("Content-Length", "100")
        self.end_headers()
        try:
            for _ in range(100):
                self.wfile.write(b"t")
                self.wfile.flush()
                time.sleep(every)
        except OSError:
            pass
        self.close_connection = True

    def wait_for_client_to_leave(self):
        # Held until the client gives up and closes its end, for ten minutes at most: a client
        # without a stall limit hangs here, and the test's time limit fails it.
        select.select([self.connection], [], [], 600)
        self.close_connection = True

    def send_gzipped(self, name):
        # As a server configured to serve precompressed files sends them: whatever the client
        # said it accepts, and with the length of the compressed body.
        try:
            with open(os.path.join(self.directory, name), "rb") as source:
                body = gzip.compress(source.read())
        except OSError:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "text/xml")
        self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def make_certificates(folder, kind=None):
    """ca.pem and server.pem/server.key signed by it, or the certificate of the --cert kind;
    short-lived EC keys, quick to make."""

    def openssl(*args):
        result = subprocess.run(["openssl", *args], cwd=folder, capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit(result.stderr)

    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=ORVEX Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    names = "DNS:other.example" if kind == "wrong-name" else "IP:127.0.0.1,DNS:localhost"
    with open(os.path.join(folder, "server.ext"), "w") as ext:
        ext.write(f"subjectAltName={names}\nextendedKeyUsage=serverAuth\n")
    if kind == "self-signed":
        openssl("req", "-x509", *key, "-keyout", "server.key", "-out", "server.pem", "-days", "2",
                "-subj", "/CN=localhost", "-addext", "subjectAltName=" + names)
    elif kind == "expired":
        make_expired_certificate(folder)
    else:
        openssl("req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj",
                "/CN=localhost")
        openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext")
    return os.path.join(folder, "server.pem"), os.path.join(folder, "server.key")


def make_expired_certificate(folder):
    """server.pem/server.key signed by the CA and valid in January 2020 only: the openssl tool
    of Debian 12 signs from now on, so the dates are set with python3-cryptography."""
    import datetime
    import ipaddress
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    def read(name):
        with open(os.path.join(folder, name), "rb") as source:
            return source.read()

    ca = x509.load_pem_x509_certificate(read("ca.pem"))
    ca_key = serialization.load_pem_private_key(read("ca.key"), None)
    key = ec.generate_private_key(ec.SECP256R1())
    certificate = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")]))
        .issuer_name(ca.subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(datetime.datetime(2020, 1, 1))
        .not_valid_after(datetime.datetime(2020, 1, 31, 23, 59, 59))
        .add_extension(x509.SubjectAlternativeName(
            [x509.IPAddress(ipaddress.ip_address("127.0.0.1")), x509.DNSName("localhost")]),
            critical=False)
        .sign(ca_key, hashes.SHA256()))
    with open(os.path.join(folder, "server.pem"), "wb") as out:
        out.write(certificate.public_bytes(serialization.Encoding.PEM))
    with open(os.path.join(folder, "server.key"), "wb") as out:
        out.write(key.private_bytes(serialization.Encoding.PEM,
                                    serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption()))


def start_tinyproxy(root, credentials):
    """tinyproxy on a free port of 127.0.0.1; returns the process and the port."""
    port = free_port()
    user, password = credentials.split(":", 1)
    config = os.path.join(root, "tinyproxy.conf")
    with open(config, "w") as out:
        out.write(f"Port {port}\nListen 127.0.0.1\nTimeout 30\nMaxClients 50\n"
                  f"Allow 127.0.0.1\nDisableViaHeader Yes\nLogLevel Connect\n"
                  f'LogFile "{os.path.join(root, "tinyproxy.log")}"\n'
                  f"BasicAuth {user} {password}\n")
    # Dies with this script, however it ends.
    proxy = subprocess.Popen(["tinyproxy", "-d", "-c", config], preexec_fn=die_with_parent)
    wait_for_port(proxy, port, "tinyproxy")
    return proxy, port


def free_port():
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port


def wait_for_port(process, port, name):
    """Returns once process accepts connections on port; ends the script when it cannot."""
    deadline = time.monotonic() + 15
    while process.poll() is None and time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.02)
    process.kill()
    sys.exit(f"{name} did not start")


def die_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def start_squid(root, credentials, digest=False, names=(), open_=False, log_auth=False):
    """squid with basic authentication (digest too when asked) on a free port of 127.0.0.1,
    without disk cache or DNS, resolving names to 127.0.0.1 (any other name fails within a
    second, and a server that keeps silent for 3 s gets a 504) and refusing blocked.example
    with a 403; returns the process and the port."""
    port = free_port()
    user, password = credentials.split(":", 1)
    folder = os.path.join(root, "squid")
    os.mkdir(folder)
    hashed = subprocess.run(["openssl", "passwd", "-apr1", "-stdin"], input=password,
                            capture_output=True, text=True, check=True).stdout.strip()
    with open(os.path.join(folder, "passwd"), "w") as out:
        out.write(f"{user}:{hashed}\n")
    # A proxy lists its schemes in the order of its configuration; the strongest comes first.
    schemes = ""
    log = f"access_log stdio:{folder}/access.log"
    if digest or log_auth:
        log = ("logformat orvex %ts.%03tu %6tr %>a %Ss/%03>Hs %<st %rm %ru %[un %Sh/%<a %mt"
               " %#{Proxy-Authorization}>h\n" + log + " orvex")
    if digest:
        with open(os.path.join(folder, "digest"), "w") as out:
            out.write(f"{user}:{password}\n")
        schemes = f"""auth_param digest program /usr/lib/squid/digest_file_auth {folder}/digest
auth_param digest children 2 startup=1
auth_param digest realm orvex-test
"""
    with open(os.path.join(folder, "hosts"), "w") as out:
        out.write("127.0.0.1 localhost\n" + "".join(f"127.0.0.1 {name}\n" for name in names))
    with open(os.path.join(folder, "squid.conf"), "w") as out:
        out.write(f"""http_port 127.0.0.1:{port}
hosts_file {folder}/hosts
visible_hostname orvex-test
pid_filename {folder}/squid.pid
cache_log {folder}/cache.log
{log}
buffered_logs off
cache_store_log none
coredump_dir {folder}
netdb_filename none
pinger_enable off
dns_nameservers 127.0.0.1
dns_timeout 1 seconds
dns_retransmit_interval 200 milliseconds
read_timeout 3 seconds
cache deny all
cache_mem 4 MB
shutdown_lifetime 0 seconds
{schemes}auth_param basic program /usr/lib/squid/basic_ncsa_auth {folder}/passwd
auth_param basic children 2 startup=1
auth_param basic realm orvex-test
acl authenticated proxy_auth REQUIRED
acl blocked dstdomain blocked.example
http_access deny blocked
http_access allow localhost {"" if open_ else "authenticated"}
http_access deny all
""")
    # Squid run by root switches to an unprivileged user, and that switch would clear the
    # parent-death signal; so the switch is made here, before the signal is set, and squid
    # itself never changes user.
    account = None
    if os.geteuid() == 0:
        try:
            account = pwd.getpwnam("proxy")
        except KeyError:
            account = pwd.getpwnam("nobody")
        os.chmod(root, 0o711)
        for name in ("", "passwd", "squid.conf", "hosts") + (("digest",) if digest else ()):
            os.chown(os.path.join(folder, name), account.pw_uid, account.pw_gid)

    def become_squid_user():
        if account:
            os.setgroups([])
            os.setgid(account.pw_gid)
            os.setuid(account.pw_uid)
        die_with_parent()

    # A service name of its own keeps parallel test runs apart.
    squid = shutil.which("squid", path=os.environ.get("PATH", "") + os.pathsep + "/usr/sbin")
    if not squid:
        sys.exit("squid is not installed (Debian package squid)")
    proxy = subprocess.Popen([squid, "-N", "-n", f"orvex{port}", "-f",
                              os.path.join(folder, "squid.conf")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             preexec_fn=become_squid_user)
    wait_for_port(proxy, port, "squid")
    return proxy, port


def start_nghttpd(root, kind=None):
    """nghttpd serving root over TLS on a free port of 127.0.0.1, logging every frame to h2.log;
    returns the process and the port."""
    nghttpd = shutil.which("nghttpd", path=os.environ.get("PATH", "") + os.pathsep + "/usr/sbin")
    if not nghttpd:
        sys.exit("nghttpd is not installed (Debian package nghttp2-server)")
    certificate, key = make_certificates(root, kind)
    port = free_port()
    log_path = os.path.join(root, "h2.log")
    with open(log_path, "wb") as log:
        server = subprocess.Popen([nghttpd, "-v", "-a", "127.0.0.1", "-d", root, str(port), key,
                                   certificate], stdout=log, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
    # It says so once it listens; a probe connection instead would show in the log as one of
    # the client's.
    deadline = time.monotonic() + 15
    while server.poll() is None and time.monotonic() < deadline:
        with open(log_path, "rb") as log:
            if f"listen 127.0.0.1:{port}".encode() in log.read():
                return server, port
        time.sleep(0.02)
    server.kill()
    sys.exit("nghttpd did not start")


def hold_answers(target_port, hold):
    """Listens on a free port of 127.0.0.1 and passes every connection on to target_port, each
    piece of the answer hold seconds late; returns the port."""
    listener = socket.create_server(("127.0.0.1", 0))

    def copy(source, target, delay):
        pieces = queue.Queue()

        def send():
            try:
                while True:
                    due, data = pieces.get()
                    time.sleep(max(0, due - time.monotonic()))
                    if not data:
                        target.shutdown(socket.SHUT_WR)
                        return
                    target.sendall(data)
            except OSError:
                pass

        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        data = b"-"
        while data:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            pieces.put((time.monotonic() + delay, data))
        sender.join()

    def pass_on(client):
        with client, socket.create_connection(("127.0.0.1", target_port)) as server:
            for end in (client, server):
                end.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            requests = threading.Thread(target=copy, args=(client, server, 0), daemon=True)
            requests.start()
            copy(server, client, hold)
            requests.join()

    def accept():
        while True:
            threading.Thread(target=pass_on, args=(listener.accept()[0],), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=".")
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--handshake-delay", type=float, default=0, metavar="SECONDS")
    parser.add_argument("--cert", choices=["expired", "wrong-name", "self-signed"])
    parser.add_argument("--tinyproxy", metavar="USER:PASSWORD")
    parser.add_argument("--squid", metavar="USER:PASSWORD")
    parser.add_argument("--digest", action="store_true")
    parser.add_argument("--squid-open", action="store_true")
    parser.add_argument("--squid-log-auth", action="store_true")
    parser.add_argument("--squid-hosts", default="", metavar="NAME,...")
    parser.add_argument("--h2", action="store_true", help="nghttpd instead, with --tls")
    parser.add_argument("--hold-ms", type=int, default=0, metavar="N")
    parser.add_argument("--quiet", action="store_true", help="print only the port")
    args = parser.parse_args()
    if args.h2 and not args.tls:
        parser.error("--h2 serves over TLS only; give --tls as well")

    if args.tinyproxy or args.squid or args.h2:
        root = os.path.abspath(args.root)
        if args.h2:
            proxy, port = start_nghttpd(root, args.cert)
            if args.hold_ms:
                port = hold_answers(port, args.hold_ms / 1000)
        elif args.squid:
            proxy, port = start_squid(root, args.squid, args.digest,
                                      [name for name in args.squid_hosts.split(",") if name],
                                      args.squid_open, args.squid_log_auth)
        else:
            proxy, port = start_tinyproxy(root, args.tinyproxy)
        print(port, flush=True)
        # Stopped by SIGTERM or by standard input closing; either way the proxy is reaped.
        signal.signal(signal.SIGTERM, lambda *_: sys.exit())
        try:
            sys.stdin.read()
        finally:
            proxy.kill()
            proxy.wait()
        return

    Handler.quiet = args.quiet
    Handler.hold = args.hold_ms / 1000
    root = os.path.abspath(args.root)

    def make_handler(*a, **kw):
        return Handler(*a, directory=root, **kw)

    class Server(http.server.ThreadingHTTPServer):
        # A queue of waiting connections as real servers keep (nginx and Apache 511): with
        # the library's 5, a client that opens eight at once saw one dropped and sent again
        # only after TCP's one-second wait, which no real server would make it do.
        request_queue_size = 128

    server = Server(("127.0.0.1", 0), make_handler)
    # A client that leaves in the middle of a body (as a download over its limit does) or
    # refuses the certificate is no error of the server's worth a traceback.
    default_handle_error = server.handle_error
    server.handle_error = lambda request, address: (
        None if isinstance(sys.exc_info()[1],
                           (BrokenPipeError, ConnectionResetError, ssl.SSLError))
        else default_handle_error(request, address))
    server.daemon_threads = True
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*make_certificates(root, args.cert))
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
        Handler.handshake_delay = args.handshake_delay
    print(server.server_address[1], flush=True)

    def watch_stdin():
        sys.stdin.read()
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
