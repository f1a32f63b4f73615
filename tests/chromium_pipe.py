"""A headless Chromium driven over the DevTools protocol on a pipe, with the standard library only.

Chromium started with --remote-debugging-pipe reads commands on its file
descriptor 3 and writes replies and events on 4, each a JSON text ended by a
NUL byte. The browser is kept off the network (every host name resolves to
nothing), so a page that needed anything remote would show it.
"""

from __future__ import annotations

import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

EXECUTABLES = ("chromium", "chromium-browser")


def find_chromium():
    for name in EXECUTABLES:
        path = shutil.which(name)
        if path:
            return path
    return None


def _above_4(fd):
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return moved


class BrowserError(Exception):
    pass


class Chromium:
    def __init__(self, executable, width=1280, height=1600, timeout=60.0):
        self.timeout = timeout
        self.width, self.height = width, height
        self.profile = tempfile.mkdtemp(prefix="ostik-chromium-")
        to_browser_read, self._to_browser = os.pipe()
        self._from_browser, from_browser_write = os.pipe()
        # The browser's ends are moved above 4, so that putting one at 3 or 4 cannot overwrite the other.
        to_browser_read, from_browser_write = (_above_4(fd) for fd in (to_browser_read, from_browser_write))
        flags = [
            "--headless", "--remote-debugging-pipe", "--disable-gpu", "--disable-dev-shm-usage",
            f"--user-data-dir={self.profile}", f"--window-size={width},{height}", "--hide-scrollbars",
            "--no-first-run", "--no-default-browser-check", "--disable-extensions", "--disable-sync",
            "--disable-background-networking", "--disable-component-update", "--disable-default-apps",
            "--disable-breakpad", "--mute-audio", "--host-resolver-rules=MAP * ~NOTFOUND",
        ]
        if os.geteuid() == 0:
            flags.append("--no-sandbox")  # the sandbox refuses to run as root
        # bash (dash takes no fd above 9) puts the two pipe ends where the browser looks for them.
        command = ["bash", "-c", f'exec "$0" "$@" 3<&{to_browser_read} 4>&{from_browser_write}', executable,
                   *flags, "about:blank"]
        # The browser is a tool of the test, not under test: no sanitizer run's preloads reach it.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        self.process = subprocess.Popen(command, pass_fds=(to_browser_read, from_browser_write), env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self._buffer = b""
        self._next_id = 0
        self.events = []
        self.session = None

    # --- the protocol ------------------------------------------------------------------------------

    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise BrowserError("no answer from the browser in time")
            ready, _, _ = select.select([self._from_browser], [], [], remaining)
            if ready:
                chunk = os.read(self._from_browser, 1 << 20)
                if not chunk:
                    raise BrowserError(f"the browser went away (status {self.process.poll()})")
                self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, params=None, session=True, timeout=None):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise BrowserError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_for(self, method, timeout=None):
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            for number, event in enumerate(self.events):
                if event.get("method") == method:
                    return self.events.pop(number)
            self.events.append(self._read_message(deadline))

    # --- what the tests use --------------------------------------------------------------------------

    def open_page(self):
        target = self.send("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
        self.session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        for domain in ("Page", "Runtime", "Network", "Log"):
            self.send(f"{domain}.enable")
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": self.width, "height": self.height, "deviceScaleFactor": 1, "mobile": False})

    def navigate(self, url):
        self.events = [e for e in self.events if e.get("method") != "Page.loadEventFired"]
        result = self.send("Page.navigate", {"url": url})
        if result.get("errorText"):
            raise BrowserError(f"{url}: {result['errorText']}")
        self.wait_for("Page.loadEventFired")

    def evaluate(self, expression):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self, path):
        data = self.send("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def event_params(self, method):
        return [event["params"] for event in self.events if event.get("method") == method]

    def close(self):
        try:
            self.send("Browser.close", session=False, timeout=10)
        except (BrowserError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        os.close(self._to_browser)
        os.close(self._from_browser)
        shutil.rmtree(self.profile, ignore_errors=True)
