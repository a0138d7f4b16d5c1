#!/usr/bin/env python3
"""Whole checks of the real program and its start-up, each beside a reference from the same run.

Lays out an installation in a fresh folder (the program copied into Program/, the products'
version files in "ORVEX Software Update" beside it, the product list in the common
application-data folder), serves every product's update information over HTTPS on 127.0.0.1,
none of them offering an update so no window opens, and prints one line per figure, each with
its goal and its ratio to its reference:
  - "not-due silent run": the program started at login when no check is due, beside a bare Qt
    application that starts and quits (time and peak resident memory);
  - "N products, loopback": a silent due run against nghttpd (ALPN "h2") on 127.0.0.1, beside
    curl fetching the same N addresses one after another in one process plus the bare start:
    the program's own cost, as a server that serves its connections at once sees it;
  - "100 products, loopback, HTTP/1.1 test server": the same against the Python test server, a
    figure without a goal. That server takes one request at a time whatever the number of
    connections (one interpreter lock), so on loopback the six connections of an HTTP/1.1 check
    only add their handshakes and the server's switching between them to what one connection
    one after another costs it;
  - "N products, 20 ms link, HTTP/2": the same from nghttpd (ALPN "h2") through a relay that
    puts the server a 20 ms round trip away, beside curl --http2 through the same relay;
  - "100 products, 20 ms link, HTTP/1.1 server": the same from the HTTP/1.1 test server,
    beside curl --http1.1;
  - "N products, peak memory": the largest peak resident memory of those checks.
A user meets every run, not the median: each check is run --runs times (11 unless told) and
its line gives the median and the slowest run, each against its goal, beside curl's median. It
also gives the program's processor time (user and system, median) and what of it each product
costs beyond a run that is not due. --only SUBSTRING runs the lines whose name holds it, and
--each prints every run's time, for a closer look at one figure.
"""
import argparse
import datetime
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

RTT_MS = 20
# The goals as factors of curl's median (plus the bare start where with_start), for a line:
# (products, figure, server, curl's options, factor, with_start, curl's runs). curl fetching a
# thousand addresses one after another over 20 ms takes 20 s a run, so its median there is of
# fewer runs; the program's runs are never fewer.
FIGURES = (
    (100, "loopback", "h2", ["--http2"], 1.5, True, None),
    (100, "loopback, HTTP/1.1 test server", "h1", [], None, True, None),
    (100, f"{RTT_MS} ms link, HTTP/2", "h2-relay", ["--http2"], 0.10, False, None),
    (100, f"{RTT_MS} ms link, HTTP/1.1 server", "h1-relay", ["--http1.1"], 0.25, False, None),
    (1000, "loopback", "h2", ["--http2"], 1.5, True, None),
    (1000, f"{RTT_MS} ms link, HTTP/2", "h2-relay", ["--http2"], 0.05, False, 3),
)


def julian_today():
    return datetime.date.today().toordinal() + 1721425


class Run:
    """One run: wall-clock seconds, peak resident memory in MiB, processor seconds."""

    def __init__(self, elapsed, usage):
        self.elapsed = elapsed
        self.peak = usage.ru_maxrss / 1024
        self.processor = usage.ru_utime + usage.ru_stime


def run(command, env, may_fail=False):
    """One run of command; None for a failed run that may fail."""
    start = time.perf_counter()
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        if may_fail:
            return None
        sys.exit(f"{command[0]} failed with {process.returncode}")
    return Run(elapsed, usage)


def median_ms(runs):
    return statistics.median(r.elapsed for r in runs) * 1000


def slowest_ms(runs):
    return max(r.elapsed for r in runs) * 1000


def processor_ms(runs):
    return statistics.median(r.processor for r in runs) * 1000


def peak_mib(runs):
    return max(r.peak for r in runs)


def start_helper(command):
    """A helper that prints its port first and ends when its standard input closes."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    port = process.stdout.readline().strip()
    if not port:
        sys.exit(f"{command[1]} did not start")
    return process, port


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--bare-qt", required=True, help="a Qt application that starts and quits")
    parser.add_argument("--server", required=True, help="server script")
    parser.add_argument("--relay", required=True, help="delay relay script")
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("--only", default="", help="only the lines whose name holds this")
    parser.add_argument("--each", action="store_true", help="print every run's time")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="orvex-check-bench-")
    helpers = []

    def start(*command):
        helper, port = start_helper([sys.executable, *command])
        helpers.append(helper)
        return port

    try:
        root = os.path.join(work, "root")
        program_dir = os.path.join(root, "Program")
        versions = os.path.join(root, "ORVEX Software Update")
        www, www_h2 = os.path.join(work, "www"), os.path.join(work, "www-h2")
        for folder in (program_dir, versions, www, www_h2, os.path.join(root, "ProgramData")):
            os.makedirs(folder)
        program = os.path.join(program_dir, "orvex-product-update")
        shutil.copy2(args.program, program)

        most = max(products for products, *_ in FIGURES)
        all_names = [f"P{n:04d}" for n in range(most)]
        for folder in (www, www_h2):
            for name in all_names:
                with open(os.path.join(folder, name + ".xml"), "w") as f:
                    f.write('<I Location="Server"><Product UpdateVersion="1.0.0.0"/></I>')

        # Each server makes its own CA; the program and curl trust both.
        server_port = start(args.server, "--quiet", "--tls", "--root", www)
        h2_port = start(args.server, "--tls", "--h2", "--root", www_h2)
        ports = {"h1": server_port, "h2": h2_port,
                 "h1-relay": start(args.relay, server_port, str(RTT_MS)),
                 "h2-relay": start(args.relay, h2_port, str(RTT_MS))}
        ca = os.path.join(work, "ca.pem")
        with open(ca, "w") as out:
            for folder in (www, www_h2):
                with open(os.path.join(folder, "ca.pem")) as source:
                    out.write(source.read())

        def serve(products, port, curl_options):
            """Lists products products, points each at port and returns curl's command for the
            same files."""
            names = all_names[:products]
            with open(os.path.join(root, "ProgramData", "productlist.xml"), "w") as f:
                f.write('<L Version="1.0.0.0">' +
                        "".join(f'<Product Name="Product {n}" BaseXml="{name}"/>'
                                for n, name in enumerate(names)) + "</L>")
            for name in os.listdir(versions):
                os.remove(os.path.join(versions, name))
            base = f"https://127.0.0.1:{port}/"
            for name in names:
                with open(os.path.join(versions, name + ".xml"), "w") as f:
                    f.write(f'<V><Product CurrentVersion="1.0.0.0" RemoteVersionFileURL="{base}" '
                            f'RemoteVersionFile="{name}.xml"/></V>')
            curl = ["curl", "-s", "--noproxy", "*", "--cacert", ca, *curl_options]
            for name in names:
                curl += ["-o", "/dev/null", base + name + ".xml"]
            return curl

        runtime = os.path.join(work, "run")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, ORVEX_ROOT=root, QT_QPA_PLATFORM="offscreen",
                   XDG_RUNTIME_DIR=runtime, SSL_CERT_FILE=ca)
        for name in ("http_proxy", "https_proxy", "all_proxy", "no_proxy"):
            env.pop(name, None)
        hive = os.path.join(root, "user.reg")
        recorded = f'"LastChecked"=dword:{julian_today():08x}'

        def due():
            if os.path.exists(hive):
                os.remove(hive)

        def not_due():
            with open(hive, "w") as f:
                f.write("Windows Registry Editor Version 5.00\n\n"
                        "[HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Product Update]\n"
                        f"{recorded}\n")

        def check():
            """A silent due run; None unless it recorded a successful check."""
            due()
            result = run([program, "-silent"], env, may_fail=True)
            if not os.path.exists(hive):
                return None
            with open(hive) as f:
                return result if recorded in f.read() else None

        def each(line, runs):
            if args.each:
                print(f"{line} runs: " + " ".join(f"{r.elapsed * 1000:.0f}" for r in runs) +
                      " ms")

        # One of each first, so that caches are warm for every measured run alike.
        serve(100, h2_port, [])
        not_due()
        run([program, "-silent"], env)
        run([args.bare_qt], env)
        start_up, bare = [], []
        for _ in range(3 * args.runs):
            start_up.append(run([program, "-silent"], env))
            bare.append(run([args.bare_qt], env))
        s, b = median_ms(start_up), median_ms(bare)
        extra = peak_mib(start_up) - peak_mib(bare)
        if args.only in "not-due silent run":
            print(f"not-due silent run: {s:.1f} ms, {peak_mib(start_up):.1f} MiB peak; bare Qt "
                  f"application: {b:.1f} ms, {peak_mib(bare):.1f} MiB; memory {extra:+.1f} MiB "
                  f"(goal: at most 1.2 x and 8 MiB more), ratio {s / b:.2f}")

        checks_of = {}
        for products, figure, server, curl_options, factor, with_start, curl_runs in FIGURES:
            line = f"{products} products, {figure}"
            if args.only not in line:
                continue
            curl = serve(products, ports[server], curl_options)
            checks, reference = [], []
            check()
            run(curl, env)
            for n in range(args.runs):
                checks.append(check())
                if curl_runs is None or n < curl_runs:
                    reference.append(run(curl, env))
            r = median_ms(reference)
            base = r + b if with_start else r
            goal = "none" if factor is None else (
                (f"at most {factor:.2f} x (curl + bare start)" if with_start
                 else f"at most {factor:.2f} x curl") + f" = {base * factor:.0f} ms")
            if None in checks:
                print(f"{line}: the silent due run failed to record a successful check in "
                      f"{checks.count(None)} of {len(checks)} runs; curl {r:.0f} ms (goal: {goal})")
                continue
            each(line, checks)
            checks_of.setdefault(products, []).extend(checks)
            c, w = median_ms(checks), slowest_ms(checks)
            own = (processor_ms(checks) - processor_ms(start_up)) / products
            print(f"{line}: silent due run {c:.0f} ms median, {w:.0f} ms slowest of "
                  f"{len(checks)}, {peak_mib(checks):.1f} MiB peak, processor "
                  f"{processor_ms(checks):.0f} ms ({own:.2f} ms a product beyond a not-due run); "
                  f"curl {r:.0f} ms, median of {len(reference)} (goal: {goal}), ratio "
                  f"{c / base:.2f} median, {w / base:.2f} slowest")
        for products, checks in sorted(checks_of.items()):
            print(f"{products} products, peak memory: {peak_mib(checks):.1f} MiB "
                  f"(goal: under 64 MiB), ratio {peak_mib(checks) / 64:.2f}")
    finally:
        for helper in helpers:
            helper.stdin.close()
            helper.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
