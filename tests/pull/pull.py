#!/usr/bin/env python3
"""The pull test: what a card holds if it is pulled out at any moment of
`pelk-mapcopy write`.

Each card is a small FAT32 image served by nbdkit through logdisk.py, which
logs every block write (with its data) and every flush in order. The old
package is put on the image with mtools before it is served. Linux's own
vfat driver, in the libguestfs appliance (TCG), mounts the cards; the log's
size just before the command is its mark (what comes before is the mount's
own). After the run, replay.py rebuilds the card after each logged write and
reads it with mtools: old, new, aside (between the two renames), marked
(--in-place) are whole states; wrong-manifest and bad are findings.

Two appliance boots, the tool (pelk_pull_writer, the commands linked
statically) run inside the appliance, where the kernel's own vfat writes the
cards, through guestfish's debug sh:
  1. One card per scenario, each served through logdisk.py:
       large           a few large files over an old package of small ones,
                       --no-exchange: the two-rename path (Windows, FUSE)
       small           many small files in nested folders over an old
                       package of large ones, --no-exchange
       in-place        --in-place over an old package
       exchange        the small shape, the kernel's vfat exchanging the
                       two folders in one step (Linux 6.0 and later)
       exchange-large  the large shape, exchanged
  2. Reruns: a few images pulled late in the runs of boot 1 (while the
     package was being put in place), and the first unclean one of each
     step, written again with the scenario's options; each must then hold
     the new package and fsck.fat -n find no more than lost clusters (an
     unclean one after the repair the write advised: boot 3).

  pull.py --writer PELK_PULL_WRITER [--work DIR] [--only SCENARIO,...]
          [--no-reorder] [--measure]

Run time here (2 cores, TCG): about two minutes, most of it the
mtools reads of each state and the two boots.

Every state in the driver's order is also read by fsck.fat -n: one it
finds more than lost clusters in (an entry over a free or stale cluster,
anywhere on the card) is "unclean": Linux remounts such a card read-only
when the next write clears the leftover. The first unclean state of each
step is rerun too: the write must refuse it untouched with the advice to
repair it; then it is repaired (fsck.fat -a) and written again, exact.

Exit 1 on any wrong-manifest or bad state in the order the driver wrote, or
a rerun that does not end as above, unless --measure (or
PELK_PULL_MEASURE=1). The reordered and unclean states are counted and
printed, not failed on: docs/writing-cards.md says what they leave.
Every step that could hang has a timeout; nbdkit and the appliance are
stopped whatever happens.
"""
import argparse
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

# No __pycache__ in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import replay  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PLUGIN = os.path.join(HERE, "logdisk.py")
CARD_BYTES = 40 << 20
BOOT_SECONDS = 600
TOOL_SECONDS = 900
APPLIANCE_ENV = dict(os.environ, LIBGUESTFS_BACKEND="direct", LIBGUESTFS_BACKEND_SETTINGS="force_tcg")
MTOOLS_ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1")

# Scenario: (new package shape, seed), (old package shape, seed), write's
# options, the writer's, the path write must take.
SCENARIOS = {
    "large": (("large", 11), ("small", 12), [], ["--no-exchange"], "two-rename"),
    "small": (("small", 21), ("large", 22), [], ["--no-exchange"], "two-rename"),
    "in-place": (("large", 31), ("small", 32), ["--in-place"], [], "in-place"),
    "exchange": (("small", 41), ("large", 42), [], [], "exchange"),
    "exchange-large": (("large", 51), ("small", 52), [], [], "exchange"),
}
RERUNS_PER_SCENARIO = 2


def say(text):
    print(text, flush=True)


def run(args, timeout, env=None, check=True, **kwargs):
    result = subprocess.run(args, env=env, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
    if check and result.returncode != 0:
        raise RuntimeError("%s -> %d\n%s%s" % (" ".join(args), result.returncode, result.stdout.decode(errors="replace"),
                                               result.stderr.decode(errors="replace")))
    return result


def wait_for_exit(pid, timeout):
    """Blocks until process PID (not our child) is gone, or the timeout."""
    try:
        fd = os.pidfd_open(pid)
    except ProcessLookupError:
        return True
    try:
        ready, _, _ = select.select([fd], [], [], timeout)
        return bool(ready)
    finally:
        os.close(fd)


def read_pid(path):
    try:
        with open(path) as f:
            return int(f.read().strip())
    except (FileNotFoundError, ValueError):
        return None


def make_package(folder, shape, seed, writer):
    """A sealed package: FOLDER/PreDLMap and FOLDER/PreDLMap.sha256."""
    rng = random.Random(seed)
    root = os.path.join(folder, "PreDLMap")
    os.makedirs(root)

    def put(relative, size):
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(size))

    if shape == "large":
        for i in range(4):
            put("Map/Zoom%d/tile%04d.tile" % (i % 2, seed * 10 + i), rng.randint(200_000, 600_000))
    else:
        for i in range(80):
            put("Poi/Cat%d/Grp%d/p%03d_%d.poi" % (i % 3, i % 4, i, seed), rng.randint(30, 3000))
        for i in range(6):
            put("Index/idx%d_%d.idx" % (i, seed), rng.randint(4000, 20000))
    with open(os.path.join(root, "PreDLVerno.ini"), "wb") as f:
        f.write(("[Version]\r\nMap=pull-%s-%d\r\n" % (shape, seed)).encode())
    run([writer, "seal", root], 60)
    return root


def make_card(path, old_folder):
    """A FAT32 image holding the old package and its manifest."""
    with open(path, "wb") as f:
        f.truncate(CARD_BYTES)
    run(["mkfs.fat", "-F", "32", "-n", "PULLCARD", path], 60)
    run(["mcopy", "-s", "-i", path, os.path.join(old_folder, "PreDLMap"), "::/"], 120, env=MTOOLS_ENV)
    run(["mcopy", "-i", path, os.path.join(old_folder, "PreDLMap.sha256"), "::/"], 60, env=MTOOLS_ENV)


def make_ext2(path, folder, megabytes):
    with open(path, "wb") as f:
        f.truncate(megabytes << 20)
    run(["mke2fs", "-q", "-F", "-t", "ext2", "-d", folder, path], 120)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cleanup:
    """What must be stopped, whatever happens."""

    def __init__(self):
        self.servers = []
        self.fish = []

    def nbdkit(self, image, log, messages):
        port = free_port()
        # --run's command starts once nbdkit listens: its "ready" is the
        # handshake; nbdkit exits when it does, when its stdin closes.
        server = subprocess.Popen(
            ["nbdkit", "-i", "127.0.0.1", "-p", str(port), "--run", "echo ready; exec cat >/dev/null",
             "python", PLUGIN, "file=" + image, "log=" + log],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=open(messages, "wb"))
        self.servers.append(server)
        seen = []
        for line in server.stdout:
            if line.strip() == b"ready":
                break
            seen.append(line.decode(errors="replace"))
        else:
            server.wait(60)
            with open(messages, errors="replace") as f:
                raise RuntimeError("nbdkit did not start: " + "".join(seen) + f.read())
        return port

    def stop_nbdkits(self):
        for server in self.servers:
            if server.poll() is None:
                server.stdin.close()
                try:
                    server.wait(60)
                except subprocess.TimeoutExpired:
                    server.kill()
                    server.wait(60)
        self.servers = []

    def all(self):
        for fish in self.fish:
            try:
                fish.close()
            except Exception as e:  # keep stopping the rest
                say("pull: cleanup: guestfish: %s" % e)
        self.fish = []
        self.stop_nbdkits()


class Card:
    def __init__(self, name, work, writer):
        (new_shape, new_seed), (old_shape, old_seed), self.options, self.writer_options, self.path = SCENARIOS[name]
        self.in_place = "--in-place" in self.options
        self.name = name
        self.dir = os.path.join(work, name)
        os.makedirs(self.dir)
        self.new_folder = os.path.join(self.dir, "new")
        self.old_folder = os.path.join(self.dir, "old")
        self.new_shape = new_shape
        make_package(self.new_folder, new_shape, new_seed, writer)
        make_package(self.old_folder, old_shape, old_seed, writer)
        self.base = os.path.join(self.dir, "base.img")
        make_card(self.base, self.old_folder)
        self.image = os.path.join(self.dir, "card.img")
        shutil.copyfile(self.base, self.image)
        self.log = os.path.join(self.dir, "card.log")
        self.mark = None
        self.tool_result = None

    def serve(self, cleanup):
        self.port = cleanup.nbdkit(self.image, self.log, os.path.join(self.dir, "nbdkit.messages"))
        return "nbd://127.0.0.1:%d" % self.port


class Fish:
    """guestfish in remote mode: each command blocks until it is done."""

    def __init__(self, disks, cleanup):
        args = ["guestfish", "--listen"]
        for disk in disks:
            args += ["--format=raw", "-a", disk]
        # The listener forks and keeps its output open: a file, not a pipe.
        with tempfile.TemporaryFile() as out:
            result = subprocess.run(args, env=APPLIANCE_ENV, timeout=120, stdout=out, stderr=subprocess.STDOUT)
            out.seek(0)
            line = out.read().decode(errors="replace").strip()
        if result.returncode != 0 or not line.startswith("GUESTFISH_PID="):
            raise RuntimeError("guestfish --listen -> %d: %s" % (result.returncode, line))
        # GUESTFISH_PID=1234; export GUESTFISH_PID
        self.pid = int(line.split(";")[0].split("=")[1])
        cleanup.fish.append(self)
        self.env = dict(APPLIANCE_ENV, GUESTFISH_PID=str(self.pid))

    def __call__(self, *command, timeout=BOOT_SECONDS, check=True):
        return run(["guestfish", "--remote", "--"] + list(command), timeout, env=self.env, check=check)

    def tool(self, argv):
        """Runs the static writer in the appliance (its root, not a chroot:
        the program needs nothing there). A failing guestfish command would
        end the remote server, so the shell says the code instead."""
        out = self("debug", "sh", " ".join(argv) + " 2>&1; echo \"pelk-exit=$?\"", timeout=TOOL_SECONDS)
        text = out.stdout.decode(errors="replace").rstrip()
        body, _, code = text.rpartition("pelk-exit=")
        return subprocess.CompletedProcess(argv, int(code) if code.strip().isdigit() else -1, body.encode(), b"")

    def close(self):
        if self.pid is None:
            return
        try:
            self("exit", check=False, timeout=120)
        finally:
            if not wait_for_exit(self.pid, 120):
                os.kill(self.pid, signal.SIGKILL)
                wait_for_exit(self.pid, 60)
            self.pid = None


def disk_name(index):
    """The appliance's name of its INDEX'th disk (0: /dev/sda): sdz, sdaa."""
    letters = ""
    index += 1
    while index:
        index, left = divmod(index - 1, 26)
        letters = chr(ord("a") + left) + letters
    return "/dev/sd" + letters


def boot(name, jobs, disks, work, writer, cleanup):
    """One appliance: the root (an ext2 image with the writer and the new
    packages) and DISKS, each job's card, mounted at /card0, /card1, ...;
    the writer run on each in turn. A job: (card, disk, before), where
    before() is called just before the writer starts on that card."""
    tree = os.path.join(work, name + "-root")
    os.makedirs(os.path.join(tree, "pkg"))
    shutil.copy(writer, os.path.join(tree, "pelk_pull_writer"))
    packages = {}
    for card, _, _ in jobs:
        if card.new_folder not in packages:
            packages[card.new_folder] = "/pkg/%d" % len(packages)
            shutil.copytree(card.new_folder, os.path.join(tree, packages[card.new_folder].lstrip("/")))
    for i, _ in enumerate(jobs):
        os.makedirs(os.path.join(tree, "card%d" % i))
    root_image = os.path.join(work, name + "-root.img")
    make_ext2(root_image, tree, 64)
    fish = Fish([root_image] + disks, cleanup)
    results = []
    try:
        try:
            fish("run")
        except RuntimeError as error:
            # Seen once: the listener gone while the appliance started
            # (supermin rebuilding it after the host's packages changed).
            say("pull: %s: the appliance did not start (%s); once more" % (name, str(error).splitlines()[0]))
            fish.close()
            fish = Fish([root_image] + disks, cleanup)
            fish("run")
        fish("mount", "/dev/sda", "/")
        for i, _ in enumerate(jobs):
            fish("mount", disk_name(i + 1), "/card%d" % i)
        say("pull: %s: appliance kernel %s" % (name, fish("debug", "sh", "uname -r", check=False).stdout.decode()
                                                .strip()))
        for i, (card, _, before) in enumerate(jobs):
            argv = ["/sysroot/pelk_pull_writer"] + card.writer_options + ["write"] + card.options + [
                "/sysroot" + packages[card.new_folder] + "/PreDLMap", "/sysroot/card%d" % i]
            before()
            results.append(fish.tool(argv))
        # A FAT the kernel finds inconsistent is remounted read-only: its words.
        kernel = fish("debug", "sh", "dmesg | grep FAT-fs | grep -e error -e read-only || true", check=False)
        for line in kernel.stdout.decode(errors="replace").splitlines():
            say("pull: %s: kernel: %s" % (name, line.strip()))
        fish("umount-all")
        fish("sync")
    finally:
        fish.close()
        cleanup.stop_nbdkits()
    return results


def refused_exchanges(result):
    """How many exchanges the writer's --no-exchange refused, as it says."""
    found = re.search(rb"pelk_pull_writer: refused (\d+) exchanges", result.stdout)
    return int(found.group(1)) if found else 0


# What fsck.fat -n says of any card pulled out or written by Linux: the dirty
# bit, the boot sector's backup, lost clusters, the free count and a second
# FAT one sector behind the first (Linux writes the copies in turn). Anything
# else (a free cluster in a chain, an entry pointing at the root, cross-links,
# orphaned long names, bad entries) is a finding.
HARMLESS_FSCK = re.compile("|".join([
    r"fsck\.fat \d", r"Checking we can access the last sector", r"There are differences between boot sector",
    r"This is mostly harmless", r"\d+:[0-9a-f]{2}/[0-9a-f]{2}$", r"Not automatically fixing this",
    r"Dirty bit is set", r"Automatically removing dirty bit", r"Checking for unused clusters",
    r"Reclaimed \d+ unused clusters?( \(\d+ bytes\))?\.?$", r"Free cluster summary", r"Auto-correcting",
    r"Leaving filesystem unchanged", r"FATs differ but appear to be intact", r"Using first FAT",
    r".*: \d+ files, \d+/\d+ clusters$"]))


def fsck_findings(image):
    fsck = run(["fsck.fat", "-n", image], 120, check=False)
    lines = (fsck.stdout + fsck.stderr).decode(errors="replace").splitlines()
    return [line.strip() for line in lines if line.strip() and not HARMLESS_FSCK.match(line.strip())]


def check_rerun(rerun, repaired=False):
    """"exact" when the card ends with the new package and fsck.fat finds
    nothing worse than lost clusters; "repair" when the card was pulled in
    an unclean state and the write refused it, unchanged, with the advice
    to repair it; else "failed"."""
    card = rerun["card"]
    image = rerun["image"]
    new = replay.Package(os.path.join(card.new_folder, "PreDLMap"))
    old = replay.Package(os.path.join(card.old_folder, "PreDLMap"))
    scratch = tempfile.mkdtemp(dir=os.path.dirname(image))
    cls, why, _, _ = replay.classify(replay.Reader(scratch), image, old, new, card.in_place)
    shutil.rmtree(scratch)
    findings = fsck_findings(image)
    result = rerun.get("result")
    tool_ok = result is not None and result.returncode == 0
    printed = (result.stdout + result.stderr).decode(errors="replace") if result else ""
    if tool_ok and cls == "new" and not findings:
        verdict = "exact"
    elif rerun["fsck"] and not repaired and result is not None and result.returncode in (66, 74) and \
            "fsck.fat -a" in printed and cls == rerun["class"]:
        verdict = "repair"
    else:
        verdict = "failed"
    say("pull: rerun %s moment %d (%s%s)%s: write -> %s; card %s%s; fsck.fat: %s: %s" % (
        card.name, rerun["moment"], rerun["class"], ("; fsck.fat before: " + rerun["fsck"]) if rerun["fsck"] else "",
        " repaired by fsck.fat -a" if repaired else "",
        "0" if tool_ok else (
            "%d %s" % (result.returncode, printed.strip()[:300].replace("\n", " | ")) if result else "not run"),
        cls, (" (" + why + ")") if why else "", "; ".join(findings[:5]) if findings else "nothing worse than lost clusters",
        verdict))
    return verdict


def replay_card(card, reorder):
    old = replay.Package(os.path.join(card.old_folder, "PreDLMap"))
    new = replay.Package(os.path.join(card.new_folder, "PreDLMap"))
    scratch = os.path.join(card.dir, "replay")
    os.makedirs(scratch)
    states_dir = os.path.join(scratch, "states")
    os.makedirs(states_dir)
    walk = replay.Replay(card.base, card.log, card.mark, old, new, card.in_place, scratch, reorder=reorder)
    result = walk.run(card.image)
    result["walk"] = walk
    return result


def step_of(card, state, past):
    """The tool's step a state falls in, told by the root's names (lower
    case) and what PreDLMap holds; PAST: the steps of the earlier states."""
    names = set(state["names"])
    staging = replay.STAGING.lower() in names
    stash = replay.ASIDE.lower() in names
    manifest = replay.MANIFEST.lower() in names
    aside = replay.MANIFEST_ASIDE.lower() in names
    marker = replay.MARKER.lower() in names
    package = replay.PACKAGE.lower() in names
    if card.in_place:
        removed = any(p.startswith("old package removed") or p.startswith("new package") for p in past)
        if not marker:
            return "marker removed" if removed else "before the marker"
        if not removed and manifest and package:
            return "marker written, old package still there"
        if not manifest and not package:
            return "old package removed"
        if not manifest:
            return "new package written into PreDLMap" if removed else "old package being removed"
        return "new package written, its manifest beside it"
    if aside:
        return "new manifest written aside, not yet renamed"
    if stash and not package:
        return "between the two renames"
    if staging and manifest:
        return "staging writes, read-back"
    if staging and not manifest and state["class"] == "old":
        return "old manifest removed"
    if (staging or stash) and not manifest:
        return "renamed; old package being removed"
    if not manifest:
        return "old package removed, no manifest yet"
    return "manifest in place" if any(p != "staging writes, read-back" and p != "before the write" for p in past) \
        else "before the write"


def report(card, result):
    counts = result["counts"]
    say("pull: scenario=%s path=%s moments=%d %s flushes=%d shape=%s" % (
        card.name, card.path, len(result["states"]), " ".join("%s=%d" % (c, counts[c]) for c in replay.CLASSES),
        result["flushes"], card.new_shape))
    if result["reordered"]:
        rc = {c: 0 for c in replay.CLASSES}
        for state in result["reordered"]:
            rc[state["class"]] += 1
        say("pull: scenario=%s reordered=%d %s" % (
            card.name, len(result["reordered"]), " ".join("%s=%d" % (c, rc[c]) for c in replay.CLASSES)))
    # The steps, in order, with the moments and flushes each spans.
    steps = []
    for state in result["states"]:
        step = step_of(card, state, [x["step"] for x in steps])
        state["step"] = step
        if not steps or steps[-1]["step"] != step:
            steps.append({"step": step, "first": state["moment"], "last": state["moment"],
                          "flushes": [state["flushes"], state["flushes"]], "classes": {}})
        steps[-1]["last"] = state["moment"]
        steps[-1]["flushes"][1] = state["flushes"]
        steps[-1]["classes"][state["class"]] = steps[-1]["classes"].get(state["class"], 0) + 1
    for s in steps:
        say("pull:   moments %d-%d (flushes %d-%d): %s: %s" % (
            s["first"], s["last"], s["flushes"][0], s["flushes"][1], s["step"],
            " ".join("%s=%d" % (c, n) for c, n in s["classes"].items())))
    # Findings, grouped into runs of consecutive moments with the same reason.
    runs = []
    for state in result["states"]:
        if state["class"] in replay.FAILING:
            key = (state["class"], state["why"])
            if runs and runs[-1]["key"] == key and runs[-1]["last"] == state["moment"] - 1:
                runs[-1]["last"] = state["moment"]
            else:
                runs.append({"key": key, "first": state["moment"], "last": state["moment"],
                             "flushes": state["flushes"], "names": state["names"], "step": state["step"]})
    for r in runs[:8]:
        say("pull:   %s at moments %d-%d (after flush %d of %d; %s; root: %s): %s" % (
            r["key"][0], r["first"], r["last"], r["flushes"], result["flushes"], r["step"], " ".join(r["names"]),
            r["key"][1]))
    if len(runs) > 8:
        say("pull:   ... %d more runs of findings" % (len(runs) - 8))
    # States the next write cannot clear: fsck.fat finds more than lost
    # clusters outside the live package too (Linux stops at them).
    unclean = []
    for state in result["states"]:
        if state["fsck"] and state["class"] not in replay.FAILING:
            if unclean and unclean[-1]["last"] == state["moment"] - 1 and unclean[-1]["step"] == state["step"]:
                unclean[-1]["last"] = state["moment"]
            else:
                unclean.append({"first": state["moment"], "last": state["moment"], "step": state["step"],
                                "fsck": state["fsck"][0]})
    unclean_states = sum(u["last"] - u["first"] + 1 for u in unclean)
    say("pull: scenario=%s unclean=%d" % (card.name, unclean_states))
    for u in unclean[:8]:
        say("pull:   unclean at moments %d-%d (%s): %s" % (u["first"], u["last"], u["step"], u["fsck"]))
    bad_reordered = [s for s in result["reordered"] if s["class"] in replay.FAILING]
    for s in bad_reordered[:5]:
        say("pull:   reordered: %s after flush %d (%s): %s" % (s["class"], s["flush"], s["what"], s["why"]))
    return sum(counts[c] for c in replay.FAILING), len(bad_reordered), unclean_states


def pick_reruns(card, result):
    """States pulled while the package was being put in place: from the
    last flush before the card first stops holding its old package, to the
    end; the findings first, then spread over the rest."""
    states = result["states"]
    first = next((s for s in states if s["class"] != "old"), None)
    if first is None:
        return []
    window = [s for s in states if s["flushes"] >= first["flushes"] and s["moment"] >= 1]
    if card.in_place:
        window = [s for s in states if s["class"] in ("marked",) + replay.FAILING]
    chosen = [s for s in window if s["class"] in replay.FAILING][:1]
    picks = []
    extra = 0

    def pick(s):
        image = os.path.join(card.dir, "rerun-%d.img" % s["moment"])
        result["walk"].image_at(s["moment"], image)
        picks.append({"card": card, "moment": s["moment"], "class": s["class"], "image": image,
                      "fsck": "; ".join(s["fsck"][:2]) if s["fsck"] else None})
    # The first unclean state of each step (an entry ahead of its cluster):
    # the next write must refuse it untouched, and write it once repaired.
    steps = set()
    for s in states:
        if s["fsck"] and s["class"] not in replay.FAILING and s["step"] not in steps:
            steps.add(s["step"])
            chosen.append(s)
            extra += 1
    rest = [s for s in window if s not in chosen]
    while rest and len(chosen) < RERUNS_PER_SCENARIO + extra:
        chosen.append(rest.pop(len(rest) // 2 if len(chosen) % 2 else -1))
    for s in chosen:
        pick(s)
    return picks


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--writer", required=True)
    parser.add_argument("--work")
    parser.add_argument("--only", default=",".join(SCENARIOS))
    parser.add_argument("--no-reorder", action="store_true")
    parser.add_argument("--measure", action="store_true", default=os.environ.get("PELK_PULL_MEASURE") == "1")
    args = parser.parse_args()
    wanted = [s for s in args.only.split(",") if s]
    for s in wanted:
        if s not in SCENARIOS:
            parser.error("unknown scenario " + s)
    for needed in ("nbdkit", "guestfish", "mcopy", "mdir", "mkfs.fat", "fsck.fat", "mke2fs"):
        if not shutil.which(needed):
            say("pull: %s is missing" % needed)
            return 2
    work = args.work or tempfile.mkdtemp(prefix="pelk-pull-")
    if os.path.exists(work):
        shutil.rmtree(work)
    os.makedirs(work)
    writer = os.path.abspath(args.writer)
    cleanup = Cleanup()
    findings = 0
    reordered_findings = 0
    failed_reruns = 0
    unclean = 0
    try:
        cards = [Card(name, work, writer) for name in wanted]
        jobs = []
        for card in cards:
            disk = card.serve(cleanup)

            def before(card=card):
                card.mark = replay.log_bytes(card.log)
            jobs.append((card, disk, before))
        results = boot("runs", jobs, [disk for _, disk, _ in jobs], work, writer, cleanup)
        reruns = []
        for card, result in zip(cards, results):
            card.tool_result = result
            say("pull: %s: pelk_pull_writer %s -> %d: %s" % (
                card.name, " ".join(card.writer_options + ["write"] + card.options), result.returncode,
                result.stdout.decode(errors="replace").strip().replace("\n", " | ")))
            walked = replay_card(card, not args.no_reorder)
            in_order, reordered, unclean_states = report(card, walked)
            findings += in_order
            reordered_findings += reordered
            unclean += unclean_states
            if result.returncode != 0:
                say("pull: %s: the write itself failed" % card.name)
                findings += 1
            # The path is the scenario's: an exchange leaves no stash in any
            # state, and --no-exchange must have refused the writer's one.
            seen_stash = any(replay.ASIDE.lower() in s["names"] for s in walked["states"])
            refused = refused_exchanges(result)
            if card.path == "two-rename" and refused == 0:
                say("pull: %s: the writer refused no exchange: the two-rename path was not taken" % card.name)
                findings += 1
            if card.path == "exchange" and (seen_stash or refused):
                say("pull: %s: the old package was set aside: the exchange was not taken" % card.name)
                findings += 1
            reruns += pick_reruns(card, walked)
        if reruns:
            jobs = [(r["card"], r["image"], lambda: None) for r in reruns]
            for rerun, result in zip(reruns, boot("reruns", jobs, [r["image"] for r in reruns], work, writer,
                                                  cleanup)):
                rerun["result"] = result
            verdicts = [check_rerun(rerun) for rerun in reruns]
            failed_reruns += verdicts.count("failed")
            # A card Linux found unclean, refused with the advice to repair
            # it: repaired as the advice says, then written again.
            repairs = [r for r, v in zip(reruns, verdicts) if v == "repair"]
            for rerun in repairs:
                # fsck.fat -a mends one thing in a folder at a time ("."
                # first, then ".."): run until it finds nothing.
                for _ in range(4):
                    run(["fsck.fat", "-a", "-w", rerun["image"]], 120, check=False)
                    if not fsck_findings(rerun["image"]):
                        break
            if repairs:
                jobs = [(r["card"], r["image"], lambda: None) for r in repairs]
                for rerun, result in zip(repairs, boot("repaired", jobs, [r["image"] for r in repairs], work,
                                                       writer, cleanup)):
                    rerun["result"] = result
                for rerun in repairs:
                    failed_reruns += 0 if check_rerun(rerun, repaired=True) == "exact" else 1
    finally:
        cleanup.all()
    say("pull: findings=%d reordered-findings=%d unclean=%d failed-reruns=%d%s" % (
        findings, reordered_findings, unclean, failed_reruns, " (measuring: not failing)" if args.measure else ""))
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    # A card that reorders writes between flushes, and the unclean states,
    # are measured and printed; the states in the order the driver wrote
    # them must all be whole, and each card written again exact (an unclean
    # one once repaired as the write advised).
    return 0 if args.measure or findings + failed_reruns == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
