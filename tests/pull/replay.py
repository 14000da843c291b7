"""Rebuilds every state a card could be left in when pulled out during a
logged run, and says for each what the card holds, read without mounting it
(mtools: a FAT reader independent of the driver that wrote the card).

The log is the one logdisk.py writes. A state is the starting image plus a
prefix of the logged writes; with reorder, also the states a card that
reorders its cache between two flushes could reach: at the command's start
and at each flush, the next epoch's writes (those up to the following flush)
each alone, and all of them but one.

Classes:
  old     PreDLMap is the old package, file for file and byte for byte
  new     PreDLMap is the new package
  aside   no PreDLMap; PreDLMap.pelk-old is the old package (between the two
          renames of the no-exchange path)
  marked  PreDLMap.pelk-incomplete is there (--in-place runs): PreDLMap may
          hold anything until the write completes
  wrong-manifest  PreDLMap.sha256 is there but is not the manifest of what
          PreDLMap holds
  bad     anything else: neither package, a part of one, mtools failing or
          complaining while reading it, or the package whole to mtools but
          fsck.fat -n finding its clusters free, shared or the root's
"""
import os
import shutil
import struct
import subprocess
import tempfile

HEADER = struct.Struct("<cQI")
PACKAGE = "PreDLMap"
ASIDE = "PreDLMap.pelk-old"
STAGING = "PreDLMap.pelk-new"
MANIFEST_ASIDE = "PreDLMap.sha256.pelk-new"
MARKER = "PreDLMap.pelk-incomplete"
MANIFEST = "PreDLMap.sha256"
CLASSES = ("old", "new", "aside", "marked", "wrong-manifest", "bad")
FAILING = ("wrong-manifest", "bad")


def read_log(path):
    """The log as a list of ("W", offset, data) and ("F", 0, None)."""
    records = []
    with open(path, "rb") as log:
        blob = log.read()
    at = 0
    while at < len(blob):
        if at + HEADER.size > len(blob):
            raise ValueError("%s: a record cut short at byte %d" % (path, at))
        kind, offset, length = HEADER.unpack_from(blob, at)
        at += HEADER.size
        if kind == b"W":
            if at + length > len(blob):
                raise ValueError("%s: a write's data cut short at byte %d" % (path, at))
            records.append(("W", offset, blob[at:at + length]))
            at += length
        elif kind == b"F":
            records.append(("F", 0, None))
        else:
            raise ValueError("%s: unknown record kind %r at byte %d" % (path, kind, at - HEADER.size))
    return records


def log_bytes(path):
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return 0


def tree_of(folder):
    """{relative path, lower case: None for a folder, bytes for a file}. FAT
    keeps a name's case but compares without it; so does this."""
    tree = {}
    for top, folders, files in os.walk(folder):
        for name in folders:
            path = os.path.join(top, name)
            tree[os.path.relpath(path, folder).lower()] = None
        for name in files:
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                tree[os.path.relpath(path, folder).lower()] = f.read()
    return tree


def describe_difference(got, want):
    missing = sorted(set(want) - set(got))
    extra = sorted(set(got) - set(want))
    differ = sorted(p for p in set(got) & set(want) if got[p] != want[p])
    parts = []
    for label, paths in (("missing", missing), ("extra", extra), ("differ", differ)):
        if paths:
            parts.append("%d %s (%s%s)" % (len(paths), label, ", ".join(paths[:3]), ", ..." if len(paths) > 3 else ""))
    return "; ".join(parts)


class Package:
    def __init__(self, folder):
        """folder: a sealed package, its manifest beside it."""
        self.tree = tree_of(folder)
        with open(folder.rstrip("/") + ".sha256", "rb") as f:
            self.manifest = f.read()


def mtools(args, env):
    return subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)


def complaint_of(run):
    """mtools' complaint, short: its first two lines, cut."""
    lines = run.stderr.decode(errors="replace").strip().splitlines()
    return " / ".join(line[:150] for line in lines[:2])


class Reader:
    """Reads a card image with mtools, never mounting it."""

    def __init__(self, scratch):
        self.scratch = scratch
        self.env = dict(os.environ, MTOOLS_SKIP_CHECK="1", MTOOLS_NO_VFAT="0")
        self.env.pop("MTOOLSRC", None)

    def root(self, image):
        """The root's names, or (None, complaint)."""
        run = mtools(["mdir", "-i", image, "-b", "::/"], self.env)
        if run.returncode != 0 or run.stderr.strip():
            return None, "mdir ::/ -> %d: %s" % (run.returncode, complaint_of(run))
        names = []
        for line in run.stdout.decode(errors="replace").splitlines():
            if line.startswith("::/"):
                names.append(line[3:].rstrip("/").split("/")[0])
        return set(n.lower() for n in names), None

    def folder(self, image, name):
        """The tree of folder NAME in the root, or (None, complaint)."""
        out = tempfile.mkdtemp(dir=self.scratch)
        try:
            run = mtools(["mcopy", "-s", "-n", "-i", image, "::/" + name, out + "/"], self.env)
            complaint = complaint_of(run).replace(out, "OUT")
            if run.returncode != 0 or complaint:
                return None, "mcopy ::/%s -> %d: %s" % (name, run.returncode, complaint)
            entries = os.listdir(out)
            if len(entries) != 1:
                return None, "mcopy ::/%s gave %r" % (name, entries)
            return tree_of(os.path.join(out, entries[0])), None
        finally:
            shutil.rmtree(out)

    def file(self, image, name):
        out = tempfile.mkdtemp(dir=self.scratch)
        try:
            target = os.path.join(out, "file")
            run = mtools(["mcopy", "-n", "-i", image, "::/" + name, target], self.env)
            complaint = complaint_of(run)
            if run.returncode != 0 or complaint:
                return None, "mcopy ::/%s -> %d: %s" % (name, run.returncode, complaint)
            with open(target, "rb") as f:
                return f.read(), None
        finally:
            shutil.rmtree(out)


def fsck_path_findings(image):
    """What fsck.fat -n finds under any entry: a free cluster in a chain, a
    folder without its "." entry, an entry pointing at the root, a
    cross-link; each as (root name, lower case; text). Lost clusters and
    the like are the price of a pull and not listed."""
    run = subprocess.run(["fsck.fat", "-n", image], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    findings = []
    path = None
    for line in run.stdout.decode(errors="replace").splitlines():
        if line.startswith("/"):
            path = line.strip()
        elif line.startswith("  ") and path is not None:
            findings.append((path[1:].split("/")[0].lower(), "%s: %s" % (path, line.strip())))
        else:
            path = None
    return findings


def classify(reader, image, old, new, in_place):
    """(class, why, root names, fsck findings anywhere) of the card in
    IMAGE. A finding outside the live package stops the next write: Linux
    remounts such a card read-only when the write clears the leftover."""
    found = fsck_path_findings(image)
    cls, why, names = classify_names(reader, image, old, new, in_place, found)
    return cls, why, names, [text for _, text in found]


def classify_names(reader, image, old, new, in_place, found):
    names, why = reader.root(image)
    if names is None:
        return "bad", why, set()

    def live_fsck_findings(image, wanted):
        wanted = set(n.lower() for n in wanted)
        return [text for root, text in found if root in wanted]
    holds = None  # "old", "new", or None: what PreDLMap is
    content_why = "no %s" % PACKAGE
    if PACKAGE.lower() in names:
        tree, content_why = reader.folder(image, PACKAGE)
        if tree is not None:
            if tree == old.tree:
                holds = "old"
            elif tree == new.tree:
                holds = "new"
            else:
                content_why = "%s is neither package: against the new one %s; against the old one %s" % (
                    PACKAGE, describe_difference(tree, new.tree), describe_difference(tree, old.tree))
    manifest_why = None
    if MANIFEST.lower() in names:
        text, read_why = reader.file(image, MANIFEST)
        if text is None:
            manifest_why = read_why
        elif holds is None or text != (old.manifest if holds == "old" else new.manifest):
            which = "the old package's" if text == old.manifest else "the new package's" if text == new.manifest \
                else "neither package's"
            manifest_why = "%s is %s manifest while %s holds %s" % (
                MANIFEST, which, PACKAGE, ("the %s package" % holds) if holds else "no package")
    if manifest_why:
        return "wrong-manifest", manifest_why, names
    if in_place and MARKER.lower() in names:
        return "marked", None, names
    if holds:
        findings = live_fsck_findings(image, [PACKAGE, MANIFEST])
        if findings:
            return "bad", "%s reads as the %s package, but fsck.fat: %s" % (PACKAGE, holds, "; ".join(findings[:3])), \
                names
        return holds, None, names
    if PACKAGE.lower() not in names and ASIDE.lower() in names:
        tree, aside_why = reader.folder(image, ASIDE)
        if tree is not None and tree == old.tree:
            findings = live_fsck_findings(image, [ASIDE, MANIFEST])
            if findings:
                return "bad", "%s reads as the old package, but fsck.fat: %s" % (ASIDE, "; ".join(findings[:3])), \
                    names
            return "aside", None, names
        return "bad", "no %s; %s is not the old package: %s" % (
            PACKAGE, ASIDE, aside_why or describe_difference(tree, old.tree)), names
    return "bad", content_why, names


class Replay:
    """Walks the states of one logged run."""

    def __init__(self, base_image, log_path, mark, old, new, in_place, work, reorder=False):
        """mark: the log's size in bytes when the command under test started;
        the records before it (the mount's own) are part of the start."""
        self.records = read_log(log_path)
        with open(log_path, "rb") as f:
            pre = f.read(mark)
        self.pre_count = 0
        at = 0
        while at < len(pre):
            kind, _, length = HEADER.unpack_from(pre, at)
            at += HEADER.size + (length if kind == b"W" else 0)
            self.pre_count += 1
        if at != mark:
            raise ValueError("the mark %d is not at a record's start" % mark)
        self.old, self.new, self.in_place = old, new, in_place
        self.work = work
        self.reorder = reorder
        self.base = base_image
        self.image = os.path.join(work, "state.img")
        shutil.copyfile(base_image, self.image)
        self.reader = Reader(work)
        self.fd = os.open(self.image, os.O_RDWR)
        for kind, offset, data in self.records[:self.pre_count]:
            if kind == "W":
                self._put(offset, data)

    def _put(self, offset, data):
        before = os.pread(self.fd, len(data), offset)
        done = 0
        while done < len(data):
            done += os.pwrite(self.fd, data[done:], offset + done)
        return before

    def _classify(self):
        return classify(self.reader, self.image, self.old, self.new, self.in_place)

    def run(self, served_image=None):
        """Returns a dict: counts per class; states (moment, position, class,
        why, names) in log order; reordered (flush, what, class, why)."""
        counts = {c: 0 for c in CLASSES}
        states = []
        reordered = []
        records = self.records[self.pre_count:]
        flushes_seen = 0
        # The state before the command's first write is a moment too.
        moment = 0
        cls, why, names, fsck = self._classify()
        counts[cls] += 1
        states.append({"moment": 0, "record": 0, "flushes": 0, "class": cls, "why": why, "names": sorted(names),
                       "fsck": fsck})
        if self.reorder:
            reordered.extend(self._reordered(records, 0, 0))
        for index, (kind, offset, data) in enumerate(records):
            if kind == "F":
                flushes_seen += 1
                if self.reorder:
                    reordered.extend(self._reordered(records, index + 1, flushes_seen))
                continue
            self._put(offset, data)
            moment += 1
            cls, why, names, fsck = self._classify()
            counts[cls] += 1
            state = {"moment": moment, "record": index + 1, "flushes": flushes_seen, "class": cls, "why": why,
                     "names": sorted(names), "fsck": fsck}
            states.append(state)
        os.close(self.fd)
        # Every write applied, the state must be the image the server ended
        # with; else the log or its replay lost something.
        if served_image:
            with open(self.image, "rb") as a, open(served_image, "rb") as b:
                if a.read() != b.read():
                    raise RuntimeError("the replayed log does not end in the served image %s" % served_image)
        return {"counts": counts, "states": states, "reordered": reordered, "writes": moment,
                "flushes": flushes_seen}

    def image_at(self, moment, path):
        """Writes to PATH the card as it was after the command's first
        MOMENT writes."""
        shutil.copyfile(self.base, path)
        writes = [r for r in self.records[:self.pre_count] if r[0] == "W"]
        writes += [r for r in self.records[self.pre_count:] if r[0] == "W"][:moment]
        with open(path, "r+b") as f:
            for _, offset, data in writes:
                f.seek(offset)
                f.write(data)

    def _reordered(self, records, start, flush):
        """At a flush or the command's start: the next epoch's writes each
        alone (but the first, which the in-order walk has), and all but one
        (but the last)."""
        epoch = []
        for kind, offset, data in records[start:]:
            if kind == "F":
                break
            epoch.append((offset, data))
        if len(epoch) < 2:
            return []
        found = []
        choices = [("write %d of %d alone" % (i + 1, len(epoch)), [i]) for i in range(1, len(epoch))]
        choices += [("all %d but write %d" % (len(epoch), i + 1), [j for j in range(len(epoch)) if j != i])
                    for i in range(len(epoch) - 1)]
        for what, subset in choices:
            undo = []
            for i in subset:
                offset, data = epoch[i]
                undo.append((offset, self._put(offset, data)))
            cls, why, _, _ = self._classify()
            found.append({"flush": flush, "what": what, "class": cls, "why": why})
            for offset, before in reversed(undo):
                self._put(offset, before)
        return found
