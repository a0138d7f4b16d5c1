#!/usr/bin/env python3
"""A whole check of the real program beside curl, printed one line per figure.

Lays out an installation in a fresh folder (the program copied into Program/, 100 software
products whose version files sit in "ORVEX Software Update" beside it, the product list in the
common application-data folder), serves every product's update information from the test
server on 127.0.0.1, none of them offering an update so no window opens, and measures:
  - the not-due silent run (the program's start-up and schedule check, nothing fetched);
  - the due silent run, which fetches and reads all 100 documents;
  - curl fetching the same 100 addresses in one process.
Each figure is the median of several runs; the peak resident memory is the largest any run
of the program reached.
"""
import argparse
import datetime
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PRODUCTS = 100


def julian_today():
    return datetime.date.today().toordinal() + 1721425


def timed(command, env):
    start = time.perf_counter()
    subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--server", required=True, help="server script")
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="orvex-check-bench-")
    server = None
    try:
        root = os.path.join(work, "root")
        program_dir = os.path.join(root, "Program")
        versions = os.path.join(root, "ORVEX Software Update")
        www = os.path.join(work, "www")
        for folder in (program_dir, versions, www, os.path.join(root, "ProgramData")):
            os.makedirs(folder)
        program = os.path.join(program_dir, "orvex-product-update")
        shutil.copy2(args.program, program)

        server = subprocess.Popen(
            [sys.executable, args.server, "--quiet", "--root", www],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        base = f"http://127.0.0.1:{server.stdout.readline().strip()}/"

        items = []
        urls = []
        for n in range(PRODUCTS):
            name = f"P{n:03d}"
            with open(os.path.join(versions, name + ".xml"), "w") as f:
                f.write(f'<V><Product CurrentVersion="1.0.0.0" RemoteVersionFileURL="{base}" '
                        f'RemoteVersionFile="{name}.xml"/></V>')
            with open(os.path.join(www, name + ".xml"), "w") as f:
                f.write('<I Location="Server"><Product UpdateVersion="1.0.0.0"/></I>')
            items.append(f'<Product Name="Product {n}" BaseXml="{name}"/>')
            urls.append(base + name + ".xml")
        with open(os.path.join(root, "ProgramData", "productlist.xml"), "w") as f:
            f.write('<L Version="1.0.0.0">' + "".join(items) + "</L>")

        runtime = os.path.join(work, "run")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, ORVEX_ROOT=root, QT_QPA_PLATFORM="offscreen",
                   XDG_RUNTIME_DIR=runtime)
        for name in ("http_proxy", "https_proxy", "all_proxy", "no_proxy"):
            env.pop(name, None)
        hive = os.path.join(root, "user.reg")
        key = "[HKEY_CURRENT_USER\\Software\\ORVEX Technologies\\Product Update]\n"

        def due():
            if os.path.exists(hive):
                os.remove(hive)

        def not_due():
            with open(hive, "w") as f:
                f.write("Windows Registry Editor Version 5.00\n\n" + key +
                        f'"LastChecked"=dword:{julian_today():08x}\n')

        curl = ["curl", "-s", "--noproxy", "*"]
        for url in urls:
            curl += ["-o", "/dev/null", url]

        # One of each first, so that caches are warm for every measured run alike.
        due()
        timed([program, "-silent"], env)
        with open(hive) as f:
            if f'"LastChecked"=dword:{julian_today():08x}' not in f.read():
                sys.exit("the due run did not record a successful check")
        timed(curl, env)

        start_up, check, reference = [], [], []
        for _ in range(args.runs):
            not_due()
            start_up.append(timed([program, "-silent"], env))
            due()
            check.append(timed([program, "-silent"], env))
            reference.append(timed(curl, env))
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024

        s, c, r = (statistics.median(v) * 1000 for v in (start_up, check, reference))
        print(f"not-due silent run: {s:.0f} ms")
        print(f"{PRODUCTS} products, silent due run: {c:.0f} ms, curl: {r:.0f} ms, "
              f"ratio {c / r:.2f} (goal: at most 2 x curl + start-up = {2 * r + s:.0f} ms)")
        print(f"{PRODUCTS} products, peak resident memory of a run: {peak:.1f} MiB")
    finally:
        if server:
            server.stdin.close()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
