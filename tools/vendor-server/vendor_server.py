#!/usr/bin/env python3
"""Local stand-in for the vendor's web server.

Serves ROOT/version.txt as /Software/Nembral/version.txt and ROOT/nembral.zip as
/Software/Nembral/nembral.zip over https on a loopback address, with a throw-away CA and a
certificate for localhost / 127.0.0.1 / ::1 made with the openssl command on first use.
Test-only options inject faults (error status, cut or stalled body, slow rate) into all or the
first K requests. See README.md beside this file.
"""

import argparse
import fcntl
import http.server
import ipaddress
import os
import pathlib
import re
import select
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

FILES = {
    "/Software/Nembral/version.txt": ("version.txt", "text/plain"),
    "/Software/Nembral/nembral.zip": ("nembral.zip", "application/zip"),
}
CHUNK = 1 << 20
REDIRECT_ROUTE = re.compile(r"/redirect/(\d+)(/.*)")


def run_openssl(args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def ensure_certificates(state_dir: pathlib.Path):
    """Returns (ca.pem, server.pem, server.key), making them once per state directory."""
    state_dir.mkdir(parents=True, exist_ok=True, mode=0o700)
    ca, cert, key = state_dir / "ca.pem", state_dir / "server.pem", state_dir / "server.key"
    # Several servers (parallel tests) may share a state directory: one makes, the others wait.
    with open(state_dir / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if ca.exists() and cert.exists() and key.exists():
            return ca, cert, key
        curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        run_openssl(["req", "-x509", *curve, "-keyout", "ca.key", "-out", "ca.tmp", "-days", "3650",
                     "-subj", "/CN=Nembral vendor-server throw-away CA",
                     "-addext", "basicConstraints=critical,CA:TRUE",
                     "-addext", "keyUsage=critical,keyCertSign,cRLSign"], state_dir)
        run_openssl(["req", "-new", *curve, "-keyout", "server.key", "-out", "server.csr",
                     "-subj", "/CN=localhost"], state_dir)
        (state_dir / "server.ext").write_text(
            "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n"
            "basicConstraints=CA:FALSE\n"
            "keyUsage=critical,digitalSignature\n"
            "extendedKeyUsage=serverAuth\n")
        run_openssl(["x509", "-req", "-in", "server.csr", "-CA", "ca.tmp", "-CAkey", "ca.key",
                     "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-days", "825",
                     "-out", "server.pem", "-extfile", "server.ext"], state_dir)
        (state_dir / "ca.tmp").rename(ca)
        return ca, cert, key


class Faults:
    def __init__(self, opts):
        self.status = opts.status
        self.cut_after = opts.cut_after
        self.stall_after = opts.stall_after
        self.rate = opts.rate
        self.faulty_requests = opts.faulty_requests
        self.lock = threading.Lock()
        self.count = 0

    def next_request_is_faulty(self):
        with self.lock:
            self.count += 1
            return self.faulty_requests is None or self.count <= self.faulty_requests


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "NembralVendor/1.0"

    def log_message(self, fmt, *args):
        if not self.server.quiet:
            super().log_message(fmt, *args)

    def do_HEAD(self):
        self.answer(send_body=False)

    def do_GET(self):
        self.answer(send_body=True)

    def answer(self, send_body):
        faults = self.server.faults
        faulty = faults.next_request_is_faulty()
        path = urllib.parse.urlsplit(self.path).path

        redirect = REDIRECT_ROUTE.fullmatch(path)
        if redirect:
            hops, rest = int(redirect.group(1)), redirect.group(2)
            self.send_response(302)
            self.send_header("Location", rest if hops == 0 else f"/redirect/{hops - 1}{rest}")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return

        if faulty and faults.status is not None:
            self.send_small(faults.status, f"status {faults.status} (injected)\n", send_body)
            return

        entry = FILES.get(path)
        file = self.server.root / entry[0] if entry else None
        if file is None or not file.is_file():
            self.send_small(404, "not found\n", send_body)
            return

        size = file.stat().st_size
        self.send_response(200)
        self.send_header("Content-Type", entry[1])
        self.send_header("Content-Length", str(size))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if send_body:
            self.send_file(file, faults if faulty else None)

    def send_small(self, status, text, send_body):
        body = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def send_file(self, file, faults):
        stop_at = None
        if faults is not None:
            limits = [n for n in (faults.cut_after, faults.stall_after) if n is not None]
            stop_at = min(limits) if limits else None
        rate = faults.rate if faults is not None else None
        buffer = bytearray(CHUNK if rate is None else max(1, min(CHUNK, rate // 10)))
        view = memoryview(buffer)
        sent = 0
        started = time.monotonic()
        with open(file, "rb", buffering=0) as f:
            while True:
                want = len(buffer) if stop_at is None else min(len(buffer), stop_at - sent)
                if want <= 0:
                    break
                n = f.readinto(view[:want])
                if not n:
                    break
                self.wfile.write(view[:n])
                sent += n
                if rate is not None:
                    ahead = sent / rate - (time.monotonic() - started)
                    if ahead > 0:
                        time.sleep(ahead)
        if stop_at is None or sent < stop_at:
            return
        self.close_connection = True
        if faults.stall_after is not None and stop_at == faults.stall_after and (
                faults.cut_after is None or faults.stall_after < faults.cut_after):
            self.stall()
        # Cut (or end of a stall): drop the connection without sending the rest.
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def stall(self):
        """Keeps the connection open without sending anything until the client goes away."""
        deadline = time.monotonic() + 3600
        while time.monotonic() < deadline and not self.server.stopping.is_set():
            readable, _, _ = select.select([self.connection], [], [], 0.2)
            if readable:
                return

    def handle(self):
        try:
            super().handle()
        except (ConnectionError, ssl.SSLError, TimeoutError, OSError):
            pass  # a client that gives up mid-transfer is normal here


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError, TimeoutError)):
            super().handle_error(request, client_address)


def loopback_family(host):
    try:
        infos = socket.getaddrinfo(host, None, proto=socket.IPPROTO_TCP)
    except socket.gaierror as e:
        sys.exit(f"vendor-server: cannot resolve {host}: {e}")
    address = infos[0][4][0]
    if not ipaddress.ip_address(address).is_loopback:
        sys.exit(f"vendor-server: {host} is not a loopback address; this server only listens on loopback")
    return infos[0][0], address


def main():
    parser = argparse.ArgumentParser(description="Local https stand-in for the vendor's web server (loopback only).")
    parser.add_argument("--root", default=".", help="folder with version.txt and nembral.zip (default: .)")
    parser.add_argument("--port", type=int, default=8443, help="port; 0 picks a free one (default: 8443)")
    parser.add_argument("--bind", default="127.0.0.1", help="loopback address to listen on (default: 127.0.0.1)")
    parser.add_argument("--state-dir", default=None,
                        help="where the CA and certificate live (default: $XDG_STATE_HOME or ~/.local/state, /nembral-vendor-server)")
    parser.add_argument("--http", action="store_true", help="plain http instead of https (for the wine lane)")
    parser.add_argument("--quiet", action="store_true", help="do not log requests")
    faults = parser.add_argument_group("test-only faults")
    faults.add_argument("--status", type=int, help="answer every file request with this HTTP status")
    faults.add_argument("--cut-after", type=int, metavar="N", help="send N body bytes, then close the connection")
    faults.add_argument("--stall-after", type=int, metavar="N", help="send N body bytes, then send nothing more")
    faults.add_argument("--rate", type=int, metavar="BYTES_PER_S", help="send bodies at this rate")
    faults.add_argument("--faulty-requests", type=int, metavar="K",
                        help="apply the faults to the first K requests only (default: all)")
    opts = parser.parse_args()

    root = pathlib.Path(opts.root).resolve()
    if not root.is_dir():
        sys.exit(f"vendor-server: {root} is not a folder")
    if opts.rate is not None and opts.rate <= 0:
        sys.exit("vendor-server: --rate must be positive")

    family, address = loopback_family(opts.bind)
    Server.address_family = family
    server = Server((address, opts.port), Handler)
    server.root = root
    server.quiet = opts.quiet
    server.faults = Faults(opts)
    server.stopping = threading.Event()

    scheme = "http"
    lines = []
    if not opts.http:
        state_default = pathlib.Path(os.environ.get("XDG_STATE_HOME") or pathlib.Path.home() / ".local" / "state")
        state_dir = pathlib.Path(opts.state_dir) if opts.state_dir else state_default / "nembral-vendor-server"
        try:
            ca, cert, key = ensure_certificates(state_dir.resolve())
        except subprocess.CalledProcessError as e:
            sys.exit(f"vendor-server: openssl failed: {e.stderr.decode(errors='replace').strip()}")
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        # The handshake happens in the connection's own thread, so a silent client cannot block accept().
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
        scheme = "https"

    port = server.server_address[1]
    lines.append(f"PORT={port}")
    if scheme == "https":
        lines.append(f"SSL_CERT_FILE={ca}")
    host = "localhost" if address in ("127.0.0.1", "::1") else address
    lines.append(f"vendor-server: serving {root} at {scheme}://{host}:{port}/Software/Nembral/")
    print("\n".join(lines), flush=True)

    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()


if __name__ == "__main__":
    main()
