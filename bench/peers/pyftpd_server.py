"""pyftpdlib as the benchmark runs it: its default single-process event loop, one virtual user
with every permission, passive replies announcing 127.0.0.1, and only warnings logged (the C
peers log no line per command either).

Usage: python3 pyftpd_server.py PORT ROOT USER PASSWORD
"""

import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.log import config_logging
from pyftpdlib.servers import FTPServer


def main():
    port, root, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    config_logging(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    FTPHandler.authorizer = authorizer
    FTPHandler.masquerade_address = "127.0.0.1"
    FTPHandler.banner = "pyftpdlib ready."
    server = FTPServer(("127.0.0.1", port), FTPHandler)
    server.max_cons = 512
    server.max_cons_per_ip = 0
    server.serve_forever()


if __name__ == "__main__":
    main()
