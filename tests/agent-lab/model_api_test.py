#!/usr/bin/env python3
"""The scripted model API picks the act the tests asked for, and only that one."""

import importlib.util
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
found = importlib.util.spec_from_file_location("model_api", os.path.join(HERE, "model-api.py"))
api = importlib.util.module_from_spec(found)
found.loader.exec_module(api)

AGENT_TOOLS = [{"name": n} for n in ("Agent", "AskUserQuestion", "Bash", "Read", "Write")]


def user(*blocks):
    return {"role": "user", "content": list(blocks)}


def text(words):
    return {"type": "text", "text": words}


def reminder(words):
    return text("<system-reminder>\n" + words + "\n</system-reminder>")


def result(words, tool_id="toolu_1"):
    return {"type": "tool_result", "tool_use_id": tool_id, "content": [text(words)]}


def called(name, arguments=None):
    return {"role": "assistant", "content": [
        text("…"), {"type": "tool_use", "id": "toolu_1", "name": name, "input": arguments or {}}]}


def answer(*messages, tools=AGENT_TOOLS):
    return api.reply({"messages": list(messages), "tools": tools})


def tool_of(content):
    uses = [b for b in content if b["type"] == "tool_use"]
    return (uses[0]["name"], uses[0]["input"]) if uses else (None, None)


class Prompts(unittest.TestCase):
    def test_reminders_are_not_the_users_words(self):
        quiet = answer(user(reminder("Earlier the user said ASKME and RUNCMD."), text("hello")))
        self.assertEqual(tool_of(quiet), (None, None))
        self.assertEqual(quiet[0]["text"], "Sure. hello")
        name, _ = tool_of(answer(user(reminder("files: a.txt"), text("Please ASKME"))))
        self.assertEqual(name, "AskUserQuestion")

    def test_a_trigger_needs_its_tool(self):
        # The agent's side requests (a title for the session) carry the prompt but no tools.
        for word in ("ASKME", "RUNCMD", "SUBAGENT", "BGSHELL"):
            content = answer(user(text("<session>\n" + word + "\n</session>")), tools=[])
            self.assertEqual(tool_of(content), (None, None), word)

    def test_questions(self):
        cases = {"ASKME": (1, False, ["Blue", "Green", "Orange"]),
                 "MULTI": (1, True, ["Unit tests", "Lint", "Fuzzing"]),
                 "TWOQ": (2, False, ["PostgreSQL", "SQLite"]),
                 "LONGASK": (1, False, ["Hello again", api.LONG_LABEL, "Nothing"])}
        for word, (count, multi, labels) in cases.items():
            content = answer(user(text("Please " + word)))
            self.assertEqual(content[0]["text"], "Let me check with you first.")
            name, arguments = tool_of(content)
            self.assertEqual(name, "AskUserQuestion")
            questions = arguments["questions"]
            self.assertEqual(len(questions), count, word)
            self.assertEqual(questions[0]["multiSelect"], multi, word)
            self.assertEqual([o["label"] for o in questions[0]["options"]], labels, word)
        # Wider than the 120-column pane, so the agent has to wrap it.
        self.assertGreater(len(api.LONG_LABEL), 150)
        two = answer(user(text("TWOQ now")))[1]["input"]["questions"][1]
        self.assertEqual([o["label"] for o in two["options"]], ["5432", "6543"])

    def test_shell_calls(self):
        name, arguments = tool_of(answer(user(text("Please RUNCMD now"))))
        self.assertEqual(name, "Bash")
        self.assertNotIn("run_in_background", arguments)
        # Two commands in one reply, told apart only by the command.
        two = [b["input"] for b in answer(user(text("Please TWOCMD now"))) if b["type"] == "tool_use"]
        self.assertEqual([a["command"] for a in two], ["touch velmo-one.txt", "touch velmo-two.txt"])
        self.assertEqual(two[0]["description"], two[1]["description"])
        name, arguments = tool_of(answer(user(text("Please BGSHELL"))))
        self.assertEqual((name, arguments["command"], arguments["run_in_background"]),
                         ("Bash", "sleep 300", True))

    def test_a_task_fills_every_field_its_tool_requires(self):
        tools = AGENT_TOOLS + [{"name": "TaskCreate", "input_schema": {
            "type": "object", "required": ["subject", "description", "owner"]}}]
        name, arguments = tool_of(answer(user(text("Please ADDTASK")), tools=tools))
        self.assertEqual(name, "TaskCreate")
        self.assertEqual(arguments["subject"], api.TASK_SUBJECT)
        self.assertEqual(arguments["owner"], api.TASK_SUBJECT)
        # Offered deferred: named in a reminder only.
        name, _ = tool_of(answer(user(reminder("Deferred tools: TaskCreate\nTaskGet"), text("ADDTASK"))))
        self.assertEqual(name, "TaskCreate")
        # Without the task tools offered, a plain answer.
        self.assertEqual(tool_of(answer(user(text("Please ADDTASK")))), (None, None))

    def test_handoff_is_written_where_asked(self):
        content = answer(user(text(
            "Write your hand-off now to /h/Documents/claude/handoffs/a b.md — keep it short")))
        name, arguments = tool_of(content)
        self.assertEqual((name, arguments["file_path"]), ("Write", "/h/Documents/claude/handoffs/a b.md"))
        self.assertTrue(350 <= len(arguments["content"]) <= 450)

    def test_catalogue_answers_also_without_tools(self):
        content = answer(user(text("You help find a past conversation or a file. c1: …")), tools=[])
        self.assertEqual(content[0]["text"].splitlines()[0].split(" | ")[0], "c2")
        self.assertEqual(content[0]["text"].splitlines()[-1], "NONE")

    def test_a_slow_find_is_held_back_and_only_a_find(self):
        slow = {"messages": [user(text(api.CATALOGUE + ". The user is looking for: SLOWFIND cart"))]}
        self.assertEqual(api.delay(slow), api.SLOW_FIND_DELAY)
        self.assertEqual(api.reply(slow)[0]["text"], "c1 | held back")
        self.assertEqual(api.delay({"messages": [user(text("SLOWFIND alone"))]}), 0)
        quick = {"messages": [user(text(api.CATALOGUE + ". The user is looking for: cart"))]}
        self.assertEqual(api.delay(quick), 0)


    def test_a_long_reply_is_paced_only_in_the_agents_own_turn(self):
        asked = {"messages": [user(text("Please LONGREPLY"))], "tools": AGENT_TOOLS}
        content = api.reply(asked)
        self.assertEqual(tool_of(content), (None, None))
        self.assertEqual(content[0]["text"], api.long_reply())
        words = len(api.long_reply().split(" "))
        self.assertGreater(words, 1000)
        self.assertAlmostEqual(api.pace(asked) * words, api.LONG_REPLY_SECONDS)
        # The title request quoting the prompt, and every other prompt, come at once.
        side = {"messages": [user(text("<session>LONGREPLY</session>"))], "tools": []}
        self.assertEqual(api.pace(side), 0)
        self.assertTrue(api.reply(side)[0]["text"].startswith("Sure. "))
        self.assertEqual(api.pace({"messages": [user(text("hi"))], "tools": AGENT_TOOLS}), 0)
        self.assertEqual(api.pace({"messages": [user(text("ASKME"))], "tools": AGENT_TOOLS}), 0)


class Soak(unittest.TestCase):
    def test_the_nonce_is_in_everything_answered(self):
        for kind in ("ASKME", "MULTI", "TWOQ", "LONGASK", "HEBREW"):
            name, arguments = tool_of(answer(user(text(f"SOAK {kind} k7q2x"))))
            self.assertEqual(name, "AskUserQuestion", kind)
            plain = api.QUESTIONS[kind]
            for got, was in zip(arguments["questions"], plain):
                self.assertEqual(got["question"], was["question"] + " k7q2x")
                self.assertEqual([o["label"] for o in got["options"]],
                                 [o["label"] + " k7q2x" for o in was["options"]])
        # The plain questions are left as the other tests know them.
        self.assertEqual(api.QUESTIONS["ASKME"][0]["options"][1]["label"], "Green")
        hebrew = api.QUESTIONS["HEBREW"][0]
        self.assertTrue(all("\u05d0" <= c <= "\u05ea" for c in hebrew["options"][0]["label"]))
        name, arguments = tool_of(answer(user(text("SOAK RUNCMD k7q2x"))))
        self.assertEqual((name, arguments["command"]),
                         ("Bash", "touch soak-k7q2x.txt && ls soak-k7q2x.txt"))

    def test_two_soak_commands_carry_the_nonce_and_their_results_are_quoted(self):
        prompt = user(text("SOAK TWOCMD k7q2x"))
        content = answer(prompt)
        uses = [b for b in content if b["type"] == "tool_use"]
        self.assertEqual([(b["name"], b["input"]["command"]) for b in uses],
                         [("Bash", "touch soak-k7q2x-one.txt && ls soak-k7q2x-one.txt"),
                          ("Bash", "touch soak-k7q2x-two.txt && ls soak-k7q2x-two.txt")])
        self.assertNotEqual(uses[0]["id"], uses[1]["id"])
        # The agent sends both results in one user turn; the reply quotes both.
        both = {"role": "user", "content": [
            result("soak-k7q2x-one.txt", uses[0]["id"]),
            {"type": "tool_result", "tool_use_id": uses[1]["id"], "content": "soak-k7q2x-two.txt"}]}
        done = answer(prompt, {"role": "assistant", "content": content}, both)
        self.assertEqual(tool_of(done), (None, None))
        self.assertIn("soak-k7q2x-one.txt soak-k7q2x-two.txt", done[0]["text"])

    def test_a_soak_plan_carries_its_nonce_through_file_and_approval(self):
        prompt = user(reminder("You should create your plan at /h/.claude/plans/s.md using the "
                               "Write tool."), text("SOAK PLANME ab12"))
        name, arguments = tool_of(answer(prompt))
        self.assertEqual((name, arguments["file_path"]), ("Write", "/h/.claude/plans/s.md"))
        self.assertTrue(arguments["content"].startswith("# Add a dark theme ab12\n"))
        name, arguments = tool_of(answer(prompt, called("Write"), user(result("File created"))))
        self.assertEqual(name, "ExitPlanMode")
        self.assertIn("ab12", arguments["plan"])
        done = answer(prompt, called("Write"), user(result("File created")),
                      called("ExitPlanMode"), user(result("User approved the plan")))
        self.assertEqual(tool_of(done), (None, None))
        self.assertIn("User approved the plan", done[0]["text"])
        # A later plan of the same session goes into the file that is there already.
        again = user(reminder("A plan file already exists at /h/.claude/plans/s.md. You can read "
                              "it and make incremental edits using the Edit tool."),
                     text("SOAK PLANME cd34"))
        name, arguments = tool_of(answer(again))
        self.assertEqual((name, arguments["file_path"]), ("Write", "/h/.claude/plans/s.md"))
        self.assertIn("cd34", arguments["content"])
        name, arguments = tool_of(answer(user(text("SOAK PLANBARE ab12"))))
        self.assertEqual(name, "ExitPlanMode")
        self.assertIn("ab12", arguments["plan"])

    def test_a_soak_prompt_needs_a_known_kind_its_nonce_and_tools(self):
        self.assertEqual(tool_of(answer(user(text("SOAK NOSUCH abcd")))), (None, None))
        # Without its nonce it is the plain act.
        plain = tool_of(answer(user(text("SOAK ASKME"))))[1]["questions"][0]["question"]
        self.assertEqual(plain, "Which colour should the login button be?")
        self.assertEqual(tool_of(answer(user(text("SOAK ASKME abcd")), tools=[])), (None, None))
        # The next prompt of the same conversation is read afresh.
        content = answer(user(text("SOAK ASKME abcd")), called("AskUserQuestion"),
                         user(result("answered")), {"role": "assistant", "content": [text("ok")]},
                         user(text("SOAK MULTI efgh")))
        self.assertTrue(tool_of(content)[1]["questions"][0]["question"].endswith("efgh"))


class Exchanges(unittest.TestCase):
    def test_a_tool_result_is_quoted(self):
        content = answer(user(text("Please ASKME")), called("AskUserQuestion"),
                         user(result('"Which colour should the login button be?"="Green"')))
        self.assertEqual(tool_of(content), (None, None))
        self.assertIn('"Which colour should the login button be?"="Green"', content[0]["text"])

    def test_a_prompt_riding_with_a_result_is_a_prompt(self):
        content = answer(user(text("Please RUNCMD")), called("Bash"),
                         user(result("done"), reminder("queued"), text("now MULTI please")))
        self.assertEqual(tool_of(content)[1]["questions"][0]["multiSelect"], True)

    def test_plan_goes_into_its_file_then_to_approval(self):
        prompt = user(reminder("Plan mode is active.\nNo plan file exists yet. You should create your "
                               "plan at /h/.claude/plans/slug.md using the Write tool."),
                      text("Please PLANME"))
        name, arguments = tool_of(answer(prompt))
        self.assertEqual((name, arguments["file_path"]), ("Write", "/h/.claude/plans/slug.md"))
        rows = arguments["content"].splitlines()
        self.assertTrue(rows[0].startswith("# "))
        self.assertEqual([r[:3] for r in rows if r[:1].isdigit()], ["1. ", "2. ", "3. "])
        name, arguments = tool_of(answer(prompt, called("Write"), user(result("File created"))))
        self.assertEqual(name, "ExitPlanMode")
        self.assertEqual(arguments["plan"], api.PLAN_TEXT)
        after = answer(prompt, called("Write"), user(result("File created")),
                       called("ExitPlanMode"), user(result("User approved the plan")))
        self.assertEqual(tool_of(after), (None, None))
        # The approval only follows the plan's own prompt, not any earlier Write.
        other = answer(user(text("Write your hand-off now to /x.md — go")), called("Write"),
                       user(result("File created")))
        self.assertEqual(tool_of(other), (None, None))
        self.assertEqual(tool_of(answer(user(text("PLANBARE"))))[0], "ExitPlanMode")

    def test_subagent_runs_once(self):
        for tool in ("Agent", "Task"):
            name, arguments = tool_of(answer(user(text("Please SUBAGENT")),
                                             tools=[{"name": tool}, {"name": "Bash"}]))
            self.assertEqual(name, tool)
        # The sub-agent's own request starts from the prompt it was given: plain text back.
        own = answer(user(text(arguments["prompt"])))
        self.assertEqual(tool_of(own), (None, None))
        self.assertFalse(any(w in arguments["prompt"] + arguments["description"]
                             for w in api.TRIGGERS))

    def test_a_sub_agent_starts_a_nested_one_that_answers_late(self):
        name, outer = tool_of(answer(user(text("Please NESTAGENT"))))
        self.assertEqual((name, outer["subagent_type"]), ("Agent", "general-purpose"))
        # The outer sub-agent's own first request: its prompt, maybe after a reminder.
        request = {"messages": [user(reminder("context"), text(outer["prompt"]))],
                   "tools": AGENT_TOOLS}
        name, inner = tool_of(api.reply(request))
        self.assertEqual(name, "Agent")
        self.assertNotEqual(inner["description"], outer["description"])
        self.assertEqual(api.delay(request), 0)
        # Without the sub-agent tool (the agent withholds it from some kinds) it just answers.
        self.assertEqual(tool_of(answer(user(text(outer["prompt"])), tools=[{"name": "Read"}])),
                         (None, None))
        # The inner one's first request is held back and then answered in words.
        job = {"messages": [user(text(inner["prompt"]))], "tools": [{"name": "Read"}]}
        self.assertEqual(api.delay(job), api.JOB_DELAY)
        self.assertEqual(tool_of(api.reply(job)), (None, None))
        # Its later requests, side requests without tools, and a notification quoting the
        # prompt are not held back, and a quoted prompt starts nothing.
        later = {"messages": [user(text(inner["prompt"])), called("Read"), user(result("notes"))],
                 "tools": [{"name": "Read"}]}
        side = {"messages": [user(text(inner["prompt"]))], "tools": []}
        quoted = {"messages": [user(text("<task-notification>" + inner["prompt"] + " "
                                         + outer["prompt"] + "</task-notification>"))],
                  "tools": AGENT_TOOLS}
        for body in (later, side, quoted):
            self.assertEqual(api.delay(body), 0)
        self.assertEqual(tool_of(api.reply(quoted)), (None, None))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Wire(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.dir.name, "api.log")
        self.port = free_port()
        self.server = subprocess.Popen([sys.executable, os.path.join(HERE, "model-api.py"),
                                        str(self.port), self.log],
                                       env=dict(os.environ, LONGREPLY_SECONDS="0.3"))
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                break
            except OSError:
                time.sleep(0.05)

    def tearDown(self):
        self.server.terminate()
        self.server.wait()
        self.dir.cleanup()

    def post(self, body):
        request = urllib.request.Request(
            f"http://127.0.0.1:{self.port}/v1/messages?beta=true", json.dumps(body).encode(),
            {"content-type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.headers.get("content-type"), response.read().decode()

    def test_a_streamed_reply_carries_the_same_blocks_and_every_body_is_logged(self):
        body = {"model": "m", "stream": True, "tools": AGENT_TOOLS,
                "messages": [user(text("Please ASKME"))]}
        kind, raw = self.post(body)
        self.assertEqual(kind, "text/event-stream")
        events = [json.loads(line[6:]) for line in raw.splitlines() if line.startswith("data: ")]
        self.assertEqual(events[0]["type"], "message_start")
        self.assertEqual(events[-1]["type"], "message_stop")
        tool = [e for e in events if e["type"] == "content_block_delta"
                and e["delta"]["type"] == "input_json_delta"]
        self.assertEqual(json.loads(tool[0]["delta"]["partial_json"])["questions"][0]["question"],
                         "Which colour should the login button be?")
        stop = [e for e in events if e["type"] == "message_delta"][0]
        self.assertEqual(stop["delta"]["stop_reason"], "tool_use")

        kind, raw = self.post(dict(body, stream=False, messages=[user(text("hi"))]))
        self.assertEqual(json.loads(raw)["content"], [text("Sure. hi")])
        with open(self.log) as f:
            logged = [json.loads(line) for line in f]
        self.assertEqual([entry["body"]["messages"][0]["content"][0]["text"] for entry in logged],
                         ["Please ASKME", "hi"])
        self.assertTrue(logged[0]["path"].startswith("/v1/messages"))

    def test_a_long_reply_streams_word_by_word(self):
        body = {"model": "m", "stream": True, "tools": AGENT_TOOLS,
                "messages": [user(text("Please LONGREPLY"))]}
        _, raw = self.post(body)
        events = [json.loads(line[6:]) for line in raw.splitlines() if line.startswith("data: ")]
        deltas = [e["delta"]["text"] for e in events if e["type"] == "content_block_delta"]
        self.assertEqual(len(deltas), len(api.long_reply().split(" ")))
        self.assertEqual("".join(deltas), api.long_reply())
        self.assertEqual(events[-1]["type"], "message_stop")


if __name__ == "__main__":
    unittest.main()
