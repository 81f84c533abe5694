#!/usr/bin/python3
"""A real SOAP client (zeep) reads the service's WSDL and calls every method of
IZYNTConferenceService through the SOAP layer. soap_wire_tool stands in for the HTTP server: the
transport below hands zeep's envelope to it and zeep's answer parsing gets its output.

Usage: soap_zeep_test.py PATH/TO/soap_wire_tool
"""
import os
import subprocess
import sys
import tempfile
import unittest

import requests
from zeep import Client
from zeep.exceptions import Fault
from zeep.transports import Transport

TOOL = None

# The interface as the front end knows it: methods in order, parameters in order.
INTERFACE = [
    ("GetLanguage", ["languageCode"]),
    ("DoKonferenzAction", ["Request"]),
    ("TranslateLanguageCode", ["languageCode", "translatedLanguage"]),
    ("GetTemplateLanguages", []),
    ("GetConferenceIDFromMemberPIN", ["strMemberPIN"]),
    ("getLatestVersion", []),
    ("getAmPm", []),
]
NAMESPACE = "urn:SOAPIntf-IZYNTConferenceService"


class WireTransport(Transport):
    def __init__(self):
        super().__init__()
        self.posts = []

    def post(self, address, message, headers):
        self.posts.append((address, message, dict(headers)))
        run = subprocess.run([TOOL, "call"], input=message, capture_output=True, check=True)
        status, content_type, body = run.stdout.split(b"\n", 2)
        response = requests.Response()
        response.status_code = int(status)
        response.headers["Content-Type"] = content_type.decode()
        response._content = body
        response.encoding = "utf-8"
        return response


class ZeepAgainstOurWsdl(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.wsdl = os.path.join(cls.folder.name, "IZYNTConferenceService.wsdl")
        with open(cls.wsdl, "wb") as f:
            f.write(subprocess.run([TOOL, "wsdl", "pbx01:81"], capture_output=True,
                                   check=True).stdout)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def setUp(self):
        self.transport = WireTransport()
        self.client = Client(wsdl=self.wsdl, transport=self.transport)

    def test_wsdl_describes_every_method_with_parameters_in_order(self):
        operations = self.client.service._binding._operations
        self.assertEqual(list(operations), [name for name, _ in INTERFACE])
        for name, params in INTERFACE:
            op = operations[name]
            self.assertEqual(op.style, "rpc")
            self.assertEqual(op.soapaction, NAMESPACE + "#" + name)
            self.assertEqual([n for n, _ in op.input.body.type.elements], params, name)
            self.assertEqual([n for n, _ in op.output.body.type.elements], ["return"], name)
        self.assertEqual(self.client.service._binding_options["address"],
                         "http://pbx01:81/soap/IZYNTConferenceService")

    def test_every_method_round_trips(self):
        texts = {
            "languageCode": "ger",
            "Request": '<?xml version="1.0"?><Request><Action>GetRaeume</Action>'
                       "<Name>M\u00fcller & <Co> \u20ac</Name></Request>",
            "translatedLanguage": "eng",
            "strMemberPIN": "01234",
        }
        for name, params in INTERFACE:
            args = [texts[p] for p in params]
            result = getattr(self.client.service, name)(*args)
            self.assertEqual(result, name + "(" + "|".join(args) + ")")
        address, message, headers = self.transport.posts[0]
        self.assertEqual(address, "http://pbx01:81/soap/IZYNTConferenceService")
        self.assertIn(NAMESPACE.encode(), message)

    def test_messages_built_by_zeep_decode(self):
        # The envelope exactly as zeep would send it, fed to the decoder by hand.
        from lxml import etree
        envelope = self.client.create_message(self.client.service, "TranslateLanguageCode",
                                              "fra", "ger")
        run = subprocess.run([TOOL, "call"], input=etree.tostring(envelope),
                             capture_output=True, check=True)
        status, _, body = run.stdout.split(b"\n", 2)
        self.assertEqual(status, b"200")
        self.assertIn(b"<NS1:TranslateLanguageCodeResponse", body)
        self.assertIn(b"TranslateLanguageCode(fra|ger)", body)

    def test_exception_arrives_as_server_fault(self):
        with self.assertRaises(Fault) as caught:
            self.client.service.DoKonferenzAction("raise")
        self.assertIn("Server", caught.exception.code)
        self.assertEqual(caught.exception.message, "action failed <&>")


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
