#!/usr/bin/env python3
"""Opens pages in one headless Chromium and tells what each did, as JSON on standard output.

    html_browser.py --shots DIR [--eval NAME=EXPR ...] [--print PAGE.html ...]
                    [--hear PAGE.html ...] PAGE.html ...

For every page, opened 1280 CSS pixels wide: the console errors (console.error, uncaught
exceptions and the browser's own error entries, such as a Content-Security-Policy violation or
a resource that failed to load), every network request other than the page itself, the value
of each --eval expression, the text that falls short of a 4.5:1 contrast with what is behind it
(SVG text against the shape under it), and a screenshot DIR/<page name>.png of the page's top (the first 1400 CSS pixels), or of the
first element --clip selects.  A page also named by --hear is told as screen readers would
hear it (the names of its groups and pictures, its links without a name, and any name that is
one of Graphviz's node ids); one named by --print is printed to DIR/<page name>.pdf (A4, its
first pages) and, where poppler's pdftotext is installed, the text of each page is given.

Speaks the DevTools protocol over a websocket (python3-websocket).  Chromium gets a profile of
its own, a proxy on a closed loopback port and a host resolver that finds no name, so neither
the pages nor the browser itself can reach beyond this machine.  Exit status 0 when every page
was examined; 2 when Chromium or the websocket module is missing (a message says which).
"""
import argparse
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

TIMEOUT = 30  # seconds for Chromium to start and for a page to load
SETTLE = 0.5  # seconds to wait after the load event for late requests and messages
SHOT_HEIGHT = 1400
PRINTED_PAGES = 4


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


class DevTools:
    def __init__(self, url):
        import websocket  # python3-websocket

        self.ws = websocket.create_connection(url, timeout=TIMEOUT, suppress_origin=True)
        self.next_id = 0
        self.events = []

    def call(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        self.ws.send(json.dumps(message))
        while True:
            reply = json.loads(self.ws.recv())
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_for(self, method, session, seconds):
        deadline = time.monotonic() + seconds
        for event in self.events:
            if event.get("method") == method and event.get("sessionId") == session:
                return True
        self.ws.settimeout(0.2)
        try:
            while time.monotonic() < deadline:
                try:
                    event = json.loads(self.ws.recv())
                except Exception as e:  # the websocket module's timeout
                    if "timed out" in str(e).lower() or type(e).__name__.endswith("Timeout"):
                        continue
                    raise
                self.events.append(event)
                if event.get("method") == method and event.get("sessionId") == session:
                    return True
            return False
        finally:
            self.ws.settimeout(TIMEOUT)

    def drain(self, seconds):
        self.wait_for("-never-", None, seconds)


# Text whose colour falls short of 4.5:1 against what is behind it: for HTML, the first
# ancestor background that is not transparent; for SVG text, the filled shape of its node or
# line that holds it, else the picture's white.
CONTRAST = r"""(() => {
  const rgb = c => c.startsWith('#')
      ? [1, 3, 5].map(i => parseInt(c.slice(i, i + 2), 16))
      : c.match(/[\d.]+/g).map(Number);
  const lum = c => {
    const v = rgb(c).slice(0, 3).map(x => (x /= 255) <= 0.03928 ? x / 12.92
                                                               : Math.pow((x + 0.055) / 1.055, 2.4));
    return 0.2126 * v[0] + 0.7152 * v[1] + 0.0722 * v[2];
  };
  const opaque = c => { const m = rgb(c); return m.length < 4 || m[3] > 0.5; };
  const ratio = (a, b) => { const x = lum(a), y = lum(b);
                            return (Math.max(x, y) + 0.05) / (Math.min(x, y) + 0.05); };
  const low = [];
  let checked = 0;
  for (const el of document.querySelectorAll('body *')) {
    if (el.closest('svg')) continue;
    if (![...el.childNodes].some(n => n.nodeType === 3 && n.textContent.trim())) continue;
    const style = getComputedStyle(el);
    if (style.display === 'none' || style.visibility === 'hidden') continue;
    let back = 'rgb(255, 255, 255)';
    for (let e = el; e; e = e.parentElement) {
      const c = getComputedStyle(e).backgroundColor;
      if (opaque(c)) { back = c; break; }
    }
    checked++;
    const r = ratio(style.color, back);
    if (r < 4.5) low.push(`${el.tagName}.${el.className} ${r.toFixed(2)} ${el.textContent.slice(0, 40)}`);
  }
  for (const t of document.querySelectorAll('svg text')) {
    const box = t.getBBox();
    let back = '#ffffff';
    const g = t.closest('g.node, g.edge');
    for (const shape of g ? g.querySelectorAll('path, polygon') : []) {
      if (!(shape.compareDocumentPosition(t) & Node.DOCUMENT_POSITION_FOLLOWING)) continue;
      const fill = shape.getAttribute('fill');
      if (!fill || !fill.startsWith('#')) continue;
      const b = shape.getBBox();
      if (b.x <= box.x && b.y <= box.y && b.x + b.width >= box.x + box.width &&
          b.y + b.height >= box.y + box.height) back = fill;
    }
    checked++;
    const r = ratio(t.getAttribute('fill') || '#000000', back);
    if (r < 4.5) low.push(`svg text ${r.toFixed(2)} ${t.textContent.slice(0, 40)}`);
  }
  return {checked, low: low.slice(0, 10)};
})()"""


def accessibility(tools, session):
    """What a screen reader would hear: group and picture names, unnamed links, and names that
    are Graphviz's node ids (v1, r2, v1--v2)."""
    import re

    tools.call("Accessibility.enable", session=session)
    nodes = tools.call("Accessibility.getFullAXTree", session=session).get("nodes", [])
    groups, unnamed, node_ids = [], 0, []
    for node in nodes:
        role = node.get("role", {}).get("value", "")
        name = str(node.get("name", {}).get("value", ""))
        if role in ("group", "graphics-document", "figure") and name:
            groups.append(name)
        if role == "link" and not name.strip():
            unnamed += 1
        if re.fullmatch(r"[vrjt][0-9_]+(--[vrjt][0-9_]+)?|topology|graph0", name.strip()):
            node_ids.append(name)
    return {"groups": groups, "unnamed_links": unnamed, "graphviz_ids": node_ids[:10]}


def printed(tools, session, page, shots):
    # The first pages hold the summary and the first subscription's heading and picture.
    pdf = tools.call("Page.printToPDF", {"paperWidth": 8.27, "paperHeight": 11.69,
                                         "preferCSSPageSize": True, "printBackground": True,
                                         "pageRanges": "1-%d" % PRINTED_PAGES},
                     session=session)
    path = os.path.join(shots, os.path.splitext(os.path.basename(page))[0] + ".pdf")
    with open(path, "wb") as f:
        f.write(base64.b64decode(pdf["data"]))
    pages = None
    if shutil.which("pdftotext"):
        text = subprocess.run(["pdftotext", "-layout", path, "-"], capture_output=True,
                              text=True, check=True).stdout
        pages = text.split("\f")
        if pages and not pages[-1].strip():
            pages.pop()
    return {"pdf": path, "pages": pages}


def examine(tools, page, shots, evals, clip_selector=None, to_print=False, to_hear=False):
    url = "file://" + os.path.abspath(page)
    target = tools.call("Target.createTarget", {"url": "about:blank"})["targetId"]
    session = tools.call("Target.attachToTarget", {"targetId": target, "flatten": True})[
        "sessionId"
    ]
    for domain in ("Page", "Runtime", "Log", "Network"):
        tools.call(domain + ".enable", session=session)
    tools.call(
        "Emulation.setDeviceMetricsOverride",
        {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False},
        session=session,
    )
    tools.events.clear()
    tools.call("Page.navigate", {"url": url}, session=session)
    loaded = tools.wait_for("Page.loadEventFired", session, TIMEOUT)
    tools.drain(SETTLE)

    errors, requests = [], []
    for event in tools.events:
        if event.get("sessionId") != session:
            continue
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            errors.append(
                "console." + params["type"] + ": "
                + " ".join(str(a.get("value", a.get("description", ""))) for a in params["args"])
            )
        elif method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            errors.append("exception: " + details.get("exception", {}).get(
                "description", details.get("text", "")))
        elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
            errors.append("log: " + params["entry"].get("text", ""))
        elif method == "Network.requestWillBeSent":
            requested = params["request"]["url"]
            if requested != url:
                requests.append(requested)

    values = {}
    for name, expression in evals:
        result = tools.call(
            "Runtime.evaluate", {"expression": expression, "returnByValue": True}, session=session
        )
        values[name] = result.get("result", {}).get("value")

    contrast = tools.call("Runtime.evaluate", {"expression": CONTRAST, "returnByValue": True},
                          session=session).get("result", {}).get("value")
    heard = accessibility(tools, session) if to_hear else None
    paper = printed(tools, session, page, shots) if to_print else None

    metrics = tools.call("Page.getLayoutMetrics", session=session)
    size = metrics.get("cssContentSize") or metrics.get("contentSize")
    clip = {"x": 0, "y": 0, "width": 1280, "height": min(SHOT_HEIGHT, int(size["height"]))}
    if clip_selector:
        box = tools.call("Runtime.evaluate", {
            "expression": "(() => { const e = document.querySelector(%s); if (!e) return null; "
                          "const r = e.getBoundingClientRect(); return {x: r.x + scrollX, "
                          "y: r.y + scrollY, width: r.width, height: r.height}; })()"
                          % json.dumps(clip_selector),
            "returnByValue": True}, session=session).get("result", {}).get("value")
        if box:
            clip = {k: box[k] for k in ("x", "y", "width")}
            clip["height"] = min(SHOT_HEIGHT, box["height"])
    clip["scale"] = 1
    shot = tools.call(
        "Page.captureScreenshot",
        {"format": "png", "captureBeyondViewport": True, "clip": clip},
        session=session,
    )
    shot_path = os.path.join(shots, os.path.splitext(os.path.basename(page))[0] + ".png")
    with open(shot_path, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    tools.call("Target.closeTarget", {"targetId": target})
    return {"page": page, "loaded": loaded, "console_errors": errors, "requests": requests,
            "values": values, "contrast": contrast, "accessibility": heard, "print": paper,
            "screenshot": shot_path}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--shots", required=True)
    parser.add_argument("--eval", action="append", default=[])
    parser.add_argument("--clip", help="screenshot the first element this CSS selector matches")
    parser.add_argument("--print", action="append", default=[], dest="to_print",
                        help="also print this page to PDF (its first %d pages)" % PRINTED_PAGES)
    parser.add_argument("--hear", action="append", default=[], dest="to_hear",
                        help="also tell what a screen reader would hear of this page")
    parser.add_argument("pages", nargs="+")
    args = parser.parse_args()
    evals = [tuple(e.split("=", 1)) for e in args.eval]

    chromium = find_chromium()
    if not chromium:
        print("Chromium is not installed (Debian package chromium)", file=sys.stderr)
        return 2
    try:
        import websocket  # noqa: F401
    except ImportError:
        print("python3-websocket is not installed", file=sys.stderr)
        return 2

    os.makedirs(args.shots, exist_ok=True)
    profile = tempfile.mkdtemp(prefix="kx-chromium-")
    command = [
        chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
        "--no-default-browser-check", "--disable-background-networking",
        "--disable-component-update", "--disable-sync", "--disable-extensions",
        "--disable-default-apps", "--disable-domain-reliability", "--no-pings",
        "--metrics-recording-only", "--disable-breakpad", "--mute-audio",
        "--proxy-server=http://127.0.0.1:47", "--host-resolver-rules=MAP * ~NOTFOUND",
        "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
        "--user-data-dir=" + profile, "about:blank",
    ]
    browser = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        port_file = os.path.join(profile, "DevToolsActivePort")
        deadline = time.monotonic() + TIMEOUT
        while not (os.path.exists(port_file) and len(open(port_file).read().split()) >= 2):
            if browser.poll() is not None or time.monotonic() > deadline:
                print("Chromium did not start (exit status %s)" % browser.poll(), file=sys.stderr)
                return 1
            time.sleep(0.05)
        port, path = open(port_file).read().split()[:2]
        tools = DevTools(f"ws://127.0.0.1:{port}{path}")
        printing = {os.path.abspath(p) for p in args.to_print}
        hearing = {os.path.abspath(p) for p in args.to_hear}
        results = [examine(tools, page, args.shots, evals, args.clip,
                           os.path.abspath(page) in printing, os.path.abspath(page) in hearing)
                   for page in args.pages]
        print(json.dumps(results, indent=1))
        return 0
    finally:
        browser.terminate()
        try:
            browser.wait(10)
        except subprocess.TimeoutExpired:
            browser.kill()
            browser.wait()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
