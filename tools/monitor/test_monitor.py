"""Tests of the stand-in monitoring server, run as a separate process on a
free loopback port, as the end-to-end tests and the transfer script use it."""

import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import unittest
import urllib.error
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))

SN = "78563412"


def head(act):
    return '{"act":"%s","sn":"%s","DATI":{' % (act, SN)


INIT = head("initConf") + ('"name":"Impianto","address":"Via Roma 1","notes":"","username":"%s",'
                           '"password":"%s","eMail":"a@b.it","installerCode":""}}' % (SN, SN))
STATUS = head("setStatus") + (
    '"serialN":"7ulmi100000","nomeInstall":"Impianto \\"Sole\\"","version":"7ULMI-V100.100",'
    '"webPort":0,"timeZone":"Europe/Rome","statoOnOff":1,"stato":1,"alrm":"Assenza PV",'
    '"timeOutRefreshCns":4050}}')
CONF_VALUES = [
    ("Brumoxa Version", "3.2.0", ""), ("Connection Type", "ORBEX ADSL", ""),
    ("Data e Ora UTC", "14/11/2023 22:13:20", "dd/mm/yyyy hh:mm:ss"), ("Seriale", SN, ""),
    ("Vers Firmware GW", "1.2.3", ""), ("Vers Firmware CN", "6.4.25", ""),
    ("Wh/impulso", "1.0", "Wh/Impulso"), ("Soglia Potenza Minima", "0.050", "kW"),
    ("Valore Impianto", "20", "kW"), ("Equivalenza CO2", "0.531", "kgCO2/kWh"),
    ("Prezzo Energia Prodotta", "0.400", "euro/kWh"), ("Connessioni fallite", "3", ""),
    ("SetStatus fallite", "3", ""), ("SetConf fallite", "0", ""), ("SetDataLog fallite", "0", ""),
]
CONF = head("setConf") + '"param":[' + ",".join(
    '{"name":"%s", "lbl":"%s", "value":"%s", "unit":"%s", "vis":"%d"}'
    % (n, n, v, u, 7 if 6 <= i <= 10 else 3) for i, (n, v, u) in enumerate(CONF_VALUES)) + "]}}"


def datalog(n, rows):
    labels = [("utc", "utc", "utc", "", "1"), ("stato", "stato", "stato", "", "2")] + [
        ("%d00000000%d" % (n, k), lbl, typ, unit, "%d00000000%d" % (n, k)) for k, lbl, typ, unit in
        [(2, "Potenza prodotta", "ana", "[kW]"), (3, "Energia prodotta", "ana", "[kW/h]"),
         (6, "Allarme PV", "dig", "[*]"), (7, "Segnale PV", "ana", "[dBm]"),
         (8, "Assenza PV", "dig", "[*]")]]
    times = [r[0] for r in rows]
    return head("setDataLog") + (
        '"nome":"%d00000","id":"%d000000","lblTab":"Produzione","periodoImp":"900","periodoR":"900"'
        ',"start":"%d","stop":"%d","lbl":[' % (n, n, min(times), max(times))
        + ",".join('{"name":"%s","lbl":"%s","type":"%s","unit":"%s","id":"%s"}' % lab for lab in labels)
        + '],"dati":[' + ",".join('[%d,0,"%s","%s",%d,%d,%d]' % r for r in rows) + "]}}")


ROWS = [(1700000000, "123.45", "2.50", 1, -70, 0), (1700000900, "0.00", "2.50", 0, -71, 1)]
DATALOG = datalog(1, ROWS)
ALARMS = head("setAlarms") + (
    '"CAMPI":["nomeAlr","start","stop","statoAlr","livelloAlr"],"DATI": ['
    '["Allarme PV",1700000000,1700000900,"ENDED_ALARM","warning"],'
    '["Assenza PV",1700000901,0,"ALARM_ATTIVO","warning"]],"ACTIVE":[1700000901]}}')


def query(*docs):
    return "[" + ",".join(docs) + "]"


def hack_json(src):
    """How the gateway turns a reply into a command query string."""
    out, sep = [], True
    for c in src:
        if c in ' "':
            continue
        if c in ",[]{}":
            if not sep:
                out.append("&")
                sep = True
        elif c == ":":
            out.append("=")
        else:
            out.append(c)
            sep = False
    return "".join(out)


class Server:
    def __init__(self, *extra):
        self.dir = tempfile.TemporaryDirectory()
        self.record = os.path.join(self.dir.name, "record.jsonl")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "monitor.py"), "--port", "0",
             "--record", self.record, *extra],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.port = int(self.proc.stdout.readline())
        self.url = "http://127.0.0.1:%d" % self.port
        self.seen = 0

    def close(self):
        self.proc.terminate()
        self.proc.wait()
        self.proc.stdout.close()
        self.dir.cleanup()

    def request(self, path, data, ctype, timeout=30):
        req = urllib.request.Request(self.url + path, data=data, headers={"Content-Type": ctype})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def post(self, q, flags, regist=1, timeout=30):
        body = urllib.parse.urlencode({"query": q, "flags": flags, "regist": regist})
        return self.request("/zantor", body.encode(), "application/x-www-form-urlencoded", timeout)

    def control(self, directive):
        status, _ = self.request("/control", json.dumps(directive).encode(), "application/json")
        return status

    def records(self):
        """Record lines written since the last call."""
        with open(self.record, encoding="utf-8") as f:
            lines = [json.loads(x) for x in f]
        new, self.seen = lines[self.seen:], len(lines)
        return new


class MonitorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Server()

    @classmethod
    def tearDownClass(cls):
        cls.srv.close()

    def setUp(self):
        self.assertEqual(self.srv.control({"clear": True}), 200)
        self.srv.records()

    def exchange(self, q, flags, **kw):
        status, body = self.srv.post(q, flags, **kw)
        return status, body, self.srv.records()

    def test_documents_the_gateway_sends_pass(self):
        cases = [
            ("registration", 1, query(INIT), ["initConf"]),
            ("configuration", 2, query(CONF), ["setConf"]),
            ("status with an escaped quote", 4, query(STATUS), ["setStatus"]),
            ("data and alarms", 24, query(DATALOG, ALARMS), ["setDataLog", "setAlarms"]),
            ("data without alarm transitions", 24, query(DATALOG), ["setDataLog"]),
            ("counter 4 in its own exchange", 8, query(datalog(4, ROWS[:1])), ["setDataLog"]),
            ("all five in order", 31, query(INIT, CONF, DATALOG, ALARMS, STATUS),
             ["initConf", "setConf", "setDataLog", "setAlarms", "setStatus"]),
            ("empty data log", 8, "[]", [None]),
        ]
        for name, flags, q, kinds in cases:
            with self.subTest(name):
                status, body, recs = self.exchange(q, flags)
                self.assertEqual(status, 200)
                self.assertEqual([r["kind"] for r in recs], kinds)
                for r in recs:
                    self.assertEqual(r["problems"], [])
                    self.assertTrue(r["ok"] and r["accepted"])
                    self.assertEqual((r["query"], r["flags"]), (q, flags))
                if kinds == ["setDataLog"]:
                    self.assertEqual(recs[0]["counter"], int(json.loads(q)[0]["DATI"]["nome"][0]))

    def test_faults_in_documents_are_recorded(self):
        cases = [
            ("blank missing in a parameter", 2, CONF.replace('", "lbl"', '","lbl"', 1), "layout"),
            ("vis not quoted", 2, CONF.replace('"vis":"7"', '"vis":7', 1), "vis"),
            ("unknown unit", 2, CONF.replace('"kW"', '"W"', 1), "unit"),
            ("start not the first sample", 8, DATALOG.replace('"start":"1700000000"',
                                                              '"start":"1700000001"'), "start"),
            ("four samples", 8, datalog(1, ROWS * 2), "dati"),
            ("power with one decimal", 8, DATALOG.replace('"123.45"', '"123.4"'), "ptot"),
            ("counter digits mixed", 8, datalog(2, ROWS).replace('"2000000"', '"1000000"'), "id"),
            ("counter 5", 8, DATALOG.replace('"100000"', '"500000"'), "nome"),
            ("odd start of Allarme PV", 16,
             ALARMS.replace('"Allarme PV",1700000000', '"Allarme PV",1700000001'), "parity"),
            ("ended alarm listed as active", 16, ALARMS.replace("[1700000901]",
                                                                "[1700000000,1700000901]"), "ACTIVE"),
            ("active alarm with a stop", 16, ALARMS.replace("1700000901,0,", "1700000901,1700000903,"),
             "ALARM_ATTIVO"),
            ("blank missing before the alarm rows", 16, ALARMS.replace('"DATI": [', '"DATI":['), "layout"),
            ("stato without alarm text", 4, STATUS.replace('"alrm":"Assenza PV"', '"alrm":""'), "stato"),
            ("web port as text", 4, STATUS.replace('"webPort":0', '"webPort":"0"'), "webPort"),
            ("keys swapped", 1, INIT.replace('"name":"Impianto","address":"Via Roma 1"',
                                             '"address":"Via Roma 1","name":"Impianto"'), "keys"),
            ("user name is not the serial number", 1, INIT.replace('"username":"%s"' % SN,
                                                                   '"username":"x"'), "username"),
            ("unknown document", 4, STATUS.replace("setStatus", "setState"), "unknown document"),
        ]
        for name, flags, doc, problem in cases:
            with self.subTest(name):
                status, _, recs = self.exchange(query(doc), flags)
                self.assertEqual(status, 200)  # recorded, not refused: not strict
                self.assertEqual(len(recs), 1)
                self.assertFalse(recs[0]["ok"])
                self.assertIn(problem, " ".join(recs[0]["problems"]))

    def test_faults_of_the_exchange_are_recorded(self):
        other_sn = CONF.replace(SN, "11111111")
        cases = [
            ("document without its flag", 2, query(STATUS), "without its flag"),
            ("flag without its document", 5, query(STATUS), "no such document"),
            ("documents out of order", 6, query(STATUS, CONF), "out of order"),
            ("document twice", 8, query(DATALOG, DATALOG), "twice"),
            ("two serial numbers", 6, query(other_sn, STATUS), "serial numbers"),
            ("flags out of range", 32, query(STATUS), "flags"),
        ]
        for name, flags, q, problem in cases:
            with self.subTest(name):
                _, _, recs = self.exchange(q, flags)
                for r in recs:
                    self.assertFalse(r["ok"])
                    self.assertIn(problem, " ".join(r["problems"]))

    def test_text_that_is_not_utf8_is_a_fault(self):
        body = ("query=" + urllib.parse.quote(query(INIT).replace("Impianto", "Citt\xe0"),
                                              encoding="latin-1") + "&flags=1&regist=0").encode()
        status, _ = self.srv.request("/zantor", body, "application/x-www-form-urlencoded")
        self.assertEqual(status, 200)
        (rec,) = self.srv.records()
        self.assertIn("UTF-8", " ".join(rec["problems"]))

    def test_unreadable_queries_are_refused(self):
        cut = query(CONF)[:-40]  # as the gateway's command-line limit would cut it
        cases = [
            ("cut short", cut),
            ("blank between documents", "[" + INIT + ", " + STATUS + "]"),
            ("not an array", INIT),
            ("text after the array", query(INIT) + "x"),
        ]
        for name, q in cases:
            with self.subTest(name):
                status, body, recs = self.exchange(q, 1)
                self.assertEqual(status, 400)
                self.assertIn("error", json.loads(body))
                self.assertEqual([(r["kind"], r["ok"], r["query"]) for r in recs], [(None, False, q)])
        status, _ = self.srv.request("/zantor", b"flags=1&regist=0", "application/x-www-form-urlencoded")
        self.assertEqual(status, 400)
        status, _ = self.srv.request("/zantor", query(INIT).encode(), "application/json")
        self.assertEqual(status, 415)

    def test_reply_is_what_the_gateway_parses(self):
        status, body, _ = self.exchange(query(STATUS), 4)
        self.assertEqual(status, 200)
        self.assertRegex(body, r'^\{"utc":\d+\}$')  # no blank after the colon

        upgrade = {"ftp": "127.0.0.1", "prt": 2121, "bin": "fw.tgz", "usr": "u", "pwd": "p", "pth": "/up"}
        self.assertEqual(self.srv.control({"cnf": 1, "on": "setStatus"}), 200)
        self.assertEqual(self.srv.control({"upgrade": upgrade, "on": "setConf", "utc": 1700000000}), 200)
        # The data exchange comes first and gets neither request.
        self.assertNotIn("cnf", self.exchange(query(DATALOG), 8)[1])
        body = self.exchange(query(STATUS), 4)[1]
        self.assertIn('"cnf":1', body)
        self.assertEqual(hack_json(self.exchange(query(CONF), 2)[1]),
                         "utc=1700000000&ftp=127.0.0.1&prt=2121&bin=fw.tgz&usr=u&pwd=p&pth=/up&")
        self.assertNotIn("cnf", self.exchange(query(STATUS), 4)[1])  # used up

    def test_directives_apply_to_the_next_exchanges(self):
        cases = [
            ("error status", [{"status": 500}], [500, 200]),
            ("refusal", [{"reject": True}], [422, 200]),
            ("counted", [{"reject": True, "count": 2}], [422, 422, 200]),
            ("queued in order", [{"status": 503}, {"reject": True}], [503, 422, 200]),
            ("until cleared", [{"status": 500, "always": True}], [500, 500, 500]),
        ]
        for name, directives, statuses in cases:
            with self.subTest(name):
                self.srv.control({"clear": True})
                for d in directives:
                    self.assertEqual(self.srv.control(d), 200)
                got = [self.exchange(query(STATUS), 4)[0] for _ in statuses]
                self.assertEqual(got, statuses)
                self.assertTrue(all(r["ok"] for r in self.srv.records()))

    def test_verbatim_body(self):
        self.srv.control({"body": '{"utc":"x"}'})
        self.assertEqual(self.exchange(query(STATUS), 4)[:2], (200, '{"utc":"x"}'))

    def test_bad_directives_are_refused(self):
        for d in [{"cnf": 1, "typo": 2}, {"count": 0}, {"status": 99}, {"on": "setStuff"},
                  {"upgrade": {"prt": [21]}}, {"hang": -1}, [1]]:
            with self.subTest(d):
                self.assertEqual(self.srv.control(d), 400)
        self.assertEqual(self.srv.request("/control", b"{", "application/json")[0], 400)

    def test_hang_keeps_the_client_waiting_but_not_the_server(self):
        self.srv.control({"hang": 60})
        with self.assertRaises((socket.timeout, urllib.error.URLError)):
            self.srv.post(query(STATUS), 4, timeout=1)
        self.assertEqual(self.exchange(query(STATUS), 4)[0], 200)


class StrictMonitorTest(unittest.TestCase):
    def test_strict_server_refuses_faulty_documents(self):
        srv = Server("--strict", "--control", '{"cnf":1}')
        try:
            status, body = srv.post(query(STATUS.replace('"webPort":0', '"webPort":1')), 4)
            self.assertEqual(status, 422)
            status, body = srv.post(query(STATUS), 4)
            self.assertEqual(status, 200)
            self.assertNotIn("cnf", body)  # the refused exchange used the start directive
        finally:
            srv.close()


if __name__ == "__main__":
    unittest.main()
