"""TLS peers for the WinInet tests: a test certificate authority and a server
certificate made at test time with openssl, a file server on 127.0.0.1 that
speaks TLS with it, and the Wine prefix's trust in that authority for as
long as a test needs it.

Wine's crypt32 builds the Root store from the Unix trust store and from the
registry's system store, HKLM\\Software\\Microsoft\\SystemCertificates\\Root:
each subkey of Certificates, named by the SHA-1 of the certificate in
upper-case hexadecimal, holds a value Blob with the serialized certificate
(property 32, CERT_CERT_PROP_ID: a header of three little-endian 32-bit
words, property id, 1, length, then the DER bytes). Adding that key makes
WinInet accept a chain to the authority; deleting it takes the trust away
again, and nothing outside the prefix is touched."""
import contextlib
import hashlib
import os
import ssl
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers  # noqa: E402

ROOT_KEY = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"
CERT_CERT_PROP_ID = 32

_EXTENSIONS = """[v3ca]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
[server]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:{name}
authorityKeyIdentifier=keyid
"""


class Authority:
    """Paths of a CA (ca.pem, ca.der) and of a server certificate
    (server.pem, server.key) for one host name, below folder."""

    def __init__(self, folder, name):
        self.folder = folder
        self.name = name
        self.ca_pem = os.path.join(folder, "ca.pem")
        self.ca_der = os.path.join(folder, "ca.der")
        self.server_pem = os.path.join(folder, "server.pem")
        self.server_key = os.path.join(folder, "server.key")

    def der(self):
        with open(self.ca_der, "rb") as f:
            return f.read()


def make_authority(folder, name="origin.test"):
    folder = str(folder)
    ext = os.path.join(folder, "ext.cnf")
    with open(ext, "w") as f:
        f.write(_EXTENSIONS.format(name=name))
    a = Authority(folder, name)

    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True)
    ca_key = os.path.join(folder, "ca.key")
    csr = os.path.join(folder, "server.csr")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", a.ca_pem,
            "-days", "2", "-subj", "/CN=Quarn Test CA", "-config", ext, "-extensions", "v3ca")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", a.server_key, "-out", csr,
            "-subj", f"/CN={name}", "-config", ext)
    openssl("x509", "-req", "-in", csr, "-CA", a.ca_pem, "-CAkey", ca_key, "-CAcreateserial",
            "-out", a.server_pem, "-days", "2", "-extfile", ext, "-extensions", "server")
    openssl("x509", "-in", a.ca_pem, "-outform", "der", "-out", a.ca_der)
    return a


def root_store_entry(der):
    """(subkey name, Blob bytes) of a certificate in the registry's Root."""
    return hashlib.sha1(der).hexdigest().upper(), struct.pack("<III", CERT_CERT_PROP_ID, 1, len(der)) + der


@contextlib.contextmanager
def trusted_root(der, reg_tool, env):
    """The prefix trusts the certificate while the context lasts.
    reg_tool is the Wine loader for the prefix's reg.exe."""
    name, blob = root_store_entry(der)
    key = f"{ROOT_KEY}\\{name}"
    subprocess.run([reg_tool, "reg", "add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", blob.hex(),
                    "/f"], env=env, check=True, capture_output=True, timeout=120)
    try:
        yield key
    finally:
        subprocess.run([reg_tool, "reg", "delete", key, "/f"], env=env, capture_output=True,
                       timeout=120)


@contextlib.contextmanager
def tls_file_server(root, authority, port=0):
    """Serves the files below root over TLS on 127.0.0.1 with the
    authority's server certificate. Yields the server (.port, .requests)."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(authority.server_pem, authority.server_key)
    with peers.file_server(root, port, tls=context) as server:
        yield server
