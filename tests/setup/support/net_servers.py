#!/usr/bin/python3
"""Loopback HTTP and FTP servers for the network tests.

Serves the files of ROOT on 127.0.0.1 (ports chosen by the system) and prints "HTTP <port>",
"FTP <port>" and "ODD <port>". Runs until its standard input closes, or at most LIFETIME seconds.

HTTP paths with a meaning of their own:
  /nolength/<name>  the file without Content-Length (connection closed at the end)
  /badlength        Content-Length "abc";  /neglength  "-5";  /hugelength  a 30-digit number
  /short            announces 100 bytes, sends 50;  /long  announces 10 bytes, sends 50
  /loop             redirects to itself;  /redirect/<name>  redirects to /<name>
  /ftpredirect      redirects to an ftp:// address
  /slow             announces 100000 bytes, sends 1 and stalls;  /hang  never answers
  /drip             announces 100000 bytes, sends one every 0.2 s (never stalls for a second)
  /error500         a server error page;  /connections  the count of accepted connections
  /private/<name>   the file, for the user orvex with the password secret (Basic)
anything else is a file of ROOT, or a 404 page.
FTP: anonymous and the user orvex (password secret), both rooted at ROOT.
ODD: a server that answers every connection with a line of nonsense and closes it.
"""
import base64
import http.server
import logging
import os
import socketserver
import sys
import threading
import time

LIFETIME = 300
ROOT = os.path.abspath(sys.argv[1])
connections = 0
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 60

    def log_message(self, *args):
        pass

    def setup(self):
        global connections
        with lock:
            connections += 1
        super().setup()

    def send_body(self, status, body, length=None, close=False, headers=()):
        self.send_response(status)
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in headers:
            self.send_header(name, value)
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
            self.wfile.flush()

    def redirect(self, where):
        self.send_body(302, b"moved", 5, headers=[("Location", where)])

    def serve_file(self, name, with_length=True):
        path = os.path.normpath(os.path.join(ROOT, name.lstrip("/")))
        if not path.startswith(ROOT) or not os.path.isfile(path):
            page = b"<html><body>404 Not Found</body></html>"
            self.send_body(404, page, len(page))
            return
        with open(path, "rb") as f:
            data = f.read()
        if with_length:
            self.send_body(200, data, len(data))
        else:
            self.send_body(200, data, None, close=True)

    def do_GET(self):
        from urllib.parse import unquote
        p = unquote(self.path)
        if p.startswith("/nolength/"):
            self.serve_file(p[len("/nolength/"):], with_length=False)
        elif p == "/badlength":
            self.send_response(200)
            self.send_header("Content-Length", "abc")
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(b"hello")
            self.close_connection = True
        elif p == "/neglength":
            self.send_body(200, b"hello", -5, close=True)
        elif p == "/hugelength":
            self.send_body(200, b"hello", "9" * 30, close=True)
        elif p == "/short":
            self.send_body(200, b"s" * 50, 100, close=True)
        elif p == "/long":
            self.send_body(200, b"l" * 50, 10, close=True)
        elif p == "/loop":
            self.redirect("/loop")
        elif p.startswith("/redirect/"):
            self.redirect("/" + p[len("/redirect/"):])
        elif p == "/ftpredirect":
            self.redirect("ftp://127.0.0.1:1/x")
        elif p == "/slow":
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            self.wfile.write(b"x")
            self.wfile.flush()
            time.sleep(30)
            self.close_connection = True
        elif p == "/drip":
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            try:
                for _ in range(150):
                    self.wfile.write(b"d")
                    self.wfile.flush()
                    time.sleep(0.2)
            except OSError:
                pass
            self.close_connection = True
        elif p == "/hang":
            time.sleep(30)
            self.close_connection = True
        elif p == "/error500":
            page = b"<html>Internal trouble</html>"
            self.send_body(500, page, len(page))
        elif p == "/connections":
            body = str(connections).encode()
            self.send_body(200, body, len(body))
        elif p.startswith("/private/"):
            expected = "Basic " + base64.b64encode(b"orvex:secret").decode()
            if self.headers.get("Authorization") != expected:
                page = b"denied"
                self.send_body(401, page, len(page),
                               headers=[("WWW-Authenticate", 'Basic realm="x"')])
            else:
                self.serve_file(p[len("/private/"):])
        else:
            self.serve_file(p)

    do_HEAD = do_GET


class OddHandler(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.sendall(b"nonsense from a server that speaks no protocol\r\n")


class OddServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass


class HTTPServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # clients that go away mid-answer are part of the tests


def main():
    logging.disable(logging.CRITICAL)
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    httpd = HTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()

    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(ROOT)
    authorizer.add_user("orvex", "secret", ROOT, perm="elr")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.timeout = 60
    handler.auth_failed_timeout = 0.05
    handler.passive_ports = None
    ftpd = FTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=ftpd.serve_forever, kwargs={"handle_exit": False}, daemon=True).start()

    oddd = OddServer(("127.0.0.1", 0), OddHandler)
    threading.Thread(target=oddd.serve_forever, daemon=True).start()

    print("HTTP %d" % httpd.server_address[1])
    print("FTP %d" % ftpd.socket.getsockname()[1])
    print("ODD %d" % oddd.server_address[1])
    sys.stdout.flush()

    stop = threading.Event()

    def watch_stdin():
        sys.stdin.read()
        stop.set()

    threading.Thread(target=watch_stdin, daemon=True).start()
    stop.wait(LIFETIME)
    os._exit(0)


if __name__ == "__main__":
    main()
