"""A server root and a running zenthra-lmtpd of a test's own, and a plain
socket client for what the real clients cannot be made to do (pipelining by
hand, stopping in the middle of a message).

The programs come from the environment: ZENTHRA_LMTPD, ZENTHRA_STORE_TOOL,
ZENTHRA_CATALOG_TOOL and ZENTHRA_DLL (CTest sets them)."""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

LMTPD = os.environ.get("ZENTHRA_LMTPD", "")
STORE_TOOL = os.environ.get("ZENTHRA_STORE_TOOL", "")
CATALOG_TOOL = os.environ.get("ZENTHRA_CATALOG_TOOL", "")
DLL = os.environ.get("ZENTHRA_DLL", "")

DOMAIN = "example.com"
MBX = "file://./backofficestorage/example.com/MBX"
MARKER = "Quarantined Attachment.txt"
# A loaded two-core machine can be slow; waits are long, but end as soon as
# what they wait for happens.
PATIENCE = 60.0

PEOPLE = [
    ("John Doe", "jdoe", "john.doe@example.com"),
    ("Anna Schmidt", "asmith", "anna.schmidt@example.com"),
    ("Carl Berg", "cberg", "carl.berg@example.com"),
    ("Dora Lind", "dlind", "dora.lind@example.com"),
]


def people_ldif():
    text = "version: 1\n"
    for n, (cn, alias, mail) in enumerate(PEOPLE, 1):
        text += (
            f"\ndn: CN={cn},CN=Users,DC=example,DC=com\n"
            "objectClass: user\n"
            "objectCategory: CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com\n"
            f"cn: {cn}\nsAMAccountName: {alias}\nmail: {mail}\nmailNickName: {alias}\n"
            "msExchHomeServerName: /o=Example/ou=First Administrative Group/cn=Configuration/"
            "cn=Servers/cn=MX\n"
            "msExchMailboxGuid:: 3q2+7w==\n"
            "userAccountControl: 512\n")
    return text


def message(subject, marked=False, body="Hello.\r\n", extra_headers=""):
    """A message as a scanner passes it on, with the marker attachment in
    place of what it stripped when marked."""
    head = (f"From: sender@example.org\r\nTo: someone@example.com\r\nSubject: {subject}\r\n"
            f"Message-ID: <{subject.replace(' ', '.')}@test>\r\nMIME-Version: 1.0\r\n"
            + extra_headers)
    if not marked:
        return head + "Content-Type: text/plain\r\n\r\n" + body
    return (head + 'Content-Type: multipart/mixed; boundary="b1"\r\n\r\n--b1\r\n'
            "Content-Type: text/plain\r\n\r\n" + body + "--b1\r\n"
            f'Content-Type: text/plain; name="{MARKER}"\r\n'
            f'Content-Disposition: attachment; filename="{MARKER}"\r\n\r\n'
            "The attachment was removed.\r\n--b1--\r\n")


def run(args, env=None, check=True, binary=False):
    """Runs a program; its output as text with line ends untranslated."""
    result = subprocess.run(args, capture_output=True, env=env, timeout=PATIENCE)
    if not binary:
        result.stdout = result.stdout.decode("utf-8", "replace")
        result.stderr = result.stderr.decode("utf-8", "replace")
    if check and result.returncode != 0:
        raise AssertionError(f"{args} failed ({result.returncode}): {result.stderr}")
    return result


class Root:
    """A provisioned server root: mailboxes jdoe, asmith, cberg, dlind."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "root")
        self.env = dict(os.environ, ZENTHRA_ROOT=self.path)
        users = os.path.join(folder, "people.ldif")
        with open(users, "w") as f:
            f.write(people_ldif())
        self.store("provision", "--computer", "mx", "--domain", DOMAIN, "--users", users)

    def store(self, *args, check=True):
        return run([STORE_TOOL, "--root", self.path, *args], env=self.env, check=check)

    def register_sink(self, aliases):
        """Installs Zenthra.dll as the setup program does and registers it in
        the Inboxes of aliases; marked mail goes to "Spam" beside the Inbox."""
        catalog = [CATALOG_TOOL, "--root", self.path]
        run(catalog + ["install", "Zenthra", DLL], env=self.env)
        run(catalog + ["set", "Zenthra", "Zenthra.ZenthraCls", "ConstructionEnabled", "true"],
            env=self.env)
        run(catalog + ["set", "Zenthra", "Zenthra.ZenthraCls", "ConstructorString",
                       f"Spam\r{MARKER}\r65500"], env=self.env)
        e = "http://schemas.microsoft.com/exchange/events"
        for alias in aliases:
            self.store("put", f"{MBX}/{alias}/Inbox/Zenthra.reg",
                       "DAV:contentclass=urn:content-class:storeeventreg",
                       f"{e}/EventMethod=onsyncsave", f"{e}/SinkClass=Zenthra.ZenthraCls",
                       f"{e}/MatchScope=SHALLOW", f'{e}/criteria= WHERE "DAV:ishidden" = FALSE',
                       f"{e}/priority=65500", "DAV:ishidden=true")

    def names(self, alias, folder="Inbox"):
        """The item names of the messages in a folder; [] when it is missing."""
        result = self.store("ls", f"{MBX}/{alias}/{folder}", check=False)
        if result.returncode != 0:
            return []
        return [line.split("\t")[1] for line in result.stdout.splitlines()
                if line.startswith("message\t")]

    def raw(self, alias, name, folder="Inbox"):
        return self.store("show", "--raw", f"{MBX}/{alias}/{folder}/{name}").stdout


def subject_counts(names):
    """How often each subject stands among item names: the store names an
    item after its subject and adds "-N" to tell repeats apart."""
    counts = {}
    for name in names:
        stem = re.sub(r"(-\d+)?\.EML$", "", name)
        counts[stem] = counts.get(stem, 0) + 1
    return counts


class Service:
    """A running zenthra-lmtpd on a Unix socket in the test's folder."""

    def __init__(self, root, folder, *options, listen=None, umask=None, pass_fds=(), wrap=None):
        self.root = root
        self.socket = os.path.join(folder, "lmtp.sock")
        self.log_path = os.path.join(folder, f"lmtpd-{time.monotonic_ns()}.log")
        args = [LMTPD, "--root", root.path]
        if listen is None:
            args += ["--listen", "unix:" + self.socket]
        else:
            args += listen
        args += list(options)
        if wrap:
            args = wrap(args)
        self.log_file = open(self.log_path, "w")
        preexec = (lambda: os.umask(umask)) if umask is not None else None
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=self.log_file,
                                        preexec_fn=preexec, pass_fds=pass_fds)
        self.wait_for_log("ready:")

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def wait_for_log(self, text, after=0):
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline:
            log = self.log()
            if text in log[after:]:
                return log
            if self.process.poll() is not None:
                raise AssertionError(f"zenthra-lmtpd ended ({self.process.returncode}): {log}")
            time.sleep(0.02)
        raise AssertionError(f"no {text!r} in the log: {self.log()}")

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            code = self.process.wait(timeout=PATIENCE)
        finally:
            self.log_file.close()
        return code

    def kill(self):
        self.process.kill()
        self.process.wait(timeout=PATIENCE)
        self.log_file.close()


class Client:
    """LMTP by hand over a plain socket."""

    def __init__(self, address):
        family = socket.AF_UNIX if isinstance(address, str) else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.settimeout(PATIENCE)
        self.sock.connect(address)
        self.buffer = b""

    def send(self, data):
        self.sock.sendall(data.encode() if isinstance(data, str) else data)

    def reply(self):
        """The next reply: (code, text of its last line); (0, "") at the end."""
        while True:
            end = self.buffer.find(b"\r\n")
            if end >= 0:
                line = self.buffer[:end].decode("ascii")
                self.buffer = self.buffer[end + 2:]
                if len(line) >= 4 and line[3] == "-":
                    continue
                return int(line[:3]), line[4:]
            chunk = self.sock.recv(65536)
            if not chunk:
                return 0, ""
            self.buffer += chunk

    def replies(self, n):
        return [self.reply()[0] for _ in range(n)]

    def begin_message(self, recipients, text, greet=True):
        """LHLO (when greet), MAIL, RCPT for each recipient and DATA in one
        write, then the start of the message; the codes of their replies."""
        commands = "LHLO c.example.org\r\n" if greet else ""
        commands += "MAIL FROM:<s@example.org>\r\n"
        commands += "".join(f"RCPT TO:<{r}>\r\n" for r in recipients)
        self.send(commands + "DATA\r\n" + text)
        return self.replies(int(greet) + len(recipients) + 2)

    def close(self):
        self.sock.close()


class ServiceTestCase(unittest.TestCase):
    """A fresh folder, server root and (unless a test starts its own) no
    service; whatever was started is stopped at the end."""

    def setUp(self):
        for program in (LMTPD, STORE_TOOL):
            if not program or not os.path.exists(program):
                self.fail(f"program not found: {program!r} (run through CTest)")
        self.folder = tempfile.mkdtemp(prefix="zenthra-lmtpd-test-")
        self.root = Root(self.folder)
        self.services = []

    def tearDown(self):
        # Every service still running must stop cleanly, and none may have
        # met a sanitizer's complaint on the way.
        try:
            for service in self.services:
                if service.process.poll() is None:
                    self.assertEqual(service.stop(), 0, service.log())
                log = service.log()
                for sign in ("Sanitizer", "runtime error:"):
                    self.assertNotIn(sign, log)
        finally:
            for service in self.services:
                if service.process.poll() is None:
                    service.kill()
            shutil.rmtree(self.folder, ignore_errors=True)

    def start(self, *options, **kwargs):
        service = Service(self.root, self.folder, *options, **kwargs)
        self.services.append(service)
        return service
