#!/usr/bin/env python3
# Part of scripts/load-sweep.sh: load_sweep_copies.py BUILD CONFIG ROUND LOGS.
# Four copies at once of every test binary that has tests labelled "tsan": each copy
# runs that binary's tests of the configuration one after another, each in a process
# of its own as CTest runs them (the network tests enter a namespace per process).
import json, os, subprocess, sys, collections, concurrent.futures, time
build, cfg, round_, logs = sys.argv[1:5]
d = json.loads(subprocess.check_output(["ctest", "--show-only=json-v1"], cwd=build))
groups = collections.OrderedDict()
for t in d["tests"]:
    cmd = t.get("command")
    if not cmd or not any(a.startswith("--gtest_filter") for a in cmd):
        continue
    props = {p["name"]: p["value"] for p in t.get("properties", [])}
    labels = props.get("LABELS", [])
    exe_i = next(i for i, a in enumerate(cmd) if a.startswith("--gtest_filter")) - 1
    key = tuple(cmd[:exe_i + 1])
    g = groups.setdefault(key, {"tests": [], "tsan": False})
    if "tsan" in labels:
        g["tsan"] = True
    if cfg != "tsan" or "tsan" in labels:
        env = dict(os.environ)
        for e in props.get("ENVIRONMENT", []):
            k, _, v = e.partition("=")
            env[k] = v
        g["tests"].append((t["name"], cmd, props.get("WORKING_DIRECTORY", build), env))
out = os.path.join(logs, f"copies-r{round_}")
os.makedirs(out, exist_ok=True)
def run_copy(tests, n):
    failed = []
    for name, cmd, wd, env in tests:
        try:
            p = subprocess.run(cmd, cwd=wd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
            rc, text = p.returncode, p.stdout
        except subprocess.TimeoutExpired as e:
            rc, text = "timeout", e.stdout or b""
        if rc != 0 or b"[  SKIPPED ]" in text:
            failed.append(name)
            with open(os.path.join(out, f"{name}.{n}.log"), "wb") as f:
                f.write(text)
    return failed
start = time.time()
runs = fails = 0
for key, g in groups.items():
    if not g["tsan"] or not g["tests"]:
        continue
    with concurrent.futures.ThreadPoolExecutor(4) as ex:
        for n, failed in enumerate(ex.map(lambda n: run_copy(g["tests"], n), range(4))):
            runs += len(g["tests"])
            fails += len(failed)
            for name in failed:
                print(f"FAIL {os.path.basename(key[-1])} copy {n}: {name}", flush=True)
print(f"{cfg} copies round {round_}: {fails} failed of {runs} test runs, {time.time()-start:.0f} s", flush=True)
