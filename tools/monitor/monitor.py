#!/usr/bin/env python3
"""Stand-in monitoring server for the gateway's transfer script.

It takes the form POST of bin/sendjson.sh (fields "query", "flags",
"regist"), checks every document of the query against the exact layout the
gateway sends, records one JSON line per document and answers as the real
server does: a JSON object whose "utc" carries the server time, plus whatever
a test asked for.

Tests steer the next replies with POST /control and a JSON object:
    {"cnf": 1}                      ask for the configuration report
    {"upgrade": {"ftp": "h", ...}}  add upgrade keys (ftp prt bin usr pwd pth)
    {"status": 500}                 answer with this HTTP status
    {"reject": true}                refuse the documents (HTTP 422)
    {"hang": 30}                    wait this many seconds before answering
    {"utc": 1700000000}             report this time instead of the clock
    {"body": "text"}                answer with this text as it stands
    "count": N                      for the next N matching exchanges (1)
    "always": true                  until {"clear": true}
    "on": "setConf"                 only exchanges whose flags select it
GET /control lists what is pending. --control JSON queues one at start.

Only Python's standard library: it runs wherever the tests run.
"""

import argparse
import datetime
import http.server
import json
import re
import sys
import threading
import time
import urllib.parse

KIND_FLAGS = {"initConf": 1, "setConf": 2, "setStatus": 4, "setDataLog": 8, "setAlarms": 16}
# The order in which the gateway joins documents into one query.
KIND_ORDER = ["initConf", "setConf", "setDataLog", "setAlarms", "setStatus"]
# These documents are always written when their flag is given; an empty data
# log writes nothing and the alarm document goes only with a transition.
ALWAYS_WRITTEN = ("initConf", "setConf", "setStatus")

MAX_BODY = 1 << 20

VERSION = r"^\d+\.\d+\.\d+$"
DEC1 = r"^-?\d+\.\d$"
DEC2 = r"^-?\d+\.\d\d$"
DEC3 = r"^-?\d+\.\d{3}$"
INT = r"^-?\d+$"
COUNT = r"^\d+$"
UTC_TEXT = r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d$"

# name, value pattern (or exact text), unit, vis
CONF_PARAMS = [
    ("Brumoxa Version", VERSION, "", "3"),
    ("Connection Type", "=ORBEX ADSL", "", "3"),
    ("Data e Ora UTC", UTC_TEXT, "dd/mm/yyyy hh:mm:ss", "3"),
    ("Seriale", None, "", "3"),  # must equal the document's "sn"
    ("Vers Firmware GW", VERSION, "", "3"),
    ("Vers Firmware CN", VERSION, "", "3"),
    ("Wh/impulso", DEC1, "Wh/Impulso", "7"),
    ("Soglia Potenza Minima", DEC3, "kW", "7"),
    ("Valore Impianto", INT, "kW", "7"),
    ("Equivalenza CO2", DEC3, "kgCO2/kWh", "7"),
    ("Prezzo Energia Prodotta", DEC3, "euro/kWh", "7"),
    ("Connessioni fallite", COUNT, "", "3"),
    ("SetStatus fallite", COUNT, "", "3"),
    ("SetConf fallite", COUNT, "", "3"),
    ("SetDataLog fallite", COUNT, "", "3"),
]

ALARMS = ["Allarme PV", "Assenza PV"]  # index = parity of its timestamps
ALARM_FIELDS = ["nomeAlr", "start", "stop", "statoAlr", "livelloAlr"]


def datalog_labels(n):
    """The seven column labels of counter n's data log."""
    def col(suffix, lbl, typ, unit):
        name = "%d00000000%d" % (n, suffix)
        return [name, lbl, typ, unit, name]
    return [
        ["utc", "utc", "utc", "", "1"],
        ["stato", "stato", "stato", "", "2"],
        col(2, "Potenza prodotta", "ana", "[kW]"),
        col(3, "Energia prodotta", "ana", "[kW/h]"),
        col(6, "Allarme PV", "dig", "[*]"),
        col(7, "Segnale PV", "ana", "[dBm]"),
        col(8, "Assenza PV", "dig", "[*]"),
    ]


class Obj(list):
    """A JSON object as its list of pairs: keeps key order and duplicates."""


def plain(v):
    """Obj trees to ordinary dicts and lists, for recording."""
    if isinstance(v, Obj):
        return {k: plain(x) for k, x in v}
    if isinstance(v, list):
        return [plain(x) for x in v]
    return v


def is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


class QueryError(Exception):
    pass


def split_query(text):
    """The documents of a query "[doc,doc,...]" as (raw text, Obj) pairs.

    The gateway writes no blank between documents, so none is accepted.
    """
    if not text.startswith("["):
        raise QueryError("query does not start with '['")
    if text == "[]":
        return []
    dec = json.JSONDecoder(object_pairs_hook=Obj)
    docs, i = [], 1
    while True:
        try:
            obj, end = dec.raw_decode(text, i)
        except json.JSONDecodeError as e:
            raise QueryError("document %d is not JSON: %s" % (len(docs) + 1, e)) from None
        docs.append((text[i:end], obj))
        sep = text[end:end + 1]
        if sep == ",":
            i = end + 1
        elif sep == "]" and end + 1 == len(text):
            return docs
        else:
            raise QueryError("unexpected text after document %d at offset %d" % (len(docs), end))


class Checker:
    """Collects the problems of one document."""

    def __init__(self):
        self.problems = []

    def fail(self, where, msg):
        self.problems.append("%s: %s" % (where, msg))

    def obj(self, where, v, keys):
        if not isinstance(v, Obj):
            self.fail(where, "not an object")
            return None
        got = [k for k, _ in v]
        if got != keys:
            self.fail(where, "keys %s, expected %s" % (got, keys))
            return None
        return dict(v)

    def array(self, where, v, lo, hi):
        if not isinstance(v, list) or isinstance(v, Obj):
            self.fail(where, "not an array")
            return None
        if not lo <= len(v) <= hi:
            self.fail(where, "%d entries, expected %d to %d" % (len(v), lo, hi))
            return None
        return v

    def text(self, where, v, rule=None):
        """rule: None (any text), "=exact", or a regular expression."""
        if not isinstance(v, str):
            self.fail(where, "not a text: %r" % (v,))
            return False
        if rule is None:
            return True
        if rule.startswith("="):
            ok = v == rule[1:]
        else:
            ok = re.match(rule, v) is not None
        if not ok:
            self.fail(where, "%r does not match %r" % (v, rule))
        return ok

    def integer(self, where, v, allowed=None, lo=None):
        if not is_int(v):
            self.fail(where, "not an integer: %r" % (v,))
            return False
        if (allowed is not None and v not in allowed) or (lo is not None and v < lo):
            self.fail(where, "value %d out of range" % v)
            return False
        return True


def check_init_conf(c, d, sn):
    d = c.obj("DATI", d, ["name", "address", "notes", "username", "password",
                          "eMail", "installerCode"])
    if d is None:
        return
    for k in ("name", "address", "eMail"):
        c.text(k, d[k])
    c.text("notes", d["notes"], "=")
    c.text("installerCode", d["installerCode"], "=")
    # The serial number is the plant account's user name and password.
    c.text("username", d["username"], "=" + sn)
    c.text("password", d["password"], "=" + sn)


def check_set_status(c, d, sn):
    d = c.obj("DATI", d, ["serialN", "nomeInstall", "version", "webPort", "timeZone",
                          "statoOnOff", "stato", "alrm", "timeOutRefreshCns"])
    if d is None:
        return
    c.text("serialN", d["serialN"], "=7ulmi100000")
    c.text("nomeInstall", d["nomeInstall"])
    c.text("version", d["version"], "=7ULMI-V100.100")
    c.integer("webPort", d["webPort"], (0,))
    c.text("timeZone", d["timeZone"], "=Europe/Rome")
    c.integer("statoOnOff", d["statoOnOff"], (1,))
    c.integer("timeOutRefreshCns", d["timeOutRefreshCns"], lo=0)
    if c.integer("stato", d["stato"], (0, 1)) and c.text("alrm", d["alrm"]):
        if d["alrm"] not in [""] + ALARMS:
            c.fail("alrm", "unknown alarm %r" % d["alrm"])
        elif (d["stato"] == 1) != (d["alrm"] != ""):
            c.fail("stato", "stato %d with alarm text %r" % (d["stato"], d["alrm"]))


def check_set_conf(c, d, sn):
    d = c.obj("DATI", d, ["param"])
    if d is None:
        return
    params = c.array("param", d["param"], len(CONF_PARAMS), len(CONF_PARAMS))
    if params is None:
        return
    for i, (p, (name, rule, unit, vis)) in enumerate(zip(params, CONF_PARAMS)):
        where = "param[%d]" % i
        p = c.obj(where, p, ["name", "lbl", "value", "unit", "vis"])
        if p is None:
            continue
        c.text(where + ".name", p["name"], "=" + name)
        c.text(where + ".lbl", p["lbl"], "=" + name)
        c.text(where + ".value", p["value"], rule if rule is not None else "=" + sn)
        c.text(where + ".unit", p["unit"], "=" + unit)
        c.text(where + ".vis", p["vis"], "=" + vis)
        if name == "Data e Ora UTC" and isinstance(p["value"], str):
            try:
                datetime.datetime.strptime(p["value"], "%d/%m/%Y %H:%M:%S")
            except ValueError:
                c.fail(where + ".value", "not a date: %r" % p["value"])


def check_set_data_log(c, d, sn):
    d = c.obj("DATI", d, ["nome", "id", "lblTab", "periodoImp", "periodoR",
                          "start", "stop", "lbl", "dati"])
    if d is None:
        return None
    if not c.text("nome", d["nome"], r"^[1-4]00000$"):
        return None
    n = int(d["nome"][0])
    c.text("id", d["id"], "=%d000000" % n)
    c.text("lblTab", d["lblTab"], "=Produzione")
    c.text("periodoImp", d["periodoImp"], "=900")
    c.text("periodoR", d["periodoR"], "=900")
    labels = c.array("lbl", d["lbl"], 7, 7)
    if labels is not None:
        for i, (lab, want) in enumerate(zip(labels, datalog_labels(n))):
            lab = c.obj("lbl[%d]" % i, lab, ["name", "lbl", "type", "unit", "id"])
            if lab is not None and [lab[k] for k in ("name", "lbl", "type", "unit", "id")] != want:
                c.fail("lbl[%d]" % i, "%s, expected %s" % (plain(labels[i]), want))
    # At most three samples are read from a counter for one document.
    rows = c.array("dati", d["dati"], 1, 3)
    times = []
    for i, row in enumerate(rows or []):
        where = "dati[%d]" % i
        row = c.array(where, row, 7, 7)
        if row is None:
            continue
        if c.integer(where + ".utc", row[0], lo=0):
            times.append(row[0])
        c.integer(where + ".stato", row[1], (0,))
        c.text(where + ".ptot", row[2], DEC2)
        c.text(where + ".etot", row[3], DEC2)
        c.integer(where + ".almpv", row[4], (0, 1))
        c.integer(where + ".dbm", row[5])
        c.integer(where + ".assenzapv", row[6], (0, 1))
    if times and len(times) == len(rows):
        c.text("start", d["start"], "=%d" % min(times))
        c.text("stop", d["stop"], "=%d" % max(times))
    return n


def check_set_alarms(c, d, sn):
    d = c.obj("DATI", d, ["CAMPI", "DATI", "ACTIVE"])
    if d is None:
        return
    if d["CAMPI"] != ALARM_FIELDS:
        c.fail("CAMPI", "%s, expected %s" % (plain(d["CAMPI"]), ALARM_FIELDS))
    rows = c.array("DATI.DATI", d["DATI"], 1, 2) or []
    active, last = [], -1
    for i, row in enumerate(rows):
        where = "DATI.DATI[%d]" % i
        row = c.array(where, row, 5, 5)
        if row is None:
            continue
        desc, start, stop, state, lev = row
        if desc not in ALARMS:
            c.fail(where, "unknown alarm %r" % (desc,))
            continue
        j = ALARMS.index(desc)
        if j <= last:
            c.fail(where, "alarm %r out of order or repeated" % desc)
        last = j
        c.text(where + ".livelloAlr", lev, "=warning")
        # Alarm 0 stamps even times and alarm 1 odd ones, so the two never clash.
        if c.integer(where + ".start", start, lo=1) and start % 2 != j:
            c.fail(where + ".start", "%d has the wrong parity for %s" % (start, desc))
        if c.integer(where + ".stop", stop, lo=0) and stop and stop % 2 != j:
            c.fail(where + ".stop", "%d has the wrong parity for %s" % (stop, desc))
        if c.text(where + ".statoAlr", state, r"^(ALARM_ATTIVO|ENDED_ALARM)$") and is_int(stop):
            if (state == "ALARM_ATTIVO") != (stop == 0):
                c.fail(where, "%s with stop %d" % (state, stop))
            elif stop == 0:
                active.append(start)
    if isinstance(d["ACTIVE"], list) and not isinstance(d["ACTIVE"], Obj):
        if rows and d["ACTIVE"] != active:
            c.fail("ACTIVE", "%s, expected %s" % (d["ACTIVE"], active))
    else:
        c.fail("ACTIVE", "not an array")


CHECKS = {
    "initConf": check_init_conf,
    "setStatus": check_set_status,
    "setConf": check_set_conf,
    "setDataLog": check_set_data_log,
    "setAlarms": check_set_alarms,
}


def layout(kind, doc):
    """The document as the gateway formats it, built from its parsed values.

    Only the punctuation and blanks are compared (see mask), so how a text
    value was escaped does not matter here.
    """
    s = json.dumps
    d = doc[2][1]
    v = dict(d)
    head = '{"act":%s,"sn":%s,"DATI":{' % (s(doc[0][1]), s(doc[1][1]))
    if kind == "initConf":
        body = ('"name":%s,"address":%s,"notes":%s,"username":%s,"password":%s'
                ',"eMail":%s,"installerCode":%s' % tuple(s(x) for _, x in d))
    elif kind == "setStatus":
        body = ('"serialN":%s,"nomeInstall":%s,"version":%s,"webPort":%d,"timeZone":%s,'
                '"statoOnOff":%d,"stato":%d,"alrm":%s,"timeOutRefreshCns":%d'
                % (s(v["serialN"]), s(v["nomeInstall"]), s(v["version"]), v["webPort"],
                   s(v["timeZone"]), v["statoOnOff"], v["stato"], s(v["alrm"]),
                   v["timeOutRefreshCns"]))
    elif kind == "setConf":
        body = '"param":[%s]' % ",".join(
            '{"name":%s, "lbl":%s, "value":%s, "unit":%s, "vis":%s}'
            % tuple(s(x) for _, x in p) for p in v["param"])
    elif kind == "setDataLog":
        labels = ",".join('{"name":%s,"lbl":%s,"type":%s,"unit":%s,"id":%s}'
                          % tuple(s(x) for _, x in lab) for lab in v["lbl"])
        rows = ",".join("[%d,%d,%s,%s,%d,%d,%d]" % (r[0], r[1], s(r[2]), s(r[3]), r[4], r[5], r[6])
                        for r in v["dati"])
        body = ('"nome":%s,"id":%s,"lblTab":%s,"periodoImp":%s,"periodoR":%s,"start":%s,'
                '"stop":%s,"lbl":[%s],"dati":[%s]'
                % (s(v["nome"]), s(v["id"]), s(v["lblTab"]), s(v["periodoImp"]),
                   s(v["periodoR"]), s(v["start"]), s(v["stop"]), labels, rows))
    else:  # setAlarms
        rows = ",".join("[%s,%d,%d,%s,%s]" % (s(r[0]), r[1], r[2], s(r[3]), s(r[4]))
                        for r in v["DATI"])
        body = ('"CAMPI":[%s],"DATI": [%s],"ACTIVE":[%s]'
                % (",".join(s(x) for x in v["CAMPI"]), rows, ",".join("%d" % x for x in v["ACTIVE"])))
    return head + body + "}}"


STRING_LITERAL = re.compile(r'"(?:[^"\\]|\\.)*"')


def mask(text):
    return STRING_LITERAL.sub('""', text)


def check_document(raw, obj):
    """Returns (kind, counter number or None, problems) of one document."""
    c = Checker()
    if not isinstance(obj, Obj):
        return None, None, ["document is not an object"]
    kind = dict(obj).get("act")
    kind = kind if isinstance(kind, str) else None
    top = c.obj("document", obj, ["act", "sn", "DATI"])
    if top is None:
        return kind, None, c.problems
    if kind not in CHECKS:
        c.fail("act", "unknown document %r" % (top["act"],))
        return kind, None, c.problems
    sn = top["sn"]
    if not isinstance(sn, str) or not sn:
        c.fail("sn", "missing serial number")
        sn = ""
    counter = CHECKS[kind](c, top["DATI"], sn)
    if not c.problems:
        want, got = mask(layout(kind, obj)), mask(raw)
        if want != got:
            at = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b),
                      min(len(want), len(got)))
            c.fail("layout", "differs at %d: got %r, expected %r" % (at, got[at:at + 24], want[at:at + 24]))
    return kind, counter, c.problems


def check_exchange(flags, regist, kinds, sns):
    """Problems of the exchange as a whole: flags against the documents."""
    problems = []
    if not 1 <= flags <= 31:
        problems.append("flags %d out of range" % flags)
    if regist not in (0, 1):
        problems.append("regist %d is not 0 or 1" % regist)
    known = [k for k in kinds if k in KIND_FLAGS]
    for k in known:
        if not flags & KIND_FLAGS[k]:
            problems.append("%s sent without its flag" % k)
    for k in ALWAYS_WRITTEN:
        if flags & KIND_FLAGS[k] and k not in known:
            problems.append("flag of %s given but no such document" % k)
    if len(set(known)) != len(known):
        problems.append("a document kind appears twice")
    elif known != sorted(known, key=KIND_ORDER.index):
        problems.append("documents out of order: %s" % known)
    if len(set(sns)) > 1:
        problems.append("documents of one exchange carry different serial numbers")
    return problems


def parse_form(body):
    """Form fields of the POST body; values as UTF-8 text.

    Returns (fields, problems): invalid UTF-8 is a problem of its own.
    """
    fields, problems = {}, []
    text = body.decode("latin-1")
    for k, v in urllib.parse.parse_qsl(text, keep_blank_values=True, encoding="latin-1"):
        raw = v.encode("latin-1")
        try:
            v = raw.decode("utf-8")
        except UnicodeDecodeError:
            problems.append("field %s is not valid UTF-8" % k)
            v = raw.decode("utf-8", errors="replace")
        fields.setdefault(k, []).append(v)
    return fields, problems


class Directive:
    KEYS = {"cnf", "upgrade", "status", "reject", "hang", "utc", "body", "count", "always", "on"}

    def __init__(self, directive):
        if not isinstance(directive, dict):
            raise ValueError("a directive is a JSON object")
        unknown = set(directive) - self.KEYS
        if unknown:
            raise ValueError("unknown keys %s" % sorted(unknown))
        self.directive = directive
        self.count = directive.get("count", 1)
        if not is_int(self.count) or self.count < 1:
            raise ValueError("count must be a positive integer")
        on = directive.get("on", [])
        self.on = [on] if isinstance(on, str) else on
        if not isinstance(self.on, list) or any(k not in KIND_FLAGS for k in self.on):
            raise ValueError("on must name document kinds")
        checks = {
            "cnf": is_int,
            "upgrade": lambda u: isinstance(u, dict) and all(
                isinstance(x, str) or is_int(x) for x in u.values()),
            "status": lambda x: is_int(x) and 200 <= x <= 599,
            "reject": lambda x: isinstance(x, bool),
            "always": lambda x: isinstance(x, bool),
            "hang": lambda x: isinstance(x, (int, float)) and not isinstance(x, bool) and 0 <= x <= 3600,
            "utc": is_int,
            "body": lambda x: isinstance(x, str),
        }
        for k, ok in checks.items():
            if k in directive and not ok(directive[k]):
                raise ValueError("bad value for %s" % k)

    def matches(self, flags):
        return not self.on or any(flags & KIND_FLAGS[k] for k in self.on)


class Monitor:
    def __init__(self, record_path, strict):
        self.strict = strict
        self.lock = threading.Lock()
        self.queue = []
        self.seq = 0
        self.record = open(record_path, "w", encoding="utf-8")

    def add(self, directive):
        with self.lock:
            if directive == {"clear": True}:
                self.queue.clear()
            else:
                self.queue.append(Directive(directive))
            return len(self.queue)

    def pending(self):
        with self.lock:
            return [dict(d.directive, count=d.count) for d in self.queue]

    def take(self, flags):
        with self.lock:
            for d in self.queue:
                if d.matches(flags):
                    if not d.directive.get("always"):
                        d.count -= 1
                        if d.count == 0:
                            self.queue.remove(d)
                    return d.directive
        return {}

    def write(self, lines):
        with self.lock:
            for line in lines:
                self.record.write(json.dumps(line, ensure_ascii=False) + "\n")
            self.record.flush()

    def next_seq(self):
        with self.lock:
            self.seq += 1
            return self.seq

    def exchange(self, fields, form_problems):
        """Checks and records one exchange; returns (status, reply body)."""
        seq = self.next_seq()
        base = {"seq": seq, "time": int(time.time())}
        query = fields.get("query", [None])
        try:
            if len(query) != 1 or query[0] is None:
                raise QueryError("exactly one query field expected")
            flags, regist = (int(fields.get(k, ["x"])[0]) for k in ("flags", "regist"))
        except (QueryError, ValueError) as e:
            msg = str(e) if isinstance(e, QueryError) else "flags and regist must be integers"
            self.write([dict(base, kind=None, ok=False, accepted=False, status=400,
                             problems=[msg], query=query[0] if query else None)])
            return 400, {"error": msg}
        base.update(flags=flags, regist=regist, query=query[0])
        try:
            docs = split_query(query[0])
        except QueryError as e:
            self.write([dict(base, kind=None, ok=False, accepted=False, status=400,
                             problems=[str(e)])])
            return 400, {"error": str(e)}

        results = [check_document(raw, obj) for raw, obj in docs]
        sns = [dict(obj).get("sn") for _, obj in docs if isinstance(obj, Obj)]
        common = form_problems + check_exchange(flags, regist, [k for k, _, _ in results], sns)
        bad = bool(common) or any(p for _, _, p in results)

        directive = self.take(flags)
        if directive.get("reject") or (self.strict and bad):
            status, reply = 422, {"error": "documents refused"}
        elif directive.get("status", 200) != 200:
            status, reply = directive["status"], {"error": "status %d" % directive["status"]}
        else:
            status, reply = 200, {"utc": directive.get("utc", int(time.time()))}
            if "cnf" in directive:
                reply["cnf"] = directive["cnf"]
            reply.update(directive.get("upgrade", {}))
        if "body" in directive:
            reply = directive["body"]

        lines = []
        for i, ((kind, counter, problems), (_, obj)) in enumerate(zip(results, docs)):
            line = dict(base, index=i, kind=kind, ok=not (problems or common),
                        accepted=status == 200, status=status, problems=common + problems,
                        doc=plain(obj))
            if counter is not None:
                line["counter"] = counter
            lines.append(line)
        if not lines:  # nothing to record per document, yet the exchange happened
            lines.append(dict(base, kind=None, ok=not common, accepted=status == 200,
                              status=status, problems=common))
        self.write(lines)

        if directive.get("hang"):
            time.sleep(directive["hang"])
        return status, reply


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "zantor-monitor"
    monitor = None  # set by serve()

    def send(self, status, reply):
        data = reply if isinstance(reply, str) else json.dumps(reply, separators=(",", ":"))
        data = data.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json" if not isinstance(reply, str) else "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def read_body(self):
        try:
            n = int(self.headers.get("Content-Length", ""))
        except ValueError:
            n = -1
        if not 0 <= n <= MAX_BODY:
            self.send(411 if n < 0 else 413, {"error": "bad Content-Length"})
            return None
        return self.rfile.read(n)

    def do_GET(self):
        if self.path == "/control":
            self.send(200, {"pending": self.monitor.pending()})
        else:
            self.send(404, {"error": "not found"})

    def do_POST(self):
        body = self.read_body()
        if body is None:
            return
        if self.path == "/control":
            try:
                n = self.monitor.add(json.loads(body))
            except ValueError as e:  # includes bad JSON
                self.send(400, {"error": str(e)})
                return
            self.send(200, {"pending": n})
            return
        ctype = self.headers.get("Content-Type", "").split(";")[0].strip().lower()
        if ctype != "application/x-www-form-urlencoded":
            self.send(415, {"error": "form post expected"})
            return
        fields, problems = parse_form(body)
        self.send(*self.monitor.exchange(fields, problems))


def serve(port, record, strict, controls):
    monitor = Monitor(record, strict)
    for c in controls:
        monitor.add(json.loads(c))
    Handler.monitor = monitor
    # Loopback only: tests run side by side and nothing outside needs it.
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--port", type=int, default=0, help="0 picks a free port (printed first)")
    ap.add_argument("--record", required=True, help="JSON-lines file of received documents")
    ap.add_argument("--strict", action="store_true", help="refuse documents that fail the checks")
    ap.add_argument("--control", action="append", default=[], metavar="JSON",
                    help="a directive queued at start (repeatable)")
    args = ap.parse_args(argv)
    try:
        serve(args.port, args.record, args.strict, args.control)
    except ValueError as e:
        ap.error("bad --control: %s" % e)


if __name__ == "__main__":
    sys.exit(main())
