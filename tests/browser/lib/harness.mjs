// Runs the real client and the gateway stand-in as child processes, each test in a key
// folder and on ports of its own, and drives the console page in Debian's Chromium.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const BUILD_DIR = process.env.QUILLMAR_NATIVE_BUILD;
if (!BUILD_DIR) throw new Error("QUILLMAR_NATIVE_BUILD must name the native build folder");

export const CLIENT = path.join(BUILD_DIR, "client", "quillmar");
export const DEVGW = path.join(BUILD_DIR, "tools", "devgw", "quillmar-devgw");
export const SCREENSHOT_DIR = path.join(BUILD_DIR, "browser-screenshots");
export const CHROMIUM = process.env.QUILLMAR_CHROMIUM || "/usr/bin/chromium";
export const DOMAIN = "page.localhost";
export const POLL_MS = 2000;
// A suite that takes longer has hung: it fails instead of holding up the stage.
export const SUITE_TIMEOUT_MS = 90000;

// Deployment settings the page was built with, from the build folder's CMake cache.
export function buildSetting(name) {
  const cache = fs.readFileSync(path.join(BUILD_DIR, "CMakeCache.txt"), "utf8");
  const line = cache.split("\n").find((l) => l.startsWith(name + ":"));
  if (!line) throw new Error(name + " is not in the CMake cache");
  return line.slice(line.indexOf("=") + 1).trim();
}

export function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Polls `probe` until it gives a truthy value; the value is returned. On timeout the
// error names what was awaited and the last value seen.
export async function waitFor(what, probe, timeoutMs = 8000) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      last = await probe();
      if (last) return last;
    } catch (err) {
      last = err;
    }
    if (Date.now() > deadline) {
      const seen = last instanceof Error ? last.message : JSON.stringify(last);
      throw new Error(`timed out waiting for ${what} (last: ${seen})`);
    }
    await sleep(40);
  }
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Children still running when this test process ends are killed with it, also when it
// is interrupted. Each one's process id also goes to $QUILLMAR_BROWSER_PIDS, from which
// tests/browser/run removes what a killed test process could not.
const living = new Set();
const killAll = () => {
  for (const child of living) child.kill("SIGKILL");
};
process.on("exit", killAll);
for (const signal of ["SIGINT", "SIGTERM", "SIGHUP"]) {
  process.once(signal, () => {
    killAll();
    process.exit(128 + os.constants.signals[signal]);
  });
}

// A child process with its output kept for waiting on and for failure reports.
class Program {
  constructor(name, file, args, env) {
    this.name = name;
    this.output = "";
    this.child = spawn(file, args, { env: { ...process.env, ...env }, stdio: ["ignore", "pipe", "pipe"] });
    living.add(this.child);
    if (process.env.QUILLMAR_BROWSER_PIDS && this.child.pid) {
      fs.appendFileSync(process.env.QUILLMAR_BROWSER_PIDS, `${this.child.pid}\n`);
    }
    this.child.once("exit", () => living.delete(this.child));
    const keep = (chunk) => { this.output += chunk.toString("utf8"); };
    this.child.stdout.on("data", keep);
    this.child.stderr.on("data", keep);
    this.exited = new Promise((resolve) => {
      this.child.once("exit", (code, signal) => resolve({ code, signal }));
      this.child.once("error", (err) => resolve({ code: null, signal: null, error: err }));
    });
    this.running = true;
    this.exited.then(() => { this.running = false; });
  }

  async waitForOutput(pattern, timeoutMs = 8000, from = 0) {
    return waitFor(`${this.name} to print ${pattern}`, () => {
      if (!this.running && !pattern.test(this.output.slice(from))) {
        throw new Error(`${this.name} ended; output:\n${this.output}`);
      }
      return this.output.slice(from).match(pattern);
    }, timeoutMs);
  }

  // SIGINT is the client's Ctrl-C: it ends cleanly. Anything that lingers is killed.
  async stop() {
    if (!this.running) return this.exited;
    this.child.kill("SIGINT");
    const ended = await Promise.race([this.exited, sleep(3000).then(() => null)]);
    if (ended) return ended;
    this.child.kill("SIGKILL");
    return this.exited;
  }
}

export class Gateway {
  static async start(args = []) {
    const gw = new Gateway();
    gw.program = new Program("quillmar-devgw", DEVGW,
      ["--control-port", "0", "--admin-port", "0", "--public-http-port", "off", "--domain", DOMAIN, ...args], {});
    const control = await gw.program.waitForOutput(/devices connect to 127\.0\.0\.1:(\d+)/);
    const admin = await gw.program.waitForOutput(/admin commands on 127\.0\.0\.1:(\d+)/);
    gw.controlPort = Number(control[1]);
    gw.adminPort = Number(admin[1]);
    return gw;
  }

  get log() {
    return this.program.output;
  }

  // One admin command; gives its one-line reply.
  admin(command) {
    return new Promise((resolve, reject) => {
      const socket = net.connect(this.adminPort, "127.0.0.1");
      let reply = "";
      socket.setEncoding("utf8");
      socket.on("connect", () => socket.write(command + "\n"));
      socket.on("data", (data) => {
        reply += data;
        const end = reply.indexOf("\n");
        if (end >= 0) {
          socket.end("quit\n");
          resolve(reply.slice(0, end));
        }
      });
      socket.on("error", reject);
      socket.setTimeout(5000, () => {
        socket.destroy();
        reject(new Error(`admin command "${command}" got no reply`));
      });
    });
  }

  // The ports the device registered in its current session ("" for none), or null while
  // it is not online.
  async devicePorts(name) {
    const status = await this.admin("status");
    const match = status.match(new RegExp("[=,]" + name + "\\(([^;]*);"));
    return match ? match[1] : null;
  }

  stop() {
    return this.program.stop();
  }
}

// GET over plain HTTP, the way a script on the machine would ask the console.
export function httpRequest(port, method, pathName, body) {
  return new Promise((resolve, reject) => {
    const request = http.request({
      host: "127.0.0.1", port, method, path: pathName,
      headers: { host: `127.0.0.1:${port}`, ...(body ? { "content-type": "application/json" } : {}) },
    }, (reply) => {
      let data = "";
      reply.setEncoding("utf8");
      reply.on("data", (chunk) => { data += chunk; });
      reply.on("end", () => resolve({ status: reply.statusCode, headers: reply.headers, body: data }));
    });
    request.on("error", reject);
    request.setTimeout(5000, () => request.destroy(new Error(`${method} ${pathName} timed out`)));
    request.end(body);
  });
}

export class Client {
  // options: gw (the Gateway, or a port with nothing behind it), tls ("off" by default),
  // sub, args (more options), keyDir (a fresh folder when missing), uiPort (a free one
  // when missing).
  static async start(options) {
    const client = new Client();
    client.keyDir = options.keyDir ?? fs.mkdtempSync(path.join(os.tmpdir(), "quillmar-page-keys-"));
    client.options = { ...options, keyDir: client.keyDir };
    await client.launch(options.uiPort);
    return client;
  }

  async launch(uiPort) {
    const o = this.options;
    const gwPort = typeof o.gw === "number" ? o.gw : o.gw.controlPort;
    // A free port can be taken by another program between asking and binding; only
    // then is another tried.
    for (let attempt = 0; ; attempt++) {
      this.uiPort = uiPort ?? await freePort();
      const args = ["--ui", String(this.uiPort), "--gw", `127.0.0.1:${gwPort}`, "--tls", o.tls ?? "off",
        "--domain", DOMAIN, ...(o.sub ? ["--sub", o.sub] : []), ...(o.args ?? [])];
      // The client opens its console in the default browser at every start: BROWSER
      // makes xdg-open run `true` instead, and no display is handed down.
      const env = {
        TUNNEL_KEY_DIR: this.keyDir, TUNNEL_NO_BROWSER: "1", BROWSER: "true", DISPLAY: "", WAYLAND_DISPLAY: "",
      };
      this.program = new Program("quillmar", CLIENT, args, env);
      try {
        await this.program.waitForOutput(/管理界面 http:\/\/127\.0\.0\.1:\d+/);
        await waitFor("the console to answer", async () => (await this.state()) !== null);
        return;
      } catch (err) {
        await this.program.stop();
        const taken = /管理界面端口/.test(this.program.output);
        if (!taken || uiPort !== undefined || attempt >= 5) throw err;
      }
    }
  }

  get origin() {
    return `http://127.0.0.1:${this.uiPort}`;
  }

  get log() {
    return this.program.output;
  }

  async state() {
    try {
      const reply = await httpRequest(this.uiPort, "GET", "/api/state");
      return reply.status === 200 ? JSON.parse(reply.body) : null;
    } catch {
      return null;
    }
  }

  keyFile() {
    return fs.readFileSync(path.join(this.keyDir, "id.ini"), "utf8");
  }

  keyLine(key) {
    const line = this.keyFile().split("\n").find((l) => l.startsWith(key + "="));
    return line === undefined ? null : line.slice(key.length + 1).replace(/\r$/, "");
  }

  stop() {
    return this.program.stop();
  }

  // Starts the client again with the same key folder, on a new console port.
  async restart() {
    await this.stop();
    await this.launch();
  }

  async dispose() {
    await this.stop();
    fs.rmSync(this.keyDir, { recursive: true, force: true });
  }
}

export function launchBrowser() {
  // launch() gives every browser a new temporary profile and removes it at close.
  return chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
      "--disable-sync", "--no-first-run", "--disable-quic"],
  });
}

// Opens the console of `client` in a new browser context. Every request the context makes is logged; anything not meant for the
// console is stopped before it leaves. The page's clock is paused once the first state
// document is drawn: its timers fire only when a test moves the clock on.
export async function openConsole(browser, client, { width = 1280, height = 900, permissions = [] } = {}) {
  const base = new URL(client.origin);
  const context = await browser.newContext({ viewport: { width, height }, permissions });
  const requests = [];
  const outside = [];
  context.on("request", (request) => requests.push(`${request.method()} ${request.url()}`));
  await context.route("**/*", (route) => {
    const url = new URL(route.request().url());
    if (url.host === base.host) return route.continue();
    outside.push(route.request().url());
    return route.abort("blockedbyclient");
  });
  // The page's own calls, recorded the moment they are made.
  await context.addInitScript(() => {
    const original = window.fetch;
    window.__fetches = [];
    window.fetch = function (resource, options) {
      window.__fetches.push(`${(options && options.method) || "GET"} ${resource}`);
      return original.apply(this, arguments);
    };
  });
  const page = await context.newPage();
  const pageErrors = [];
  page.on("pageerror", (err) => pageErrors.push(err.message));
  // Paused before the page exists, so its interval starts from a known time; the jump
  // ahead only has to be later than the moment pauseAt runs.
  const start = Date.now();
  await page.clock.install({ time: start });
  await page.clock.pauseAt(start + 60000);
  await page.goto(base.origin + "/");
  await waitFor("the first state document to be drawn", async () =>
    (await page.locator("#topState").textContent()) !== "正在读取状态");
  return { context, page, requests, outside, pageErrors };
}

// The page's calls since the last reset, e.g. ["POST /api/ports"]; state polls left out
// unless asked for.
export async function pageCalls(page, { withPolls = false, reset = true } = {}) {
  return page.evaluate(({ withPolls, reset }) => {
    const calls = window.__fetches.filter((c) => withPolls || c !== "GET /api/state");
    if (reset) window.__fetches = [];
    return calls;
  }, { withPolls, reset });
}

// The checks that hold for every test: the page never asked for the access-code or the
// direct-connection routes, left the console only where a test allowed it, and threw
// nothing.
function checkSession(session, { allowOutside = [] }) {
  const forbidden = session.requests.filter((r) => /\/api\/(invite|punch)\b/.test(new URL(r.split(" ")[1]).pathname));
  assert.deepEqual(forbidden, [], "requests to /api/invite or /api/punch");
  assert.deepEqual(session.outside.filter((u) => !allowOutside.includes(u)), [], "requests that left the console");
  assert.deepEqual(session.pageErrors, [], "script errors on the page");
}

// Moves the page's clock on by one poll interval, which fires exactly one poll, and
// waits until its answer (or its failure) has been drawn: every drawing writes the top
// status text anew, so a new text node there marks it.
export async function nextPoll(page) {
  await page.evaluate(() => { window.__drawn = document.getElementById("topState").firstChild; });
  await page.clock.runFor(POLL_MS);
  await waitFor("the poll to be drawn", () =>
    page.evaluate(() => document.getElementById("topState").firstChild !== window.__drawn), 5000);
}

// The JSON body of the POST to `pathName` that `act` makes the page send (null for a
// POST without a body).
export async function posted(page, pathName, act) {
  const [request] = await Promise.all([
    page.waitForRequest((r) => r.method() === "POST" && r.url().endsWith(pathName), { timeout: 5000 }),
    act(),
  ]);
  if (request.postData() === null) return null;
  assert.equal(request.headers()["content-type"], "application/json");
  return request.postDataJSON();
}

// The stand-in logs each registration of device kite: "kite is online from …, ports
// 8080, 9090" ("ports none" without any). Waits for one with exactly these ports in the
// log after offset `from`.
export async function registered(gw, ports, from = 0) {
  const shown = ports.length ? ports.join(", ") : "none";
  const line = new RegExp(`kite is online from [0-9.:]+, ports ${shown}(\\n| ->|, access)`);
  await waitFor(`the device to register ports ${shown}`, () => line.test(gw.log.slice(from)));
}

// Fires polls until `probe` (run in the test) holds.
export async function pollUntil(page, what, probe, timeoutMs = 10000) {
  return waitFor(what, async () => {
    const value = await probe();
    if (value) return value;
    await nextPoll(page);
    return probe();
  }, timeoutMs);
}

// The mapping table: the targets of its rows, and one row's action button.
export function mappingTargets(page) {
  return page.locator("#mappings tr td.target").allTextContents();
}
export function mappingButton(action, port) {
  return `#mappings button[data-action="${action}"][data-port="${port}"]`;
}

export async function text(page, selector) {
  return (await page.locator(selector).textContent()).trim();
}

export async function visible(page, selector) {
  return page.locator(selector).isVisible();
}

// The whole page, or with `{ fullPage: false }` what the window shows (for dialogs).
export async function screenshot(page, name, { fullPage = true } = {}) {
  fs.mkdirSync(SCREENSHOT_DIR, { recursive: true });
  await page.screenshot({ path: path.join(SCREENSHOT_DIR, name + ".png"), fullPage });
}

// A whole test's world: the stand-in (unless the test wants none), one client, one page.
// Everything is stopped and removed afterwards, also when the test fails; the checks of
// checkSession run after every test body.
export async function withConsole(browser, options, body) {
  const gw = options.gw === null ? null : await Gateway.start(options.gwArgs ?? []);
  const unreachable = gw ? null : await freePort();
  let client = null;
  let session = null;
  try {
    client = await Client.start({ ...options, gw: gw ?? unreachable });
    session = await openConsole(browser, client, options);
    await body({ gw, client, ...session });
    checkSession(session, options);
  } catch (err) {
    if (client) err.message += `\n--- client output:\n${client.log}`;
    if (gw) err.message += `\n--- gateway output:\n${gw.log}`;
    throw err;
  } finally {
    if (session) await session.context.close();
    if (client) await client.dispose();
    if (gw) await gw.stop();
  }
  return session;
}
