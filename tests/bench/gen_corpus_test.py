#!/usr/bin/env python3
"""The benchmarks' corpus is the same for the same seed, and its summary tells the truth."""

import hashlib
import json
import os
import subprocess
import sys
import tempfile
import unittest

GENERATOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench",
                         "gen-corpus")


def generate(folder, *args):
    run = subprocess.run([sys.executable, GENERATOR, folder, *args], capture_output=True,
                         text=True, check=True)
    return json.loads(run.stdout)


def files(folder):
    found = []
    for root, _, names in os.walk(folder):
        found += [os.path.join(root, n) for n in names]
    return sorted(found)


def digest(folder):
    h = hashlib.sha256()
    for path in files(folder):
        if os.path.basename(path) == "totals.json":  # names the folder it was written to
            continue
        h.update(os.path.relpath(path, folder).encode())
        with open(path, "rb") as f:
            h.update(f.read())
    return h.hexdigest()


class Corpus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.one = os.path.join(cls.dir.name, "one")
        cls.summary = generate(cls.one, "--mb", "3", "--sessions", "12", "--projects", "3",
                               "--seed", "7", "--forks", "2")

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_same_seed_same_bytes_other_seed_other_bytes(self):
        two = os.path.join(self.dir.name, "two")
        self.assertEqual(generate(two, "--mb", "3", "--sessions", "12", "--projects", "3",
                                  "--seed", "7", "--forks", "2"),
                         dict(self.summary, out=os.path.abspath(two)))
        self.assertEqual(digest(self.one), digest(two))
        three = os.path.join(self.dir.name, "three")
        generate(three, "--mb", "3", "--sessions", "12", "--projects", "3", "--seed", "8")
        self.assertNotEqual(digest(self.one), digest(three))

    def test_summary_matches_what_was_written(self):
        logs = [p for p in files(self.one) if p.endswith(".jsonl")]
        self.assertEqual(self.summary["files"], len(logs))
        self.assertEqual(self.summary["bytes"], sum(os.path.getsize(p) for p in logs))
        self.assertGreaterEqual(self.summary["bytes"], 3e6)
        projects = os.listdir(os.path.join(self.one, ".claude", "projects"))
        self.assertEqual(len(projects), 3)
        mains = [p for p in logs if "/subagents/" not in p]
        self.assertEqual(len(mains), 12 + 2)  # two of them forks
        sizes = sorted(os.path.getsize(p) for p in mains)
        self.assertGreater(sizes[-1], 4 * sizes[len(sizes) // 2], "no long tail")

        # Each distinct message once, with the usage of its last record. A fork repeats its
        # original's records, so "last" is per file.
        final, models, records, partial = {}, {}, 0, 0
        for path in logs:
            mine = {}
            sub = "/subagents/" in path
            sid = os.path.basename(path)[:-6] if not sub else path.split("/subagents/")[0][-36:]
            with open(path, encoding="utf-8") as f:
                for line in f:
                    record = json.loads(line)
                    records += 1
                    if record.get("type") in ("user", "assistant"):
                        self.assertEqual(record["isSidechain"], sub)
                        self.assertEqual(bool(record.get("agentId")), sub)
                        self.assertEqual(record["sessionId"], sid)
                    if record.get("type") != "assistant":
                        continue
                    message = record["message"]
                    earlier = mine.get(message["id"])
                    if earlier:  # a later record of the same reply: never less output
                        self.assertGreaterEqual(message["usage"]["output_tokens"],
                                                earlier["usage"]["output_tokens"])
                        partial += earlier["usage"]["output_tokens"] < message["usage"]["output_tokens"]
                    mine[message["id"]] = message
            for mid, message in mine.items():
                if mid in final:  # a fork's copy: the same message, the same final usage
                    self.assertEqual(final[mid], message)
                final[mid] = message
        for message in final.values():
            if message["model"].startswith("<"):
                continue
            totals = models.setdefault(message["model"], {})
            totals["messages"] = totals.get("messages", 0) + 1
            usage = dict(message["usage"], **message["usage"]["cache_creation"])
            for key in ("input_tokens", "output_tokens", "cache_creation_input_tokens",
                        "cache_read_input_tokens", "ephemeral_5m_input_tokens",
                        "ephemeral_1h_input_tokens"):
                totals[key] = totals.get(key, 0) + usage[key]
        self.assertEqual(models, self.summary["models"])
        self.assertEqual(records, self.summary["records"])
        # Some replies grow their output count, so the first record is not the whole.
        self.assertGreater(partial, 0)
        subagents = [p for p in logs if "/subagents/" in p]
        self.assertEqual(len(subagents), self.summary["subagents"])
        self.assertGreater(len(subagents), 0)

    def test_forks_repeat_their_original_and_go_on(self):
        forks = self.summary["forks"]
        self.assertEqual(len(forks), 2)
        with open(os.path.join(self.one, "totals.json"), encoding="utf-8") as side:
            self.assertEqual(json.load(side), self.summary)
        for fork in forks:
            original = [p for p in files(self.one) if p.endswith("/" + fork["of"] + ".jsonl")]
            copy = [p for p in files(self.one) if p.endswith("/" + fork["sid"] + ".jsonl")]
            self.assertEqual(len(original), 1)
            self.assertEqual(len(copy), 1)
            self.assertEqual(os.path.dirname(original[0]), os.path.dirname(copy[0]))
            with open(original[0], encoding="utf-8") as f:
                before = [json.loads(line) for line in f]
            with open(copy[0], encoding="utf-8") as f:
                after = [json.loads(line) for line in f]
            self.assertGreater(len(after), len(before))
            for old, new in zip(before, after):
                self.assertEqual(old.get("uuid"), new.get("uuid"))
                self.assertEqual(old.get("message"), new.get("message"))
                self.assertEqual(new["sessionId"], fork["sid"])
            added = [r for r in after[len(before):] if r.get("type") == "assistant"]
            self.assertGreater(len(added), 0, "a fork goes on with messages of its own")

    def test_start_and_days_place_the_sessions(self):
        out = os.path.join(self.dir.name, "recent")
        generate(out, "--mb", "0.2", "--sessions", "2", "--projects", "1",
                 "--start", "1796000000", "--days", "1")
        for path in files(out):
            if not path.endswith(".jsonl"):
                continue
            with open(path, encoding="utf-8") as f:
                first = json.loads(f.readline())
            stamp = first["timestamp"]
            self.assertTrue(stamp[:10] in ("2026-11-30", "2026-12-01"), stamp)

    def test_refuses_a_used_folder(self):
        run = subprocess.run([sys.executable, GENERATOR, self.one, "--mb", "1"],
                             capture_output=True, text=True)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn("not empty", run.stderr)


if __name__ == "__main__":
    unittest.main()
