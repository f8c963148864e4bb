#!/usr/bin/env bash
# What each kind of page of `tavolin serve` costs, and whether the server's memory stays put.
#
#   bench/page_times.sh TAVOLIN DUMP [CRAWL_PAGES] [HANDLE]
#
# Starts `TAVOLIN serve --heap DUMP --port 0`, waits until it serves, then asks for every kind of
# page twice (first visit, then repeat) and prints the server's own time for each, as its
# Server-Timing header gives it (no network or client time). Then it crawls CRAWL_PAGES more pages
# (default 1000: dominators, instance and referrer pages, deep ones included, object and class
# pages found on them, census prefixes) and prints the server's resident memory after the load,
# after the table's pages and after the crawl. Last, 50 clients at once ask for 10 heavy pages
# each, and the time they waited is given (median, p99). HANDLE is an object with many referrers for the
# referrer rows; by default the one with the most among a few likely ones (the largest
# dominators and what they refer to).
#
# On a shared machine a time moves by a third from run to run: the figures are for reading, never
# a pass or fail.
set -euo pipefail

tavolin=${1:?usage: page_times.sh TAVOLIN DUMP [CRAWL_PAGES] [HANDLE]}
dump=${2:?usage: page_times.sh TAVOLIN DUMP [CRAWL_PAGES] [HANDLE]}
crawl=${3:-1000}
handle=${4:-}
work=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$tavolin" serve --heap "$dump" --port 0 >"$work/out" 2>"$work/err" &
server=$!
url=
for ((i = 0; i < 3600; ++i)); do
  url=$(grep -o 'http://[^ ]*/' "$work/out" || true)
  [ -n "$url" ] && break
  kill -0 "$server" 2>/dev/null || {
    cat "$work/err" >&2
    exit 1
  }
  sleep 0.5
done
[ -n "$url" ] || {
  echo "page_times.sh: the server did not start" >&2
  exit 1
}

python3 - "$url" "$server" "$crawl" "$handle" <<'EOF'
import http.client, json, random, re, sys, urllib.parse

base, pid, crawl, many = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
host = urllib.parse.urlparse(base)
conn = http.client.HTTPConnection(host.hostname, host.port, timeout=600)

def get(path):
    """The status, the server's milliseconds and the body of one page."""
    global conn
    try:
        conn.request("GET", path)
        r = conn.getresponse()
    except (http.client.HTTPException, OSError):
        conn = http.client.HTTPConnection(host.hostname, host.port, timeout=600)
        conn.request("GET", path)
        r = conn.getresponse()
    body = r.read()
    timing = r.getheader("Server-Timing") or ""
    m = re.search(r"dur=([0-9.]+)", timing)
    return r.status, float(m.group(1)) if m else float("nan"), body

def api(path):
    status, _, body = get(path)
    return json.loads(body) if status == 200 else []

def rss_mb():
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")

def referrer_count(h):
    return len(api(f"/api/referrers/{h:#x}?limit=20000"))

def total(path, otherwise):
    """The length of a page's list as its pager says it ("rows 1 to 500 of 1,234"); servers
    whose pager says no total are asked for a page as deep as `otherwise` rows."""
    _, _, body = get(path)
    m = re.search(rb"rows [0-9,]+ to [0-9,]+ of ([0-9,]+)", body)
    return int(m.group(1).replace(b",", b"")) if m else otherwise

after_load = rss_mb()
census = api("/api/classes?by-count=1")
largest = next(r for r in census if r["kind"] == "C")
count = largest["count"]
# Found without listing any class's instances, which the server keeps once listed: the table's
# first visits are first.
top = api("/api/dominators?limit=50")
first = next(r["handle"] for r in top if r["kind"] == "I")
reached = total("/dominators", 1000 * 500 + 1)
if not many:
    candidates = set()
    for r in top[:20]:
        candidates.add(r["handle"])
        for f in api(f"/api/refs/{r['handle']:#x}?limit=50"):
            candidates.add(f["handle"])
    many = max(candidates, key=referrer_count)
else:
    many = int(many, 0)
last_instances = max(0, (count - 1) // 500)
last_dominators = max(0, (reached - 1) // 500)

rows = [
    ("overview", "/"),
    ("census", "/classes"),
    ("census sorted by count", "/classes?sort=count&order=desc"),
    ("census with retained sizes", "/classes?retained=1&sort=retained"),
    (f"class page ({count} instances)", f"/class/{largest['handle']:#x}"),
    (f"  its instances, page {last_instances // 2}", f"/class/{largest['handle']:#x}?page={last_instances // 2}"),
    (f"  its instances, page {last_instances} (last)", f"/class/{largest['handle']:#x}?page={last_instances}"),
    ("object page", f"/object/{first:#x}"),
    ("object page (many referrers, below)", f"/object/{many:#x}"),
    ("  its referrers, page 1", f"/object/{many:#x}?page=1"),
    ("dominators", "/dominators"),
    (f"dominators, page {last_dominators // 2}", f"/dominators?page={last_dominators // 2}"),
    (f"dominators, page {last_dominators} (last)", f"/dominators?page={last_dominators}"),
    ("threads", "/threads"),
    ("roots", "/roots"),
    ("missing", "/missing"),
    ("search (a class name)", "/search?q=" + urllib.parse.quote(largest["class"])),
    ("/api/classes", "/api/classes"),
    ("/api/instances, 500 rows", f"/api/instances/{largest['handle']:#x}?skip={count // 2}&limit=500"),
    ("/api/referrers, 500 rows", f"/api/referrers/{many:#x}?limit=500"),
    ("/api/dominators, 500 rows", "/api/dominators?limit=500"),
]
# Visit the pages of the table once before measuring, so that setup (finding the pages above)
# does not count as a first visit: only the answers the server keeps make a repeat cheaper.
print(f"{'page':<44} {'status':>6} {'first ms':>9} {'repeat ms':>10}")
worst = 0.0
for name, path in rows:
    status, first_ms, _ = get(path)
    _, repeat_ms, _ = get(path)
    worst = max(worst, first_ms, repeat_ms)
    print(f"{name:<44} {status:>6} {first_ms:>9.0f} {repeat_ms:>10.0f}")
print(f"{'slowest':<44} {'':>6} {worst:>9.0f}")
_, _, body = get(f"/object/{many:#x}")
m = re.search(rb"<p>([0-9,]+) referrers?(?:, in ([0-9,]+) groups?)?", body)
many_count = int(m.group(1).replace(b",", b"")) if m else referrer_count(many)
groups = int(m.group(2).replace(b",", b"")) if m and m.group(2) else many_count
print(f"the object with many referrers: {many:#x}, {many_count} referrers in {groups} rows")
after_table = rss_mb()

# The crawl: pages a visitor might follow, deep ones included, in a fixed random order.
rng = random.Random(1)
seen_objects = [first, many]
prefixes = sorted({r["class"].split("/")[0] + "/" for r in census if "/" in r["class"]})
times = []
for i in range(crawl):
    pick = i % 6
    if pick == 0:
        path = f"/dominators?page={rng.randint(0, last_dominators)}"
    elif pick == 1:
        path = f"/class/{largest['handle']:#x}?page={rng.randint(0, last_instances)}"
    elif pick == 2:
        path = f"/object/{many:#x}?page={rng.randint(0, max(0, (groups - 1) // 500))}"
    elif pick == 3:
        path = f"/object/{rng.choice(seen_objects):#x}"
    elif pick == 4:
        r = rng.choice(census)
        path = f"/class/{r['handle']:#x}" if r["handle"] else "/classes"
    else:
        path = "/classes?prefix=" + urllib.parse.quote(rng.choice(prefixes)) + "&sort=count"
    status, ms, body = get(path)
    times.append(ms)
    if pick in (0, 1, 2) and len(seen_objects) < 5000:
        seen_objects += [int(h, 16) for h in re.findall(rb"/object/0x([0-9a-f]+)", body)[:20]]
after_crawl = rss_mb()
times.sort()
if times:
    print(f"crawl of {crawl} pages: median {times[len(times) // 2]:.0f} ms, "
          f"slowest {times[-1]:.0f} ms")
print(f"server RSS: {after_load:.0f} MB after load, {after_table:.0f} MB after the table, "
      f"{after_crawl:.0f} MB after the crawl ({after_crawl / after_load:.2f}x the load's)")

# Many people at once: 50 clients, each on a connection of its own, asking for 10 heavy pages
# (objects met in the crawl, classes, deep dominators and instance pages, the sorted census) as
# fast as they are answered; the time each waited, client side, from request to last byte.
import threading, time
clients, each = 50, 10
waits, failures = [], []
lock = threading.Lock()
def client(seed):
    r = random.Random(seed)
    c = http.client.HTTPConnection(host.hostname, host.port, timeout=600)
    for _ in range(each):
        pick = r.randrange(4)
        if pick == 0:
            path = f"/object/{r.choice(seen_objects):#x}"
        elif pick == 1:
            path = f"/class/{r.choice(census)['handle']:#x}"
        elif pick == 2:
            path = f"/class/{largest['handle']:#x}?page={r.randint(0, last_instances)}"
        else:
            path = f"/dominators?page={r.randint(0, last_dominators)}"
        start = time.monotonic()
        try:
            c.request("GET", path)
            resp = c.getresponse()
            resp.read()
            ok = resp.status in (200, 404, 422)
        except (http.client.HTTPException, OSError):
            ok = False
            c = http.client.HTTPConnection(host.hostname, host.port, timeout=600)
        with lock:
            (waits if ok else failures).append(time.monotonic() - start)
threads = [threading.Thread(target=client, args=(k,)) for k in range(clients)]
for t in threads:
    t.start()
for t in threads:
    t.join()
waits.sort()
if waits:
    pct = lambda q: waits[min(len(waits) - 1, int(q * len(waits)))] * 1000
    print(f"{clients} clients at once, {len(waits)} pages: median {pct(0.5):.0f} ms, "
          f"p99 {pct(0.99):.0f} ms, slowest {waits[-1] * 1000:.0f} ms; "
          f"{len(failures)} failed")
EOF
