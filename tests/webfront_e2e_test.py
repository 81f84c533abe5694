#!/usr/bin/python3
"""The web front through its real port: a real SOAP client (zeep) loads the WSDL from the running
program and calls the methods of IZYNTConferenceService; plain HTTP requests fetch front-end files.
Each test class starts the program zyntparlevo itself on a free loopback port, with a temporary
install folder and registry file, and stops it with SIGTERM.

Usage: webfront_e2e_test.py PATH/TO/zyntparlevo PATH/TO/dist [HARNESS_DIR]
"""
import base64
import http.client
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

from zeep import Client
from zeep.transports import Transport
from zeep.exceptions import Fault

PROGRAM = None
DIST = None
KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Orvalen\Parlevo for ZyntWare"
# Seconds any wait on the program may take before the test fails (generous for a loaded machine).
WAIT_LIMIT = 120


def write_registry(path, values):
    """Writes the configuration key as a .reg file; ints become dwords."""
    lines = ["Windows Registry Editor Version 5.00", "", "[" + KEY + "]"]
    for name, value in values.items():
        if isinstance(value, int):
            lines.append('"%s"=dword:%08x' % (name, value))
        else:
            lines.append('"%s"="%s"' % (name, value.replace("\\", "\\\\").replace('"', '\\"')))
    with open(path, "w", encoding="utf-8", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")


def set_registry_values(path, values):
    """Changes values of a running program's .reg file in one rename (the program re-reads it)."""
    with open(path, encoding="utf-8") as f:
        lines = [l.rstrip("\r\n") for l in f]
    for name, value in values.items():
        line = ('"%s"=dword:%08x' % (name, value) if isinstance(value, int)
                else '"%s"="%s"' % (name, value))
        lines = [l for l in lines if not l.lower().startswith('"%s"=' % name.lower())]
        lines.append(line)
    with open(path + ".new", "w", encoding="utf-8", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(path + ".new", path)


def read_registry(path):
    values = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith('"') and '"="' in line:
                name, value = line[1:-1].split('"="', 1)
                values[name] = value
    return values


def free_port():
    """A loopback port nobody listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def accepts(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.settimeout(5)
        return sock.connect_ex(("127.0.0.1", port)) == 0


class RunningFront:
    """The program zyntparlevo with its install folder (--home) and registry file (--registry),
    listening on a free port written as "Port" into the registry before it starts. It creates its
    database at start, as on a new installation. Stopped with SIGTERM, which must end it with exit
    code 0. `environment` adds variables to the program's environment."""

    START_ATTEMPTS = 3

    def __init__(self, registry_values, templates=None, environment=None):
        self.folder = tempfile.TemporaryDirectory()
        self.home = self.folder.name
        self.registry = os.path.join(self.home, "registry.reg")
        os.makedirs(os.path.join(self.home, "Frontend"))
        templates_dir = os.path.join(self.home, "Templates")
        if templates is None:
            shutil.copytree(os.path.join(DIST, "Templates"), templates_dir)
        else:
            templates(templates_dir)
        env = dict(os.environ)
        env.update(environment or {})
        self.process = None
        try:
            # Another process may take the free port between the test and the program: try again.
            for _ in range(self.START_ATTEMPTS):
                if self._start(registry_values, env):
                    return
            raise RuntimeError("zyntparlevo did not start listening")
        except BaseException:
            self.folder.cleanup()
            raise

    def _start(self, registry_values, env):
        self.port = free_port()
        values = {"Port": self.port}
        values.update(registry_values)
        values.setdefault("InstallPath", self.home + "/")
        write_registry(self.registry, values)
        self.process = subprocess.Popen([PROGRAM, "--home", self.home, "--registry", self.registry],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        env=env)
        # The program opens its port only after it has created its database and registry values.
        deadline = time.monotonic() + WAIT_LIMIT
        while self.process.poll() is None:
            if accepts(self.port):
                return True
            if time.monotonic() > deadline:
                self.process.kill()
                self.process.wait()
                self.process = None
                raise RuntimeError("zyntparlevo did not open port %d within %d s"
                                   % (self.port, WAIT_LIMIT))
            time.sleep(0.02)
        self.process = None
        return False

    def stop(self):
        try:
            if self.process is not None:
                self.process.send_signal(signal.SIGTERM)
                code = self.process.wait(timeout=60)
                if code != 0:
                    raise RuntimeError("zyntparlevo ended with exit code %s after SIGTERM" % code)
        finally:
            self.folder.cleanup()

    def path(self, *parts):
        return os.path.join(self.home, *parts)

    def request(self, method, path, headers=None, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.putrequest(method, path, skip_host=headers is not None and "Host" in headers,
                            skip_accept_encoding=True)
            for name, value in (headers or {}).items():
                conn.putheader(name, value)
            if body is not None:
                conn.putheader("Content-Length", str(len(body)))
            conn.endheaders(body)
            response = conn.getresponse()
            data = response.read()
            return response.status, response.getheaders(), data
        finally:
            conn.close()

    def client(self):
        # Bounded, so that a request the program never answers fails the test instead of hanging.
        transport = Transport(timeout=WAIT_LIMIT, operation_timeout=WAIT_LIMIT)
        return Client("http://127.0.0.1:%d/wsdl/IZYNTConferenceService" % self.port,
                      transport=transport)

    def debug_log(self):
        with open(self.path("debug", "log.txt"), encoding="utf-8") as f:
            return f.read()


def header(headers, name):
    found = [v for k, v in headers if k.lower() == name.lower()]
    return found


class SoapMethods(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.front = RunningFront({"Language": "ger", "TimeShowMode": 12})
        cls.client = cls.front.client()

    @classmethod
    def tearDownClass(cls):
        cls.front.stop()

    def set_registry(self, **values):
        base = {"Language": "ger", "InstallPath": self.front.home + "/"}
        base.update(values)
        write_registry(self.front.registry, base)

    def test_wsdl_from_the_server_names_every_method(self):
        operations = list(self.client.service._binding._operations)
        self.assertEqual(operations, ["GetLanguage", "DoKonferenzAction", "TranslateLanguageCode",
                                      "GetTemplateLanguages", "GetConferenceIDFromMemberPIN",
                                      "getLatestVersion", "getAmPm"])
        self.assertEqual(self.client.service._binding_options["address"],
                         "http://127.0.0.1:%d/soap/IZYNTConferenceService" % self.front.port)

    def test_getAmPm_follows_TimeShowMode(self):
        self.set_registry(TimeShowMode=12)
        self.assertEqual(self.client.service.getAmPm(),
                         '<?xml version="1.0" encoding="utf-8"?><response><type>getAmPm</type>'
                         '<useAmPm>true</useAmPm><result><code>0</code></result></response>')
        self.set_registry(TimeShowMode=24)
        self.assertIn("<useAmPm>false</useAmPm><result><code>0</code>",
                      self.client.service.getAmPm())
        self.set_registry()
        self.assertEqual(self.client.service.getAmPm(),
                         '<?xml version="1.0" encoding="utf-8"?><response><type>getAmPm</type>'
                         '<useAmPm>false</useAmPm><result><code>1</code><description>'
                         'TimeShowMode missing in Registry. Start Config tool to fix this error.'
                         '</description></result></response>')
        # A value stored as text is as unreadable as a missing one.
        self.set_registry(TimeShowMode="24")
        self.assertIn("<code>1</code>", self.client.service.getAmPm())

    def test_GetLanguage_returns_the_file_without_line_breaks(self):
        self.set_registry(Language="eng")
        with open(os.path.join(DIST, "Templates", "ger", "language", "language.xml"),
                  encoding="utf-8") as f:
            german = f.read().replace("\r", "").replace("\n", "")
        self.assertEqual(self.client.service.GetLanguage("ger"), german)
        english = self.client.service.GetLanguage("")
        self.assertIn("<eng>English</eng>", english)
        self.assertNotIn("\n", english)
        # The folder names match without regard to case.
        self.assertEqual(self.client.service.GetLanguage("GER"), german)

    def test_GetLanguage_and_TranslateLanguageCode_fault_without_a_file(self):
        for code in ["fr", "../ger", "ger/../ger", "./ger"]:
            with self.assertRaises(Fault, msg=code):
                self.client.service.GetLanguage(code)
            with self.assertRaises(Fault, msg=code):
                self.client.service.TranslateLanguageCode("eng", code)

    def test_TranslateLanguageCode(self):
        self.assertEqual(self.client.service.TranslateLanguageCode("eng", "ger"), "Englisch")
        self.assertEqual(self.client.service.TranslateLanguageCode("ENG", "ger"), "Englisch")
        self.assertEqual(self.client.service.TranslateLanguageCode("ger", "eng"), "German")
        self.assertIn(self.client.service.TranslateLanguageCode("fr", "eng"), ("", None))

    def test_DoKonferenzAction_unknown_actions_answer_error(self):
        self.set_registry()
        for action in ["noSuchAction", " GetRaeume", "GetRaeume ", ""]:
            self.assertEqual(
                self.client.service.DoKonferenzAction(
                    "<Request><Action>%s</Action></Request>" % action), "error", action)
        self.assertEqual(self.client.service.DoKonferenzAction("<request><action>"), "error")
        self.assertEqual(self.client.service.DoKonferenzAction("<action>GetRaeume</action>"),
                         "error")
        log = self.front.debug_log()
        self.assertIn("[SOAPImpl][DoKonferenzAction] Action: noSuchAction", log)
        self.assertIn("[SOAPImpl][DoKonferenzAction] Result: error", log)

    def test_DoKonferenzAction_matches_action_names_without_regard_to_case(self):
        self.set_registry()
        answer = self.client.service.DoKonferenzAction(
            "<Request><Action>GETRAEUME</Action></Request>")
        self.assertIn("<code>0</code>", answer)
        self.assertIn("[SOAPImpl][DoKonferenzAction] Action: GETRAEUME", self.front.debug_log())

    def test_DoKonferenzAction_without_install_path_answers_the_registry_error(self):
        write_registry(self.front.registry, {"Language": "ger"})
        answer = self.client.service.DoKonferenzAction(
            "<request><action>GetRaeume</action></request>")
        self.assertIn("<RESPONSE><result>Registry Error: DB-Informationen konnten nicht aus der "
                      "Registry ausgelesen werden</result></RESPONSE>", answer)
        self.assertIn("Error reading connection string", self.front.debug_log())

    def test_soap_paths_match_in_any_letter_case(self):
        status, headers, body = self.front.request("GET", "/wSdL/IzYnTcOnFeReNcEsErViCe")
        self.assertEqual(status, 200)
        self.assertIn(b"urn:SOAPIntf-IZYNTConferenceService", body)
        envelope = ('<?xml version="1.0"?><SOAP-ENV:Envelope '
                    'xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body>'
                    '<ns1:getAmPm xmlns:ns1="urn:SOAPIntf-IZYNTConferenceService"/>'
                    '</SOAP-ENV:Body></SOAP-ENV:Envelope>').encode()
        status, headers, body = self.front.request(
            "POST", "/prefix/SOAP/IZyntConferenceService", {"Host": "x",
                                                           "Content-Type": "text/xml"}, envelope)
        self.assertEqual(status, 200)
        self.assertIn(b"getAmPmResponse", body)
        self.assertIn("This is a SOAP-Request", self.front.debug_log())


def copy_templates_with_odd_folders(target):
    shutil.copytree(os.path.join(DIST, "Templates", "ger"), os.path.join(target, "ger"))
    shutil.copytree(os.path.join(DIST, "Templates", "eng"), os.path.join(target, "ENG"))
    os.makedirs(os.path.join(target, "Global", "language"))
    os.makedirs(os.path.join(target, ".hidden"))


class DatabaseMethods(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.front = RunningFront({"Language": "ger"}, templates=copy_templates_with_odd_folders)
        cls.client = cls.front.client()
        db = sqlite3.connect(cls.front.path("Database", "conference.mdb"))
        with db:
            cur = db.execute("INSERT INTO conferences (room, name) VALUES ('100', ?)",
                             ("Vertrieb & <Team>",))
            cls.conference = cur.lastrowid
            db.execute("INSERT INTO conferenceMembers (memberID, conferenceID, host, pin) "
                       "VALUES (1, ?, -1, '04711')", (cls.conference,))
        db.close()

    @classmethod
    def tearDownClass(cls):
        cls.front.stop()

    def test_GetConferenceIDFromMemberPIN(self):
        name = base64.b64encode("Vertrieb & <Team>".encode("cp1252")).decode()
        self.assertEqual(self.client.service.GetConferenceIDFromMemberPIN("04711"),
                         '<?xml version="1.0" encoding="utf-8"?><response><id>%d</id>'
                         '<host>1</host><conferenceName>%s</conferenceName></response>'
                         % (self.conference, name))
        for pin in ["99999", "4711", '04711" OR "1"="1', "", "0471x"]:
            self.assertEqual(self.client.service.GetConferenceIDFromMemberPIN(pin), "-1", pin)

    def test_getLatestVersion(self):
        self.assertEqual(self.client.service.getLatestVersion(),
                         '<?xml version="1.0" encoding="utf-8"?><response><type>version</type>'
                         '<latestVersion>2.30</latestVersion></response>')

    def test_GetTemplateLanguages_leaves_out_Global_and_lowers_codes(self):
        self.assertEqual(self.client.service.GetTemplateLanguages(),
                         '<?xml version="1.0" encoding="iso-8859-1"?><templatelanguages>'
                         '<type>GetTemplateLanguages</type>'
                         '<language><translation>Englisch</translation><def>Englisch</def>'
                         '<code>eng</code></language>'
                         '<language><translation>Deutsch</translation><def>Deutsch</def>'
                         '<code>ger</code></language></templatelanguages>')


class StaticFront(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.front = RunningFront({"Language": "ger", "MailHost": "", "SMSHost": ""})
        root = cls.front.path("Frontend")
        os.makedirs(os.path.join(root, "sub"))
        os.makedirs(os.path.join(root, "empty"))
        os.makedirs(os.path.join(root, "only-default"))
        for name, text in [("index.htm", "index htm"), ("default.html", "default html"),
                           ("sub/index.html", "sub index html"), ("sub/index.htm", "sub htm"),
                           ("only-default/default.htm", "default htm"),
                           ("style.CSS", "body{}"), ("data.bin", "\x00\x01binary"),
                           ('say "hi".txt', "quoted")]:
            with open(os.path.join(root, name), "w", encoding="utf-8") as f:
                f.write(text)
        with open(cls.front.path("secret.txt"), "w") as f:
            f.write("secret")
        os.symlink(cls.front.path("secret.txt"), os.path.join(root, "link.txt"))
        os.symlink(cls.front.home, os.path.join(root, "up"))
        os.symlink(os.path.join(root, "index.htm"), os.path.join(root, "inner-link.txt"))

    @classmethod
    def tearDownClass(cls):
        cls.front.stop()

    def get(self, path, method="GET", headers=None):
        return self.front.request(method, path, headers or {"Host": "127.0.0.1"})

    def test_default_documents_in_order(self):
        self.assertEqual(self.get("/")[2], b"index htm")
        self.assertEqual(self.get("/sub")[2], b"sub index html")
        self.assertEqual(self.get("/sub/")[2], b"sub index html")
        self.assertEqual(self.get("/only-default/")[2], b"default htm")
        status, _, body = self.get("/empty/")
        self.assertEqual((status, body), (200, b""))

    def test_file_with_type_and_disposition(self):
        status, headers, body = self.get("/style.CSS")
        self.assertEqual((status, body), (200, b"body{}"))
        self.assertEqual(header(headers, "Content-Type"), ["text/css"])
        self.assertEqual(header(headers, "Content-Disposition"), ['filename="style.CSS"'])
        _, headers, body = self.get("/say%20%22hi%22.txt")
        self.assertEqual(body, b"quoted")
        self.assertEqual(header(headers, "Content-Disposition"), ['filename="say ""hi"".txt"'])
        _, headers, body = self.get("/data.bin")
        self.assertEqual(body, b"\x00\x01binary")
        self.assertEqual(header(headers, "Content-Type"), ["application/octet-stream"])
        log = self.front.debug_log()
        self.assertIn("[Main][HTTPServerCommand] Requested Document: " +
                      self.front.path("Frontend", "data.bin"), log)
        self.assertIn("[Main][HTTPServerCommand] Command: GET", log)
        self.assertIn("[Main][HTTPServerCommand] ByteSend: 8", log)

    def test_missing_file_answers_200_empty(self):
        status, _, body = self.get("/no-such-file.html")
        self.assertEqual((status, body), (200, b""))

    def test_head_has_type_and_length_but_no_body(self):
        status, headers, body = self.get("/index.htm", method="HEAD")
        self.assertEqual(status, 200)
        self.assertEqual(body, b"")
        self.assertEqual(header(headers, "Content-Length"), ["9"])
        self.assertEqual(header(headers, "Content-Type"), ["text/html"])

    def test_paths_leaving_the_front_end_folder_are_refused(self):
        for path in ["/../secret.txt", "/sub/../../secret.txt", "/%2e%2e/secret.txt",
                     "/link.txt", "/up/secret.txt", "/up/Frontend/../secret.txt",
                     "/secret.txt%00.html", "/index.htm%00"]:
            status, _, body = self.get(path)
            self.assertEqual((status, body), (200, b""), path)
        # A link that stays inside the folder is served.
        self.assertEqual(self.get("/inner-link.txt")[2], b"index htm")
        # Names are case-sensitive.
        self.assertEqual(self.get("/INDEX.HTM")[2], b"")

    def test_first_request_fills_empty_host_values_and_removes_the_wsdl_admin_file(self):
        write_registry(self.front.registry, {"Language": "ger", "MailHost": " ", "SMSHost": ""})
        admin = self.front.path("ZyntParlevo_WSDLADMIN.INI")
        with open(admin, "w") as f:
            f.write("[x]\n")
        self.get("/missing", headers={"Host": "pbx01:81"})
        self.assertFalse(os.path.exists(admin))
        values = read_registry(self.front.registry)
        self.assertEqual(values["SMSHost"], "pbx01")
        self.assertEqual(values["MailHost"], "pbx01")
        # Filled values stay.
        self.get("/missing", headers={"Host": "other:81"})
        self.assertEqual(read_registry(self.front.registry)["SMSHost"], "pbx01")


def main():
    global PROGRAM, DIST
    PROGRAM, DIST = sys.argv[1], sys.argv[2]
    del sys.argv[1:4]
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
