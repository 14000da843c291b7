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

Two appliance boots:
  1. guestmount (FUSE), one card per scenario: large (a few large files over
     an old package of small ones), small (many small files in nested
     folders over an old package of large ones), in-place (--in-place over
     an old package). Through FUSE renameat2(RENAME_EXCHANGE) fails, so the
     tool takes its two-rename path.
  2. guestfish, the tool (a static build) run inside the appliance, where the
     kernel's vfat exchanges two folders in one step: scenario exchange. In
     the same boot, reruns: a few images pulled late in the runs of boot 1
     (while the package was being put in place) are written again to
     completion; each must then hold the new package and fsck.fat -n find no
     more than lost clusters.

  pull.py --tool PELK_MAPCOPY --static-tool PELK_MAPCOPY_STATIC [--work DIR]
          [--only large,small,in-place,exchange] [--no-reorder] [--measure]

Run time here (2 cores, TCG): about four minutes, most of it the two boots,
the writes at about 1 MB/s and the mtools reads of each state.

A rerun can fail because Linux finds the pulled card's FAT inconsistent
and remounts it read-only: such a card is not one the next write repairs.

Exit 1 on any wrong-manifest or bad state or failed rerun, unless --measure
(or PELK_PULL_MEASURE=1): then the counts are printed and it exits 0.
Every step that could hang has a timeout; nbdkit, the mount and the
appliance are stopped whatever happens.
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import replay  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PLUGIN = os.path.join(HERE, "logdisk.py")
CARD_BYTES = 40 << 20
BOOT_SECONDS = 600
TOOL_SECONDS = 900
APPLIANCE_ENV = dict(os.environ, LIBGUESTFS_BACKEND="direct", LIBGUESTFS_BACKEND_SETTINGS="force_tcg")
MTOOLS_ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1")

# Scenario: (new package shape, seed), (old package shape, seed), --in-place
SCENARIOS = {
    "large": (("large", 11), ("small", 12), False),
    "small": (("small", 21), ("large", 22), False),
    "in-place": (("large", 31), ("small", 32), True),
    "exchange": (("small", 41), ("large", 42), False),
}
FUSE_SCENARIOS = ("large", "small", "in-place")
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


def make_package(folder, shape, seed, tool):
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
    run([tool, "seal", root], 60)
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
    """What must be stopped or unmounted, whatever happens."""

    def __init__(self):
        self.servers = []
        self.mounts = []  # (mount point, guestmount pid file)
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

    def unmount(self, mount, pidfile):
        pid = read_pid(pidfile)
        result = subprocess.run(["guestunmount", "--retry=10", mount], timeout=120, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        if result.returncode != 0:
            subprocess.run(["fusermount", "-u", "-z", mount], timeout=60)
        if pid and not wait_for_exit(pid, 120):
            os.kill(pid, signal.SIGKILL)
            wait_for_exit(pid, 60)

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
        for mount, pidfile in self.mounts:
            try:
                self.unmount(mount, pidfile)
            except Exception as e:  # keep stopping the rest
                say("pull: cleanup: unmounting %s: %s" % (mount, e))
        self.mounts = []
        for fish in self.fish:
            try:
                fish.close()
            except Exception as e:
                say("pull: cleanup: guestfish: %s" % e)
        self.fish = []
        self.stop_nbdkits()


class Card:
    def __init__(self, name, work, tool):
        (new_shape, new_seed), (old_shape, old_seed), self.in_place = SCENARIOS[name]
        self.name = name
        self.dir = os.path.join(work, name)
        os.makedirs(self.dir)
        self.new_folder = os.path.join(self.dir, "new")
        self.old_folder = os.path.join(self.dir, "old")
        self.new_shape = new_shape
        make_package(self.new_folder, new_shape, new_seed, tool)
        make_package(self.old_folder, old_shape, old_seed, tool)
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

    def write_args(self):
        return ["write"] + (["--in-place"] if self.in_place else [])


def boot_fuse(cards, work, tool, cleanup):
    """One appliance, every card mounted through guestmount; the tool on each."""
    root_tree = os.path.join(work, "fuse-root")
    for card in cards:
        os.makedirs(os.path.join(root_tree, card.name))
    root_image = os.path.join(work, "fuse-root.img")
    make_ext2(root_image, root_tree, 8)
    mount = os.path.join(work, "mnt")
    os.makedirs(mount)
    pidfile = os.path.join(work, "guestmount.pid")
    args = ["guestmount", "--pid-file", pidfile, "--format=raw", "-a", root_image]
    for card in cards:
        args += ["-a", card.serve(cleanup)]
    args += ["-m", "/dev/sda"]
    for i, card in enumerate(cards):
        args += ["-m", "/dev/sd%s:/%s" % (chr(ord("b") + i), card.name)]
    args += ["--rw", mount]
    cleanup.mounts.append((mount, pidfile))
    # guestmount returns once the mount is there.
    run(args, BOOT_SECONDS, env=APPLIANCE_ENV)
    for card in cards:
        card.mark = replay.log_bytes(card.log)
        result = run([tool] + card.write_args() + [os.path.join(card.new_folder, "PreDLMap"),
                                                   os.path.join(mount, card.name)], TOOL_SECONDS, check=False)
        card.tool_result = result
        say("pull: %s: pelk-mapcopy %s -> %d: %s" % (card.name, " ".join(card.write_args()), result.returncode,
                                                      result.stdout.decode(errors="replace").strip().replace("\n", " | ")))
    cleanup.unmount(mount, pidfile)
    cleanup.mounts.remove((mount, pidfile))
    cleanup.stop_nbdkits()


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
        """Runs the static tool in the appliance (its root, not a chroot: the
        program needs nothing there). A failing guestfish command would end
        the remote server, so the shell says the code instead."""
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


def boot_inside(card, reruns, work, static_tool, cleanup):
    """One appliance: the tool run inside it on CARD (kernel vfat, exchange
    path) and on each rerun image; the card served through logdisk, the
    reruns plain files."""
    tree = os.path.join(work, "inside-root")
    for folder in ("card", "pkg"):
        os.makedirs(os.path.join(tree, folder))
    shutil.copy(static_tool, os.path.join(tree, "pelk-mapcopy"))
    packages = {}
    for folder in [card.new_folder] + [r["card"].new_folder for r in reruns]:
        if folder not in packages:
            packages[folder] = "/pkg/%d" % len(packages)
            shutil.copytree(folder, os.path.join(tree, packages[folder].lstrip("/")))
    for i, _ in enumerate(reruns):
        os.makedirs(os.path.join(tree, "rerun%d" % i))
    root_image = os.path.join(work, "inside-root.img")
    make_ext2(root_image, tree, 64)
    disks = [root_image, card.serve(cleanup)] + [r["image"] for r in reruns]
    fish = Fish(disks, cleanup)
    try:
        fish("run")
        fish("mount", "/dev/sda", "/")
        fish("mount", "/dev/sdb", "/card")
        for i, _ in enumerate(reruns):
            fish("mount", "/dev/sd%s" % chr(ord("c") + i), "/rerun%d" % i)
        say("pull: appliance kernel: %s" % fish("debug", "sh", "uname -r", check=False).stdout.decode().strip())
        card.mark = replay.log_bytes(card.log)
        argv = ["/sysroot/pelk-mapcopy"] + card.write_args() + ["/sysroot" + packages[card.new_folder] + "/PreDLMap",
                                                                 "/sysroot/card"]
        card.tool_result = fish.tool(argv)
        say("pull: %s: pelk-mapcopy (inside the appliance) -> %d: %s" % (
            card.name, card.tool_result.returncode,
            (card.tool_result.stdout + card.tool_result.stderr).decode(errors="replace").strip().replace("\n", " | ")))
        for i, rerun in enumerate(reruns):
            argv = ["/sysroot/pelk-mapcopy"] + rerun["card"].write_args() + [
                "/sysroot" + packages[rerun["card"].new_folder] + "/PreDLMap", "/sysroot/rerun%d" % i]
            rerun["result"] = fish.tool(argv)
        fish("umount-all")
        fish("sync")
    finally:
        fish.close()
        cleanup.stop_nbdkits()


# What fsck.fat -n says of any card pulled out or written by Linux: the dirty
# bit, the boot sector's backup, lost clusters and the free count. Anything
# else (a free cluster in a chain, an entry pointing at the root, cross-links,
# orphaned long names, bad entries) is a finding.
HARMLESS_FSCK = re.compile("|".join([
    r"fsck\.fat \d", r"Checking we can access the last sector", r"There are differences between boot sector",
    r"This is mostly harmless", r"\d+:[0-9a-f]{2}/[0-9a-f]{2}$", r"Not automatically fixing this",
    r"Dirty bit is set", r"Automatically removing dirty bit", r"Checking for unused clusters",
    r"Reclaimed \d+ unused clusters", r"Free cluster summary", r"Auto-correcting", r"Leaving filesystem unchanged",
    r".*: \d+ files, \d+/\d+ clusters$"]))


def fsck_findings(image):
    fsck = run(["fsck.fat", "-n", image], 120, check=False)
    lines = (fsck.stdout + fsck.stderr).decode(errors="replace").splitlines()
    return [line.strip() for line in lines if line.strip() and not HARMLESS_FSCK.match(line.strip())]


def check_rerun(rerun):
    card = rerun["card"]
    image = rerun["image"]
    new = replay.Package(os.path.join(card.new_folder, "PreDLMap"))
    old = replay.Package(os.path.join(card.old_folder, "PreDLMap"))
    scratch = tempfile.mkdtemp(dir=os.path.dirname(image))
    cls, why, _ = replay.classify(replay.Reader(scratch), image, old, new, card.in_place)
    shutil.rmtree(scratch)
    findings = fsck_findings(image)
    result = rerun.get("result")
    tool_ok = result is not None and result.returncode == 0
    ok = tool_ok and cls == "new" and not findings
    say("pull: rerun %s moment %d (%s): write -> %s; card %s%s; fsck.fat: %s" % (
        card.name, rerun["moment"], rerun["class"], "0" if tool_ok else (
            "%d %s" % (result.returncode, (result.stdout + result.stderr).decode(errors="replace").strip()[:300])
            if result else "not run"),
        cls, (" (" + why + ")") if why else "", "; ".join(findings[:5]) if findings else "nothing worse than lost clusters"))
    return ok


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


def path_taken(card, result):
    """The path the tool took: through FUSE there is no exchange; inside the
    appliance a stash seen in any state means two renames after all."""
    if card.in_place:
        return "in-place"
    if card.name in FUSE_SCENARIOS:
        return "two-rename"
    seen_aside = any(replay.ASIDE.lower() in s["names"] for s in result["states"])
    return "two-rename" if seen_aside else "exchange"


def report(card, result):
    counts = result["counts"]
    say("pull: shape=%s scenario=%s path=%s moments=%d flushes=%d %s" % (
        card.new_shape, card.name, path_taken(card, result), len(result["states"]), result["flushes"],
        " ".join("%s=%d" % (c, counts[c]) for c in replay.CLASSES)))
    if result["reordered"]:
        rc = {c: 0 for c in replay.CLASSES}
        for state in result["reordered"]:
            rc[state["class"]] += 1
        say("pull:   reordered within an epoch: states=%d %s" % (
            len(result["reordered"]), " ".join("%s=%d" % (c, rc[c]) for c in replay.CLASSES)))
    # Findings, grouped into runs of consecutive moments with the same reason.
    runs = []
    for state in result["states"]:
        if state["class"] in replay.FAILING:
            key = (state["class"], state["why"])
            if runs and runs[-1]["key"] == key and runs[-1]["last"] == state["moment"] - 1:
                runs[-1]["last"] = state["moment"]
            else:
                runs.append({"key": key, "first": state["moment"], "last": state["moment"],
                             "flushes": state["flushes"], "names": state["names"]})
    for r in runs[:8]:
        say("pull:   %s at moments %d-%d (after flush %d of %d; root: %s): %s" % (
            r["key"][0], r["first"], r["last"], r["flushes"], result["flushes"], " ".join(r["names"]), r["key"][1]))
    if len(runs) > 8:
        say("pull:   ... %d more runs of findings" % (len(runs) - 8))
    bad_reordered = [s for s in result["reordered"] if s["class"] in replay.FAILING]
    for s in bad_reordered[:5]:
        say("pull:   reordered: %s after flush %d (%s): %s" % (s["class"], s["flush"], s["what"], s["why"]))
    return sum(counts[c] for c in replay.FAILING) + len(bad_reordered)


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
        window = [s for s in states if s["class"] in ("marked", "bad")]
    chosen = [s for s in window if s["class"] in replay.FAILING][:1]
    rest = [s for s in window if s not in chosen]
    while rest and len(chosen) < RERUNS_PER_SCENARIO:
        chosen.append(rest.pop(len(rest) // 2 if len(chosen) % 2 else -1))
    picks = []
    for s in chosen:
        image = os.path.join(card.dir, "rerun-%d.img" % s["moment"])
        result["walk"].image_at(s["moment"], image)
        picks.append({"card": card, "moment": s["moment"], "class": s["class"], "image": image})
    return picks


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--static-tool")
    parser.add_argument("--work")
    parser.add_argument("--only", default=",".join(SCENARIOS))
    parser.add_argument("--no-reorder", action="store_true")
    parser.add_argument("--measure", action="store_true", default=os.environ.get("PELK_PULL_MEASURE") == "1")
    args = parser.parse_args()
    wanted = [s for s in args.only.split(",") if s]
    for s in wanted:
        if s not in SCENARIOS:
            parser.error("unknown scenario " + s)
    if "exchange" in wanted and not args.static_tool:
        parser.error("the exchange scenario needs --static-tool")
    for needed in ("nbdkit", "guestmount", "guestunmount", "guestfish", "mcopy", "mdir", "mkfs.fat", "fsck.fat",
                   "mke2fs"):
        if not shutil.which(needed):
            say("pull: %s is missing" % needed)
            return 2
    work = args.work or tempfile.mkdtemp(prefix="pelk-pull-")
    if os.path.exists(work):
        shutil.rmtree(work)
    os.makedirs(work)
    tool = os.path.abspath(args.tool)
    cleanup = Cleanup()
    findings = 0
    failed_reruns = 0
    try:
        fuse_cards = [Card(name, work, tool) for name in FUSE_SCENARIOS if name in wanted]
        reruns = []
        if fuse_cards:
            boot_fuse(fuse_cards, work, tool, cleanup)
            for card in fuse_cards:
                result = replay_card(card, not args.no_reorder)
                findings += report(card, result)
                if card.tool_result.returncode != 0:
                    say("pull: %s: the write itself failed" % card.name)
                    findings += 1
                reruns += pick_reruns(card, result)
        if "exchange" in wanted or reruns:
            card = Card("exchange", work, tool)
            boot_inside(card, reruns, work, os.path.abspath(args.static_tool), cleanup)
            result = replay_card(card, not args.no_reorder)
            findings += report(card, result)
            if card.tool_result.returncode != 0:
                say("pull: exchange: the write itself failed")
                findings += 1
            if path_taken(card, result) != "exchange":
                say("pull: exchange: the tool took the two-rename path inside the appliance")
            for rerun in reruns:
                failed_reruns += 0 if check_rerun(rerun) else 1
    finally:
        cleanup.all()
    say("pull: findings=%d failed-reruns=%d%s" % (findings, failed_reruns, " (measuring: not failing)" if args.measure
                                                  else ""))
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if args.measure or (findings == 0 and failed_reruns == 0) else 1


if __name__ == "__main__":
    sys.exit(main())
