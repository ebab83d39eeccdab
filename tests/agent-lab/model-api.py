#!/usr/bin/env python3
"""A scripted model API on loopback for the real agent in tests.

usage: model-api.py PORT LOG

The agent reaches it through ANTHROPIC_BASE_URL. Each request body is appended to LOG as
one JSON line ({"t", "path", "body"}), so a test can read exactly what the agent sent.
The reply is picked from the newest user turn by the words in it (see `reply`); nothing
leaves the machine and no reply depends on chance, except the tool call ids.
"""

import json
import os
import re
import sys
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# The agent wraps its own notes to the model in these and puts them into the user's turn;
# they are not the user's words, and they quote things (file lists, earlier prompts) that
# must not fire a trigger.
REMINDER = re.compile(r"<system-reminder>.*?</system-reminder>", re.S)

# Words that start a scripted act. A user turn that carries a tool result and one of
# these (a prompt typed while a tool ran) is read as the prompt, not as the result.
TRIGGERS = ("ASKME", "MULTI", "TWOQ", "RUNCMD", "TWOCMD", "PLANME", "PLANBARE", "LONGASK",
            "SUBAGENT", "BGSHELL", "NESTAGENT", "ADDTASK", "LONGREPLY", "HEBREW", "SOAK",
            "WRITEME", "EDITME", "FETCHME", "LONGCMD")

HANDOFF = "Write your hand-off now to "
TASK_SUBJECT = "Wire the idle sweep"
CATALOGUE = "You help find a past conversation or a file"

HANDOFF_TEXT = (
    "# Hand-off\n\n"
    "Goal: finish the login page.\n\n"
    "State: the form is drawn and the session call is wired.\n"
    "Done and verified: form layout, field checks, unit tests for the validator.\n"
    "Open items:\n"
    "- wire the error banner (next step: map 401 to the banner text)\n"
    "- write the end-to-end test (next step: start the dev server in the test)\n"
    "Key paths: src/login/, tests/login/.\n"
    "No background agents are running.\n"
)

PLAN_TEXT = (
    "# Add a dark theme\n\n"
    "1. Collect the colours into custom properties.\n"
    "2. Add a dark palette behind a media query.\n"
    "3. Check the contrast of every text colour.\n"
)

# Long enough (about 170 characters) that a 120-column pane wraps it.
LONG_LABEL = (
    "Say welcome back to the whole team and remind everyone that the quarterly planning "
    "notes, the style checklist and the open review queue are all waiting in the left panel"
)

# The files and the address of the permission prompts for a file step and a fetch. EDITME
# edits a file the test put into the work folder (the agent edits only what it has read, so
# the model reads it first); WRITEME creates one.
EDIT_FILE = "velmo-edit.txt"
EDIT_OLD = "colour = blue"
EDIT_NEW = "colour = green\nborder = thin"
WRITE_FILE = "velmo-new.txt"
WRITE_TEXT = "first line of the new file\nsecond line\nthird line\n"
FETCH_URL = "http://127.0.0.1:9/velmo-probe"

# A shell command of about 600 characters, longer than several rows of a 120-column pane.
LONG_COMMAND = "printf '%s\\n' " + " ".join(f"velmo-word-{n:03d}" for n in range(1, 41)) + " > velmo-long.txt"

SUBAGENT_PROMPT = "Read the notes in this folder and answer in one short sentence what they are about."

# NESTAGENT starts a sub-agent whose own prompt opens with SUBNEST; that one starts another
# whose prompt opens with SUBJOB. A sub-agent's first request carries its prompt as the
# whole user turn, so a prompt that opens with the word is the sub-agent's own; elsewhere
# (a task notification quoting a result) the word is only mentioned.
NEST_PROMPT = "SUBNEST: start one helper that reads the notes and reports back."
NEST_DESCRIPTION = "Plan the survey"
JOB_PROMPT = "SUBJOB: read the notes and report back in one sentence."
JOB_DESCRIPTION = "Read the notes file"

# How long the innermost sub-agent's first answer is held back, so that it is seen running.
# A reply that is merely late costs nothing: the agent waits minutes for the model.
JOB_DELAY = 9.0

# A meaning-search question holding this word is answered only after a while, and with a
# row of its own, so a test can ask a newer question meanwhile and tell the answers apart,
# or see the asker's time limit run out.
SLOW_FIND = "SLOWFIND"
SLOW_FIND_DELAY = 5.0

# LONGREPLY gets a plain answer of many paragraphs, streamed word by word over
# LONG_REPLY_SECONDS, so the agent is seen working on it for minutes. A demo sets the
# pace through the environment; a test makes it short.
LONG_REPLY_SECONDS = 300.0
LONG_REPLY_STEPS = (
    "read the login handler and the session store it calls",
    "traced how a second click reaches the server while the first request still hangs",
    "listed the places that post the form: the button, the Enter key and the retry link",
    "checked which of them share the guard that disables the button",
    "wrote down what the network panel shows when the request times out",
    "compared the error banner's text with the messages the server sends",
    "looked for tests that click twice and found none that wait for the reply",
    "sketched a test that holds the request back and clicks again",
)


def long_reply():
    """About fifteen hundred words: a walk through the steps, paragraph by paragraph."""
    paragraphs = ["Here is the whole walk through the login form, step by step."]
    for round_ in range(1, 6):
        for number, step in enumerate(LONG_REPLY_STEPS, 1):
            paragraphs.append(f"{round_}.{number} In this pass I {step}; nothing there "
                              "contradicts what the earlier passes found, and the notes for "
                              "it are in the summary at the end.")
    paragraphs.append("Summary: the form needs one guard shared by every way it is posted.")
    return "\n\n".join(paragraphs)


# The agent adds a few rows for free text and chat under each question itself.
QUESTIONS = {
    "ASKME": [{
        "question": "Which colour should the login button be?", "header": "Colour",
        "multiSelect": False, "options": [
            {"label": "Blue", "description": "Matches the brand palette"},
            {"label": "Green", "description": "Reads as go"},
            {"label": "Orange", "description": "Stands out the most"}]}],
    "MULTI": [{
        "question": "Which checks should run before merge?", "header": "Checks",
        "multiSelect": True, "options": [
            {"label": "Unit tests", "description": "Fast"},
            {"label": "Lint", "description": "Style"},
            {"label": "Fuzzing", "description": "Slow but thorough"}]}],
    "TWOQ": [
        {"question": "Which database should we use?", "header": "Database",
         "multiSelect": False, "options": [
             {"label": "PostgreSQL", "description": "Relational"},
             {"label": "SQLite", "description": "Embedded"}]},
        {"question": "Which port should it listen on?", "header": "Port",
         "multiSelect": False, "options": [
             {"label": "5432", "description": "Default"},
             {"label": "6543", "description": "Alternate"}]}],
    "LONGASK": [{
        "question": "Which wording should the banner use?", "header": "Banner",
        "multiSelect": False, "options": [
            {"label": "Hello again", "description": "Short and plain"},
            {"label": LONG_LABEL, "description": "Says everything at once"},
            {"label": "Nothing", "description": "Leave the banner empty"}]}],
    "HEBREW": [{
        "question": "באיזה צבע לצבוע את כפתור הכניסה?", "header": "צבע",
        "multiSelect": False, "options": [
            {"label": "כחול", "description": "כמו צבעי המותג"},
            {"label": "ירוק", "description": "נקרא כמו קדימה"},
            {"label": "כתום", "description": "בולט יותר מכולם"}]}],
}

# "SOAK <kind> <nonce>" asks for the act of <kind> with the nonce written into everything the
# user sees and answers (question, labels, command, plan), so a run of many prompts can tell
# which prompt an answer reached.
SOAK = re.compile(r"\bSOAK (ASKME|MULTI|TWOQ|LONGASK|HEBREW|RUNCMD|TWOCMD|PLANME|PLANBARE) "
                  r"([a-z0-9]{4,16})\b")

# TWOCMD asks to run two shell commands in one reply. Both calls carry the same description,
# so the two permission prompts the agent shows in turn differ only in the command.
TWO_COMMANDS = ("touch velmo-one.txt", "touch velmo-two.txt")
TWO_DESCRIPTION = "Create a marker file"


def words(text):
    return REMINDER.sub("", text).strip()


def block_text(block):
    """The text a tool result carries, whether a string or a list of text blocks."""
    content = block.get("content")
    if isinstance(content, list):
        return " ".join(b.get("text", "") for b in content if isinstance(b, dict))
    return "" if content is None else str(content)


class Turn:
    """What the newest user turn asks for: a reply to a prompt or to a tool result."""

    def __init__(self, body):
        self.kind, self.text = "prompt", ""
        self.prompt = ""  # the words of the prompt that opened the exchange
        self.calls = []  # the tools called since that prompt, oldest first
        self.everything = ""  # every text of the request, the agent's reminders too
        self.tools = {t.get("name") for t in body.get("tools") or [] if isinstance(t, dict)}
        newest, opened = True, False
        for message in reversed(body.get("messages") or []):
            if not isinstance(message, dict):
                continue
            content = message.get("content")
            if isinstance(content, str):
                content = [{"type": "text", "text": content}]
            content = [b for b in content or [] if isinstance(b, dict)]
            self.everything += "\n".join(b.get("text", "") for b in content if b.get("type") == "text")
            if opened:
                continue
            if message.get("role") == "assistant":
                self.calls[:0] = [b.get("name") for b in content if b.get("type") == "tool_use"]
                continue
            if message.get("role") != "user":
                continue
            texts = [words(b.get("text", "")) for b in content if b.get("type") == "text"]
            prompt = "\n".join(t for t in texts if t)
            results = [block_text(b) for b in content if b.get("type") == "tool_result"]
            # A prompt typed while a tool ran rides along with the tool's result.
            answers_tool = results and not any(w in prompt for w in TRIGGERS)
            if newest:
                newest = False
                self.kind, self.text = ("result", " ".join(results)) if answers_tool else ("prompt", prompt)
            if prompt and not answers_tool:
                self.prompt, opened = prompt, True

    def after(self, word, tool):
        """Whether this is the result of `tool`, called for a prompt holding `word`."""
        return (self.kind == "result" and word in self.prompt and self.calls[-1:] == [tool])


def tool_call(name, arguments, lead="Let me check with you first."):
    return [{"type": "text", "text": lead},
            {"type": "tool_use", "id": "toolu_" + uuid.uuid4().hex[:20], "name": name,
             "input": arguments}]


def tool_calls(calls, lead="Let me check with you first."):
    """One reply that calls several tools: (name, arguments) each, in order."""
    return [{"type": "text", "text": lead}] + [
        {"type": "tool_use", "id": "toolu_" + uuid.uuid4().hex[:20], "name": name,
         "input": arguments} for name, arguments in calls]


def two_commands(commands):
    return tool_calls([("Bash", {"command": c, "description": TWO_DESCRIPTION}) for c in commands],
                      "Two steps, one after the other.")


def subagent_tool(tools):
    for name in ("Agent", "Task"):
        if name in tools:
            return name
    return None


def task_arguments(body):
    """A task for the agent's task tool: every text field its schema asks for, filled in."""
    args = {"subject": TASK_SUBJECT, "description": "Sweep the idle terminals once a day.",
            "activeForm": "Wiring the idle sweep"}
    for tool in body.get("tools") or []:
        if isinstance(tool, dict) and tool.get("name") == "TaskCreate":
            schema = tool.get("input_schema") or {}
            for name in schema.get("required") or []:
                args.setdefault(name, TASK_SUBJECT)
    return args


def plan_file(turn):
    """Where plan mode asks the plan to be written, as its reminder says."""
    found = re.search(r"create your plan at (/[^ ]+?\.md) using the Write tool", turn.everything)
    return found.group(1) if found else None


def work_folder(body):
    """The folder the agent works in, as its system prompt names it."""
    found = re.search(r"Primary working directory: (/[^\s\\\"]+)", json.dumps(body))
    return found.group(1) if found else os.getcwd()


def delay(body):
    """Seconds to wait before answering: only the innermost sub-agent's first request waits."""
    turn = Turn(body)
    if turn.kind == "prompt" and CATALOGUE in turn.text and SLOW_FIND in turn.text:
        return SLOW_FIND_DELAY
    return JOB_DELAY if turn.kind == "prompt" and turn.text.startswith("SUBJOB") and turn.tools else 0.0


def pace(body):
    """Seconds between the streamed pieces of the answer: only a long reply is paced, and
    only in the agent's own turn (its side requests, a title, carry no tools)."""
    turn = Turn(body)
    if turn.kind == "prompt" and "LONGREPLY" in turn.text and turn.tools:
        return LONG_REPLY_SECONDS / max(1, len(long_reply().split(" ")))
    return 0.0


def soak_questions(kind, nonce):
    """The questions of `kind` with the nonce after each question and label."""
    out = json.loads(json.dumps(QUESTIONS[kind]))
    for q in out:
        q["question"] += " " + nonce
        for o in q["options"]:
            o["label"] += " " + nonce
    return out


def soak_plan(nonce):
    return PLAN_TEXT.replace("# Add a dark theme", "# Add a dark theme " + nonce, 1)


def soak_command(nonce):
    return f"touch soak-{nonce}.txt && ls soak-{nonce}.txt"


def soak_two_commands(nonce):
    """Each command names its own file and prints it, so a result says which one ran."""
    return tuple(f"touch soak-{nonce}-{n}.txt && ls soak-{nonce}-{n}.txt" for n in ("one", "two"))


def soak_plan_file(turn):
    """The plan file plan mode names, whether it is still to be made or is there already: a
    soak plan always goes into the file, as the approval shows the file, not the call."""
    found = re.search(r"(?:create your plan at|A plan file already exists at) (/[^ ]+?\.md)",
                      turn.everything)
    return found.group(1) if found else None


def soak_reply(turn, tools):
    """The answer to a soak prompt and to its tool results, or None when not one."""
    found = SOAK.search(turn.prompt)
    if not found:
        return None
    kind, nonce = found.groups()
    if kind == "PLANME" and turn.after("SOAK", "Write"):
        return tool_call("ExitPlanMode", {"plan": soak_plan(nonce)}, "Here is the plan.")
    if turn.kind == "result":
        return [{"type": "text", "text": "Noted. The tool said: " + turn.text[:300]}]
    if kind in QUESTIONS and "AskUserQuestion" in tools:
        return tool_call("AskUserQuestion", {"questions": soak_questions(kind, nonce)})
    if kind == "RUNCMD" and "Bash" in tools:
        return tool_call("Bash", {"command": soak_command(nonce),
                                  "description": "Create the probe file " + nonce})
    if kind == "TWOCMD" and "Bash" in tools:
        return two_commands(soak_two_commands(nonce))
    if kind == "PLANME" and soak_plan_file(turn) and "Write" in tools:
        return tool_call("Write", {"file_path": soak_plan_file(turn), "content": soak_plan(nonce)},
                         "Writing the plan.")
    if kind in ("PLANME", "PLANBARE") and tools:
        return tool_call("ExitPlanMode", {"plan": soak_plan(nonce)}, "Here is the plan.")
    return [{"type": "text", "text": "Sure. " + turn.text[:200]}]


def reply(body):
    """The content blocks of the scripted answer to one request."""
    turn = Turn(body)
    text, tools = turn.text, turn.tools
    soaked = soak_reply(turn, tools)
    if soaked is not None:
        return soaked
    # Plan mode wants the plan in its file before the approval is asked for.
    if turn.after("PLANME", "Write"):
        return tool_call("ExitPlanMode", {"plan": PLAN_TEXT}, "Here is the plan.")
    if turn.after("EDITME", "Read"):
        return tool_call("Edit", {"file_path": os.path.join(work_folder(body), EDIT_FILE),
                                  "old_string": EDIT_OLD, "new_string": EDIT_NEW},
                         "Changing the colour.")
    if turn.kind == "result":
        return [{"type": "text", "text": "Noted. The tool said: " + text[:300]}]
    if HANDOFF in text and "Write" in tools:
        path = text.split(HANDOFF, 1)[1].split(" — ", 1)[0].strip()
        return tool_call("Write", {"file_path": path, "content": HANDOFF_TEXT},
                         "Writing the hand-off.")
    if CATALOGUE in text and SLOW_FIND in text:
        return [{"type": "text", "text": "c1 | held back"}]
    if CATALOGUE in text:
        return [{"type": "text",
                 "text": "c2 | the conversation about the login page\nc1 | mentions the build\nNONE"}]
    if "AskUserQuestion" in tools:
        for word in ("LONGASK", "ASKME", "MULTI", "TWOQ", "HEBREW"):
            if word in text:
                return tool_call("AskUserQuestion", {"questions": QUESTIONS[word]})
    if "PLANME" in text and plan_file(turn) and "Write" in tools:
        return tool_call("Write", {"file_path": plan_file(turn), "content": PLAN_TEXT},
                         "Writing the plan.")
    # ExitPlanMode is offered as a deferred tool, by name only; the agent takes a direct call.
    # Without a plan file the agent draws a shorter approval, with no plan in it.
    if "PLANME" in text or "PLANBARE" in text:
        return tool_call("ExitPlanMode", {"plan": PLAN_TEXT}, "Here is the plan.")
    # The task tools are offered deferred, by name only; the agent takes a direct call.
    if "ADDTASK" in text and ("TaskCreate" in tools or "TaskCreate" in json.dumps(body)):
        return tool_call("TaskCreate", task_arguments(body), "Adding it to the task list.")
    if "BGSHELL" in text and "Bash" in tools:
        return tool_call("Bash", {"command": "sleep 300", "description": "Wait in the background",
                                  "run_in_background": True}, "Starting it in the background.")
    if "RUNCMD" in text and "Bash" in tools:
        return tool_call("Bash", {"command": "touch velmo-probe.txt && ls -la",
                                  "description": "Create a probe file"})
    if "LONGCMD" in text and "Bash" in tools:
        return tool_call("Bash", {"command": LONG_COMMAND,
                                  "description": "Write forty words into a file"})
    if "EDITME" in text and "Read" in tools:
        return tool_call("Read", {"file_path": os.path.join(work_folder(body), EDIT_FILE)},
                         "Reading the file first.")
    if "WRITEME" in text and "Write" in tools:
        return tool_call("Write", {"file_path": os.path.join(work_folder(body), WRITE_FILE),
                                   "content": WRITE_TEXT}, "Creating the file.")
    # WebFetch is offered deferred, by name only; the agent takes a direct call.
    if "FETCHME" in text and ("WebFetch" in tools or "WebFetch" in json.dumps(body)):
        return tool_call("WebFetch", {"url": FETCH_URL, "prompt": "Say what the page holds."},
                         "Fetching the page.")
    if "TWOCMD" in text and "Bash" in tools:
        return two_commands(TWO_COMMANDS)
    if "NESTAGENT" in text and subagent_tool(tools):
        return tool_call(subagent_tool(tools), {
            "description": NEST_DESCRIPTION, "prompt": NEST_PROMPT,
            "subagent_type": "general-purpose"}, "Asking a helper to plan it.")
    if turn.kind == "prompt" and text.startswith("SUBNEST") and subagent_tool(tools):
        return tool_call(subagent_tool(tools), {
            "description": JOB_DESCRIPTION, "prompt": JOB_PROMPT,
            "subagent_type": "Explore"}, "Handing part of it on.")
    if "LONGREPLY" in text and tools:
        return [{"type": "text", "text": long_reply()}]
    if "SUBAGENT" in text and subagent_tool(tools):
        return tool_call(subagent_tool(tools), {
            "description": "Summarise the notes", "prompt": SUBAGENT_PROMPT,
            "subagent_type": "general-purpose"}, "Asking a helper.")
    return [{"type": "text", "text": "Sure. " + (text[:200] or "Hello.")}]


USAGE = {"input_tokens": 1500, "output_tokens": 60, "cache_read_input_tokens": 9000,
         "cache_creation_input_tokens": 400}


def message(body, content):
    stop = "tool_use" if any(b["type"] == "tool_use" for b in content) else "end_turn"
    return {"id": "msg_" + uuid.uuid4().hex[:24], "type": "message", "role": "assistant",
            "model": body.get("model") or "claude-sonnet-4-6", "content": content,
            "stop_reason": stop, "stop_sequence": None, "usage": dict(USAGE)}


def pieces(text, paced):
    """A text as the deltas that carry it: whole, or word by word when paced."""
    if not paced:
        return [text]
    words = text.split(" ")
    return [w + " " for w in words[:-1]] + words[-1:]


def events(msg, interval=0.0):
    """The server-sent events of a streamed answer: the message opens empty, then each
    block is started, filled and stopped; the final usage comes last. A text block comes in
    one delta, or with an interval, word by word with that many seconds between words."""
    opening = dict(msg, content=[], stop_reason=None, usage=dict(USAGE, output_tokens=1))
    yield "message_start", {"type": "message_start", "message": opening}
    for index, block in enumerate(msg["content"]):
        if block["type"] == "text":
            start = {"type": "text", "text": ""}
            deltas = [{"type": "text_delta", "text": piece}
                      for piece in pieces(block["text"], interval > 0)]
        else:
            start = {"type": "tool_use", "id": block["id"], "name": block["name"], "input": {}}
            deltas = [{"type": "input_json_delta", "partial_json": json.dumps(block["input"])}]
        yield "content_block_start", {"type": "content_block_start", "index": index,
                                      "content_block": start}
        for number, delta in enumerate(deltas):
            if number:
                time.sleep(interval)
            yield "content_block_delta", {"type": "content_block_delta", "index": index,
                                          "delta": delta}
        yield "content_block_stop", {"type": "content_block_stop", "index": index}
    yield "message_delta", {"type": "message_delta",
                            "delta": {"stop_reason": msg["stop_reason"], "stop_sequence": None},
                            "usage": {"output_tokens": USAGE["output_tokens"]}}
    yield "message_stop", {"type": "message_stop"}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    log_path = "model-api.log"
    log_lock = threading.Lock()

    def log_message(self, *args):
        pass

    def send_json(self, obj, code=200):
        data = json.dumps(obj).encode()
        self.send_response(code)
        self.send_header("content-type", "application/json")
        self.send_header("content-length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_HEAD(self):
        self.send_response(200)
        self.send_header("content-length", "0")
        self.end_headers()

    def do_GET(self):
        self.send_json({"data": [], "has_more": False})

    def do_POST(self):
        size = int(self.headers.get("content-length") or 0)
        raw = self.rfile.read(size) if size > 0 else b""
        try:
            body = json.loads(raw) if raw else {}
        except ValueError:
            body = {}
        if not isinstance(body, dict):
            body = {}
        with self.log_lock, open(self.log_path, "a", encoding="utf-8") as log:
            log.write(json.dumps({"t": time.time(), "path": self.path, "body": body}) + "\n")
        if "count_tokens" in self.path:
            return self.send_json({"input_tokens": 1200})
        if not self.path.startswith("/v1/messages"):
            return self.send_json({})
        # Each request has its own thread, so a held-back answer stalls no other request.
        time.sleep(delay(body))
        msg = message(body, reply(body))
        if not body.get("stream"):
            return self.send_json(msg)
        self.send_response(200)
        self.send_header("content-type", "text/event-stream")
        self.send_header("cache-control", "no-cache")
        self.send_header("connection", "close")
        self.end_headers()
        # A paced answer whose reader went away (the agent interrupted, or ended) stops.
        try:
            for name, data in events(msg, pace(body)):
                self.wfile.write(f"event: {name}\ndata: {json.dumps(data)}\n\n".encode())
                self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            pass
        self.close_connection = True


def main(argv):
    if len(argv) != 3 or not argv[1].isdigit():
        sys.stderr.write("usage: model-api.py PORT LOG\n")
        return 2
    Handler.log_path = argv[2]
    global LONG_REPLY_SECONDS
    try:
        LONG_REPLY_SECONDS = float(os.environ.get("LONGREPLY_SECONDS", LONG_REPLY_SECONDS))
    except ValueError:
        sys.stderr.write("model-api.py: LONGREPLY_SECONDS is not a number; using 300\n")
    server = ThreadingHTTPServer(("127.0.0.1", int(argv[1])), Handler)
    server.daemon_threads = True
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
