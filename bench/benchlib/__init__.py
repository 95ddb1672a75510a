"""Side-by-side FTP server benchmark: drovn against vsftpd, pure-ftpd, proftpd and pyftpdlib."""
