#!/usr/bin/env python3
"""Opens pages in one headless Chromium and tells what each did, as JSON on standard output.

    html_browser.py --shots DIR [--eval NAME=EXPR ...] PAGE.html ...

For every page: the console errors (console.error, uncaught exceptions and the browser's own
error entries, such as a Content-Security-Policy violation or a resource that failed to load),
every network request other than the page itself, the value of each --eval expression, and a
screenshot DIR/<page name>.png of the page's top (the first 1400 CSS pixels), or of the first
element --clip selects.

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


def examine(tools, page, shots, evals, clip_selector=None):
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
            "values": values, "screenshot": shot_path}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--shots", required=True)
    parser.add_argument("--eval", action="append", default=[])
    parser.add_argument("--clip", help="screenshot the first element this CSS selector matches")
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
        results = [examine(tools, page, args.shots, evals, args.clip) for page in args.pages]
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
