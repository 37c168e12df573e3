#!/usr/bin/env python3
"""The performance figures of the discovery, measured in one run on this machine.

Builds (or reuses) an optimised build with the benchmarks, generates a synthetic estate with
kx-fake-arm, serves it on 127.0.0.1 and measures:

  * the whole discovery command (kx-discover) on it: wall time, CPU time, peak RSS, requests;
  * the floor: the same sequence of requests, repeated from the server's request log over one
    kept-alive connection doing nothing with the bodies, by curl and by a bare libcurl loop
    (kx-fetch-floor), and the ratio of the two;
  * the route-table listing against its own fetch floor, and the micro-benchmarks
    (Pathbook::add, HCL rendering, page parsing), from the Google Benchmarks' JSON output;
  * with --throttled, a run needing about 2,000 reads against Azure's read budget;
  * with --latency, runs against a distant Azure (100 ms per request, Azure's read budget and
    Resource Graph quota): --jobs 1 (when the command has it), the default and --snapshot,
    each against the floors the two budgets impose.

Each figure is the median of --repeat runs.  Prints one table and exits 0; writes nothing into
the repository outside its build folder (the estate and every run's output live in a temporary
folder, removed at the end unless --keep).  docs/performance.md explains the figures.
"""

import argparse
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MIB = 1024 * 1024

PROGRAMS = ["kx-discover", "kx-fake-arm", "kx-fetch-floor"]
BENCHMARKS = ["arm_list_bench", "arm_parse_bench", "pathbook_bench"]

# kx-fake-arm generate options of each estate.  The reference estate is the one the targets
# are set on; --quick keeps its shape at a tenth of the size.
REFERENCE = ["--reference"]
QUICK = ["--reference", "--vnets", "200", "--route-tables", "400", "--configured-vnets", "20"]
# The throttled case: about 2,000 subscription reads (600 with --quick), several times the
# bucket of 250, so that the refill rate rather than the bucket sets the time.
THROTTLED = ["--reference", "--configured-vnets", "35"]
THROTTLED_QUICK = ["--reference", "--vnets", "200", "--route-tables", "400",
                   "--configured-vnets", "40"]
READ_BUDGET, REFILL = 250, 25
# The latency case: the reference estate with about 40 configured VNets (--quick: the quick
# estate with 20), every answer 100 ms away, Azure's read budget and Resource Graph quota.
LATENCY = ["--reference", "--configured-vnets", "40"]
LATENCY_QUICK = QUICK
LATENCY_MS = 100
GRAPH_QUOTA, GRAPH_WINDOW = 15, 5
CASES = ["whole", "listing", "throttled", "latency"]


class BenchError(Exception):
    pass


def log(message):
    print(f"bench: {message}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Build


def build(build_dir, skip):
    """Configures (when needed) and builds the programs and benchmarks; returns their paths."""
    cache = build_dir / "CMakeCache.txt"
    if not skip:
        if not (build_dir / "build.ninja").exists():
            if build_dir == ROOT / "build" / "default":
                command = ["cmake", "--preset", "default"]
            else:
                command = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                           "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DKX_BUILD_BENCHMARKS=ON"]
            log("configuring: " + " ".join(command))
            subprocess.run(command, cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        log(f"building {', '.join(PROGRAMS + BENCHMARKS)} in {build_dir}")
        subprocess.run(["cmake", "--build", str(build_dir), "-j2", "--target"]
                       + PROGRAMS + BENCHMARKS, check=True, stdout=subprocess.DEVNULL)
    if not cache.exists():
        raise BenchError(f"{build_dir} is not a configured build folder")
    settings = dict(re.findall(r"^(\w+):\w+=(.*)$", cache.read_text(), re.M))
    build_type = settings.get("CMAKE_BUILD_TYPE", "")
    if build_type not in ("Release", "RelWithDebInfo"):
        raise BenchError(f"{build_dir} is a '{build_type}' build: figures need Release or "
                         "RelWithDebInfo (cmake --preset default)")
    if "sanitize" in settings.get("CMAKE_CXX_FLAGS", ""):
        raise BenchError(f"{build_dir} is built with sanitizers")
    found = {}
    for folder, _, files in os.walk(build_dir):
        for name in PROGRAMS + BENCHMARKS:
            path = Path(folder) / name
            if name in files and name not in found and os.access(path, os.X_OK):
                found[name] = path
    missing = [name for name in PROGRAMS + BENCHMARKS if name not in found]
    if missing:
        raise BenchError(f"not built in {build_dir}: {', '.join(missing)}")
    return found


# ---------------------------------------------------------------------------------------------
# The loopback Azure


class Server:
    """kx-fake-arm serve, with its request log read as it grows."""

    def __init__(self, program, estate, log_path, extra=()):
        self.log_path = log_path
        self.process = subprocess.Popen(
            [str(program), "serve", str(estate), "--request-log", str(log_path), *extra],
            stdout=subprocess.PIPE, text=True)
        self.url = self.process.stdout.readline().strip()
        if not self.url.startswith("http://127.0.0.1:"):
            self.stop()
            raise BenchError(f"kx-fake-arm serve did not start (printed {self.url!r})")

    def requests(self):
        with open(self.log_path, encoding="utf-8") as lines:
            return [json.loads(line) for line in lines if line.strip()]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def generate(program, options, folder):
    folder.mkdir(parents=True, exist_ok=True)
    estate, config, env = folder / "estate.json", folder / "discovery.yaml", folder / "secrets.env"
    subprocess.run([str(program), "generate", *options, "--out-estate", str(estate),
                    "--out-config", str(config), "--out-env", str(env)], check=True)
    secrets = dict(re.findall(r"^export (\w+)='([^']*)'$", env.read_text(), re.M))
    return estate, config, secrets


def principal(estate_path):
    """Tenant, application id and secret of the estate's first principal (the configuration's
    `corvanta` entry, which the discovery uses)."""
    estate = json.loads(estate_path.read_text())
    tenant = estate["tenants"][0]
    first = tenant["principals"][0]
    return tenant["tenantId"], first["appId"], first["secret"]


def fetch_token(url, tenant, app, secret):
    body = urllib.parse.urlencode({"grant_type": "client_credentials", "client_id": app,
                                   "client_secret": secret,
                                   "resource": "https://management.core.windows.net/"})
    with urllib.request.urlopen(f"{url}/{tenant}/oauth2/token", body.encode(), timeout=30) as r:
        return json.loads(r.read())["access_token"]


# ---------------------------------------------------------------------------------------------
# Measuring


# Runs the measured command in a fresh, small process that forks it and reports its resource
# usage.  Linux carries a process's peak resident set across fork and exec, so a command started
# straight from this script (which holds the parsed estate and request logs) would report this
# script's peak as its own.
_MEASURE = r"""
import json, os, sys, time
result, command = sys.argv[1], sys.argv[2:]
start = time.monotonic()
pid = os.fork()
if pid == 0:
    try:
        os.execv(command[0], command)
    finally:
        os._exit(127)
_, status, usage = os.wait4(pid, 0)
with open(result, "w") as out:
    json.dump({"wall": time.monotonic() - start, "cpu": usage.ru_utime + usage.ru_stime,
               "rss": usage.ru_maxrss * 1024, "status": os.waitstatus_to_exitcode(status)}, out)
"""


def run_measured(command, cwd, env, stderr_path):
    """Runs a command; returns wall seconds, CPU seconds (user + system) and peak RSS in bytes
    of that process alone (wait4's resource usage of the child, in a fresh launcher)."""
    result_path = Path(stderr_path).with_suffix(".usage.json")
    with open(stderr_path, "w", encoding="utf-8") as stderr:
        subprocess.run([sys.executable, "-c", _MEASURE, str(result_path), *command], cwd=cwd,
                       env=env, stdout=subprocess.DEVNULL, stderr=stderr, check=False)
    try:
        usage = json.loads(result_path.read_text())
    except (OSError, ValueError) as error:
        raise BenchError(f"{Path(command[0]).name}: no resource usage ({error})") from error
    if usage["status"] != 0:
        tail = Path(stderr_path).read_text(errors="replace")[-2000:]
        raise BenchError(f"{Path(command[0]).name} exited {usage['status']}:\n{tail}")
    return usage["wall"], usage["cpu"], usage["rss"]


def discover(programs, server, config, secrets, folder, index, extra=()):
    """One whole discovery run (with `extra` options); returns its figures and the requests it
    sent."""
    cwd = folder / f"run-{index}"
    cwd.mkdir(parents=True)
    env = dict(os.environ, **secrets)
    before = len(server.requests())
    report = cwd / "report.json"
    wall, cpu, rss = run_measured(
        [str(programs["kx-discover"]), "--arm-endpoint", server.url, "--login-endpoint",
         server.url + "/", "--data-dir", str(ROOT / "data"), "--json", str(report), "--quiet",
         *extra, str(config)],
        cwd, env, cwd / "stderr.txt")
    sent = server.requests()[before:]
    summary = json.loads(report.read_text())["summary"]
    shutil.rmtree(cwd)  # the Terraform files and logs of a large run are not small
    return {"wall": wall, "cpu": cpu, "rss": rss, "requests": summary["azure_requests"],
            "retries": summary["azure_retries"], "vnets": summary["vnets_discovered"],
            "route_tables": summary["route_tables"]}, sent


def floor_requests(sent, path):
    """The discovery's requests less its token requests (the floor fetches one token and
    reuses it), as kx-fetch-floor reads them."""
    kept = [r for r in sent if r["operation"] != "token"]
    with open(path, "w", encoding="utf-8") as out:
        for r in kept:
            out.write(json.dumps({k: r[k] for k in ("method", "target", "body") if k in r}) + "\n")
    return kept


def libcurl_floor(programs, server, requests_path, token, sizes_path):
    env = dict(os.environ, KX_FLOOR_TOKEN=token)
    result = subprocess.run([str(programs["kx-fetch-floor"]), "--base", server.url, "--requests",
                             str(requests_path), "--sizes", str(sizes_path)],
                            env=env, check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def curl_quote(text):
    """A quoted value of a curl config file (which reads \\, \", \n, \r and \t in quotes)."""
    for raw, escaped in (("\\", "\\\\"), ('"', '\\"'), ("\n", "\\n"), ("\r", "\\r"),
                         ("\t", "\\t")):
        text = text.replace(raw, escaped)
    return '"' + text + '"'


def curl_floor(server, kept, token, folder):
    """One curl process fetching every request of the sequence (a config file of `next`
    sections share curl's connection cache: one kept-alive connection)."""
    config = folder / "curl.config"
    with open(config, "w", encoding="utf-8") as out:
        for i, r in enumerate(kept):
            if i:
                out.write("next\n")
            out.write(f"url = {curl_quote(server.url + r['target'])}\n")
            out.write("compressed\noutput = \"/dev/null\"\nsilent\nshow-error\n")
            out.write('write-out = "%{http_code} %{size_download} %{num_connects}\\n"\n')
            out.write('header = "Accept: application/json"\n')
            out.write(f"header = {curl_quote('Authorization: Bearer ' + token)}\n")
            if r["method"] == "POST":
                out.write('header = "Content-Type: application/json"\n')
                out.write(f"data-raw = {curl_quote(r.get('body', ''))}\n")
            elif r["method"] != "GET":
                out.write(f"request = {r['method']}\n")
    start = time.monotonic()
    result = subprocess.run(["curl", "--config", str(config)], capture_output=True, text=True)
    wall = time.monotonic() - start
    config.unlink()  # it holds the token
    if result.returncode != 0:
        raise BenchError(f"curl exited {result.returncode}: {result.stderr[-500:]}")
    lines = [line.split() for line in result.stdout.splitlines() if line.strip()]
    failed = [fields[0] for fields in lines if not fields[0].startswith("2")]
    if failed or len(lines) != len(kept):
        log(f"warning: curl fetched {len(lines)} of {len(kept)} requests, "
            f"{len(failed)} answered other than 2xx")
    return {"seconds": wall, "requests": len(lines),
            "connects": sum(int(fields[2]) for fields in lines)}


def largest_listing(kept, sizes_path):
    """Decoded bytes of the largest single listing: a first page and the next links that
    follow it (the discovery reads one listing at a time)."""
    sizes = [int(line.split()[1]) for line in sizes_path.read_text().splitlines()]
    largest, current, operation = 0, 0, None
    for r, size in zip(kept, sizes):
        follows = "$skiptoken=" in r["target"] and r["operation"] == operation
        current = current + size if follows else size
        operation = r["operation"]
        largest = max(largest, current)
    return largest


def google_benchmark(program, names, repeat):
    """Runs the named benchmarks; returns name -> its per-repetition runs.  A benchmark that is
    missing or fails is left out (its figures show n/a) rather than failing the whole run."""
    pattern = "^(" + "|".join(names) + ")(/|$)"
    result = subprocess.run([str(program), f"--benchmark_filter={pattern}",
                             "--benchmark_format=json", f"--benchmark_repetitions={repeat}"],
                            capture_output=True, text=True)
    try:
        entries = json.loads(result.stdout)["benchmarks"]
    except (ValueError, KeyError):
        log(f"warning: {program.name} gave no figures ({result.stderr.strip()[-300:]})")
        return {}
    runs = {}
    for entry in entries:
        if entry.get("run_type", "iteration") == "iteration" and not entry.get("error_occurred"):
            # "BM_X/real_time" and "BM_X/gzip:1" name runs of BM_X.
            runs.setdefault(entry.get("run_name", entry["name"]).split("/")[0], []).append(entry)
    for name in names:
        if name not in runs:
            log(f"warning: {program.name} has no figures for {name}")
    return runs


def median_of(runs, name, field, scale=1.0):
    values = [run[field] * scale for run in runs.get(name, []) if field in run]
    return statistics.median(values) if values else None


def milliseconds(run):
    factor = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[run.get("time_unit", "ns")]
    return run["real_time"] * factor


# ---------------------------------------------------------------------------------------------
# The cases


class Table:
    def __init__(self):
        self.rows = []

    def add(self, figure, value, unit, target=None, met=None, digits=2):
        if value is None:
            shown = "n/a"
        elif isinstance(value, int):
            shown = f"{value:,}"
        else:
            shown = f"{value:,.{digits}f}"
        verdict = "" if met is None else ("yes" if met else "NO")
        self.rows.append((figure, shown, unit, target or "", verdict))

    def print(self):
        header = ("figure", "median", "unit", "target", "met?")
        widths = [max(len(str(row[i])) for row in self.rows + [header]) for i in range(5)]
        line = "  ".join("{:<%d}" % w if i != 1 else "{:>%d}" % w for i, w in enumerate(widths))
        print(line.format(*header))
        print("  ".join("-" * w for w in widths))
        for row in self.rows:
            print(line.format(*row).rstrip())


def at_most(value, limit):
    return None if value is None or limit is None else value <= limit


def at_least(value, limit):
    return None if value is None else value >= limit


def ratio(a, b):
    return a / b if a is not None and b else None


def whole_command(programs, options, args, work, table):
    estate, config, secrets = generate(programs["kx-fake-arm"], options, work / "estate")
    tenant, app, secret = principal(estate)
    server = Server(programs["kx-fake-arm"], estate, work / "requests.jsonl")
    try:
        # The warm-up run: the server lays out and compresses each page on first demand, and
        # the floor repeats its request sequence; its own figures are not counted.
        log("discovery warm-up run (gives the floor its request sequence)")
        _, sent = discover(programs, server, config, secrets, work, "warm-up")
        kept = floor_requests(sent, work / "floor.jsonl")
        token = fetch_token(server.url, tenant, app, secret)
        runs, libcurl, curl = [], [], []
        # Interleaved, so that a change in the machine's load falls on both sides alike.
        for i in range(args.repeat):
            log(f"run {i + 1} of {args.repeat}: discovery, libcurl floor, curl floor")
            figures, again = discover(programs, server, config, secrets, work, i)
            if len(again) != len(sent):
                log(f"warning: run {i + 1} sent {len(again)} requests, the warm-up {len(sent)}")
            runs.append(figures)
            libcurl.append(libcurl_floor(programs, server, work / "floor.jsonl", token,
                                         work / "sizes.txt"))
            curl.append(curl_floor(server, kept, token, work))
        statuses = libcurl[0]["statuses"]
        if set(statuses) - {"200", "202"}:
            log(f"warning: the floor's answers were not all 200/202: {statuses}")
        listing = largest_listing(kept, work / "sizes.txt")
    finally:
        server.stop()

    wall = statistics.median(r["wall"] for r in runs)
    floor_libcurl = statistics.median(r["seconds"] for r in libcurl)
    floor_curl = statistics.median(r["seconds"] for r in curl)
    rss_limit = 2 * listing + 50 * MIB
    first = runs[0]
    table.add(f"discovery: VNets discovered / route tables to re-create", first["vnets"],
              f"/ {first['route_tables']:,}")
    table.add("discovery: wall time", wall, "s", digits=3)
    table.add("discovery: CPU time (user+sys)", statistics.median(r["cpu"] for r in runs), "s",
              digits=3)
    table.add("discovery: peak RSS", statistics.median(r["rss"] for r in runs) / MIB, "MiB",
              f"<= {rss_limit / MIB:.1f}",
              at_most(statistics.median(r["rss"] for r in runs), rss_limit), digits=1)
    table.add("discovery: Azure requests (retries)", int(statistics.median(
        r["requests"] for r in runs)), f"({first['retries']})")
    table.add("largest single listing (decoded)", listing / MIB, "MiB", digits=1)
    table.add("floor: requests (token fetched once)", len(kept), "")
    table.add("floor: connections opened (libcurl / curl)", libcurl[0]["connects"],
              f"/ {curl[0]['connects']}")
    table.add("floor: bytes received (decoded)", libcurl[0]["bytes"] / MIB, "MiB", digits=1)
    table.add("floor: curl, one process", floor_curl, "s", digits=3)
    table.add("floor: bare libcurl loop", floor_libcurl, "s", digits=3)
    whole = ratio(wall, floor_libcurl)
    table.add("discovery / floor (libcurl)", whole, "x", "<= 1.5", at_most(whole, 1.5))
    table.add("discovery / floor (curl)", ratio(wall, floor_curl), "x")


def listing_and_micro(programs, args, table):
    log("route-table listing benchmarks (arm_list_bench)")
    listing = google_benchmark(programs["arm_list_bench"],
                               ["BM_RouteTablesListAll", "BM_PlainPageFetch"], args.repeat)
    lists = statistics.median(map(milliseconds, listing["BM_RouteTablesListAll"])) \
        if "BM_RouteTablesListAll" in listing else None
    fetch = statistics.median(map(milliseconds, listing["BM_PlainPageFetch"])) \
        if "BM_PlainPageFetch" in listing else None
    table.add("listing: RouteTablesListAll, 5,000 x 25", lists, "ms", digits=1)
    table.add("listing: fetch floor, same pages", fetch, "ms", digits=1)
    table.add("listing / floor", ratio(lists, fetch), "x", "<= 1.5",
              at_most(ratio(lists, fetch), 1.5))

    log("micro-benchmarks (pathbook_bench, arm_parse_bench)")
    pathbook = google_benchmark(programs["pathbook_bench"],
                                ["BM_AddNetworkRoutes", "BM_AddMixedRoutes", "BM_RenderHcl"],
                                args.repeat)
    for name, label in (("BM_AddNetworkRoutes", "network routes"),
                        ("BM_AddMixedRoutes", "mixed routes")):
        rate = median_of(pathbook, name, "items_per_second", 1e-6)
        table.add(f"Pathbook::add, {label}", rate, "M routes/s", ">= 2", at_least(rate, 2))
    hcl = median_of(pathbook, "BM_RenderHcl", "bytes_per_second", 1e-6)
    table.add("HCL rendering", hcl, "MB/s", ">= 200", at_least(hcl, 200), digits=0)
    parse = google_benchmark(programs["arm_parse_bench"], ["BM_ArmPageParser_RouteTables"],
                             args.repeat)
    table.add("page parsing, route tables", median_of(
        parse, "BM_ArmPageParser_RouteTables", "bytes_per_second", 1e-6), "MB/s", digits=0)


def throttled(programs, args, work, table):
    options = THROTTLED_QUICK if args.quick else THROTTLED
    folder = work / "throttled"
    estate, config, secrets = generate(programs["kx-fake-arm"], options, folder / "estate")
    server = Server(programs["kx-fake-arm"], estate, folder / "requests.jsonl",
                    ["--read-budget", str(READ_BUDGET), "--refill", str(REFILL)])
    try:
        log("throttled discovery run (reads / refill rate: about a minute and a half)")
        figures, sent = discover(programs, server, config, secrets, folder, 0)
    finally:
        server.stop()
    # Subscription reads: what the bucket counts (tenant-level GET /subscriptions has its own).
    reads = [r for r in sent if r["method"] == "GET" and r["target"].startswith("/subscriptions/")]
    answered = sum(1 for r in reads if r["status"] != 429)
    refused = sum(1 for r in sent if r["status"] == 429)
    budget = answered / REFILL
    table.add(f"throttled ({READ_BUDGET} reads, +{REFILL}/s): configured VNets", figures["vnets"],
              "")
    table.add("throttled: subscription reads answered", answered, "")
    table.add("throttled: wall time", figures["wall"], "s", digits=1)
    table.add(f"throttled: reads / {REFILL} per s", budget, "s", digits=1)
    table.add("throttled: time / (reads / refill)", ratio(figures["wall"], budget), "x",
              "<= 1.1", at_most(ratio(figures["wall"], budget), 1.1))
    table.add("throttled: 429 answers", refused, "", "0", refused == 0)


def accepts_option(program, option):
    """Whether the command's --help lists `option`."""
    result = subprocess.run([str(program), "--help"], capture_output=True, text=True)
    return re.search(r"(^|\s)" + re.escape(option) + r"\b", result.stdout) is not None


def budget_floors(sent):
    """The floors the two budgets impose on a request sequence: subscription reads beyond the
    first bucket at the refill rate, and Resource Graph queries at the quota's rate."""
    reads = sum(1 for r in sent if r["method"] == "GET" and r["target"].startswith("/subscriptions/")
                and r["status"] != 429)
    queries = sum(1 for r in sent if r["operation"] == "resourceGraph" and r["status"] != 429)
    return reads, queries, max(0, reads - READ_BUDGET) / REFILL, queries / (GRAPH_QUOTA / GRAPH_WINDOW)


def latency(programs, args, work, table):
    options = LATENCY_QUICK if args.quick else LATENCY
    folder = work / "latency"
    estate, config, secrets = generate(programs["kx-fake-arm"], options, folder / "estate")
    modes = [("--jobs 1", ["--jobs", "1"])] if accepts_option(programs["kx-discover"], "--jobs") \
        else []
    if not modes:
        log("latency: kx-discover has no --jobs; measuring the default and --snapshot only")
    modes += [("default", []), ("--snapshot", ["--snapshot"])]
    requests = {}
    runs = 0
    for label, extra in modes:
        walls, rss, refused = [], [], 0
        for i in range(args.latency_repeat):
            # A fresh server for each: every run starts with full budgets, as the floors assume.
            server = Server(programs["kx-fake-arm"], estate, folder / f"requests-{runs}.jsonl",
                            ["--latency-ms", str(LATENCY_MS), "--read-budget", str(READ_BUDGET),
                             "--refill", str(REFILL), "--graph-quota", str(GRAPH_QUOTA),
                             "--graph-window", str(GRAPH_WINDOW)])
            try:
                log(f"latency: discovery run {i + 1} of {args.latency_repeat}, {label} "
                    f"({LATENCY_MS} ms per request; minutes)")
                figures, sent = discover(programs, server, config, secrets, folder, runs, extra)
            finally:
                server.stop()
            runs += 1
            walls.append(figures["wall"])
            rss.append(figures["rss"])
            refused = max(refused, sum(1 for r in sent if r["status"] == 429))
        reads, queries, read_floor, graph_floor = budget_floors(sent)
        floor = max(read_floor, graph_floor)
        wall = statistics.median(walls)
        requests[label] = len(sent)
        prefix = f"latency, {label}:"
        table.add(f"{prefix} requests (reads / Resource Graph)", len(sent),
                  f"({reads:,} / {queries:,})")
        table.add(f"{prefix} wall time", wall, "s", digits=1)
        table.add(f"{prefix} peak RSS", statistics.median(rss) / MIB, "MiB", digits=1)
        table.add(f"{prefix} floors (reads / Resource Graph)", read_floor, "s",
                  f"/ {graph_floor:.1f} s", digits=1)
        if label == "--jobs 1":
            table.add(f"{prefix} wall / larger floor", ratio(wall, floor), "x")
        else:
            table.add(f"{prefix} wall / larger floor", ratio(wall, floor), "x", "<= 1.2",
                      at_most(ratio(wall, floor), 1.2))
        table.add(f"{prefix} 429 answers (most in a run)", refused, "", "0", refused == 0)
    fewer = ratio(requests["default"], requests["--snapshot"])
    table.add("latency: requests, default / --snapshot", fewer, "x", ">= 5", at_least(fewer, 5))


def machine():
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
        memory = next(int(line.split()[1]) for line in Path("/proc/meminfo").read_text()
                      .splitlines() if line.startswith("MemTotal"))
        ram = f"{memory / 1024 / 1024:.0f} GiB RAM"
    except (OSError, StopIteration):
        ram = "RAM unknown"
    return f"{os.cpu_count()} CPUs ({model}), {ram}, {platform.system()} {platform.release()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int,
                        help="runs per figure, of which the median is shown (default 3, 1 with "
                             "--quick and for the latency case)")
    parser.add_argument("--quick", action="store_true",
                        help="a tenth of the reference estate, one run per figure: a try")
    parser.add_argument("--throttled", action="store_true",
                        help="also the throttled case (about 90 s)")
    parser.add_argument("--latency", action="store_true",
                        help="also the latency case (several minutes)")
    parser.add_argument("--only", action="append", choices=CASES,
                        help="run only this case (repeatable); default: whole and listing, "
                             "throttled with --throttled, latency with --latency")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "default",
                        help="optimised build with benchmarks (default: build/default)")
    parser.add_argument("--no-build", action="store_true", help="use the build as it is")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    # A latency run takes minutes: once per mode unless --repeat asks for more.
    args.latency_repeat = args.repeat or 1
    if args.repeat is None:
        args.repeat = 1 if args.quick else 3
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    cases = set(args.only or ["whole", "listing"] + (["throttled"] if args.throttled else [])
                + (["latency"] if args.latency else []))
    if not shutil.which("curl"):
        parser.error("curl is needed for the curl floor (scripts/setup-deps.sh installs it)")

    try:
        programs = build(args.build_dir.resolve(), args.no_build)
        work = Path(tempfile.mkdtemp(prefix="kx-bench-"))
        try:
            table = Table()
            if "whole" in cases:
                whole_command(programs, QUICK if args.quick else REFERENCE, args, work, table)
            if "listing" in cases:
                listing_and_micro(programs, args, table)
            if "throttled" in cases:
                throttled(programs, args, work, table)
            if "latency" in cases:
                latency(programs, args, work, table)
        finally:
            if args.keep:
                log(f"kept {work}")
            else:
                shutil.rmtree(work, ignore_errors=True)
    except (BenchError, subprocess.CalledProcessError, OSError) as error:
        print(f"bench: {error}", file=sys.stderr)
        return 1

    estate = "quick estate (200 VNets, 400 route tables x 25, 20 configured)" if args.quick \
        else "reference estate (2,000 VNets, 4,000 route tables x 25, 200 configured x 8 subnets)"
    latency_runs = f" (latency: {args.latency_repeat} per mode)" if "latency" in cases else ""
    print(f"\nkx benchmarks, {', '.join(c for c in CASES if c in cases)}: {estate}; "
          f"median of {args.repeat} run(s){latency_runs}")
    print(f"machine: {machine()}")
    print(f"build: {args.build_dir}\n")
    table.print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
