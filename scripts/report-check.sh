#!/usr/bin/env bash
# The HTML report (n95host --report) as a browser sees it: headless Chromium loads it with the
# network off, every console message of level warning or error fails the check (a reference
# to anything outside the file breaks the report's Content-Security-Policy, which Chromium
# reports as an error; so do a script error and a malformed resource), and the counts shown
# in the page (its data-key cells, read from the DOM after loading) must equal the JSON
# summary's of the same run.
#   scripts/report-check.sh REPORT.html SUMMARY.json
#   scripts/report-check.sh --self-test REPORT.html SUMMARY.json
# --self-test first checks the pair (it must pass), then copies of the report that must fail:
# one with an image from the network, one with a wrong count.
#
# How the messages are caught: Chromium is driven over its DevTools protocol on a pipe
# (--remote-debugging-pipe: commands on descriptor 3, replies and events on 4, each message
# ended by a NUL byte). The page is attached to and Log, Runtime and Page are enabled before
# the report is opened, so that no message of the load is missed; the levels come as the
# protocol gives them (Log.entryAdded's level, Runtime.consoleAPICalled's type,
# Runtime.exceptionThrown). --enable-logging=stderr prints console lines too, but without
# their level. As root Chromium needs --no-sandbox.
#
# Without chromium (`scripts/deps.sh clients` installs it) or python3 it prints a message and
# skips (exit 0). The last line printed is the summary; exits non-zero on any failure.
set -uo pipefail

self_test=0
if [ "${1:-}" = --self-test ]; then
  self_test=1
  shift
fi
if [ $# -ne 2 ]; then
  echo "usage: $0 [--self-test] REPORT.html SUMMARY.json" >&2
  exit 2
fi
report=$1
summary=$2
fail() {  # prints the reason as the summary line and stops
  echo "report-check: FAILED: $*"
  exit 1
}
browser=
for candidate in chromium chromium-browser; do
  command -v "$candidate" >/dev/null 2>&1 && { browser=$candidate; break; }
done
if [ -z "$browser" ] || ! command -v python3 >/dev/null 2>&1; then
  echo "report-check: SKIPPED: chromium or python3 is not installed (scripts/deps.sh clients installs it)"
  exit 0
fi
[ -f "$report" ] || fail "no report $report"
[ -f "$summary" ] || fail "no JSON summary $summary"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/check.py" <<'PY'
import fcntl, html.parser, json, os, select, subprocess, sys, time

browser, report, summary, profile = sys.argv[1:5]
url = "file://" + os.path.abspath(report)

# --- Chromium over the DevTools pipe -----------------------------------------------------
to_browser_r, to_browser_w = os.pipe()
from_browser_r, from_browser_w = os.pipe()
# Copies out of the way of 3 and 4, which the child's ends are duplicated onto.
keep = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser_r, from_browser_w)]
def child_fds():
    os.dup2(keep[0], 3)
    os.dup2(keep[1], 4)
args = [browser, "--headless", "--disable-gpu", "--remote-debugging-pipe",
        "--user-data-dir=" + profile, "--no-first-run", "--no-default-browser-check",
        "--disable-extensions", "--disable-background-networking", "--disable-sync",
        # The network off: no name resolves, and an address given as digits goes to a proxy
        # at the discard port, where nothing listens.
        "--host-resolver-rules=MAP * ~NOTFOUND", "--proxy-server=127.0.0.1:9",
        "about:blank"]
if os.geteuid() == 0:
    args.insert(1, "--no-sandbox")
chrome = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, close_fds=False, preexec_fn=child_fds)
for fd in set(keep + [to_browser_r, from_browser_w]):
    os.close(fd)

deadline = time.monotonic() + 60
buffer = b""
next_id = 0
problems = []

def level_problem(message):
    method, params = message.get("method"), message.get("params", {})
    if method == "Log.entryAdded":
        entry = params["entry"]
        if entry.get("level") in ("warning", "error"):
            return "%s (%s): %s %s" % (entry["level"], entry.get("source", ""),
                                       entry.get("text", ""), entry.get("url", ""))
    elif method == "Runtime.consoleAPICalled":
        if params.get("type") in ("warning", "error", "assert"):
            text = " ".join(str(a.get("value", a.get("description", ""))) for a in params["args"])
            return "console.%s: %s" % (params["type"], text)
    elif method == "Runtime.exceptionThrown":
        details = params["exceptionDetails"]
        return "exception: %s" % details.get("exception", {}).get("description", details.get("text"))
    return None

def read_message(timeout):
    """The next message, or None when none came within `timeout` seconds."""
    global buffer
    end = min(deadline, time.monotonic() + timeout)
    while b"\0" not in buffer:
        left = end - time.monotonic()
        if left <= 0:
            if time.monotonic() >= deadline:
                sys.exit("report-check: FAILED: Chromium did not answer within 60 s")
            return None
        ready, _, _ = select.select([from_browser_r], [], [], left)
        if ready:
            chunk = os.read(from_browser_r, 1 << 16)
            if not chunk:
                sys.exit("report-check: FAILED: Chromium ended before the report was checked")
            buffer += chunk
    raw, buffer = buffer.split(b"\0", 1)
    message = json.loads(raw)
    problem = level_problem(message)
    if problem:
        problems.append(problem)
    return message

def send(method, params=None, session=None):
    global next_id
    next_id += 1
    message = {"id": next_id, "method": method, "params": params or {}}
    if session:
        message["sessionId"] = session
    os.write(to_browser_w, json.dumps(message).encode() + b"\0")
    return next_id

def call(method, params=None, session=None):
    wanted = send(method, params, session)
    while True:
        message = read_message(60)
        if message and message.get("id") == wanted:
            if "error" in message:
                sys.exit("report-check: FAILED: %s: %s" % (method, message["error"]))
            return message["result"]

def wait_for(method, timeout):
    """Reads messages until `method` comes (True) or `timeout` seconds pass (False)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        message = read_message(end - time.monotonic())
        if method and message and message.get("method") == method:
            return True
    return False

try:
    targets = call("Target.getTargets")["targetInfos"]
    page = next(t["targetId"] for t in targets if t["type"] == "page")
    session = call("Target.attachToTarget", {"targetId": page, "flatten": True})["sessionId"]
    for domain in ("Log", "Runtime", "Page"):
        call(domain + ".enable", session=session)
    call("Page.navigate", {"url": url}, session)
    if not wait_for("Page.loadEventFired", 30):
        sys.exit("report-check: FAILED: the report did not finish loading in 30 s")
    wait_for(None, 1.0)  # the messages that come just after the load
    dom = call("Runtime.evaluate", {"expression": "document.documentElement.outerHTML",
                                    "returnByValue": True}, session)["result"]["value"]
    send("Browser.close")
finally:
    try:
        chrome.wait(timeout=20)
    except subprocess.TimeoutExpired:
        chrome.kill()

# --- the counts -----------------------------------------------------------------------------
class Cells(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.key, self.values = None, {}
    def handle_starttag(self, tag, attrs):
        self.key = dict(attrs).get("data-key")
    def handle_data(self, data):
        if self.key is not None:
            self.values[self.key] = self.values.get(self.key, "") + data
    def handle_endtag(self, tag):
        self.key = None

cells = Cells()
cells.feed(dom)
shown = cells.values
doc = json.load(open(summary))
records = doc["records"]
wanted = {"records.total": records["total"], "report.rows": records["total"],
          "records.with_position": records["with_position"],
          "records.without_position": records["without_position"],
          "track.fixes": (doc.get("track") or {}).get("fixes", 0),
          # Without thinning the point layers show every record with a position.
          "records_shown": (doc.get("thinned") or {}).get("records_shown",
                                                          records["with_position"])}
for bucket, count in records["by_class"].items():
    wanted["records.by_class." + bucket] = count
for key, value in sorted(wanted.items()):
    if key not in shown:
        problems.append("the page shows no %s" % key)
    elif shown[key].strip() != str(value):
        problems.append("%s: the page shows %s, the JSON summary %s" % (key, shown[key].strip(), value))
for problem in problems:
    print("  " + problem)
if problems:
    sys.exit("report-check: FAILED: %d problems in %s" % (len(problems), report))
print("report-check: %s: no console warning or error, %d counts equal to the JSON summary's"
      % (report, len(wanted)))
PY

check() {  # REPORT SUMMARY: the check's last line; its status
  rm -rf "$work/profile"
  python3 "$work/check.py" "$browser" "$1" "$2" "$work/profile" 2>&1
}

if [ "$self_test" -eq 0 ]; then
  check "$report" "$summary"
  exit $?
fi

out=$(check "$report" "$summary") || { echo "$out"; fail "the report given fails the check"; }
echo "$out"
# A report that fetches an image must fail, and so must one with a count off by one.
sed 's|</body>|<img src="http://example.com/x.png" alt=""/></body>|' "$report" >"$work/fetch.html"
out=$(check "$work/fetch.html" "$summary") && fail "a report that fetches an image passed: $out"
grep -q 'example.com' <<<"$out" || fail "a report that fetches an image failed for another reason: $out"
echo "report-check: an image from the network fails it: $(grep -m1 example.com <<<"$out")"
python3 - "$report" "$work/count.html" <<'PY' || fail "no records.total in the report"
import re, sys
text = open(sys.argv[1]).read()
changed, n = re.subn(r'(data-key="records.total">)(\d+)', lambda m: m[1] + str(int(m[2]) + 1), text)
assert n == 1
open(sys.argv[2], "w").write(changed)
PY
out=$(check "$work/count.html" "$summary") && fail "a report with a wrong count passed: $out"
grep -q 'records.total' <<<"$out" || fail "a report with a wrong count failed for another reason: $out"
echo "report-check: a wrong count fails it: $(grep -m1 records.total <<<"$out")"
echo "report-check: self-test passed: the report passes; a fetch and a wrong count fail"
